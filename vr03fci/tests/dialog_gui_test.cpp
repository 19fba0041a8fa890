// The real dialog offscreen: its controls and geometry, the card list on the real combo
// box as cards come and go, sizes only as read from a card, labels that fit and speak,
// a run started by a click through a real pfsvc, a card pulled during a run, the
// confirmation answered both ways through the platform's message box hook, the
// caption's close, Esc, and a start that fails without a service.
#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>

#include "ids.h"
#include "init_dialog_window.h"
#include "nxqt/nxqt.h"
#include "nxtest/fatimage.h"
#include "nxtest/svcproc.h"
#include "nxtest/temp.h"

// Texts in failure messages as text, not as code units.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace {

template <class F>
bool WaitFor(F done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QTest::qWait(10);
  }
  return true;
}

// Message boxes answered by the test: each box is recorded, the next answer returned.
struct Boxes {
  struct Shown {
    std::u16string text, caption;
    UINT style;
  };
  std::vector<Shown> shown;
  std::vector<int> answers;
  static int Hook(void* self, HWND, LPCWSTR text, LPCWSTR caption, UINT style) {
    auto* b = static_cast<Boxes*>(self);
    b->shown.push_back({text, caption, style});
    if (b->answers.empty()) return IDNO;
    int a = b->answers.front();
    b->answers.erase(b->answers.begin());
    return a;
  }
};

class DialogGui : public ::testing::Test {
 protected:
  void SetUp() override { NxSetMessageBoxHook(&Boxes::Hook, &boxes_); }
  void TearDown() override {
    NxSetMessageBoxHook(nullptr, nullptr);
    service_.reset();
    unsetenv("NX_DRIVES");
    unsetenv("NX_PIPE_DIR");
  }
  void Card(int sizeKiB, bool service) {
    image_ = dir_.Path() + "/card.img";
    ASSERT_EQ(nxtest::Run("mkfs.fat -C -F 16 " + nxtest::Quote(image_) + " " + std::to_string(sizeKiB) +
                          " >/dev/null 2>&1"),
              0);
    setenv("NX_DRIVES", ("E=" + image_).c_str(), 1);
    if (service) {
      service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
    } else {
      setenv("NX_PIPE_DIR", pipes_.Path().c_str(), 1);
    }
  }
  // A FAT16 image in the test's folder (not pinned).
  std::string MakeImage(const std::string& name, int sizeKiB = 16384) {
    const std::string path = dir_.Path() + "/" + name;
    EXPECT_EQ(nxtest::Run("mkfs.fat -C -F 16 " + nxtest::Quote(path) + " " + std::to_string(sizeKiB) +
                          " >/dev/null 2>&1"),
              0);
    return path;
  }
  template <class T>
  T* Get(fci::InitDialogWindow& w, int id) {
    return qobject_cast<T*>(w.Control(id));
  }
  QString Text(fci::InitDialogWindow& w, int id) { return Get<QLabel>(w, id)->text(); }
  // The letters listed, in order.
  static QString Items(QComboBox* box) {
    QString s;
    for (int i = 0; i < box->count(); ++i) s += box->itemText(i);
    return s;
  }
  // Nothing chosen: no figures, "no card" and no way to start.
  void ExpectNoCardChosen(fci::InitDialogWindow& w, const char* when) {
    EXPECT_EQ(Get<QComboBox>(w, fci::IDC_DRIVES)->currentIndex(), -1) << when;
    for (int id : {fci::IDC_CLUSTER, fci::IDC_TOTAL, fci::IDC_FREE, fci::IDC_ELAPSED, fci::IDC_REMAINING})
      EXPECT_EQ(Text(w, id), QString()) << when << ": control " << id;
    EXPECT_EQ(Text(w, fci::IDC_STATUS), QStringLiteral("Карта не выбрана или отсутствует.")) << when;
    EXPECT_FALSE(Get<QPushButton>(w, fci::IDC_START)->isEnabled()) << when;
  }

  nxtest::TempRegistry registry_;
  nxtest::TempDir dir_{"fci-gui"};
  nxtest::TempDir pipes_{"fci-gui-pipes"};
  std::string image_;
  std::unique_ptr<svctest::ServiceProcess> service_;
  Boxes boxes_;
};

