// The program's windows driven offscreen through a whole session against the virtual
// recorder (vr03sim) with shortened waits: the recorder chosen in the real selection
// dialog, start-up, live traces, gains, mode, zero request, set-up, the card record read
// back with mtools; and the ways a session ends early or stays open (cancel in the
// selection dialog, no greeting, a read-only card, no card, "Нет" to the question,
// Cancel to the particulars' message); the desktop's date separator; the traces kept
// when the focus enters the patient panel; the identity edits' service unlock; a recorder
// that goes away (killed, stalled) noticed, said and taken up again.
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

namespace {

using ordiva::Environment;
using ordiva::Program;

constexpr ULONGLONG kAddress = 0x008025000077ull;
const char* const kAddressText = "00:80:25:00:00:77";

std::string Tool() {
  const char* bin = std::getenv("NX_TEST_BIN_DIR");
  return bin ? std::string(bin) + "/vr03sim" : std::string();
}

// Every message box shown, answered by the test.
struct Boxes {
  struct Shown {
    std::u16string text, caption;
    UINT style;
  };
  std::vector<Shown> shown;
  std::function<int(const Shown&)> answer = [](const Shown& s) {
    return (s.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
  };
  static int Hook(void* self, HWND, LPCWSTR text, LPCWSTR caption, UINT style) {
    auto* b = static_cast<Boxes*>(self);
    b->shown.push_back({text, caption, style});
    return b->answer(b->shown.back());
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

// Under ThreadSanitizer the program and vr03sim run several times slower: deadlines
// grow, and the real-time spacing of the commands is measured only in the other builds.
#if defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 3;
constexpr bool kRealTime = false;
#else
constexpr int kSlowdown = 1;
constexpr bool kRealTime = true;
#endif

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
bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
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

TEST_F(SessionGui, AWholeSession) {
  StartSim();
  KnownDevice("00:80:25:00:00:78", "VR-03M 0078");
  KnownDevice("00:80:25:00:00:01", "VR-02 0001");
  AnswerSelection("VR-03M 0077");
  // The card: a FAT16 image holding the session file as E:, a card without it as D:.
  const std::string card = files_.Path() + "/card.img", other = files_.Path() + "/other.img";
  nxtest::MakeFatImage(card, 8192, 16, "VR03", "1234ABCD");
  nxtest::WriteBytes(files_.Path() + "/VKFRCG.BIN", nxtest::Pattern(8192, 3));
  nxtest::PutFile(card, files_.Path() + "/VKFRCG.BIN", "VKFRCG.BIN");
  nxtest::MakeFatImage(other, 2048, 12, "OTHER", "11112222");
  setenv("NX_DRIVES", ("D=" + other + ";E=" + card).c_str(), 1);

  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::WorkingWindow* f = program.WorkingWindow();
  ordiva::SetupDialog* setup = program.SetupDialog();
  // The dialog over the working window listed the recorders of the name prefix only, each
  // reached on channel 1 (the address column), and the chosen one is the session's.
  EXPECT_EQ(selections_, 1);
  EXPECT_EQ(listed_, QStringList({"VR-03M 0077 (00:80:25:00:00:77):1", "VR-03M 0078 (00:80:25:00:00:78):1"}));
  EXPECT_EQ(dialogParent_, f);
  EXPECT_TRUE(okEnabled_);
  EXPECT_EQ(SelectionDialog::Find().window, nullptr);
  EXPECT_NE(f->device, nullptr);
  EXPECT_FALSE(f->fatalLink);
  EXPECT_FALSE(f->greetingTimeout);
  EXPECT_EQ(f->windowTitle(), "Тип регистратора VR03M  Частота преобразования= 250 гц. Количество Отведений= 3");
  EXPECT_EQ(setup->windowTitle(), "Тип регистратора VR03M");
  EXPECT_FALSE(f->Button("Button4")->isEnabled());
  EXPECT_FALSE(f->Button("Button10")->isEnabled());
  EXPECT_EQ(f->findChild<QSpinBox*>("SpinEdit3")->singleStep(), 182);
  EXPECT_EQ(setup->Edit("LabeledEdit1")->text(), "VR03M");

  // Live traces: every band gets pixels of its channel's colour.
  ASSERT_TRUE(WaitFor([&] { return f->Worker()->Steps() > 1500; })) << f->Worker()->Steps();
  const QImage back = f->BackBuffer().copy();
  const int h = back.height() / 3;
  EXPECT_GT(CountColour(back, QColor(255, 0, 0), 0, h), 50);
  EXPECT_GT(CountColour(back, QColor(0, 128, 0), h, 2 * h), 50);
  EXPECT_GT(CountColour(back, QColor(128, 0, 0), 2 * h, 3 * h), 50);
  EXPECT_EQ(CountColour(back, QColor(255, 0, 0), h + 1, 3 * h), 0) << "channel 1 stays in its band";
  EXPECT_GT(f->acquisition.decoder.records, 1000u);

  // Gains: 910 / 182 = code 5 for channel 1, 1092 / 182 = 6 for channel 3.
  f->findChild<QSpinBox*>("SpinEdit3")->setValue(910);
  f->findChild<QSpinBox*>("SpinEdit1")->setValue(1092);
  QTest::mouseClick(f->Button("Button8"), Qt::LeftButton);
  std::string stored = StoredConfig();
  ASSERT_EQ(stored.size(), 64u);
  EXPECT_EQ(static_cast<unsigned char>(stored[38]), 5);
  EXPECT_EQ(static_cast<unsigned char>(stored[40]), 6);

  // Mode toggle into setup mode.
  QTest::mouseClick(f->Button("Button13"), Qt::LeftButton);
  EXPECT_EQ(f->Button("Button13")->text(), "Настройка");
  EXPECT_TRUE(setup->findChild<QPushButton*>("BitBtn1")->isEnabled());
  EXPECT_EQ(static_cast<unsigned char>(StoredConfig()[41]), 0xFF);

  // Zero request for Y served by the next steps.
  const auto stepsBefore = f->Worker()->Steps();
  QTest::mouseDClick(setup->Edit("edt2"), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !setup->Edit("edt5")->text().isEmpty(); }));
  EXPECT_GT(f->Worker()->Steps(), stepsBefore);
  EXPECT_EQ(setup->Edit("edt5")->text().size(), 4);
  EXPECT_EQ(setup->Edit("edt5")->text().trimmed().toInt(), f->acquisition.zeros[1]);

  // Set-up: two leads at 500 Hz reach the recorder and the captions.
  setup->findChild<QRadioButton*>("RadioGroup1_1")->setChecked(true);
  setup->findChild<QRadioButton*>("RadioGroup2_1")->setChecked(true);
  QTest::mouseClick(setup->findChild<QPushButton*>("Button2"), Qt::LeftButton);
  stored = StoredConfig();
  EXPECT_EQ(stored[12], 2);
  EXPECT_EQ(stored[14], 2);
  EXPECT_EQ(f->windowTitle(), "Тип регистратора VR03M  Частота преобразования= 500 гц. Количество Отведений= 2");
  EXPECT_EQ(f->leads, 2);
  const auto records = f->acquisition.decoder.records;
  ASSERT_TRUE(WaitFor([&] { return f->acquisition.decoder.records > records + 500; }));

  // Patient fields, then "Закончить".
  f->Edit("MaskEditFamilia")->setText("Иванов");
  f->Edit("MaskEdit1")->setText("Пётр");
  f->Edit("MaskEdit2")->setText("Сергеевич");
  f->Edit("MaskEdit7")->setText("1234567");
  f->Edit("MaskEdit3")->setText("01021960");
  f->Edit("MaskEditKlinika")->setText("Клиника №1");
  f->Edit("MaskEdit10")->setText("V1");
  QTest::mouseClick(f->Edit("MaskEdit5"), Qt::LeftButton);
  EXPECT_EQ(f->Edit("MaskEdit5")->text(), "Ж");
  const QString sessionDate = f->Edit("MaskEdit4")->displayText();
  EXPECT_TRUE(QRegularExpression("^\\d\\d/\\d\\d/\\d{4}$").match(sessionDate).hasMatch()) << sessionDate.toStdString();
  QTest::mouseClick(f->Button("Button12"), Qt::LeftButton);
  EXPECT_TRUE(boxes_.Any(u"Карта заполнена правильно?"));
  EXPECT_TRUE(f->recordSaved);
  EXPECT_EQ(ended_, 1);
  EXPECT_TRUE(f->Worker()->isFinished());

  const std::string file = nxtest::GetFile(card, "VKFRCG.BIN");
  ASSERT_EQ(file.size(), 8192u);
  EXPECT_EQ(file.substr(0, 6), "OBNOVL");
  EXPECT_EQ(file.substr(6, 2), stored.substr(6, 2)) << "year and month of manufacture";
  ordiva::PatientBlock block;
  std::memcpy(block.bytes.data(), file.data() + 1024, 512);
  EXPECT_EQ(block.Get(ordiva::patient::kSurname), u"Иванов");
  EXPECT_EQ(block.Get(ordiva::patient::kFirstName), u"Пётр");
  EXPECT_EQ(block.Get(ordiva::patient::kBirth), u"01/02/1960");
  EXPECT_EQ(QString::fromStdU16String(block.Get(ordiva::patient::kDate)), sessionDate);
  EXPECT_EQ(block.Get(ordiva::patient::kSex), u"Ж");
  EXPECT_EQ(block.Get(ordiva::patient::kClinic), u"Клиника №1");
  EXPECT_EQ(block.Get(ordiva::patient::kChannel1), u"V1");
  EXPECT_EQ(file.substr(1536), nxtest::Pattern(8192, 3).substr(1536));

  // The recorder saw the sequences in order.
  const auto names = Commands();
  auto find = [&](const std::string& what, size_t from) {
    for (size_t i = from; i < names.size(); ++i)
      if (names[i] == what) return i;
    return names.size();
  };
  size_t at = find("StopStream", 0);
  for (const char* next : {"ReadConfig", "StartStream", "SetGainCodes", "WriteConfig", "block 64", "StartStream",
                           "StopStream", "RereadConfig", "EnterSetupMode", "StartStream", "ReleaseRecorder"}) {
    const size_t found = find(next, at + 1);
    ASSERT_LT(found, names.size()) << next << " after line " << at;
    at = found;
  }
  EXPECT_NE(find("SetZeroOffsets", 0), names.size()) << "the channel zero fix";
}

// The recorder is switched off in the middle of the preparation (its process killed): the
// loss is noticed at once, the traces stay as drawn, the panel and a message say what to
// do. Switched on again (a new process at the same address), "Пуск" takes the link up
// again with the session's gains and keeps everything typed; the session then finishes
// as usual. The user-interface thread never stops answering for long meanwhile.
TEST_F(SessionGui, ARecorderSwitchedOffIsNoticedAndTakenUpAgain) {
  const std::string card = Card("card.img", 5);
  ordiva::WorkingWindow* f = StartSessionWithCard(card);
  ASSERT_NE(f, nullptr);
  f->findChild<QSpinBox*>("SpinEdit3")->setValue(910);
  QTest::mouseClick(f->Button("Button8"), Qt::LeftButton);  // gains: code 5 on channel 1
  ASSERT_TRUE(WaitFor([&] { return f->Worker()->Steps() > 300; }));

  PauseMeter meter;
  ::kill(sim_->Pid(), SIGKILL);
  sim_->Wait();
  const auto noticed = WaitForLoss(f);
  ASSERT_TRUE(f->LinkLost()) << "the loss was never noticed";
  EXPECT_LT(noticed, std::chrono::milliseconds(1000 * kSlowdown)) << "at once";
  const QImage drawn = f->BackBuffer().copy();
  const auto steps = f->Worker()->Steps();
  ASSERT_TRUE(WaitFor([&] { return boxes_.Any(u"Связь с регистратором потеряна"); }, 2000));
  WaitFor([] { return false; }, 500);
  EXPECT_EQ(f->Worker()->Steps(), steps) << "acquisition stopped";
  EXPECT_EQ(f->BackBuffer(), drawn) << "the traces stay as they were drawn";
  EXPECT_EQ(f->findChild<QLabel*>("LinkQuality")->text(), "Связь с регистратором потеряна");
  EXPECT_EQ(boxes_.shown.back().text,
            u"Связь с регистратором потеряна\r\nПроверьте, что регистратор включён и находится рядом с "
            u"компьютером, затем нажмите «Пуск»");
  EXPECT_TRUE(f->Button("Button4")->isEnabled());
  EXPECT_FALSE(f->Button("Button3")->isEnabled());
  EXPECT_FALSE(f->Button("Button8")->isEnabled());

  // Still off: "Пуск" tries, says so again, and leaves "Пуск" to try once more.
  std::filesystem::remove(world_.Dir() + "/" + kAddressText);
  const size_t said = Asked(boxes_.shown.back().text);
  QTest::mouseClick(f->Button("Button4"), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !f->Reconnecting(); }, 10000));
  EXPECT_TRUE(f->LinkLost());
  EXPECT_EQ(Asked(boxes_.shown.back().text), said + 1);
  EXPECT_TRUE(f->Button("Button4")->isEnabled());

