// The working window: start-up, acquisition steps, drawing, buttons, timers, the card
// record and closing.
#include "MainUnit.h"

#include <QAccessible>
#include <QApplication>
#include <QCalendarWidget>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "Proba.h"
#include "SetUpUnit.h"
#include "Unit1.h"
#include "Unit3.h"
#include "nxpal/text.h"

namespace ordiva {
namespace {

QString Q(std::u16string_view s) { return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())); }
std::u16string U(const QString& s) { return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), s.size()); }

HWND Hwnd(QWidget* w) { return reinterpret_cast<HWND>(w); }

// Said when the link to the recorder is lost, with what to do.
constexpr char16_t kLinkLostMessage[] =
    u"Связь с регистратором потеряна\r\n"
    u"Проверьте, что регистратор включён и находится рядом с компьютером, затем нажмите «Пуск»";

// The input mask of a date field: day and month digits optional, the year's required,
// the separator a literal whatever character it is.
QString DateMask(char16_t separator) {
  const QString sep = QString("\\") + QChar(separator);
  return "00" + sep + "00" + sep + "9999";
}

int Message(QWidget* owner, const std::u16string& text, const char16_t* caption, UINT style) {
  return MessageBoxW(Hwnd(owner), text.c_str(), caption, style);
}

}  // namespace

// The trace area: paints the damaged part of the back buffer.
class TracePaintBox : public QWidget {
 public:
  TracePaintBox(QWidget* parent, const QImage* back) : QWidget(parent), back_(back) {
    setObjectName("PaintBox1");
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

 protected:
  void paintEvent(QPaintEvent* e) override {
    QPainter p(this);
    p.drawImage(e->rect(), *back_, e->rect());
  }

 private:
  const QImage* back_;
};

// The accelerometer box: the three deviations as bars under their letters and the body
// position's text.
class AccelBox : public QWidget {
 public:
  explicit AccelBox(QWidget* parent) : QWidget(parent) {
    setObjectName("PaintBox2");
    setMinimumHeight(90);
  }
  // New values; the box is repainted by Flush.
  void Set(const std::array<int, 3>& d, BodyPosition position) {
    if (d == d_ && position == position_) return;
    d_ = d;
    position_ = position;
    dirty_ = true;
  }
  void Flush() {
    if (dirty_) update();
    dirty_ = false;
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setPen(Qt::black);
    p.setBrush(Qt::white);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    const int m = height() / 2;
    const QFontMetrics fm(font());
    static const char* kLetters[] = {"z", "y", "x"};
    for (int k = 0; k < 3; ++k) {
      const int x = 20 * (k + 1);
      p.drawText(QPoint(x, -fm.height() / 10 + fm.ascent()), kLetters[k]);
      p.drawLine(x, m, x, m - d_[static_cast<size_t>(k)] / 3);
    }
    p.drawText(QPoint(BodyPositionTextX(position_), m + fm.ascent()), Q(BodyPositionText(position_)));
  }

 private:
  std::array<int, 3> d_{};
  BodyPosition position_ = BodyPosition::OnBack;
  bool dirty_ = false;
};

// ---------------------------------------------------------------------------------------
// Program

Program::Program(Environment env) : env_(std::move(env)) {}

Program::~Program() {
  delete form2_;
  delete form1_;
  delete form3_;
}

bool Program::Start() {
  form3_ = new TForm3([this] {
    if (env_.endProgram) env_.endProgram();
  });
  form1_ = new TForm1(env_, form3_);
  if (!form1_->FormCreate()) return false;
  form2_ = new TForm2(form1_, env_);
  form1_->SetSetupDialog(form2_);
  form2_->FormCreate();
  // The first step reports a failed start-up; without a link nothing else resumes it.
  if (form1_->FatalLink || form1_->GreetingTimeout) form1_->Worker()->Resume();
  return true;
}

// ---------------------------------------------------------------------------------------
// TForm1: construction and layout

TForm1::TForm1(Environment& env, TForm3* picture)
    : recorder(nullptr, env.io), env_(env), form3_(picture), linkWatch_(env.clockMs, env.linkLimits) {
  setObjectName("Form1");
  recorder.SetResetDecoder([this] { acquisition.decoder.Reset(); });
  BuildControls();
  ReadTraceColours();
  resize(1620, 938);
  worker_ = std::make_unique<TFProba>(this, [this] { AcquisitionStep(); });
}

TForm1::~TForm1() {
  disconnect(focusWatch_);  // focus moves while the widgets go
  if (reconnect_.joinable()) reconnect_.join();  // its result, posted to this window, is dropped
  worker_.reset();  // no worker outlives the window
  if (recorder.link()) vkbtClose(recorder.link());
  if (device) vkbtDeviceInfoClose(device);
  delete about_;
}

QWidget* TForm1::Control(const char* name) const { return findChild<QWidget*>(name); }
QLineEdit* TForm1::Edit(const char* name) const { return findChild<QLineEdit*>(name); }
QPushButton* TForm1::Button(const char* name) const { return findChild<QPushButton*>(name); }

QColor TForm1::ChannelColour(int channel) const { return colours_[static_cast<size_t>(channel - 1)]; }

void TForm1::ReadTraceColours() {
  static const char* kCircles[] = {"Shape1", "Shape2", "Shape3"};
  for (size_t i = 0; i < 3; ++i) {
    QWidget* circle = Control(kCircles[i]);
    colours_[i] = circle ? circle->palette().color(QPalette::Window) : QColor(Qt::black);
  }
}

void TForm1::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
    ReadTraceColours();
    RestartSweep();
  }
  QWidget::changeEvent(event);
}