TEST_F(DialogGui, ControlsStandAtTheirPlacesWithTheirTexts) {
  setenv("NX_DRIVES", ("E=" + dir_.Path() + "/absent.img").c_str(), 1);  // a reader without a card
  fci::InitDialog logic;
  fci::InitDialogWindow w(&logic);
  // Before any tick of its timer the window shows what its first refresh found, and no
  // figure of any card.
  ExpectNoCardChosen(w, "as created");
  w.show();
  EXPECT_EQ(w.windowTitle(), QStringLiteral("Инициализатор карт памяти VR-03"));
  EXPECT_TRUE(w.windowFlags() & Qt::WindowContextHelpButtonHint);
  EXPECT_FALSE(w.windowIcon().availableSizes().isEmpty()) << "icon 102";
  // Places in dialog units of the dialog's font.
  const nxqt::DialogUnits du(w.font());
  EXPECT_EQ(w.size(), du.Size(215, 179));
  auto* progress = Get<QProgressBar>(w, fci::IDC_PROGRESS);
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->geometry(), du.Rect(14, 136, 187, 8));
  EXPECT_EQ(Get<QLabel>(w, fci::IDC_STATUS)->geometry(), du.Rect(14, 124, 187, 8));
  EXPECT_EQ(Get<QPushButton>(w, fci::IDC_START)->geometry(), du.Rect(143, 28, 65, 14));
  EXPECT_EQ(progress->maximum(), 3);
  auto* start = Get<QPushButton>(w, fci::IDC_START);
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->objectName(), QStringLiteral("1002"));
  EXPECT_EQ(start->text(), QStringLiteral("Инициализация"));
  EXPECT_TRUE(start->isCheckable());
  EXPECT_FALSE(start->isEnabled());
  EXPECT_EQ(Get<QPushButton>(w, fci::IDC_CLOSE)->text(), QStringLiteral("Закрыть"));
  EXPECT_EQ(Get<QCheckBox>(w, fci::IDC_STRICT)->text(), QStringLiteral("Строгая проверка"));
  EXPECT_EQ(Get<QComboBox>(w, fci::IDC_DRIVES)->accessibleName(), QStringLiteral("Имя"));
  EXPECT_EQ(Get<QLabel>(w, fci::IDC_TOTAL)->accessibleName(), QStringLiteral("Полный размер"));
  // Esc and Enter do nothing.
  QTest::keyClick(&w, Qt::Key_Escape);
  QTest::keyClick(&w, Qt::Key_Return);
  EXPECT_TRUE(w.isVisible());
}

TEST_F(DialogGui, ClickedRunEndsWithItsStatusAndReleasesTheButton) {
  Card(16384, true);
  fci::SaveSettings(fci::InitParameters{u'E', fci::OPT_CHECK | fci::OPT_STRICT});
  fci::InitDialog logic;
  fci::InitDialogWindow w(&logic);
  w.show();
  auto* start = Get<QPushButton>(w, fci::IDC_START);
  ASSERT_TRUE(WaitFor([&] { return start->isEnabled(); }, 3000)) << "the remembered card is selected by the timer";
  EXPECT_EQ(Get<QComboBox>(w, fci::IDC_DRIVES)->currentText(), QStringLiteral("E"));
  EXPECT_TRUE(Get<QCheckBox>(w, fci::IDC_STRICT)->isChecked());
  EXPECT_EQ(Text(w, fci::IDC_CLUSTER), QStringLiteral("2 048 Б"));
  QTest::mouseClick(start, Qt::LeftButton);
  EXPECT_TRUE(start->isChecked());
  ASSERT_TRUE(WaitFor([&] { return !logic.Running(); }, 60000));
  ASSERT_TRUE(WaitFor([&] { return !start->isChecked(); }, 2000));
  EXPECT_EQ(Text(w, fci::IDC_STATUS), QStringLiteral("Инициализация успешно завершена."));
  auto* progress = Get<QProgressBar>(w, fci::IDC_PROGRESS);
  EXPECT_EQ(progress->value(), progress->maximum());
  EXPECT_TRUE(Get<QComboBox>(w, fci::IDC_DRIVES)->isEnabled());
  EXPECT_TRUE(boxes_.shown.empty());
  EXPECT_EQ(nxtest::GetFile(image_, "VKFRCG.BIN").substr(0, 6), "VKFRCG");
}

