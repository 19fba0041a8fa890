// The dialog's behaviour on a window double: the settings in the registry, the strict
// box, start and cancel with the confirmation answered both ways, close, and a start
// that fails without a service. (The card list as cards come and go is tested on the
// real combo box, in dialog_gui_test.)
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "card.h"
#include "dialog.h"
#include "nxtest/fatimage.h"
#include "nxtest/temp.h"
#include "nxtest/svcproc.h"
#include "nxtest/wait.h"
#include "view_double.h"

namespace {

using namespace std::chrono_literals;
using fcitest::ViewDouble;

// The stored record, read back with the registry functions.
std::vector<BYTE> StoredValue(DWORD* type) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, fci::kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::vector<BYTE> bytes(16);
  DWORD size = 16;
  LSTATUS rc = RegQueryValueExW(key, fci::kSettingsValue, nullptr, type, bytes.data(), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return {};
  bytes.resize(size);
  return bytes;
}

void Store(WCHAR letter, WORD options) { fci::SaveSettings(fci::InitParameters{letter, options}); }

class DialogTest : public ::testing::Test {
 protected:
  std::string Image(const char* name) { return dir_.Path() + "/" + name; }
  void MakeCard(const char* name, int sizeKiB = 16384) {
    ASSERT_EQ(nxtest::Run("mkfs.fat -C -F 16 " + nxtest::Quote(Image(name)) + " " + std::to_string(sizeKiB) +
                          " >/dev/null 2>&1"),
              0);
  }
  void TearDown() override {
    unsetenv("NX_DRIVES");
    unsetenv("NX_PIPE_DIR");
  }
  // Until the run has ended, with the window's posts delivered meanwhile.
  ::testing::AssertionResult WaitIdle(fci::InitDialog& d, ViewDouble& v, std::chrono::seconds limit) {
    auto ended = nxtest::WaitUntil(
        [&] {
          v.Pump();
          return !d.Running();
        },
        limit, "the run to end", 5ms);
    v.Pump();
    return ended;
  }