  // Switched on again.
  StartSim();
  QTest::mouseClick(f->Button("Button4"), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !f->Reconnecting(); }, 10000));
  ASSERT_FALSE(f->LinkLost());
  const auto records = f->acquisition.decoder.records;
  ASSERT_TRUE(WaitFor([&] { return f->acquisition.decoder.records > records + 300; }));
  EXPECT_EQ(f->Edit("MaskEditFamilia")->text(), "Петров") << "what was typed stays";
  EXPECT_EQ(f->findChild<QSpinBox*>("SpinEdit3")->value(), 910);
  EXPECT_TRUE(f->findChild<QLabel*>("LinkQuality")->text().startsWith("Связь: "));
  EXPECT_TRUE(f->Button("Button3")->isEnabled());
  EXPECT_FALSE(f->Button("Button4")->isEnabled());
  std::vector<std::string> names = Commands();
  const std::vector<std::string> takenUp = {"connect", "StopStream", "ReadConfig", "SetGainCodes", "StartStream"};
  ASSERT_GE(names.size(), takenUp.size());
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 5), takenUp) << "the session's gains again";
  EXPECT_LT(meter.LongestMs(), 1500 * kSlowdown) << "the window stopped answering";

  QTest::mouseClick(f->Button("Button12"), Qt::LeftButton);
  EXPECT_TRUE(f->recordSaved);
  EXPECT_EQ(ended_, 1);
  names = Commands();
  EXPECT_NE(std::find(names.begin() + 5, names.end(), "ReleaseRecorder"), names.end());
  ordiva::PatientBlock block;
  std::memcpy(block.bytes.data(), nxtest::GetFile(card, "VKFRCG.BIN").data() + 1024, 512);
  EXPECT_EQ(block.Get(ordiva::patient::kSurname), u"Петров");
}

