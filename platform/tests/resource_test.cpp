// Module resources: module handles, strings and icons of a dlopen'ed library against
// those of the test program itself, truncation, missing ids, scaled icons, icon handles.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nxpal/windows.h"

#ifndef NX_TEST_RESMOD
#error "the build passes the path of the resource test library"
#endif

namespace {

// Premultiplied 0xAARRGGBB values of the test icons' colours (make_test_icon.cpp).
constexpr DWORD kRed = 0xFFFF0000;  // bands, top half
constexpr DWORD kHalfGreen = 0x80008000;  // bands, bottom half: green at alpha 128
constexpr DWORD kBlue = 0xFF0000FF;  // split, left half
constexpr DWORD kClear = 0x00000000;  // split, right half
constexpr DWORD kGreen = 0xFF00FF00;  // the program's own icon

const char16_t kInfo[] = u"Информация о пациенте";

std::vector<DWORD> PixelsOf(HICON icon, int* w, int* h) {
  *w = *h = -1;
  std::vector<DWORD> px;
  if (!NxGetIconPixels(icon, w, h, nullptr, 0)) return px;
  px.resize(static_cast<size_t>(*w) * *h);
  if (!NxGetIconPixels(icon, w, h, px.data(), static_cast<DWORD>(px.size()))) px.clear();
  return px;
}

// Each test loads the library afresh and unloads it at the end.
class ResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = dlopen(NX_TEST_RESMOD, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    auto self = reinterpret_cast<HMODULE (*)()>(dlsym(lib_, "ResourceTestModule"));
    ASSERT_NE(self, nullptr);
    module_ = self();
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (lib_) dlclose(lib_);
  }
  void* lib_ = nullptr;
  HMODULE module_ = nullptr;
};

TEST_F(ResourceTest, ModuleHandles) {
  HMODULE program = GetModuleHandleW(nullptr);
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(NxThisModule(), program);  // evaluated here, in the program
  EXPECT_NE(module_, program);
  EXPECT_EQ(GetModuleHandleW(u"libnxpal_test_resmod.so"), module_);
  std::u16string full = nx::Utf8ToUtf16(NX_TEST_RESMOD);
  EXPECT_EQ(GetModuleHandleW(full.c_str()), module_);

  HMODULE found = nullptr;
  void* fn = dlsym(lib_, "ResourceTestModule");
  EXPECT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(fn), &found));
  EXPECT_EQ(found, module_);
  static const char here = 0;
  EXPECT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&here), &found));
  EXPECT_EQ(found, program);
  EXPECT_NE(GetModuleHandleW(u"libnxpal.so"), nullptr);
  EXPECT_NE(GetModuleHandleW(u"libnxpal.so"), module_);
  // The platform library is loaded by its versioned name (libnxpal.so.1); its link name
  // names it too, but nothing shorter, longer, of another version or in another folder.
  HMODULE pal = GetModuleHandleW(u"libnxpal.so");
  EXPECT_EQ(GetModuleHandleW(u"libnxpal.so.1"), pal);
  for (const char16_t* other : {u"libnxpal", u"libnxpa.so", u"libnxpal.so.", u"libnxpal.so.1x", u"libnxpal.so.2",
                                u"/nowhere/libnxpal.so", u"libnxpal.so.1.0"})
    EXPECT_EQ(GetModuleHandleW(other), nullptr) << nx::Utf16ToUtf8(other);

  SetLastError(0);
  EXPECT_EQ(GetModuleHandleW(u"libnothing_here.so"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  found = module_;
  EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  nullptr, &found));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(found, nullptr);
  EXPECT_FALSE(GetModuleHandleExW(0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ResourceTest, EachModuleHasItsOwnStrings) {
  WCHAR buf[128];
  ASSERT_EQ(LoadStringW(module_, 1, buf, 128), 21);
  EXPECT_EQ(std::u16string(buf), kInfo);
  ASSERT_EQ(LoadStringW(NxThisModule(), 1, buf, 128), 22);
  EXPECT_EQ(std::u16string(buf), u"The program's own text");
  ASSERT_EQ(LoadStringW(nullptr, 1, buf, 128), 22);  // NULL is the program
  EXPECT_EQ(std::u16string(buf), u"The program's own text");

  // Blanks at both ends, escapes and characters outside the BMP arrive unchanged.
  ASSERT_EQ(LoadStringW(module_, 2, buf, 128), 11);
  EXPECT_EQ(std::u16string(buf), u"  Внимание!");
  ASSERT_GT(LoadStringW(module_, 3, buf, 128), 0);
  EXPECT_EQ(std::u16string(buf), u"Программа закрывается без сохранения введенных данных ");
  ASSERT_GT(LoadStringW(module_, 4, buf, 128), 0);
  EXPECT_EQ(std::u16string(buf), u"Line one\r\nline two\t\"quoted\" back\\slash Я");
  EXPECT_EQ(LoadStringW(module_, 5, buf, 128), 5);  // the emoji is a surrogate pair
  EXPECT_EQ(std::u16string(buf), u"Ёж 😀");

  char narrow[128];
  const char* info8 = reinterpret_cast<const char*>(u8"Информация о пациенте");
  ASSERT_EQ(LoadStringA(module_, 1, narrow, 128), static_cast<int>(std::strlen(info8)));
  EXPECT_STREQ(narrow, info8);
  ASSERT_EQ(LoadStringA(nullptr, 1, narrow, 128), 22);
  EXPECT_STREQ(narrow, "The program's own text");
}

TEST_F(ResourceTest, StringsAreCutAndTerminated) {
  WCHAR buf[8];
  std::memset(buf, 0x55, sizeof(buf));
  EXPECT_EQ(LoadStringW(module_, 1, buf, 6), 5);
  EXPECT_EQ(std::u16string(buf), u"Инфор");
  EXPECT_EQ(buf[6], 0x5555);  // nothing written past the buffer size
  EXPECT_EQ(LoadStringW(module_, 1, buf, 1), 0);
  EXPECT_EQ(buf[0], 0);

  // The A form counts bytes and never cuts a character in half.
  char narrow[8];
  std::memset(narrow, 0x55, sizeof(narrow));
  EXPECT_EQ(LoadStringA(module_, 1, narrow, 6), 4);
  EXPECT_STREQ(narrow, reinterpret_cast<const char*>(u8"Ин"));
  EXPECT_EQ(LoadStringA(module_, 5, narrow, 8), 5);  // "Ёж " is 5 bytes; the emoji's 4 do not fit
  EXPECT_STREQ(narrow, reinterpret_cast<const char*>(u8"Ёж "));
  EXPECT_EQ(LoadStringA(module_, 1, narrow, 2), 0);
  EXPECT_EQ(narrow[0], 0);

  // cchBufferMax 0: a read-only pointer into the module and the full length.
  const WCHAR* text = nullptr;
  EXPECT_EQ(LoadStringW(module_, 1, reinterpret_cast<LPWSTR>(&text), 0), 21);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string_view(text, 21), kInfo);
  HMODULE owner = nullptr;
  EXPECT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, text, &owner));
  EXPECT_EQ(owner, module_);
}

