// The working window's making: the program's windows in their order, the window's
// controls with their object names, its layout for a size, and its captions. The session
// flow, the drawing, the buttons and the patient panel are in working_window_*.cpp.
#include "working_window.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QSpinBox>
#include <QTimer>
#include <QScrollArea>
#include <QVBoxLayout>

#include "about_box.h"
#include "acquisition_worker.h"
#include "picture_window.h"
#include "setup_dialog.h"
#include "working_window_parts.h"

namespace ordiva {
namespace {

// The input mask of a date field: day and month digits optional, the year's required,
// the separator a literal whatever character it is.
QString DateMask(char16_t separator) {
  const QString sep = QString("\\") + QChar(separator);
  return "00" + sep + "00" + sep + "9999";
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Program

Program::Program(Environment env) : env_(std::move(env)) {}

Program::~Program() {
  delete setup_;
  delete window_;
  delete picture_;
}

bool Program::Start() {
  picture_ = new ordiva::PictureWindow([this] {
    if (env_.endProgram) env_.endProgram();
  });
  window_ = new ordiva::WorkingWindow(env_, picture_);
  if (!window_->StartSession()) return false;
  setup_ = new ordiva::SetupDialog(window_, env_);
  window_->SetSetupDialog(setup_);
  setup_->FillAndStartAcquisition();
  // The first step reports a failed start-up; without a link nothing else resumes it.
  if (window_->fatalLink || window_->greetingTimeout) window_->Worker()->Resume();
  return true;
}

// ---------------------------------------------------------------------------------------
// WorkingWindow: construction and layout

WorkingWindow::WorkingWindow(Environment& env, PictureWindow* picture)
    : recorder(nullptr, env.io), env_(env), picture_(picture), linkWatch_(env.clockMs, env.linkLimits) {
  setObjectName("Form1");
  recorder.SetResetDecoder([this] { acquisition.decoder.Reset(); });
  BuildControls();
  StartSignalCheck();
  ReadTraceColours();
  resize(1620, 938);
  worker_ = std::make_unique<AcquisitionWorker>(this, [this] { AcquisitionStep(); });
}

WorkingWindow::~WorkingWindow() {
  disconnect(focusWatch_);  // focus moves while the widgets go
  leadCheck_.reset();  // its thread ends first; reports it posted are dropped with the window
  if (reconnect_.joinable()) reconnect_.join();  // its result, posted to this window, is dropped
  worker_.reset();  // no worker outlives the window
  if (recorder.link()) vkbtClose(recorder.link());
  if (device) vkbtDeviceInfoClose(device);
  delete aboutBox_;
}

QWidget* WorkingWindow::Control(const char* name) const { return findChild<QWidget*>(name); }
QLineEdit* WorkingWindow::Edit(const char* name) const { return findChild<QLineEdit*>(name); }
QPushButton* WorkingWindow::Button(const char* name) const { return findChild<QPushButton*>(name); }

QColor WorkingWindow::ChannelColour(int channel) const { return colours_[static_cast<size_t>(channel - 1)]; }

void WorkingWindow::ReadTraceColours() {
  static const char* kCircles[] = {"Shape1", "Shape2", "Shape3"};
  for (size_t i = 0; i < 3; ++i) {
    QWidget* circle = Control(kCircles[i]);
    colours_[i] = circle ? circle->palette().color(QPalette::Window) : QColor(Qt::black);
  }
}

void WorkingWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
    ReadTraceColours();
    RestartSweep();
  }
  QWidget::changeEvent(event);
}

void WorkingWindow::BuildControls() {
  auto named = [](QWidget* w, const char* name, const QString& accessible) {
    w->setObjectName(name);
    w->setAccessibleName(accessible);
    return w;
  };
  auto button = [&](QWidget* parent, const char* name, const QString& caption, void (WorkingWindow::*handler)()) {
    auto* b = new QPushButton(caption, parent);
    named(b, name, caption);
    connect(b, &QPushButton::clicked, this, [this, handler] { (this->*handler)(); });
    return b;
  };

  topPanel_ = named(new QWidget(this), "Panel1", "Panel1");
  button(topPanel_, "Button4", "Пуск", &WorkingWindow::OnStartClicked);
  button(topPanel_, "Button3", "Стоп", &WorkingWindow::OnStopClicked);
  button(topPanel_, "Button2", "Медленнее", &WorkingWindow::OnSlowerClicked);
  button(topPanel_, "Button5", "Быстрее", &WorkingWindow::OnFasterClicked);
  button(topPanel_, "Button6", "Больше", &WorkingWindow::OnLargerClicked);
  button(topPanel_, "Button7", "Меньше", &WorkingWindow::OnSmallerClicked);
  button(topPanel_, "Button10", "ПускФП", &WorkingWindow::OnStreamStartClicked);
  button(topPanel_, "Button9", "ОстановФП", &WorkingWindow::OnStreamStopClicked);

  paintBox_ = new TracePaintBox(this, &back_);

  // The right panel scrolls when the window is lower than its controls need (a small
  // screen, a window made small), instead of squeezing fields until their text is cut
  // and boxes overlap; tabbing to a control out of sight scrolls it into view.
  rightScroll_ = new QScrollArea(this);
  rightScroll_->setFrameShape(QFrame::NoFrame);
  rightScroll_->setFocusPolicy(Qt::NoFocus);
  rightScroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  rightScroll_->setWidgetResizable(true);
  rightPanel_ = named(new QWidget(rightScroll_), "Panel2", "Panel2");
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
    BuildSignalRow(col, c + 1);
  }
  BuildHeartRate(col);
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
    row->addWidget(button(rightPanel_, "Button11", "Установка параметров", &WorkingWindow::OnSetupClicked));
    row->addWidget(button(rightPanel_, "Button13", "Норма", &WorkingWindow::OnModeClicked));
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
  g->addWidget(button(gains, "Button8", "Применить", &WorkingWindow::OnApplyGainsClicked), 2, 0, 1, 4);
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
  col->addWidget(button(rightPanel_, "Button1", "Закончить", &WorkingWindow::OnFinishClicked));
  col->addStretch(1);
  col->addWidget(button(rightPanel_, "Button12", "Закончить", &WorkingWindow::OnFinishClicked));
  // The panel scrolls only up and down: it takes the width it is given (as before it
  // scrolled at all), however much its widest row would like.
  col->setSizeConstraint(QLayout::SetNoConstraint);
  rightPanel_->setMinimumWidth(1);
  rightScroll_->setWidget(rightPanel_);

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

