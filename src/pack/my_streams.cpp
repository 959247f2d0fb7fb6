#include "pack/my_streams.h"

#include <cstring>

#include "pack/text_encodings.h"

namespace {

char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  // Full-width Latin letters fold like their ASCII counterparts.
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0xFF41 + 0xFF21);
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
  if (source.Size() == 0) return;
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
