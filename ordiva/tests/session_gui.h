// What the GUI tests of a session share: the virtual recorder started with shortened
// waits, card images, the message boxes answered, the selection dialog found as the user
// sees it, and the fixture that starts the program's windows offscreen.
#pragma once

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCalendarWidget>
#include <QLabel>
#include <QEventLoop>
#include <QTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>

#include <signal.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "acquisition_worker.h"
#include "nxtest/btpeer.h"
#include "nxtest/fatimage.h"
#include "nxtest/process.h"
#include "nxtest/unwritable.h"
#include "setup_dialog.h"
#include "vkbth/devtools.h"
#include "working_window.h"

namespace sessiongui {

using ordiva::Environment;
using ordiva::Program;

constexpr ULONGLONG kAddress = 0x008025000077ull;
const char* const kAddressText = "00:80:25:00:00:77";

inline std::string Tool() {
  const char* bin = std::getenv("NX_TEST_BIN_DIR");
  return bin ? std::string(bin) + "/vr03sim" : std::string();
}

// Under ThreadSanitizer the program and vr03sim run several times slower: deadlines
// grow, and the real-time spacing of the commands is measured only in the other builds.
#if defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 3;
constexpr bool kRealTime = false;
#else
constexpr int kSlowdown = 1;
constexpr bool kRealTime = true;
#endif

// Every message box shown, answered by the test.
struct Boxes {
  struct Shown {
    std::u16string text, caption;
    UINT style;
  };
  std::vector<Shown> shown;
  int slowStops = 0;  // failed stops not recorded in builds that cannot keep up (below)
  std::function<int(const Shown&)> answer = [](const Shown& s) {
    return (s.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
  };
  static int Hook(void* self, HWND, LPCWSTR text, LPCWSTR caption, UINT style) {
    auto* b = static_cast<Boxes*>(self);
    // Where the program runs several times slower than the recorder sends, the reader
    // falls seconds behind, and a stream that was told to stop still has more unread
    // bytes than a stop drains: the program rightly says the stop failed. That says
    // nothing about the session under test, so such builds only count it.
    if (!kRealTime && std::u16string_view(text) == u"Останов FP не сработал") {
      ++b->slowStops;
      return IDOK;
    }
    b->shown.push_back({text, caption, style});
    return b->answer(b->shown.back());
  }
  // The texts shown, one per line, for a failure's message.
  std::string Texts() const {
    std::string all;
    for (const auto& s : shown) all += QString::fromStdU16String(s.text).toStdString() + "\n";
    return all;
  }
  bool Any(const std::u16string& part) const {
    for (const auto& s : shown)
      if (s.text.find(part) != std::u16string::npos) return true;
    return false;
  }
};

// The recorder selection dialog while it is open, found as the user sees it: the top-level
// window "102" with its list "1001", status line "1002", OK "1" and Cancel "2".
struct SelectionDialog {
  QWidget* window = nullptr;
  QTreeWidget* list = nullptr;
  QLabel* status = nullptr;
  QPushButton *ok = nullptr, *cancel = nullptr;

  static SelectionDialog Find() {
    SelectionDialog d;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == "102" && w->isVisible()) d.window = w;
    if (!d.window) return d;
    d.list = d.window->findChild<QTreeWidget*>("1001");
    d.status = d.window->findChild<QLabel*>("1002");
    d.ok = d.window->findChild<QPushButton*>("1");
    d.cancel = d.window->findChild<QPushButton*>("2");
    return d;
  }
  // Once the list is filled (the status line no longer says it is being built).
  bool Filled() const {
    return list && status && !status->text().isEmpty() && status->text() != "построение списка устройств…";
  }
  QTreeWidgetItem* Item(const QString& name) const {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
    return nullptr;
  }
};


// The longest the user-interface thread went without running its event loop while this
// lives: a timer on it notes the gaps between its ticks.
class PauseMeter {
 public:
  PauseMeter() {
    last_ = std::chrono::steady_clock::now();
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const auto now = std::chrono::steady_clock::now();
      longest_ = std::max<long long>(longest_, std::chrono::duration_cast<std::chrono::milliseconds>(now - last_).count());
      last_ = now;
    });
    timer_.start(10);
  }
  long long LongestMs() const { return longest_; }

 private:
  QTimer timer_;
  std::chrono::steady_clock::time_point last_;
  long long longest_ = 0;
};

