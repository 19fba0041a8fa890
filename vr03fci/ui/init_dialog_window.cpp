// Dialog 101 over Qt Widgets, and the program's windowed run.
#include "init_dialog_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>

#include <memory>

#include "ids.h"
#include "nxqt/nxqt.h"
#include "nxrtl/nxrtl.h"

namespace fci {
namespace {

// Horizontal extent of the size values, in dialog units.
constexpr int kValueX = 73;
constexpr int kValueRight = 133;
// Horizontal extent of the elapsed and remaining times, in dialog units.
constexpr int kTimeX = 93;
constexpr int kTimeRight = 201;

QString Q(const std::u16string& s) { return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())); }

// Icon 102 of the program from its resources, at both of its sizes.
QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32}) {
    HANDLE h = LoadImageW(NxThisModule(), MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON, size, size, LR_SHARED);
    int w = 0, hgt = 0;
    if (!h || !NxGetIconPixels(static_cast<HICON>(h), &w, &hgt, nullptr, 0)) continue;
    QImage image(w, hgt, QImage::Format_ARGB32_Premultiplied);
    if (NxGetIconPixels(static_cast<HICON>(h), &w, &hgt, reinterpret_cast<DWORD*>(image.bits()),
                        static_cast<DWORD>(w * hgt)))
      icon.addPixmap(QPixmap::fromImage(image));
  }
  return icon;
}

}  // namespace

