// Runs the built nxreg against temporary hives: add, query, export, delete and import in
// both hives, .reg text details, confirmations and usage errors.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nxtest/process.h"
#include "nxtest/seeds.h"
#include "nxtest/temp.h"

#include "nxpal/bytes.h"
#include "nxpal/registry.h"
#include "nxpal/text.h"

namespace {

using nxtest::Slurp;

struct Result {
  int status = -1;
  std::string out, err;
};

class Nxreg : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("NX_TEST_BIN_DIR");
    ASSERT_NE(bin, nullptr) << "NX_TEST_BIN_DIR is set by ctest";
    tool_ = std::string(bin) + "/nxreg";
    ASSERT_TRUE(std::filesystem::exists(tool_));
  }

  // Runs nxreg with stdin from /dev/null (so it cannot be asked anything).
  Result Run(std::vector<std::string> args) {
    nxtest::ChildProcess nxreg(tool_, std::move(args), dir_ + "/stdout", dir_ + "/stderr");
    Result r;
    r.status = nxreg.Wait();
    r.out = nxreg.Out();
    r.err = nxreg.Err();
    return r;
  }
  // A failure: non-zero status and exactly one line of reason.
  static void ExpectFailure(const Result& r, int status = 1) {
    EXPECT_EQ(r.status, status) << r.err;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
  void ExpectOk(const Result& r) { EXPECT_EQ(r.status, 0) << r.err; }

  HKEY Root() const { return std::string(GetParam()) == "HKLM" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }
  std::string LongRoot() const { return std::string(GetParam()) == "HKLM" ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER"; }
  std::string HiveFile() const { return dir_ + (std::string(GetParam()) == "HKLM" ? "/machine.db" : "/user.db"); }
  std::string OtherHiveFile() const {
    return dir_ + (std::string(GetParam()) == "HKLM" ? "/user.db" : "/machine.db");
  }

  // Reads a value through the registry API: type and bytes, or the error code.
  LONG ReadRaw(const std::u16string& key, const char16_t* name, DWORD* type, std::string* data) {
    HKEY k = nullptr;
    LONG rc = RegOpenKeyExW(Root(), key.c_str(), 0, KEY_READ, &k);
    if (rc) return rc;
    DWORD cb = 0;
    rc = RegQueryValueExW(k, name, nullptr, type, nullptr, &cb);
    if (!rc) {
      data->assign(cb, '\0');
      rc = RegQueryValueExW(k, name, nullptr, type, reinterpret_cast<BYTE*>(data->data()), &cb);
    }
    RegCloseKey(k);
    return rc;
  }

  std::string tool_;
  nxtest::TempRegistry registry_;
  const std::string dir_ = registry_.Dir();
};

std::string Utf16Bytes(std::u16string_view s) { return nx::Utf16LeBytes(s); }

TEST_P(Nxreg, AddQueryExportDeleteImportRoundTrip) {
  const std::string key = std::string(GetParam()) + "\\Software\\Veltrak\\Test";
  ExpectOk(Run({"add", key, "/v", "Text", "/d", "say \"hi\" C:\\dir\\ Привет"}));
  ExpectOk(Run({"add", key, "/ve", "/d", "/usr/lib/libdemo.so"}));  // data beginning with '/'
  ExpectOk(Run({"add", key, "/v", "Count", "/t", "REG_DWORD", "/d", "0x2A"}));
  ExpectOk(Run({"add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", "00ff10"}));
  ExpectOk(Run({"add", key, "/v", "List", "/t", "REG_MULTI_SZ", "/d", "one\\0two"}));
  ExpectOk(Run({"add", key, "/v", "Big", "/t", "REG_QWORD", "/d", "4294967296"}));
  ExpectOk(Run({"add", key + "\\Sub\\Deeper", "/v", "Leaf", "/t", "REG_DWORD", "/d", "7"}));
  EXPECT_TRUE(std::filesystem::exists(HiveFile()));
  EXPECT_FALSE(std::filesystem::exists(OtherHiveFile())) << "written into the other hive";

  Result q = Run({"query", key});
  ExpectOk(q);
  const std::string full = LongRoot() + "\\Software\\Veltrak\\Test";
  for (const std::string& line : std::vector<std::string>{
           full + "\n", "    Text    REG_SZ    say \"hi\" C:\\dir\\ Привет\n",
        "    (Default)    REG_SZ    /usr/lib/libdemo.so\n", "    Count    REG_DWORD    0x2a\n",
        "    Blob    REG_BINARY    00FF10\n", "    List    REG_MULTI_SZ    one\\0two\n",
        "    Big    REG_QWORD    0x100000000\n", full + "\\Sub\n"})
    EXPECT_NE(q.out.find(line), std::string::npos) << line << "in:\n" << q.out;
  EXPECT_EQ(q.out.find("Deeper"), std::string::npos) << "only one level without /s";
  Result deep = Run({"query", key, "/s"});
  EXPECT_NE(deep.out.find(full + "\\Sub\\Deeper\n    Leaf    REG_DWORD    0x7\n"), std::string::npos) << deep.out;
  Result one = Run({"query", key, "/v", "count"});
  ExpectOk(one);
  EXPECT_NE(one.out.find("    Count    REG_DWORD    0x2a\n"), std::string::npos) << one.out;
  EXPECT_EQ(one.out.find("Text"), std::string::npos);

  const std::string file = dir_ + "/test.reg";
  ExpectOk(Run({"export", key, file}));
  const std::string text = Slurp(file);
  nxtest::SaveSeed(std::string("export-") + GetParam() + ".reg", text);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n[" + full + "]\n", 0), 0u) << text;
  for (const std::string& line : std::vector<std::string>{
           "\"Text\"=\"say \\\"hi\\\" C:\\\\dir\\\\ Привет\"\n", "@=\"/usr/lib/libdemo.so\"\n",
        "\"Count\"=dword:0000002a\n", "\"Blob\"=hex:00,ff,10\n",
        "\"List\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,00,00\n",
        "\"Big\"=hex(b):00,00,00,00,01,00,00,00\n", "[" + full + "\\Sub\\Deeper]\n\"Leaf\"=dword:00000007\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "in:\n" << text;

  ExpectFailure(Run({"delete", key}));  // not confirmed: stdin is no terminal
  ExpectOk(Run({"query", key}));
  ExpectOk(Run({"delete", key, "/f"}));
  ExpectFailure(Run({"query", key}));
  ExpectOk(Run({"query", std::string(GetParam()) + "\\Software\\Veltrak"}));  // only the named key went

  ExpectOk(Run({"import", file}));
  DWORD type = 0;
  std::string data;
  ASSERT_EQ(ReadRaw(u"Software\\Veltrak\\Test", u"Text", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(data, Utf16Bytes(u"say \"hi\" C:\\dir\\ Привет") + std::string(2, '\0'));
  ASSERT_EQ(ReadRaw(u"Software\\Veltrak\\Test", u"List", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(data, Utf16Bytes(std::u16string_view(u"one\0two\0", 9)));  // the last null is the literal's
  ASSERT_EQ(ReadRaw(u"Software\\Veltrak\\Test\\Sub\\Deeper", u"Leaf", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, std::string("\x07\0\0\0", 4));
  // Exporting again gives the same file.
  const std::string again = dir_ + "/again.reg";
  ExpectOk(Run({"export", key, again}));
  EXPECT_EQ(Slurp(again), text);
}

TEST_P(Nxreg, ExportKeepsUnusualDataExactly) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExW(Root(), u"Odd", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
  const std::string bare = Utf16Bytes(u"no terminator");
  const std::string lines = Utf16Bytes(u"two\nlines") + std::string(2, '\0');
  const std::string shortDword("\x01\x02", 2);
  ASSERT_EQ(RegSetValueExW(k, u"Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(bare.data()), bare.size()), 0);
  ASSERT_EQ(RegSetValueExW(k, u"Lines", 0, REG_SZ, reinterpret_cast<const BYTE*>(lines.data()), lines.size()), 0);
  ASSERT_EQ(RegSetValueExW(k, u"Short", 0, REG_DWORD, reinterpret_cast<const BYTE*>(shortDword.data()), 2), 0);
  ASSERT_EQ(RegSetValueExW(k, u"Empty", 0, REG_BINARY, nullptr, 0), 0);
  ASSERT_EQ(RegSetValueExW(k, u"Odd\"Name\\", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4), 0);
  RegCloseKey(k);

  const std::string file = dir_ + "/odd.reg";
  ExpectOk(Run({"export", std::string(GetParam()) + "\\Odd", file}));
  const std::string text = Slurp(file);
  nxtest::SaveSeed(std::string("odd-") + GetParam() + ".reg", text);
  EXPECT_NE(text.find("\"Bare\"=hex(1):"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Short\"=hex(4):01,02\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Empty\"=hex:\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Odd\\\"Name\\\\\"=dword:00000001\n"), std::string::npos) << text;
  ExpectOk(Run({"delete", std::string(GetParam()) + "\\Odd", "/f"}));
  ExpectOk(Run({"import", file}));

  struct {
    const char16_t* name;
    DWORD type;
    std::string data;
  } want[] = {{u"Bare", REG_SZ, bare},
              {u"Lines", REG_SZ, lines},
              {u"Short", REG_DWORD, shortDword},
              {u"Empty", REG_BINARY, ""},
              {u"odd\"name\\", REG_DWORD, std::string("\1\0\0\0", 4)}};
  for (auto& w : want) {
    DWORD type = 0;
    std::string data;
    ASSERT_EQ(ReadRaw(u"Odd", w.name, &type, &data), ERROR_SUCCESS) << nx::Utf16ToUtf8(w.name);
    EXPECT_EQ(type, w.type) << nx::Utf16ToUtf8(w.name);
    EXPECT_EQ(data, w.data) << nx::Utf16ToUtf8(w.name);
  }
}

TEST_P(Nxreg, ImportAppliesDeletionsAndRejectsMalformedFiles) {
  const std::string root = LongRoot();
  ExpectOk(Run({"add", std::string(GetParam()) + "\\App\\Old\\Tree", "/v", "x", "/d", "1"}));
  ExpectOk(Run({"add", std::string(GetParam()) + "\\App", "/v", "Gone", "/d", "1"}));
  // regedit's own form: UTF-16LE with a byte-order mark and CRLF line ends.
  std::u16string reg = u"Windows Registry Editor Version 5.00\r\n\r\n; comment\r\n[-" + nx::Utf8ToUtf16(root) +
                       u"\\App\\Old]\r\n\r\n[" + nx::Utf8ToUtf16(root) +
                       u"\\App]\r\n\"Gone\"=-\r\n\"Bytes\"=hex:01,\\\r\n  02,03\r\n\"Мир\"=\"да\"\r\n";
  {
    std::ofstream f(dir_ + "/u16.reg", std::ios::binary);
    f << "\xFF\xFE" << Utf16Bytes(reg);
  }
  nxtest::SaveSeed(std::string("utf16-") + GetParam() + ".reg", Slurp(dir_ + "/u16.reg"));
  ExpectOk(Run({"import", dir_ + "/u16.reg"}));
  DWORD type = 0;
  std::string data;
  EXPECT_EQ(ReadRaw(u"App\\Old", nullptr, &type, &data), ERROR_FILE_NOT_FOUND) << "the key went with its tree";
  EXPECT_EQ(ReadRaw(u"App", u"Gone", &type, &data), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(ReadRaw(u"App", u"Bytes", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, "\x01\x02\x03");
  ASSERT_EQ(ReadRaw(u"App", u"мир", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Utf16Bytes(u"да") + std::string(2, '\0'));

  // A bad line anywhere: nothing from the file is applied, and the line is named.
  std::ofstream(dir_ + "/bad.reg") << "Windows Registry Editor Version 5.00\n\n[" << root
                                   << "\\App\\New]\n\"a\"=dword:1\n\"b\"=hex:1,zz\n";
  nxtest::SaveSeed(std::string("bad-") + GetParam() + ".reg", Slurp(dir_ + "/bad.reg"));
  Result bad = Run({"import", dir_ + "/bad.reg"});
  ExpectFailure(bad);
  EXPECT_NE(bad.err.find("bad.reg:5:"), std::string::npos) << bad.err;
  EXPECT_EQ(ReadRaw(u"App\\New", u"a", &type, &data), ERROR_FILE_NOT_FOUND);
  std::ofstream(dir_ + "/nohdr.reg") << "[" << root << "\\App\\New]\n";
  ExpectFailure(Run({"import", dir_ + "/nohdr.reg"}));
  std::ofstream(dir_ + "/orphan.reg") << "Windows Registry Editor Version 5.00\n\"a\"=\"b\"\n";
  ExpectFailure(Run({"import", dir_ + "/orphan.reg"}));
  ExpectFailure(Run({"import", dir_ + "/missing.reg"}));
}

TEST_P(Nxreg, DeleteValues) {
  const std::string key = std::string(GetParam()) + "\\Vals";
  for (const char* v : {"a", "b", "c"}) ExpectOk(Run({"add", key, "/v", v, "/d", v}));
  ExpectOk(Run({"add", key, "/ve", "/d", "dflt"}));
  ExpectOk(Run({"add", key + "\\Child"}));
  ExpectFailure(Run({"add", key, "/v", "a", "/d", "new"}));  // exists, and nobody confirms
  ExpectOk(Run({"add", key, "/v", "A", "/d", "new", "/f"}));
  DWORD type = 0;
  std::string data;
  ASSERT_EQ(ReadRaw(u"Vals", u"a", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Utf16Bytes(u"new") + std::string(2, '\0'));

  ExpectOk(Run({"delete", key, "/v", "B", "/f"}));
  EXPECT_EQ(ReadRaw(u"Vals", u"b", &type, &data), ERROR_FILE_NOT_FOUND);
  ExpectFailure(Run({"delete", key, "/v", "b", "/f"}));
  ExpectOk(Run({"delete", key, "/ve", "/f"}));
  EXPECT_EQ(ReadRaw(u"Vals", u"", &type, &data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadRaw(u"Vals", u"c", &type, &data), ERROR_SUCCESS);
  ExpectOk(Run({"delete", key, "/va", "/f"}));
  EXPECT_EQ(ReadRaw(u"Vals", u"c", &type, &data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadRaw(u"Vals", u"a", &type, &data), ERROR_FILE_NOT_FOUND);
  HKEY child = nullptr;
  ASSERT_EQ(RegOpenKeyExW(Root(), u"Vals\\Child", 0, KEY_READ, &child), ERROR_SUCCESS) << "/va leaves subkeys";
  RegCloseKey(child);
  ExpectFailure(Run({"delete", std::string(GetParam()), "/f"}));  // a hive's root
}

INSTANTIATE_TEST_SUITE_P(BothHives, Nxreg, ::testing::Values("HKLM", "HKCU"));

class NxregUsage : public Nxreg {};

TEST_P(NxregUsage, HelpAndUsageErrors) {
  for (const char* help : {"--help", "-h", "/?"}) {
    Result r = Run({help});
    EXPECT_EQ(r.status, 0) << help;
    for (const char* word : {"query", "add", "delete", "export", "import", "/ve", "/va", "REG_DWORD", "NX_REGISTRY_DIR"})
      EXPECT_NE(r.out.find(word), std::string::npos) << help << " lacks " << word;
  }
  ExpectFailure(Run({}), 2);
  ExpectFailure(Run({"frobnicate"}), 2);
  ExpectFailure(Run({"query", "HKXY\\Software"}), 2);
  ExpectFailure(Run({"query"}), 2);
  ExpectFailure(Run({"add", "HKCU\\X", "/v", "a", "/ve"}), 2);
  ExpectFailure(Run({"add", "HKCU\\X", "/v", "a", "/t", "REG_WHAT"}), 2);
  ExpectFailure(Run({"add", "HKCU\\X", "/v"}), 2);
  ExpectFailure(Run({"export", "HKCU\\X", "/q"}), 2);
  ExpectFailure(Run({"add", "HKCU\\X", "/v", "a", "/t", "REG_DWORD", "/d", "4294967296"}));
  ExpectFailure(Run({"add", "HKCU\\X", "/v", "a", "/t", "REG_BINARY", "/d", "abc"}));
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"X", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND)
      << "bad data creates nothing";
  ExpectFailure(Run({"export", "HKCU\\Missing", dir_ + "/m.reg"}));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/m.reg"));
}

INSTANTIATE_TEST_SUITE_P(Tool, NxregUsage, ::testing::Values("HKCU"));

}  // namespace
