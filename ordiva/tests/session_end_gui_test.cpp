// The ways a session ends early or stays open, with the program's windows offscreen
// against the virtual recorder (vr03sim): cancel in the selection dialog, no greeting, no
// link, a read-only card, no card, "Нет" to the question, Cancel to the particulars'
// message; and a recorder that goes away (killed, stalled) noticed, said and taken up again.
#include "session_gui.h"

namespace sessiongui {
namespace {

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
  // The recorder goes on before anything below can fail: a stopped vr03sim would not end
  // at the fixture's SIGTERM and would hold the test until its time limit.
  struct GoOn {
    pid_t pid;
    ~GoOn() { ::kill(pid, SIGCONT); }
  } goOn{sim_->Pid()};
  // "Стоп" on the silent link: the sweep runs on to its end and the silence must be
  // noticed meanwhile. Where the program runs several times slower, its backlog of
  // records can fill the rest of the sweep before two seconds of silence have passed,
  // and the stopped sweep (rightly) watches nothing; there the link is left running.
  if (kRealTime) QTest::mouseClick(f->Button("Button3"), Qt::LeftButton);
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
  ASSERT_EQ(boxes_.shown.size(), 1u) << boxes_.Texts();
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
  ASSERT_EQ(boxes_.shown.size(), 1u) << boxes_.Texts();
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
  ASSERT_EQ(boxes_.shown.size(), 1u) << boxes_.Texts();
  EXPECT_EQ(boxes_.shown[0].text, u"Введите Фамилию,имя,отчество\r\nи регистрационный номер!");
  EXPECT_EQ(boxes_.shown[0].caption, u"  Внимание!!!");
  EXPECT_EQ(boxes_.shown[0].style, static_cast<UINT>(MB_RETRYCANCEL | MB_ICONWARNING));
  EXPECT_EQ(ended_, 1) << "Cancel ends the program";
  EXPECT_TRUE(WaitFor([&] { return f->Worker()->isFinished(); }));
  EXPECT_FALSE(f->recordSaved);
  EXPECT_TRUE(nxtest::ReadBytes(card) == image) << "nothing written";
  EXPECT_EQ(Commands().size(), commandsBefore) << "the recorder is not released";
}


}  // namespace
}  // namespace sessiongui
