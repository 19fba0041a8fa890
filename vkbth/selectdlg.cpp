// Dialog 102 and its checking thread.
#include "selectdlg.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QTreeWidget>

#include <new>

#include "link.h"
#include "nxqt/nxqt.h"
#include "objects.h"
#include "socket.h"
#include "virtualbt.h"

namespace vkbth {
namespace {

constexpr int kRecordRole = Qt::UserRole;  // the record's address
constexpr int kStateRole = Qt::UserRole + 1;  // the item's check state

QString Text(UINT id) {
  LPCWSTR text = nullptr;
  const int length = LoadStringW(Module(), id, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 ? QString::fromUtf16(text, length) : QString();
}

// The record's list item: holds one reference on it for as long as the item lives.
class RecordItem : public QTreeWidgetItem {
 public:
  explicit RecordItem(VKBTDeviceInfo* record) : record_(record) {
    AddRefDevice(record);
    setData(0, kRecordRole, QVariant::fromValue(reinterpret_cast<quintptr>(record)));
  }
  ~RecordItem() override { ReleaseDevice(record_); }
  VKBTDeviceInfo* Record() const { return record_; }

 private:
  VKBTDeviceInfo* record_;
};

VKBTDeviceInfo* RecordOf(const QTreeWidgetItem* item) {
  return item ? reinterpret_cast<VKBTDeviceInfo*>(item->data(0, kRecordRole).value<quintptr>()) : nullptr;
}
int StateOf(const QTreeWidgetItem* item) { return item->data(0, kStateRole).toInt(); }

bool Choosable(int state) { return state == kNotTested || state == kAnswered; }

// Whether the device's name begins with the prefix: its first n UTF-16 units, exactly.
bool HasPrefix(const WCHAR* name, const WCHAR* prefix) {
  for (; *prefix; ++prefix, ++name)
    if (*name != *prefix) return false;  // also where the name ends first
  return true;
}

QString TroubleText(ListTrouble trouble) {
  switch (trouble) {
    case ListTrouble::BluetoothOff: return Text(132);
    case ListTrouble::NoAdapter: return Text(133);
    case ListTrouble::NoService: return Text(134);
    case ListTrouble::NoPermission: return Text(135);
    case ListTrouble::None: break;
  }
  return QString();
}

// Posts a call to the window's thread; dropped when the window is gone by then.
template <typename F>
void Post(HWND dialog, F call) {
  auto* window = reinterpret_cast<SelectionWindow*>(dialog);  // never dereferenced here
  QMetaObject::invokeMethod(window, std::move(call), Qt::QueuedConnection);
}

// One record's check: a link in a list of the thread's own (the library's list of open
// links is untouched), then closed again. The connection error, 0 when it connected.
DWORD CheckRecord(VKBTDeviceInfo* record) {
  VKBTLink* head = nullptr;
  VKBTLink* link = ConstructLink(record, &head);
  if (!link) return ERROR_NOT_ENOUGH_MEMORY;
  const DWORD error = link->connectError;
  DestroyLink(link);
  return error;
}

}  // namespace

QString AddressText(const SOCKADDR_BTH& address) {
  QString text = QStringLiteral("(%1)").arg(QString::fromStdString(BtAddressText(address.btAddr)));
  if (address.port) text += QStringLiteral(":%1").arg(address.port);
  return text.left(64);
}

// ---- the checking thread ---------------------------------------------------------------

VKBTDEThread::VKBTDEThread(NXThread** self, CRITICAL_SECTION* lock, HWND dialog,
                           std::vector<VKBTDeviceInfo*> records)
    : NXThread(self, lock), m_hDialog(dialog), m_records(std::move(records)) {
  // Built on the window's thread: the buttons may be touched here.
  if (m_hThread) {
    auto* window = reinterpret_cast<SelectionWindow*>(dialog);
    window->findChild<QPushButton*>(QString::number(kIdCheck))->setEnabled(false);
    window->findChild<QPushButton*>(QString::number(kIdOk))->setEnabled(false);
  }
}

VKBTDEThread::~VKBTDEThread() {
  EndThread();  // the worker uses the records and the window: let it go first
  HWND dialog = m_hDialog;
  Post(dialog, [dialog] { reinterpret_cast<SelectionWindow*>(dialog)->CheckEnded(); });
}

void VKBTDEThread::ThreadProc() {
  const HWND dialog = m_hDialog;
  auto* window = reinterpret_cast<SelectionWindow*>(dialog);
  const QString checking = Text(107);
  Post(dialog, [window, checking] { window->SetStatusText(checking); });
  for (VKBTDeviceInfo* record : m_records) {
    // The lock is taken to post, never across a connect: a stop takes the lock and ends
    // this thread, which must not wait for a connect that never completes. After a
    // stop this thread posts nothing more.
    if (!NxEnterCriticalSectionAbortable(m_pLock)) return;
    Post(dialog, [window, record] { window->SetItemState(record, kChecking, 0); });
    LeaveCriticalSection(m_pLock);
    const DWORD error = CheckRecord(record);
    if (!NxEnterCriticalSectionAbortable(m_pLock)) return;
    Post(dialog, [window, record, error] { window->SetItemState(record, error ? kNoAnswer : kAnswered, error); });
    LeaveCriticalSection(m_pLock);
  }
  NXThread::ThreadProc();  // destroys this object under the lock
}

// ---- the window ----------------------------------------------------------------------------

SelectionWindow::SelectionWindow(VKBTSelectDialog* state, QWidget* parent) : QDialog(parent), state_(state) {
  setObjectName(QStringLiteral("102"));
  setWindowTitle(Text(102));
  setFont(nxqt::DialogFont());
  setSizeGripEnabled(false);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  const nxqt::DialogUnits du(nxqt::DialogFont());
  resize(du.Size(231, 143));

  label_ = new QLabel(Text(120), this);
  label_->setGeometry(du.Rect(7, 7, 50, 8));

  list_ = new QTreeWidget(this);
  list_->setObjectName(QString::number(kIdList));
  list_->setGeometry(du.Rect(7, 16, 217, 75));
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);  // full-row selection
  list_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  list_->header()->setSectionsClickable(false);
  list_->header()->setStretchLastSection(false);
  list_->setIconSize(QSize(32, 16));  // state picture and small picture side by side
  list_->setAccessibleName(label_->text());
  label_->setBuddy(list_);
  // The selection stays visible when the list loses the focus.
  QPalette palette = list_->palette();
  for (auto role : {QPalette::Highlight, QPalette::HighlightedText})
    palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
  list_->setPalette(palette);
  list_->setHeaderLabels({Text(103), Text(104), Text(105)});
  for (int c = 0; c < 3; ++c) list_->headerItem()->setTextAlignment(c, Qt::AlignLeft | Qt::AlignVCenter);

