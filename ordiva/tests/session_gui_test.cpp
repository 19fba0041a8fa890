// The program's windows driven offscreen through a whole session against the virtual
// recorder (vr03sim) with shortened waits: the recorder chosen in the real selection
// dialog, start-up, live traces, gains, mode, zero request, set-up, the card record read
// back with mtools; the desktop's date separator; the traces kept when the focus enters
// the patient panel; the identity edits' service unlock; the buttons' enabling, the
// battery warning and the recorder's view of each command sequence.
#include "session_gui.h"

namespace sessiongui {
namespace {

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

// A window made small (a laptop's screen): the patient panel keeps its controls at their
// own heights and scrolls up and down, instead of squeezing the fields until their text is
// cut and the boxes below overlap.
TEST_F(SessionGui, ASmallWindowScrollsThePatientPanelInsteadOfSqueezingIt) {
  StartSim();
  Program program(env_);
  ASSERT_TRUE(program.Start());
  ordiva::WorkingWindow* f = program.WorkingWindow();
  f->resize(1024, 600);
  ASSERT_TRUE(WaitFor([&] { return f->height() == 600; }));
  QWidget* panel = f->findChild<QWidget*>("Panel2");
  std::vector<QWidget*> controls;
  for (QWidget* w : panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (w->isVisible()) controls.push_back(w);
  ASSERT_GT(controls.size(), 20u);
  for (QWidget* w : controls) {
    if (qobject_cast<QLineEdit*>(w) || qobject_cast<QPushButton*>(w)) {
      EXPECT_GE(w->height(), w->minimumSizeHint().height()) << w->objectName().toStdString() << " squeezed";
    }
    EXPECT_LE(w->geometry().right(), panel->width()) << w->objectName().toStdString() << " cut at the right";
    for (QWidget* other : controls) {
      if (other != w) {
        EXPECT_FALSE(w->geometry().intersects(other->geometry()))
            << w->objectName().toStdString() << " overlaps " << other->objectName().toStdString();
      }
    }
  }
  QWidget* lastButton = f->Button("Button12");
  EXPECT_LE(lastButton->geometry().bottom(), panel->height()) << "the last control is within the panel";
  EXPECT_GT(panel->height(), panel->parentWidget()->height()) << "the panel is taller than what shows of it";
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
}  // namespace sessiongui
