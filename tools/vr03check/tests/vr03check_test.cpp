// vr03check as a user runs it (env -i), against what each verdict is about, made real:
// the paged-file service started and stopped, card images pinned (one mounted through a
// loop device), a user inside and outside the service's grant group, a fake bluetoothd on
// a private bus (no adapter, adapter off, recorders paired or not, an agent refused),
// registry hives missing, damaged or out of reach, no display, and vr03sim as the
// recorder, killed for the link that fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "nxtest/fatimage.h"
#include "nxtest/process.h"
#include "nxtest/svcproc.h"
#include "nxtest/temp.h"

namespace {

std::string Bin(const std::string& name) { return std::string(getenv("NX_TEST_BIN_DIR")) + "/" + name; }

// One run of the command: its status, its output, and its checks by id when --json.
struct Checked {
  int status = -1;
  std::string out, err;
  QJsonObject doc;
  QJsonObject Check(const std::string& id) const {
    for (const QJsonValue& v : doc["checks"].toArray())
      if (v.toObject()["id"].toString().toStdString() == id) return v.toObject();
    return {};
  }
  std::string Status(const std::string& id) const {
    const QJsonObject c = Check(id);
    return c.isEmpty() ? "(no check " + id + ")" : c["status"].toString().toStdString();
  }
  std::string Text(const std::string& id) const { return Check(id)["text"].toString().toStdString(); }
  std::string Fix(const std::string& id) const { return Check(id)["fix"].toString().toStdString(); }
  QJsonValue Fact(const std::string& id, const char* name) const { return Check(id)["facts"].toObject()[name]; }
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Waits until the file says `word`, for at most 10 s; false when it never does.
bool WaitForWord(const std::string& file, const std::string& word) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    if (Has(nxtest::Slurp(file), word)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class Vr03Check : public ::testing::Test {
 protected:
  void SetUp() override {
    chmod(home_.Path().c_str(), 0755);
    chmod(pipes_.Path().c_str(), 0755);
    image_ = files_.Path() + "/card.img";
    nxtest::MakeFatImage(image_, 65536, 16, "VR03CARD", "1234ABCD", 4);
  }
  void TearDown() override {
    service_.reset();
    unsetenv("NX_DRIVES");
    unsetenv("NX_PIPE_DIR");
  }
  // The service on this test's pipes, with the drives the command gets.
  void StartService(std::vector<std::string> extra = {}) {
    setenv("NX_DRIVES", drives_.c_str(), 1);
    service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path(), svctest::ServiceProcess::DefaultProgram(),
                                                         std::move(extra), files_.Path() + "/journal");
  }
  // vr03check from a scrubbed environment with this test's pipes and drives, plus `env`;
  // `user` runs it through setpriv as another user ("--reuid=65534", ...).
  Checked Run(std::vector<std::string> args, std::vector<std::string> env = {},
              const std::vector<std::string>& user = {}) {
    env.push_back("NX_PIPE_DIR=" + pipes_.Path());
    if (!drives_.empty()) env.push_back("NX_DRIVES=" + drives_);
    std::string program = Bin("vr03check");
    if (!user.empty()) {
      args.insert(args.begin(), program);
      args.insert(args.begin(), user.begin(), user.end());
      program = "/usr/bin/setpriv";
    }
    const nxtest::UserRun run = nxtest::RunAsUser(home_.Path(), program, args, env);
    Checked c;
    c.status = run.status;
    c.out = run.out;
    c.err = run.err;
    c.doc = QJsonDocument::fromJson(QByteArray::fromStdString(run.out)).object();
    return c;
  }

  nxtest::TempDir home_{"vr03check-home"}, pipes_{"vr03check-pipes"}, files_{"vr03check-files"};
  std::string image_, drives_;
  std::unique_ptr<svctest::ServiceProcess> service_;
};

TEST_F(Vr03Check, UsageHelpAndVersion) {
  Checked c = Run({"--help"});
  EXPECT_EQ(c.status, 0);
  for (const char* word : {"--json", "--recorder ADDRESS", "Exit status"}) EXPECT_TRUE(Has(c.out, word)) << word;
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"--recorder"}, {"--recorder", "00:80:25"}, {"--recorder=zz:80:25:00:00:01"}, {"--fix"}}) {
    c = Run(bad);
    EXPECT_EQ(c.status, 2) << bad[0];
    EXPECT_TRUE(Has(c.err, "see vr03check --help")) << c.err;
    EXPECT_TRUE(c.out.empty());
  }
  c = Run({"--version"});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.out.rfind("vr03check ", 0), 0u) << c.out;
}