  nxtest::TempRegistry registry_;
  nxtest::TempDir dir_{"fci-dialog"};
  nxtest::TempDir pipes_{"fci-dialog-pipes"};
};

TEST_F(DialogTest, SettingsAreWrittenAtExitWithUnknownBitsKept) {
  {
    fci::InitDialog d;  // no value yet: no letter, no option
    EXPECT_EQ(d.GetParameters()->letter, 0);
    EXPECT_EQ(d.GetParameters()->options, 0);
  }
  DWORD type = 0;
  EXPECT_EQ(StoredValue(&type), (std::vector<BYTE>{0, 0, 0, 0}));
  EXPECT_EQ(type, REG_BINARY);

  Store(u'G', 0x8005);  // check, and two bits of nobody here
  {
    fci::InitDialog d;
    ViewDouble v;
    d.Attach(&v);
    d.OnCheckClicked(false);
    d.Detach();
  }
  EXPECT_EQ(StoredValue(&type), (std::vector<BYTE>{'G', 0, 0x04, 0x80}));
}

TEST_F(DialogTest, UntickingCheckDisablesStrictButKeepsItsBit) {
  Store(0, fci::OPT_CHECK | fci::OPT_STRICT);
  fci::InitDialog d;
  ViewDouble v;
  d.Attach(&v);
  EXPECT_TRUE(v.checked[fci::IDC_CHECK]);
  EXPECT_TRUE(v.enabled[fci::IDC_STRICT]);
  EXPECT_TRUE(v.checked[fci::IDC_STRICT]);
  d.OnCheckClicked(false);
  EXPECT_FALSE(v.enabled[fci::IDC_STRICT]);
  EXPECT_FALSE(v.checked[fci::IDC_STRICT]);
  EXPECT_EQ(d.GetParameters()->options, fci::OPT_STRICT);
  d.OnCheckClicked(true);
  EXPECT_TRUE(v.enabled[fci::IDC_STRICT]);
  EXPECT_TRUE(v.checked[fci::IDC_STRICT]);
  d.OnStrictClicked(false);
  EXPECT_EQ(d.GetParameters()->options, fci::OPT_CHECK);
  d.Detach();
}

TEST_F(DialogTest, StartCancelAndCloseAskAndObeyTheAnswer) {
  MakeCard("e.img", 262144);
  setenv("NX_DRIVES", ("E=" + Image("e.img")).c_str(), 1);
  svctest::ServiceProcess service(pipes_.Path());
  Store(u'E', fci::OPT_CHECK | fci::OPT_STRICT);
  fci::InitDialog d;
  ViewDouble v;
  d.Attach(&v);
  d.OnTimer();
  ASSERT_EQ(v.sel, 0);
  EXPECT_EQ(v.texts[fci::IDC_CLUSTER], u"4 096 Б");
  EXPECT_EQ(v.texts[fci::IDC_TOTAL], u"262 144 кБ");

  d.OnStartClicked(true);
  ASSERT_TRUE(d.Running());
  v.Pump();
  EXPECT_EQ(v.texts[fci::IDC_STATUS], u"Производится инициализация...");
  EXPECT_FALSE(v.enabled[fci::IDC_DRIVES]);
  d.OnTimer();  // a running card's information and status are left alone
  EXPECT_EQ(v.texts[fci::IDC_STATUS], u"Производится инициализация...");

  v.answers = {IDNO};
  d.OnStartClicked(false);  // released by the click, and the user says no
  ASSERT_EQ(v.asked.size(), 1u);
  EXPECT_EQ(v.asked[0].caption, fci::IDS_CONFIRM_CAPTION);
  EXPECT_EQ(v.asked[0].text, fci::IDS_CONFIRM_CANCEL);
  EXPECT_EQ(v.asked[0].style, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
  EXPECT_TRUE(d.Running());
  EXPECT_TRUE(v.checked[fci::IDC_START]) << "the button shows the run going on";

  v.answers = {IDNO};
  d.OnCloseClicked();  // "Закрыть" asks too; no keeps the dialog and the run
  EXPECT_EQ(v.asked.size(), 2u);
  EXPECT_EQ(v.endResult, -1);
  EXPECT_TRUE(d.Running());

  v.answers = {IDYES};
  d.OnStartClicked(false);
  EXPECT_FALSE(d.Running());
  v.Pump();
  EXPECT_EQ(v.texts[fci::IDC_STATUS], u"Инициализация прервана пользователем.");
  EXPECT_FALSE(v.checked[fci::IDC_START]);
  EXPECT_TRUE(v.enabled[fci::IDC_DRIVES]);

  d.OnStartClicked(true);  // again, and the caption's close ends it without a question
  ASSERT_TRUE(d.Running());
  d.OnCloseRequested();
  EXPECT_FALSE(d.Running());
  EXPECT_EQ(v.asked.size(), 3u);
  EXPECT_EQ(v.endResult, 0);
  d.Detach();
}

TEST_F(DialogTest, FinishedRunKeepsItsStatusWhileTheCardStaysSelected) {
  MakeCard("e.img");
  setenv("NX_DRIVES", ("E=" + Image("e.img")).c_str(), 1);
  svctest::ServiceProcess service(pipes_.Path());
  Store(u'E', 0);
  fci::InitDialog d;
  ViewDouble v;
  d.Attach(&v);
  d.OnTimer();
  d.OnStartClicked(true);
  ASSERT_TRUE(WaitIdle(d, v, 30s));
  EXPECT_EQ(v.texts[fci::IDC_STATUS], u"Инициализация успешно завершена.");
  EXPECT_EQ(v.progress, 3);
  EXPECT_EQ(v.beeps, std::vector<DWORD>{400});
  d.OnTimer();
  EXPECT_EQ(v.texts[fci::IDC_STATUS], u"Инициализация успешно завершена.");
  EXPECT_TRUE(v.enabled[fci::IDC_START]) << "a new start with the same card is possible";
  d.Detach();
}

// The service stops between the tick that offered the start and the click.
TEST_F(DialogTest, FailedStartShowsTheErrorOnceAndLeavesTheDialogUsable) {
  MakeCard("e.img");
  setenv("NX_DRIVES", ("E=" + Image("e.img")).c_str(), 1);
  auto service = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
  Store(u'E', fci::OPT_CHECK);
  fci::InitDialog d;
  ViewDouble v;
  d.Attach(&v);
  d.OnTimer();
  ASSERT_TRUE(v.enabled[fci::IDC_START]);
  service.reset();
  v.checked[fci::IDC_START] = true;  // the click pressed it
  d.OnStartClicked(true);
  EXPECT_EQ(v.errors, std::vector<HRESULT>{HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)});
  EXPECT_FALSE(d.Running());
  v.Pump();
  EXPECT_FALSE(v.checked[fci::IDC_START]);
  EXPECT_TRUE(v.enabled[fci::IDC_DRIVES]);
  EXPECT_NE(v.texts[fci::IDC_STATUS], u"Производится инициализация...");
  d.OnTimer();  // the next tick tells why nothing can start
  EXPECT_EQ(v.texts[fci::IDC_STATUS], u"Служба страничных файлов не запущена.");
  EXPECT_FALSE(v.enabled[fci::IDC_START]);
  d.OnCloseClicked();  // nothing runs: no question
  EXPECT_TRUE(v.asked.empty());
  EXPECT_EQ(v.endResult, 0);
  d.Detach();
}

}  // namespace
