// The set-up dialog: controls, filling after the start-up, "Применить", "Записать", zero
// requests and the identity edits' service unlock.
#include "setup_dialog.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "acquisition_worker.h"
#include "working_window.h"

namespace ordiva {
namespace {

QString Q(std::u16string_view s) { return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())); }
std::u16string U(const QString& s) { return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), s.size()); }

// Identity edits: control, caption.
constexpr std::pair<const char*, const char*> kIdentity[] = {
    {"Edit1", "Год выпуска"},       {"Edit2", "Месяц выпуска"}, {"Edit13", "Номер аппарата"},
    {"Edit3", "Номер модификации"}, {"Edit4", "Номер версии"},  {"Edit6", "Разрядность"}};
// Statistics rows: minimum, maximum, half swing.
constexpr const char* kRows[3][3] = {{"Edit5", "Edit9", "Edit12"}, {"Edit7", "Edit10", "Edit14"},
                                     {"Edit8", "Edit11", "Edit15"}};

}  // namespace

SetupDialog::SetupDialog(WorkingWindow* window, Environment& env)
    : QWidget(nullptr, Qt::Dialog), window_(window), env_(env) {
  setObjectName("Form2");
  const QFontMetrics fm(font());
  const int a = static_cast<int>(std::lround(2.5 * fm.boundingRect("0123456789").height()));
  auto named = [](QWidget* w, const char* name, const QString& accessible) {
    w->setObjectName(name);
    w->setAccessibleName(accessible);
    return w;
  };
  auto* grid = new QGridLayout(this);
  grid->setVerticalSpacing(a / 5);
  grid->setHorizontalSpacing(fm.horizontalAdvance("XXX"));

  // Column 1: identity.
  auto* identity = new QGridLayout;
  int row = 0;
  for (const auto& [name, caption] : kIdentity) {
    auto* e = new QLineEdit(this);
    named(e, name, caption);
    e->setEnabled(false);
    e->setFixedWidth(fm.horizontalAdvance("000000"));
    identity->addWidget(e, row, 0);
    identity->addWidget(new QLabel(caption, this), row++, 1);
  }
  auto* type = new QLineEdit(this);
  named(type, "LabeledEdit1", "Тип регистратора");
  type->setReadOnly(true);
  type->installEventFilter(this);
  identity->addWidget(new QLabel("Тип регистратора", this), row++, 0, 1, 2);
  identity->addWidget(type, row++, 0, 1, 2);
  identity->setRowStretch(row, 1);
  grid->addLayout(identity, 0, 0, 2, 1);

  // Column 2: leads and rate; range.
  auto group = [&](int index, const char* name, const QString& caption, const QStringList& items, int columns) {
    auto* box = new QGroupBox(caption, this);
    named(box, name, caption);
    auto* g = new QGridLayout(box);
    for (int i = 0; i < items.size(); ++i) {
      auto* radio = new QRadioButton(items[i], box);
      named(radio, (std::string(name) + "_" + std::to_string(i)).c_str(), items[i]);
      g->addWidget(radio, i / columns, i % columns);
    }
    groups_[static_cast<size_t>(index)] = box;
    return box;
  };
  auto* column2 = new QVBoxLayout;
  column2->addWidget(group(0, "RadioGroup1", "Количество отведений", {"Одно отведение", "Два отведения", "Три отведения"}, 1));
  column2->addWidget(group(1, "RadioGroup2", "Частота преобразования",
                           {Q(kRateItems[0]), Q(kRateItems[1]), Q(kRateItems[2])}, 2));
  grid->addLayout(column2, 0, 1);
  auto* range = group(2, "RadioGroup3", "Диапазон активности", {"1.5 G", "2   G", "4   G", "6   G"}, 1);
  range->setFixedSize(5 * a, 5 * a);
  SetRadioIndex(3, 0);
  range->setEnabled(false);
  grid->addWidget(range, 1, 1);

  // Column 3: accelerometer.
  auto* accel = new QGridLayout;
  static const char* kCurrent[] = {"edt1", "edt2", "edt3"};
  static const char* kZero[] = {"edt4", "edt5", "edt6"};
  static const char* kAxes[] = {"Z", "Y", "X"};
  for (int k = 0; k < 3; ++k) {
    const QString current = QString("%1 Текущее").arg(kAxes[k]);
    const QString zero = QString("%1 Нулевое").arg(kAxes[k]);
    auto* c = new QLineEdit(this);
    named(c, kCurrent[k], current);
    c->setReadOnly(true);
    c->installEventFilter(this);
    auto* z = new QLineEdit(this);
    named(z, kZero[k], zero);
    z->setReadOnly(true);
    accel->addWidget(new QLabel(current, this), 2 * k, 0);
    accel->addWidget(c, 2 * k + 1, 0);
    accel->addWidget(new QLabel(zero, this), 2 * k, 1);
    accel->addWidget(z, 2 * k + 1, 1);
  }
  grid->addLayout(accel, 0, 2);

  // Statistics rows level with the range group, "Записать" one row below.
  auto* stats = new QGridLayout;
  for (int r = 0; r < 3; ++r) {
    const QString caption = QString("Канал %1").arg(r + 1);
    stats->addWidget(new QLabel(caption, this), r, 0);
    for (int k = 0; k < 3; ++k) {
      auto* e = new QLineEdit(this);
      named(e, kRows[r][k], caption);
      e->setReadOnly(true);
      stats->addWidget(e, r, k + 1);
    }
  }
  auto* write = new QPushButton("Записать", this);
  named(write, "BitBtn1", "Записать");
  connect(write, &QPushButton::clicked, this, [this] { OnWriteStepsClicked(); });
  stats->addWidget(write, 3, 1, 1, 3);
  grid->addLayout(stats, 1, 2);

  auto* apply = new QPushButton("Применить", this);
  named(apply, "Button2", "Применить");
  connect(apply, &QPushButton::clicked, this, [this] { OnApplyClicked(); });
  grid->addWidget(apply, 2, 0);

  zeroFix_ = new QTimer(this);
  zeroFix_->setSingleShot(true);
  zeroFix_->setInterval(env_.zeroFixMs);
  connect(zeroFix_, &QTimer::timeout, this, [this] { window_->zeroFixArmed = true; });
  setFixedSize(sizeHint().width(), std::max(sizeHint().height(), 15 * a / 2));
}

