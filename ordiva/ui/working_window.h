// The working window: the session with one recorder from start-up to the card record, the
// live traces drawn into a back buffer, and the program's windows around it.
#pragma once

#include <QColor>
#include <QDateTime>
#include <QImage>
#include <QLocale>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <thread>

#include "card.h"
#include "decoder.h"
#include "display.h"
#include "lead_check.h"
#include "linkwatch.h"
#include "recorder.h"
#include "session.h"

class QBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QTimer;

namespace ordiva {

class WorkingWindow;
class SetupDialog;
class PictureWindow;
class AboutBox;
class AcquisitionWorker;
class TracePaintBox;
class AccelBox;

// Stops the recorder's stream; when it would not stop, says so ("Останов FP не сработал").
// The forms stop the stream only through this.
void StopRecorderStream(Recorder& recorder);

// The recorder selection of the start-up: the link library's dialog over the working
// window (parent), listing the known devices whose name begins with "VR-03M", paired with
// passkey "8779" and reached on RFCOMM channel 1; the dialog's place is not kept. TRUE
// with one reference on the chosen record for the caller, FALSE when none was chosen.
BOOL SelectRecorder(HWND parent, HVKBTDEVICE* device);

// The date separator of a locale's short date format ('.' for Russian, '/' for C).
char16_t DateSeparator(const QLocale& locale);

// What the program takes from outside, so tests can run a session in seconds.
struct Environment {
  // Runs the recorder selection (SelectRecorder in the program); FALSE when no recorder
  // was chosen.
  std::function<BOOL(HWND parent, HVKBTDEVICE* device)> selectDevice;
  // Link calls and the recorder's fixed waits.
  RecorderIo io;
  // Fixed waits of the forms (animation, the sleeps between commands).
  std::function<void(DWORD)> sleep = ::Sleep;
  // Pause between two arcs of the connection animation (10 s in all at 100 ms).
  DWORD animationStepMs = 100;
  // Intervals of the timers in milliseconds (10 s supply check, 2 s splash, 1 s zero fix).
  int supplyCheckMs = 10000, splashMs = 2000, zeroFixMs = 1000;
  // The current date and time.
  std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
  // When the link counts as lost and how long one acquisition step may read, with the
  // monotonic clock they are measured on.
  LinkWatch::Limits linkLimits;
  std::function<ULONGLONG()> clockMs = [] { return GetTickCount64(); };
  // The desktop's locale (LC_ALL, LC_TIME, LANG): the date fields use its separator.
  QLocale locale = QLocale::system();
  // Ends the program (closing the picture window calls it).
  std::function<void()> endProgram;
};

// The program's windows in the order they are made: picture window (the main window),
// working window (its StartSession runs the start-up), set-up dialog, about box.
class Program {
 public:
  explicit Program(Environment env);
  ~Program();
  // Creates the windows and runs the start-up. False when the program is to end at once
  // (no recorder chosen).
  bool Start();
  // Inside Program these names are the accessors: the classes are ordiva::WorkingWindow...
  ordiva::WorkingWindow* WorkingWindow() const { return window_; }
  ordiva::SetupDialog* SetupDialog() const { return setup_; }
  ordiva::PictureWindow* PictureWindow() const { return picture_; }

 private:
  Environment env_;
  ordiva::PictureWindow* picture_ = nullptr;
  ordiva::WorkingWindow* window_ = nullptr;
  ordiva::SetupDialog* setup_ = nullptr;
};

class WorkingWindow : public QWidget {
 public:
  WorkingWindow(Environment& env, PictureWindow* picture);
  ~WorkingWindow() override;

  // The start-up: splash, recorder selection, link, greeting and configuration, the
  // stream started. False when no recorder was chosen.
  bool StartSession();
  void SetSetupDialog(SetupDialog* dialog) { setup_ = dialog; }

  // Session state (user-interface thread only).
  Recorder recorder;
  Acquisition acquisition;
  CaptionState captions;
  PatientBlock patientBlock;
  bool fatalLink = false;
  bool greetingTimeout = false;
  bool recordSaved = false;
  bool stopAtSweepEnd = false;
  bool zeroFixArmed = false;
  int leads = 3;
  double speed = 1, amplitude = 1;
  int sweepX = display::kRestartSweep, prevX = 0;
  std::array<int, 3> prevY{}, prevD{};
  BodyPosition position = BodyPosition::OnBack;
  HVKBTDEVICE device = nullptr;

  AcquisitionWorker* Worker() const { return worker_.get(); }
  const QImage& BackBuffer() const { return back_; }
  // Trace colour of channel 1-3, as read from the coloured circles when the window was
  // last activated.
  QColor ChannelColour(int channel) const;

  // One acquisition step.
  void AcquisitionStep();
  // Lays the window out for its size and resumes the acquisition.
  void Relayout();
  void RestartSweep() { sweepX = display::kRestartSweep; }
  void RebuildCaptions();
  void UpdateLinkQuality();

  // The signal check (working_window_signal.cpp): the acquisition step feeds it; a lost
  // link or a new session stops what it shows until new samples are judged.
  void FeedSignalCheck();
  void StopSignalCheck();
  void ShowSignalCheck(unsigned session, const sigcheck::Report& report);

