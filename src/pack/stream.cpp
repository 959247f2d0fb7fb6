#include "pack/stream.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/file_stream.h"

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count <= 0) return;
  if (Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count <= 0) return;
  if (Write(buffer, count) != count) throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  constexpr int64_t kChunk = 1 << 20;
  std::vector<char> buffer(static_cast<size_t>(std::min(count, kChunk)));
  int64_t left = count;
  while (left > 0) {
    const int64_t n = std::min(left, kChunk);
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

void TMemoryStream::SetPosition(int64_t position) {
  if (position < 0) throw EStreamError("Stream position out of range");
  position_ = position;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError("Stream size out of range");
  bytes_.resize(static_cast<size_t>(size));
  if (position_ > size) position_ = size;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= Size()) return 0;
  const int64_t n = std::min(count, Size() - position_);
  std::memcpy(buffer, bytes_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t end = position_ + count;
  const char* bytes = static_cast<const char*>(buffer);
  // Grow geometrically so that appending piece by piece stays linear.
  if (end > Size() && static_cast<size_t>(end) > bytes_.capacity())
    bytes_.reserve(std::max(static_cast<size_t>(end), bytes_.capacity() * 3 / 2));
  // A gap between the end and the position reads as zero bytes.
  if (position_ > Size()) bytes_.resize(static_cast<size_t>(position_));
  // Bytes over existing ones are copied in place, the rest appended: new
  // room is filled once, by the copy, instead of being zeroed first.
  const int64_t overlap = std::min(count, Size() - position_);
  if (overlap > 0) std::memcpy(bytes_.data() + position_, bytes, static_cast<size_t>(overlap));
  if (overlap < count) bytes_.append(bytes + overlap, static_cast<size_t>(count - overlap));
  position_ = end;
  return count;
}

void TMemoryStream::Clear() {
  std::string().swap(bytes_);
  position_ = 0;
}

std::string TMemoryStream::TakeBytes() {
  std::string out;
  out.swap(bytes_);
  position_ = 0;
  return out;
}

void TMemoryStream::LoadFromFile(const std::u16string& path) {
  TFileStream file = TFileStream::OpenRead(path);
  // Reserved once at the file's size and filled piece by piece: the memory
  // is touched once, by the copy, instead of being zeroed first.
  constexpr int64_t kPiece = 256 * 1024;
  std::string bytes;
  bytes.reserve(static_cast<size_t>(file.Size()));
  std::vector<char> piece(kPiece);
  for (int64_t n = file.Read(piece.data(), kPiece); n > 0; n = file.Read(piece.data(), kPiece))
    bytes.append(piece.data(), static_cast<size_t>(n));
  bytes_.swap(bytes);
  position_ = 0;
}