TEST_F(ResourceTest, StringFailures) {
  WCHAR buf[16];
  char narrow[16];
  SetLastError(0);
  EXPECT_EQ(LoadStringW(module_, 9999, buf, 16), 0);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  SetLastError(0);
  EXPECT_EQ(LoadStringA(module_, 256 + 1, narrow, 16), 0);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  // Id 256 exists in the library only.
  EXPECT_EQ(LoadStringW(module_, 256, buf, 16), 5);
  EXPECT_EQ(LoadStringW(nullptr, 256, buf, 16), 0);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  // A module without resources.
  EXPECT_EQ(LoadStringW(GetModuleHandleW(u"libnxpal.so"), 1, buf, 16), 0);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
  EXPECT_EQ(LoadStringW(module_, 1, nullptr, 16), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LoadStringW(module_, 1, buf, -1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LoadStringA(module_, 1, narrow, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ResourceTest, IconsAtEmbeddedAndScaledSizes) {
  int w = 0, h = 0;
  // 16: the 16-pixel image as drawn, with its alpha premultiplied.
  HICON i16 = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
  ASSERT_NE(i16, nullptr);
  auto px = PixelsOf(i16, &w, &h);
  ASSERT_EQ(w, 16);
  ASSERT_EQ(h, 16);
  EXPECT_EQ(px[0], kRed);
  EXPECT_EQ(px[7 * 16 + 15], kRed);
  EXPECT_EQ(px[8 * 16], kHalfGreen);
  EXPECT_EQ(px[15 * 16 + 15], kHalfGreen);

  // 32: the other image.
  HICON i32 = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_ICON, 32, 32, 0));
  ASSERT_NE(i32, nullptr);
  px = PixelsOf(i32, &w, &h);
  ASSERT_EQ(w, 32);
  EXPECT_EQ(px[0], kBlue);
  EXPECT_EQ(px[31 * 32 + 15], kBlue);
  EXPECT_EQ(px[31 * 32 + 16], kClear);

  // 24: the 32-pixel image shrunk; its halves meet exactly between columns 11 and 12.
  HICON i24 = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_ICON, 24, 24, 0));
  ASSERT_NE(i24, nullptr);
  px = PixelsOf(i24, &w, &h);
  ASSERT_EQ(w, 24);
  ASSERT_EQ(h, 24);
  for (int y : {0, 13, 23}) {
    EXPECT_EQ(px[static_cast<size_t>(y) * 24 + 0], kBlue);
    EXPECT_EQ(px[static_cast<size_t>(y) * 24 + 11], kBlue);
    EXPECT_EQ(px[static_cast<size_t>(y) * 24 + 12], kClear);
    EXPECT_EQ(px[static_cast<size_t>(y) * 24 + 23], kClear);
  }

  // 21 from 32 (by name "#128"): the middle column straddles the edge and is blue
  // at half coverage; its neighbours are whole.
  HICON i21 = static_cast<HICON>(LoadImageW(module_, u"#128", IMAGE_ICON, 21, 21, 0));
  ASSERT_NE(i21, nullptr);
  px = PixelsOf(i21, &w, &h);
  ASSERT_EQ(w, 21);
  EXPECT_EQ(px[5 * 21 + 9], kBlue);
  EXPECT_EQ(px[5 * 21 + 11], kClear);
  DWORD edge = px[5 * 21 + 10];
  EXPECT_GE(edge >> 24, 127u);
  EXPECT_LE(edge >> 24, 128u);
  EXPECT_EQ(edge & 0xFFFFFF, edge >> 24);  // premultiplied blue: blue equals alpha

  // 32 from an icon that has only 16 pixels: enlarged, the bands stay apart away from the middle.
  HICON up = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(129), IMAGE_ICON, 32, 32, 0));
  ASSERT_NE(up, nullptr);
  px = PixelsOf(up, &w, &h);
  ASSERT_EQ(w, 32);
  EXPECT_EQ(px[0], kRed);
  EXPECT_EQ(px[31 * 32 + 31], kHalfGreen);
  DWORD middle = px[16 * 32];  // between the bands: a blend
  EXPECT_GT(middle >> 24, 0x80u);
  EXPECT_LT(middle >> 24, 0xFFu);

  // Size 0: the image chosen for 32 at its own size; LR_DEFAULTSIZE: 32.
  HICON own = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(129), IMAGE_ICON, 0, 0, 0));
  ASSERT_TRUE(NxGetIconPixels(own, &w, &h, nullptr, 0));
  EXPECT_EQ(w, 16);
  HICON def = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(129), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
  ASSERT_TRUE(NxGetIconPixels(def, &w, &h, nullptr, 0));
  EXPECT_EQ(w, 32);

  // The program's own icon 128 is another picture.
  HICON mine = static_cast<HICON>(LoadImageW(nullptr, MAKEINTRESOURCEW(128), IMAGE_ICON, 16, 16, 0));
  EXPECT_EQ(mine, nullptr);  // NULL is no module for icons (Windows: system icons)
  mine = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128), IMAGE_ICON, 16, 16, 0));
  ASSERT_NE(mine, nullptr);
  px = PixelsOf(mine, &w, &h);
  EXPECT_EQ(px[0], kGreen);

  for (HICON icon : {i16, i32, i24, i21, up, own, def, mine}) EXPECT_TRUE(DestroyIcon(icon));
}

