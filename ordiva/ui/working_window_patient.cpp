// The working window's patient panel and the card: the fields' fills and checks, and
// "Закончить", which writes the particulars to the card and releases the recorder.
#include "working_window.h"

#include <QCalendarWidget>
#include <QEvent>
#include <QLineEdit>

#include "acquisition_worker.h"
#include "working_window_parts.h"

namespace ordiva {

void WorkingWindow::OnAgeEntered() {
  const QDate today = env_.now().date();
  const auto age = AgeInYears(U(Edit("MaskEdit3")->displayText()), today.year(), today.month(), today.day());
  if (age) Edit("MaskEdit12")->setText(QString::number(*age));
}

void WorkingWindow::OnSurnameEntered() {
  // Refilled from the stored block only when empty: text typed since the last
  // "Закончить" is never thrown away.
  const std::u16string stored = patientBlock.Get(patient::kSurname);
  if (Edit("MaskEditFamilia")->text().isEmpty() && !stored.empty()) Edit("MaskEditFamilia")->setText(Q(stored));
}

void WorkingWindow::OnSexClicked() { Edit("MaskEdit5")->setText(Q(SexAfterClick(U(Edit("MaskEdit5")->text())))); }
void WorkingWindow::OnSexKeyReleased() { Edit("MaskEdit5")->setText(Q(SexAfterKeyUp(U(Edit("MaskEdit5")->text())))); }

void WorkingWindow::OnPanelEntered() {
  const std::pair<const char*, PatientField> fields[] = {{"MaskEdit10", patient::kChannel1},
                                                          {"MaskEdit9", patient::kChannel2},
                                                          {"MaskEdit8", patient::kChannel3},
                                                          {"MaskEdit5", patient::kSex}};
  for (const auto& [name, field] : fields) {
    const std::u16string stored = patientBlock.Get(field);
    if (Edit(name)->text().isEmpty() && !stored.empty()) Edit(name)->setText(Q(stored));
  }
  if (auto* calendar = findChild<QCalendarWidget*>("MonthCalendar1")) calendar->setSelectedDate(env_.now().date());
  // Of the display only the trace mapping is to be re-applied, and every step already maps
  // samples to pixels with the current speed factor (display::SampleToPixelX). The sweep
  // is not restarted: typing the particulars must not wipe the traces that the
  // electrodes are being checked on.
}

bool WorkingWindow::eventFilter(QObject* watched, QEvent* event) {
  const QString name = watched->objectName();
  if (event->type() == QEvent::FocusIn) {
    if (name == "MaskEdit12") OnAgeEntered();
    if (name == "MaskEditFamilia") OnSurnameEntered();
  } else if (name == "MaskEdit5" && event->type() == QEvent::MouseButtonPress) {
    OnSexClicked();
  } else if (name == "MaskEdit5" && event->type() == QEvent::KeyRelease) {
    OnSexKeyReleased();
  }
  return QWidget::eventFilter(watched, event);
}

PatientTexts WorkingWindow::Texts() const {
  PatientTexts t;
  auto text = [&](const char* name) { return U(Edit(name)->displayText()); };
  t.surname = text("MaskEditFamilia");
  t.firstName = text("MaskEdit1");
  t.patronymic = text("MaskEdit2");
  t.birth = text("MaskEdit3");
  t.sex = text("MaskEdit5");
  t.regNumber = text("MaskEdit7");
  t.height = text("MaskEditRost");
  t.weight = text("MaskEditVes");
  t.clinic = text("MaskEditKlinika");
  t.doctor = text("MaskEditVrach");
  t.channel1 = text("MaskEdit10");
  t.channel2 = text("MaskEdit9");
  t.channel3 = text("MaskEdit8");
  t.date = text("MaskEdit4");
  t.time = text("MaskEdit6");
  return t;
}

void WorkingWindow::OnFinishClicked() {  // "Закончить"
  const PatientTexts texts = Texts();
  if (!patientBlock.BuildNames(texts)) {
    if (Message(this, u"Введите Фамилию,имя,отчество\r\nи регистрационный номер!", u"  Внимание!!!",
                MB_RETRYCANCEL | MB_ICONWARNING) == IDCANCEL)
      EndProgram();
    return;
  }
  patientBlock.BuildRest(texts);

  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
  const char letter = FindCard();
  if (!letter) {
    SetErrorMode(previous);
    Message(this, u"В системе нет устройства чтения\r\nили не вставлена карта!", u"Внимание!",
            MB_OK | MB_ICONERROR | MB_TOPMOST);
    return;
  }
  const std::u16string card = std::u16string(1, static_cast<char16_t>(letter)) + u":\\VKFRCG.BIN";
  auto failed = [&](const char16_t* what, DWORD error) {
    SetErrorMode(previous);
    const std::u16string why = CardErrorText(error);
    Message(this,
            std::u16string(what) + u" " + card + u"\r\nКод ошибки " + U(QString::number(error)) +
                (why.empty() ? u"" : u" (" + why + u")") +
                u".\r\nРегистратор не освобождён, запись можно повторить.",
            u"Внимание!", MB_OK | MB_ICONERROR);
  };
  CardFile file;
  if (DWORD error = file.Open(letter)) {
    failed(u"Не удалось открыть", error);
    return;
  }
  if (Message(this, u"Карта заполнена правильно?", u"Внимание", MB_YESNO) != IDYES) {
    file.Close();
    SetErrorMode(previous);
    return;
  }
  const DWORD error = file.Write(recorder.config().yearSince2000, recorder.config().month, patientBlock);
  file.Close();
  if (error) {
    failed(u"Не удалось записать", error);
    return;
  }
  SetErrorMode(previous);
  // Without the recorder the session is not over: the card is written, the recorder is
  // neither stopped nor released until the link is taken up again and this pressed again.
  auto notReleased = [&] {
    Message(this,
            u"Карта " + card + u" записана, но связь с регистратором потеряна.\r\n"
            u"Регистратор не освобождён, запись можно повторить.",
            u"Внимание!", MB_OK | MB_ICONERROR);
  };
  if (linkLost_) {
    notReleased();
    return;
  }
  StopRecorderStream(recorder);
  env_.sleep(1000);
  recorder.ReleaseRecorder();
  if (recorder.LinkFailed()) {
    OnLinkLost(false);
    notReleased();
    return;
  }
  recordSaved = true;
  worker_->Suspend();
  worker_->Terminate();
  vkbtClose(recorder.link());
  recorder.SetLink(nullptr);
  EndProgram();
}

}  // namespace ordiva