  status_ = new QLabel(this);
  status_->setObjectName(QString::number(kIdStatus));
  status_->setGeometry(du.Rect(7, 98, 217, 17));
  status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  status_->setWordWrap(true);
  status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  check_ = new QPushButton(Text(121), this);
  check_->setObjectName(QString::number(kIdCheck));
  check_->setGeometry(du.Rect(7, 122, 70, 14));
  check_->setAutoDefault(false);
  ok_ = new QPushButton(Text(122), this);
  ok_->setObjectName(QString::number(kIdOk));
  ok_->setGeometry(du.Rect(109, 122, 50, 14));
  ok_->setDefault(true);
  ok_->setEnabled(false);
  cancel_ = new QPushButton(Text(123), this);
  cancel_->setObjectName(QString::number(kIdCancel));
  cancel_->setGeometry(du.Rect(167, 122, 57, 14));
  cancel_->setAutoDefault(false);
  for (QPushButton* b : {check_, ok_, cancel_}) b->setAccessibleName(b->text().remove('&'));
  // A screen reader reads the status line's text as its name; the description says what it is.
  status_->setAccessibleDescription(QStringLiteral("Состояние"));

  recorderPictures_ = nxqt::LoadPictureStrip(Module(), 101, 16);
  statePictures_ = nxqt::LoadPictureStrip(Module(), 104, 16);

  // Only clicks count.
  connect(check_, &QPushButton::clicked, this, [this] { StartCheck(); });
  connect(ok_, &QPushButton::clicked, this, [this] { accept(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });
  connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateStatusAndOk(); });

  // The measures of the resize layout, from the layout at creation.
  state_->window = nxqt::ToHwnd(this);
  state_->minWidth = width();
  state_->minHeight = height();
  const QRect c = cancel_->geometry(), o = ok_->geometry(), s = status_->geometry();
  state_->marginRight = width() - (c.x() + c.width());
  state_->marginBottom = height() - (c.y() + c.height());
  state_->gapX = c.x() - (o.x() + o.width());
  state_->gapY = c.y() - (s.y() + s.height());
  setMinimumSize(width(), height());

