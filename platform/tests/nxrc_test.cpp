// The resource compiler: the string table format, and the build failing (with file and
// line) on tables and icons it cannot embed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "strings_format.h"

#ifndef NX_TEST_NXRC
#error "the build passes the path of nxrc"
#endif

namespace {

struct Parsed {
  bool ok;
  std::vector<nxrc::StringEntry> entries;
  int line = 0;
  std::string message;
};

Parsed Parse(std::string_view text) {
  Parsed p;
  p.ok = nxrc::ParseStrings(text, &p.entries, &p.line, &p.message);
  return p;
}

TEST(StringsFormatTest, ReadsIdsTextsAndEscapes) {
  auto p = Parse(
      "\xEF\xBB\xBF# comment\r\n"
      "\r\n"
      "   \t# indented comment\n"
      "256 \"Информация о пациенте\"\r\n"
      "7\t\t\"  blanks kept  \"   \n"
      "65535 \"a\\\\b\\\"c\\r\\nd\\te \\u042f\\u0000z\"\n"
      "0 \"# not a comment\"");
  ASSERT_TRUE(p.ok) << p.line << ": " << p.message;
  ASSERT_EQ(p.entries.size(), 4u);
  EXPECT_EQ(p.entries[0].id, 256u);
  EXPECT_EQ(p.entries[0].text, u"Информация о пациенте");
  EXPECT_EQ(p.entries[0].line, 4);
  EXPECT_EQ(p.entries[1].id, 7u);
  EXPECT_EQ(p.entries[1].text, u"  blanks kept  ");
  EXPECT_EQ(p.entries[2].id, 65535u);
  EXPECT_EQ(p.entries[2].text, std::u16string(u"a\\b\"c\r\nd\te Я\0z", 14));
  EXPECT_EQ(p.entries[3].id, 0u);
  EXPECT_EQ(p.entries[3].text, u"# not a comment");

  // Characters beyond the BMP become surrogate pairs; tabs may stand in the text.
  p = Parse("1 \"😀\tЁ\"");
  ASSERT_TRUE(p.ok) << p.message;
  EXPECT_EQ(p.entries[0].text, u"😀\tЁ");
  EXPECT_TRUE(Parse("").ok);
}

TEST(StringsFormatTest, RefusesMalformedLinesWithTheirNumber) {
  struct Case {
    const char* text;
    int line;
    const char* says;
  } cases[] = {
      {"1 \"ok\"\nx \"text\"", 2, "decimal string id"},
      {"65536 \"big\"", 1, "above 65535"},
      {"1\"no blank\"", 1, "double quotes"},
      {"1 text", 1, "double quotes"},
      {"1 \"open", 1, "no closing"},
      {"1 \"bad \\q\"", 1, "unknown escape"},
      {"1 \"short \\u12\"", 1, "four hex"},
      {"1 \"end\\", 1, "lone backslash"},
      {"1 \"a\" b", 1, "after the closing"},
      {"1 \"\"", 1, "empty"},
      {"1 \"bell \a\"", 1, "control character"},
      {"1 \"\xD0\"", 1, "UTF-8"},  // a lead byte without its continuation
      {"1 \"\xED\xA0\x80\"", 1, "UTF-8"},  // an encoded surrogate
      {"\n\n5 \"a\"\n5 \"b\"", 4, "repeats (first on line 3)"},
  };
  for (const Case& c : cases) {
    auto p = Parse(c.text);
    EXPECT_FALSE(p.ok) << c.text;
    EXPECT_EQ(p.line, c.line) << c.text;
    EXPECT_NE(p.message.find(c.says), std::string::npos) << c.text << " -> " << p.message;
  }
}

// Runs nxrc; returns its exit status and what it wrote on stderr.
class NxrcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nxpal_nxrc_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  int Run(const std::string& args, std::string* err) {
    std::string errFile = dir_ + "/stderr";
    std::string cmd = std::string(NX_TEST_NXRC) + " --output " + dir_ + "/out.cpp " + args + " 2>" + errFile;
    int status = std::system(cmd.c_str());
    std::ifstream in(errFile);
    err->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool OutputExists() { return std::filesystem::exists(dir_ + "/out.cpp"); }

  std::string dir_;
};

TEST_F(NxrcTest, GeneratesFromGoodInputs) {
  std::string a = Write("a.strings", "2 \"two\"\n1 \"один\"\n");
  std::string err;
  ASSERT_EQ(Run("--strings " + a + " --icon 128 " NX_TEST_ICON, &err), 0) << err;
  std::ifstream in(dir_ + "/out.cpp");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Sorted by id; "один" as UTF-16 units; the icon with its measured size.
  EXPECT_LT(text.find("{1, 4, kText0}"), text.find("{2, 3, kText1}"));
  EXPECT_NE(text.find("0x43e,0x434,0x438,0x43d,0}"), std::string::npos);
  EXPECT_NE(text.find("{128, 16, 16, sizeof(kImage0), kImage0}"), std::string::npos);
}

TEST_F(NxrcTest, FailsTheBuildOnBadInputs) {
  std::string err;
  std::string bad = Write("bad.strings", "# ok\n1 \"unterminated\n");
  EXPECT_EQ(Run("--strings " + bad, &err), 1);
  EXPECT_NE(err.find(bad + ":2: "), std::string::npos) << err;
  EXPECT_FALSE(OutputExists());

  std::string a = Write("a.strings", "1 \"one\"\n");
  std::string b = Write("b.strings", "\n1 \"uno\"\n");
  EXPECT_EQ(Run("--strings " + a + " --strings " + b, &err), 1);
  EXPECT_NE(err.find(b + ":2: string id 1 is also defined at " + a + ":1"), std::string::npos) << err;

  std::string notPng = Write("fake.png", "GIF89a not a png at all");
  EXPECT_EQ(Run("--icon 128 " + notPng, &err), 1);
  EXPECT_NE(err.find("not a PNG"), std::string::npos) << err;

  // A truncated PNG: the header is fine, the pixel data stops short.
  std::ifstream good(NX_TEST_ICON, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(good)), std::istreambuf_iterator<char>());
  size_t idat = bytes.find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  std::string cut = Write("cut.png", bytes.substr(0, idat + 8));
  EXPECT_EQ(Run("--icon 128 " + cut, &err), 1);
  EXPECT_NE(err.find("damaged PNG"), std::string::npos) << err;

  EXPECT_EQ(Run("--icon 128 " NX_TEST_ICON " --icon 128 " NX_TEST_ICON, &err), 1);
  EXPECT_NE(err.find("already has a 16x16 image"), std::string::npos) << err;
  EXPECT_EQ(Run("--icon 70000 " NX_TEST_ICON, &err), 1);
  EXPECT_EQ(Run("--strings " + dir_ + "/missing.strings", &err), 1);
  EXPECT_NE(err.find("cannot read"), std::string::npos) << err;
  EXPECT_FALSE(OutputExists());
}

}  // namespace
