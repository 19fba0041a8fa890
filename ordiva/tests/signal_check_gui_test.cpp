// The signal check in the working window, offscreen against the virtual recorder: an
// electrode taken off lead 2 at a known time is flagged on lead 2 alone, with what to do
// in its tooltip and the channel in its accessible name, and the lead is called normal
// again once the electrode is put back; the heart rate is read from the beats meanwhile.
#include "session_gui.h"

namespace sessiongui {
namespace {

using Clock = std::chrono::steady_clock;

struct Setting {
  int leads, rate;
};

class SignalCheckGui : public SessionGui, public ::testing::WithParamInterface<Setting> {
 protected:
  QLabel* Verdict(ordiva::WorkingWindow* f, int channel) const {
    return f->findChild<QLabel*>(QString("SignalVerdict%1").arg(channel));
  }
};

TEST_P(SignalCheckGui, AnElectrodeOffIsFlaggedOnItsLeadAloneUntilItIsPutBack) {
  const auto [leads, rate] = GetParam();
  const std::string scenario = files_.Path() + "/electrode.txt";
  std::ofstream(scenario) << "# the electrode of lead 2 is put back\n14 lead-on 2\n";
  const auto started = Clock::now();
  StartSim({"--leads", std::to_string(leads), "--rate", std::to_string(rate), "--heart-rate", "80", "--lead-off",
            "2@6", "--scenario", scenario});
  program_ = std::make_unique<Program>(env_);
  ASSERT_TRUE(program_->Start());
  ordiva::WorkingWindow* f = program_->WorkingWindow();
  ASSERT_EQ(f->leads, leads);
  // The start-up's commands run on the window's thread by design; what is watched here is
  // the window while the check runs.
  WaitForQuietStartup(f);
  if (HasFatalFailure()) return;
  PauseMeter meter;
  auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
  auto text = [&](int channel) { return Verdict(f, channel)->text(); };
  // Any verdict but "норма" on the leads that keep their electrodes, once judged.
  QStringList others;
  auto watchOthers = [&] {
    for (int c = 1; c <= leads; ++c)
      if (c != 2 && text(c) != "норма" && text(c) != "проверка…") others << QString("%1: %2").arg(c).arg(text(c));
  };

  ASSERT_TRUE(WaitFor([&] {
    watchOthers();
    return text(2) == "нет контакта";
  }, 40000)) << "lead 2 shows " << text(2).toStdString();
  EXPECT_GE(seconds(), 6) << "not before the electrode came off";
  for (int c = 1; c <= leads; ++c) {
    if (c != 2) {
      EXPECT_EQ(text(c), "норма") << c;
    }
  }
  for (QLabel* w : {Verdict(f, 2), f->findChild<QLabel*>("SignalLamp2")}) {
    EXPECT_EQ(w->accessibleName(), "Канал №2: нет контакта");
    EXPECT_TRUE(w->toolTip().startsWith("Проверьте электрод и его провод")) << w->toolTip().toStdString();
  }
  EXPECT_EQ(Verdict(f, 1)->accessibleName(), "Канал №1: норма");
  if (leads == 2) {
    EXPECT_EQ(text(3), "—") << "a channel not recorded";
  }
  const QString rateText = f->findChild<QLabel*>("HeartRate")->text();
  const QRegularExpressionMatch m = QRegularExpression("^ЧСС (\\d+) уд/мин$").match(rateText);
  ASSERT_TRUE(m.hasMatch()) << rateText.toStdString();
  EXPECT_NEAR(m.captured(1).toInt(), 80, 5);
  EXPECT_EQ(f->findChild<QLabel*>("HeartRate")->accessibleName(), rateText);

  ASSERT_TRUE(WaitFor([&] {
    watchOthers();
    return text(2) == "норма";
  }, 40000)) << "lead 2 shows " << text(2).toStdString();
  EXPECT_GE(seconds(), 14) << "not before the electrode was put back";
  EXPECT_EQ(Verdict(f, 2)->accessibleName(), "Канал №2: норма");
  EXPECT_TRUE(others.isEmpty()) << others.join(", ").toStdString();
  EXPECT_LT(meter.LongestMs(), 1500 * kSlowdown) << "the window stopped answering";
}

// Three leads as the nurse has them, and two leads at another rate, where the
// record's ECG pairs put channel 2 first.
INSTANTIATE_TEST_SUITE_P(Leads, SignalCheckGui, ::testing::Values(Setting{3, 500}, Setting{2, 250}),
                         [](const auto& info) {
                           return std::to_string(info.param.leads) + "leads" + std::to_string(info.param.rate) + "Hz";
                         });

// A lost link takes the verdicts away: the panel does not keep saying "норма" for a
// recorder that is gone.
TEST_F(SessionGui, ALostLinkClearsTheVerdicts) {
  StartSim();
  program_ = std::make_unique<Program>(env_);
  ASSERT_TRUE(program_->Start());
  ordiva::WorkingWindow* f = program_->WorkingWindow();
  auto verdict = [&](int c) { return f->findChild<QLabel*>(QString("SignalVerdict%1").arg(c))->text(); };
  ASSERT_TRUE(WaitFor([&] { return verdict(1) == "норма" && verdict(3) == "норма"; }, 40000)) << verdict(1).toStdString();
  ::kill(sim_->Pid(), SIGKILL);
  sim_->Wait();
  ASSERT_TRUE(WaitFor([&] { return f->LinkLost(); }, 10000));
  WaitFor([] { return false; }, 1500);  // reports on their way meanwhile are dropped
  for (int c = 1; c <= 3; ++c) EXPECT_EQ(verdict(c), "проверка…") << c;
  EXPECT_EQ(f->findChild<QLabel*>("HeartRate")->text(), "ЧСС — уд/мин");
}

}  // namespace
}  // namespace sessiongui
