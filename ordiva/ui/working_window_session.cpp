// The session's flow in the working window: the recorder selection and the start-up, the
// end of the program, and a lost link taken up again on a thread of its own.
#include "working_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTimer>

#include "about_box.h"
#include "acquisition_worker.h"
#include "picture_window.h"
#include "setup_dialog.h"
#include "working_window_parts.h"

namespace ordiva {
namespace {

// Said when the link to the recorder is lost, with what to do.
constexpr char16_t kLinkLostMessage[] =
    u"Связь с регистратором потеряна\r\n"
    u"Проверьте, что регистратор включён и находится рядом с компьютером, затем нажмите «Пуск»";

}  // namespace

void StopRecorderStream(Recorder& recorder) {
  if (!recorder.StopStream()) {
    MessageBoxW(nullptr, u"Останов FP не сработал", u"Информация", MB_OK | MB_ICONINFORMATION);
  }
}

BOOL SelectRecorder(HWND parent, HVKBTDEVICE* device) {
  VKBTSELECTPARAMS params{};
  params.dwSize = 44;
  params.dwFlags = 0;
  params.hwndParent = parent;
  params.pszNamePrefix = u"VR-03M";
  params.pszPasskey = u"8779";
  params.ulChannel = 1;
  return vkbtSelectDevice(&params, device) == 1 ? TRUE : FALSE;
}

char16_t DateSeparator(const QLocale& locale) { return DateSeparatorOfFormat(U(locale.dateFormat(QLocale::ShortFormat))); }

bool WorkingWindow::StartSession() {
  aboutBox_ = new AboutBox;
  aboutBox_->ShowSplash();
  splashTimer_->start();

  HVKBTDEVICE chosen = nullptr;
  if (!env_.selectDevice || !env_.selectDevice(Hwnd(this), &chosen)) return false;
  device = chosen;
  HVKBTLINK link = nullptr;
  if (!vkbtCreate(device, &link)) {
    fatalLink = true;
    return true;
  }
  recorder.SetLink(link);

  // The picture window over the working window while the link is made.
  const int side = static_cast<int>(0.75 * height());
  picture_->resize(side, side);
  picture_->move(x() + (width() - side) / 2, y() + (height() - side) / 2);
  picture_->show();
  const QSize screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->size() : QSize(1920, 1080);
  picture_->PlayConnectionAnimation(screen.width(), screen.height(), env_.sleep, env_.animationStepMs);

  if (!recorder.ReadGreeting()) greetingTimeout = true;
  StopRecorderStream(recorder);
  env_.sleep(100);
  if (recorder.ReadConfig() == 32) recorder.RereadConfig();
  env_.sleep(100);

  RecorderConfig& c = recorder.config();
  static const char* kSpins[] = {"SpinEdit3", "SpinEdit2", "SpinEdit1"};
  for (int i = 0; i < 3; ++i) {
    auto* spin = findChild<QSpinBox*>(kSpins[i]);
    if (c.version < kVersionTrustedStepsFrom) {
      spin->setSingleStep(kDefaultGainStep);
      spin->setValue(kDefaultGainValue);
      c.gainStep[i].Set(kDefaultGainStep);
    } else {
      spin->setSingleStep(c.gainStep[i].Get());
      spin->setValue(c.gainValue[i].Get());
    }
  }
  acquisition.LoadZeros(c);
  Button("Button13")->setText(c.InSetupMode() ? "Настройка" : "Норма");
  if (c.leads < 1 || c.leads > 3) fatalLink = true;
  recorder.StartStream();
  leads = fatalLink ? 3 : c.leads;
  acquisition.decoder.leads = leads;
  acquisition.ResetVoltage();
  Button("Button4")->setEnabled(false);
  Button("Button10")->setEnabled(false);
  supplyTimer_->start();
  qualityTimer_->start();
  return true;
}

void WorkingWindow::EndProgram() {
  if (worker_) {
    worker_->Suspend();
    worker_->Terminate();
  }
  supplyTimer_->stop();
  if (picture_) picture_->close();
}

void WorkingWindow::FatalStop() {
  worker_->Suspend();
  worker_->Terminate();
  Message(this,
          u"Возникли проблемы с носимым аппаратом\r\nВыньте аккумулятор и через 10 секунд вставьте его повторно. "
          u"\r\nВозможно Вы указали не тот номер аппарата Запустите программу снова.",
          u"Программа прекращает работу ", MB_OK | MB_ICONWARNING);
  EndProgram();
}

void WorkingWindow::OnLinkLost(bool tell) {
  linkLost_ = true;
  stopAtSweepEnd = false;
  worker_->Suspend();
  EnableRecorderButtons(false);
  Button("Button4")->setEnabled(true);
  UpdateLinkQuality();
  StopSignalCheck();  // nothing to judge until the link is taken up again
  // Said after the step has returned, so that no step waits on the box.
  if (tell) QTimer::singleShot(0, this, [this] {
    if (linkLost_ && !reconnecting_) Message(this, kLinkLostMessage, u"Внимание!", MB_OK | MB_ICONWARNING);
  });
}

void WorkingWindow::EnableRecorderButtons(bool enabled) {
  for (const char* name : {"Button3", "Button9", "Button10", "Button8", "Button13", "Button11"})
    Button(name)->setEnabled(enabled);
}

void WorkingWindow::TakeUpLinkAgain() {
  reconnecting_ = true;
  Button("Button4")->setEnabled(false);
  Button("Button12")->setEnabled(false);  // "Закончить" needs the recorder to stay put
  UpdateLinkQuality();
  if (setup_) setup_->setEnabled(false);  // the recorder belongs to the reconnection now
  // The dead link goes first: a new one to the same record would otherwise be the old
  // one shared.
  if (recorder.link()) vkbtClose(recorder.link());
  recorder.SetLink(nullptr);
  if (reconnect_.joinable()) reconnect_.join();
  reconnect_ = std::thread([this, device = device] {
    const DWORD error = TakeUpLink(device, recorder);
    QMetaObject::invokeMethod(this, [this, error] { LinkTakenUp(error); }, Qt::QueuedConnection);
  });
}

void WorkingWindow::LinkTakenUp(DWORD error) {
  if (!reconnecting_) return;  // the window closed meanwhile and has waited for it
  reconnect_.join();
  reconnecting_ = false;
  Button("Button12")->setEnabled(true);
  if (setup_) setup_->setEnabled(true);
  if (error != ERROR_SUCCESS) {
    Button("Button4")->setEnabled(true);
    UpdateLinkQuality();
    Message(this, kLinkLostMessage, u"Внимание!", MB_OK | MB_ICONWARNING);
    return;
  }
  linkLost_ = false;
  EnableRecorderButtons(true);
  Button("Button10")->setEnabled(false);
  Button("Button4")->setEnabled(false);
  recorder.StartStream();
  acquisition.ResetVoltage();
  linkWatch_.Restart();
  UpdateLinkQuality();
  worker_->Resume();
}

void WorkingWindow::closeEvent(QCloseEvent* event) {
  if (reconnecting_) {
    // The recorder is the reconnection's until it ends; the window closes after it.
    reconnect_.join();
    reconnecting_ = false;
  }
  if (!recordSaved && recorder.link()) {
    worker_->Suspend();
    Message(this, u"Программа закрывается без сохранения введенных данных ", u"  Внимание!!!",
            MB_OK | MB_ICONWARNING);
    recorder.ReleaseRecorder();
  }
  event->accept();
  EndProgram();
}

}  // namespace ordiva
