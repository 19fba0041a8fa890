// The window side of the platform: window handles, dialog units, picture strips and
// the message box window with its translated buttons.
#include <gtest/gtest.h>

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <thread>

#include "nxqt/nxqt.h"
#include "nxtest/qtapp.h"

namespace {

// Runs action on the next message box that opens (polled on the window thread).
void WhenBoxOpens(std::function<void(QMessageBox*)> action) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, action] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    action(box);
  });
  timer->start(10);
}

QPushButton* ButtonWithText(QMessageBox* box, const QString& text) {
  for (QAbstractButton* b : box->buttons())
    if (b->text() == text) return qobject_cast<QPushButton*>(b);
  return nullptr;
}

class NxQtTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The desktop of these tests speaks Russian; the translator is loaded once.
    nxqt::LoadQtTranslations(QLocale(QLocale::Russian, QLocale::Russia));
    nxqt::InstallMessageBox();
  }
  static void TearDownTestSuite() { NxSetMessageBoxHook(nullptr, nullptr); }
};

TEST_F(NxQtTest, HandlesAreWindowsExactlyWhileTheirWidgetsLive) {
  auto* widget = new QLabel("x");
  HWND h = nxqt::ToHwnd(widget);
  EXPECT_TRUE(IsWindow(h));
  EXPECT_EQ(nxqt::FromHwnd(h), widget);
  delete widget;
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(IsWindow(nullptr));
  int notAWidget = 0;
  EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(&notAWidget)));

  RECT r{0, 0, 4, 8};
  EXPECT_FALSE(MapDialogRect(h, &r));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(NxQtTest, DialogUnitsFollowTheFontAndRoundLikeWindows) {
  QFont small = nxqt::DialogFont();
  small.setPointSize(8);
  QFont large = small;
  large.setPointSize(16);
  const nxqt::DialogUnits s(small), l(large);
  ASSERT_GT(s.BaseX(), 2);
  ASSERT_GT(s.BaseY(), 5);
  EXPECT_GT(l.BaseX(), s.BaseX());
  EXPECT_GT(l.BaseY(), s.BaseY());
  // Four horizontal units are one average character, eight vertical ones its height.
  EXPECT_EQ(s.X(4), s.BaseX());
  EXPECT_EQ(s.Y(8), s.BaseY());
  EXPECT_EQ(s.X(-4), -s.BaseX());
  // Halves round away from zero: 2 units are half a character.
  EXPECT_EQ(s.X(2), (s.BaseX() + 1) / 2);
  EXPECT_EQ(s.X(-2), -((s.BaseX() + 1) / 2));

  QLabel dialog;
  dialog.setFont(small);
  RECT r{7, 16, 224, 91};
  ASSERT_TRUE(MapDialogRect(nxqt::ToHwnd(&dialog), &r));
  EXPECT_EQ(QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1)),
            QRect(s.X(7), s.Y(16), s.X(224) - s.X(7), s.Y(91) - s.Y(16)));
  EXPECT_FALSE(MapDialogRect(nxqt::ToHwnd(&dialog), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(NxQtTest, PictureStripsSplitIntoImagesWithTheCornerColourTransparent) {
  // Three 16-pixel pictures and 5 spare columns on a magenta key colour; each picture
  // has one coloured pixel of its own and a magenta one that must vanish.
  QImage strip(53, 16, QImage::Format_RGB32);
  strip.fill(QColor(255, 0, 255));
  const QColor marks[3] = {Qt::red, Qt::green, Qt::blue};
  for (int i = 0; i < 3; ++i) strip.setPixelColor(i * 16 + 5, 7, marks[i]);
  const QList<QIcon> icons = nxqt::SplitPictureStrip(strip, 16);
  ASSERT_EQ(icons.size(), 3);
  for (int i = 0; i < 3; ++i) {
    const QImage image = icons[i].pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(image.size(), QSize(16, 16));
    EXPECT_EQ(image.pixelColor(5, 7), marks[i]) << i;
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << i;
    EXPECT_EQ(qAlpha(image.pixel(15, 15)), 0) << i;
  }
  EXPECT_TRUE(nxqt::SplitPictureStrip(strip, 0).isEmpty());
  EXPECT_TRUE(nxqt::SplitPictureStrip(QImage(), 16).isEmpty());
  EXPECT_TRUE(nxqt::LoadPictureStrip(NxThisModule(), 101, 16).isEmpty());  // no icons here
}

TEST_F(NxQtTest, MessageBoxShowsTheStyleInTheDesktopLanguageAndAnswersTheButtonId) {
  QLabel owner("owner");
  owner.show();
  QString defaultText, icon;
  WhenBoxOpens([&](QMessageBox* box) {
    EXPECT_EQ(box->windowTitle(), "Внимание");
    EXPECT_EQ(box->text(), "Сохранить?");
    EXPECT_EQ(box->parentWidget(), &owner);
    EXPECT_EQ(box->icon(), QMessageBox::Question);
    EXPECT_EQ(box->buttons().size(), 3);
    defaultText = box->defaultButton()->text();
    QPushButton* yes = ButtonWithText(box, "&Да");
    ASSERT_NE(yes, nullptr);
    yes->click();
  });
  EXPECT_EQ(MessageBoxW(nxqt::ToHwnd(&owner), u"Сохранить?", u"Внимание", MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2),
            IDYES);
  EXPECT_EQ(defaultText, "&Нет");

  // Esc is Cancel where there is one, and OK for a lone OK.
  WhenBoxOpens([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
  EXPECT_EQ(MessageBoxA(nullptr, "Повторить?", "Связь", MB_RETRYCANCEL | MB_ICONERROR), IDCANCEL);
  WhenBoxOpens([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
  EXPECT_EQ(MessageBoxW(nullptr, u"Готово", nullptr, MB_OK | MB_ICONINFORMATION), IDOK);
  // Unknown buttons never show a window.
  EXPECT_EQ(nxqt::ShowMessageBox(nullptr, "x", "y", 9), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(NxQtTest, MessageBoxFromAWorkerThreadOpensOnTheWindowThread) {
  QThread* seenOn = nullptr;
  WhenBoxOpens([&](QMessageBox* box) {
    seenOn = box->thread();
    QTest::keyClick(box, Qt::Key_Return);  // the default button
  });
  std::atomic<int> answer{-1};
  std::thread worker([&] { answer = MessageBoxW(nullptr, u"Прервать?", u"Карта", MB_ABORTRETRYIGNORE | MB_DEFBUTTON3); });
  QTRY_VERIFY_WITH_TIMEOUT(answer != -1, 10000);
  worker.join();
  EXPECT_EQ(answer, IDIGNORE);
  EXPECT_EQ(seenOn, QApplication::instance()->thread());
}

TEST_F(NxQtTest, BeepChecksTheFrequencyOnly) {
  EXPECT_TRUE(Beep(400, 200));
  EXPECT_TRUE(Beep(1000, 500));
  EXPECT_FALSE(Beep(36, 10));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Beep(32768, 10));
}

}  // namespace
