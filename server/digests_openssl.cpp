#include <openssl/evp.h>

#include <cstring>
#include <stdexcept>

#include "digests.h"

std::string Md5HexUpper(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1 ||
      length != 16) {
    throw std::runtime_error("MD5 digest failed");
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(32);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0x0F]);
  }
  return text;
}

uint64_t PayloadCheck(std::string_view bytes) {
  // Four independent multiply-rotate lanes over 8-byte words, then the tail.
  constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
  constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
  auto mix = [](uint64_t h, uint64_t v) {
    h ^= v * kPrime2;
    h = (h << 31) | (h >> 33);
    return h * kPrime1;
  };
  uint64_t lane[4] = {kPrime1, kPrime2, kPrime1 ^ kPrime2, bytes.size()};
  const char* p = bytes.data();
  size_t n = bytes.size();
  while (n >= 32) {
    for (int i = 0; i < 4; ++i) {
      uint64_t v;
      std::memcpy(&v, p + 8 * i, 8);
      lane[i] = mix(lane[i], v);
    }
    p += 32;
    n -= 32;
  }
  uint64_t h = mix(mix(mix(lane[0], lane[1]), lane[2]), lane[3]);
  while (n > 0) {
    h = mix(h, static_cast<unsigned char>(*p));
    ++p;
    --n;
  }
  return mix(h, bytes.size());
}
