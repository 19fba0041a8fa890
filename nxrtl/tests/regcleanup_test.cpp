// Tests of nxRegCleanupKeyW: whole trees removed, siblings kept, and the count that
// tells the caller whether it may delete the parent.
#include <gtest/gtest.h>

#include "nxtest/temp.h"

#include <unistd.h>

#include <filesystem>
#include <string>

#include "nxrtl/nxrtl.h"

namespace {

class RegCleanup : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = Create(HKEY_LOCAL_MACHINE, u"Software\\Veltrak\\DataProviders");
  }
  void TearDown() override {
    RegCloseKey(root_);
  }
  static HKEY Create(HKEY parent, const std::u16string& path) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    return k;
  }
  static void AddValues(HKEY parent, const std::u16string& path) {
    HKEY k = Create(parent, path);
    DWORD v = 1;
    EXPECT_EQ(RegSetValueExW(k, nullptr, 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(k, u"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"x"), 4), ERROR_SUCCESS);
    RegCloseKey(k);
  }
  static bool Exists(HKEY parent, const std::u16string& path) {
    HKEY k = nullptr;
    LONG rc = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &k);
    if (rc == ERROR_SUCCESS) RegCloseKey(k);
    return rc == ERROR_SUCCESS;
  }
  // Target with values on every level, three levels below it, and two branches.
  void BuildTree() {
    for (const char16_t* p : {u"{T}", u"{T}\\Level1", u"{T}\\Level1\\Level2", u"{T}\\Level1\\Level2\\Level3",
                              u"{T}\\Level1\\Other2", u"{T}\\Side"})
      AddValues(root_, p);
  }

  nxtest::TempRegistry registry_;
  HKEY root_ = nullptr;
};

TEST_F(RegCleanup, RemovesTheWholeTreeAndReportsAnEmptyParent) {
  BuildTree();
  EXPECT_EQ(nxRegCleanupKeyW(root_, u"{t}"), 0u) << "names are case-insensitive";
  EXPECT_FALSE(Exists(root_, u"{T}"));
  DWORD subKeys = 9, values = 9;
  ASSERT_EQ(RegQueryInfoKeyW(root_, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  // The caller may now delete the parent itself, which it could not with a subkey left.
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Veltrak\\DataProviders"), ERROR_SUCCESS);
}

TEST_F(RegCleanup, SiblingsStayAndAreCounted) {
  BuildTree();
  AddValues(root_, u"{Sibling}");
  AddValues(root_, u"{Sibling}\\Child");
  AddValues(root_, u"{Another}");
  EXPECT_EQ(nxRegCleanupKeyW(root_, u"{T}"), 2u);
  EXPECT_FALSE(Exists(root_, u"{T}"));
  EXPECT_TRUE(Exists(root_, u"{Sibling}\\Child"));
  HKEY sib = nullptr;
  ASSERT_EQ(RegOpenKeyExW(root_, u"{Sibling}", 0, KEY_READ, &sib), ERROR_SUCCESS);
  DWORD cb = 0;
  EXPECT_EQ(RegQueryValueExW(sib, u"Name", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  RegCloseKey(sib);
  EXPECT_EQ(nxRegCleanupKeyW(root_, u"{Sibling}"), 1u);
  EXPECT_EQ(nxRegCleanupKeyW(root_, u"{Another}"), 0u);
}

TEST_F(RegCleanup, MissingOrNullNameRemovesNothing) {
  AddValues(root_, u"{Keep}");
  EXPECT_EQ(nxRegCleanupKeyW(root_, u"{Absent}"), 1u);
  EXPECT_EQ(nxRegCleanupKeyW(root_, nullptr), 1u);
  EXPECT_EQ(nxRegCleanupKeyW(root_, u""), 1u) << "an empty name never means the key itself";
  EXPECT_TRUE(Exists(root_, u"{Keep}"));
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"Software\\Veltrak\\DataProviders"));
}

TEST_F(RegCleanup, UnreadableCountIsNonZero) {
  EXPECT_NE(nxRegCleanupKeyW(nullptr, u"{T}"), 0u);
  HKEY closed = Create(HKEY_LOCAL_MACHINE, u"Software\\Closed");
  RegCloseKey(closed);
  EXPECT_NE(nxRegCleanupKeyW(closed, u"x"), 0u);
  // A handle that may not read its key's information.
  HKEY writeOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Closed", 0, KEY_SET_VALUE, &writeOnly), ERROR_SUCCESS);
  EXPECT_NE(nxRegCleanupKeyW(writeOnly, u"x"), 0u);
  RegCloseKey(writeOnly);
  // A key deleted under the handle.
  HKEY gone = Create(HKEY_LOCAL_MACHINE, u"Software\\Gone");
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Gone"), ERROR_SUCCESS);
  EXPECT_NE(nxRegCleanupKeyW(gone, u"x"), 0u);
  RegCloseKey(gone);
}

}  // namespace
