// The command line as a user runs it, from a scrubbed environment: help and usage
// errors, a missing service told apart from a service that refuses the card, an
// initialisation with its progress, a refused card, no confirmation, and Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "nxtest/fatimage.h"
#include "nxtest/process.h"
#include "nxtest/temp.h"
#include "nxtest/svcproc.h"

namespace {

using namespace std::chrono_literals;

std::string Program() { return std::string(getenv("NX_TEST_BIN_DIR")) + "/vr03fci"; }

class CommandLine : public ::testing::Test {
 protected:
  // A card image of sizeKiB pinned as E: and, when wanted, a service for it.
  void Card(const std::string& mkfs, int sizeKiB, bool service = true) {
    service_.reset();
    image_ = dir_.Path() + "/card.img";
    unlink(image_.c_str());
    ASSERT_EQ(nxtest::Run("mkfs.fat -C " + mkfs + " " + nxtest::Quote(image_) + " " + std::to_string(sizeKiB) +
                          " >/dev/null 2>&1"),
              0);
    setenv("NX_DRIVES", ("E=" + image_).c_str(), 1);
    if (service) {
      service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
    } else {
      setenv("NX_PIPE_DIR", pipes_.Path().c_str(), 1);
    }
  }
  void TearDown() override {
    service_.reset();
    unsetenv("NX_DRIVES");
    unsetenv("NX_PIPE_DIR");
  }
  // vr03fci's command line under env -i: a user's shell has none of the variables ctest
  // sets, only a home, a path, a language and this test's drives and pipes.
  std::vector<std::string> Scrubbed(std::vector<std::string> args) {
    std::vector<std::string> line{"-i", "HOME=" + dir_.Path(), "PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8"};
    for (const std::string& pair : nxtest::SanitizerSettings()) line.push_back(pair);
    for (const char* name : {"NX_DRIVES", "NX_PIPE_DIR"})
      if (const char* value = getenv(name)) line.push_back(std::string(name) + "=" + value);
    line.push_back(Program());
    line.insert(line.end(), args.begin(), args.end());
    return line;
  }
  // Runs vr03fci to its end; its exit code, with stdout and stderr kept.
  int Run(std::vector<std::string> args) {
    nxtest::ChildProcess p("/usr/bin/env", Scrubbed(std::move(args)), dir_.Path() + "/out", dir_.Path() + "/err");
    int rc = p.Wait();
    out_ = p.Out();
    err_ = p.Err();
    return rc;
  }

  nxtest::TempDir dir_{"fci-cli"};
  nxtest::TempDir pipes_{"fci-cli-pipes"};
  std::string image_, out_, err_;
  std::unique_ptr<svctest::ServiceProcess> service_;
};

TEST_F(CommandLine, HelpAndUsageErrors) {
  EXPECT_EQ(Run({"--help"}), 0);
  for (const char* word : {"list", "info E:", "init E:", "--check", "--strict", "--yes", "pfsvc", "130"})
    EXPECT_NE(out_.find(word), std::string::npos) << word;
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"format", "E:"}, {"init"}, {"init", "EE:"}, {"init", "E:", "--fast"}, {"list", "E:"}, {"info"}}) {
    EXPECT_EQ(Run(bad), 2) << bad[0];
    EXPECT_NE(err_.find("--help"), std::string::npos);
    EXPECT_TRUE(out_.empty());
  }
}

// Without a command the program is a window; a shell without a display gets one line
// naming the commands that need none, and status 1 (not Qt's abort).
TEST_F(CommandLine, TheDialogWithoutADisplayNamesTheTerminalCommands) {
  nxtest::UserRun run = nxtest::RunAsUser(dir_.Path(), Program(), {});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.err, "vr03fci: no display to show windows on (DISPLAY and WAYLAND_DISPLAY are not set); "
                     "on the terminal use vr03fci list|info|init (see vr03fci --help)\n");
}

TEST_F(CommandLine, MissingServiceGetsOneLineSayingHowToStartIt) {
  Card("-F 12", 16384, false);
  EXPECT_EQ(Run({"init", "E:", "--yes"}), 1);
  EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
  EXPECT_NE(err_.find("pfsvc"), std::string::npos) << err_;
  EXPECT_NE(err_.find("start"), std::string::npos) << err_;
}

