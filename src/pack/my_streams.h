// TMyStreams: an ordered list of named memory streams, written out as the
// named-stream container; also a table of texts by name.
//
// Container layout (integers 32-bit signed little-endian, no header, no
// alignment, no trailer):
//   offset 0   entry count N (4)
//   then N entries, in list order, each:
//     +0       name length L in bytes (4)
//     +4       name, UTF-8, no BOM, no terminator (L)
//     +4+L     data length D, low 32 bits of the entry's size (4)
//     +8+L     data (D)
// Example: one entry "A" holding 78 79 7A is
//   01 00 00 00 | 01 00 00 00 | 41 | 03 00 00 00 | 78 79 7A
//
// Names are compared ignoring letter case (Latin, Greek, Cyrillic and
// full-width Latin letters); lookups take the first match.
// Used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pack/stream.h"

class TMyStreams {
 public:
  TMyStreams() = default;
  ~TMyStreams() { ClearItems(); }
  TMyStreams(const TMyStreams&) = delete;
  TMyStreams& operator=(const TMyStreams&) = delete;

  // Appends an entry holding a copy of all of source's bytes (from its start,
  // whatever its position; the position is left at its end). An empty name
  // or a null source does nothing.
  void AddStream(const std::u16string& name, TStream* source);
  // Appends an entry holding the text in UTF-8. An empty name does nothing.
  void AddText(const std::u16string& name, const std::u16string& text);
  // The first matching entry's bytes through ByteTextToWide; empty when
  // there is no such entry or its data is empty.
  std::u16string ReadText(const std::u16string& name) const;
  // Writes the layout above at dest's position, then sets dest's position 0.
  void WriteTo(TMemoryStream& dest) const;
  void ClearItems();

  size_t Count() const { return entries_.size(); }
  const std::u16string& Name(size_t index) const { return entries_[index].first; }
  TMemoryStream& Data(size_t index) const { return *entries_[index].second; }
  // The first entry whose name matches, or nullptr.
  TMemoryStream* Find(const std::u16string& name) const;

 private:
  std::vector<std::pair<std::u16string, std::unique_ptr<TMemoryStream>>> entries_;
};

// Appends up to count bytes of source (count 0: the whole source from its
// start) at dest's position; dest is sized exactly once and its position is
// left at the new end. An empty source or a negative count changes nothing. Throws EStreamError
// when source delivers fewer bytes than it holds.
void CopyStreamPiece(TStream& source, TMemoryStream& dest, int32_t count);
