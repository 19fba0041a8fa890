// Popup menus: insertion by position and by command, separators, item state and text,
// and the refusal of dead handles and of item kinds the layer does not keep.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "nxpal/windows.h"

namespace {

// The command ids of the menu's items in order (0 for separators).
std::vector<UINT> Ids(HMENU menu) {
  std::vector<UINT> ids;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) ids.push_back(GetMenuItemID(menu, i));
  return ids;
}

std::u16string Text(HMENU menu, UINT item, UINT how) {
  WCHAR buffer[32];
  int n = GetMenuStringW(menu, item, buffer, 32, how);
  return std::u16string(buffer, static_cast<size_t>(n));
}

TEST(MenuTest, InsertsByPositionAndByCommand) {
  HMENU menu = CreatePopupMenu();
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(GetMenuItemCount(menu), 0);

  ASSERT_TRUE(AppendMenuW(menu, MF_STRING, 10, u"Ten"));
  ASSERT_TRUE(InsertMenuW(menu, 0, MF_BYPOSITION | MF_STRING, 5, u"Five"));
  ASSERT_TRUE(InsertMenuW(menu, 1, MF_BYPOSITION | MF_SEPARATOR, 77, u"ignored"));
  ASSERT_TRUE(InsertMenuW(menu, 99, MF_BYPOSITION, 20, u"Twenty")) << "past the end appends";
  ASSERT_TRUE(InsertMenuW(menu, static_cast<UINT>(-1), MF_BYPOSITION, 30, nullptr));
  ASSERT_TRUE(InsertMenuW(menu, 20, MF_BYCOMMAND, 15, u"Fifteen")) << "before the item with id 20";
  EXPECT_EQ(Ids(menu), (std::vector<UINT>{5, 0, 10, 15, 20, 30}));

  EXPECT_EQ(GetMenuState(menu, 1, MF_BYPOSITION), MF_SEPARATOR);
  EXPECT_EQ(GetMenuState(menu, 10, MF_BYCOMMAND), 0u);
  EXPECT_EQ(Text(menu, 15, MF_BYCOMMAND), u"Fifteen");
  EXPECT_EQ(Text(menu, 0, MF_BYPOSITION), u"Five");
  EXPECT_EQ(Text(menu, 1, MF_BYPOSITION), u"") << "a separator keeps no text";
  EXPECT_EQ(Text(menu, 30, MF_BYCOMMAND), u"");

  SetLastError(0);
  EXPECT_FALSE(InsertMenuW(menu, 99, MF_BYCOMMAND, 1, u"x"));
  EXPECT_EQ(GetLastError(), ERROR_MENU_ITEM_NOT_FOUND);
  EXPECT_FALSE(InsertMenuW(menu, 0, MF_BYCOMMAND, 1, u"x")) << "separators are not found by command";
  EXPECT_EQ(GetMenuItemCount(menu), 6);
  EXPECT_TRUE(DestroyMenu(menu));
}

TEST(MenuTest, KeepsStateAndCutsTextToTheBuffer) {
  HMENU menu = CreatePopupMenu();
  ASSERT_TRUE(AppendMenuW(menu, MF_GRAYED | MF_CHECKED, 1, u"Long text"));
  ASSERT_TRUE(AppendMenuW(menu, MF_DISABLED, 2, u"B"));
  EXPECT_EQ(GetMenuState(menu, 1, MF_BYCOMMAND), MF_GRAYED | MF_CHECKED);
  EXPECT_EQ(GetMenuState(menu, 1, MF_BYPOSITION), MF_DISABLED);
  EXPECT_EQ(GetMenuState(menu, 2, MF_BYPOSITION), static_cast<UINT>(-1));
  EXPECT_EQ(GetMenuState(menu, 3, MF_BYCOMMAND), static_cast<UINT>(-1));

  WCHAR buffer[5] = {u'?', u'?', u'?', u'?', u'?'};
  EXPECT_EQ(GetMenuStringW(menu, 1, buffer, 5, MF_BYCOMMAND), 4);
  EXPECT_EQ(std::u16string(buffer), u"Long");
  EXPECT_EQ(GetMenuStringW(menu, 1, nullptr, 0, MF_BYCOMMAND), 9) << "null buffer: the length";
  EXPECT_EQ(GetMenuStringW(menu, 1, buffer, 0, MF_BYCOMMAND), 0);
  EXPECT_EQ(GetMenuItemID(menu, 2), static_cast<UINT>(-1));
  EXPECT_EQ(GetMenuItemID(menu, -1), static_cast<UINT>(-1));
  EXPECT_TRUE(DestroyMenu(menu));
}

TEST(MenuTest, RefusesWhatItDoesNotKeep) {
  HMENU menu = CreatePopupMenu();
  SetLastError(0);
  EXPECT_FALSE(AppendMenuW(menu, 0x10 /* MF_POPUP */, 0, u"sub"));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(AppendMenuW(menu, 0x100 /* MF_OWNERDRAW */, 1, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(AppendMenuW(menu, MF_STRING, 0x10000, u"too big"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetMenuItemCount(menu), 0);
  EXPECT_TRUE(DestroyMenu(menu));
}

TEST(MenuTest, DeadAndInventedHandlesAreRefused) {
  HMENU menu = CreatePopupMenu();
  HMENU other = CreatePopupMenu();
  EXPECT_NE(menu, other);
  ASSERT_TRUE(DestroyMenu(menu));
  HMENU invented = reinterpret_cast<HMENU>(reinterpret_cast<uintptr_t>(other) + 1);
  for (HMENU bad : {menu, invented, static_cast<HMENU>(nullptr)}) {
    SetLastError(0);
    EXPECT_FALSE(DestroyMenu(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_MENU_HANDLE);
    SetLastError(0);
    EXPECT_EQ(GetMenuItemCount(bad), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_MENU_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(AppendMenuW(bad, MF_STRING, 1, u"x"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_MENU_HANDLE);
    SetLastError(0);
    EXPECT_EQ(GetMenuItemID(bad, 0), static_cast<UINT>(-1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_MENU_HANDLE);
    EXPECT_EQ(GetMenuState(bad, 0, MF_BYPOSITION), static_cast<UINT>(-1));
    EXPECT_EQ(GetMenuStringW(bad, 0, nullptr, 0, MF_BYPOSITION), 0);
  }
  HMENU fresh = CreatePopupMenu();
  EXPECT_NE(fresh, menu) << "handle values are never reused";
  EXPECT_TRUE(DestroyMenu(fresh));
  EXPECT_TRUE(DestroyMenu(other));
}

TEST(MenuTest, MenusOfSeveralThreadsStayApart) {
  constexpr int kThreads = 4;
  constexpr int kItems = 200;
  std::vector<HMENU> menus(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&menus, t] {
      menus[t] = CreatePopupMenu();
      for (int i = 0; i < kItems; ++i) AppendMenuW(menus[t], MF_STRING, static_cast<UINT_PTR>(t * 1000 + i), u"item");
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(GetMenuItemCount(menus[t]), kItems);
    EXPECT_EQ(GetMenuItemID(menus[t], kItems - 1), static_cast<UINT>(t * 1000 + kItems - 1));
    EXPECT_TRUE(DestroyMenu(menus[t]));
  }
}

}  // namespace
