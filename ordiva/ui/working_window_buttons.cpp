// The working window's buttons and timers: the display's speed and size, the stream
// stopped and started, gains and mode sent to the recorder, the supply check, the splash's
// end and the link-quality line.
#include "working_window.h"

#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include "about_box.h"
#include "acquisition_worker.h"
#include "setup_dialog.h"
#include "working_window_parts.h"

namespace ordiva {

void WorkingWindow::OnStartClicked() {  // "Пуск"
  if (linkLost_) {
    if (!reconnecting_) TakeUpLinkAgain();
    return;
  }
  Button("Button3")->setEnabled(true);
  Button("Button9")->setEnabled(true);
  Button("Button4")->setEnabled(false);
  // The backlog of the stopped display is thrown away; a quiet link ends the reads at
  // once instead of waiting out 10000 time limits.
  BYTE b = 0;
  for (int i = 0; i < 10000; ++i) {
    DWORD n = 0;
    env_.io.read(recorder.link(), &b, 1, &n);
    if (n == 0) break;
  }
  // "Стоп" pressed before the sweep had ended is taken back, or the traces would stop at
  // the sweep's end after all, with "Пуск" off.
  stopAtSweepEnd = false;
  linkWatch_.Restart();
  worker_->Resume();
  acquisition.decoder.Reset();
  acquisition.ResetStatistics();
}

void WorkingWindow::OnStopClicked() {  // "Стоп"
  Button("Button4")->setEnabled(true);
  Button("Button3")->setEnabled(false);
  Button("Button9")->setEnabled(false);
  stopAtSweepEnd = true;
  if (setup_)
    for (int i = 0; i < 3; ++i)
      setup_->ShowStatistics(i, MakeStatisticsRow(acquisition.minima[static_cast<size_t>(i)],
                                                  acquisition.maxima[static_cast<size_t>(i)]));
}

void WorkingWindow::OnSlowerClicked() {  // "Медленнее"
  speed = display::Slower(speed);
  RestartSweep();
}
void WorkingWindow::OnFasterClicked() {  // "Быстрее"
  speed = display::Faster(speed);
  RestartSweep();
}
void WorkingWindow::OnLargerClicked() {  // "Больше"
  amplitude += 0.1;
  RestartSweep();
}
void WorkingWindow::OnSmallerClicked() {  // "Меньше"
  amplitude -= 0.1;
  RestartSweep();
}

void WorkingWindow::OnStreamStartClicked() {  // "ПускФП"
  Button("Button10")->setEnabled(false);
  Button("Button9")->setEnabled(true);
  Button("Button3")->setEnabled(true);
  worker_->Resume();
  acquisition.decoder.Reset();
}

void WorkingWindow::OnStreamStopClicked() {  // "ОстановФП"
  Button("Button9")->setEnabled(false);
  Button("Button3")->setEnabled(false);
  Button("Button10")->setEnabled(true);
  worker_->Suspend();
}

void WorkingWindow::OnSetupClicked() {
  if (setup_) {
    setup_->show();
    setup_->raise();
  }
}

void WorkingWindow::OnModeClicked() {
  StopRecorderStream(recorder);
  env_.sleep(100);
  recorder.RereadConfig();
  if (recorder.config().InSetupMode()) {
    Button("Button13")->setText("Норма");
    if (setup_) setup_->SetWriteEnabled(false);
    recorder.EnterNormalMode();
  } else {
    Button("Button13")->setText("Настройка");
    if (setup_) setup_->SetWriteEnabled(true);
    recorder.EnterSetupMode();
  }
  recorder.StartStream();
}

void WorkingWindow::OnApplyGainsClicked() {  // "Применить": the gains
  StopRecorderStream(recorder);
  env_.sleep(100);
  RestartSweep();
  const std::array<int, 3> spin = {findChild<QSpinBox*>("SpinEdit3")->value(),
                                   findChild<QSpinBox*>("SpinEdit2")->value(),
                                   findChild<QSpinBox*>("SpinEdit1")->value()};
  const std::array<int, 3> zerosXYZ = {acquisition.zeros[2], acquisition.zeros[1], acquisition.zeros[0]};
  const GainPlan plan = ApplyGains(recorder.config(), spin, setup_ ? setup_->Identity() : IdentityTexts{}, zerosXYZ,
                                   setup_ ? setup_->Choice() : RecordingChoice{}, captions);
  if (plan.needsCalibration) {
    Message(this,
            u"Необходимо произвести калибровку!\r\nс использованием эталонного сигнала\r\nПрограмма прекращает работу",
            u"  Внимание!!!", MB_OK | MB_ICONWARNING);
    EndProgram();
    return;
  }
  if (plan.leadsChanged) {
    leads = plan.leads;
    RebuildCaptions();
  }
  recorder.SetGainCodes(plan.codes[0], plan.codes[1], plan.codes[2]);
  env_.sleep(100);
  recorder.WriteConfig();
  env_.sleep(100);
  recorder.StartStream();
  env_.sleep(100);
}

void WorkingWindow::OnSupplyTimer() {
  if (acquisition.decoder.lastReadDelivered) {
    switch (ClassifyBattery(acquisition.voltageMean)) {
      case BatteryState::Good:
        warning_->hide();
        break;
      case BatteryState::Blinking:
        warning_->setText("Напряжение питания на пределе");
        warning_->setVisible(!warning_->isVisible());
        break;
      case BatteryState::Low:
        warning_->setText("Аккумуляторная батарея требует подзарядки или замены");
        warning_->show();
        break;
    }
  }
  acquisition.ResetVoltage();
  warning_->update();
}

void WorkingWindow::OnSplashTimer() {
  if (aboutBox_) aboutBox_->hide();
  splashTimer_->stop();
}

void WorkingWindow::UpdateLinkQuality() {
  if (linkLost_) {
    quality_->setText(reconnecting_ ? "Связь с регистратором потеряна. Подключение…" : "Связь с регистратором потеряна");
    return;
  }
  const StreamDecoder& d = acquisition.decoder;
  Second now{d.records - qualityLast_.records, d.resyncs - qualityLast_.resyncs, d.emptyReads - qualityLast_.empty};
  qualityLast_ = {d.records, d.resyncs, d.emptyReads};
  qualityRing_[static_cast<size_t>(qualityIndex_)] = now;
  qualityIndex_ = (qualityIndex_ + 1) % 10;
  Second sum{};
  for (const auto& s : qualityRing_) {
    sum.records += s.records;
    sum.resyncs += s.resyncs;
    sum.empty += s.empty;
  }
  quality_->setText(QString("Связь: %1 зап./с; за 10 с сбоев %2, пусто %3")
                        .arg(now.records)
                        .arg(sum.resyncs)
                        .arg(sum.empty));
}

}  // namespace ordiva