void TForm1::BuildControls() {
  auto named = [](QWidget* w, const char* name, const QString& accessible) {
    w->setObjectName(name);
    w->setAccessibleName(accessible);
    return w;
  };
  auto button = [&](QWidget* parent, const char* name, const QString& caption, void (TForm1::*handler)()) {
    auto* b = new QPushButton(caption, parent);
    named(b, name, caption);
    connect(b, &QPushButton::clicked, this, [this, handler] { (this->*handler)(); });
    return b;
  };

  topPanel_ = named(new QWidget(this), "Panel1", "Panel1");
  button(topPanel_, "Button4", "Пуск", &TForm1::Button4Click);
  button(topPanel_, "Button3", "Стоп", &TForm1::Button3Click);
  button(topPanel_, "Button2", "Медленнее", &TForm1::Button2Click);
  button(topPanel_, "Button5", "Быстрее", &TForm1::Button5Click);
  button(topPanel_, "Button6", "Больше", &TForm1::Button6Click);
  button(topPanel_, "Button7", "Меньше", &TForm1::Button7Click);
  button(topPanel_, "Button10", "ПускФП", &TForm1::Button10Click);
  button(topPanel_, "Button9", "ОстановФП", &TForm1::Button9Click);

  paintBox_ = new TracePaintBox(this, &back_);

  rightPanel_ = named(new QWidget(this), "Panel2", "Panel2");
  auto* col = new QVBoxLayout(rightPanel_);
  col->setContentsMargins(6, 4, 6, 4);
  col->setSpacing(2);
  auto edit = [&](const char* name, const QString& caption, const QString& mask = {}) {
    auto* e = new QLineEdit(rightPanel_);
    named(e, name, caption);
    if (!mask.isEmpty()) e->setInputMask(mask);
    e->installEventFilter(this);
    return e;
  };
  auto labelled = [&](QLayout* into, const QString& caption, QLineEdit* e) {
    auto* box = new QVBoxLayout;
    box->setSpacing(0);
    box->addWidget(new QLabel(caption, rightPanel_));
    box->addWidget(e);
    if (auto* h = qobject_cast<QHBoxLayout*>(into)) {
      h->addLayout(box);
    } else {
      static_cast<QVBoxLayout*>(into)->addLayout(box);
    }
  };
  // Masks: digits that must be typed are '9' here, optional ones '0'. Dates take the
  // desktop's separator.
  const char16_t dateSeparator = DateSeparator(env_.locale);
  labelled(col, "Фамилия", edit("MaskEditFamilia", "Фамилия"));
  labelled(col, "Имя", edit("MaskEdit1", "Имя"));
  labelled(col, "Отчество", edit("MaskEdit2", "Отчество"));
  {
    auto* row = new QHBoxLayout;
    labelled(row, "Дата рождения", edit("MaskEdit3", "Дата рождения", DateMask(dateSeparator)));
    labelled(row, "Возраст", edit("MaskEdit12", "Возраст"));
    col->addLayout(row);
  }
  {
    auto* row = new QHBoxLayout;
    labelled(row, "Рост", edit("MaskEditRost", "Рост", "000"));
    labelled(row, "Вес", edit("MaskEditVes", "Вес", "000"));
    col->addLayout(row);
  }
  {
    auto* row = new QHBoxLayout;
    auto* sex = edit("MaskEdit5", "Пол");
    sex->setReadOnly(true);
    labelled(row, "Пол", sex);
    labelled(row, "Рег. Номер", edit("MaskEdit7", "Рег. Номер", "0000000"));
    col->addLayout(row);
  }
  static const char* kChannelEdits[] = {"MaskEdit10", "MaskEdit9", "MaskEdit8"};
  static const char* kCircles[] = {"Shape1", "Shape2", "Shape3"};
  static const QColor kColours[] = {QColor(255, 0, 0), QColor(0, 128, 0), QColor(128, 0, 0)};
  for (int c = 0; c < 3; ++c) {
    auto* row = new QHBoxLayout;
    for (int k = 0; k < 2; ++k) {
      auto* circle = new QLabel(rightPanel_);
      const QString name = k == 0 ? QString(kCircles[c]) : QString(kCircles[c]) + "b";
      circle->setObjectName(name);
      circle->setAccessibleName(name);
      circle->setFixedSize(14, 14);
      circle->setAutoFillBackground(true);
      QPalette pal = circle->palette();
      pal.setColor(QPalette::Window, kColours[c]);
      circle->setPalette(pal);
      circle->setStyleSheet(QString("border-radius: 7px; background: %1;").arg(kColours[c].name()));
      row->addWidget(circle);
    }
    const QString caption = QString("Канал №%1").arg(c + 1);
    row->addWidget(new QLabel(caption, rightPanel_));
    row->addWidget(edit(kChannelEdits[c], caption));
    col->addLayout(row);
  }
  col->addWidget(new QLabel("Начало сеанса", rightPanel_));
  {
    auto* row = new QHBoxLayout;
    labelled(row, "Дата", edit("MaskEdit4", "Дата", DateMask(dateSeparator)));
    labelled(row, "Время", edit("MaskEdit6", "Время", "09:99"));
    col->addLayout(row);
  }
  labelled(col, "Клиника", edit("MaskEditKlinika", "Клиника"));
  labelled(col, "Врач", edit("MaskEditVrach", "Врач"));
  auto* calendar = new QCalendarWidget(rightPanel_);
  named(calendar, "MonthCalendar1", "MonthCalendar1");
  calendar->setEnabled(false);
  calendar->hide();
  {
    auto* row = new QHBoxLayout;
    row->addWidget(button(rightPanel_, "Button11", "Установка параметров", &TForm1::Button11Click));
    row->addWidget(button(rightPanel_, "Button13", "Норма", &TForm1::Button13Click));
    col->addLayout(row);
  }
  auto* gains = new QGroupBox("Коэффициент усиления", rightPanel_);
  named(gains, "GroupBox1", "Коэффициент усиления");
  auto* g = new QGridLayout(gains);
  static const char* kSpins[] = {"SpinEdit3", "SpinEdit2", "SpinEdit1"};
  for (int c = 0; c < 3; ++c) {
    const QString caption = QString("Кан%1").arg(c + 1);
    g->addWidget(new QLabel(caption, gains), 0, c);
    auto* spin = new QSpinBox(gains);
    named(spin, kSpins[c], caption);
    spin->setRange(0, 65535);
    g->addWidget(spin, 1, c);
  }
  g->addWidget(new QLabel("Дел/мв.", gains), 1, 3);
  g->addWidget(button(gains, "Button8", "Применить", &TForm1::Button8Click), 2, 0, 1, 4);
  col->addWidget(gains);
  accelBox_ = new AccelBox(rightPanel_);
  accelBox_->setAccessibleName("PaintBox2");
  col->addWidget(accelBox_);
  // Beyond the session's own controls: how the link is doing, as the decoder sees it.
  // Value labels leave their accessible name to their text, which screen readers then
  // read and hear change; the caption is the description.
  quality_ = new QLabel(rightPanel_);
  quality_->setObjectName("LinkQuality");
  quality_->setAccessibleDescription("Связь");
  quality_->setWordWrap(true);
  col->addWidget(quality_);
  col->addWidget(button(rightPanel_, "Button1", "Закончить", &TForm1::Button1Click));
  col->addStretch(1);
  col->addWidget(button(rightPanel_, "Button12", "Закончить", &TForm1::Button1Click));

  warning_ = new QLabel(this);
  warning_->setObjectName("Label1");
  warning_->setAccessibleDescription("Предупреждение");
  QPalette red = warning_->palette();
  red.setColor(QPalette::WindowText, Qt::red);
  warning_->setPalette(red);
  QFont big = warning_->font();
  big.setBold(true);
  big.setPointSize(big.pointSize() + 4);
  warning_->setFont(big);
  warning_->hide();

  timer1_ = new QTimer(this);
  timer1_->setObjectName("Timer1");
  timer1_->setInterval(env_.supplyCheckMs);
  connect(timer1_, &QTimer::timeout, this, [this] { Timer1Timer(); });
  tmr1_ = new QTimer(this);
  tmr1_->setObjectName("tmr1");
  tmr1_->setInterval(env_.splashMs);
  connect(tmr1_, &QTimer::timeout, this, [this] { tmr1Timer(); });
  qualityTimer_ = new QTimer(this);
  qualityTimer_->setInterval(1000);
  connect(qualityTimer_, &QTimer::timeout, this, [this] { UpdateLinkQuality(); });
  // The screen shows the back buffer 50 times a second, whatever the sampling rate: a
  // repaint per step would cost the user-interface thread more than the steps.
  refresh_ = new QTimer(this);
  refresh_->setInterval(20);
  connect(refresh_, &QTimer::timeout, this, [this] {
    if (!dirty_.isEmpty()) paintBox_->update(dirty_);
    dirty_ = QRect();
    accelBox_->Flush();
  });
  refresh_->start();

  focusWatch_ = connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
    const bool inPanel = now && rightPanel_->isAncestorOf(now);
    if (inPanel && !panelHasFocus_) PanelEnter();
    panelHasFocus_ = inPanel;
  });
}