QLineEdit* SetupDialog::Edit(const char* name) const { return findChild<QLineEdit*>(name); }

int SetupDialog::RadioIndex(int group) const {
  const auto radios = groups_[static_cast<size_t>(group - 1)]->findChildren<QRadioButton*>();
  for (int i = 0; i < radios.size(); ++i)
    if (radios[i]->isChecked()) return i;
  return -1;
}

void SetupDialog::SetRadioIndex(int group, int index) {
  const auto radios = groups_[static_cast<size_t>(group - 1)]->findChildren<QRadioButton*>();
  if (index >= 0 && index < radios.size()) radios[index]->setChecked(true);
}

RecordingChoice SetupDialog::Choice() const {
  RecordingChoice c;
  c.leadsIndex = std::max(RadioIndex(1), 0);
  c.rateIndex = std::max(RadioIndex(2), 0);
  c.rangeIndex = std::max(RadioIndex(3), 0);
  return c;
}

IdentityTexts SetupDialog::Identity() const {
  auto t = [&](const char* name) { return U(Edit(name)->text()); };
  return {t("Edit1"), t("Edit2"), t("Edit13"), t("Edit3"), t("Edit4"), t("Edit6")};
}

void SetupDialog::SetIdentityEnabled(bool enabled) {
  for (const auto& [name, caption] : kIdentity) Edit(name)->setEnabled(enabled);
}

void SetupDialog::SetWriteEnabled(bool enabled) { findChild<QPushButton*>("BitBtn1")->setEnabled(enabled); }

