// The message box entry point: the hook of a windowed program, and the stderr fallback.
#include <gtest/gtest.h>

#include <string>

#include "nxpal/windows.h"

namespace {

struct Seen {
  HWND owner = nullptr;
  std::u16string text, caption;
  UINT style = 0;
  int answer = 0;
  int calls = 0;
};

int Recorder(void* context, HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  auto* s = static_cast<Seen*>(context);
  s->owner = owner;
  s->text = text;
  s->caption = caption;
  s->style = style;
  s->calls++;
  return s->answer;
}

TEST(MessageBoxTest, HookGetsTheCallAndItsAnswerIsReturned) {
  Seen seen;
  seen.answer = IDCANCEL;
  NxSetMessageBoxHook(Recorder, &seen);
  HWND owner = reinterpret_cast<HWND>(0x1234);
  int r = MessageBoxW(owner, u"Введите Фамилию,имя,отчество\r\nи регистрационный номер!", u"  Внимание!!!",
                      MB_RETRYCANCEL | MB_ICONWARNING);
  EXPECT_EQ(r, IDCANCEL);
  EXPECT_EQ(seen.owner, owner);
  EXPECT_EQ(seen.caption, u"  Внимание!!!");
  EXPECT_EQ(seen.text, u"Введите Фамилию,имя,отчество\r\nи регистрационный номер!");
  EXPECT_EQ(seen.style, MB_RETRYCANCEL | MB_ICONWARNING);
  // The A form arrives converted from UTF-8; a null caption becomes the default one.
  MessageBoxA(nullptr, "Готово", nullptr, MB_OK);
  EXPECT_EQ(seen.text, u"Готово");
  EXPECT_EQ(seen.caption, u"Ошибка");
  // Unknown button bits never reach the hook.
  EXPECT_EQ(MessageBoxW(nullptr, u"x", u"y", 7), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(seen.calls, 2);
  EXPECT_EQ(NxSetMessageBoxHook(nullptr, nullptr), &Recorder);
}

TEST(MessageBoxTest, WithoutHookWritesToStderrAndAnswersTheDefaultButton) {
  NxSetMessageBoxHook(nullptr, nullptr);
  testing::internal::CaptureStderr();
  int r = MessageBoxW(nullptr, u"Строка 1\r\nСтрока 2", u"Внимание!", MB_YESNOCANCEL | MB_DEFBUTTON2);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(r, IDNO);
  EXPECT_EQ(err, "Внимание!: Строка 1\nСтрока 2\n");

  struct Case {
    UINT style;
    int expected;
  } cases[] = {
      {MB_OK, IDOK},
      {MB_OK | MB_DEFBUTTON3, IDOK},  // beyond the buttons: the first
      {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON3, IDIGNORE},
      {MB_YESNO, IDYES},
      {MB_RETRYCANCEL, IDRETRY},
      {MB_CANCELTRYCONTINUE | MB_DEFBUTTON3, IDCONTINUE},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxW(nullptr, u"t", u"c", c.style | MB_ICONHAND), c.expected) << std::hex << c.style;
    testing::internal::GetCapturedStderr();
  }
  int ids[3];
  int def = 0;
  EXPECT_EQ(NxMessageBoxButtons(MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, ids, &def), 3);
  EXPECT_EQ(ids[0], IDABORT);
  EXPECT_EQ(ids[2], IDIGNORE);
  EXPECT_EQ(def, IDRETRY);
}

}  // namespace

TEST(MessageBoxTest, IndirectFormTakesTextsFromTheModuleAndDropsAUserIcon) {
  Seen seen;
  seen.answer = IDNO;
  NxSetMessageBoxHook(Recorder, &seen);
  MSGBOXPARAMSW params{};
  params.cbSize = sizeof(params);
  params.hwndOwner = reinterpret_cast<HWND>(0x42);
  params.hInstance = NxThisModule();
  params.lpszText = MAKEINTRESOURCEW(130);
  params.lpszCaption = MAKEINTRESOURCEW(131);
  params.dwStyle = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
  EXPECT_EQ(MessageBoxIndirectW(&params), IDNO);
  EXPECT_EQ(seen.owner, params.hwndOwner);
  EXPECT_EQ(seen.text, u"Карта будет очищена. Продолжить?");
  EXPECT_EQ(seen.caption, u"Инициализация");
  EXPECT_EQ(seen.style, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);

  // Plain strings pass through; an id without a string is an empty text; a null
  // caption is the default one; a user icon leaves the box without a standard icon.
  params.lpszText = MAKEINTRESOURCEW(999);
  params.lpszCaption = nullptr;
  params.dwStyle = MB_OK | MB_USERICON;
  MessageBoxIndirectW(&params);
  EXPECT_EQ(seen.text, u"");
  EXPECT_EQ(seen.caption, u"Ошибка");
  EXPECT_EQ(seen.style, MB_OK);

  // A record of the wrong size, or none, is refused before the hook.
  params.cbSize = 40;
  EXPECT_EQ(MessageBoxIndirectW(&params), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MessageBoxIndirectW(nullptr), 0);
  EXPECT_EQ(seen.calls, 2);
  NxSetMessageBoxHook(nullptr, nullptr);
}
