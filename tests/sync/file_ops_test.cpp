#include "platform/file_ops.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/file_stream.h"
#include "support/sync_support.h"
#include "support/test_support.h"

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(FileIsPresentTest, FilesYesFoldersAndMissingNo) {
  TTempDir dir;
  WriteFileBytes(dir.File("f"), "x");
  EXPECT_TRUE(FileIsPresent(dir.WFile("f")));
  EXPECT_FALSE(FileIsPresent(dir.wpath()));
  EXPECT_FALSE(FileIsPresent(dir.WFile("missing")));
}

TEST(ClearFileAttributesTest, GivesTheOwnerWritePermission) {
  TTempDir dir;
  WriteFileBytes(dir.File("ro"), "x");
  chmod(dir.File("ro").c_str(), 0444);
  ClearFileAttributes(dir.WFile("ro"));
  EXPECT_EQ(ModeOf(dir.File("ro")), 0644u);
  ClearFileAttributes(dir.WFile("missing"));  // ignored
}

TEST(CanOpenExclusivelyTest, FreeFile) {
  TTempDir dir;
  WriteFileBytes(dir.File("f"), "x");
  EXPECT_TRUE(CanOpenExclusively(dir.WFile("f")));
  EXPECT_TRUE(CanOpenExclusively(dir.WFile("f"))) << "the test itself must leave no lock behind";
  EXPECT_FALSE(CanOpenExclusively(dir.WFile("missing")));
  EXPECT_FALSE(CanOpenExclusively(dir.wpath()));
}