InitDialogWindow::InitDialogWindow(InitDialog* logic, QWidget* parent) : QDialog(parent), logic_(logic) {
  setWindowTitle(QStringLiteral("Инициализатор карт памяти VR-03"));
  // Modal frame with caption, system menu and the help button; a window of its own in
  // the task bar.
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::WindowContextHelpButtonHint);
  setWindowIcon(ProgramIcon());
  setFont(nxqt::DialogFont());  // the desktop's font stands for "MS Shell Dlg" 8 pt
  const nxqt::DialogUnits du(font());
  setFixedSize(du.X(215), du.Y(179));

  auto group = [&](const char* text, int x, int y, int w, int h) {
    auto* g = new QGroupBox(QString::fromUtf8(text), this);
    g->setGeometry(du.Rect(x, y, w, h));
    g->setAccessibleName(g->title());
  };
  QLabel* lastLabel = nullptr;
  // A label with an id shows a value: it starts empty (no figure that was not read from a
  // card) and tells assistive technology its caption and its value together.
  auto label = [&](int id, const char* text, int x, int y, int w, int h, bool right = false) {
    auto* l = new QLabel(id ? QString() : QString::fromUtf8(text), this);
    l->setGeometry(du.Rect(x, y, w, h));
    if (right) l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    if (id) {
      l->setObjectName(QString::number(id));
      controls_[id] = l;
      if (lastLabel) captions_[id] = lastLabel->text().trimmed().remove(QLatin1Char(':'));
      l->setAccessibleName(captions_[id]);
    } else {
      l->setAccessibleName(l->text().trimmed());
      lastLabel = l;
    }
    return l;
  };
  group("Диск", 7, 7, 133, 65);
  group("Параметры", 7, 79, 201, 27);
  group("Состояние", 7, 113, 201, 59);

  label(0, "Имя:  ", 14, 20, 22, 8);
  drives_ = new QComboBox(this);
  drives_->setObjectName(QStringLiteral("1001"));
  drives_->setAccessibleName(QStringLiteral("Имя"));
  const QRect comboRect = du.Rect(42, 18, 50, 67);  // the height is the open list's
  drives_->setGeometry(comboRect.x(), comboRect.y(), comboRect.width(), drives_->sizeHint().height());
  drives_->setMaxVisibleItems(std::max(1, (comboRect.height() - drives_->sizeHint().height()) /
                                              std::max(1, QFontMetrics(font()).height())));
  controls_[IDC_DRIVES] = drives_;
  label(0, "Размер кластера:  ", 14, 34, 72, 8);
  // The values stand right-aligned up to where the dialog has them end; they reach further
  // left than the dialog's 48 units so that the sizes of the largest card accepted (below
  // 4 GiB: seven digits of kilobytes, "4 193 536 кБ") fit desktop fonts whose digits are
  // wider against their average letter than those of the font the dialog was drawn for.
  label(IDC_CLUSTER, nullptr, kValueX, 34, kValueRight - kValueX, 8, true);
  label(0, "Полный размер:  ", 14, 46, 60, 8);
  label(IDC_TOTAL, nullptr, kValueX, 46, kValueRight - kValueX, 8, true);
  label(0, "Свободно:  ", 14, 58, 41, 8);
  label(IDC_FREE, nullptr, kValueX, 58, kValueRight - kValueX, 8, true);

  check_ = new QCheckBox(QStringLiteral("Проверка"), this);
  check_->setGeometry(du.Rect(14, 90, 59, 10));
  strict_ = new QCheckBox(QStringLiteral("Строгая проверка"), this);
  strict_->setGeometry(du.Rect(86, 90, 77, 10));
  auto* close = new QPushButton(QStringLiteral("Закрыть"), this);
  // The buttons start 4 units left of where the dialog has them: "Инициализация" touched
  // the frame of 61 units in the desktop's font.
  close->setGeometry(du.Rect(143, 7, 65, 14));
  start_ = new QPushButton(QStringLiteral("Инициализация"), this);
  start_->setGeometry(du.Rect(143, 28, 65, 14));
  start_->setCheckable(true);
  start_->setEnabled(false);
  for (auto [id, w] : {std::pair<int, QAbstractButton*>{IDC_CHECK, check_}, {IDC_STRICT, strict_},
                       {IDC_CLOSE, close}, {IDC_START, start_}}) {
    w->setObjectName(QString::number(id));
    w->setAccessibleName(w->text());
    controls_[id] = w;
    if (auto* b = qobject_cast<QPushButton*>(w)) b->setAutoDefault(false);
  }

  progress_ = new QProgressBar(this);
  progress_->setObjectName(QStringLiteral("1004"));
  progress_->setAccessibleName(QStringLiteral("Состояние"));
  progress_->setGeometry(du.Rect(14, 136, 187, 8));
  progress_->setTextVisible(false);
  controls_[IDC_PROGRESS] = progress_;
  // The times start a little right of where the dialog has them and run to the group's
  // edge: "00 мин. 00 с." lost its last letters in 44 units, and the captions of wider
  // fonts reached their first digit.
  label(0, "Время выполнения:  ", 14, 148, 72, 8);
  label(IDC_ELAPSED, nullptr, kTimeX, 148, kTimeRight - kTimeX, 8);
  label(0, "Осталось времени:  ", 14, 160, 71, 8);
  label(IDC_REMAINING, nullptr, kTimeX, 160, kTimeRight - kTimeX, 8);
  lastLabel = nullptr;
  captions_[IDC_STATUS] = QStringLiteral("Состояние");  // the group box's title
  label(IDC_STATUS, nullptr, 14, 124, 187, 8);

  connect(drives_, &QComboBox::activated, this, [this](int) { logic_->OnSelEndOk(); });
  connect(check_, &QCheckBox::clicked, this, [this](bool on) { logic_->OnCheckClicked(on); });
  connect(strict_, &QCheckBox::clicked, this, [this](bool on) { logic_->OnStrictClicked(on); });
  connect(close, &QPushButton::clicked, this, [this] { logic_->OnCloseClicked(); });
  connect(start_, &QPushButton::clicked, this, [this](bool pressed) { logic_->OnStartClicked(pressed); });

  logic_->Attach(this);
  timer_ = new QTimer(this);
  timer_->setInterval(500);
  connect(timer_, &QTimer::timeout, this, [this] { logic_->OnTimer(); });
  timer_->start();
  // The first refresh at once: the window never shows a status or a card list that no
  // refresh has made.
  logic_->OnTimer();
}

InitDialogWindow::~InitDialogWindow() {
  timer_->stop();
  logic_->Detach();
}

QWidget* InitDialogWindow::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

int InitDialogWindow::FindItem(WCHAR letter) { return drives_->findText(Q(std::u16string(1, letter)), Qt::MatchExactly); }

// The list's selection is the dialog's alone: QComboBox makes the first item put into an
// empty list current by itself, and moves the selection to a neighbour when the current
// item is removed. Both would choose a card for the user (one click on "Инициализация"
// would then wipe a card nobody chose), so the selection is put back as it was.
int InitDialogWindow::AddItem(WCHAR letter) {
  // A sorted list: the new letter goes before the first greater one.
  int index = 0;
  while (index < drives_->count() && drives_->itemText(index).at(0).unicode() < letter) ++index;
  const QSignalBlocker quiet(drives_);
  const int current = drives_->currentIndex();
  drives_->insertItem(index, Q(std::u16string(1, letter)));
  drives_->setCurrentIndex(current == -1 ? -1 : current + (index <= current ? 1 : 0));
  return index;
}