TEST_F(DialogGui, CancelAsksAndTheCaptionsCloseDoesNot) {
  Card(262144, true);
  fci::SaveSettings(fci::InitParameters{u'E', fci::OPT_CHECK | fci::OPT_STRICT});
  fci::InitDialog logic;
  fci::InitDialogWindow w(&logic);
  w.show();
  auto* start = Get<QPushButton>(w, fci::IDC_START);
  ASSERT_TRUE(WaitFor([&] { return start->isEnabled(); }, 3000));
  QTest::mouseClick(start, Qt::LeftButton);
  ASSERT_TRUE(logic.Running());

  boxes_.answers = {IDNO, IDNO};
  QTest::mouseClick(start, Qt::LeftButton);  // released: asks; no
  QTest::mouseClick(Get<QPushButton>(w, fci::IDC_CLOSE), Qt::LeftButton);  // "Закрыть": asks; no
  ASSERT_EQ(boxes_.shown.size(), 2u);
  for (const auto& b : boxes_.shown) {
    EXPECT_EQ(b.caption, u"Подтверждение операции");
    EXPECT_EQ(b.text, u"Вы действительно хотите прервать инициализацию карты памяти?");
    EXPECT_EQ(b.style, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
  }
  EXPECT_TRUE(logic.Running());
  EXPECT_TRUE(w.isVisible());
  EXPECT_TRUE(start->isChecked());

  boxes_.answers = {IDYES};
  QTest::mouseClick(start, Qt::LeftButton);
  EXPECT_FALSE(logic.Running());
  ASSERT_TRUE(WaitFor([&] { return Text(w, fci::IDC_STATUS) == QStringLiteral("Инициализация прервана пользователем."); }, 2000));
  EXPECT_FALSE(start->isChecked());

  QTest::mouseClick(start, Qt::LeftButton);  // again, then the caption's close
  ASSERT_TRUE(logic.Running());
  w.close();
  EXPECT_FALSE(logic.Running());
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(w.result(), 0);
  EXPECT_EQ(boxes_.shown.size(), 3u) << "the caption's close does not ask";
}

TEST_F(DialogGui, FailedStartShowsTheErrorBoxOnceAndTheDialogStaysUsable) {
  Card(16384, false);
  // The service runs, but its E: is a folder, whose volume it refuses to open.
  setenv("NX_DRIVES", ("E=" + dir_.Path()).c_str(), 1);
  service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
  setenv("NX_DRIVES", ("E=" + image_).c_str(), 1);
  fci::SaveSettings(fci::InitParameters{u'E', 0});
  fci::InitDialog logic;
  fci::InitDialogWindow w(&logic);
  w.show();
  auto* start = Get<QPushButton>(w, fci::IDC_START);
  ASSERT_TRUE(WaitFor([&] { return start->isEnabled(); }, 3000));
  QTest::mouseClick(start, Qt::LeftButton);
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_EQ(boxes_.shown[0].caption, u"запуск инициализации карты памяти");
  EXPECT_EQ(boxes_.shown[0].text.rfind(u"Отказано в доступе.", 0), 0u) << "the service's reason";
  EXPECT_EQ(boxes_.shown[0].style & MB_ICONMASK, MB_ICONHAND);
  ASSERT_TRUE(WaitFor([&] { return !start->isChecked(); }, 2000));
  EXPECT_TRUE(Get<QComboBox>(w, fci::IDC_DRIVES)->isEnabled());
  EXPECT_TRUE(start->isEnabled());
  QTest::mouseClick(start, Qt::LeftButton);  // usable: a second try shows a second box
  EXPECT_EQ(boxes_.shown.size(), 2u);
}

// Qt's combo box makes the first item put into an empty list current by itself; here
// the selection must only ever be the user's or the remembered card's.
TEST_F(DialogGui, NoCardIsChosenForTheUserAsCardsComeAndGo) {
  const std::string e = MakeImage("e.img"), f = MakeImage("f.img"), a = MakeImage("a.img");
  // A floppy drive with a formatted medium is listed with the cards, never as one.
  setenv("NX_DRIVES", ("A:floppy=" + a + ";E=" + e + ";F=" + f).c_str(), 1);
  service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
  {
    fci::InitDialog logic;  // a first start: nothing remembered
    fci::InitDialogWindow w(&logic);
    w.show();
    auto* drives = Get<QComboBox>(w, fci::IDC_DRIVES);
    EXPECT_EQ(Items(drives), QStringLiteral("EF"));
    ExpectNoCardChosen(w, "first start");
    QTest::qWait(1200);  // the window's own timer ticks over both cards
    ExpectNoCardChosen(w, "first start, after the ticks");
  }

  fci::SaveSettings(fci::InitParameters{u'F', 0});
  const std::string away = dir_.Path() + "/away.img";
  ASSERT_EQ(std::rename(f.c_str(), away.c_str()), 0);  // F is not in its reader yet
  fci::InitDialog logic;
  fci::InitDialogWindow w(&logic);
  w.show();
  auto* drives = Get<QComboBox>(w, fci::IDC_DRIVES);
  auto* start = Get<QPushButton>(w, fci::IDC_START);
  EXPECT_EQ(Items(drives), QStringLiteral("E"));
  ExpectNoCardChosen(w, "E alone, F remembered");

  ASSERT_EQ(std::rename(away.c_str(), f.c_str()), 0);
  logic.OnTimer();  // the remembered card comes and is selected, with its sizes
  EXPECT_EQ(Items(drives), QStringLiteral("EF"));
  EXPECT_EQ(drives->currentText(), QStringLiteral("F"));
  EXPECT_EQ(Text(w, fci::IDC_CLUSTER), QStringLiteral("2 048 Б"));
  EXPECT_EQ(Text(w, fci::IDC_TOTAL), QStringLiteral("16 384 кБ"));
  EXPECT_EQ(Text(w, fci::IDC_STATUS), QStringLiteral("Готовность к инициализации карты."));
  EXPECT_TRUE(start->isEnabled());

  ASSERT_EQ(std::rename(e.c_str(), away.c_str()), 0);
  logic.OnTimer();  // a card before the selected one goes: the selection stays on F
  EXPECT_EQ(Items(drives), QStringLiteral("F"));
  EXPECT_EQ(drives->currentText(), QStringLiteral("F"));
  ASSERT_EQ(std::rename(away.c_str(), e.c_str()), 0);
  logic.OnTimer();  // and comes back before it: still F
  EXPECT_EQ(Items(drives), QStringLiteral("EF"));
  EXPECT_EQ(drives->currentText(), QStringLiteral("F"));
  EXPECT_TRUE(start->isEnabled());

  ASSERT_EQ(std::rename(f.c_str(), away.c_str()), 0);
  logic.OnTimer();  // the selected card goes: nothing is selected, E is not chosen instead
  EXPECT_EQ(Items(drives), QStringLiteral("E"));
  ExpectNoCardChosen(w, "selected F removed");

  drives->showPopup();  // F comes back while the user has the list open: listed only
  ASSERT_TRUE(drives->view()->isVisible());
  ASSERT_EQ(std::rename(away.c_str(), f.c_str()), 0);
  logic.OnTimer();
  EXPECT_EQ(Items(drives), QStringLiteral("EF"));
  EXPECT_EQ(drives->currentIndex(), -1);
  drives->hidePopup();
  logic.OnTimer();
  ExpectNoCardChosen(w, "F back while the list was open");

  drives->setFocus();
  QTest::keyClick(drives, Qt::Key_Down);  // the user picks E: it becomes the remembered card
  EXPECT_EQ(drives->currentText(), QStringLiteral("E"));
  EXPECT_EQ(logic.GetParameters()->letter, u'E');
  EXPECT_EQ(Text(w, fci::IDC_TOTAL), QStringLiteral("16 384 кБ"));
  EXPECT_TRUE(start->isEnabled());
}

TEST_F(DialogGui, SizesAreOnlyEverThoseReadFromTheCard) {
  Card(16384, false);
  const std::string client = "E=" + image_;
  fci::SaveSettings(fci::InitParameters{u'E', 0});
  fci::InitDialog logic;
  fci::InitDialogWindow w(&logic);
  w.show();
  auto* start = Get<QPushButton>(w, fci::IDC_START);
  const QString unknown = QStringLiteral("—");
  auto expectUnread = [&](const char* when) {
    for (int id : {fci::IDC_CLUSTER, fci::IDC_TOTAL, fci::IDC_FREE}) EXPECT_EQ(Text(w, id), unknown) << when << " " << id;
  };
  EXPECT_EQ(Get<QComboBox>(w, fci::IDC_DRIVES)->currentText(), QStringLiteral("E"));
  expectUnread("no service");
  EXPECT_EQ(Text(w, fci::IDC_STATUS), QStringLiteral("Служба страничных файлов не запущена."));
  EXPECT_FALSE(start->isEnabled()) << "nothing can be written without the service";

  service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
  logic.OnTimer();
  EXPECT_EQ(Text(w, fci::IDC_CLUSTER), QStringLiteral("2 048 Б"));
  EXPECT_EQ(Text(w, fci::IDC_TOTAL), QStringLiteral("16 384 кБ"));
  EXPECT_EQ(Text(w, fci::IDC_STATUS), QStringLiteral("Готовность к инициализации карты."));
  EXPECT_TRUE(start->isEnabled());

  service_.reset();  // the service stops: the figures read before are not the card's now
  logic.OnTimer();
  expectUnread("service stopped");
  EXPECT_EQ(Text(w, fci::IDC_STATUS), QStringLiteral("Служба страничных файлов не запущена."));
  EXPECT_FALSE(start->isEnabled());

  // A service that runs but cannot open this card (its E: is a folder) is not a missing
  // one: the sizes are unknown, and a start reports the service's own reason.
  setenv("NX_DRIVES", ("E=" + dir_.Path()).c_str(), 1);
  service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
  setenv("NX_DRIVES", client.c_str(), 1);
  logic.OnTimer();
  expectUnread("refused by the service");
  EXPECT_EQ(Text(w, fci::IDC_STATUS), QStringLiteral("Готовность к инициализации карты."));
  EXPECT_TRUE(start->isEnabled());
}

// The widest values the dialog shows (seven digits of kilobytes below 4 GiB, five of
// bytes in a 64 KiB cluster, minutes and seconds) fit their labels beside their captions
// and inside their group in every font size, as do the buttons' captions; assistive
// technology reads caption and value together.
TEST_F(DialogGui, WidestValuesFitTheirLabelsAndReachScreenReaders) {
  setenv("NX_DRIVES", ("E=" + dir_.Path() + "/absent.img").c_str(), 1);
  const QFont desktop = QApplication::font();
  struct Value {
    int id;
    const char* caption;
    const char* picture;  // 'd' stands for a digit
  };
  const Value values[] = {{fci::IDC_CLUSTER, "Размер кластера", "dd ddd Б"},
                          {fci::IDC_TOTAL, "Полный размер", "d ddd ddd кБ"},
                          {fci::IDC_FREE, "Свободно", "d ddd ddd кБ"},
                          {fci::IDC_ELAPSED, "Время выполнения", "dd мин. dd с."},
                          {fci::IDC_REMAINING, "Осталось времени", "dd мин. dd с."}};
  for (const QString& family : {desktop.family(), QStringLiteral("DejaVu Sans"), QStringLiteral("DejaVu Serif"),
                                QStringLiteral("DejaVu Sans Mono")}) {
    for (int points = 7; points <= 12; ++points) {
      QApplication::setFont(QFont(family, points));
      fci::InitDialog logic;
      fci::InitDialogWindow w(&logic);
      for (const Value& v : values) {
        QLabel* l = Get<QLabel>(w, v.id);
        const QFontMetrics fm = l->fontMetrics();
        QChar widest = QLatin1Char('0');  // the font's widest digit, in every place
        for (char d = '1'; d <= '9'; ++d)
          if (fm.horizontalAdvance(QLatin1Char(d)) > fm.horizontalAdvance(widest)) widest = QLatin1Char(d);
        const QString text = QString::fromUtf8(v.picture).replace(QLatin1Char('d'), widest);
        w.SetText(v.id, text.toStdU16String());
        const std::string where = family.toStdString() + " " + std::to_string(points) + " pt, " + v.caption;
        EXPECT_LE(l->sizeHint().width(), l->width()) << where << ": clipped";
        EXPECT_LE(fm.horizontalAdvance(text), l->contentsRect().width()) << where << ": clipped";
        QGroupBox* group = nullptr;
        for (auto* g : w.findChildren<QGroupBox*>())
          if (g->geometry().contains(l->geometry().center())) group = g;
        ASSERT_NE(group, nullptr) << where;
        EXPECT_LE(l->geometry().right(), group->geometry().right() - 2) << where << ": over the group's frame";
        // The caption, left of it, ends a space before the value's first character.
        QLabel* caption = nullptr;
        for (auto* c : w.findChildren<QLabel*>())
          if (c->text().startsWith(QString::fromUtf8(v.caption))) caption = c;
        ASSERT_NE(caption, nullptr) << where;
        const int captionEnd = caption->x() + caption->fontMetrics().horizontalAdvance(caption->text().trimmed());
        const QRect box = l->contentsRect().translated(l->pos());
        const int valueStart = (l->alignment() & Qt::AlignRight) ? box.x() + box.width() - fm.horizontalAdvance(text)
                                                                   : box.x();
        EXPECT_LE(captionEnd + fm.horizontalAdvance(QLatin1Char(' ')), valueStart) << where << ": overlaps";

        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(l);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->text(QAccessible::Name), QString::fromUtf8(v.caption) + QStringLiteral(": ") + text) << where;
        w.SetText(v.id, u"");
        EXPECT_EQ(a->text(QAccessible::Name), QString::fromUtf8(v.caption)) << where;
      }
      // The buttons' captions stand clear of their frames.
      for (int id : {fci::IDC_CLOSE, fci::IDC_START}) {
        auto* b = Get<QPushButton>(w, id);
        EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 8, b->width())
            << family.toStdString() << " " << points << " pt: " << b->text().toStdString();
      }
      if (HasFailure()) break;
    }
  }
  QApplication::setFont(desktop);
  fci::InitDialog logic;
  fci::InitDialogWindow w(&logic);
  QAccessibleInterface* status = QAccessible::queryAccessibleInterface(Get<QLabel>(w, fci::IDC_STATUS));
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->text(QAccessible::Name), QStringLiteral("Состояние: Карта не выбрана или отсутствует."));
}