TEST(CanOpenExclusivelyTest, HeldByLocksOfOtherOpenFiles) {
  TTempDir dir;
  WriteFileBytes(dir.File("f"), "x");
  {
    const int fd = open(dir.File("f").c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_FALSE(CanOpenExclusively(dir.WFile("f")));
    close(fd);
  }
  {
    // A work file open "for reading and writing while others may read".
    TFileStream shared = TFileStream::OpenReadWriteShareRead(dir.WFile("f"));
    EXPECT_FALSE(CanOpenExclusively(dir.WFile("f")));
  }
  EXPECT_TRUE(CanOpenExclusively(dir.WFile("f")));
}

TEST(CanOpenExclusivelyTest, ReadOnlyFileIsNotWritable) {
  if (geteuid() == 0) GTEST_SKIP() << "root opens read-only files for writing";
  TTempDir dir;
  WriteFileBytes(dir.File("ro"), "x");
  chmod(dir.File("ro").c_str(), 0444);
  EXPECT_FALSE(CanOpenExclusively(dir.WFile("ro")));
}

TEST(CanOpenExclusivelyTest, RunningProgramIsHeldUntilItEnds) {
  TTempDir dir;
  TRunningProgram program(dir.File("Nimbara.exe"));
  program.Start();
  EXPECT_FALSE(CanOpenExclusively(dir.WFile("Nimbara.exe")));
  program.Stop();
  EXPECT_TRUE(CanOpenExclusively(dir.WFile("Nimbara.exe")));
}

TEST(RenameFileAndWaitTest, RenamesButNeverReplaces) {
  TTempDir dir;
  WriteFileBytes(dir.File("a"), "A");
  WriteFileBytes(dir.File("b"), "B");
  EXPECT_FALSE(RenameFileAndWait(dir.WFile("a"), dir.WFile("b")));
  EXPECT_EQ(ReadFileBytes(dir.File("a")), "A");
  EXPECT_EQ(ReadFileBytes(dir.File("b")), "B");

  EXPECT_TRUE(RenameFileAndWait(dir.WFile("a"), dir.WFile("c")));
  EXPECT_FALSE(PathExists(dir.File("a")));
  EXPECT_EQ(ReadFileBytes(dir.File("c")), "A");
  EXPECT_FALSE(RenameFileAndWait(dir.WFile("missing"), dir.WFile("d")));
}

TEST(CopyFileOverTest, ReplacesAReadOnlyDestination) {
  TTempDir dir;
  const std::string content = ExecutableLikeBytes(300000);
  WriteFileBytes(dir.File("src"), content);
  WriteFileBytes(dir.File("dst"), "old and longer than nothing");
  chmod(dir.File("dst").c_str(), 0444);
  ASSERT_TRUE(CopyFileOver(dir.WFile("src"), dir.WFile("dst")));
  EXPECT_EQ(ReadFileBytes(dir.File("dst")), content);
  EXPECT_EQ(ReadFileBytes(dir.File("src")), content);
}

TEST(CopyFileOverTest, DoesNotWriteThroughALinkAtTheDestination) {
  TTempDir dir;
  WriteFileBytes(dir.File("src"), "new");
  WriteFileBytes(dir.File("victim"), "keep me");
  ASSERT_EQ(symlink(dir.File("victim").c_str(), dir.File("dst").c_str()), 0);
  ASSERT_TRUE(CopyFileOver(dir.WFile("src"), dir.WFile("dst")));
  EXPECT_EQ(ReadFileBytes(dir.File("victim")), "keep me");
  EXPECT_EQ(ReadFileBytes(dir.File("dst")), "new");
}

TEST(CopyFileOverTest, MissingSourceFails) {
  TTempDir dir;
  EXPECT_FALSE(CopyFileOver(dir.WFile("missing"), dir.WFile("dst")));
  EXPECT_FALSE(PathExists(dir.File("dst")));
}

ino_t InodeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

TEST(LinkOrCopyFileTest, SecondNameOfTheSameFile) {
  TTempDir dir;
  const std::string content = ExecutableLikeBytes(70000);
  WriteFileBytes(dir.File("src"), content);
  chmod(dir.File("src").c_str(), 0555);
  bool linked = false;
  ASSERT_TRUE(LinkOrCopyFile(dir.WFile("src"), dir.WFile("ref"), linked));
  EXPECT_TRUE(linked);
  EXPECT_EQ(InodeOf(dir.File("ref")), InodeOf(dir.File("src")));
  EXPECT_EQ(ReadFileBytes(dir.File("ref")), content);

  // A leftover of that name (here the same link, read-only) is replaced
  // without touching the mode bits it shares with the source.
  ASSERT_TRUE(LinkOrCopyFile(dir.WFile("src"), dir.WFile("ref"), linked));
  EXPECT_EQ(ModeOf(dir.File("src")), 0555u);
  // Replacing a name never writes through a symbolic link planted there.
  WriteFileBytes(dir.File("victim"), "keep me");
  ASSERT_EQ(unlink(dir.File("ref").c_str()), 0);
  ASSERT_EQ(symlink(dir.File("victim").c_str(), dir.File("ref").c_str()), 0);
  ASSERT_TRUE(LinkOrCopyFile(dir.WFile("src"), dir.WFile("ref"), linked));
  EXPECT_EQ(ReadFileBytes(dir.File("victim")), "keep me");
  EXPECT_EQ(ReadFileBytes(dir.File("ref")), content);
}

TEST(LinkOrCopyFileTest, MissingSourceOrFolderFails) {
  TTempDir dir;
  bool linked = true;
  EXPECT_FALSE(LinkOrCopyFile(dir.WFile("missing"), dir.WFile("ref"), linked));
  EXPECT_FALSE(linked);
  EXPECT_FALSE(PathExists(dir.File("ref")));
  ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0755), 0);
  EXPECT_FALSE(LinkOrCopyFile(dir.WFile("folder"), dir.WFile("ref"), linked));
  EXPECT_FALSE(PathExists(dir.File("ref")));
}

TEST(CopyFileBytesTest, CopiesARangeIntoPlace) {
  TTempDir dir;
  const std::string source = ExecutableLikeBytes(300000);
  WriteFileBytes(dir.File("src"), source);
  struct TCase {
    int64_t from, to, length;
  };
  const TCase cases[] = {{0, 0, 300000}, {1000, 5, 200000}, {299999, 7, 1}, {5, 250000, 100000},
                         {123, 0, 0}};
  for (const TCase& c : cases) {
    std::string expected(260000, 'd');
    WriteFileBytes(dir.File("dst"), expected);
    ASSERT_TRUE(CopyFileBytes(dir.WFile("src"), c.from, dir.WFile("dst"), c.to, c.length))
        << c.from << " " << c.to << " " << c.length;
    if (expected.size() < static_cast<size_t>(c.to + c.length))
      expected.resize(static_cast<size_t>(c.to + c.length), '\0');
    expected.replace(static_cast<size_t>(c.to), static_cast<size_t>(c.length),
                     source.substr(static_cast<size_t>(c.from), static_cast<size_t>(c.length)));
    EXPECT_TRUE(ReadFileBytes(dir.File("dst")) == expected)
        << c.from << " " << c.to << " " << c.length;
  }
}

