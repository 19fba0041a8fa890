// The recorder selection dialog against the virtual transport: listing with a name
// prefix, the check (with the virtual recorder, a switched-off one and one whose
// socket never accepts), choosing and cancelling, the window rectangle kept in the
// registry or the caller's buffer, the resize layout, and the argument checks.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAccessible>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <functional>
#include <thread>

#include "device.h"
#include "nxqt/nxqt.h"
#include "nxtest/btpeer.h"
#include "nxtest/process.h"
#include "nxtest/qtapp.h"
#include "nxtest/temp.h"
#include "selectdriver.h"
#include "vkbth.h"

namespace {

using namespace selecttest;
using vkbth::VKBTDeviceInfo;

int ThreadCount() {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// A recorder whose socket never accepts: its one-place queue is taken by a connection
// nobody accepts, so every further connect waits.
class StuckDevice {
 public:
  StuckDevice(const std::string& dir, ULONGLONG address) : path_(vkbth::VirtualSocketPath(dir, address)) {
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path_.c_str(), sizeof(sa.sun_path) - 1);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    EXPECT_EQ(listen(listener_, 0), 0);
    filler_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(filler_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
  }
  ~StuckDevice() {
    close(filler_);
    close(listener_);
    unlink(path_.c_str());
  }

 private:
  std::string path_;
  int listener_ = -1, filler_ = -1;
};

// The virtual recorder program, listening in the virtual world.
class Recorder : public nxtest::ChildProcess {
 public:
  Recorder(const std::string& dir, const std::string& files, const std::string& address, const std::string& name)
      : ChildProcess(Tool("vr03sim"),
                     {"--address", address, "--name", name, "--no-rfcomm", "--config", files + "/" + address + ".cfg"},
                     files + "/" + address + ".out", files + "/" + address + ".err") {
    for (int i = 0; i < 1000 && Running() && !std::filesystem::exists(dir + "/" + address); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(std::filesystem::exists(dir + "/" + address)) << Err();
  }
};

class SelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    params_.dwSize = 44;
    params_.ulChannel = 1;
  }
  // A device this computer knows (its name file), switched off.
  void Known(ULONGLONG address, const std::string& name) {
    std::ofstream(vkbth::VirtualNamePath(world_.Dir(), address)) << name << "\n";
  }
  INT_PTR Run(HVKBTDEVICE* out) { return vkbtSelectDevice(&params_, out); }

  bttest::VirtualWorld world_;
  nxtest::TempRegistry registry_;
  VKBTSELECTPARAMS params_{};
};

TEST_F(SelectTest, PrefixListsExactCaseSensitiveMatchesAndCancelLeavesTheOutSlot) {
  Known(0x008025000001, "VR-03");  // equal to the prefix
  Known(0x008025000002, "vr-03 0002");  // differs in case only
  Known(0x008025000003, "");  // no name
  Known(0x008025000004, "VR-03M 0004");
  Known(0x008025000005, "ЭКГ");
  params_.pszNamePrefix = u"VR-03";
  QStringList names, addresses;
  QString status, spoken;
  int refs = 0;
  WhenFilled([&](Dialog& d) {
    names = d.Names();
    status = d.status->text();
    // What a screen reader says of the status line: the text itself.
    spoken = QAccessible::queryAccessibleInterface(d.status)->text(QAccessible::Name);
    addresses << d.Item("VR-03")->text(2) << d.Item("VR-03")->text(1);
    refs = d.Record("VR-03")->refs;  // the list's one reference
    QTest::mouseClick(d.cancel, Qt::LeftButton);
  });
  HVKBTDEVICE out = reinterpret_cast<HVKBTDEVICE>(0x5a5a);
  SetLastError(1234);
  EXPECT_EQ(Run(&out), 0);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(out, reinterpret_cast<HVKBTDEVICE>(0x5a5a));
  EXPECT_EQ(names, QStringList({"VR-03", "VR-03M 0004"}));
  EXPECT_EQ(status, kChoose);  // untested items are choosable; none is selected
  EXPECT_EQ(spoken, kChoose);
  EXPECT_EQ(addresses, QStringList({"(00:80:25:00:00:01):1", "не проверен"}));
  EXPECT_EQ(refs, 1);

  // Without a prefix every known device is listed, the nameless one too; Esc cancels.
  params_.pszNamePrefix = u"";
  WhenFilled([&](Dialog& d) {
    names = d.Names();
    QTest::keyClick(d.list, Qt::Key_Escape);
  });
  EXPECT_EQ(Run(&out), 0);
  EXPECT_EQ(names.size(), 5);
  EXPECT_TRUE(names.contains(""));
}

TEST_F(SelectTest, OkNeedsASelectedChoosableItemAndHandsOutTheRecordWithOneReference) {
  Known(0x008025000011, "VR-03M 0011");
  Known(0x008025000012, "VR-03M 0012");
  bool openAfterBareOk = false;
  QString statusSelected;
  WhenFilled([&](Dialog& d) {
    EXPECT_FALSE(d.ok->isEnabled());
    d.window->accept();  // OK from the keyboard with nothing selected
    openAfterBareOk = Dialog::Find().window != nullptr;
    d.Select("VR-03M 0012");
    statusSelected = d.status->text();
    EXPECT_TRUE(d.ok->isEnabled());
    QTest::mouseClick(d.ok, Qt::LeftButton);
  });
  HVKBTDEVICE out = nullptr;
  EXPECT_EQ(Run(&out), 1);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(openAfterBareOk);
  EXPECT_EQ(statusSelected, kStart);
  ASSERT_NE(out, nullptr);
  auto* record = static_cast<VKBTDeviceInfo*>(out);
  EXPECT_EQ(std::u16string(record->info.szName), u"VR-03M 0012");
  const ULONGLONG btAddr = record->address.btAddr;  // packed: read by value
  EXPECT_EQ(btAddr, 0x008025000012ull);
  EXPECT_EQ(record->refs, 1);  // the list's and the dialog's references are gone
  // A link from the chosen record works as from any other, and the record can be given
  // back while the link is open.
  bttest::PeerDevice peer(world_.Dir(), 0x008025000012);
  HVKBTLINK link = nullptr;
  ASSERT_TRUE(vkbtCreate(out, &link));
  EXPECT_EQ(record->refs, 2);
  EXPECT_TRUE(vkbtDeviceInfoClose(out));
  EXPECT_TRUE(vkbtClose(link));
}

TEST_F(SelectTest, CheckMarksWhoAnswersAndASecondCheckTestsEveryItemAgain) {
  ASSERT_TRUE(std::filesystem::exists(Tool("vr03sim")));
  nxtest::TempDir files;
  Recorder live(world_.Dir(), files.Path(), "00:80:25:00:00:21", "VR-03M 0021");
  Known(0x008025000022, "VR-03M 0022");  // known, switched off
  QString statesAfterFirst, disabledDuringCheck, statusOfOff, tipOfOff, statusAlone, okOff;
  QString statesAfterSecond;
  WhenFilled([&](Dialog& d) {
    QTest::mouseClick(d.check, Qt::LeftButton);
    disabledDuringCheck = QString("%1 %2").arg(d.check->isEnabled()).arg(d.ok->isEnabled());
    EXPECT_EQ(QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : Qt::ArrowCursor,
              Qt::WaitCursor);
    ASSERT_TRUE(WaitCheckEnded(d));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    statesAfterFirst = d.State("VR-03M 0021") + "/" + d.State("VR-03M 0022");
    tipOfOff = d.Item("VR-03M 0022")->toolTip(0);
    // A state-3 selection disables OK: 109 while another item answered...
    d.Select("VR-03M 0022");
    statusOfOff = d.status->text();
    okOff = QString::number(d.ok->isEnabled());
    // ... and the second check takes every item through "проверка…" again: the
    // switched-off recorder comes on meanwhile, the live one goes.
    bttest::PeerDevice peer(world_.Dir(), 0x008025000022);
    live.Stop();
    std::filesystem::remove(world_.Dir() + "/00:80:25:00:00:21");
    QTest::mouseClick(d.check, Qt::LeftButton);
    ASSERT_TRUE(WaitCheckEnded(d));
    statesAfterSecond = d.State("VR-03M 0021") + "/" + d.State("VR-03M 0022");
    // The selected item answers now: OK is back on.
    EXPECT_TRUE(d.ok->isEnabled());
    d.Select("VR-03M 0021");
    statusAlone = d.status->text();
    EXPECT_FALSE(d.ok->isEnabled());
  });
  HVKBTDEVICE out = nullptr;
  EXPECT_EQ(Run(&out), 0);
  EXPECT_EQ(disabledDuringCheck, "0 0");
  EXPECT_EQ(statesAfterFirst, "доступен/недоступен");
  EXPECT_EQ(statusOfOff, kChoose);
  EXPECT_EQ(okOff, "0");
  EXPECT_EQ(tipOfOff, "Регистратор не ответил: он выключен, вне досягаемости или занят.");
  EXPECT_EQ(statesAfterSecond, "недоступен/доступен");
  EXPECT_EQ(statusAlone, kChoose);
}

TEST_F(SelectTest, NoItemChoosableShowsTheEmptyTextAndOkStaysOff) {
  Known(0x008025000031, "VR-03M 0031");
  QString status;
  bool ok = true;
  WhenFilled([&](Dialog& d) {
    QTest::mouseClick(d.check, Qt::LeftButton);
    ASSERT_TRUE(WaitCheckEnded(d));
    d.Select("VR-03M 0031");
    status = d.status->text();
    ok = d.ok->isEnabled();
  });
  HVKBTDEVICE out = nullptr;
  Run(&out);
  EXPECT_EQ(status, kNone);
  EXPECT_FALSE(ok);

  // An empty world: 108 at once, and a check that ends at once.
  std::filesystem::remove(vkbth::VirtualNamePath(world_.Dir(), 0x008025000031));
  bool checkEnded = false;
  WhenFilled([&](Dialog& d) {
    status = d.status->text();
    QTest::mouseClick(d.check, Qt::LeftButton);
    checkEnded = WaitCheckEnded(d, 2000);
  });
  Run(&out);
  EXPECT_EQ(status, kNone);
  EXPECT_TRUE(checkEnded);
}

TEST_F(SelectTest, CancelEndsACheckStuckInConnectPromptlyAndLeavesNoThread) {
  Known(0x008025000041, "VR-03M 0041");
  StuckDevice stuck(world_.Dir(), 0x008025000041);
  const int threadsBefore = ThreadCount();
  int refsInConnect = 0;
  Clock::time_point cancelled;
  WhenFilled([&](Dialog& d) {
    QTest::mouseClick(d.check, Qt::LeftButton);
    QTest::qWait(300);  // well inside the connect's wait
    EXPECT_EQ(d.State("VR-03M 0041"), "проверка…");
    // The checking thread holds its count atomically: read it the same way.
    refsInConnect = std::atomic_ref<LONG>(d.Record("VR-03M 0041")->refs).load();  // the list's and the check's link
    cancelled = Clock::now();
    QTest::keyClick(d.window, Qt::Key_Escape);
  });
  HVKBTDEVICE out = nullptr;
  EXPECT_EQ(Run(&out), 0);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - cancelled).count();
  EXPECT_LT(ms, 1500) << "aim: 300 ms";
  EXPECT_EQ(refsInConnect, 2);
  // The checking thread has left its work; the system may take a moment to reap it.
  for (int i = 0; i < 100 && ThreadCount() > threadsBefore; ++i) QTest::qWait(10);
  EXPECT_EQ(ThreadCount(), threadsBefore);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The dialog's outer rectangle as the library stores it.
RECT FrameOf(QWidget* w) {
  const QRect f = w->frameGeometry();
  return RECT{f.left(), f.top(), f.left() + f.width(), f.top() + f.height()};
}
bool operator==(const RECT& a, const RECT& b) { return std::memcmp(&a, &b, sizeof(RECT)) == 0; }

TEST_F(SelectTest, CallerBufferReceivesTheRectangleAndReopensThere) {
  params_.dwFlags = VKBTSP_RECT_BUFFER | VKBTSP_RECT_REGISTRY;  // the buffer wins
  params_.pszKeyPath = nullptr;
  params_.cbRect = 0;
  params_.pvRect = nullptr;
  RECT closedAt{}, centred{};
  WhenFilled([&](Dialog& d) {
    centred = FrameOf(d.window);
    d.window->setGeometry(d.window->x() + 40, d.window->y() + 30, d.window->width() + 120, d.window->height() + 50);
    closedAt = FrameOf(d.window);
  });
  HVKBTDEVICE out = nullptr;
  EXPECT_EQ(Run(&out), 0);
  ASSERT_NE(params_.pvRect, nullptr);
  EXPECT_EQ(params_.cbRect, 16u);
  EXPECT_TRUE(*static_cast<RECT*>(params_.pvRect) == closedAt);
  EXPECT_FALSE(closedAt == centred);

  RECT reopenedAt{};
  WhenFilled([&](Dialog& d) { reopenedAt = FrameOf(d.window); });
  EXPECT_EQ(Run(&out), 0);
  EXPECT_TRUE(reopenedAt == closedAt);
  CoTaskMemFree(params_.pvRect);

  // A buffer of the wrong count is not read: the dialog opens centred again. A buffer
  // that cannot be written is left alone.
  static const RECT kReadOnly = {1, 2, 3, 4};
  params_.pvRect = const_cast<RECT*>(&kReadOnly);
  params_.cbRect = 15;
  WhenFilled([&](Dialog& d) { reopenedAt = FrameOf(d.window); });
  EXPECT_EQ(Run(&out), 0);
  EXPECT_TRUE(reopenedAt == centred);
  EXPECT_EQ(params_.pvRect, &kReadOnly);
  EXPECT_EQ(params_.cbRect, 15u);
}

TEST_F(SelectTest, RegistryValueIsCreatedAtTheFirstCallAndReopensTheSecond) {
  params_.dwFlags = VKBTSP_RECT_REGISTRY;
  params_.pszKeyPath = u"Software\\Veltrak\\Ordiva\\Select";
  params_.pszValueName = u"WindowRect";
  RECT closedAt{};
  WhenFilled([&](Dialog& d) {
    d.window->setGeometry(d.window->x() - 20, d.window->y() + 10, d.window->width() + 60, d.window->height() + 90);
    closedAt = FrameOf(d.window);
  });
  HVKBTDEVICE out = nullptr;
  EXPECT_EQ(Run(&out), 0);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, params_.pszKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS);
  RECT stored{};
  DWORD type = 0, size = sizeof(stored);
  EXPECT_EQ(RegQueryValueExW(key, u"WindowRect", nullptr, &type, reinterpret_cast<BYTE*>(&stored), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(size, 16u);
  EXPECT_TRUE(stored == closedAt);

  RECT reopenedAt{};
  WhenFilled([&](Dialog& d) { reopenedAt = FrameOf(d.window); });
  EXPECT_EQ(Run(&out), 0);
  EXPECT_TRUE(reopenedAt == closedAt);
}

TEST_F(SelectTest, WindowKeepsItsMinimumAndTheResizeLayout) {
  struct Geometry {
    QRect label, list, status, check, ok, cancel;
    QSize client, minimum;
  } before, after;
  auto take = [](Dialog& d) {
    return Geometry{d.window->findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly)->geometry(),
                    d.list->geometry(), d.status->geometry(), d.check->geometry(), d.ok->geometry(),
                    d.cancel->geometry(), d.window->size(), d.window->minimumSize()};
  };
  QSize shrunk;
  WhenFilled([&](Dialog& d) {
    before = take(d);
    d.window->resize(before.client + QSize(100, 60));
    after = take(d);
    d.window->resize(before.client - QSize(50, 30));
    shrunk = d.window->size();
  });
  HVKBTDEVICE out = nullptr;
  Run(&out);
  EXPECT_EQ(before.minimum, before.client);
  EXPECT_EQ(shrunk, before.client);
  EXPECT_EQ(after.label, before.label);
  // Buttons move with the bottom-right corner, keeping their sizes and gaps.
  EXPECT_EQ(after.cancel, before.cancel.translated(100, 60));
  EXPECT_EQ(after.ok, before.ok.translated(100, 60));
  EXPECT_EQ(after.check, before.check.translated(0, 60));
  // The status line and the list widen; the status line keeps its height, the list grows.
  EXPECT_EQ(after.status, QRect(before.status.topLeft() + QPoint(0, 60), before.status.size() + QSize(100, 0)));
  EXPECT_EQ(after.list, QRect(before.list.topLeft(), before.list.size() + QSize(100, 60)));
  // The dialog-unit layout at creation: 231 x 143 units of the dialog font.
  const nxqt::DialogUnits du(nxqt::DialogFont());
  EXPECT_EQ(before.client, du.Size(231, 143));
  EXPECT_EQ(before.ok, du.Rect(109, 122, 50, 14));
}

TEST_F(SelectTest, BadArgumentsShowNoDialog) {
  HVKBTDEVICE out = reinterpret_cast<HVKBTDEVICE>(0x77);
  // Parameters in a page that cannot be read, a null or read-only out slot.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* guard = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(guard, MAP_FAILED);
  EXPECT_EQ(vkbtSelectDevice(static_cast<VKBTSELECTPARAMS*>(guard), &out), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(vkbtSelectDevice(nullptr, &out), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(vkbtSelectDevice(&params_, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  static HVKBTDEVICE const kReadOnlySlot = nullptr;
  EXPECT_EQ(vkbtSelectDevice(&params_, const_cast<HVKBTDEVICE*>(&kReadOnlySlot)), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  munmap(guard, page);
  // A parent that is not a window: a widget that is gone, or any other address.
  auto* gone = new QWidget;
  HWND goneHandle = nxqt::ToHwnd(gone);
  delete gone;
  params_.hwndParent = goneHandle;
  EXPECT_EQ(Run(&out), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(out, reinterpret_cast<HVKBTDEVICE>(0x77));
  EXPECT_EQ(Dialog::Find().window, nullptr);

  // A live parent owns the dialog.
  QWidget parent;
  parent.show();
  params_.hwndParent = nxqt::ToHwnd(&parent);
  QWidget* owner = nullptr;
  WhenFilled([&](Dialog& d) { owner = d.window->parentWidget(); });
  EXPECT_EQ(Run(&out), 0);
  EXPECT_EQ(owner, &parent);
}

TEST_F(SelectTest, RecordsCarryTheChannelOrServiceClassAndAPasskeyCutTo16) {
  Known(0x008025000051, "VR-03M 0051");
  params_.dwFlags = VKBTSP_SERVICE_CLASS;
  params_.guidServiceClass = nx::Guid("00001101-0000-1000-8000-00805F9B34FB");
  params_.pszPasskey = u"12345678901234567890";
  WhenFilled([&](Dialog& d) {
    d.Select("VR-03M 0051");
    QTest::keyClick(d.list, Qt::Key_Return);
  });
  HVKBTDEVICE out = nullptr;
  ASSERT_EQ(Run(&out), 1);
  auto* record = static_cast<VKBTDeviceInfo*>(out);
  const ULONG port = record->address.port;  // packed: read by value
  GUID serviceClass;
  std::memcpy(&serviceClass, reinterpret_cast<const char*>(&record->address) + 10, sizeof(GUID));
  EXPECT_EQ(port, 0u);
  EXPECT_TRUE(serviceClass == params_.guidServiceClass);
  EXPECT_EQ(std::u16string(record->passkey), u"1234567890123456");
  EXPECT_TRUE(vkbtDeviceInfoClose(out));
  EXPECT_FALSE(vkbtDeviceInfoClose(out));  // the last reference was the caller's
}

}  // namespace
