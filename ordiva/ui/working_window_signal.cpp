// The working window's signal check: beside each channel's circles a lamp and a word for
// what is wrong with the lead (its tooltip says what to do), and the heart rate. The
// acquisition step hands the decoded samples to the check's own thread; its reports come
// back as queued calls.
#include "working_window.h"

#include <QBoxLayout>
#include <QLabel>

#include "lead_check.h"
#include "working_window_parts.h"

namespace ordiva {
namespace {

// A pause of the acquisition longer than this breaks the signal: the check starts over.
constexpr ULONGLONG kCheckGapMs = 2000;

struct VerdictLook {
  const char* text;
  QColor colour;
  const char* advice;
};

const QColor kGreen(0, 160, 0), kAmber(235, 150, 0), kRed(210, 0, 0), kGrey(160, 160, 160);

VerdictLook Look(sigcheck::Verdict verdict) {
  switch (verdict) {
    case sigcheck::Verdict::Good:
      return {"норма", kGreen, "Электрод на месте, сигнал чистый: ничего делать не нужно"};
    case sigcheck::Verdict::NoContact:
      return {"нет контакта", kRed,
              "Проверьте электрод и его провод; при необходимости замените электрод и обработайте кожу"};
    case sigcheck::Verdict::Clipped:
      return {"зашкаливание", kRed,
              "Сигнал выходит за край шкалы: уменьшите коэффициент усиления канала и нажмите «Применить»; "
              "если не помогло, прижмите или замените электрод"};
    case sigcheck::Verdict::Mains:
      return {"сетевая наводка", kAmber,
              "Наводка от электросети: отодвиньте провода отведений от сетевых шнуров и приборов, "
              "проверьте контакт электродов с кожей"};
    case sigcheck::Verdict::Muscle:
      return {"мышечный шум", kAmber,
              "Помеха от напряжённых мышц: попросите пациента расслабиться и лечь удобно; при необходимости "
              "переставьте электрод на место без крупных мышц"};
    case sigcheck::Verdict::Wander:
      return {"дрейф изолинии", kAmber,
              "Изолиния плавает: проверьте, что электрод плотно прилегает к обезжиренной коже, закрепите "
              "провод петлёй пластырем, чтобы он не тянул электрод; попросите пациента дышать спокойно"};
  }
  return {"", kGrey, ""};
}

}  // namespace

void WorkingWindow::BuildSignalRow(QBoxLayout* column, int channel) {
  auto* row = new QHBoxLayout;
  row->setSpacing(6);
  auto* lamp = new QLabel(rightPanel_);
  lamp->setObjectName(QString("SignalLamp%1").arg(channel));
  lamp->setFixedSize(12, 12);
  auto* text = new QLabel(rightPanel_);
  text->setObjectName(QString("SignalVerdict%1").arg(channel));
  row->addSpacing(1);
  row->addWidget(lamp);
  row->addWidget(text, 1);
  column->addLayout(row);
  lamps_[static_cast<size_t>(channel - 1)] = lamp;
  verdicts_[static_cast<size_t>(channel - 1)] = text;
  ShowVerdict(channel, "проверка…", kGrey, "Сигнал канала проверяется: оценка появится через несколько секунд");
}

void WorkingWindow::BuildHeartRate(QBoxLayout* column) {
  heartRate_ = new QLabel(rightPanel_);
  heartRate_->setObjectName("HeartRate");
  heartRate_->setAccessibleDescription("Частота сердечных сокращений");
  column->addWidget(heartRate_);
  column->addSpacing(4);
  ShowHeartRate(-1);
}

void WorkingWindow::ShowVerdict(int channel, const QString& text, const QColor& colour, const QString& advice) {
  QLabel* lamp = lamps_[static_cast<size_t>(channel - 1)];
  QLabel* label = verdicts_[static_cast<size_t>(channel - 1)];
  if (label->text() == text) return;
  const QString name = QString("Канал №%1: %2").arg(channel).arg(text);
  lamp->setStyleSheet(QString("border-radius: 6px; background: %1;").arg(colour.name()));
  label->setText(text);
  // A fault is also written in its colour, so that it is not told by the lamp alone.
  QPalette pal = label->palette();
  pal.setColor(QPalette::WindowText, colour == kGreen || colour == kGrey ? palette().color(QPalette::WindowText)
                                                                           : colour.darker(115));
  label->setPalette(pal);
  for (QLabel* w : {lamp, label}) {
    w->setAccessibleName(name);
    w->setToolTip(advice);
  }
}

void WorkingWindow::ShowHeartRate(int bpm) {
  const QString text = bpm > 0 ? QString("ЧСС %1 уд/мин").arg(bpm) : QString("ЧСС — уд/мин");
  if (heartRate_->text() == text) return;
  heartRate_->setText(text);
  heartRate_->setAccessibleName(text);
}

void WorkingWindow::ShowSignalWaiting() {
  for (int c = 1; c <= 3; ++c) {
    if (c <= leads) {
      ShowVerdict(c, "проверка…", kGrey, "Сигнал канала проверяется: оценка появится через несколько секунд");
    } else {
      ShowVerdict(c, "—", kGrey, "Канал не записывается");
    }
  }
  ShowHeartRate(-1);
}

void WorkingWindow::ShowSignalCheck(unsigned session, const sigcheck::Report& report) {
  if (session != checkSession_ || linkLost_) return;  // a report of a signal gone since
  for (int c = 1; c <= 3; ++c) {
    if (c > report.leads) {
      ShowVerdict(c, "—", kGrey, "Канал не записывается");
      continue;
    }
    const VerdictLook look = Look(report.verdicts[static_cast<size_t>(c - 1)]);
    ShowVerdict(c, look.text, look.colour, look.advice);
  }
  ShowHeartRate(report.heartRate);
}

void WorkingWindow::StartSignalCheck() {
  leadCheck_ = std::make_unique<LeadCheck>([this](unsigned session, const sigcheck::Report& report) {
    QMetaObject::invokeMethod(this, [this, session, report] { ShowSignalCheck(session, report); },
                              Qt::QueuedConnection);
  });
}

void WorkingWindow::FeedSignalCheck() {
  const RecorderConfig& c = recorder.config();
  std::array<double, 3> gains{};
  for (int k = 0; k < 3; ++k) gains[static_cast<size_t>(k)] = CountsPerMv(c, k);
  const ULONGLONG now = env_.clockMs();
  const bool gap = checkFedMs_ != 0 && now - checkFedMs_ > kCheckGapMs;
  if (checkRestart_ || gap || c.RateHz() != checkRate_ || leads != checkLeads_) {
    checkSession_ = leadCheck_->Start(c.RateHz(), leads, gains);
    checkRate_ = c.RateHz();
    checkLeads_ = leads;
    checkGains_ = gains;
    checkRestart_ = false;
    ShowSignalWaiting();
  } else if (gains != checkGains_) {
    leadCheck_->SetGains(gains);
    checkGains_ = gains;
  }
  checkFedMs_ = now;
  // The record's ECG pairs come from the highest channel down.
  std::array<uint16_t, 3> samples{};
  for (int ch = 1; ch <= leads; ++ch) samples[static_cast<size_t>(ch - 1)] = acquisition.e[static_cast<size_t>(leads - ch)];
  leadCheck_->Push(samples);
}

void WorkingWindow::StopSignalCheck() {
  checkRestart_ = true;
  ShowSignalWaiting();
}

}  // namespace ordiva