// A recorder that stops sending without closing the link (out of range, hung): the
// silence is noticed within about two seconds, also after "Стоп". "Закончить" meanwhile
// writes the card but says the recorder is not released and keeps the session open; once
// the link is taken up again it finishes.
TEST_F(SessionGui, AStalledRecorderIsNoticedAndTheSessionWaitsForIt) {
  const std::string card = Card("card.img", 6);
  ordiva::WorkingWindow* f = StartSessionWithCard(card);
  ASSERT_NE(f, nullptr);

  PauseMeter meter;
  ::kill(sim_->Pid(), SIGSTOP);
  QTest::mouseClick(f->Button("Button3"), Qt::LeftButton);  // "Стоп" on the silent link
  const auto noticed = WaitForLoss(f);
  ASSERT_TRUE(f->LinkLost()) << "the silence was never noticed";
  EXPECT_GE(noticed, std::chrono::milliseconds(1900));
  EXPECT_LT(noticed, std::chrono::milliseconds(2600 * kSlowdown));
  EXPECT_LT(meter.LongestMs(), 1500 * kSlowdown) << "the window stopped answering";

  QTest::mouseClick(f->Button("Button12"), Qt::LeftButton);
  EXPECT_FALSE(f->recordSaved);
  EXPECT_EQ(ended_, 0);
  EXPECT_TRUE(boxes_.Any(u"Регистратор не освобождён, запись можно повторить."));
  ordiva::PatientBlock block;
  std::memcpy(block.bytes.data(), nxtest::GetFile(card, "VKFRCG.BIN").data() + 1024, 512);
  EXPECT_EQ(block.Get(ordiva::patient::kSurname), u"Петров") << "the card is written all the same";

  ::kill(sim_->Pid(), SIGCONT);
  QTest::mouseClick(f->Button("Button4"), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !f->Reconnecting(); }, 10000));
  ASSERT_FALSE(f->LinkLost());
  QTest::mouseClick(f->Button("Button12"), Qt::LeftButton);
  EXPECT_TRUE(f->recordSaved);
  EXPECT_EQ(ended_, 1);
  const std::vector<std::string> names = Commands();
  const auto again = std::find(names.rbegin(), names.rend(), "connect");
  ASSERT_NE(again, names.rend());
  EXPECT_NE(std::find(names.rbegin(), again, "ReleaseRecorder"), again) << "released over the new link";
}