// The service stopped, running, and stopped again; each card verdict follows it. The
// human form has one line per check, the same checks as the JSON form.
TEST_F(Vr03Check, TheServiceRunningAndNot) {
  drives_ = "E=" + image_;
  Checked c = Run({"--json"});
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.Status("service"), "fail");
  EXPECT_TRUE(Has(c.Text("service"), "not running")) << c.Text("service");
  EXPECT_TRUE(Has(c.Fix("service"), "systemctl")) << c.Fix("service");
  EXPECT_EQ(c.Status("initialise E:"), "skip");
  EXPECT_EQ(c.Status("rights"), "skip");

  StartService();
  c = Run({"--json"});
  EXPECT_EQ(c.Status("service"), "ok") << c.Text("service");
  EXPECT_EQ(c.Fact("service", "pid").toInteger(), service_->Pid());
  EXPECT_EQ(c.Fact("service", "system"), QJsonValue(true)) << "the service runs as root here";
  const Checked version = Run({"--version"});
  EXPECT_EQ("vr03check " + c.Fact("service", "version").toString().toStdString() + "\n", version.out)
      << "the running service's version, asked from its program";
  EXPECT_EQ(c.Fact("service", "grant_group").toString(), "plugdev");
  EXPECT_EQ(c.Status("initialise E:"), "ok") << c.Text("initialise E:");

  const Checked text = Run({});
  int lines = 0;
  for (const char* word : {"\nOK    ", "\nWARN  ", "\nFAIL  ", "\nSKIP  "}) {
    for (size_t at = ("\n" + text.out).find(word); at != std::string::npos; at = ("\n" + text.out).find(word, at + 1))
      ++lines;
  }
  EXPECT_EQ(lines, static_cast<int>(c.doc["checks"].toArray().size())) << text.out;
  EXPECT_TRUE(Has(text.out, "OK    paged-file service: the system service (root), pfsvc ")) << text.out;

  service_->Stop();
  c = Run({"--json"});
  EXPECT_EQ(c.Status("service"), "fail");
  EXPECT_EQ(c.Status("initialise E:"), "skip");
}

