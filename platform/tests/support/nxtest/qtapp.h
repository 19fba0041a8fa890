// One QApplication for a whole GUI test program, made before the first test and
// destroyed after the last (tests run offscreen: ctest sets QT_QPA_PLATFORM).
#pragma once

#include <gtest/gtest.h>

#include <QApplication>

namespace nxtest {

class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "nxtest";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  QApplication* app_ = nullptr;
};

// Include this header in exactly one source file of a test program.
inline ::testing::Environment* const g_qtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

}  // namespace nxtest
