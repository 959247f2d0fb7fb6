#include "wire_decoding.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "pack/text_encodings.h"

namespace {

constexpr char kStringListHeader[] = "*VextTStringsToTStream 1.0*";
constexpr size_t kStringListHeaderSize = sizeof(kStringListHeader) - 1;

// Reads a 32-bit signed little-endian integer at *pos; false when fewer than
// four bytes are left.
bool ReadInt32(std::string_view bytes, size_t* pos, int32_t* value) {
  if (bytes.size() - *pos < 4) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + *pos);
  const uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                     (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  *value = static_cast<int32_t>(v);
  *pos += 4;
  return true;
}

// Reads a length-prefixed block (length: 32-bit signed LE) at *pos.
bool ReadBlock(std::string_view bytes, size_t* pos, std::string_view* block) {
  int32_t length = 0;
  if (!ReadInt32(bytes, pos, &length) || length < 0) return false;
  if (bytes.size() - *pos < static_cast<size_t>(length)) return false;
  *block = bytes.substr(*pos, static_cast<size_t>(length));
  *pos += static_cast<size_t>(length);
  return true;
}

}  // namespace

bool Base64Decode(const std::string& alphabet, std::string_view text, std::string* out,
                  std::string* error) {
  out->clear();
  if (alphabet.size() != 64) {
    *error = "Base64 alphabet must hold 64 characters";
    return false;
  }
  std::array<int, 256> value;
  value.fill(-1);
  for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(alphabet[i])] = i;

  if (text.size() % 4 != 0) {
    *error = "malformed Base64: length is not a multiple of 4";
    return false;
  }
  out->reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last_group = i + 4 == text.size();
    int pads = 0;
    if (last_group) {
      if (text[i + 3] == '=') ++pads;
      if (pads == 1 && text[i + 2] == '=') ++pads;
    }
    uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) {
      uint32_t v = 0;
      if (k < 4 - pads) {
        const int decoded = value[static_cast<unsigned char>(text[i + k])];
        if (decoded < 0) {
          *error = "malformed Base64: unexpected character";
          return false;
        }
        v = static_cast<uint32_t>(decoded);
      }
      bits = (bits << 6) | v;
    }
    // A padded group must not carry bits beyond its data bytes.
    if ((pads == 1 && (bits & 0xFF) != 0) || (pads == 2 && (bits & 0xFFFF) != 0)) {
      *error = "malformed Base64: non-canonical padding";
      return false;
    }
    out->push_back(static_cast<char>(bits >> 16));
    if (pads < 2) out->push_back(static_cast<char>((bits >> 8) & 0xFF));
    if (pads < 1) out->push_back(static_cast<char>(bits & 0xFF));
  }
  return true;
}

void UnscrambleHeaderText(std::string& text) {
  uint16_t key = 0x5C1E;
  for (char& c : text) {
    const uint8_t scrambled = static_cast<uint8_t>(c);
    c = static_cast<char>(scrambled ^ static_cast<uint8_t>(key >> 8));
    key = static_cast<uint16_t>((key + scrambled) * 0x7F4Du + 0xE17Bu);
  }
}

bool DecodeHeaderField(std::string_view wire, std::string* plain, std::string* error) {
  if (!wire.empty() && wire.front() == '_') wire.remove_prefix(1);
  if (!wire.empty() && wire.back() == '_') wire.remove_suffix(1);
  if (!Base64Decode(WireAlphabet, wire, plain, error)) return false;
  UnscrambleHeaderText(*plain);
  return true;
}

bool ParseContainer(std::string_view bytes, TContainerEntries* entries, std::string* error) {
  entries->clear();
  size_t pos = 0;
  int32_t count = 0;
  if (!ReadInt32(bytes, &pos, &count) || count < 0) {
    *error = "damaged container: bad entry count";
    return false;
  }
  // Each entry needs at least its two length fields.
  if (static_cast<uint64_t>(count) * 8 > bytes.size() - pos) {
    *error = "damaged container: entry count exceeds its size";
    return false;
  }
  for (int32_t i = 0; i < count; ++i) {
    std::string_view name, data;
    if (!ReadBlock(bytes, &pos, &name) || !ReadBlock(bytes, &pos, &data)) {
      *error = "damaged container: entry " + std::to_string(i) + " runs past the end";
      return false;
    }
    entries->emplace_back(std::string(name), std::string(data));
  }
  if (pos != bytes.size()) {
    *error = "damaged container: bytes after the last entry";
    return false;
  }
  return true;
}

bool ParseStringList(std::string_view bytes, std::vector<std::string>* strings,
                     std::string* error) {
  strings->clear();
  if (bytes.size() < kStringListHeaderSize ||
      std::memcmp(bytes.data(), kStringListHeader, kStringListHeaderSize) != 0) {
    *error = "damaged string list: wrong header";
    return false;
  }
  size_t pos = kStringListHeaderSize;
  int32_t count = 0;
  if (!ReadInt32(bytes, &pos, &count) || count < 0 ||
      static_cast<uint64_t>(count) * 4 > bytes.size() - pos) {
    *error = "damaged string list: bad count";
    return false;
  }
  for (int32_t i = 0; i < count; ++i) {
    std::string_view s;
    if (!ReadBlock(bytes, &pos, &s)) {
      *error = "damaged string list: string " + std::to_string(i) + " runs past the end";
      return false;
    }
    strings->emplace_back(s);
  }
  if (pos != bytes.size()) {
    *error = "damaged string list: bytes after the last string";
    return false;
  }
  return true;
}