int TForm1::TraceHeight() const { return layout_.traceBottom - layout_.traceTop; }

void TForm1::Relayout() {
  topPanel_->hide();
  rightPanel_->hide();
  const QFontMetrics fm(font());
  static const char* kTop[] = {"Button4", "Button3", "Button2", "Button5", "Button6", "Button7", "Button10", "Button9"};
  const int buttonHeight = Button("Button4")->sizeHint().height();
  layout_ = display::ComputeLayout(width(), height(), fm.horizontalAdvance("012345678901234567890123456789"),
                                   fm.horizontalAdvance("    123456789    "), buttonHeight);
  topPanel_->setGeometry(0, 0, width(), display::kTopPanelHeight);
  for (int i = 0; i < display::kTopButtons; ++i)
    Button(kTop[i])->setGeometry(layout_.buttonLeft[i], layout_.buttonTop, layout_.buttonWidth, buttonHeight);
  rightPanel_->setGeometry(layout_.rightPanelLeft, layout_.rightPanelTop, layout_.rightPanelWidth,
                           layout_.rightPanelHeight);
  const QRect trace(layout_.traceLeft, layout_.traceTop, layout_.traceRight - layout_.traceLeft, TraceHeight());
  paintBox_->setGeometry(trace);
  if (back_.size() != trace.size()) {
    QImage next(trace.size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    next.fill(palette().color(QPalette::Window));
    back_ = next;
  }
  warning_->setGeometry(10, height() - 40, layout_.traceRight - 20, 30);
  topPanel_->show();
  rightPanel_->show();
  RestartSweep();
  if (worker_) worker_->Resume();
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Relayout();
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  const QDateTime now = env_.now();
  const QDate today = now.date();
  Edit("MaskEdit4")->setText(Q(DateText(today.year(), today.month(), today.day(), DateSeparator(env_.locale))));
  Edit("MaskEdit6")->setText(now.time().toString("HH:mm"));
  RestartSweep();
}

void TForm1::RebuildCaptions() {
  setWindowTitle(Q(WorkingCaption(captions)));
  if (form2_) form2_->setWindowTitle(Q(SetupCaption()));
}

// ---------------------------------------------------------------------------------------
// Start-up

void StopRecorderStream(Recorder& recorder) {
  if (!recorder.StopStream()) {
    MessageBoxW(nullptr, u"Останов FP не сработал", u"Информация", MB_OK | MB_ICONINFORMATION);
  }
}

BOOL SelectRecorder(HWND parent, HVKBTDEVICE* device) {
  VKBTSELECTPARAMS params{};
  params.dwSize = 44;
  params.dwFlags = 0;
  params.hwndParent = parent;
  params.pszNamePrefix = u"VR-03M";
  params.pszPasskey = u"8779";
  params.ulChannel = 1;
  return vkbtSelectDevice(&params, device) == 1 ? TRUE : FALSE;
}

char16_t DateSeparator(const QLocale& locale) { return DateSeparatorOfFormat(U(locale.dateFormat(QLocale::ShortFormat))); }

bool TForm1::FormCreate() {
  about_ = new TAboutBox;
  about_->ShowSplash();
  tmr1_->start();

  HVKBTDEVICE chosen = nullptr;
  if (!env_.selectDevice || !env_.selectDevice(Hwnd(this), &chosen)) return false;
  device = chosen;
  HVKBTLINK link = nullptr;
  if (!vkbtCreate(device, &link)) {
    FatalLink = true;
    return true;
  }
  recorder.SetLink(link);

  // The picture window over the working window while the link is made.
  const int side = static_cast<int>(0.75 * height());
  form3_->resize(side, side);
  form3_->move(x() + (width() - side) / 2, y() + (height() - side) / 2);
  form3_->show();
  const QSize screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->size() : QSize(1920, 1080);
  form3_->PlayConnectionAnimation(screen.width(), screen.height(), env_.sleep, env_.animationStepMs);

  if (!recorder.ReadGreeting()) GreetingTimeout = true;
  StopRecorderStream(recorder);
  env_.sleep(100);
  if (recorder.ReadConfig() == 32) recorder.RereadConfig();
  env_.sleep(100);

  RecorderConfig& c = recorder.config();
  static const char* kSpins[] = {"SpinEdit3", "SpinEdit2", "SpinEdit1"};
  for (int i = 0; i < 3; ++i) {
    auto* spin = findChild<QSpinBox*>(kSpins[i]);
    if (c.version < kVersionTrustedStepsFrom) {
      spin->setSingleStep(kDefaultGainStep);
      spin->setValue(kDefaultGainValue);
      c.gainStep[i].Set(kDefaultGainStep);
    } else {
      spin->setSingleStep(c.gainStep[i].Get());
      spin->setValue(c.gainValue[i].Get());
    }
  }
  acquisition.LoadZeros(c);
  Button("Button13")->setText(c.InSetupMode() ? "Настройка" : "Норма");
  if (c.leads < 1 || c.leads > 3) FatalLink = true;
  recorder.StartStream();
  leads = FatalLink ? 3 : c.leads;
  acquisition.decoder.leads = leads;
  acquisition.ResetVoltage();
  Button("Button4")->setEnabled(false);
  Button("Button10")->setEnabled(false);
  timer1_->start();
  qualityTimer_->start();
  return true;
}

void TForm1::EndProgram() {
  if (worker_) {
    worker_->Suspend();
    worker_->Terminate();
  }
  timer1_->stop();
  if (form3_) form3_->close();
}

void TForm1::FatalStop() {
  worker_->Suspend();
  worker_->Terminate();
  Message(this,
          u"Возникли проблемы с носимым аппаратом\r\nВыньте аккумулятор и через 10 секунд вставьте его повторно. "
          u"\r\nВозможно Вы указали не тот номер аппарата Запустите программу снова.",
          u"Программа прекращает работу ", MB_OK | MB_ICONWARNING);
  EndProgram();
}

// ---------------------------------------------------------------------------------------
// Acquisition and drawing

void TForm1::AcquisitionStep() {
  if (FatalLink || GreetingTimeout) {
    FatalStop();
    return;
  }
  if (linkLost_ || reconnecting_) {
    // A resumption (a resize, the set-up dialog) finds no link to read: "Пуск" first.
    worker_->Suspend();
    return;
  }
  const int h = display::BandHeight(TraceHeight(), leads);
  acquisition.decoder.leads = leads;
  linkWatch_.StepBegins();
  int delivered = 0;
  const ByteReader read = [this, &delivered](BYTE* b) {
    if (!linkWatch_.MayRead()) return false;  // a missing byte, as an empty read gives
    DWORD n = 0;
    const BOOL ok = env_.io.read(recorder.link(), b, 1, &n);
    linkWatch_.Read(ok, n, GetLastError());
    delivered += static_cast<int>(n);
    return n == 1;
  };
  const auto result = acquisition.ReadRecord(read);
  linkWatch_.StepEnds(result != StreamDecoder::Result::NoSync && delivered > 0);
  if (linkWatch_.Lost()) {
    // What was read of this record is not drawn: the traces stay as the link left them.
    OnLinkLost();
    return;
  }
  if (result == StreamDecoder::Result::NoSync) return;

  if (display::SweepEnded(sweepX, layout_.traceRight, speed)) {
    if (StopAtSweepEnd) {
      StopAtSweepEnd = false;
      worker_->Suspend();
    } else {
      NewSweep();
    }
  }
  const unsigned served = acquisition.ServeZeroRequests(recorder.config());
  for (int k = 0; k < 3; ++k)
    if ((served >> k) & 1u && form2_) form2_->ShowZero(k, acquisition.zeros[static_cast<size_t>(k)]);
  if (zeroFixArmed) ServeZeroFix();

  acquisition.Decode();
  std::array<int, 3> y{}, d{};
  acquisition.Scale(h, amplitude, &y, &d);
  if (form2_) form2_->ShowCurrent(acquisition.a);
  position = ClassifyPosition(d);
  DrawStep(y, d);
}

void TForm1::OnLinkLost(bool tell) {
  linkLost_ = true;
  StopAtSweepEnd = false;
  worker_->Suspend();
  EnableRecorderButtons(false);
  Button("Button4")->setEnabled(true);
  UpdateLinkQuality();
  // Said after the step has returned, so that no step waits on the box.
  if (tell) QTimer::singleShot(0, this, [this] {
    if (linkLost_ && !reconnecting_) Message(this, kLinkLostMessage, u"Внимание!", MB_OK | MB_ICONWARNING);
  });
}

void TForm1::EnableRecorderButtons(bool enabled) {
  for (const char* name : {"Button3", "Button9", "Button10", "Button8", "Button13", "Button11"})
    Button(name)->setEnabled(enabled);
}

void TForm1::TakeUpLinkAgain() {
  reconnecting_ = true;
  Button("Button4")->setEnabled(false);
  Button("Button12")->setEnabled(false);  // "Закончить" needs the recorder to stay put
  UpdateLinkQuality();
  if (form2_) form2_->setEnabled(false);  // the recorder belongs to the reconnection now
  // The dead link goes first: a new one to the same record would otherwise be the old
  // one shared.
  if (recorder.link()) vkbtClose(recorder.link());
  recorder.SetLink(nullptr);
  if (reconnect_.joinable()) reconnect_.join();
  reconnect_ = std::thread([this, device = device] {
    const DWORD error = TakeUpLink(device, recorder);
    QMetaObject::invokeMethod(this, [this, error] { LinkTakenUp(error); }, Qt::QueuedConnection);
  });
}

void TForm1::LinkTakenUp(DWORD error) {
  if (!reconnecting_) return;  // the window closed meanwhile and has waited for it
  reconnect_.join();
  reconnecting_ = false;
  Button("Button12")->setEnabled(true);
  if (form2_) form2_->setEnabled(true);
  if (error != ERROR_SUCCESS) {
    Button("Button4")->setEnabled(true);
    UpdateLinkQuality();
    Message(this, kLinkLostMessage, u"Внимание!", MB_OK | MB_ICONWARNING);
    return;
  }
  linkLost_ = false;
  EnableRecorderButtons(true);
  Button("Button10")->setEnabled(false);
  Button("Button4")->setEnabled(false);
  recorder.StartStream();
  acquisition.ResetVoltage();
  linkWatch_.Restart();
  UpdateLinkQuality();
  worker_->Resume();
}

void TForm1::ServeZeroFix() {
  // Channel offsets stay 0: nothing is known about what the recorder's trim expects, so
  // the fix sends zero offsets and subtracts nothing.
  zeroFixArmed = false;
  StopRecorderStream(recorder);
  env_.sleep(100);
  recorder.SetZeroOffsets(0, 0, 0);
  env_.sleep(100);
  recorder.StartStream();
}

void TForm1::NewSweep() {
  back_.fill(palette().color(QPalette::Window));
  for (int band = 0; band < leads; ++band) DrawGrid(band);
  sweepX = prevX = 0;
  prevY = {};
  warning_->update();
  paintBox_->update();
}

void TForm1::DrawGrid(int band) {
  const QFontMetrics fm(font());
  display::GridInput in;
  in.left = layout_.traceLeft;
  in.top = layout_.traceTop;
  in.right = layout_.traceRight;
  in.bottom = layout_.traceBottom;
  in.leads = leads;
  in.speed = speed;
  in.amplitude = amplitude;
  in.version = recorder.config().version;
  for (int i = 0; i < 3; ++i) {
    in.gainValue[i] = recorder.config().gainValue[i].Get();
    in.gainStep[i] = recorder.config().gainStep[i].Get();
    in.gainCode[i] = recorder.config().gainCode[i];
  }
  in.digitWidth = fm.horizontalAdvance("9");
  in.secHeight = fm.height();
  in.secWidth = fm.horizontalAdvance("Сек.");
  const display::BandGrid g = display::Grid(in, band);
  const int top = layout_.traceTop;  // window to back-buffer coordinates
  QPainter p(&back_);
  p.setPen(Qt::black);
  p.setBrush(QColor(192, 192, 192));
  p.drawRect(0, g.rectTop - top, in.right, g.rectBottom - g.rectTop);
  p.drawLine(0, g.centre - top, in.right, g.centre - top);
  for (const auto& pt : g.dots) p.drawPoint(pt.x, pt.y - top);
  for (const auto& pt : g.marks) p.drawPoint(pt.x, pt.y - top);
  p.setFont(font());
  for (const auto& t : g.texts) p.drawText(QPoint(t.x, t.y - top + fm.ascent()), Q(t.text));
}

void TForm1::DrawStep(const std::array<int, 3>& y, const std::array<int, 3>& d) {
  const int h = display::BandHeight(TraceHeight(), leads);
  const int x0 = display::SampleToPixelX(prevX, speed), x1 = display::SampleToPixelX(sweepX, speed);
  QRect dirty;
  {
    QPainter p(&back_);
    for (int j = 0; j < leads; ++j) {
      const int c = leads - j;
      p.setPen(QPen(ChannelColour(c), 1));
      const int base = display::BandBase(c, h);
      const QPoint a(x0, base - prevY[static_cast<size_t>(j)]), b(x1, base - y[static_cast<size_t>(j)]);
      p.drawLine(a, b);
      dirty |= QRect(a, b).normalized().adjusted(-1, -1, 1, 1);
    }
  }
  accelBox_->Set(d, position);
  prevY = y;
  prevD = d;
  prevX = sweepX;
  ++sweepX;
  dirty_ |= dirty & back_.rect();
}

// ---------------------------------------------------------------------------------------
// Buttons

void TForm1::Button4Click() {  // "Пуск"
  if (linkLost_) {
    if (!reconnecting_) TakeUpLinkAgain();
    return;
  }
  Button("Button3")->setEnabled(true);
  Button("Button9")->setEnabled(true);
  Button("Button4")->setEnabled(false);
  // The backlog of the stopped display is thrown away; a quiet link ends the reads at
  // once instead of waiting out 10000 time limits.
  BYTE b = 0;
  for (int i = 0; i < 10000; ++i) {
    DWORD n = 0;
    env_.io.read(recorder.link(), &b, 1, &n);
    if (n == 0) break;
  }
  // "Стоп" pressed before the sweep had ended is taken back, or the traces would stop at
  // the sweep's end after all, with "Пуск" off.
  StopAtSweepEnd = false;
  linkWatch_.Restart();
  worker_->Resume();
  acquisition.decoder.Reset();
  acquisition.ResetStatistics();
}

void TForm1::Button3Click() {  // "Стоп"
  Button("Button4")->setEnabled(true);
  Button("Button3")->setEnabled(false);
  Button("Button9")->setEnabled(false);
  StopAtSweepEnd = true;
  if (form2_)
    for (int i = 0; i < 3; ++i)
      form2_->ShowStatistics(i, MakeStatisticsRow(acquisition.minima[static_cast<size_t>(i)],
                                                  acquisition.maxima[static_cast<size_t>(i)]));
}

void TForm1::Button2Click() {  // "Медленнее"
  speed = display::Slower(speed);
  RestartSweep();
}
void TForm1::Button5Click() {  // "Быстрее"
  speed = display::Faster(speed);
  RestartSweep();
}
void TForm1::Button6Click() {  // "Больше"
  amplitude += 0.1;
  RestartSweep();
}
void TForm1::Button7Click() {  // "Меньше"
  amplitude -= 0.1;
  RestartSweep();
}

void TForm1::Button10Click() {  // "ПускФП"
  Button("Button10")->setEnabled(false);
  Button("Button9")->setEnabled(true);
  Button("Button3")->setEnabled(true);
  worker_->Resume();
  acquisition.decoder.Reset();
}

void TForm1::Button9Click() {  // "ОстановФП"
  Button("Button9")->setEnabled(false);
  Button("Button3")->setEnabled(false);
  Button("Button10")->setEnabled(true);
  worker_->Suspend();
}

void TForm1::Button11Click() {
  if (form2_) {
    form2_->show();
    form2_->raise();
  }
}

void TForm1::Button13Click() {
  StopRecorderStream(recorder);
  env_.sleep(100);
  recorder.RereadConfig();
  if (recorder.config().InSetupMode()) {
    Button("Button13")->setText("Норма");
    if (form2_) form2_->SetWriteEnabled(false);
    recorder.EnterNormalMode();
  } else {
    Button("Button13")->setText("Настройка");
    if (form2_) form2_->SetWriteEnabled(true);
    recorder.EnterSetupMode();
  }
  recorder.StartStream();
}

void TForm1::Button8Click() {  // "Применить": the gains
  StopRecorderStream(recorder);
  env_.sleep(100);
  RestartSweep();
  const std::array<int, 3> spin = {findChild<QSpinBox*>("SpinEdit3")->value(),
                                   findChild<QSpinBox*>("SpinEdit2")->value(),
                                   findChild<QSpinBox*>("SpinEdit1")->value()};
  const std::array<int, 3> zerosXYZ = {acquisition.zeros[2], acquisition.zeros[1], acquisition.zeros[0]};
  const GainPlan plan = ApplyGains(recorder.config(), spin, form2_ ? form2_->Identity() : IdentityTexts{}, zerosXYZ,
                                   form2_ ? form2_->Choice() : RecordingChoice{}, captions);
  if (plan.needsCalibration) {
    Message(this,
            u"Необходимо произвести калибровку!\r\nс использованием эталонного сигнала\r\nПрограмма прекращает работу",
            u"  Внимание!!!", MB_OK | MB_ICONWARNING);
    EndProgram();
    return;
  }
  if (plan.leadsChanged) {
    leads = plan.leads;
    RebuildCaptions();
  }
  recorder.SetGainCodes(plan.codes[0], plan.codes[1], plan.codes[2]);
  env_.sleep(100);
  recorder.WriteConfig();
  env_.sleep(100);
  recorder.StartStream();
  env_.sleep(100);
}

// ---------------------------------------------------------------------------------------
// Timers and the patient panel

void TForm1::Timer1Timer() {
  if (acquisition.decoder.lastReadDelivered) {
    switch (ClassifyBattery(acquisition.voltageMean)) {
      case BatteryState::Good:
        warning_->hide();
        break;
      case BatteryState::Blinking:
        warning_->setText("Напряжение питания на пределе");
        warning_->setVisible(!warning_->isVisible());
        break;
      case BatteryState::Low:
        warning_->setText("Аккумуляторная батарея требует подзарядки или замены");
        warning_->show();
        break;
    }
  }
  acquisition.ResetVoltage();
  warning_->update();
}

void TForm1::tmr1Timer() {
  if (about_) about_->hide();
  tmr1_->stop();
}

void TForm1::UpdateLinkQuality() {
  if (linkLost_) {
    quality_->setText(reconnecting_ ? "Связь с регистратором потеряна. Подключение…" : "Связь с регистратором потеряна");
    return;
  }
  const StreamDecoder& d = acquisition.decoder;
  Second now{d.records - qualityLast_.records, d.resyncs - qualityLast_.resyncs, d.emptyReads - qualityLast_.empty};
  qualityLast_ = {d.records, d.resyncs, d.emptyReads};
  qualityRing_[static_cast<size_t>(qualityIndex_)] = now;
  qualityIndex_ = (qualityIndex_ + 1) % 10;
  Second sum{};
  for (const auto& s : qualityRing_) {
    sum.records += s.records;
    sum.resyncs += s.resyncs;
    sum.empty += s.empty;
  }
  quality_->setText(QString("Связь: %1 зап./с; за 10 с сбоев %2, пусто %3")
                        .arg(now.records)
                        .arg(sum.resyncs)
                        .arg(sum.empty));
}

void TForm1::MaskEdit12Enter() {
  const QDate today = env_.now().date();
  const auto age = AgeInYears(U(Edit("MaskEdit3")->displayText()), today.year(), today.month(), today.day());
  if (age) Edit("MaskEdit12")->setText(QString::number(*age));
}

void TForm1::MaskEditFamiliaEnter() {
  // Refilled from the stored block only when empty: text typed since the last
  // "Закончить" is never thrown away.
  const std::u16string stored = patientBlock.Get(patient::kSurname);
  if (Edit("MaskEditFamilia")->text().isEmpty() && !stored.empty()) Edit("MaskEditFamilia")->setText(Q(stored));
}

void TForm1::MaskEdit5Click() { Edit("MaskEdit5")->setText(Q(SexAfterClick(U(Edit("MaskEdit5")->text())))); }
void TForm1::MaskEdit5KeyUp() { Edit("MaskEdit5")->setText(Q(SexAfterKeyUp(U(Edit("MaskEdit5")->text())))); }

void TForm1::PanelEnter() {
  const std::pair<const char*, PatientField> fields[] = {{"MaskEdit10", patient::kChannel1},
                                                          {"MaskEdit9", patient::kChannel2},
                                                          {"MaskEdit8", patient::kChannel3},
                                                          {"MaskEdit5", patient::kSex}};
  for (const auto& [name, field] : fields) {
    const std::u16string stored = patientBlock.Get(field);
    if (Edit(name)->text().isEmpty() && !stored.empty()) Edit(name)->setText(Q(stored));
  }
  if (auto* calendar = findChild<QCalendarWidget*>("MonthCalendar1")) calendar->setSelectedDate(env_.now().date());
  // Of the display only the trace mapping is to be re-applied, and every step already maps
  // samples to pixels with the current speed factor (display::SampleToPixelX). The sweep
  // is not restarted: typing the particulars must not wipe the traces that the
  // electrodes are being checked on.
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  const QString name = watched->objectName();
  if (event->type() == QEvent::FocusIn) {
    if (name == "MaskEdit12") MaskEdit12Enter();
    if (name == "MaskEditFamilia") MaskEditFamiliaEnter();
  } else if (name == "MaskEdit5" && event->type() == QEvent::MouseButtonPress) {
    MaskEdit5Click();
  } else if (name == "MaskEdit5" && event->type() == QEvent::KeyRelease) {
    MaskEdit5KeyUp();
  }
  return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------
// The end of the session

PatientTexts TForm1::Texts() const {
  PatientTexts t;
  auto text = [&](const char* name) { return U(Edit(name)->displayText()); };
  t.surname = text("MaskEditFamilia");
  t.firstName = text("MaskEdit1");
  t.patronymic = text("MaskEdit2");
  t.birth = text("MaskEdit3");
  t.sex = text("MaskEdit5");
  t.regNumber = text("MaskEdit7");
  t.height = text("MaskEditRost");
  t.weight = text("MaskEditVes");
  t.clinic = text("MaskEditKlinika");
  t.doctor = text("MaskEditVrach");
  t.channel1 = text("MaskEdit10");
  t.channel2 = text("MaskEdit9");
  t.channel3 = text("MaskEdit8");
  t.date = text("MaskEdit4");
  t.time = text("MaskEdit6");
  return t;
}

void TForm1::Button1Click() {  // "Закончить"
  const PatientTexts texts = Texts();
  if (!patientBlock.BuildNames(texts)) {
    if (Message(this, u"Введите Фамилию,имя,отчество\r\nи регистрационный номер!", u"  Внимание!!!",
                MB_RETRYCANCEL | MB_ICONWARNING) == IDCANCEL)
      EndProgram();
    return;
  }
  patientBlock.BuildRest(texts);

  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
  const char letter = FindCard();
  if (!letter) {
    SetErrorMode(previous);
    Message(this, u"В системе нет устройства чтения\r\nили не вставлена карта!", u"Внимание!",
            MB_OK | MB_ICONERROR | MB_TOPMOST);
    return;
  }
  const std::u16string card = std::u16string(1, static_cast<char16_t>(letter)) + u":\\VKFRCG.BIN";
  auto failed = [&](const char16_t* what, DWORD error) {
    SetErrorMode(previous);
    const std::u16string why = CardErrorText(error);
    Message(this,
            std::u16string(what) + u" " + card + u"\r\nКод ошибки " + U(QString::number(error)) +
                (why.empty() ? u"" : u" (" + why + u")") +
                u".\r\nРегистратор не освобождён, запись можно повторить.",
            u"Внимание!", MB_OK | MB_ICONERROR);
  };
  CardFile file;
  if (DWORD error = file.Open(letter)) {
    failed(u"Не удалось открыть", error);
    return;
  }
  if (Message(this, u"Карта заполнена правильно?", u"Внимание", MB_YESNO) != IDYES) {
    file.Close();
    SetErrorMode(previous);
    return;
  }
  const DWORD error = file.Write(recorder.config().yearSince2000, recorder.config().month, patientBlock);
  file.Close();
  if (error) {
    failed(u"Не удалось записать", error);
    return;
  }
  SetErrorMode(previous);
  // Without the recorder the session is not over: the card is written, the recorder is
  // neither stopped nor released until the link is taken up again and this pressed again.
  auto notReleased = [&] {
    Message(this,
            u"Карта " + card + u" записана, но связь с регистратором потеряна.\r\n"
            u"Регистратор не освобождён, запись можно повторить.",
            u"Внимание!", MB_OK | MB_ICONERROR);
  };
  if (linkLost_) {
    notReleased();
    return;
  }
  StopRecorderStream(recorder);
  env_.sleep(1000);
  recorder.ReleaseRecorder();
  if (recorder.LinkFailed()) {
    OnLinkLost(false);
    notReleased();
    return;
  }
  RecordSaved = true;
  worker_->Suspend();
  worker_->Terminate();
  vkbtClose(recorder.link());
  recorder.SetLink(nullptr);
  EndProgram();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (reconnecting_) {
    // The recorder is the reconnection's until it ends; the window closes after it.
    reconnect_.join();
    reconnecting_ = false;
  }
  if (!RecordSaved && recorder.link()) {
    worker_->Suspend();
    Message(this, u"Программа закрывается без сохранения введенных данных ", u"  Внимание!!!",
            MB_OK | MB_ICONWARNING);
    recorder.ReleaseRecorder();
  }
  event->accept();
  EndProgram();
}

}  // namespace ordiva
