#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "pack/text_encodings.h"
#include "support/test_support.h"

namespace {

TEST(SetIniValueTest, UpdatesOneKeyAndKeepsEverythingElse) {
  const struct {
    const char* name;
    std::string before, after;
  } cases[] = {
      {"empty file", "", "[S]\nK=V\n"},
      {"other section kept", "[A]\nx=1\n", "[A]\nx=1\n[S]\nK=V\n"},
      {"no final newline", "[A]\nx=1", "[A]\nx=1\n[S]\nK=V\n"},
      {"key replaced, case-insensitive", "[a]\nx=1\n[s]\n k = old\ny=2\n[b]\nk=other\n",
       "[a]\nx=1\n[s]\nK=V\ny=2\n[b]\nk=other\n"},
      {"key added after last line of section", "[S]\ny=2\n\n[B]\nz=3\n",
       "[S]\ny=2\nK=V\n\n[B]\nz=3\n"},
      {"section at end without newline", "[S]\ny=2", "[S]\ny=2\nK=V\n"},
      {"comment is no key", "[S]\n;K=commented\n", "[S]\n;K=commented\nK=V\n"},
      {"first of two sections used", "[S]\nK=1\n[S]\nK=2\n", "[S]\nK=V\n[S]\nK=2\n"},
      {"CRLF file keeps CRLF", "[A]\r\nx=1\r\n", "[A]\r\nx=1\r\n[S]\r\nK=V\r\n"},
      {"replaced line keeps its ending", "[S]\r\nK=1\r\nz=2\r\n", "[S]\r\nK=V\r\nz=2\r\n"},
      {"keys before any section ignored", "K=top\n[S]\n", "K=top\n[S]\nK=V\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(SetIniValue(c.before, "S", "K", "V"), c.after) << c.name;
}

TEST(WriteIniStringTest, CreatesThenUpdatesKeepingOtherSectionsAndMode) {
  TTempDir temp;
  const std::string file = temp.File("settings.ini");
  std::u16string error;
  ASSERT_TRUE(WriteIniString(Utf8ToWide(file), u"VEXTTEST_SESSION", u"TEST_ID", u"TEST OK", error))
      << WideToUtf8(error);
  EXPECT_EQ(ReadFileBytes(file), "[VEXTTEST_SESSION]\nTEST_ID=TEST OK\n");

  WriteFileBytes(file, "[Other]\nname=\xe8\xb3\x87\n[VEXTTEST_SESSION]\nTEST_ID=old\nkeep=1\n");
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(WriteIniString(Utf8ToWide(file), u"VEXTTEST_SESSION", u"TEST_ID", u"TEST OK", error));
  EXPECT_EQ(ReadFileBytes(file),
            "[Other]\nname=\xe8\xb3\x87\n[VEXTTEST_SESSION]\nTEST_ID=TEST OK\nkeep=1\n");
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ListFolder(temp.path()), std::vector<std::string>{"settings.ini"});
}

TEST(WriteIniStringTest, FailureReportsAndLeavesNothingBehind) {
  TTempDir temp;
  std::u16string error;
  // The name is taken by a folder.
  ASSERT_EQ(mkdir(temp.File("taken.ini").c_str(), 0755), 0);
  EXPECT_FALSE(WriteIniString(temp.WFile("taken.ini"), u"S", u"K", u"V", error));
  EXPECT_NE(WideToUtf8(error).find("taken.ini"), std::string::npos) << WideToUtf8(error);
  // The folder does not exist.
  error.clear();
  EXPECT_FALSE(WriteIniString(temp.WFile("missing/x.ini"), u"S", u"K", u"V", error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ListFolder(temp.path()), std::vector<std::string>{"taken.ini"});
  EXPECT_TRUE(ListFolder(temp.File("taken.ini")).empty());
}

}  // namespace
