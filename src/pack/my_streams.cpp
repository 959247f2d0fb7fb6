#include "pack/my_streams.h"

#include <algorithm>
#include <cstring>

#include "pack/text_encodings.h"

namespace {

// Upper-case form of the letters whose case entry names may differ in:
// Latin (ASCII, Latin-1, Latin Extended-A), Greek, Cyrillic and the
// full-width Latin letters.
char16_t FoldCase(char16_t c) {
  auto shifted = [c](int delta) { return static_cast<char16_t>(c + delta); };
  if (c >= u'a' && c <= u'z') return shifted(-0x20);
  if (c < 0xE0) return c;
  if (c <= 0xFE) return c == 0xF7 ? c : shifted(-0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Pairs: upper case at the even code in 0100-0137 and 014A-0177, at
    // the odd code in 0139-0148 and 0179-017E.
    const bool even_pairs = (c <= 0x137) || (c >= 0x14A && c <= 0x177);
    const bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (even_pairs && (c & 1)) return shifted(-1);
    if (odd_pairs && !(c & 1)) return shifted(-1);
    return c;
  }
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return shifted(-0x25);
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? char16_t{0x3A3} : shifted(-0x20);
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return shifted(-0x3F);
  if (c >= 0x430 && c <= 0x44F) return shifted(-0x20);
  if (c >= 0x450 && c <= 0x45F) return shifted(-0x50);
  if (c >= 0xFF41 && c <= 0xFF5A) return shifted(-0x20);
  return c;
}

bool SameTextIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

void WriteInt32(TStream& dest, int32_t value) {
  unsigned char bytes[4];
  const uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
  dest.WriteBuffer(bytes, 4);
}

}  // namespace

void TMyStreams::AddStream(const std::u16string& name, TStream* source) {
  if (name.empty() || source == nullptr) return;
  source->SetPosition(0);
  entries_.emplace_back(name, std::make_unique<TMemoryStream>());
  CopyStreamPiece(*source, *entries_.back().second, 0);
}

void TMyStreams::AddText(const std::u16string& name, const std::u16string& text) {
  if (name.empty()) return;
  entries_.emplace_back(name, std::make_unique<TMemoryStream>());
  const std::string bytes = WideToUtf8(text);
  if (!bytes.empty()) entries_.back().second->WriteBuffer(bytes.data(), bytes.size());
}

TMemoryStream* TMyStreams::Find(const std::u16string& name) const {
  for (const auto& entry : entries_)
    if (SameTextIgnoringCase(entry.first, name)) return entry.second.get();
  return nullptr;
}

std::u16string TMyStreams::ReadText(const std::u16string& name) const {
  if (name.empty()) return std::u16string();
  const TMemoryStream* data = Find(name);
  if (data == nullptr || data->Size() == 0) return std::u16string();
  return ByteTextToWide(data->Bytes());
}

void TMyStreams::WriteTo(TMemoryStream& dest) const {
  WriteInt32(dest, static_cast<int32_t>(entries_.size()));
  for (const auto& entry : entries_) {
    const std::string name = WideToUtf8(entry.first);
    WriteInt32(dest, static_cast<int32_t>(name.size()));
    dest.WriteBuffer(name.data(), static_cast<int64_t>(name.size()));
    WriteInt32(dest, static_cast<int32_t>(entry.second->Size()));
    CopyStreamPiece(*entry.second, dest, 0);
  }
  dest.SetPosition(0);
}

void TMyStreams::ClearItems() {
  while (!entries_.empty()) entries_.pop_back();
}

void CopyStreamPiece(TStream& source, TMemoryStream& dest, int32_t count) {
  // A negative count asks for nothing; it must not cut the destination.
  if (source.Size() == 0 || count < 0) return;
  int64_t n = count;
  if (count == 0) {
    source.SetPosition(0);
    n = source.Size();
  } else {
    n = std::min<int64_t>(n, std::max<int64_t>(0, source.Size() - source.Position()));
  }
  const int64_t at = dest.Position();
  dest.SetSize(at + n);
  if (n > 0 && source.Read(dest.Memory() + at, n) != n) throw EStreamError("Stream read error");
  dest.SetPosition(at + n);
}