// "Стоп", then "Пуск" before the sweep has reached its end: the traces run on past it.
TEST_F(SessionGui, StartRightAfterStopTakesTheStopBack) {
  StartSim();
  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::WorkingWindow* f = program.WorkingWindow();
  WaitForQuietStartup(f);
  QTest::mouseClick(f->Button("Button3"), Qt::LeftButton);
  QTest::mouseClick(f->Button("Button4"), Qt::LeftButton);
  const auto steps = f->Worker()->Steps();
  // Past the end of the sweep that "Стоп" would have ended (a sweep is at most a step
  // a pixel of the window's width).
  EXPECT_TRUE(WaitFor([&] { return f->Worker()->Steps() > steps + static_cast<unsigned>(f->width()) + 300; }, 30000))
      << "stopped at " << f->Worker()->Steps() - steps << " steps";
  EXPECT_FALSE(f->Button("Button4")->isEnabled());
}

TEST_F(SessionGui, CancelInTheSelectionDialogEndsSilently) {
  StartSim();
  AnswerSelection("");
  Program program(env_);
  EXPECT_FALSE(program.Start());
  EXPECT_EQ(listed_, QStringList({"VR-03M 0077 (00:80:25:00:00:77):1"})) << "the dialog was shown";
  EXPECT_EQ(SelectionDialog::Find().window, nullptr);
  EXPECT_TRUE(boxes_.shown.empty());
  EXPECT_EQ(ended_, 0);
  // The start-up would have connected and sent its commands before Start returned.
  EXPECT_TRUE(Commands().empty());
}

TEST_F(SessionGui, NoGreetingEndsWithTheMessage) {
  bttest::PeerDevice silent(world_.Dir(), kAddress);
  // The link's time limit shortened so that 120 empty reads pass quickly.
  env_.io.read = [](HVKBTLINK link, LPVOID b, DWORD n, LPDWORD got) {
    vkbtSetTimeout(link, 2);
    return vkbtRead(link, b, n, got);
  };
  std::thread accept([&] { silent.Accept(); });
  Program program(env_);
  ASSERT_TRUE(program.Start());
  accept.join();
  EXPECT_TRUE(program.WorkingWindow()->greetingTimeout);
  ASSERT_TRUE(WaitFor([&] { return ended_ > 0; }));
  EXPECT_TRUE(boxes_.Any(u"Возникли проблемы с носимым аппаратом"));
  EXPECT_EQ(boxes_.shown.back().caption, u"Программа прекращает работу ");
  EXPECT_TRUE(WaitFor([&] { return program.WorkingWindow()->Worker()->isFinished(); }));
}

TEST_F(SessionGui, ALinkThatCannotBeMadeEndsWithTheMessage) {
  // Nobody serves the chosen recorder's address.
  Program program(env_);
  ASSERT_TRUE(program.Start());
  EXPECT_TRUE(program.WorkingWindow()->fatalLink);
  ASSERT_TRUE(WaitFor([&] { return ended_ > 0; }));
  EXPECT_TRUE(boxes_.Any(u"Возможно Вы указали не тот номер аппарата"));
  EXPECT_TRUE(WaitFor([&] { return program.WorkingWindow()->Worker()->isFinished(); }));
}