// "Not running" only when no service answers; a service that answers and cannot open
// the card gives its error code and a few words, for every command.
TEST_F(CommandLine, ServiceRefusalsAreToldApartFromAMissingService) {
  Card("-F 16", 16384, false);
  const std::string client = "E=" + image_;
  const std::string before = nxtest::ReadBytes(image_);
  const std::vector<std::vector<std::string>> commands{{"info", "E:"}, {"init", "E:", "--yes"}};
  for (const auto& c : commands) {
    EXPECT_EQ(Run(c), 1) << c[0];
    EXPECT_EQ(err_.rfind("vr03fci: the paged-file service is not running", 0), 0u) << c[0] << ": " << err_;
  }

  // Services started with drives of their own: one whose E: is a folder refuses to open
  // its volume, one without the client's pins knows no E: at all.
  const struct {
    std::string serviceDrives, error;
  } services[] = {{"E=" + dir_.Path(), "error 5 (access denied)"},
                  {"G=" + image_, "error 2 (the service knows no such drive)"}};
  for (const auto& svc : services) {
    setenv("NX_DRIVES", svc.serviceDrives.c_str(), 1);
    service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
    setenv("NX_DRIVES", client.c_str(), 1);
    for (const auto& c : commands) {
      EXPECT_EQ(Run(c), 1) << c[0];
      EXPECT_EQ(err_, "vr03fci: E: the paged-file service could not open the card: " + svc.error + "\n") << c[0];
    }
    EXPECT_EQ(Run({"list"}), 0);
    EXPECT_EQ(out_, "E:  (sizes not readable: " + svc.error + ")\n");
    EXPECT_EQ(err_, "");
    service_.reset();
  }
  EXPECT_TRUE(nxtest::ReadBytes(image_) == before);
}

TEST_F(CommandLine, ListInfoAndACheckedInitialisation) {
  Card("-F 12", 16384);
  EXPECT_EQ(Run({"list"}), 0);
  EXPECT_NE(out_.find("E:  cluster 8 192 Б  total 16 384 кБ"), std::string::npos) << out_;
  EXPECT_EQ(Run({"info", "e"}), 0);
  EXPECT_NE(out_.find("12-bit FAT"), std::string::npos) << out_;
  const std::string boot = nxtest::ReadBytes(image_).substr(0, 512);
  EXPECT_EQ(Run({"init", "E:", "--check", "--yes"}), 0) << err_;
  EXPECT_EQ(out_, "Инициализация успешно завершена.\n");
  EXPECT_NE(err_.find("100%"), std::string::npos) << err_;
  EXPECT_NE(err_.find("MB/s"), std::string::npos) << err_;
  EXPECT_EQ(nxtest::ReadBytes(image_).substr(0, 512), boot);
  EXPECT_EQ(nxtest::Run("fsck.fat -n " + nxtest::Quote(image_) + " >/dev/null 2>&1"), 0);
  EXPECT_EQ(nxtest::GetFile(image_, "VKFRCG.BIN").substr(0, 7), std::string("VKFRCG\0", 7));
}

TEST_F(CommandLine, RefusedCardAndUnconfirmedRunWriteNothing) {
  Card("-F 16 -f 1", 20480);
  const std::string before = nxtest::ReadBytes(image_);
  EXPECT_EQ(Run({"init", "E:", "--strict", "--yes"}), 1);
  EXPECT_EQ(out_, "Карта не подходит: число копий FAT не равно двум.\n");
  EXPECT_TRUE(nxtest::ReadBytes(image_) == before);
  EXPECT_EQ(Run({"info", "E:"}), 0);
  EXPECT_NE(out_.find("число копий FAT"), std::string::npos) << out_;

  Card("-F 16", 20480);
  const std::string fresh = nxtest::ReadBytes(image_);
  EXPECT_EQ(Run({"init", "E:"}), 1);  // stdin is empty: no confirmation
  EXPECT_NE(err_.find("not confirmed"), std::string::npos) << err_;
  EXPECT_TRUE(nxtest::ReadBytes(image_) == fresh);
}

TEST_F(CommandLine, CtrlCStopsAStrictRunPromptly) {
  Card("-F 16", 262144);
  nxtest::ChildProcess p("/usr/bin/env", Scrubbed({"init", "E:", "--strict", "--yes"}), dir_.Path() + "/out",
                         dir_.Path() + "/err");
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(p.Running()) << "the run ended before the interrupt";
  const auto t0 = std::chrono::steady_clock::now();
  kill(p.Pid(), SIGINT);
  EXPECT_EQ(p.Wait(), 130);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s) << "a prompt stop (well under a second when idle; generous for a loaded machine)";
  EXPECT_EQ(p.Out(), "Инициализация прервана пользователем.\n");
}

}  // namespace
