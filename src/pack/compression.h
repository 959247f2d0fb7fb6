// Compression of whole streams with zlib, with progress and work files.
//
// Packed stream (what PackStream writes and UnpackStream reads):
//   source of at most 5,242,880 bytes:  one zlib stream (RFC 1950), alone
//   larger source:                      "_LaRgEsIzE_" (11 bytes), then one
//                                       zlib stream
// No length field. zlib parameters: deflate, window bits 15, memory level 8,
// default strategy; at CompressionLevel::Default it begins 78 9C.
//
// String-list stream (WriteStringList; integers 32-bit signed LE):
//   offset 0   "*VextTStringsToTStream 1.0*" (27 bytes)
//   offset 27  count N (4)
//   then N strings, each: byte length L (4), then L bytes
//
// All operations run on the calling thread and throw on failure: zlib errors
// as ECompressionError with "Compression error: " / "Decompression error: "
// followed by zlib's text for the code; file errors as EStreamError. Sources
// are read from their start; a memory destination is emptied first, any
// other destination is written from its position. After a failure the
// destination holds an unspecified part of the output.
//
// Decompression stops at the end of the zlib stream and ignores any bytes
// after it; a source that ends before the stream does is not an error (the
// destination gets what was decoded). A header asking for a preset
// dictionary fails with "Decompression error: need dictionary".
//
// Progress (each part optional): the bar's maximum is the source size div
// the input piece (65,535 compressing, 65,536 decompressing) and it steps by
// one per piece compressed or per full 65,536-byte output buffer; label and
// status bar show "資料壓縮中..." / "資料解壓縮中..."; on success the status bar
// ends on "資料壓縮完成" / "資料解壓縮完成"; on every way out the bar goes
// back to 0 and the label is emptied.
//
// Work files (sources above 5,242,880 bytes, marked packed data) are created
// exclusively in the data folder (mode 0600, no link followed) and deleted
// when the call ends, also after a failure.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "pack/progress.h"
#include "pack/stream.h"

class ECompressionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class CompressionLevel { None = 0, Fastest = 1, Default = 2, Best = 3 };

inline constexpr int64_t kLargeDataThreshold = 5242880;
inline constexpr char kLargeDataMarker[] = "_LaRgEsIzE_";
inline constexpr int kLargeDataMarkerSize = 11;

// zlib's level for a CompressionLevel: 0, 1, -1 (level 6), 9.
int ZlibLevel(CompressionLevel level);

void PackStream(TStream& source, TStream& dest, CompressionLevel level,
                const TProgressSink* progress = nullptr);

// output_limit >= 0 caps the unpacked size: more output throws
// ECompressionError("Decompression error: output exceeds <limit> bytes").
void UnpackStream(TStream& source, TStream& dest, const TProgressSink* progress = nullptr,
                  int64_t output_limit = -1);

void CompressStream(TStream& source, TStream& dest, int zlib_level,
                    const TProgressSink* progress = nullptr);
void DecompressStream(TStream& source, TStream& dest, const TProgressSink* progress = nullptr,
                      int64_t output_limit = -1);

void WriteStringList(const std::vector<std::string>& list, TStream& dest);

// Full path of a work file in the data folder that does not exist yet:
// <folder>/S<time of day * 1e6>R<three numbers 0..99><thread id>.smf
std::u16string MakeWorkFileName();
