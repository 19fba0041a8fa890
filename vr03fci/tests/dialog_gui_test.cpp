// The real dialog offscreen: its controls and geometry, a run started by a click through
// a real pfsvc, the confirmation answered both ways through the platform's message box
// hook, the caption's close, Esc, and a start that fails without a service.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest/QTest>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "InitDialogWindow.h"
#include "ids.h"
#include "nxqt/nxqt.h"
#include "nxtest/fatimage.h"
#include "nxtest/temp.h"
#include "nxtest/svcproc.h"

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
  template <class T>
  T* Get(fci::InitDialogWindow& w, int id) {
    return qobject_cast<T*>(w.Control(id));
  }
  QString Text(fci::InitDialogWindow& w, int id) { return Get<QLabel>(w, id)->text(); }

  nxtest::TempRegistry registry_;
  nxtest::TempDir dir_{"fci-gui"};
  nxtest::TempDir pipes_{"fci-gui-pipes"};
  std::string image_;
  std::unique_ptr<svctest::ServiceProcess> service_;
  Boxes boxes_;
};

TEST_F(DialogGui, ControlsStandAtTheirPlacesWithTheirTexts) {
  fci::InitDialog logic;
  fci::InitDialogWindow w(&logic);
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
  EXPECT_EQ(Get<QPushButton>(w, fci::IDC_START)->geometry(), du.Rect(147, 28, 61, 14));
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
  for (int id : {fci::IDC_CLUSTER, fci::IDC_TOTAL, fci::IDC_FREE}) {
    QLabel* l = Get<QLabel>(w, id);
    EXPECT_TRUE(l->alignment() & Qt::AlignRight) << id;
    EXPECT_LE(l->fontMetrics().horizontalAdvance(QStringLiteral("1 048 576 кБ")), l->width()) << "clipped " << id;
  }
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
  fci::SaveSettings(fci::InitParameters{u'E', 0});
  fci::InitDialog logic;
  fci::InitDialogWindow w(&logic);
  w.show();
  auto* start = Get<QPushButton>(w, fci::IDC_START);
  ASSERT_TRUE(WaitFor([&] { return start->isEnabled(); }, 3000));
  QTest::mouseClick(start, Qt::LeftButton);
  ASSERT_EQ(boxes_.shown.size(), 1u);
  EXPECT_EQ(boxes_.shown[0].caption, u"запуск инициализации карты памяти");
  EXPECT_EQ(boxes_.shown[0].style & MB_ICONMASK, MB_ICONHAND);
  ASSERT_TRUE(WaitFor([&] { return !start->isChecked(); }, 2000));
  EXPECT_TRUE(Get<QComboBox>(w, fci::IDC_DRIVES)->isEnabled());
  EXPECT_TRUE(start->isEnabled());
  QTest::mouseClick(start, Qt::LeftButton);  // usable: a second try shows a second box
  EXPECT_EQ(boxes_.shown.size(), 2u);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