// Cards as the initializer judges them, with its own numbers; a reader without a card;
// a card refused; and no byte of any card changed.
TEST_F(Vr03Check, CardsAsTheInitializerJudgesThem) {
  const std::string fat32 = files_.Path() + "/fat32.img";
  ASSERT_EQ(nxtest::Run("mkfs.fat -C -F 32 " + nxtest::Quote(fat32) + " 70000 >/dev/null 2>&1"), 0);
  drives_ = "E=" + image_ + ";F=" + files_.Path() + "/missing.img;G=" + fat32;
  StartService();
  const std::string before = nxtest::ReadBytes(image_), before32 = nxtest::ReadBytes(fat32);
  Checked c = Run({"--json"});
  EXPECT_EQ(c.Status("readers"), "ok");
  EXPECT_TRUE(Has(c.Text("readers"), "F: pinned to " + files_.Path() + "/missing.img, no card")) << c.Text("readers");
  EXPECT_TRUE(Has(c.Text("readers"), "cards: E: G:")) << c.Text("readers");
  EXPECT_TRUE(c.Check("card F:").isEmpty()) << "no card, no card checks";
  EXPECT_EQ(c.Status("card E:"), "ok");
  EXPECT_TRUE(Has(c.Text("card E:"), "FAT \"VR03CARD\", not mounted")) << c.Text("card E:");

  // The same clusters as vr03fci info says.
  EXPECT_EQ(c.Status("initialise E:"), "ok");
  const nxtest::UserRun info = nxtest::RunAsUser(home_.Path(), Bin("vr03fci"), {"info", "E:"},
                                                 {"NX_PIPE_DIR=" + pipes_.Path(), "NX_DRIVES=" + drives_});
  const std::string clusters = std::to_string(c.Fact("initialise E:", "clusters").toInteger());
  EXPECT_TRUE(Has(info.out, " in " + clusters + " clusters, 16-bit FAT")) << info.out << " vs " << clusters;

  EXPECT_EQ(c.Status("initialise G:"), "fail");
  EXPECT_TRUE(Has(c.Text("initialise G:"), "FAT32")) << c.Text("initialise G:");
  EXPECT_TRUE(Has(c.Fix("initialise G:"), "mkfs.fat -F 16 " + fat32)) << c.Fix("initialise G:");
  EXPECT_EQ(c.status, 1);

  drives_ = "F=" + files_.Path() + "/missing.img";
  c = Run({"--json"});
  EXPECT_EQ(c.Status("readers"), "warn") << "an empty reader is worth knowing, not a failure";
  EXPECT_TRUE(Has(c.Fix("readers"), "insert a card"));
  EXPECT_TRUE(nxtest::ReadBytes(image_) == before);
  EXPECT_TRUE(nxtest::ReadBytes(fat32) == before32);
}

// A card image that Linux also mounts as ext2: this kernel has no FAT driver, and a real
// mount is what makes the card's device busy. Its first 64 sectors are FAT16's reserved
// ones, where ext2 keeps its superblock, block group and root folder.
std::string MakeMountableCard(const std::string& dir) {
  const std::string card = dir + "/mountable.img", fat = dir + "/fat-part.img";
  if (nxtest::Run("mkfs.ext2 -q -F -b 1024 -N 16 -O ^resize_inode,^dir_index " + nxtest::Quote(card) +
                  " 32768 >/dev/null 2>&1") != 0)
    return {};
  nxtest::MakeFatImage(fat, 32768, 16, "MOUNTABLE", "0000BEEF", 2, "-R 64");
  const std::string dd = "dd if=" + nxtest::Quote(fat) + " of=" + nxtest::Quote(card) + " bs=512 conv=notrunc status=none";
  if (nxtest::Run(dd + " count=1") != 0 || nxtest::Run(dd + " skip=64 seek=64") != 0) return {};
  return card;
}

TEST_F(Vr03Check, AMountedCardIsNamedWithTheCommandThatUnmountsIt) {
  if (geteuid() != 0) GTEST_SKIP() << "loop devices and mounts need root";
  const std::string card = MakeMountableCard(files_.Path());
  ASSERT_FALSE(card.empty());
  const std::string loop = nxtest::Capture("losetup -f --show " + nxtest::Quote(card) + " 2>&1");
  // A machine without loop devices (some containers) cannot make a mounted card.
  if (loop.rfind("/dev/loop", 0) != 0) GTEST_SKIP() << "no loop device here: " << loop;
  const std::string device = loop.substr(0, loop.find('\n'));
  const std::string mountPoint = files_.Path() + "/mnt";
  mkdir(mountPoint.c_str(), 0755);
  struct Detach {
    std::string device, mountPoint;
    ~Detach() {
      nxtest::Run("umount " + nxtest::Quote(mountPoint) + " 2>/dev/null");
      nxtest::Run("losetup -d " + nxtest::Quote(device));
    }
  } detach{device, mountPoint};

  // E: the loop device itself, F: the image file behind it.
  drives_ = "E=" + device + ";F=" + card;
  StartService();
  Checked c = Run({"--json"});
  for (const char* id : {"card E:", "card F:"}) {
    EXPECT_EQ(c.Status(id), "ok") << id << ": " << c.Text(id);
    EXPECT_EQ(c.Fact(id, "mounted"), QJsonValue(false)) << id;
  }
  EXPECT_EQ(c.Status("initialise E:"), "ok") << c.Text("initialise E:");

  if (nxtest::Run("mount -t ext2 -o ro " + nxtest::Quote(device) + " " + nxtest::Quote(mountPoint)) != 0)
    GTEST_SKIP() << "this kernel mounts no ext2 here";
  c = Run({"--json"});
  for (const char* id : {"card E:", "card F:"}) {
    EXPECT_EQ(c.Status(id), "fail") << id << ": " << c.Text(id);
    EXPECT_EQ(c.Fact(id, "mount_point").toString().toStdString(), mountPoint) << id;
    EXPECT_TRUE(Has(c.Fix(id), "udisksctl unmount -b " + device)) << id << ": " << c.Fix(id);
  }
  EXPECT_EQ(c.status, 1);
}