  supplyTimer_ = new QTimer(this);
  supplyTimer_->setObjectName("Timer1");
  supplyTimer_->setInterval(env_.supplyCheckMs);
  connect(supplyTimer_, &QTimer::timeout, this, [this] { OnSupplyTimer(); });
  splashTimer_ = new QTimer(this);
  splashTimer_->setObjectName("tmr1");
  splashTimer_->setInterval(env_.splashMs);
  connect(splashTimer_, &QTimer::timeout, this, [this] { OnSplashTimer(); });
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
    if (inPanel && !panelHasFocus_) OnPanelEntered();
    panelHasFocus_ = inPanel;
  });
}

int WorkingWindow::TraceHeight() const { return layout_.traceBottom - layout_.traceTop; }

void WorkingWindow::Relayout() {
  topPanel_->hide();
  rightScroll_->hide();
  const QFontMetrics fm(font());
  static const char* kTop[] = {"Button4", "Button3", "Button2", "Button5", "Button6", "Button7", "Button10", "Button9"};
  const int buttonHeight = Button("Button4")->sizeHint().height();
  layout_ = display::ComputeLayout(width(), height(), fm.horizontalAdvance("012345678901234567890123456789"),
                                   fm.horizontalAdvance("    123456789    "), buttonHeight);
  topPanel_->setGeometry(0, 0, width(), display::kTopPanelHeight);
  for (int i = 0; i < display::kTopButtons; ++i)
    Button(kTop[i])->setGeometry(layout_.buttonLeft[i], layout_.buttonTop, layout_.buttonWidth, buttonHeight);
  rightScroll_->setGeometry(layout_.rightPanelLeft, layout_.rightPanelTop, layout_.rightPanelWidth,
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
  rightScroll_->show();
  RestartSweep();
  if (worker_) worker_->Resume();
}

void WorkingWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Relayout();
}

void WorkingWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  const QDateTime now = env_.now();
  const QDate today = now.date();
  Edit("MaskEdit4")->setText(Q(DateText(today.year(), today.month(), today.day(), DateSeparator(env_.locale))));
  Edit("MaskEdit6")->setText(now.time().toString("HH:mm"));
  RestartSweep();
}

void WorkingWindow::RebuildCaptions() {
  setWindowTitle(Q(WorkingCaption(captions)));
  if (setup_) setup_->setWindowTitle(Q(SetupCaption()));
}

}  // namespace ordiva