void SetupDialog::FillAndStartAcquisition() {
  if (window_->fatalLink) return;
  RecorderConfig& c = window_->recorder.config();
  c.marker = 5;
  window_->captions.rateHz = c.RateHz();
  SetRadioIndex(2, RateIndexOfCode(c.rateCode));
  window_->leads = c.leads;
  window_->captions.leads = c.leads;
  SetRadioIndex(1, c.leads - 1);
  const IdentityTexts t = IdentityFromConfig(c);
  Edit("Edit1")->setText(Q(t.year));
  Edit("Edit2")->setText(Q(t.month));
  Edit("Edit13")->setText(Q(t.number));
  Edit("Edit3")->setText(Q(t.modification));
  Edit("Edit4")->setText(Q(t.version));
  Edit("Edit6")->setText(Q(t.bitDepth));
  window_->RebuildCaptions();
  Edit("LabeledEdit1")->setText(Q(kRecorderType));
  window_->acquisition.decoder.Reset();
  window_->Worker()->Resume();
  window_->showMaximized();
  SetWriteEnabled(c.InSetupMode());
  zeroFix_->start();
}

int SetupDialog::StoreRecordingChoice() {
  return ApplyRecordingChoice(Choice(), window_->recorder.config(), window_->captions);
}

void SetupDialog::ShowStatistics(int row, const StatisticsRow& v) {
  Edit(kRows[row][0])->setText(Q(v.minimum));
  Edit(kRows[row][1])->setText(Q(v.maximum));
  Edit(kRows[row][2])->setText(Q(v.halfSwing));
}

void SetupDialog::ShowCurrent(const std::array<WORD, 3>& zyx) {
  // Called at every acquisition step: the fields are looked up once.
  if (!current_[0]) {
    static const char* kCurrent[] = {"edt1", "edt2", "edt3"};
    for (size_t k = 0; k < 3; ++k) current_[k] = Edit(kCurrent[k]);
  }
  for (size_t k = 0; k < 3; ++k) {
    if (zyx[k] == shown_[k]) continue;
    shown_[k] = zyx[k];
    current_[k]->setText(Q(RightAligned(zyx[k], 5)));
  }
}

void SetupDialog::ShowZero(int axis, int value) {
  static const char* kZero[] = {"edt4", "edt5", "edt6"};
  Edit(kZero[axis])->setText(Q(RightAligned(value, 4)));
}

void SetupDialog::OnApplyClicked() {  // "Применить"
  Recorder& rec = window_->recorder;
  StopRecorderStream(rec);
  rec.ReadConfig();
  env_.sleep(1000);
  StoreIdentity(Identity(), rec.config());
  const int leads = StoreRecordingChoice();
  rec.config().leads = static_cast<BYTE>(leads);
  window_->leads = leads;
  window_->RebuildCaptions();
  rec.config().accelZeroX.Set(static_cast<WORD>(window_->acquisition.zeros[2]));
  rec.config().accelZeroY.Set(static_cast<WORD>(window_->acquisition.zeros[1]));
  rec.config().accelZeroZ.Set(static_cast<WORD>(window_->acquisition.zeros[0]));
  rec.WriteConfig();
  hide();
  env_.sleep(100);
  SetIdentityEnabled(false);
  window_->RestartSweep();
  rec.StartStream();
}

void SetupDialog::OnWriteStepsClicked() {  // "Записать": half swings become the gain steps
  static const char* kSpins[] = {"SpinEdit3", "SpinEdit2", "SpinEdit1"};
  for (int i = 0; i < 3; ++i) {
    const long long step = NumberOrZero(U(Edit(kRows[i][2])->text()));
    auto* spin = window_->findChild<QSpinBox*>(kSpins[i]);
    spin->setValue(static_cast<int>(step));
    spin->setSingleStep(static_cast<int>(step));
    window_->recorder.config().gainStep[i].Set(static_cast<WORD>(step));
  }
  env_.sleep(100);
}

void SetupDialog::OnDoubleClicked() { SetIdentityEnabled(true); }

void SetupDialog::mouseDoubleClickEvent(QMouseEvent* event) {
  OnDoubleClicked();
  QWidget::mouseDoubleClickEvent(event);
}

bool SetupDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonDblClick) {
    const QString name = watched->objectName();
    if (name == "LabeledEdit1") OnDoubleClicked();
    if (name == "edt1") window_->acquisition.zeroRequest[0] = true;
    if (name == "edt2") window_->acquisition.zeroRequest[1] = true;
    if (name == "edt3") window_->acquisition.zeroRequest[2] = true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace ordiva