  // Centred over the parent, or on the screen.
  const QRect area = parent ? parent->frameGeometry() : QGuiApplication::primaryScreen()->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
  QMetaObject::invokeMethod(this, [this] { Fill(); }, Qt::QueuedConnection);
}

SelectionWindow::~SelectionWindow() {
  StopCheck();  // no thread may outlive the window it posts to
  delete list_;  // each item gives back its reference now
  list_ = nullptr;
}

void SelectionWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (placed_) return;
  placed_ = true;
  const RECT& r = state_->rect;
  if (r.right > r.left && r.bottom > r.top) {
    // The rectangle is the outer window; the frame's share is known once shown.
    const QRect frame = frameGeometry();
    const int extraW = frame.width() - width(), extraH = frame.height() - height();
    resize(std::max<int>(r.right - r.left - extraW, minimumWidth()),
           std::max<int>(r.bottom - r.top - extraH, minimumHeight()));
    move(r.left, r.top);
  }
}

void SelectionWindow::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (isMinimized()) return;
  const int W = width(), H = height();
  const int right = W - state_->marginRight, bottom = H - state_->marginBottom;
  QRect c = cancel_->geometry();
  c.moveTopLeft(QPoint(right - c.width(), bottom - c.height()));
  cancel_->setGeometry(c);
  QRect o = ok_->geometry();
  o.moveTopLeft(QPoint(c.x() - state_->gapX - o.width(), bottom - o.height()));
  ok_->setGeometry(o);
  QRect k = check_->geometry();
  k.moveTop(bottom - k.height());
  check_->setGeometry(k);
  QRect s = status_->geometry();
  s.setWidth(right - s.x());
  s.moveTop(k.y() - state_->gapY - s.height());
  status_->setGeometry(s);
  QRect l = list_->geometry();
  l.setWidth(right - l.x());
  l.setHeight(s.y() - state_->gapY - l.y());
  list_->setGeometry(l);
  cancel_->repaint();
  ok_->repaint();
  status_->setText(status_->text());
}

void SelectionWindow::Fill() {
  list_->clear();  // the items give back their references
  list_->setToolTip(QString());
  SetStatusText(Text(106));
  ok_->setEnabled(false);
  ListKnownDevices(this, [this](DeviceList list) { FillWith(list); });
}

void SelectionWindow::FillWith(const DeviceList& list) {
  const VKBTSELECTPARAMS& p = state_->params;
  const WCHAR* prefix = p.pszNamePrefix && *p.pszNamePrefix ? p.pszNamePrefix : nullptr;
  const GUID* serviceClass = (p.dwFlags & VKBTSP_SERVICE_CLASS) ? &p.guidServiceClass : nullptr;
  for (const BLUETOOTH_DEVICE_INFO& info : list.devices) {
    if (prefix && !HasPrefix(info.szName, prefix)) continue;
    VKBTDeviceInfo* record = BuildDeviceInfo(info, serviceClass, serviceClass ? 0 : p.ulChannel, p.pszPasskey);
    if (!record) continue;
    if (!AddRecord(record)) {
      AddRefDevice(record);  // destroyed at once: the list refused it
      ReleaseDevice(record);
    }
  }
  if (list_->topLevelItemCount() == 0) list_->setToolTip(TroubleText(list.trouble));
  SizeColumns();
  UpdateStatusAndOk();
}

bool SelectionWindow::AddRecord(VKBTDeviceInfo* record) {
  auto* item = new (std::nothrow) RecordItem(record);
  if (!item) return false;
  item->setText(0, QString::fromUtf16(record->info.szName));
  list_->addTopLevelItem(item);
  record->listWindow = nxqt::ToHwnd(list_);
  item->setText(2, AddressText(record->address));
  SetItemState(record, kNotTested, 0);
  return true;
}

QTreeWidgetItem* SelectionWindow::ItemOf(const VKBTDeviceInfo* record) const {
  if (!list_ || record->listWindow != nxqt::ToHwnd(list_)) return nullptr;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list_->topLevelItem(i);
    if (RecordOf(item) == record) return item;
  }
  return nullptr;
}

