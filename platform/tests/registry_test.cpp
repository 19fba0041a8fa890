// Tests of the registry: Win32 results and rules, the A/W forms, and the hive files under
// several processes, a reader without write permission and a writer killed mid-change.
#include <dlfcn.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nxtest/temp.h"
#include "nxtest/wait.h"

#include "nxpal/bytes.h"
#include "nxpal/registry.h"
#include "nxpal/regvalue.h"
#include "nxpal/text.h"

namespace {

using Bytes = std::vector<BYTE>;

std::string U8(std::u16string_view s) { return nx::Utf16ToUtf8(s); }

Bytes Raw(const void* p, size_t n) {
  auto* b = static_cast<const BYTE*>(p);
  return Bytes(b, b + n);
}
Bytes WideBytes(std::u16string_view s, bool withNull) {
  Bytes b = Raw(s.data(), s.size() * 2);
  if (withNull) b.insert(b.end(), {0, 0});
  return b;
}

// Each test gets its own hive folder.
class Registry : public ::testing::Test {
 protected:
  void TearDown() override {
    for (HKEY k : open_) RegCloseKey(k);
  }

  HKEY Create(HKEY root, std::u16string_view path, REGSAM sam = KEY_ALL_ACCESS) {
    HKEY k = nullptr;
    std::u16string p(path);
    EXPECT_EQ(RegCreateKeyExW(root, p.c_str(), 0, nullptr, 0, sam, nullptr, &k, nullptr), ERROR_SUCCESS) << U8(path);
    open_.push_back(k);
    return k;
  }
  LONG Open(HKEY root, std::u16string_view path, HKEY* k, REGSAM sam = KEY_READ) {
    std::u16string p(path);
    LONG rc = RegOpenKeyExW(root, p.c_str(), 0, sam, k);
    if (rc == ERROR_SUCCESS) open_.push_back(*k);
    return rc;
  }
  static LONG Set(HKEY k, const char16_t* name, DWORD type, const Bytes& data) {
    return RegSetValueExW(k, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
  }
  static LONG SetDword(HKEY k, const char16_t* name, DWORD v) {
    return RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
  }
  // Whole value through the two-call protocol (size, then data).
  static LONG Get(HKEY k, const char16_t* name, Bytes* out, DWORD* type = nullptr) {
    DWORD cb = 0;
    LONG rc = RegQueryValueExW(k, name, nullptr, type, nullptr, &cb);
    if (rc != ERROR_SUCCESS) return rc;
    out->assign(cb, 0xEE);
    rc = RegQueryValueExW(k, name, nullptr, type, out->data(), &cb);
    out->resize(cb);
    return rc;
  }
  static std::vector<std::string> SubKeys(HKEY k) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char16_t buf[256];
      DWORD cch = 256;
      LONG rc = RegEnumKeyExW(k, i, buf, &cch, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      EXPECT_EQ(rc, ERROR_SUCCESS);
      if (rc != ERROR_SUCCESS) break;
      names.push_back(U8(std::u16string_view(buf, cch)));
    }
    return names;
  }
  static std::vector<std::string> ValueNames(HKEY k) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char16_t buf[256];
      DWORD cch = 256;
      LONG rc = RegEnumValueW(k, i, buf, &cch, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      EXPECT_EQ(rc, ERROR_SUCCESS);
      if (rc != ERROR_SUCCESS) break;
      names.push_back(U8(std::u16string_view(buf, cch)));
    }
    return names;
  }

  nxtest::TempRegistry registry_;
  const std::string dir_ = registry_.Dir();
  std::vector<HKEY> open_;
};

// ---- keys: creation, opening, names ----------------------------------------------------

TEST_F(Registry, CreateMakesIntermediateKeysAndReportsDisposition) {
  HKEY k = nullptr;
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Veltrak\\Devices\\VR03", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
  RegCloseKey(k);
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"software\\VELTRAK\\devices\\vr03\\", 0, nullptr, 0, KEY_READ,
                            nullptr, &k, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
  RegCloseKey(k);

  HKEY mid = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Veltrak", &mid), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(mid), std::vector<std::string>{"Devices"});  // case as first written
  ASSERT_EQ(RegCreateKeyExW(mid, u"Devices\\FCI", 0, nullptr, 0, KEY_READ, nullptr, &k, &disp), ERROR_ACCESS_DENIED)
      << "a handle without KEY_CREATE_SUB_KEY creates nothing";
  EXPECT_EQ(k, nullptr);
  ASSERT_EQ(RegCreateKeyExW(mid, u"devices", 0, nullptr, 0, KEY_READ, nullptr, &k, &disp), ERROR_SUCCESS)
      << "but may open an existing key";
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
  RegCloseKey(k);
}