TEST(CopyFileBytesTest, ShortSourceAndMissingFilesFail) {
  TTempDir dir;
  WriteFileBytes(dir.File("src"), std::string(1000, 's'));
  WriteFileBytes(dir.File("dst"), "");
  EXPECT_FALSE(CopyFileBytes(dir.WFile("src"), 500, dir.WFile("dst"), 0, 501));
  EXPECT_FALSE(CopyFileBytes(dir.WFile("missing"), 0, dir.WFile("dst"), 0, 1));
  EXPECT_FALSE(CopyFileBytes(dir.WFile("src"), 0, dir.WFile("missing"), 0, 1));
  EXPECT_FALSE(PathExists(dir.File("missing")));
  EXPECT_FALSE(CopyFileBytes(dir.WFile("src"), -1, dir.WFile("dst"), 0, 1));
}

TEST(FileTimesTest, SetTimesReadBackExactlyIn100NsUnits) {
  TTempDir dir;
  WriteFileBytes(dir.File("f"), "12345");
  // 2023-11-14 22:13:20.1234567 UTC and a time before 1970.
  const uint64_t write_time = 133445996001234567ULL;
  const uint64_t access_time = 100000000000000001ULL;
  {
    TFileStream f = TFileStream::OpenReadWriteShareRead(dir.WFile("f"));
    ASSERT_TRUE(f.SetFileTimes(access_time, write_time));
  }
  TLocalFileInfo info;
  ASSERT_TRUE(ReadLocalFileInfo(dir.WFile("f"), info));
  EXPECT_EQ(info.WriteTime, write_time);
  EXPECT_EQ(info.Size, 5);
  uint64_t a = 0, w = 0;
  ASSERT_TRUE(ReadFileTimes(dir.WFile("f"), a, w));
  EXPECT_EQ(a, access_time);
  EXPECT_EQ(w, write_time);
  EXPECT_FALSE(ReadLocalFileInfo(dir.WFile("missing"), info));
}

TEST(MoveFileOverTest, ReplacesTheTargetKeepingItsPermissionBits) {
  TTempDir dir;
  WriteFileBytes(dir.File("new"), "fresh");
  WriteFileBytes(dir.File("target"), "old");
  chmod(dir.File("new").c_str(), 0600);
  chmod(dir.File("target").c_str(), 0751);
  ASSERT_TRUE(MoveFileOver(dir.WFile("new"), dir.WFile("target")));
  EXPECT_EQ(ReadFileBytes(dir.File("target")), "fresh");
  EXPECT_EQ(ModeOf(dir.File("target")), 0751u);
  EXPECT_FALSE(PathExists(dir.File("new")));
}

TEST(MoveFileOverTest, NewTargetGetsTheUsualMode) {
  TTempDir dir;
  WriteFileBytes(dir.File("new"), "fresh");
  chmod(dir.File("new").c_str(), 0600);
  ASSERT_TRUE(MoveFileOver(dir.WFile("new"), dir.WFile("target")));
  EXPECT_EQ(ModeOf(dir.File("target")), 0644u);
}

TEST(MoveFileOverTest, RunningTargetIsReplacedWhileTheProgramKeepsItsOldFile) {
  TTempDir dir;
  TRunningProgram program(dir.File("target"));
  program.Start();
  WriteFileBytes(dir.File("new"), "fresh");
  ASSERT_TRUE(MoveFileOver(dir.WFile("new"), dir.WFile("target")));
  EXPECT_EQ(ReadFileBytes(dir.File("target")), "fresh");
  EXPECT_EQ(ModeOf(dir.File("target")), 0755u);
}

TEST(MoveFileOverTest, FolderInTheWayFailsAndKeepsBoth) {
  TTempDir dir;
  WriteFileBytes(dir.File("new"), "fresh");
  ASSERT_EQ(mkdir(dir.File("target").c_str(), 0755), 0);
  WriteFileBytes(dir.File("target/inside"), "x");
  EXPECT_FALSE(MoveFileOver(dir.WFile("new"), dir.WFile("target")));
  EXPECT_EQ(ReadFileBytes(dir.File("new")), "fresh");
  EXPECT_EQ(ReadFileBytes(dir.File("target/inside")), "x");
}

}  // namespace