// The system service lends its rights for cards to its grant group: a user inside it
// reaches a card that only root may read, a user outside is told the command that puts
// them in. Both are `nobody` here, with and without the group.
TEST_F(Vr03Check, AUserInsideAndOutsideTheGrantGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "a user other than the service's needs root to be made";
  chmod(image_.c_str(), 0600);
  chmod(files_.Path().c_str(), 0755);
  drives_ = "E=" + image_;
  StartService({"--grant-group", "floppy"});
  const std::vector<std::string> inside = {"--reuid=65534", "--regid=65534", "--groups=floppy"};
  const std::vector<std::string> outside = {"--reuid=65534", "--regid=65534", "--clear-groups"};

  Checked c = Run({"--json"}, {}, inside);
  EXPECT_EQ(c.Status("rights"), "ok") << c.Text("rights") << c.err;
  EXPECT_TRUE(Has(c.Text("rights"), "nobody is in group floppy")) << c.Text("rights");
  EXPECT_EQ(c.Status("initialise E:"), "ok") << c.Text("initialise E:");
  // nobody cannot read the image itself: the initializer's command line misses it.
  EXPECT_EQ(c.Status("card E:"), "warn") << c.Text("card E:");
  EXPECT_TRUE(Has(c.Text("card E:"), "'vr03fci list', 'info' and 'init' do not see this card")) << c.Text("card E:");

  c = Run({"--json"}, {}, outside);
  EXPECT_EQ(c.Status("rights"), "fail") << c.Text("rights");
  EXPECT_EQ(c.Fix("rights"), "sudo adduser nobody floppy, then log out and in again");
  EXPECT_EQ(c.Status("initialise E:"), "fail") << c.Text("initialise E:");
  EXPECT_TRUE(Has(c.Text("initialise E:"), "error 5 (access denied)")) << c.Text("initialise E:");
  EXPECT_EQ(c.Fix("initialise E:"), c.Fix("rights"));
  EXPECT_TRUE(Has(nxtest::Slurp(files_.Path() + "/journal"), "not in group floppy")) << "the service refused it";
}

// BlueZ as a stand-in on a private bus says it: none at all, no adapter, the adapter off,
// and one on with recorders paired and not; the agent registered and let go, or refused.
class Bluetooth : public Vr03Check {
 protected:
  void SetUp() override {
    Vr03Check::SetUp();
    const std::string socket = files_.Path() + "/bus";
    bus_ = std::make_unique<nxtest::ChildProcess>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--address=unix:path=" + socket},
        files_.Path() + "/bus.out", files_.Path() + "/bus.err");
    ASSERT_TRUE(WaitForSocket(socket)) << "the private bus did not come up: " << bus_->Err();
    busEnv_ = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + socket;
  }
  void TearDown() override {
    fake_.reset();
    bus_.reset();
    Vr03Check::TearDown();
  }
  static bool WaitForSocket(const std::string& path) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(path))
      if (std::chrono::steady_clock::now() > end) return false;
      else std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return true;
  }
  void StartFake(std::vector<std::string> args) {
    fake_.reset();
    std::filesystem::remove(Log());
    args.insert(args.begin(), {"--log", Log(), "--pin", "8779"});
    // The fake reads the bus from its environment, as bluetoothd would.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busEnv_.substr(24).c_str(), 1);
    fake_ = std::make_unique<nxtest::ChildProcess>(Bin("vkbth_fakebluez"), args, files_.Path() + "/fake.out",
                                                   files_.Path() + "/fake.err");
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_TRUE(WaitForWord(Log(), "ready")) << "the fake bluetoothd did not come up: " << fake_->Err();
  }
  Checked Check() { return Run({"--json"}, {busEnv_}); }
  std::string Log() const { return files_.Path() + "/fake.log"; }

  std::string busEnv_;
  std::unique_ptr<nxtest::ChildProcess> bus_, fake_;
};

