// Digests used by the server: the MD5 text of a piece, and a fast checksum
// that tells whether a payload is still the one an answer was prepared for.
// Both may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// MD5 (RFC 1321) of the bytes as 32 uppercase hexadecimal digits.
std::string Md5HexUpper(std::string_view bytes);

// A 64-bit non-cryptographic checksum of the bytes (and their length).
uint64_t PayloadCheck(std::string_view bytes);
