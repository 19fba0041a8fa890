// nxErrMsgW: the caption from the caller's module, a readable text for the HRESULT,
// and the style passed to the message box entry point.
#include <gtest/gtest.h>

#include <string>

#include "nxpal/resource.h"
#include "nxrtl/nxrtl.h"

namespace {

struct Shown {
  std::u16string text, caption;
  UINT style = 0;
  HWND owner = nullptr;
};

int Capture(void* context, HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  auto* s = static_cast<Shown*>(context);
  s->text = text;
  s->caption = caption;
  s->style = style;
  s->owner = owner;
  return IDOK;
}

class ErrMsgTest : public testing::Test {
 protected:
  void SetUp() override { NxSetMessageBoxHook(Capture, &shown); }
  void TearDown() override { NxSetMessageBoxHook(nullptr, nullptr); }
  Shown shown;
};

TEST_F(ErrMsgTest, CaptionComesFromTheModuleAndWin32CodesAreReadable) {
  HWND owner = reinterpret_cast<HWND>(0x77);
  EXPECT_EQ(nxErrMsgW(owner, NxThisModule(), 128, 0, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), MB_ICONHAND), IDOK);
  EXPECT_EQ(shown.caption, u"Инициализация карты");
  EXPECT_EQ(shown.owner, owner);
  EXPECT_EQ(shown.style, MB_ICONHAND);
  EXPECT_EQ(shown.text, u"Отказано в доступе.\r\nКод ошибки: 0x80070005");
  // A plain Win32 code reads the same text.
  nxErrMsgW(nullptr, NxThisModule(), 128, 0, static_cast<HRESULT>(ERROR_FILE_NOT_FOUND), MB_ICONHAND);
  EXPECT_EQ(shown.text, u"Не удается найти указанный файл.\r\nКод ошибки: 0x00000002");
}

TEST_F(ErrMsgTest, ComResultsAndUnknownCodes) {
  nxErrMsgW(nullptr, NxThisModule(), 128, 0, REGDB_E_CLASSNOTREG, MB_ICONHAND);
  EXPECT_EQ(shown.text, u"Класс не зарегистрирован.\r\nКод ошибки: 0x80040154");
  nxErrMsgW(nullptr, NxThisModule(), 128, 0, E_OUTOFMEMORY, MB_ICONHAND);
  EXPECT_EQ(shown.text.substr(0, 15), u"Недостаточно па");
  nxErrMsgW(nullptr, NxThisModule(), 128, 0, static_cast<HRESULT>(0x8123ABCDu), MB_ICONHAND);
  EXPECT_EQ(shown.text, u"Неизвестная ошибка.\r\nКод ошибки: 0x8123ABCD");
}

TEST_F(ErrMsgTest, MissingCaptionFallsBackToTheDefaultOne) {
  nxErrMsgW(nullptr, NxThisModule(), 999, 0, E_FAIL, MB_ICONHAND | MB_OKCANCEL);
  EXPECT_EQ(shown.caption, u"Ошибка");
  EXPECT_EQ(shown.style, MB_ICONHAND | MB_OKCANCEL);
  nxErrMsgW(nullptr, nullptr, 128, 0, E_FAIL, MB_ICONHAND);
  EXPECT_EQ(shown.caption, u"Ошибка");
}

}  // namespace
