// Packing of answers and unpacking of request parts, on the server.
//
// Answer framing (the whole HTTP answer body; integers little-endian):
//   offset 0   L, 32-bit unsigned: the number of bytes that follow
//   offset 4   "KVSTART" (7 bytes), then the packed payload (L - 7 bytes)
//          or  "KVERR" (5 bytes), then the error text in UTF-8 (L - 5 bytes)
// The packed payload is the packed-stream format of pack/compression.h: one
// zlib stream (written here at level 6), preceded by "_LaRgEsIzE_" when the
// payload is larger than 5,242,880 bytes.
//
// All functions may be called from any thread at once (each thread keeps its
// own compressor).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The packed-stream form of raw.
std::string PackPayload(std::string_view raw);

// L + "KVSTART" + PackPayload(raw).
std::string FrameAnswer(std::string_view raw);
// L + "KVSTART" + packed (already in packed-stream form).
std::string FramePackedAnswer(std::string_view packed);
// L + "KVERR" + text.
std::string FrameError(std::string_view utf8_text);

// Unpacks a packed-stream part of a request into *out. Refuses (false, with a
// message in *error) damaged or truncated zlib data, bytes after the end of
// the zlib stream, and output beyond output_limit bytes. An empty part
// unpacks to empty bytes.
bool UnpackRequestPart(std::string_view packed, int64_t output_limit, std::string* out,
                       std::string* error);
