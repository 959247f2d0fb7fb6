// Streams: the byte sequences every layer of the system passes around.
//
// A stream has a size and a position and can be read, written, positioned
// and resized. TMemoryStream keeps its bytes in memory and exposes them;
// every request body, answer body and container entry is one.
// TFileStream (platform/file_stream.h) is the stream over a work file.
//
// Errors: reads past the end simply deliver fewer bytes; ReadBuffer and
// WriteBuffer, and every operation of a file stream that the file system
// refuses, throw EStreamError carrying a message.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TMemoryStream;

class TStream {
 public:
  virtual ~TStream() = default;

  virtual int64_t Size() const = 0;
  virtual int64_t Position() const = 0;
  // Any position from 0 on is allowed; a write past the end grows the stream.
  virtual void SetPosition(int64_t position) = 0;
  // Cuts or extends (with zero bytes) the stream; the position is kept but
  // lowered to the new size when it lies beyond it.
  virtual void SetSize(int64_t size) = 0;
  // Reads up to count bytes at the position and advances it; returns the
  // number of bytes read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes at the position and advances it; returns count or
  // throws EStreamError.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;

  // The memory stream behind this object, or nullptr for any other stream.
  // Operations that treat a memory destination specially ask this.
  virtual TMemoryStream* AsMemoryStream() { return nullptr; }

  // Reads exactly count bytes or throws EStreamError("Stream read error").
  void ReadBuffer(void* buffer, int64_t count);
  // Writes exactly count bytes or throws EStreamError("Stream write error").
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source's position on (count 0: the whole source
  // from its start) to this stream's position; throws when source runs short.
  int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream final : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}

  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override;
  void SetSize(int64_t size) override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  TMemoryStream* AsMemoryStream() override { return this; }

  // Empties the stream: size 0, position 0, memory released.
  void Clear();
  // The bytes, exposed directly; valid until the next change of size.
  char* Memory() { return bytes_.data(); }
  const char* Memory() const { return bytes_.data(); }
  const std::string& Bytes() const { return bytes_; }
  // Takes the bytes out, leaving the stream empty.
  std::string TakeBytes();
  // Replaces the whole content with the given file's bytes (position 0).
  // Throws EStreamError when the file cannot be read.
  void LoadFromFile(const std::u16string& path);

 private:
  std::string bytes_;
  int64_t position_ = 0;
};