  // The link to the recorder: lost (acquisition stopped, "Пуск" takes it up again), and
  // being taken up again on a thread of its own.
  bool LinkLost() const { return linkLost_; }
  bool Reconnecting() const { return reconnecting_; }

  // Buttons (working_window_buttons.cpp; "Закончить" in working_window_patient.cpp).
  void OnStartClicked();  // "Пуск": the display runs again, or a lost link is taken up
  void OnStopClicked();  // "Стоп": the display stops at the sweep's end
  void OnSlowerClicked();  // "Медленнее"
  void OnFasterClicked();  // "Быстрее"
  void OnLargerClicked();  // "Больше": taller traces
  void OnSmallerClicked();  // "Меньше"
  void OnStreamStartClicked();  // "ПускФП": acquisition resumed
  void OnStreamStopClicked();  // "ОстановФП": acquisition suspended
  void OnApplyGainsClicked();  // "Применить": the gains to the recorder
  void OnSetupClicked();  // "Установка параметров": the set-up dialog
  void OnModeClicked();  // "Норма" / "Настройка": the recorder's mode switched
  void OnFinishClicked();  // "Закончить": the card written, the recorder released
  // Timers: the supply voltage every 10 s, the splash's end after 2 s.
  void OnSupplyTimer();
  void OnSplashTimer();
  // The patient panel's fields.
  void OnAgeEntered();  // the age from the birth date
  void OnSurnameEntered();  // the stored surname into an empty field
  void OnSexClicked();
  void OnSexKeyReleased();
  void OnPanelEntered();  // the right-hand panel gets the focus

  QWidget* Control(const char* name) const;
  QLineEdit* Edit(const char* name) const;
  QPushButton* Button(const char* name) const;
  QLabel* WarningLine() const { return warning_; }

 protected:
  void resizeEvent(class QResizeEvent* event) override;
  void closeEvent(class QCloseEvent* event) override;
  bool eventFilter(QObject* watched, class QEvent* event) override;
  void showEvent(class QShowEvent* event) override;
  void changeEvent(class QEvent* event) override;

 private:
  void BuildControls();
  void BuildSignalRow(QBoxLayout* column, int channel);
  void BuildHeartRate(QBoxLayout* column);
  void StartSignalCheck();
  void ShowVerdict(int channel, const QString& text, const QColor& colour, const QString& advice);
  void ShowHeartRate(int bpm);
  void ShowSignalWaiting();
  void ReadTraceColours();
  void FatalStop();
  // The link is gone: acquisition stops where it is, the panel and (when tell) a message
  // say so.
  void OnLinkLost(bool tell = true);
  // "Пуск" after a loss: a new link on a thread of its own, then the stream again.
  void TakeUpLinkAgain();
  void LinkTakenUp(DWORD error);
  // The session's buttons that talk to the recorder, on or off together.
  void EnableRecorderButtons(bool enabled);
  void NewSweep();
  void DrawGrid(int band);
  void DrawStep(const std::array<int, 3>& y, const std::array<int, 3>& d);
  void ServeZeroFix();
  PatientTexts Texts() const;
  void EndProgram();
  int TraceHeight() const;

  Environment& env_;
  PictureWindow* picture_;
  SetupDialog* setup_ = nullptr;
  AboutBox* aboutBox_ = nullptr;
  std::unique_ptr<AcquisitionWorker> worker_;
  QWidget* topPanel_ = nullptr;
  QScrollArea* rightScroll_ = nullptr;  // holds rightPanel_
  QWidget* rightPanel_ = nullptr;
  TracePaintBox* paintBox_ = nullptr;
  AccelBox* accelBox_ = nullptr;
  QLabel* warning_ = nullptr;
  QLabel* quality_ = nullptr;
  QTimer* supplyTimer_ = nullptr;
  QTimer* splashTimer_ = nullptr;
  QTimer* qualityTimer_ = nullptr;
  QTimer* refresh_ = nullptr;
  QRect dirty_;  // part of the back buffer drawn since the last repaint
  QImage back_;
  std::array<QColor, 3> colours_;
  display::Layout layout_{};
  bool panelHasFocus_ = false;
  QMetaObject::Connection focusWatch_;
  // Link-quality window: per-second counts of the last 10 s.
  struct Second {
    unsigned long long records = 0, resyncs = 0, empty = 0;
  };
  std::array<Second, 10> qualityRing_{};
  LinkWatch linkWatch_;
  bool linkLost_ = false;
  bool reconnecting_ = false;  // reconnect_ runs: only it uses the recorder meanwhile
  std::thread reconnect_;
  int qualityIndex_ = 0;
  Second qualityLast_{};
  // The signal check: its thread, the session its reports must carry, what it was
  // started with, and the readouts.
  std::unique_ptr<LeadCheck> leadCheck_;
  unsigned checkSession_ = 0;
  bool checkRestart_ = true;
  int checkRate_ = 0, checkLeads_ = 0;
  std::array<double, 3> checkGains_{};
  ULONGLONG checkFedMs_ = 0;
  std::array<QLabel*, 3> lamps_{}, verdicts_{};
  QLabel* heartRate_ = nullptr;
};

}  // namespace ordiva
