// The device list and pairing over BlueZ's D-Bus interface, against a stand-in for
// bluetoothd on a private bus: known devices with the name prefix, the empty list's
// reason, pairing an unpaired device with the caller's passkey before a link, and a
// wrong passkey failing the check. No RFCOMM connection can be made here.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "nxtest/process.h"
#include "nxtest/qtapp.h"
#include "nxtest/temp.h"
#include "selectdriver.h"
#include "vkbth.h"
#include "vkbth/devtools.h"

namespace {

using namespace selecttest;

const char* const kPaired = "00:80:25:00:00:61,VR-03M 0061,paired";
const char* const kUnpaired = "00:80:25:00:00:62,VR-03M 0062,unpaired";
const char* const kPhone = "00:11:22:33:44:55,Phone,paired";

class BluezTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* dir = getenv("NX_BT_DIR")) savedBtDir_ = dir;
    unsetenv("NX_BT_DIR");
    const std::string socket = files_.Path() + "/bus";
    bus_ = std::make_unique<nxtest::ChildProcess>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--address=unix:path=" + socket},
        files_.Path() + "/bus.out", files_.Path() + "/bus.err");
    for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(std::filesystem::exists(socket)) << bus_->Err();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    params_.dwSize = 44;
    params_.ulChannel = 1;
    params_.pszNamePrefix = u"VR-03";
  }
  void TearDown() override {
    fake_.reset();
    bus_.reset();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!savedBtDir_.empty()) setenv("NX_BT_DIR", savedBtDir_.c_str(), 1);
  }
  void StartFake(std::vector<std::string> args) {
    std::filesystem::remove(Log());  // "ready" must come from this one
    args.insert(args.begin(), {"--log", Log(), "--pin", "8779"});
    fake_ = std::make_unique<nxtest::ChildProcess>(Tool("vkbth_fakebluez"), args, files_.Path() + "/fake.out",
                                                   files_.Path() + "/fake.err");
    for (int i = 0; i < 500 && LogText().find("ready") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(LogText().find("ready"), std::string::npos) << fake_->Err();
  }
  std::string Log() const { return files_.Path() + "/fake.log"; }
  std::string LogText() const { return nxtest::Slurp(Log()); }
  // Opens the dialog, runs the script on the filled list, and cancels.
  void RunDialog(std::function<void(Dialog&)> script) {
    WhenFilled(script);
    HVKBTDEVICE out = nullptr;
    EXPECT_EQ(vkbtSelectDevice(&params_, &out), 0);
  }

  nxtest::TempDir files_;
  std::string savedBtDir_;
  std::unique_ptr<nxtest::ChildProcess> bus_, fake_;
  VKBTSELECTPARAMS params_{};
};

TEST_F(BluezTest, ListsTheKnownDevicesWithThePrefixAndRegistersAnAgentThatIsNotTheDefault) {
  StartFake({"--device", kPaired, "--device", kUnpaired, "--device", kPhone});
  params_.pszPasskey = u"8779";
  QStringList names, addresses;
  RunDialog([&](Dialog& d) {
    names = d.Names();
    addresses << d.Item("VR-03M 0061")->text(2);
    EXPECT_TRUE(d.list->toolTip().isEmpty());
  });
  EXPECT_EQ(names, QStringList({"VR-03M 0061", "VR-03M 0062"}));
  EXPECT_EQ(addresses, QStringList({"(00:80:25:00:00:61):1"}));
  // The registration is an asynchronous call: the dialog may be gone before it lands.
  for (int i = 0; i < 300 && LogText().find("agent KeyboardOnly") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string log = LogText();
  EXPECT_NE(log.find("agent KeyboardOnly"), std::string::npos) << log;
  EXPECT_EQ(log.find("default agent"), std::string::npos) << log;
  EXPECT_EQ(log.find("pin"), std::string::npos) << "listing pairs nothing";
}

TEST_F(BluezTest, AnEmptyListSaysWhyInPlainWords) {
  struct Case {
    std::vector<std::string> fake;  // empty: no bluetoothd at all
    QString tip;
  };
  const Case cases[] = {
      {{}, "Служба Bluetooth (bluetoothd) не запущена."},
      {{"--adapter", "off", "--device", kPaired}, "Bluetooth выключен."},
      {{"--adapter", "none"}, "Нет адаптера Bluetooth."},
  };
  for (const Case& c : cases) {
    fake_.reset();
    if (!c.fake.empty()) StartFake(c.fake);
    QString status, tip;
    int count = -1;
    RunDialog([&](Dialog& d) {
      status = d.status->text();
      tip = d.list->toolTip();
      count = d.list->topLevelItemCount();
    });
    EXPECT_EQ(count, 0) << c.tip.toStdString();
    EXPECT_EQ(status, kNone);
    EXPECT_EQ(tip, c.tip);
  }
}

TEST_F(BluezTest, ALinkToAnUnpairedDevicePairsItWithThePasskeyFirst) {
  StartFake({"--device", kPaired, "--device", kUnpaired});
  // The paired device is not paired again, a record without passkey never pairs.
  HVKBTDEVICE paired = nullptr, bare = nullptr, unpaired = nullptr;
  HVKBTLINK link = nullptr;
  ASSERT_TRUE(NxBtCreateDeviceInfo(0x008025000061, u"VR-03M 0061", nullptr, 1, u"8779", &paired));
  vkbtCreate(paired, &link);
  ASSERT_TRUE(NxBtCreateDeviceInfo(0x008025000062, u"VR-03M 0062", nullptr, 1, nullptr, &bare));
  vkbtCreate(bare, &link);
  EXPECT_EQ(LogText().find("pin"), std::string::npos) << LogText();

  ASSERT_TRUE(NxBtCreateDeviceInfo(0x008025000062, u"VR-03M 0062", nullptr, 1, u"8779", &unpaired));
  const BOOL connected = vkbtCreate(unpaired, &link);
  const DWORD error = GetLastError();
  const std::string log = LogText();
  EXPECT_NE(log.find("pin 8779\npaired /org/bluez/hci0/dev_00_80_25_00_00_62"), std::string::npos) << log;
  // No adapter here: the RFCOMM connect itself fails, but not for want of pairing.
  if (!connected) EXPECT_NE(error, ERROR_NOT_AUTHENTICATED);
  else vkbtClose(link);
  for (HVKBTDEVICE d : {paired, bare, unpaired}) EXPECT_TRUE(vkbtDeviceInfoClose(d));
}

TEST_F(BluezTest, AWrongPasskeyFailsTheCheckAndTheTooltipSaysSo) {
  StartFake({"--device", kUnpaired});
  params_.pszPasskey = u"0000";
  QString state, tip;
  RunDialog([&](Dialog& d) {
    QTest::mouseClick(d.check, Qt::LeftButton);
    ASSERT_TRUE(WaitCheckEnded(d));
    ASSERT_NE(d.Item("VR-03M 0062"), nullptr);
    state = d.State("VR-03M 0062");
    tip = d.Item("VR-03M 0062")->toolTip(1);
  });
  EXPECT_EQ(state, "недоступен");
  EXPECT_EQ(tip, "Регистратор отказал в сопряжении: проверьте код доступа.");
  const std::string log = LogText();
  EXPECT_NE(log.find("pin 0000"), std::string::npos) << log;
  EXPECT_EQ(log.find("paired "), std::string::npos) << log;
}

}  // namespace
