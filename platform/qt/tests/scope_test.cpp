// A program without an application: one is made for the length of a call and gone after
// it; without a display none is made and message boxes answer their default button.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QCoreApplication>

#include "nxqt/nxqt.h"

namespace {

TEST(ApplicationScopeTest, MadeOnlyWhenMissingAndOnlyWithADisplay) {
  ASSERT_EQ(QCoreApplication::instance(), nullptr);
  {
    nxqt::ApplicationScope outer;
    ASSERT_TRUE(outer.Ok());
    EXPECT_TRUE(outer.Owned());
    QCoreApplication* app = QCoreApplication::instance();
    {
      nxqt::ApplicationScope inner;  // reuses the one there
      EXPECT_TRUE(inner.Ok());
      EXPECT_FALSE(inner.Owned());
    }
    EXPECT_EQ(QCoreApplication::instance(), app);
  }
  EXPECT_EQ(QCoreApplication::instance(), nullptr);

  // No display at all: no application, and a message box is the stderr line with the
  // default button as its answer.
  const std::string platform = getenv("QT_QPA_PLATFORM") ? getenv("QT_QPA_PLATFORM") : "";
  unsetenv("QT_QPA_PLATFORM");
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  {
    nxqt::ApplicationScope none;
    EXPECT_FALSE(none.Ok());
    EXPECT_FALSE(none.Owned());
  }
  nxqt::InstallMessageBox();
  EXPECT_EQ(MessageBoxW(nullptr, u"Продолжить?", u"Карта", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
  NxSetMessageBoxHook(nullptr, nullptr);
  if (!platform.empty()) setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
}

}  // namespace
