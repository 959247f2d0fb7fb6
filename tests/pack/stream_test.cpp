#include "pack/stream.h"

#include <gtest/gtest.h>

#include "platform/file_stream.h"
#include "support/test_support.h"

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