TEST_F(Registry, OpenReportsMissingKeysAndBadPaths) {
  Create(HKEY_LOCAL_MACHINE, u"Software\\A");
  HKEY k = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\B", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(k, nullptr) << "the result is cleared on failure";
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Software", 0, KEY_READ, &k), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\\\A", 0, KEY_READ, &k), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0x100, KEY_READ, &k), ERROR_INVALID_PARAMETER);
  std::u16string longName(256, u'x');
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, longName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_INVALID_PARAMETER);
  longName.pop_back();  // 255 is the longest name
  HKEY ok = Create(HKEY_LOCAL_MACHINE, longName);
  EXPECT_NE(ok, nullptr);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_INVALID_PARAMETER);

  // An empty or null subkey gives a new handle to the same key; on a predefined key, the key itself.
  HKEY a = Create(HKEY_LOCAL_MACHINE, u"Software\\A");
  HKEY again = nullptr;
  ASSERT_EQ(Open(a, u"", &again, KEY_ALL_ACCESS), ERROR_SUCCESS);
  EXPECT_NE(again, a);
  ASSERT_EQ(SetDword(again, u"x", 5), ERROR_SUCCESS);
  Bytes got;
  EXPECT_EQ(Get(a, u"x", &got), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &k), ERROR_SUCCESS);
  EXPECT_EQ(k, HKEY_CURRENT_USER);
}

TEST_F(Registry, NamesAreCaseInsensitiveBeyondAscii) {
  HKEY k = Create(HKEY_CURRENT_USER, u"Программа\\Ключ");
  ASSERT_EQ(SetDword(k, u"Значение", 7), ERROR_SUCCESS);
  HKEY same = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"ПРОГРАММА\\ключ", &same), ERROR_SUCCESS);
  Bytes v;
  ASSERT_EQ(Get(same, u"ЗНАЧЕНИЕ", &v), ERROR_SUCCESS);
  EXPECT_EQ(v, Raw("\x07\0\0\0", 4));
  // Same folded name: the value is overwritten and keeps the case it was created with.
  ASSERT_EQ(SetDword(k, u"значение", 8), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(k), std::vector<std::string>{"Значение"});
}

TEST_F(Registry, PredefinedKeysAreSeparateHivesAndClassesRootIsUnderMachine) {
  HKEY u = Create(HKEY_CURRENT_USER, u"Software\\Only");
  ASSERT_EQ(SetDword(u, u"v", 1), ERROR_SUCCESS);
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Only", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/user.db"));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/machine.db")) << "reading an absent hive creates nothing";

  // Registering a class under HKEY_CLASSES_ROOT is seen under HKLM\Software\Classes.
  HKEY clsid = Create(HKEY_CLASSES_ROOT, u"CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32");
  const std::u16string path = u"/usr/lib/libdemo.so";
  ASSERT_EQ(Set(clsid, nullptr, REG_SZ, WideBytes(path, true)), ERROR_SUCCESS);
  HKEY viaMachine = nullptr;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE,
                 u"Software\\Classes\\CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32", &viaMachine),
            ERROR_SUCCESS);
  Bytes got;
  ASSERT_EQ(Get(viaMachine, u"", &got), ERROR_SUCCESS);
  EXPECT_EQ(got, WideBytes(path, true));
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/machine.db"));
}

