#include "app/data_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/scoped_env.h"
#include "pack/text_encodings.h"
#include "support/test_support.h"

namespace {

const char kProbeText[] = "[VEXTTEST_SESSION]\nTEST_ID=TEST OK\n";

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Two candidate folders and a home folder, all inside one temporary folder.
class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.IsolateHome(temp_.File("home"));
    fixed_ = temp_.File("fixed");
    shared_ = temp_.File("shared");
  }
  std::string Choose() {
    return WideToUtf8(
        ChooseDataFolder({Utf8ToWide(fixed_), Utf8ToWide(shared_)}, Utf8ToWide(shared_)));
  }

  TTempDir temp_;
  TScopedEnv env_;
  std::string fixed_, shared_;
};

TEST_F(DataFolderTest, FirstExistingWritableCandidateWins) {
  ASSERT_EQ(mkdir(fixed_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(shared_.c_str(), 0755), 0);
  EXPECT_EQ(Choose(), fixed_);
  EXPECT_EQ(ReadFileBytes(fixed_ + "/Wellcome.ini"), kProbeText);
  EXPECT_TRUE(ListFolder(shared_).empty());  // not probed once the first fits
}

TEST_F(DataFolderTest, MissingCandidateIsSkippedAndNotCreated) {
  ASSERT_EQ(mkdir(shared_.c_str(), 0755), 0);
  EXPECT_EQ(Choose(), shared_);
  EXPECT_FALSE(PathExists(fixed_));
  EXPECT_EQ(ReadFileBytes(shared_ + "/Wellcome.ini"), kProbeText);
}

TEST_F(DataFolderTest, WithoutCandidatesTheDocumentsFolderIsCreated) {
  const std::string expected = temp_.File("home/Documents/CorvaneWeb");
  EXPECT_EQ(Choose(), expected);
  EXPECT_TRUE(IsFolder(expected));
  EXPECT_TRUE(ListFolder(expected).empty());  // no probe file there
  EXPECT_FALSE(PathExists(fixed_));
  EXPECT_FALSE(PathExists(shared_));
}

TEST_F(DataFolderTest, CandidateThatIsAFileIsNoFolder) {
  WriteFileBytes(fixed_, "not a folder");
  ASSERT_EQ(mkdir(shared_.c_str(), 0755), 0);
  EXPECT_EQ(Choose(), shared_);
  EXPECT_EQ(ReadFileBytes(fixed_), "not a folder");
}

// The probe cannot write: the probe file's name is taken by a folder (this
// fails for root too). All 101 attempts are made (about 2 s), then the rule
// moves on to the next candidate.
TEST_F(DataFolderTest, UnwritableCandidateFallsThroughToTheNext) {
  ASSERT_EQ(mkdir(fixed_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((fixed_ + "/Wellcome.ini").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(shared_.c_str(), 0755), 0);
  EXPECT_FALSE(ProbeFolderWritable(Utf8ToWide(fixed_)));
  EXPECT_EQ(Choose(), shared_);
  EXPECT_EQ(ReadFileBytes(shared_ + "/Wellcome.ini"), kProbeText);
  EXPECT_EQ(ListFolder(fixed_), std::vector<std::string>{"Wellcome.ini"});
}

TEST(ProbeFolderWritableTest, CreatesTheFolderAndKeepsOtherSettings) {
  TTempDir temp;
  EXPECT_TRUE(ProbeFolderWritable(temp.WFile("new/folder")));
  EXPECT_EQ(ReadFileBytes(temp.File("new/folder/Wellcome.ini")), kProbeText);

  WriteFileBytes(temp.File("Wellcome.ini"), "[Mine]\na=1\n[VEXTTEST_SESSION]\nTEST_ID=x\nb=2\n");
  EXPECT_TRUE(ProbeFolderWritable(temp.wpath()));
  EXPECT_EQ(ReadFileBytes(temp.File("Wellcome.ini")),
            "[Mine]\na=1\n[VEXTTEST_SESSION]\nTEST_ID=TEST OK\nb=2\n");
}

TEST(WebDataFolderTest, UsesThisPlatformsFixedAndSharedFolders) {
  EXPECT_EQ(WideToUtf8(kFixedDataFolder), "/opt/CorvaneWeb");
  EXPECT_EQ(WideToUtf8(kSharedDataFolder), "/var/lib/CorvaneWeb");
}

}  // namespace