TEST_F(ResourceTest, IconHandlesAreChecked) {
  HICON icon = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_ICON, 16, 16, 0));
  ASSERT_NE(icon, nullptr);
  int w = 0, h = 0;
  DWORD small[4];
  EXPECT_FALSE(NxGetIconPixels(icon, &w, &h, small, 4));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(w, 16);  // the size is given all the same
  EXPECT_FALSE(NxGetIconPixels(icon, nullptr, &h, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  EXPECT_TRUE(DestroyIcon(icon));
  SetLastError(0);
  EXPECT_FALSE(DestroyIcon(icon));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ICON_HANDLE);
  EXPECT_FALSE(NxGetIconPixels(icon, &w, &h, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ICON_HANDLE);
  // A later icon does not bring an old handle back to life.
  HICON next = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_ICON, 16, 16, 0));
  ASSERT_NE(next, nullptr);
  EXPECT_NE(next, icon);
  EXPECT_FALSE(NxGetIconPixels(icon, &w, &h, nullptr, 0));
  EXPECT_TRUE(DestroyIcon(next));
  for (HICON bad : {static_cast<HICON>(nullptr), reinterpret_cast<HICON>(0x1234), reinterpret_cast<HICON>(&w)}) {
    EXPECT_FALSE(DestroyIcon(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ICON_HANDLE);
  }

  // Loading failures.
  EXPECT_EQ(LoadImageW(module_, MAKEINTRESOURCEW(130), IMAGE_ICON, 16, 16, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_EQ(LoadImageW(module_, u"#12x", IMAGE_ICON, 16, 16, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_EQ(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_BITMAP, 16, 16, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_ICON, -1, 16, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_ICON, NX_MAX_ICON_SIZE + 1, 16, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LoadImageW(GetModuleHandleW(u"libnxpal.so"), MAKEINTRESOURCEW(128), IMAGE_ICON, 16, 16, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
}

TEST_F(ResourceTest, SharedIconsLiveWithTheirModule) {
  HICON a = LoadIconW(module_, MAKEINTRESOURCEW(128));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(LoadIconW(module_, MAKEINTRESOURCEW(128)), a);
  int w = 0, h = 0;
  ASSERT_TRUE(NxGetIconPixels(a, &w, &h, nullptr, 0));
  EXPECT_EQ(w, NX_DEFAULT_ICON_SIZE);
  EXPECT_TRUE(DestroyIcon(a));  // leaves a shared icon alone
  EXPECT_TRUE(NxGetIconPixels(a, &w, &h, nullptr, 0));
  HICON own = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_ICON, 16, 16, 0));
  ASSERT_NE(own, nullptr);

  // Unloading the library forgets its resources and its shared icons; icons the caller
  // owns stay usable.
  ASSERT_EQ(dlclose(lib_), 0);
  lib_ = nullptr;
  ASSERT_EQ(dlopen(NX_TEST_RESMOD, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library stayed loaded";
  WCHAR buf[16];
  EXPECT_EQ(LoadStringW(module_, 1, buf, 16), 0);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
  EXPECT_FALSE(NxGetIconPixels(a, &w, &h, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ICON_HANDLE);
  auto px = PixelsOf(own, &w, &h);
  ASSERT_EQ(px.size(), 256u);
  EXPECT_EQ(px[0], kRed);
  EXPECT_TRUE(DestroyIcon(own));
}

// Threads that race for the same shared icon all get the one handle, and strings load
// meanwhile.
TEST_F(ResourceTest, SharedIconsUnderConcurrentLoads) {
  constexpr int kThreads = 4;
  HICON got[kThreads] = {};
  int lengths[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      got[t] = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_ICON, 24, 24, LR_SHARED));
      WCHAR buf[64];
      lengths[t] = LoadStringW(module_, 1, buf, 64);
    });
  for (auto& th : threads) th.join();
  ASSERT_NE(got[0], nullptr);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(got[t], got[0]);
    EXPECT_EQ(lengths[t], 21);
  }
  // A shared icon of another size is another icon.
  HICON other = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(128), IMAGE_ICON, 16, 16, LR_SHARED));
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, got[0]);
}

