#include "pack/stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_stream.h"
#include "support/test_support.h"

// Writes inside, across and past the end: a gap reads as zero bytes, bytes
// after the written range stay.
TEST(MemoryStream, WritesAtEveryPlaceAgainstTheEnd) {
  struct TCase {
    int64_t position;
    std::string data;
    std::string expected;
  };
  const TCase cases[] = {
      {0, "AB", std::string("ABcdef")},
      {2, "XY", std::string("abXYef")},
      {4, "XYZW", std::string("abcdXYZW")},
      {6, "XY", std::string("abcdefXY")},
      {9, "XY", std::string("abcdef\0\0\0XY", 11)},
      {3, "", std::string("abcdef")},
  };
  for (const TCase& c : cases) {
    TMemoryStream s;
    s.WriteBuffer("abcdef", 6);
    s.SetPosition(c.position);
    s.WriteBuffer(c.data.data(), static_cast<int64_t>(c.data.size()));
    EXPECT_EQ(s.Bytes(), c.expected) << c.position << " " << c.data;
    EXPECT_EQ(s.Position(), c.position + static_cast<int64_t>(c.data.size()));
  }
  // Many small appends keep every byte.
  TMemoryStream grown;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    const std::string piece = std::to_string(i) + ",";
    grown.WriteBuffer(piece.data(), static_cast<int64_t>(piece.size()));
    expected += piece;
  }
  EXPECT_TRUE(grown.Bytes() == expected);
}

TEST(MemoryStream, WriteReadSeekResize) {
  TMemoryStream s;
  s.WriteBuffer("hello", 5);
  EXPECT_EQ(s.Size(), 5);
  EXPECT_EQ(s.Position(), 5);
  s.SetPosition(3);
  s.WriteBuffer("LOWORLD", 7);  // overwrites the tail and grows
  EXPECT_EQ(s.Bytes(), "helLOWORLD");
  s.SetSize(4);
  EXPECT_EQ(s.Position(), 4);
  s.SetPosition(1);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 3);
  EXPECT_EQ(std::string(buf, 3), "elL");
  EXPECT_EQ(s.Read(buf, 8), 0);
  EXPECT_THROW(s.ReadBuffer(buf, 1), EStreamError);
  s.SetSize(6);  // extends with zero bytes
  EXPECT_EQ(s.Bytes(), std::string("helL\0\0", 6));
}

TEST(FileStream, CreateReplacesAndExclusiveRefusesExisting) {
  TTempDir dir;
  WriteFileBytes(dir.File("w.bin"), "old content");
  {
    TFileStream f = TFileStream::Create(dir.WFile("w.bin"));
    EXPECT_EQ(f.Size(), 0);
    f.WriteBuffer("abc", 3);
  }
  EXPECT_EQ(ReadFileBytes(dir.File("w.bin")), "abc");
  EXPECT_THROW(TFileStream::CreateExclusive(dir.WFile("w.bin")), EStreamError);
  TFileStream e = TFileStream::CreateExclusive(dir.WFile("new.bin"));
  e.WriteBuffer("xyz", 3);
  e.SetPosition(1);
  char c[2];
  e.ReadBuffer(c, 2);
  EXPECT_EQ(std::string(c, 2), "yz");
}

TEST(FileStream, OpenReadWriteShareReadFailsOnMissingFileAfterTries) {
  TTempDir dir;
  try {
    TFileStream::OpenReadWriteShareRead(dir.WFile("missing"));
    FAIL() << "opened a missing file";
  } catch (const EStreamError& e) {
    EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos);
  }
}

