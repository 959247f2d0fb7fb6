// TFileStream: the stream over a file, for work files.
//
// Two ways of opening a work file, each making up to 3 tries 10 ms apart and
// throwing EStreamError after the third:
//   Create                 an existing file of that name gets owner write
//                          permission and is replaced by an empty file, open
//                          for reading and writing; a link at the name is
//                          not followed (the open fails);
//   CreateExclusive        a new file, readable and writable by its owner
//                          only (0600), failing when the name exists (no link
//                          is followed), open for reading and writing;
//   OpenReadWriteShareRead an existing file, open for reading and writing;
//                          others may read it, no other process may take an
//                          exclusive lock on it while it is open.
// OpenRead opens an existing file for reading only (one try).
//
// A TFileStream is moved, never copied; it closes its descriptor when
// destroyed. It is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "pack/stream.h"

class TFileStream final : public TStream {
 public:
  static TFileStream Create(const std::u16string& path);
  static TFileStream CreateExclusive(const std::u16string& path);
  static TFileStream OpenReadWriteShareRead(const std::u16string& path);
  static TFileStream OpenRead(const std::u16string& path);

  TFileStream(TFileStream&& other) noexcept;
  TFileStream& operator=(TFileStream&& other) noexcept;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  ~TFileStream() override;

  int64_t Size() const override;
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override;
  void SetSize(int64_t size) override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;

  // Sets the access and last write times, in 100 ns units since
  // 1601-01-01 UTC (Windows file times); the creation time cannot be set
  // here and is ignored. Returns false when the file system refuses.
  bool SetFileTimes(uint64_t access_time, uint64_t write_time);

  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  const std::u16string& Path() const { return path_; }

 private:
  TFileStream(int fd, std::u16string path) : fd_(fd), path_(std::move(path)) {}

  int fd_ = -1;
  int64_t position_ = 0;
  std::u16string path_;
};