// Runs the event loop as the program does until done() holds (a QTest wait would sleep
// between its rounds and starve the acquisition).
inline bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms * kSlowdown);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

class SessionGui : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(Tool()));
    config_ = files_.Path() + "/recorder.cfg";
    log_ = files_.Path() + "/commands.log";
    previousHook_ = NxSetMessageBoxHook(&Boxes::Hook, &boxes_);
    env_.selectDevice = [this](HWND, HVKBTDEVICE* device) {
      ++selections_;
      return NxBtCreateDeviceInfo(kAddress, u"VR-03M 0077", nullptr, 1, u"8779", device);
    };
    env_.sleep = [](DWORD ms) { ::Sleep(ms / 20); };
    env_.io.sleep = env_.sleep;
    env_.supplyCheckMs = 500;
    env_.splashMs = 100;
    env_.zeroFixMs = 50;
    env_.endProgram = [this] { ++ended_; };
    // Dates as on a desktop without a language; the Russian one is tried on its own.
    env_.locale = QLocale::c();
  }
  void TearDown() override {
    program_.reset();
    NxSetMessageBoxHook(previousHook_, nullptr);
    unsetenv("NX_DRIVES");
  }
  void StartSim(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--address", kAddressText, "--name",        "VR-03M 0077",
                                     "--no-rfcomm", "--config", config_, "--command-log", log_};
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<nxtest::ChildProcess>(Tool(), args, files_.Path() + "/out", files_.Path() + "/err");
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(world_.Dir() + "/" + kAddressText); }, 10000));
  }
  // A FAT16 card image holding a session file of pattern seed.
  std::string Card(const std::string& name, unsigned seed) const {
    const std::string card = files_.Path() + "/" + name, file = files_.Path() + "/" + name + ".bin";
    nxtest::MakeFatImage(card, 8192, 16, "VR03", "1234ABCD");
    nxtest::WriteBytes(file, nxtest::Pattern(8192, seed));
    nxtest::PutFile(card, file, "VKFRCG.BIN");
    return card;
  }
  // Waits until the start-up and the channel zero fix are over: every later command
  // comes from the test.
  void WaitForQuietStartup(ordiva::WorkingWindow* f) {
    ASSERT_TRUE(WaitFor([&] { return f->Worker()->Steps() > 100; }));
    ASSERT_TRUE(WaitFor([&] {
      const auto names = Commands();
      return std::find(names.begin(), names.end(), "SetZeroOffsets") != names.end() && names.back() == "StartStream";
    }));
  }
  // vr03sim serving, `card` pinned as E:, the program started and past its start-up, the
  // particulars filled in: the working window, or null after a failure.
  ordiva::WorkingWindow* StartSessionWithCard(const std::string& card) {
    StartSim();
    setenv("NX_DRIVES", ("E=" + card).c_str(), 1);
    program_ = std::make_unique<Program>(env_);
    if (HasFatalFailure() || !program_->Start()) return nullptr;
    WaitForQuietStartup(program_->WorkingWindow());
    if (HasFatalFailure()) return nullptr;
    FillParticulars(program_->WorkingWindow());
    return program_->WorkingWindow();
  }
  // Waits (up to 10 s) for the program to call the link lost; how long after the last
  // record it did. What the recorder sent before it went is read first, so a loaded
  // machine drains a backlog before the loss shows: the time counts from its end.
  static std::chrono::milliseconds WaitForLoss(ordiva::WorkingWindow* f) {
    // Records counted without an empty read since the last look came with their bytes.
    auto lastRecordAt = std::chrono::steady_clock::now();
    auto records = f->acquisition.decoder.records;
    auto empty = f->acquisition.decoder.emptyReads;
    WaitFor([&] {
      const auto& d = f->acquisition.decoder;
      if (d.records != records && d.emptyReads == empty) lastRecordAt = std::chrono::steady_clock::now();
      records = d.records;
      empty = d.emptyReads;
      return f->LinkLost();
    }, 10000);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - lastRecordAt);
  }
  static void FillParticulars(ordiva::WorkingWindow* f) {
    f->Edit("MaskEditFamilia")->setText("Петров");
    f->Edit("MaskEdit1")->setText("Иван");
    f->Edit("MaskEdit2")->setText("Ильич");
    f->Edit("MaskEdit7")->setText("42");
  }
  size_t Asked(const std::u16string& text) const {
    return static_cast<size_t>(
        std::count_if(boxes_.shown.begin(), boxes_.shown.end(), [&](const Boxes::Shown& b) { return b.text == text; }));
  }
  // The recorder's stored block as vr03sim keeps it.
  std::string StoredConfig() const { return nxtest::ReadBytes(config_); }
  std::vector<std::string> Commands() const {
    std::vector<std::string> names;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
      const std::string what = line.substr(line.find(' ') + 1);
      names.push_back(what.size() > 12 && what[2] == ' ' ? what.substr(12) : what);
    }
    return names;
  }
  // The start-up goes through the real selection dialog (the program's own parameters).
  // Once the dialog has filled its list, the test notes what it shows and over which
  // window, then selects the recorder named choose and presses OK, or presses Cancel when
  // choose is empty.
  void AnswerSelection(const QString& choose) {
    env_.selectDevice = [this, choose](HWND parent, HVKBTDEVICE* device) {
      ++selections_;
      // The dialog runs modally inside the call: a timer of its event loop answers it.
      QTimer answer;
      QObject::connect(&answer, &QTimer::timeout, [&] {
        const SelectionDialog d = SelectionDialog::Find();
        if (!d.Filled()) return;
        answer.stop();
        dialogParent_ = d.window->parentWidget();
        listed_.clear();
        for (int i = 0; i < d.list->topLevelItemCount(); ++i)
          listed_ << d.list->topLevelItem(i)->text(0) + " " + d.list->topLevelItem(i)->text(2);
        listed_.sort();
        if (QTreeWidgetItem* item = choose.isEmpty() ? nullptr : d.Item(choose)) {
          d.list->setCurrentItem(item);
          okEnabled_ = d.ok->isEnabled();
          QTest::mouseClick(d.ok, Qt::LeftButton);
        } else {
          QTest::mouseClick(d.cancel, Qt::LeftButton);
        }
      });
      answer.start(10);
      return ordiva::SelectRecorder(parent, device);
    };
  }
  // A device the computer knows but that is switched off: only its name file.
  void KnownDevice(const char* address, const char* name) const {
    std::ofstream(world_.Dir() + "/" + address + ".name") << name << "\n";
  }
  static int CountColour(const QImage& image, QColor colour, int top, int bottom) {
    int n = 0;
    for (int y = std::max(top, 0); y < std::min(bottom, image.height()); ++y)
      for (int x = 0; x < image.width(); ++x)
        if (image.pixelColor(x, y) == colour) ++n;
    return n;
  }

  bttest::VirtualWorld world_;
  nxtest::TempDir files_{"ordiva-gui"};
  std::string config_, log_;
  std::unique_ptr<nxtest::ChildProcess> sim_;
  Boxes boxes_;
  NxMessageBoxHook previousHook_ = nullptr;
  Environment env_;
  int selections_ = 0;
  int ended_ = 0;
  QStringList listed_;
  QWidget* dialogParent_ = nullptr;
  bool okEnabled_ = false;
  std::unique_ptr<Program> program_;  // made by StartSessionWithCard; goes first
};


}  // namespace sessiongui