TEST(FileStream, NeitherCreationFollowsALinkPlantedAtTheName) {
  TTempDir dir;
  WriteFileBytes(dir.File("victim"), "precious");
  ASSERT_EQ(symlink(dir.File("victim").c_str(), dir.File("link").c_str()), 0);
  EXPECT_THROW(TFileStream::CreateExclusive(dir.WFile("link")), EStreamError);
  EXPECT_THROW(TFileStream::Create(dir.WFile("link")), EStreamError);
  EXPECT_EQ(ReadFileBytes(dir.File("victim")), "precious");
  // A dangling link is no way in either.
  ASSERT_EQ(symlink(dir.File("nothing").c_str(), dir.File("dangling").c_str()), 0);
  EXPECT_THROW(TFileStream::CreateExclusive(dir.WFile("dangling")), EStreamError);
  EXPECT_FALSE(PathExists(dir.File("nothing")));
}

TEST(FileStream, ExclusiveFileIsTheOwnersAlone) {
  TTempDir dir;
  const mode_t old_mask = umask(0);
  { TFileStream f = TFileStream::CreateExclusive(dir.WFile("work.smf")); }
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(dir.File("work.smf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(FileStream, CreateMakesAReadOnlyFileWritableAndEmpty) {
  TTempDir dir;
  WriteFileBytes(dir.File("ro"), "old");
  ASSERT_EQ(chmod(dir.File("ro").c_str(), 0444), 0);
  { TFileStream f = TFileStream::Create(dir.WFile("ro")); f.WriteBuffer("new", 3); }
  EXPECT_EQ(ReadFileBytes(dir.File("ro")), "new");
}

TEST(FileStream, ShareReadLetsReadersInAndKeepsExclusiveOpenersOut) {
  TTempDir dir;
  WriteFileBytes(dir.File("d"), "0123456789");
  TFileStream f = TFileStream::OpenReadWriteShareRead(dir.WFile("d"));
  const int other = open(dir.File("d").c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), 0);
  flock(other, LOCK_UN);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
  f.SetPosition(8);
  f.WriteBuffer("AB", 2);
  f.SetSize(5);
  EXPECT_EQ(f.Size(), 5);
  EXPECT_EQ(f.Position(), 5);
  f.Close();
  EXPECT_EQ(ReadFileBytes(dir.File("d")), "01234");
}

TEST(FileStream, SetFileTimesTakesWindowsFileTimes) {
  TTempDir dir;
  TFileStream f = TFileStream::Create(dir.WFile("t"));
  // 2020-01-02 03:04:05.5 UTC in 100 ns units since 1601.
  const uint64_t t = 116444736000000000ULL + 1577934245ULL * 10000000ULL + 5000000ULL;
  ASSERT_TRUE(f.SetFileTimes(t, t));
  struct stat st;
  ASSERT_EQ(stat(dir.File("t").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1577934245);
  EXPECT_EQ(st.st_mtim.tv_nsec, 500000000);
}

TEST(MemoryStream, LoadFromFileTakesTheWholeFile) {
  TTempDir dir;
  const std::string bytes = ExecutableLikeBytes(1000003);
  WriteFileBytes(dir.File("f"), bytes);
  TMemoryStream s(std::string("previous"));
  s.SetPosition(3);
  s.LoadFromFile(dir.WFile("f"));
  EXPECT_EQ(s.Position(), 0);
  EXPECT_TRUE(s.Bytes() == bytes);
  WriteFileBytes(dir.File("empty"), "");
  s.LoadFromFile(dir.WFile("empty"));
  EXPECT_EQ(s.Size(), 0);
  EXPECT_THROW(s.LoadFromFile(dir.WFile("missing")), EStreamError);
}

TEST(Stream, CopyFromCopiesOrRaises) {
  TMemoryStream source(std::string("abcdef")), dest;
  source.SetPosition(4);
  EXPECT_EQ(dest.CopyFrom(source, 0), 6);  // 0: the whole source from its start
  EXPECT_EQ(dest.Bytes(), "abcdef");
  source.SetPosition(1);
  TMemoryStream part;
  part.CopyFrom(source, 3);
  EXPECT_EQ(part.Bytes(), "bcd");
  EXPECT_THROW(part.CopyFrom(source, 10), EStreamError);
}