TEST_F(Registry, ClassesRootReadsAsEmptyBeforeAnythingIsRegistered) {
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  char16_t name[64];
  DWORD cch = 64;
  EXPECT_EQ(RegEnumKeyExW(HKEY_CLASSES_ROOT, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  DWORD subKeys = 99;
  EXPECT_EQ(RegQueryInfoKeyW(HKEY_CLASSES_ROOT, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
}

// ---- values -----------------------------------------------------------------------------

TEST_F(Registry, ValuesAreStoredExactlyAsGiven) {
  HKEY k = Create(HKEY_CURRENT_USER, u"Software\\Values");
  ASSERT_EQ(Set(k, u"terminated", REG_SZ, WideBytes(u"abc", true)), ERROR_SUCCESS);
  ASSERT_EQ(Set(k, u"bare", REG_SZ, WideBytes(u"abc", false)), ERROR_SUCCESS);
  ASSERT_EQ(Set(k, u"bin", REG_BINARY, Raw("\x00\xFF\x10\x00", 4)), ERROR_SUCCESS);
  ASSERT_EQ(Set(k, u"empty", REG_BINARY, {}), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(k, u"dw", 0xA1B2C3D4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(k, u"qw", 0, REG_QWORD, reinterpret_cast<const BYTE*>("\1\2\3\4\5\6\7\x08"), 8),
            ERROR_SUCCESS);

  struct Case {
    const char16_t* name;
    DWORD type;
    Bytes data;
  } cases[] = {
      {u"terminated", REG_SZ, WideBytes(u"abc", true)}, {u"bare", REG_SZ, WideBytes(u"abc", false)},
      {u"bin", REG_BINARY, Raw("\x00\xFF\x10\x00", 4)}, {u"empty", REG_BINARY, {}},
      {u"dw", REG_DWORD, Raw("\xD4\xC3\xB2\xA1", 4)},   {u"qw", REG_QWORD, Raw("\1\2\3\4\5\6\7\x08", 8)},
  };
  for (auto& c : cases) {
    Bytes got;
    DWORD type = 0;
    ASSERT_EQ(Get(k, c.name, &got, &type), ERROR_SUCCESS) << U8(c.name);
    EXPECT_EQ(type, c.type) << U8(c.name);
    EXPECT_EQ(got, c.data) << U8(c.name);
  }
}

TEST_F(Registry, QueryValueBufferProtocol) {
  HKEY k = Create(HKEY_CURRENT_USER, u"Software\\Q");
  const Bytes data = WideBytes(u"hello", true);  // 12 bytes
  ASSERT_EQ(Set(k, u"s", REG_SZ, data), ERROR_SUCCESS);

  DWORD type = 0, cb = 0;
  EXPECT_EQ(RegQueryValueExW(k, u"s", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 12u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(RegQueryValueExW(k, u"s", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS) << "existence check only";

  Bytes buf(16, 0xAA);
  cb = 11;
  EXPECT_EQ(RegQueryValueExW(k, u"s", nullptr, nullptr, buf.data(), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 12u) << "the needed size is reported";
  cb = 12;
  EXPECT_EQ(RegQueryValueExW(k, u"s", nullptr, nullptr, buf.data(), &cb), ERROR_SUCCESS);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 12), data);
  EXPECT_EQ(buf[12], 0xAA) << "nothing written past the data";

  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(k, u"s", &reserved, nullptr, nullptr, &cb), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(k, u"s", nullptr, nullptr, buf.data(), nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(k, u"missing", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(k, u"x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  std::u16string longName(16384, u'n');
  EXPECT_EQ(RegSetValueExW(k, longName.c_str(), 0, REG_BINARY, nullptr, 0), ERROR_INVALID_PARAMETER);
}

// Reading a value of unknown size: a long value is read whole with the size the registry
// asks for; a size exchange that never settles (a writer growing the value, or a buffer
// of the exact size refused) ends in ERROR_MORE_DATA after a few calls, never a spin.
TEST_F(Registry, ASizedReadFollowsTheRegistryAndGivesUp) {
  HKEY k = Create(HKEY_CURRENT_USER, u"Software\\Q");
  const Bytes data = WideBytes(std::u16string(300, u'ж'), true);  // 602 bytes
  ASSERT_EQ(Set(k, u"long", REG_SZ, data), ERROR_SUCCESS);
  std::string got;
  int calls = 0;
  EXPECT_EQ(nx::ReadSizedValue(16, &got, [&](LPBYTE d, DWORD* cb) {
              ++calls;
              return RegQueryValueExW(k, u"long", nullptr, nullptr, d, cb);
            }),
            ERROR_SUCCESS);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(Bytes(got.begin(), got.end()), data);

  // Refuses every size for a long while, reporting each time the size it was given.
  calls = 0;
  got = "old";
  const LSTATUS rc = nx::ReadSizedValue(8, &got, [&](LPBYTE, DWORD*) {
    return ++calls < 1000 ? static_cast<LSTATUS>(ERROR_MORE_DATA) : static_cast<LSTATUS>(ERROR_SUCCESS);
  });
  EXPECT_EQ(rc, ERROR_MORE_DATA);
  EXPECT_EQ(calls, nx::kMoreDataAttempts);
  EXPECT_TRUE(got.empty()) << "nothing half-read is handed on";
  RegCloseKey(k);
}

TEST_F(Registry, DefaultValueIsTheEmptyName) {
  HKEY k = Create(HKEY_CURRENT_USER, u"Software\\D");
  ASSERT_EQ(Set(k, nullptr, REG_SZ, WideBytes(u"dflt", true)), ERROR_SUCCESS);
  Bytes got;
  ASSERT_EQ(Get(k, u"", &got), ERROR_SUCCESS);
  EXPECT_EQ(got, WideBytes(u"dflt", true));
  ASSERT_EQ(RegDeleteValueW(k, u""), ERROR_SUCCESS);
  EXPECT_EQ(Get(k, nullptr, &got), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(k, nullptr), ERROR_FILE_NOT_FOUND);
}

// ---- enumeration -----------------------------------------------------------------------

TEST_F(Registry, SubkeysEnumerateInOrderOfFoldedUtf16Names) {
  HKEY root = Create(HKEY_CURRENT_USER, u"Order");
  // Folded: "B" < "_X" (0x5F) after all capitals; a raw comparison would put "b" after "_x".
  // U+1F600 is a surrogate pair (0xD83D...) and sorts before U+FFFD in UTF-16 order,
  // the other way round in UTF-8 or code point order.
  const std::u16string names[] = {u"_x", u"b", u"C", u"a", u"\uFFFD", u"\U0001F600", u"я", u"Б"};
  for (auto& n : names) Create(root, n);
  EXPECT_EQ(SubKeys(root), (std::vector<std::string>{"a", "b", "C", "_x", "Б", "я", "\U0001F600", "\uFFFD"}));

  char16_t buf[8];
  DWORD cch = 1;  // "a" needs 2 with its terminator
  EXPECT_EQ(RegEnumKeyExW(root, 0, buf, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  cch = 2;
  EXPECT_EQ(RegEnumKeyExW(root, 0, buf, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(cch, 1u);
  EXPECT_EQ(std::u16string(buf), u"a");
  cch = 8;
  EXPECT_EQ(RegEnumKeyExW(root, 8, buf, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyExW(root, 0, nullptr, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, ValuesEnumerateInCreationOrder) {
  HKEY k = Create(HKEY_CURRENT_USER, u"Vals");
  for (const char16_t* n : {u"zeta", u"Alpha", u"mid"}) ASSERT_EQ(SetDword(k, n, 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(k, u"ALPHA", 2), ERROR_SUCCESS);  // overwriting keeps the place
  EXPECT_EQ(ValueNames(k), (std::vector<std::string>{"zeta", "Alpha", "mid"}));
  ASSERT_EQ(RegDeleteValueW(k, u"zeta"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(k, u"Zeta", 3), ERROR_SUCCESS);  // a new value goes last
  EXPECT_EQ(ValueNames(k), (std::vector<std::string>{"Alpha", "mid", "Zeta"}));

  // Data comes with the name; a small data buffer reports the size.
  char16_t name[8];
  DWORD cch = 8, type = 0, cb = 2;
  BYTE data[4];
  EXPECT_EQ(RegEnumValueW(k, 0, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 4u);
  cch = 8;
  EXPECT_EQ(RegEnumValueW(k, 0, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name, cch), u"Alpha");
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data[0], 2);
  cch = 5;  // "Alpha" needs 6
  EXPECT_EQ(RegEnumValueW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  cch = 8;
  EXPECT_EQ(RegEnumValueW(k, 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, QueryInfoKeyCountsAndLastWriteTimes) {
  HKEY k = Create(HKEY_CURRENT_USER, u"Info");
  Create(k, u"abc");
  Create(k, u"abcdefg");
  ASSERT_EQ(SetDword(k, u"v", 1), ERROR_SUCCESS);
  ASSERT_EQ(Set(k, u"longer-name", REG_BINARY, Bytes(300, 1)), ERROR_SUCCESS);
  DWORD subKeys = 0, maxSub = 0, maxClass = 9, values = 0, maxName = 0, maxData = 0, sd = 9, cchClass = 4;
  char16_t cls[4] = {u'x'};
  FILETIME before{};
  ASSERT_EQ(RegQueryInfoKeyW(k, cls, &cchClass, nullptr, &subKeys, &maxSub, &maxClass, &values, &maxName, &maxData,
                             &sd, &before),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 2u);
  EXPECT_EQ(maxSub, 7u);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(maxName, 11u);
  EXPECT_EQ(maxData, 300u);
  EXPECT_EQ(cchClass, 0u);
  EXPECT_EQ(cls[0], 0);
  // A FILETIME of this century (after 2020-01-01).
  uint64_t t0 = (static_cast<uint64_t>(before.dwHighDateTime) << 32) | before.dwLowDateTime;
  EXPECT_GT(t0, 132223104000000000ULL);

  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(SetDword(k, u"v", 2), ERROR_SUCCESS);
  FILETIME after{};
  ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, &after),
            ERROR_SUCCESS);
  uint64_t t1 = (static_cast<uint64_t>(after.dwHighDateTime) << 32) | after.dwLowDateTime;
  EXPECT_GT(t1, t0) << "a value change is a write to the key";

  // The time RegEnumKeyEx gives is the subkey's own.
  HKEY sub = nullptr;
  ASSERT_EQ(Open(k, u"abc", &sub), ERROR_SUCCESS);
  FILETIME own{}, listed{};
  ASSERT_EQ(RegQueryInfoKeyW(sub, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, &own),
            ERROR_SUCCESS);
  char16_t name[16];
  DWORD cch = 16;
  ASSERT_EQ(RegEnumKeyExW(k, 0, name, &cch, nullptr, nullptr, nullptr, &listed), ERROR_SUCCESS);
  EXPECT_EQ(own.dwLowDateTime, listed.dwLowDateTime);
  EXPECT_EQ(own.dwHighDateTime, listed.dwHighDateTime);
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, &reserved, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
}

// ---- handles, rights, deletion ---------------------------------------------------------

TEST_F(Registry, ClosedAndMadeUpHandlesAreRejected) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"H", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  HKEY madeUp = reinterpret_cast<HKEY>(0xDEADBEEF0ULL);
  for (HKEY bad : {k, madeUp, static_cast<HKEY>(nullptr)}) {
    HKEY out = nullptr;
    DWORD cb = 4, cch = 8;
    BYTE data[4] = {};
    char16_t name[8];
    EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(bad, u"x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCreateKeyExW(bad, u"x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExW(bad, u"v", 0, REG_BINARY, data, 4), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(bad, u"v", nullptr, nullptr, data, &cb), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegEnumKeyExW(bad, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegEnumValueW(bad, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryInfoKeyW(bad, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKeyW(bad, u"x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteValueW(bad, u"v"), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000003)))),
            ERROR_INVALID_HANDLE)
      << "HKEY_USERS is not provided";
}

TEST_F(Registry, HandleRightsLimitOperations) {
  Create(HKEY_CURRENT_USER, u"R\\child");
  HKEY ro = nullptr, wo = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"R", &ro, KEY_READ), ERROR_SUCCESS);
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"R", &wo, KEY_SET_VALUE), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(ro, u"v", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(ro, u"v"), ERROR_ACCESS_DENIED);
  ASSERT_EQ(SetDword(wo, u"v", 1), ERROR_SUCCESS);
  DWORD cb = 0;
  EXPECT_EQ(RegQueryValueExW(wo, u"v", nullptr, nullptr, nullptr, &cb), ERROR_ACCESS_DENIED);
  char16_t name[8];
  DWORD cch = 8;
  EXPECT_EQ(RegEnumKeyExW(wo, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExW(ro, u"v", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  HKEY gen = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"R", &gen, 0x40000000 /* GENERIC_WRITE */), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(gen, u"g", 1), ERROR_SUCCESS) << "generic rights map to key rights";
}

TEST_F(Registry, DeleteKeyRules) {
  HKEY parent = Create(HKEY_CURRENT_USER, u"Del\\Parent\\Leaf");
  (void)parent;
  HKEY del = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Del", &del, KEY_ALL_ACCESS), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(del, u"Parent"), ERROR_ACCESS_DENIED) << "a key with subkeys stays";
  EXPECT_EQ(RegDeleteKeyW(del, u"nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(del, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED) << "a hive root stays";
  ASSERT_EQ(RegDeleteKeyW(del, u"PARENT\\leaf"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(del, u"Parent"), ERROR_SUCCESS);
  EXPECT_TRUE(SubKeys(del).empty());
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Del\\Parent", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);

  // Deleting the handle's own key needs DELETE on that handle.
  HKEY self = Create(HKEY_CURRENT_USER, u"Del\\Self", KEY_WRITE);
  EXPECT_EQ(RegDeleteKeyW(self, u""), ERROR_ACCESS_DENIED);
  HKEY selfAll = Create(HKEY_CURRENT_USER, u"Del\\Self");
  EXPECT_EQ(RegDeleteKeyW(selfAll, u""), ERROR_SUCCESS);
}

TEST_F(Registry, KeyDeletedUnderAnOpenHandle) {
  HKEY victim = Create(HKEY_CURRENT_USER, u"Gone\\Victim");
  ASSERT_EQ(SetDword(victim, u"v", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Gone\\Victim"), ERROR_SUCCESS);
  // Re-created under the same name: still a different key for the old handle.
  Create(HKEY_CURRENT_USER, u"Gone\\Victim");

  DWORD cb = 4, cch = 8;
  BYTE data[4];
  char16_t name[8];
  HKEY out = nullptr;
  EXPECT_EQ(RegQueryValueExW(victim, u"v", nullptr, nullptr, data, &cb), ERROR_KEY_DELETED);
  EXPECT_EQ(SetDword(victim, u"v", 2), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteValueW(victim, u"v"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyExW(victim, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumValueW(victim, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegQueryInfoKeyW(victim, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegCreateKeyExW(victim, u"sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExW(victim, u"", 0, KEY_READ, &out), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyW(victim, u""), ERROR_KEY_DELETED);
  // The values went with the key: the new one is empty.
  HKEY fresh = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Gone\\Victim", &fresh), ERROR_SUCCESS);
  EXPECT_TRUE(ValueNames(fresh).empty());
}

// ---- the A forms ------------------------------------------------------------------------

TEST_F(Registry, AnsiFormsConvertNamesAndStringData) {
  HKEY k = nullptr;
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Ключ", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, &disp),
            ERROR_SUCCESS);
  open_.push_back(k);
  const char text[] = "Привет";  // 12 UTF-8 bytes + terminator
  ASSERT_EQ(RegSetValueExA(k, "Имя", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, "bin", 0, REG_BINARY, reinterpret_cast<const BYTE*>(text), 4), ERROR_SUCCESS);
  const char multi[] = "один\0два\0";  // two strings and the closing empty one
  ASSERT_EQ(RegSetValueExA(k, "multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi),
            ERROR_SUCCESS);

  // Stored as UTF-16: the W form sees 7 units.
  HKEY w = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"SOFTWARE\\ключ", &w), ERROR_SUCCESS);
  Bytes got;
  ASSERT_EQ(Get(w, u"имя", &got), ERROR_SUCCESS);
  EXPECT_EQ(got, WideBytes(u"Привет", true));
  ASSERT_EQ(Get(w, u"multi", &got), ERROR_SUCCESS);
  EXPECT_EQ(got, WideBytes(std::u16string_view(u"один\0два\0", 10), false));  // 10 units with the last null
  ASSERT_EQ(Get(w, u"bin", &got), ERROR_SUCCESS);
  EXPECT_EQ(got, Raw(text, 4)) << "binary data is not converted";

  // The A form reports and returns UTF-8 sizes.
  DWORD cb = 0, type = 0;
  ASSERT_EQ(RegQueryValueExA(w, "ИМЯ", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, sizeof text);
  char buf[32];
  cb = sizeof text - 1;
  EXPECT_EQ(RegQueryValueExA(w, "Имя", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, sizeof text);
  ASSERT_EQ(RegQueryValueExA(w, "Имя", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb), ERROR_SUCCESS);
  EXPECT_STREQ(buf, text);
  cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(w, "multi", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buf, cb), std::string(multi, sizeof multi));

  // Names in UTF-8, lengths in bytes.
  char name[32];
  DWORD cch = sizeof name;
  ASSERT_EQ(RegEnumValueA(w, 0, name, &cch, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, cch), "Имя");
  HKEY soft = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software", 0, KEY_READ, &soft), ERROR_SUCCESS);
  open_.push_back(soft);
  cch = 8;  // "Ключ" is 8 bytes and needs 9
  EXPECT_EQ(RegEnumKeyExA(soft, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  cch = 9;
  ASSERT_EQ(RegEnumKeyExA(soft, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name, cch), "Ключ");
  DWORD maxSub = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(RegQueryInfoKeyA(soft, nullptr, nullptr, nullptr, nullptr, &maxSub, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(maxSub, 8u);
  ASSERT_EQ(RegQueryInfoKeyA(w, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(maxName, 6u);  // "Имя"
  EXPECT_EQ(maxData, sizeof multi);  // UTF-8 bytes of the longest string data

  EXPECT_EQ(RegDeleteValueA(w, "ИМЯ"), ERROR_ACCESS_DENIED) << "opened for reading";
  ASSERT_EQ(RegDeleteValueA(k, "ИМЯ"), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(w), ERROR_SUCCESS);
  open_.erase(std::find(open_.begin(), open_.end(), w));
  Create(HKEY_CURRENT_USER, u"Software\\Ключ\\Дитя");
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Ключ"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "software\\ключ\\дитя"), ERROR_SUCCESS);
}

// ---- threads and processes --------------------------------------------------------------

TEST_F(Registry, ThreadsOfOneProcessShareAHive) {
  constexpr int kThreads = 4, kEach = 40;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      HKEY k = nullptr;
      std::u16string path = u"Threads\\T" + nx::Utf8ToUtf16(std::to_string(t));
      if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr))
        ++failures;
      for (int i = 0; i < kEach; ++i) {
        std::u16string name = nx::Utf8ToUtf16(std::string("v").append(std::to_string(i)));
        if (SetDword(k, name.c_str(), static_cast<DWORD>(t * 1000 + i))) ++failures;
        Bytes got;
        if (Get(k, name.c_str(), &got) || got.size() != 4) ++failures;
      }
      RegCloseKey(k);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  HKEY root = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Threads", &root), ERROR_SUCCESS);
  ASSERT_EQ(SubKeys(root).size(), static_cast<size_t>(kThreads));
  for (int t = 0; t < kThreads; ++t) {
    HKEY k = nullptr;
    ASSERT_EQ(Open(root, std::u16string(u"T").append(nx::Utf8ToUtf16(std::to_string(t))), &k), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(k).size(), static_cast<size_t>(kEach));
  }
}

// The walk over a key's subkeys continues from where the last step stopped only while
// nothing changed: a change between two steps, by this process or another, gives the
// index its meaning in the new order, as counting from the first subkey would.
TEST_F(Registry, SubkeyIndexesFollowChangesMadeBetweenSteps) {
  HKEY root = Create(HKEY_LOCAL_MACHINE, u"Software\\Walk");
  for (auto n : {u"k10", u"k20", u"k30", u"k40", u"k50"}) Create(root, n);
  auto at = [&](DWORD i) -> std::string {
    char16_t buf[16];
    DWORD cch = 16;
    LONG rc = RegEnumKeyExW(root, i, buf, &cch, nullptr, nullptr, nullptr, nullptr);
    return rc == ERROR_SUCCESS ? U8(std::u16string_view(buf, cch)) : "rc " + std::to_string(rc);
  };
  EXPECT_EQ(at(0), "k10");
  EXPECT_EQ(at(1), "k20");
  Create(root, u"K15");  // sorts before the last one handed out
  EXPECT_EQ(at(2), "k20");
  EXPECT_EQ(at(3), "k30");
  ASSERT_EQ(RegDeleteKeyW(root, u"k10"), ERROR_SUCCESS);  // now K15 k20 k30 k40 k50
  EXPECT_EQ(at(4), "k50");
  // Another process adds one in front: the fifth index is k50 again, then the end.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    HKEY k = nullptr;
    _exit(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Walk\\k05", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                          nullptr) == ERROR_SUCCESS
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(at(5), "k50");
  EXPECT_EQ(at(6), "rc 259");
  // Two walks over different keys, step by step in turn, each keep their place.
  HKEY other = Create(root, u"k30");
  for (auto n : {u"a", u"b", u"c"}) Create(other, n);
  std::vector<std::string> outer, inner;
  for (DWORD i = 0; i < 3; ++i) {
    outer.push_back(at(i));
    char16_t buf[16];
    DWORD cch = 16;
    ASSERT_EQ(RegEnumKeyExW(other, i, buf, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    inner.push_back(U8(std::u16string_view(buf, cch)));
  }
  EXPECT_EQ(outer, (std::vector<std::string>{"k05", "K15", "k20"}));
  EXPECT_EQ(inner, (std::vector<std::string>{"a", "b", "c"}));
}

// Inside a read scope this thread's reads see one snapshot: another process's change
// waits for the scope's end instead of failing, and is seen after it. A change made on
// this thread inside the scope is seen by its next read.
TEST_F(Registry, AReadScopeIsOneSnapshotThatOtherWritersWaitFor) {
  HKEY k = Create(HKEY_LOCAL_MACHINE, u"Software\\Snap");
  ASSERT_EQ(SetDword(k, u"v", 1), ERROR_SUCCESS);
  auto value = [&] {
    DWORD v = 0, cb = sizeof v;
    LONG rc = RegQueryValueExW(k, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb);
    return rc == ERROR_SUCCESS ? static_cast<long>(v) : -rc;
  };
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(NxRegBeginRead(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(value(), 1);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(ready[0]);
    HKEY c = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Snap", 0, KEY_ALL_ACCESS, &c)) _exit(1);
    (void)!write(ready[1], "w", 1);
    _exit(SetDword(c, u"v", 2) == ERROR_SUCCESS ? 0 : 2);
  }
  close(ready[1]);
  char b = 0;
  ASSERT_EQ(read(ready[0], &b, 1), 1);
  close(ready[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the writer is on its way
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the writer finished inside the scope";
  EXPECT_EQ(value(), 1);
  EXPECT_EQ(NxRegBeginRead(HKEY_CURRENT_USER), ERROR_BUSY);
  NxRegEndRead();
  ASSERT_TRUE(nxtest::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(10),
                                "the writer's end"));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(value(), 2);

  ASSERT_EQ(NxRegBeginRead(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  ASSERT_EQ(NxRegBeginRead(k), ERROR_SUCCESS);  // nested, on the same hive
  EXPECT_EQ(value(), 2);
  ASSERT_EQ(SetDword(k, u"v", 3), ERROR_SUCCESS);
  EXPECT_EQ(value(), 3);
  NxRegEndRead();
  HKEY sub = Create(k, u"made inside");
  EXPECT_EQ(SubKeys(k), std::vector<std::string>{"made inside"});
  NxRegEndRead();
  ASSERT_NE(sub, nullptr);
}

// Child processes write into one key of the same hive at the same moment (released
// together through a pipe); every value of every child must be there afterwards.
TEST_F(Registry, ProcessesWritingOneHiveAtOnceLoseNothing) {
  constexpr int kChildren = 3, kEach = 60;
  HKEY shared = Create(HKEY_LOCAL_MACHINE, u"Software\\Shared");  // the parent's connection is open
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> kids;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char b;
      (void)!read(go[0], &b, 1);  // returns at EOF, when the parent lets all go
      HKEY k = nullptr;
      int bad = 0;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Shared", 0, KEY_ALL_ACCESS, &k)) _exit(100);
      for (int i = 0; i < kEach; ++i) {
        std::u16string name = nx::Utf8ToUtf16("c" + std::to_string(c) + "-" + std::to_string(i));
        if (SetDword(k, name.c_str(), static_cast<DWORD>(c * 1000 + i))) ++bad;
        // Keys too: the shared parent's subkey list and last-write time change concurrently.
        if (i % 10 == 0) {
          HKEY sub = nullptr;
          if (RegCreateKeyExW(k, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr)) ++bad;
          RegCloseKey(sub);
        }
      }
      _exit(bad ? 1 : 0);
    }
    kids.push_back(pid);
  }
  close(go[0]);
  close(go[1]);
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  DWORD values = 0, subKeys = 0;
  ASSERT_EQ(RegQueryInfoKeyW(shared, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, static_cast<DWORD>(kChildren * kEach));
  EXPECT_EQ(subKeys, static_cast<DWORD>(kChildren * kEach / 10));
  for (int c = 0; c < kChildren; ++c)
    for (int i = 0; i < kEach; ++i) {
      Bytes got;
      std::u16string name = nx::Utf8ToUtf16("c" + std::to_string(c) + "-" + std::to_string(i));
      ASSERT_EQ(Get(shared, name.c_str(), &got), ERROR_SUCCESS);
      EXPECT_EQ(nx::LoadLe32(got.data()), static_cast<DWORD>(c * 1000 + i));
    }
}

// SQLite is loaded by the platform library; the test reaches it by name so that it checks
// the file with SQLite's own integrity check, independently of the registry code.
std::string IntegrityCheck(const std::string& path) {
  using OpenFn = int (*)(const char*, sqlite3**, int, const char*);
  using ExecFn = int (*)(sqlite3*, const char*, int (*)(void*, int, char**, char**), void*, char**);
  using CloseFn = int (*)(sqlite3*);
  auto open = reinterpret_cast<OpenFn>(dlsym(RTLD_DEFAULT, "sqlite3_open_v2"));
  auto exec = reinterpret_cast<ExecFn>(dlsym(RTLD_DEFAULT, "sqlite3_exec"));
  auto close = reinterpret_cast<CloseFn>(dlsym(RTLD_DEFAULT, "sqlite3_close"));
  if (!open || !exec || !close) return "sqlite3 not loaded";
  sqlite3* db = nullptr;
  if (open(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    close(db);
    return "cannot open";
  }
  std::string result;
  auto collect = [](void* r, int n, char** cols, char**) {
    for (int i = 0; i < n; ++i) *static_cast<std::string*>(r) += cols[i] ? cols[i] : "NULL";
    return 0;
  };
  if (exec(db, "PRAGMA integrity_check; PRAGMA foreign_key_check;", collect, &result, nullptr) != SQLITE_OK)
    result = "check failed";
  close(db);
  return result;
}

// A child rewrites a 3 MiB value and adds three-level key chains in a loop until it is
// killed at a random moment. Afterwards the hive must pass SQLite's checks and show only
// whole changes: the value is one generation throughout, and every chain is complete.
TEST_F(Registry, WriterKilledMidChangeLeavesWholeChangesOnly) {
  constexpr size_t kBlob = 3 * 1024 * 1024;  // beyond the page cache: pages reach the file before commit
  std::mt19937 rng(std::random_device{}());
  int midChange = 0;
  for (int round = 0; round < 4; ++round) {
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(started[0]);
      HKEY k = nullptr;
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Crash", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr)) _exit(1);
      Bytes blob(kBlob);
      for (uint32_t gen = 1;; ++gen) {
        std::fill(blob.begin(), blob.end(), static_cast<BYTE>(gen * 7 + round));
        std::memcpy(blob.data(), &gen, sizeof gen);
        if (Set(k, u"blob", REG_BINARY, blob)) _exit(2);
        std::u16string chain = nx::Utf8ToUtf16("R" + std::to_string(round) + "G" + std::to_string(gen)) + u"\\A\\B\\C";
        HKEY leaf = nullptr;
        if (RegCreateKeyExW(k, chain.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &leaf, nullptr)) _exit(3);
        RegCloseKey(leaf);
        if (gen == 2) (void)!write(started[1], "x", 1);
      }
    }
    close(started[1]);
    char b = 0;
    ASSERT_EQ(read(started[0], &b, 1), 1) << "the writer did not start";
    close(started[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 120)(rng)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
    if (std::filesystem::exists(dir_ + "/machine.db-journal")) ++midChange;

    // Through the registry first: its connection rolls a hot journal back.
    HKEY k = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Crash", &k), ERROR_SUCCESS);
    Bytes blob;
    ASSERT_EQ(Get(k, u"blob", &blob), ERROR_SUCCESS);
    ASSERT_EQ(blob.size(), kBlob);
    uint32_t gen = 0;
    std::memcpy(&gen, blob.data(), sizeof gen);
    const auto fill = static_cast<BYTE>(gen * 7 + static_cast<uint32_t>(round));
    EXPECT_EQ(static_cast<size_t>(std::count(blob.begin() + 4, blob.end(), fill)), kBlob - 4)
        << "round " << round << ": value mixes generations";
    for (const std::string& chain : SubKeys(k)) {
      HKEY leaf = nullptr;
      EXPECT_EQ(Open(k, nx::Utf8ToUtf16(chain) + u"\\a\\b\\c", &leaf), ERROR_SUCCESS) << chain << " is incomplete";
    }
    EXPECT_EQ(IntegrityCheck(dir_ + "/machine.db"), "ok") << "round " << round;
  }
  RecordProperty("killed_inside_a_transaction", midChange);
}

// A user who may read the machine hive but not write it: reads work, every change is
// ERROR_ACCESS_DENIED, and a hive that cannot be created reads as empty.
TEST_F(Registry, ReadOnlyHiveCanBeReadButNotChanged) {
  HKEY k = Create(HKEY_LOCAL_MACHINE, u"Software\\Veltrak\\DataProviders");
  ASSERT_EQ(SetDword(k, u"v", 42), ERROR_SUCCESS);
  Create(k, u"child");
  for (HKEY h : open_) RegCloseKey(h);
  open_.clear();
  // Let this process close the hive (it follows NX_REGISTRY_DIR elsewhere), so the reader
  // is the only one with the file open: no journal or shared-memory files are left around.
  setenv("NX_REGISTRY_DIR", (dir_ + "/elsewhere").c_str(), 1);
  HKEY none = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"x", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
  setenv("NX_REGISTRY_DIR", dir_.c_str(), 1);
  const std::string db = dir_ + "/machine.db";
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(chmod(db.c_str(), 0644), 0);

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // As root, become an unprivileged user; otherwise take the write permission away.
    if (geteuid() == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
    } else if (chmod(db.c_str(), 0444) != 0 || chmod(dir_.c_str(), 0555) != 0) {
      _exit(91);
    }
    int step = 0;
    auto expect = [&step](LONG got, LONG want) {
      ++step;
      if (got != want) _exit(step);
    };
    HKEY r = nullptr, out = nullptr;
    DWORD v = 0, cb = sizeof v;
    expect(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Veltrak\\DataProviders", 0, KEY_READ, &r), 0);
    expect(RegQueryValueExW(r, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), 0);
    expect(static_cast<LONG>(v), 42);
    expect(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Veltrak\\DataProviders", 0, KEY_SET_VALUE, &out), 5);
    expect(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Veltrak\\DataProviders", 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &out, nullptr),
           5);
    expect(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\New", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr), 5);
    expect(RegSetValueExW(HKEY_LOCAL_MACHINE, u"x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), 5);
    expect(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Veltrak\\DataProviders\\child"), 5);
    expect(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Veltrak\\none"), 2);
    expect(RegDeleteValueW(HKEY_LOCAL_MACHINE, u"missing"), 2);
    // The user hive is in the same folder, which this user cannot write.
    expect(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &out), 2);
    expect(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr), 5);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "check number " << WEXITSTATUS(status) << " failed in the reader";
  chmod(dir_.c_str(), 0700);
  chmod(db.c_str(), 0644);
  // Nothing changed.
  HKEY again = nullptr;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Veltrak\\DataProviders", &again), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(again), std::vector<std::string>{"child"});
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/user.db"));
}

}  // namespace