TEST_F(Bluetooth, NoBluetoothdNoAdapterAndAnAdapterSwitchedOff) {
  Checked c = Check();
  EXPECT_EQ(c.Status("bluetoothd"), "fail");
  EXPECT_TRUE(Has(c.Text("bluetoothd"), "not on the system bus") || Has(c.Text("bluetoothd"), "not installed"))
      << c.Text("bluetoothd");
  EXPECT_TRUE(Has(c.Fix("bluetoothd"), "systemctl enable --now bluetooth")) << c.Fix("bluetoothd");
  for (const char* id : {"adapter", "recorders", "agent"}) EXPECT_EQ(c.Status(id), "skip") << id;

  StartFake({"--adapter", "none"});
  c = Check();
  EXPECT_EQ(c.Status("bluetoothd"), "ok");
  EXPECT_EQ(c.Status("adapter"), "fail");
  EXPECT_EQ(c.Text("adapter"), "bluetoothd has no adapter");

  StartFake({"--adapter", "off", "--device", "00:80:25:00:00:61,VR-03M 0061,paired,trusted"});
  c = Check();
  EXPECT_EQ(c.Status("adapter"), "fail");
  EXPECT_EQ(c.Text("adapter"), "hci0 (00:1A:7D:DA:71:13) is switched off");
  EXPECT_TRUE(Has(c.Fix("adapter"), "bluetoothctl power on"));
  EXPECT_EQ(c.Status("recorder 00:80:25:00:00:61"), "ok") << "known recorders are listed with the adapter off";
}

TEST_F(Bluetooth, RecordersPairedOrNotAndThePairingAgent) {
  StartFake({"--device", "00:80:25:00:00:61,VR-03M 0061,paired,trusted", "--device",
             "00:80:25:00:00:62,VR-03M 0062,unpaired", "--device", "00:80:25:00:00:63,VR-03M 0063,paired",
             "--device", "00:11:22:33:44:55,Phone,paired,trusted"});
  Checked c = Check();
  EXPECT_EQ(c.Status("adapter"), "ok");
  EXPECT_EQ(c.Status("recorder 00:80:25:00:00:61"), "ok");
  EXPECT_EQ(c.Text("recorder 00:80:25:00:00:61"), "VR-03M 0061, paired, trusted");
  EXPECT_EQ(c.Status("recorder 00:80:25:00:00:62"), "warn");
  EXPECT_EQ(c.Fact("recorder 00:80:25:00:00:62", "paired"), QJsonValue(false));
  EXPECT_TRUE(Has(c.Fix("recorder 00:80:25:00:00:62"), "bluetoothctl pair 00:80:25:00:00:62 (PIN 8779)"));
  EXPECT_EQ(c.Status("recorder 00:80:25:00:00:63"), "warn");
  EXPECT_EQ(c.Fix("recorder 00:80:25:00:00:63"), "bluetoothctl trust 00:80:25:00:00:63");
  EXPECT_TRUE(c.Check("recorder 00:11:22:33:44:55").isEmpty()) << "only names beginning with VR-03M";
  EXPECT_TRUE(c.Check("recorders").isEmpty());
  EXPECT_EQ(c.Status("agent"), "ok") << c.Text("agent");
  const std::string log = nxtest::Slurp(Log());
  EXPECT_TRUE(Has(log, "agent KeyboardOnly\nagent gone\n")) << log;
  EXPECT_FALSE(Has(log, "default agent")) << log;
  EXPECT_FALSE(Has(log, "pin")) << "nothing is paired by a check: " << log;

  StartFake({"--agent", "refuse"});
  c = Check();
  EXPECT_EQ(c.Status("recorders"), "warn");
  EXPECT_TRUE(Has(c.Fix("recorders"), "pair ADDRESS (PIN 8779)"));
  EXPECT_EQ(c.Status("agent"), "fail");
  EXPECT_TRUE(Has(c.Text("agent"), "org.freedesktop.DBus.Error.AccessDenied")) << c.Text("agent");
  EXPECT_EQ(c.Fix("agent"), "sudo adduser root bluetooth, then log out and in again");
}