void InitDialogWindow::DeleteItem(int index) {
  const QSignalBlocker quiet(drives_);
  const int current = drives_->currentIndex();
  drives_->removeItem(index);
  drives_->setCurrentIndex(current == index ? -1 : current - (index < current ? 1 : 0));
}

int InitDialogWindow::CurSel() { return drives_->currentIndex(); }

void InitDialogWindow::SetCurSel(int index) {
  const QSignalBlocker quiet(drives_);
  drives_->setCurrentIndex(index);
}
WCHAR InitDialogWindow::ItemLetter(int index) { return drives_->itemText(index).at(0).unicode(); }
bool InitDialogWindow::IsDroppedDown() { return drives_->view() && drives_->view()->isVisible(); }

void InitDialogWindow::SetText(int controlId, const std::u16string& text) {
  auto* l = qobject_cast<QLabel*>(Control(controlId));
  if (!l) return;
  l->setText(Q(text));
  // A screen reader reads the name: "Полный размер: 3 145 716 кБ", not the caption alone.
  auto caption = captions_.find(controlId);
  if (caption != captions_.end())
    l->setAccessibleName(text.empty() ? caption->second : caption->second + QStringLiteral(": ") + Q(text));
}

void InitDialogWindow::Enable(int controlId, bool enabled) {
  if (QWidget* w = Control(controlId)) w->setEnabled(enabled);
}

void InitDialogWindow::Check(int controlId, bool checked) {
  if (auto* b = qobject_cast<QAbstractButton*>(Control(controlId))) b->setChecked(checked);
}

void InitDialogWindow::SetProgressRange(int max) { progress_->setRange(0, max); }

void InitDialogWindow::SetProgressPos(int pos) {
  // Positions past the range end stand at the end, as a Windows progress bar does.
  progress_->setValue(std::clamp(pos, progress_->minimum(), progress_->maximum()));
}

void InitDialogWindow::Beep(DWORD frequency, DWORD durationMs) { ::Beep(frequency, durationMs); }

int InitDialogWindow::AskUser(UINT captionId, UINT textId, UINT style) {
  MSGBOXPARAMSW params{};
  params.cbSize = sizeof params;
  params.hwndOwner = Window();
  params.hInstance = NxThisModule();
  params.lpszText = MAKEINTRESOURCEW(textId);
  params.lpszCaption = MAKEINTRESOURCEW(captionId);
  params.dwStyle = style;
  params.dwLanguageId = GetUserDefaultLangID();
  return MessageBoxIndirectW(&params);
}

void InitDialogWindow::ReportStartError(HRESULT hr) {
  nxErrMsgW(Window(), NxThisModule(), IDS_START_OPERATION, 0, hr, MB_ICONHAND);
}

void InitDialogWindow::EndDialog(int result) {
  ending_ = true;
  timer_->stop();
  done(result);
}

HWND InitDialogWindow::Window() { return nxqt::ToHwnd(this); }

void InitDialogWindow::Post(std::function<void()> update) {
  QMetaObject::invokeMethod(this, std::move(update), Qt::QueuedConnection);
}

void InitDialogWindow::closeEvent(QCloseEvent* event) {
  if (ending_) {
    QDialog::closeEvent(event);
    return;
  }
  event->ignore();
  logic_->OnCloseRequested();
}

void InitDialogWindow::reject() {
  if (ending_) QDialog::reject();
}

void InitDialogWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

int RunDialog(int argc, char** argv) {
  std::unique_ptr<QApplication> app(
      nxqt::OpenApplication(argc, argv, "on the terminal use vr03fci list|info|init (see vr03fci --help)"));
  if (!app) return 1;
  SetErrorMode(SEM_FAILCRITICALERRORS);  // probing readers without media raises nothing
  nxqt::InstallMessageBox();  // the platform's message boxes as windows of this application
  {
    InitDialog logic;  // reads the registry; writes it back at the end of this scope
    InitDialogWindow window(&logic);
    window.exec();
  }
  return 0;
}

}  // namespace fci