TEST(ResourceRegistrationTest, RefusesBadTablesAndStrangers) {
  static const WCHAR kA[] = u"a";
  static const WCHAR kB[] = u"b";
  static const NxStringResource kUnsorted[] = {{2, 1, kA}, {1, 1, kB}};
  NxModuleResources bad{NX_MODULE_RESOURCES_VERSION, 2, kUnsorted, 0, nullptr};
  HMODULE fake = reinterpret_cast<HMODULE>(0x1000);
  EXPECT_FALSE(NxRegisterModuleResources(fake, &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  NxModuleResources old{NX_MODULE_RESOURCES_VERSION + 1, 0, nullptr, 0, nullptr};
  EXPECT_FALSE(NxRegisterModuleResources(fake, &old));

  // The program's table is registered already; a second one is refused, and only the
  // registered table can be taken away.
  static const NxStringResource kOne[] = {{1, 1, kA}};
  NxModuleResources other{NX_MODULE_RESOURCES_VERSION, 1, kOne, 0, nullptr};
  EXPECT_FALSE(NxRegisterModuleResources(GetModuleHandleW(nullptr), &other));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(NxUnregisterModuleResources(GetModuleHandleW(nullptr), &other));
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
  WCHAR buf[32];
  EXPECT_EQ(LoadStringW(nullptr, 1, buf, 32), 22);

  // A table registered by hand works like a generated one and can be withdrawn.
  ASSERT_TRUE(NxRegisterModuleResources(fake, &other));
  EXPECT_EQ(LoadStringW(fake, 1, buf, 32), 1);
  EXPECT_TRUE(NxUnregisterModuleResources(fake, &other));
  EXPECT_EQ(LoadStringW(fake, 1, buf, 32), 0);
}

}  // namespace
