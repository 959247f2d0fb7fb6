// Header-field encoding of the request envelope (declared in
// net/post_server_request.h).

#include <cstdint>
#include <string>

#include "net/post_server_request.h"
#include "pack/text_encodings.h"

void ScrambleHeaderText(std::string& text) {
  uint16_t key = 0x5C1E;
  for (char& c : text) {
    const uint8_t scrambled = static_cast<uint8_t>(c) ^ static_cast<uint8_t>(key >> 8);
    c = static_cast<char>(scrambled);
    key = static_cast<uint16_t>((key + scrambled) * 0x7F4Du + 0xE17Bu);
  }
}

std::string EncodeHeaderField(const std::string& text) {
  std::string scrambled = text;
  ScrambleHeaderText(scrambled);
  return Base64Encode(WireAlphabet, scrambled);
}
