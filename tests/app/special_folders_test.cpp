#include "ui/special_folders.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <set>

#include "app/scoped_env.h"
#include "pack/text_encodings.h"
#include "support/test_support.h"

namespace {

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(SpecialFolderNamesTest, HoldsTheSixtyFourEntriesInTheirOrder) {
  const auto& names = SpecialFolderNames();
  ASSERT_EQ(names.size(), 64u);
  EXPECT_EQ(names[0], std::make_pair(std::string("CSIDL_DESKTOP"), 0));
  EXPECT_EQ(names[15], std::make_pair(std::string("CSIDL_DESKTOPDIRECTORY"), 16));
  EXPECT_EQ(names[25], std::make_pair(std::string("CSIDL_APPDATA"), 26));
  EXPECT_EQ(names[49], std::make_pair(std::string("CSIDL_COMMON_MUSIC"), 53));
  EXPECT_EQ(names[57], std::make_pair(std::string("CSIDL_PROFILES"), 62));
  EXPECT_EQ(names[58], std::make_pair(std::string("CSIDL_FLAG_CREATE"), 0x8000));
  EXPECT_EQ(names[63], std::make_pair(std::string("CSIDL_FLAG_MASK"), 0xFF00));

  std::set<std::string> unique_names;
  std::set<int32_t> values;
  for (const auto& [name, value] : names) {
    EXPECT_EQ(name.rfind("CSIDL_", 0), 0u) << name;
    unique_names.insert(name);
    values.insert(value);
  }
  EXPECT_EQ(unique_names.size(), 64u);
  EXPECT_EQ(values.size(), 64u);
  for (int32_t missing : {15, 50, 51, 52, 60}) EXPECT_EQ(values.count(missing), 0u) << missing;
}

TEST(SpecialFolderByNameTest, MatchesInAnyLetterCase) {
  const struct {
    std::u16string name;
    int32_t value;
  } cases[] = {
      {u"CSIDL_APPDATA", 26},  {u"csidl_appdata", 26},       {u"CsIdL_PeRsOnAl", 5},
      {u"CSIDL_DESKTOP", 0},   {u"csidl_flag_mask", 0xFF00}, {u"CSIDL_PROFILES", 62},
      {u"CSIDL_APPDATA ", -1}, {u"CSIDL_APP", -1},           {u"", -1},
      {u"/home/user", -1},     {u"\u8cc7\u6599", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(SpecialFolderByName(c.name), c.value) << WideToUtf8(c.name);
}

TEST(RemoveTrailingBackslashTest, RemovesOneClosingSeparator) {
  const struct {
    std::u16string in, out;
  } cases[] = {
      {u"/a/b/", u"/a/b"}, {u"/a/b//", u"/a/b/"}, {u"/", u""},
      {u"", u""},          {u"/a/b", u"/a/b"},    {u"a\\", u"a\\"},
  };
  for (const auto& c : cases) EXPECT_EQ(RemoveTrailingBackslash(c.in), c.out) << WideToUtf8(c.in);
}

// A home folder and a user-dirs.dirs under control of the test.
class SpecialFolderPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = temp_.File("home");
    config_ = temp_.File("config");
    env_.IsolateHome(home_);
    env_.Set("XDG_CONFIG_HOME", config_);
    ASSERT_EQ(mkdir(config_.c_str(), 0755), 0);
  }
  std::string Path(int32_t folder) {
    std::u16string path = u"unchanged";
    if (!SpecialFolderPath(folder, path)) return "<failed>" + WideToUtf8(path);
    return WideToUtf8(path);
  }

  TTempDir temp_;
  TScopedEnv env_;
  std::string home_, config_;
};

TEST_F(SpecialFolderPathTest, MapsToXdgFoldersOfTheControlledEnvironment) {
  WriteFileBytes(config_ + "/user-dirs.dirs",
                 "# written by the test\n"
                 "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n"
                 "XDG_MUSIC_DIR=\"/srv/music/\"\n"
                 "XDG_PICTURES_DIR=\"relative/pictures\"\n"
                 "XDG_VIDEOS_DIR=\"$HOME/FileVideos\"\n"
                 "XDG_TEMPLATES_DIR=\"$HOME/My \\\"Templates\\\"\"\n"
                 "XDG_DESKTOP_DIR=\"$HOME/\"\n");
  env_.Set("XDG_VIDEOS_DIR", "$HOME/EnvVideos");  // the environment wins
  env_.Set("XDG_DATA_HOME", "/data/home/");
  env_.Set("XDG_CACHE_HOME", "relative-cache");  // not absolute: ignored

  const struct {
    int32_t folder;
    std::string path;
  } cases[] = {
      {5, home_ + "/Docs"},               // CSIDL_PERSONAL
      {12, home_ + "/Docs"},              // CSIDL_MYDOCUMENTS
      {13, "/srv/music"},                 // CSIDL_MYMUSIC
      {39, home_ + "/Pictures"},          // CSIDL_MYPICTURES: default
      {14, home_ + "/EnvVideos"},         // CSIDL_MYVIDEO
      {21, home_ + "/My \"Templates\""},  // CSIDL_TEMPLATES
      {0, home_},                         // CSIDL_DESKTOP
      {16, home_},                        // CSIDL_DESKTOPDIRECTORY
      {26, config_},                      // CSIDL_APPDATA
      {7, config_ + "/autostart"},        // CSIDL_STARTUP
      {28, "/data/home"},                 // CSIDL_LOCAL_APPDATA
      {2, "/data/home/applications"},     // CSIDL_PROGRAMS
      {11, "/data/home/applications"},    // CSIDL_STARTMENU
      {32, home_ + "/.cache"},            // CSIDL_INTERNET_CACHE
      {40, home_},                        // CSIDL_PROFILE
      {20, "/usr/share/fonts"},           // CSIDL_FONTS
      {23, "/usr/share/applications"},    // CSIDL_COMMON_PROGRAMS
      {24, "/etc/xdg/autostart"},         // CSIDL_COMMON_STARTUP
      {35, "/var/lib"},                   // CSIDL_COMMON_APPDATA
      {38, "/opt"},                       // CSIDL_PROGRAM_FILES
      {62, "/home"},                      // CSIDL_PROFILES
  };
  for (const auto& c : cases) EXPECT_EQ(Path(c.folder), c.path) << "folder " << c.folder;
}

TEST_F(SpecialFolderPathTest, DefaultsWithoutUserDirsFileOrVariables) {
  env_.Unset("XDG_CONFIG_HOME");
  EXPECT_EQ(Path(5), home_ + "/Documents");
  EXPECT_EQ(Path(0), home_ + "/Desktop");
  EXPECT_EQ(Path(13), home_ + "/Music");
  EXPECT_EQ(Path(26), home_ + "/.config");
  EXPECT_EQ(Path(28), home_ + "/.local/share");
  std::u16string documents;
  ASSERT_TRUE(MyDocumentsPath(documents));
  EXPECT_EQ(WideToUtf8(documents), home_ + "/Documents");
}

TEST_F(SpecialFolderPathTest, RootFolderLosesItsSeparator) {
  env_.Set("XDG_DOCUMENTS_DIR", "/");
  EXPECT_EQ(Path(5), "");
}

TEST_F(SpecialFolderPathTest, VirtualFoldersFlagsAndUnknownValuesFailLeavingPath) {
  for (int32_t folder :
       {1, 3, 4, 10, 17, 18, 19, 27, 49, 61, 0x8000, 0x4000, 0xFF00, 15, 50, 60, -1, 1000})
    EXPECT_EQ(Path(folder), "<failed>unchanged") << "folder " << folder;
}

TEST(ForceFolderTest, CreatesMissingParentsAndAcceptsExisting) {
  TTempDir temp;
  const std::string deep = temp.File("a/b/c");
  int error = -1;
  EXPECT_TRUE(ForceFolder(Utf8ToWide(deep + "/"), &error));
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(IsFolder(deep));
  error = -1;
  EXPECT_TRUE(ForceFolder(Utf8ToWide(deep), &error));
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(ForceFolder(u"/"));
  EXPECT_TRUE(ForceFolder(Utf8ToWide(temp.File("\xe8\xb3\x87\xe6\x96\x99"))));
  EXPECT_TRUE(IsFolder(temp.File("\xe8\xb3\x87\xe6\x96\x99")));
}

// Short and relative paths are real folders here: only the root ends the
// climb without creating anything.
TEST(ForceFolderTest, ShortAndRelativePathsAreCreated) {
  TTempDir temp;
  char old_folder[PATH_MAX];
  ASSERT_NE(getcwd(old_folder, sizeof(old_folder)), nullptr);
  ASSERT_EQ(chdir(temp.path().c_str()), 0);
  const bool two_letters = ForceFolder(u"ab");
  const bool one_name = ForceFolder(u"abc");
  const bool nested = ForceFolder(u"x/y/");
  ASSERT_EQ(chdir(old_folder), 0);
  EXPECT_TRUE(two_letters);
  EXPECT_TRUE(one_name);
  EXPECT_TRUE(nested);
  EXPECT_TRUE(IsFolder(temp.File("ab")));
  EXPECT_TRUE(IsFolder(temp.File("abc")));
  EXPECT_TRUE(IsFolder(temp.File("x/y")));
}

TEST(ForceFolderTest, FailsWithErrnoWhereAFileIsInTheWay) {
  TTempDir temp;
  WriteFileBytes(temp.File("file"), "x");
  int error = 0;
  // The climb stops at "file", which cannot be made a folder.
  EXPECT_FALSE(ForceFolder(Utf8ToWide(temp.File("file/sub/deeper")), &error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_FALSE(PathExists(temp.File("file/sub")));
  error = 0;
  EXPECT_FALSE(ForceFolder(Utf8ToWide(temp.File("file")), &error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_FALSE(ForceFolder(u""));
  EXPECT_FALSE(ForceFolder(u"", nullptr));
}

TEST_F(SpecialFolderPathTest, BrowserBaseFolderCases) {
  const struct {
    std::u16string dir_text;
    std::string base;
  } cases[] = {
      {u"", home_ + "/Documents"},         {u"csidl_appdata", config_}, {u"CSIDL_PROFILE", home_},
      {u"/srv/corvane/", "/srv/corvane/"},  // a plain path stays as written
      {u"relative\\dir", "relative\\dir"}, {u"CSIDL_DRIVES", ""},       {u"CSIDL_FLAG_CREATE", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(WideToUtf8(BrowserBaseFolder(c.dir_text)), c.base) << WideToUtf8(c.dir_text);
}

}  // namespace