void SelectionWindow::SetItemState(VKBTDeviceInfo* record, int state, DWORD error) {
  QTreeWidgetItem* item = ItemOf(record);
  if (!item) return;
  item->setData(0, kStateRole, state);
  // The state picture (none for state 0) beside the small picture (3 for state 0).
  QPixmap picture(32, 16);
  picture.fill(Qt::transparent);
  {
    QPainter painter(&picture);
    if (state > 0 && state - 1 < statePictures_.size()) statePictures_[state - 1].paint(&painter, 0, 0, 16, 16);
    const int small = state == kNotTested ? 3 : state;
    if (small < recorderPictures_.size()) recorderPictures_[small].paint(&painter, 16, 0, 16, 16);
  }
  item->setIcon(0, QIcon(picture));
  item->setText(1, Text(111 + state));
  const QString why = state == kNoAnswer ? FailureReason(error) : QString();
  for (int c = 0; c < 3; ++c) item->setToolTip(c, why);
}

QString SelectionWindow::FailureReason(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS: return QString();
    case ERROR_OPERATION_ABORTED: return Text(136);
    case WSAEACCES:
    case ERROR_ACCESS_DENIED: return Text(135);
    case WSAENETDOWN: return Text(132);
    case ERROR_NOT_AUTHENTICATED: return Text(131);
    default: return Text(130);
  }
}

void SelectionWindow::SetStatusText(const QString& text) { status_->setText(text); }

void SelectionWindow::SizeColumns() {
  // resizeColumnToContents never makes a column narrower than its header.
  for (int c = 0; c < 3; ++c) list_->resizeColumnToContents(c);
}

void SelectionWindow::UpdateStatusAndOk() {
  int choosable = 0;
  bool selectedChoosable = false;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list_->topLevelItem(i);
    if (!Choosable(StateOf(item))) continue;
    ++choosable;
    if (item->isSelected()) selectedChoosable = true;
  }
  SetStatusText(Text(choosable == 0 ? 108 : selectedChoosable ? 110 : 109));
  ok_->setEnabled(selectedChoosable);
}

void SelectionWindow::StartCheck() {
  EnterCriticalSection(&state_->lock);
  if (!state_->thread) {
    std::vector<VKBTDeviceInfo*> records;
    for (int i = 0; i < list_->topLevelItemCount(); ++i)
      if (VKBTDeviceInfo* r = RecordOf(list_->topLevelItem(i))) records.push_back(r);
    auto* thread = new VKBTDEThread(&state_->thread, &state_->lock, state_->window, std::move(records));
    if (!state_->waitCursor) {
      grabMouse();
      QApplication::setOverrideCursor(Qt::WaitCursor);
      state_->waitCursor = TRUE;
    }
    if (thread->Status() != S_OK || thread->SetState(1) != S_OK) delete thread;  // posts the end
  }
  LeaveCriticalSection(&state_->lock);
}

void SelectionWindow::StopCheck() {
  EnterCriticalSection(&state_->lock);
  if (state_->thread) {
    state_->thread->SetState(0);
    delete state_->thread;  // ends the thread, waits for it, clears the slot
  }
  LeaveCriticalSection(&state_->lock);
  // The posted end may never be handled when the dialog ends now: undo the capture here.
  if (state_->waitCursor) {
    releaseMouse();
    QApplication::restoreOverrideCursor();
    state_->waitCursor = FALSE;
  }
}

void SelectionWindow::CheckEnded() {
  if (state_->waitCursor) {
    releaseMouse();
    QApplication::restoreOverrideCursor();
    state_->waitCursor = FALSE;
  }
  check_->setEnabled(true);
  SizeColumns();
  UpdateStatusAndOk();
}

void SelectionWindow::accept() {
  StopCheck();
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  VKBTDeviceInfo* record = selected.isEmpty() ? nullptr : RecordOf(selected.first());
  if (!record) return;  // nothing chosen: the dialog stays open
  if (state_->chosen) ReleaseDevice(state_->chosen);
  AddRefDevice(record);
  state_->chosen = record;
  done(1);
}

void SelectionWindow::reject() {
  StopCheck();
  done(0);
}

void SelectionWindow::done(int code) {
  const QRect frame = frameGeometry();
  state_->rect = RECT{frame.left(), frame.top(), frame.left() + frame.width(), frame.top() + frame.height()};
  QDialog::done(code);
}

}  // namespace vkbth