TEST_F(SessionGui, AReadOnlyCardKeepsTheSessionOpenAndTheRecorderHeld) {
  StartSim();
  const std::string card = files_.Path() + "/card.img";
  nxtest::MakeFatImage(card, 8192, 16, "VR03", "1234ABCD");
  nxtest::WriteBytes(files_.Path() + "/VKFRCG.BIN", nxtest::Pattern(8192, 5));
  nxtest::PutFile(card, files_.Path() + "/VKFRCG.BIN", "VKFRCG.BIN");
  const std::string image = nxtest::ReadBytes(card);
  auto readOnly = std::make_unique<nxtest::UnwritableFile>(card);
  if (!readOnly->Ok()) GTEST_SKIP() << "no read-only card here: " << readOnly->How();
  setenv("NX_DRIVES", ("E=" + card).c_str(), 1);
  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::WorkingWindow* f = program.WorkingWindow();
  WaitForQuietStartup(f);
  if (HasFatalFailure()) return;

  // Incomplete particulars first: Retry returns to the window.
  boxes_.answer = [](const Boxes::Shown& s) { return (s.style & MB_TYPEMASK) == MB_RETRYCANCEL ? IDRETRY : IDOK; };
  QTest::mouseClick(f->Button("Button1"), Qt::LeftButton);
  EXPECT_TRUE(boxes_.Any(u"Введите Фамилию,имя,отчество"));
  EXPECT_EQ(ended_, 0);

  FillParticulars(f);
  boxes_.answer = [](const Boxes::Shown& s) { return (s.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK; };
  const size_t commandsBefore = Commands().size();
  boxes_.shown.clear();
  QTest::mouseClick(f->Button("Button1"), Qt::LeftButton);
  ASSERT_EQ(boxes_.shown.size(), 1u) << "the card cannot be opened for writing: no question asked";
  EXPECT_EQ(boxes_.shown[0].text,
            u"Не удалось открыть E:\\VKFRCG.BIN\r\nКод ошибки 5 (нет права записи: карта или файл только для "
            u"чтения).\r\nРегистратор не освобождён, запись можно повторить.");
  EXPECT_EQ(boxes_.shown[0].caption, u"Внимание!");
  EXPECT_EQ(boxes_.shown[0].style & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
  EXPECT_FALSE(f->recordSaved);
  EXPECT_EQ(ended_, 0);
  EXPECT_TRUE(f->isVisible());
  // The acquisition goes on, and the recorder heard nothing of the finish.
  const auto steps = f->Worker()->Steps();
  EXPECT_TRUE(WaitFor([&] { return f->Worker()->Steps() > steps + 50; }));
  EXPECT_EQ(Commands().size(), commandsBefore) << "no StopStream, no ReleaseRecorder";
  EXPECT_TRUE(nxtest::ReadBytes(card) == image) << "the card image is unchanged";

  // The card made writable again, the same button finishes the session.
  readOnly.reset();
  QTest::mouseClick(f->Button("Button1"), Qt::LeftButton);
  EXPECT_TRUE(f->recordSaved);
  EXPECT_EQ(ended_, 1);
  EXPECT_EQ(nxtest::GetFile(card, "VKFRCG.BIN").substr(0, 6), "OBNOVL");
  const auto names = Commands();
  ASSERT_GE(names.size(), commandsBefore + 2);
  EXPECT_EQ(names[commandsBefore], "StopStream");
  EXPECT_EQ(names[commandsBefore + 1], "ReleaseRecorder");
}

TEST_F(SessionGui, WithoutACardInAReaderTheSessionStaysOpenUntilOneIsThere) {
  StartSim();
  // A fixed disk holding the session file, a card without it, a reader without a card.
  const std::string fixed = files_.Path() + "/fixed", empty = files_.Path() + "/empty.img";
  std::filesystem::create_directories(fixed);
  nxtest::WriteBytes(fixed + "/VKFRCG.BIN", nxtest::Pattern(4096, 7));
  nxtest::MakeFatImage(empty, 2048, 12, "EMPTY", "11112222");
  const std::string readers = "D:fixed=" + fixed + ";E=" + empty + ";F=" + files_.Path() + "/no-medium";
  setenv("NX_DRIVES", readers.c_str(), 1);
  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::WorkingWindow* f = program.WorkingWindow();
  WaitForQuietStartup(f);
  if (HasFatalFailure()) return;
  FillParticulars(f);
  const size_t commandsBefore = Commands().size();

  QTest::mouseClick(f->Button("Button1"), Qt::LeftButton);
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_EQ(boxes_.shown[0].text, u"В системе нет устройства чтения\r\nили не вставлена карта!");
  EXPECT_EQ(boxes_.shown[0].caption, u"Внимание!");
  EXPECT_EQ(boxes_.shown[0].style & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
  EXPECT_TRUE(boxes_.shown[0].style & MB_TOPMOST);
  EXPECT_FALSE(f->recordSaved);
  EXPECT_EQ(ended_, 0);
  EXPECT_TRUE(nxtest::ReadBytes(fixed + "/VKFRCG.BIN") == nxtest::Pattern(4096, 7)) << "a fixed disk is never the card";
  const auto steps = f->Worker()->Steps();
  EXPECT_TRUE(WaitFor([&] { return f->Worker()->Steps() > steps + 50; })) << "the traces go on";
  EXPECT_EQ(Commands().size(), commandsBefore) << "the recorder is not released";

  // The card put into the empty reader: the same button writes it.
  const std::string card = Card("card.img", 3);
  setenv("NX_DRIVES", (readers + ";G=" + card).c_str(), 1);
  QTest::mouseClick(f->Button("Button1"), Qt::LeftButton);
  EXPECT_TRUE(f->recordSaved);
  EXPECT_EQ(ended_, 1);
  EXPECT_EQ(nxtest::GetFile(card, "VKFRCG.BIN").substr(0, 6), "OBNOVL");
}

TEST_F(SessionGui, NoToTheQuestionLeavesTheCardAsItWasAndTheNextFinishAsksAgain) {
  const std::string card = Card("card.img", 4);
  const std::string image = nxtest::ReadBytes(card);
  ordiva::WorkingWindow* f = StartSessionWithCard(card);
  ASSERT_NE(f, nullptr);
  const size_t commandsBefore = Commands().size();
  const std::u16string question = u"Карта заполнена правильно?";

  boxes_.answer = [](const Boxes::Shown& s) { return (s.style & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK; };
  QTest::mouseClick(f->Button("Button1"), Qt::LeftButton);
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_EQ(boxes_.shown[0].text, question);
  EXPECT_EQ(boxes_.shown[0].caption, u"Внимание");
  EXPECT_EQ(boxes_.shown[0].style & MB_TYPEMASK, static_cast<UINT>(MB_YESNO));
  EXPECT_TRUE(nxtest::ReadBytes(card) == image) << "the card image is byte-identical";
  EXPECT_FALSE(f->recordSaved);
  EXPECT_EQ(ended_, 0);
  EXPECT_EQ(Commands().size(), commandsBefore) << "the recorder is not released";
  const auto steps = f->Worker()->Steps();
  EXPECT_TRUE(WaitFor([&] { return f->Worker()->Steps() > steps + 50; })) << "the traces go on";

  // The file was let go: the next "Закончить" opens it again and asks again.
  boxes_.answer = [](const Boxes::Shown& s) { return (s.style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK; };
  QTest::mouseClick(f->Button("Button12"), Qt::LeftButton);
  EXPECT_EQ(Asked(question), 2u);
  EXPECT_EQ(boxes_.shown.size(), 2u) << "nothing but the question";
  EXPECT_TRUE(f->recordSaved);
  EXPECT_EQ(ended_, 1);
  EXPECT_EQ(nxtest::GetFile(card, "VKFRCG.BIN").substr(0, 6), "OBNOVL");
}

TEST_F(SessionGui, CancelToTheParticularsMessageEndsWithoutWritingOrReleasing) {
  const std::string card = Card("card.img", 6);
  const std::string image = nxtest::ReadBytes(card);
  ordiva::WorkingWindow* f = StartSessionWithCard(card);
  ASSERT_NE(f, nullptr);
  f->Edit("MaskEdit2")->setText("   ");  // a patronymic of blanks only
  const size_t commandsBefore = Commands().size();

  boxes_.answer = [](const Boxes::Shown& s) { return (s.style & MB_TYPEMASK) == MB_RETRYCANCEL ? IDCANCEL : IDOK; };
  QTest::mouseClick(f->Button("Button12"), Qt::LeftButton);
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_EQ(boxes_.shown[0].text, u"Введите Фамилию,имя,отчество\r\nи регистрационный номер!");
  EXPECT_EQ(boxes_.shown[0].caption, u"  Внимание!!!");
  EXPECT_EQ(boxes_.shown[0].style, static_cast<UINT>(MB_RETRYCANCEL | MB_ICONWARNING));
  EXPECT_EQ(ended_, 1) << "Cancel ends the program";
  EXPECT_TRUE(WaitFor([&] { return f->Worker()->isFinished(); }));
  EXPECT_FALSE(f->recordSaved);
  EXPECT_TRUE(nxtest::ReadBytes(card) == image) << "nothing written";
  EXPECT_EQ(Commands().size(), commandsBefore) << "the recorder is not released";
}

TEST_F(SessionGui, DatesUseTheDesktopsSeparatorFromFieldToCard) {
  StartSim();
  const std::string card = Card("card.img", 8);
  setenv("NX_DRIVES", ("E=" + card).c_str(), 1);
  env_.locale = QLocale("ru_RU");
  env_.now = [] { return QDateTime(QDate(2026, 12, 7), QTime(9, 5)); };
  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::WorkingWindow* f = program.WorkingWindow();
  f->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(f));
  auto shown = [&](const char* name) { return f->Edit(name)->displayText().toStdString(); };
  EXPECT_EQ(shown("MaskEdit4"), "07.12.2026");
  EXPECT_EQ(shown("MaskEdit6"), "09:05");
  EXPECT_EQ(shown("MaskEdit3"), "  .  .    ") << "the empty template";
  // Typed as a user types: digits only, the mask puts the separators.
  QTest::keyClicks(f->Edit("MaskEdit3"), "01021960");
  EXPECT_EQ(shown("MaskEdit3"), "01.02.1960");
  f->Edit("MaskEdit12")->setFocus();  // age: 24416 days / 365
  EXPECT_EQ(shown("MaskEdit12"), "66");

  FillParticulars(f);
  QTest::mouseClick(f->Button("Button1"), Qt::LeftButton);
  ASSERT_TRUE(f->recordSaved);
  ordiva::PatientBlock block;
  std::memcpy(block.bytes.data(), nxtest::GetFile(card, "VKFRCG.BIN").data() + 1024, 512);
  EXPECT_EQ(block.Get(ordiva::patient::kDate), u"07.12.2026");
  EXPECT_EQ(block.Get(ordiva::patient::kBirth), u"01.02.1960");
  EXPECT_EQ(block.Get(ordiva::patient::kTime), u"09:05");
}

TEST_F(SessionGui, TheFocusEnteringThePatientPanelKeepsTheTraces) {
  StartSim();
  env_.now = [] { return QDateTime(QDate(2026, 12, 7), QTime(9, 5)); };
  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::WorkingWindow* f = program.WorkingWindow();
  f->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(f));
  // The slowest sweep (8 samples a pixel): no sweep ends while the test looks.
  for (int i = 0; i < 3; ++i) QTest::mouseClick(f->Button("Button2"), Qt::LeftButton);
  ASSERT_EQ(f->speed, 8.0);
  f->Button("Button2")->setFocus();  // outside the panel
  ASSERT_TRUE(WaitFor([&] { return f->sweepX > 240 && f->sweepX < 1000; }));
  const int drawnUpTo = ordiva::display::SampleToPixelX(f->sweepX, f->speed) - 2;
  const QImage before = f->BackBuffer().copy(0, 0, drawnUpTo, f->BackBuffer().height());
  ASSERT_GT(CountColour(before, QColor(255, 0, 0), 0, before.height()), 10) << "channel 1 was drawn";
  const auto steps = f->Worker()->Steps();
  auto* calendar = f->findChild<QCalendarWidget*>("MonthCalendar1");
  calendar->setSelectedDate(QDate(2000, 1, 1));

  f->Edit("MaskEdit1")->setFocus();
  EXPECT_EQ(calendar->selectedDate(), QDate(2026, 12, 7)) << "the panel's entry ran";
  ASSERT_TRUE(WaitFor([&] { return f->Worker()->Steps() > steps + 100; }));
  EXPECT_GT(f->sweepX, 240) << "the sweep went on";
  EXPECT_TRUE(f->BackBuffer().copy(0, 0, drawnUpTo, before.height()) == before) << "what was drawn is still there";
}

TEST_F(SessionGui, TheIdentityEditsUnlockByDoubleClickAndLockAgainOnApply) {
  StartSim();
  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::SetupDialog* setup = program.SetupDialog();
  QTest::mouseClick(program.WorkingWindow()->Button("Button11"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(setup));
  static const char* kIdentity[] = {"Edit1", "Edit2", "Edit13", "Edit3", "Edit4", "Edit6"};
  auto unlocked = [&] {
    int n = 0;
    for (const char* name : kIdentity) n += setup->Edit(name)->isEnabled();
    return n;
  };
  ASSERT_EQ(unlocked(), 0);
  const QString number = setup->Edit("Edit13")->text();
  QTest::keyClicks(setup->Edit("Edit13"), "9");
  EXPECT_EQ(setup->Edit("Edit13")->text(), number) << "a locked edit takes no typing";

  QTest::mouseDClick(setup->Edit("LabeledEdit1"), Qt::LeftButton);
  EXPECT_EQ(unlocked(), 6) << "double-click on \"Тип регистратора\"";
  setup->Edit("Edit13")->selectAll();
  QTest::keyClicks(setup->Edit("Edit13"), "300");
  QTest::mouseClick(setup->findChild<QPushButton*>("Button2"), Qt::LeftButton);
  EXPECT_EQ(unlocked(), 0) << "\"Применить\" locks them again";
  const std::string stored = StoredConfig();
  ASSERT_EQ(stored.size(), 64u);
  EXPECT_EQ(static_cast<unsigned char>(stored[8]), 300 % 256);
  EXPECT_EQ(stored[9], 0);

  // The dialog's background: a point no control covers.
  QTest::mouseClick(program.WorkingWindow()->Button("Button11"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(setup));
  QPoint background(-1, -1);
  for (int y = 2; y < setup->height() && background.x() < 0; y += 3)
    for (int x = 2; x < setup->width() && background.x() < 0; x += 3)
      if (!setup->childAt(x, y)) background = QPoint(x, y);
  ASSERT_GE(background.x(), 0);
  QTest::mouseDClick(setup, Qt::LeftButton, Qt::NoModifier, background);
  EXPECT_EQ(unlocked(), 6) << "double-click on the background";
}

// The command log's lines as (seconds, name).
std::vector<std::pair<double, std::string>> TimedCommands(const std::string& path) {
  std::vector<std::pair<double, std::string>> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    const std::string what = line.substr(space + 1);
    lines.emplace_back(std::stod(line.substr(0, space)), what.size() > 12 && what[2] == ' ' ? what.substr(12) : what);
  }
  return lines;
}

TEST_F(SessionGui, ButtonsFollowTheEnablingTableAndTheBatteryWarningBlinks) {
  StartSim({"--battery", "1290", "--drain", "0"});
  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::WorkingWindow* f = program.WorkingWindow();
  auto on = [&](const char* name) { return f->Button(name)->isEnabled(); };
  auto click = [&](const char* name) { QTest::mouseClick(f->Button(name), Qt::LeftButton); };
  EXPECT_FALSE(on("Button4"));
  EXPECT_TRUE(on("Button3"));
  EXPECT_FALSE(on("Button10"));
  EXPECT_TRUE(on("Button9"));
  ASSERT_TRUE(WaitFor([&] { return f->Worker()->Steps() > 200; }));

  // Short sweeps (8 pixels a sample), so that "Стоп" takes effect soon.
  for (int i = 0; i < 4; ++i) click("Button5");
  EXPECT_EQ(f->speed, 0.125);
  for (int i = 0; i < 4; ++i) click("Button2");
  EXPECT_EQ(f->speed, 2.0);
  for (int i = 0; i < 4; ++i) click("Button5");
  click("Button3");  // "Стоп"
  EXPECT_TRUE(on("Button4"));
  EXPECT_FALSE(on("Button3"));
  EXPECT_FALSE(on("Button9"));
  EXPECT_FALSE(on("Button10")) << "unchanged";
  EXPECT_FALSE(program.SetupDialog()->Edit("Edit12")->text().isEmpty()) << "statistics rows filled";
  ASSERT_TRUE(WaitFor([&] { return f->Worker()->Suspended(); })) << "suspended at the sweep end";
  EXPECT_FALSE(f->stopAtSweepEnd);

  click("Button4");  // "Пуск"
  EXPECT_FALSE(on("Button4"));
  EXPECT_TRUE(on("Button3"));
  EXPECT_TRUE(on("Button9"));
  EXPECT_FALSE(f->Worker()->Suspended());

  click("Button9");  // "ОстановФП": at once
  EXPECT_TRUE(f->Worker()->Suspended());
  EXPECT_TRUE(on("Button10"));
  EXPECT_FALSE(on("Button3"));
  const auto steps = f->Worker()->Steps();
  WaitFor([] { return false; }, 300);
  EXPECT_LE(f->Worker()->Steps(), steps + 1);
  click("Button10");  // "ПускФП"
  EXPECT_FALSE(on("Button10"));
  EXPECT_TRUE(on("Button9"));
  EXPECT_TRUE(on("Button3"));
  ASSERT_TRUE(WaitFor([&] { return f->Worker()->Steps() > steps + 100; }));

  // A supply of 1290 mV: the warning line blinks with the check's ticks.
  ASSERT_TRUE(WaitFor([&] { return f->WarningLine()->text() == "Напряжение питания на пределе"; }));
  const bool first = f->WarningLine()->isVisible();
  ASSERT_TRUE(WaitFor([&] { return f->WarningLine()->isVisible() != first; }, 3000));

  // Screen readers hear the value labels' values, their captions as descriptions.
  auto accessible = [](QWidget* w, QAccessible::Text what) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
    return a ? a->text(what).toStdString() : std::string("(none)");
  };
  EXPECT_EQ(accessible(f->WarningLine(), QAccessible::Name), "Напряжение питания на пределе");
  auto* quality = f->findChild<QLabel*>("LinkQuality");
  ASSERT_NE(quality, nullptr);
  ASSERT_TRUE(WaitFor([&] { return quality->text().contains("зап./с"); }));
  EXPECT_TRUE(quality->text().startsWith("Связь: ")) << quality->text().toStdString();
  EXPECT_EQ(accessible(quality, QAccessible::Name), quality->text().toStdString());
  EXPECT_EQ(accessible(quality, QAccessible::Description), "Связь");

  // Closing the window without a record: the warning, then the release.
  f->close();
  EXPECT_TRUE(boxes_.Any(u"Программа закрывается без сохранения введенных данных "));
  EXPECT_EQ(ended_, 1);
  const auto names = Commands();
  EXPECT_NE(std::find(names.begin(), names.end(), "ReleaseRecorder"), names.end());
}

TEST_F(SessionGui, AnOldRecorderGetsOneGainCodeAndAZeroStepEndsTheProgram) {
  StartSim({"--version", "8"});
  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::WorkingWindow* f = program.WorkingWindow();
  EXPECT_EQ(f->findChild<QSpinBox*>("SpinEdit2")->value(), 728);
  f->findChild<QSpinBox*>("SpinEdit3")->setValue(1000);  // 1000 div 169 = 5 for all
  QTest::mouseClick(f->Button("Button8"), Qt::LeftButton);
  std::ifstream in(log_);
  std::string line, gains;
  while (std::getline(in, line))
    if (line.find("SetGainCodes") != std::string::npos) gains = line.substr(line.find(' ') + 1);
  EXPECT_EQ(gains, "13 05 05 05 SetGainCodes");
  EXPECT_EQ(ended_, 0);

  // "Записать" with no statistics yet takes half swings of 0 as gain steps.
  QTest::mouseClick(f->Button("Button13"), Qt::LeftButton);
  auto* write = program.SetupDialog()->findChild<QPushButton*>("BitBtn1");
  ASSERT_TRUE(write->isEnabled());
  QTest::mouseClick(write, Qt::LeftButton);
  EXPECT_EQ(f->recorder.config().gainStep[0].Get(), 0);
  QTest::mouseClick(f->Button("Button8"), Qt::LeftButton);
  EXPECT_TRUE(boxes_.Any(u"Необходимо произвести калибровку!"));
  EXPECT_EQ(ended_, 1);
}

TEST_F(SessionGui, TheRecorderSeesEachSequenceWithItsWaits) {
  if (!kRealTime) GTEST_SKIP() << "command spacing is not measured under ThreadSanitizer";
  StartSim();
  const std::string folder = files_.Path() + "/card";
  std::filesystem::create_directories(folder);
  nxtest::WriteBytes(folder + "/VKFRCG.BIN", nxtest::Pattern(4096, 9));
  setenv("NX_DRIVES", ("E=" + folder).c_str(), 1);
  env_.sleep = ::Sleep;
  env_.io.sleep = ::Sleep;
  env_.animationStepMs = 0;
  env_.zeroFixMs = 1000;
  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::WorkingWindow* f = program.WorkingWindow();
  ASSERT_TRUE(WaitFor([&] { return TimedCommands(log_).size() >= 7; }));  // the zero fix is done
  QTest::mouseClick(f->Button("Button8"), Qt::LeftButton);
  QTest::mouseClick(f->Button("Button13"), Qt::LeftButton);
  QTest::mouseClick(program.SetupDialog()->findChild<QPushButton*>("Button2"), Qt::LeftButton);
  f->Edit("MaskEditFamilia")->setText("Сидоров");
  f->Edit("MaskEdit1")->setText("Олег");
  f->Edit("MaskEdit2")->setText("Ильич");
  f->Edit("MaskEdit7")->setText("7");
  QTest::mouseClick(f->Button("Button1"), Qt::LeftButton);
  ASSERT_EQ(ended_, 1);
  sim_->Stop();

  const auto log = TimedCommands(log_);
  std::vector<std::string> names;
  for (const auto& [at, name] : log) names.push_back(name);
  const std::vector<std::string> want = {
      "connect",
      // start-up, then the channel zero fix
      "StopStream", "ReadConfig", "StartStream", "StopStream", "SetZeroOffsets", "StartStream",
      // gains
      "StopStream", "SetGainCodes", "WriteConfig", "block 64", "StartStream",
      // mode
      "StopStream", "RereadConfig", "EnterSetupMode", "StartStream",
      // set-up
      "StopStream", "ReadConfig", "WriteConfig", "block 64", "StartStream",
      // finish
      "StopStream", "ReleaseRecorder", "disconnect"};
  ASSERT_EQ(names, want);
  auto gap = [&](size_t from) { return log[from + 1].first - log[from].first; };
  // Waits that no link read stretches: never shorter than the fixed sleeps (20 ms for
  // the arrival times), and not much longer even on a loaded machine.
  auto wait = [&](size_t from, double seconds, const char* what) {
    EXPECT_GE(gap(from), seconds - 0.02) << what;
    EXPECT_LE(gap(from), seconds + 0.25) << what;
  };
  wait(2, 1.0 + 0.1, "ReadConfig, sleep, StartStream");
  // The drain after 0C ends with a read that waits out the link's 100 ms time limit.
  EXPECT_GE(gap(4), 0.1 + 0.1 + 0.1 - 0.02) << "StopStream, drain, sleep, SetZeroOffsets";
  wait(5, 0.1 + 0.1, "SetZeroOffsets, sleep, StartStream");
  wait(8, 1.0 + 0.1, "SetGainCodes, sleep, WriteConfig");
  wait(9, 0.5, "WriteConfig, its block");
  wait(10, 0.5 + 0.1, "block, sleep, StartStream");
  wait(13, 0.1, "RereadConfig, EnterSetupMode");
  wait(14, 0.0, "EnterSetupMode, StartStream");
  wait(17, 1.0 + 1.0, "ReadConfig, sleep, WriteConfig");
  wait(19, 0.5 + 0.1, "block, hide, sleep, StartStream");
  EXPECT_GE(gap(21), 1.0) << "StopStream, a second, ReleaseRecorder";
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