// Paths as the registry functions use them (checked against nxreg's own writes), and hives
// that are damaged or whose folder the user may not write.
TEST_F(Vr03Check, RegistryHives) {
  const std::string config = home_.Path() + "/config";
  Checked c = Run({"--json"}, {"XDG_CONFIG_HOME=" + config});
  const std::string userHive = config + "/veltrak/user.db";
  EXPECT_EQ(c.Status("user hive"), "ok") << c.Text("user hive");
  EXPECT_EQ(c.Fact("user hive", "path").toString().toStdString(), userHive);
  EXPECT_EQ(c.Fact("user hive", "exists"), QJsonValue(false));
  const nxtest::UserRun add = nxtest::RunAsUser(home_.Path(), Bin("nxreg"),
                                                {"add", "HKCU\\Software\\Veltrak\\Check", "/v", "a", "/d", "b", "/f"},
                                                {"XDG_CONFIG_HOME=" + config});
  ASSERT_EQ(add.status, 0) << add.err;
  c = Run({"--json"}, {"XDG_CONFIG_HOME=" + config});
  EXPECT_EQ(c.Fact("user hive", "exists"), QJsonValue(true)) << "nxreg wrote where the check looks";
  EXPECT_EQ(c.Status("user hive"), "ok");

  {
    std::ofstream(userHive, std::ios::trunc) << "not a database, but long enough to be taken for one......";
  }
  c = Run({"--json"}, {"XDG_CONFIG_HOME=" + config});
  EXPECT_EQ(c.Status("user hive"), "fail");
  EXPECT_TRUE(Has(c.Text("user hive"), "cannot be read: error 1015")) << c.Text("user hive");
  EXPECT_EQ(c.Fix("user hive"), "mv " + userHive + " " + userHive + ".broken (the initializer starts with no last card)");

  if (geteuid() == 0) {
    // nobody in a home that is root's: the hive's folder cannot be made.
    c = Run({"--json"}, {}, {"--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(c.Status("user hive"), "fail") << c.Text("user hive");
    EXPECT_TRUE(Has(c.Text("user hive"), "nobody may not write " + home_.Path())) << c.Text("user hive");
    EXPECT_EQ(c.Fix("user hive"), "sudo chown -R nobody: " + home_.Path());
  }
}

// Without a display the windows' checks say so; a display that is not there fails in the
// platform plugin; an offscreen platform is no display; no font, no Cyrillic.
TEST_F(Vr03Check, DisplayPlatformPluginAndFont) {
  Checked c = Run({"--json"});
  EXPECT_EQ(c.Status("display"), "fail");
  EXPECT_EQ(c.Status("qt platform"), "skip");
  EXPECT_EQ(c.Status("font"), "ok") << c.Text("font");

  c = Run({"--json"}, {"DISPLAY=:97"});
  EXPECT_EQ(c.Status("display"), "ok");
  EXPECT_EQ(c.Status("qt platform"), "fail");
  EXPECT_TRUE(Has(c.Text("qt platform"), "could not connect to display :97")) << c.Text("qt platform");

  c = Run({"--json"}, {"DISPLAY=:0", "QT_QPA_PLATFORM=offscreen"});
  EXPECT_EQ(c.Status("display"), "fail");
  EXPECT_EQ(c.Fix("display"), "unset QT_QPA_PLATFORM");

  const std::string fonts = files_.Path() + "/fonts.conf";
  std::ofstream(fonts) << "<?xml version=\"1.0\"?><fontconfig><dir>" << files_.Path() << "/no-fonts</dir><cachedir>"
                       << files_.Path() << "/cache</cachedir></fontconfig>\n";
  c = Run({"--json"}, {"FONTCONFIG_FILE=" + fonts});
  EXPECT_EQ(c.Status("font"), "fail") << c.Text("font");
  EXPECT_EQ(c.Fix("font"), "sudo apt install fonts-dejavu-core");
}

// The recorder read and left as it was: its greeting and configuration in the verdict, its
// memory unchanged, only the stream stop and block reads received; then the recorder
// killed, and the link that fails says what to do.
TEST_F(Vr03Check, TheRecorderIsReadAndLeftAsItWas) {
  const std::string bt = files_.Path() + "/bt", cfg = files_.Path() + "/recorder.cfg", log = files_.Path() + "/commands";
  mkdir(bt.c_str(), 0755);
  auto sim = std::make_unique<nxtest::ChildProcess>(
      Bin("vr03sim"),
      std::vector<std::string>{"--dir", bt, "--address", "00:80:25:00:00:42", "--name", "VR-03M 0042", "--no-rfcomm",
                               "--leads", "2", "--rate", "500", "--version", "11", "--config", cfg, "--command-log", log},
      files_.Path() + "/sim.out", files_.Path() + "/sim.err");
  ASSERT_TRUE(WaitForWord(files_.Path() + "/sim.out", "serving")) << "vr03sim did not come up: " << sim->Err();
  const std::string memory = nxtest::ReadBytes(cfg);
  ASSERT_EQ(memory.size(), 64u);

  Checked c = Run({"--json", "--recorder", "00:80:25:00:00:42"}, {"NX_BT_DIR=" + bt});
  EXPECT_EQ(c.Status("recorder link"), "ok") << c.Text("recorder link") << c.err;
  EXPECT_EQ(c.Fact("recorder link", "leads").toInteger(), 2);
  EXPECT_EQ(c.Fact("recorder link", "rate_hz").toInteger(), 500);
  EXPECT_EQ(c.Fact("recorder link", "version").toInteger(), 11);
  EXPECT_EQ(c.Fact("recorder link", "year").toInteger(), 2025);
  EXPECT_EQ(c.Fact("recorder link", "month").toInteger(), 3);
  EXPECT_EQ(c.Fact("recorder link", "greeting").toString().left(10), "565230334D") << "VR03M";
  EXPECT_EQ(c.Status("bluetooth"), "ok");
  EXPECT_EQ(c.Text("recorder 00:80:25:00:00:42"), "VR-03M 0042, known to the virtual transport");
  EXPECT_TRUE(nxtest::ReadBytes(cfg) == memory) << "the recorder's memory changed";
  const std::string commands = nxtest::Slurp(log);
  EXPECT_TRUE(Has(commands, "StopStream") && Has(commands, "ReadConfig")) << commands;
  for (const char* change : {"WriteConfig", "SetGainCodes", "SetZeroOffsets", "EnterNormalMode", "EnterSetupMode",
                             "ReleaseRecorder", "StartStream", "block"})
    EXPECT_FALSE(Has(commands, change)) << change << " in\n" << commands;
  EXPECT_TRUE(Has(commands, "disconnect")) << "the link is closed: " << commands;

  kill(sim->Pid(), SIGKILL);
  sim.reset();
  c = Run({"--json", "--recorder", "00:80:25:00:00:42"}, {"NX_BT_DIR=" + bt});
  EXPECT_EQ(c.Status("recorder link"), "fail");
  EXPECT_TRUE(Has(c.Text("recorder link"), "no link: error")) << c.Text("recorder link");
  EXPECT_TRUE(Has(c.Fix("recorder link"), "switch the recorder on")) << c.Fix("recorder link");
  EXPECT_EQ(c.status, 1);
}

}  // namespace