// The card goes from its reader in the middle of a check: at the next tick the dialog
// has no card, the run fails at its next read and ends, its thread with it, and its
// failure does not outlast the following tick.
TEST_F(DialogGui, CardPulledDuringARunLeavesNoCardAndNoWorker) {
  Card(1048576, true);
  fci::SaveSettings(fci::InitParameters{u'E', fci::OPT_CHECK});
  fci::InitDialog logic;
  fci::InitDialogWindow w(&logic);
  w.show();
  auto* start = Get<QPushButton>(w, fci::IDC_START);
  auto* progress = Get<QProgressBar>(w, fci::IDC_PROGRESS);
  ASSERT_TRUE(start->isEnabled());
  auto threads = [] {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
      while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
      closedir(d);
    }
    return n;
  };
  const int before = threads();
  QTest::mouseClick(start, Qt::LeftButton);
  ASSERT_TRUE(logic.Running());
  ASSERT_TRUE(WaitFor([&] { return progress->value() >= 2; }, 30000));
  // Asked before the pull: once the card is gone the run may fail and end at any moment.
  ASSERT_TRUE(logic.Running()) << "the run ended before the card was pulled";
  ASSERT_EQ(truncate(image_.c_str(), 0), 0);  // the medium is gone: no boot record, no data
  ASSERT_TRUE(WaitFor([&] { return Get<QComboBox>(w, fci::IDC_DRIVES)->count() == 0; }, 1500)) << "no tick";
  EXPECT_EQ(Text(w, fci::IDC_STATUS), QStringLiteral("Карта не выбрана или отсутствует."));
  ASSERT_TRUE(WaitFor([&] { return !logic.Running(); }, 30000)) << "the run hung on the pulled card";
  QTest::qWait(1200);  // the run's own end is posted; two ticks follow
  ExpectNoCardChosen(w, "after the run's end");
  EXPECT_FALSE(start->isChecked());
  EXPECT_TRUE(Get<QComboBox>(w, fci::IDC_DRIVES)->isEnabled());
  EXPECT_EQ(progress->value(), 0);
  EXPECT_TRUE(WaitFor([&] { return threads() == before; }, 2000)) << threads() << " threads, " << before << " before";
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
