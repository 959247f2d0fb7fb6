#include "answer_packing.h"

#include <libdeflate.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

namespace {

constexpr int kPackLevel = 6;
constexpr size_t kLargeDataThreshold = 5242880;
constexpr char kLargeDataMarker[] = "_LaRgEsIzE_";
constexpr size_t kLargeDataMarkerSize = 11;

struct TCompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

libdeflate_compressor* ThreadCompressor() {
  thread_local std::unique_ptr<libdeflate_compressor, TCompressorDeleter> compressor(
      libdeflate_alloc_compressor(kPackLevel));
  if (!compressor) throw std::bad_alloc();
  return compressor.get();
}

// Holds one inflate stream for the duration of an unpack.
class TInflater {
 public:
  TInflater() {
    std::memset(&stream_, 0, sizeof(stream_));
    ok_ = inflateInit2(&stream_, 15) == Z_OK;
  }
  ~TInflater() {
    if (ok_) inflateEnd(&stream_);
  }
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;
  bool ok() const { return ok_; }
  z_stream* get() { return &stream_; }

 private:
  z_stream stream_;
  bool ok_ = false;
};

void PutLength(std::string* out, uint32_t length) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
}

}  // namespace

std::string PackPayload(std::string_view raw) {
  libdeflate_compressor* compressor = ThreadCompressor();
  const bool large = raw.size() > kLargeDataThreshold;
  const size_t prefix = large ? kLargeDataMarkerSize : 0;
  const size_t bound = libdeflate_zlib_compress_bound(compressor, raw.size());
  std::string out(prefix + bound, '\0');
  if (large) std::memcpy(out.data(), kLargeDataMarker, kLargeDataMarkerSize);
  const size_t written =
      libdeflate_zlib_compress(compressor, raw.data(), raw.size(), out.data() + prefix, bound);
  if (written == 0) throw std::runtime_error("Compression error: output buffer too small");
  out.resize(prefix + written);
  return out;
}

std::string FramePackedAnswer(std::string_view packed) {
  std::string out;
  out.reserve(4 + 7 + packed.size());
  PutLength(&out, static_cast<uint32_t>(7 + packed.size()));
  out.append("KVSTART");
  out.append(packed);
  return out;
}

std::string FrameAnswer(std::string_view raw) {
  // Packs straight behind the frame header to avoid copying the packed bytes.
  libdeflate_compressor* compressor = ThreadCompressor();
  const bool large = raw.size() > kLargeDataThreshold;
  const size_t head = 4 + 7 + (large ? kLargeDataMarkerSize : 0);
  const size_t bound = libdeflate_zlib_compress_bound(compressor, raw.size());
  std::string out(head + bound, '\0');
  std::memcpy(out.data() + 4, "KVSTART", 7);
  if (large) std::memcpy(out.data() + 11, kLargeDataMarker, kLargeDataMarkerSize);
  const size_t written =
      libdeflate_zlib_compress(compressor, raw.data(), raw.size(), out.data() + head, bound);
  if (written == 0) throw std::runtime_error("Compression error: output buffer too small");
  out.resize(head + written);
  const uint32_t length = static_cast<uint32_t>(out.size() - 4);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return out;
}

std::string FrameError(std::string_view utf8_text) {
  std::string out;
  out.reserve(4 + 5 + utf8_text.size());
  PutLength(&out, static_cast<uint32_t>(5 + utf8_text.size()));
  out.append("KVERR");
  out.append(utf8_text);
  return out;
}

bool UnpackRequestPart(std::string_view packed, int64_t output_limit, std::string* out,
                       std::string* error) {
  out->clear();
  if (packed.empty()) return true;
  if (packed.size() >= kLargeDataMarkerSize &&
      std::memcmp(packed.data(), kLargeDataMarker, kLargeDataMarkerSize) == 0) {
    packed.remove_prefix(kLargeDataMarkerSize);
    if (packed.empty()) return true;
  }
  TInflater inflater;
  if (!inflater.ok()) {
    *error = "Decompression error: insufficient memory";
    return false;
  }
  z_stream* z = inflater.get();
  z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  // Request parts are far below 4 GiB (the body limit sees to that).
  z->avail_in = static_cast<uInt>(packed.size());

  constexpr size_t kChunk = 64 * 1024;
  for (;;) {
    const size_t used = out->size();
    size_t room = kChunk;
    if (output_limit >= 0 && used + room > static_cast<uint64_t>(output_limit) + 1) {
      room = static_cast<size_t>(output_limit) + 1 - used;  // one byte more detects excess
    }
    out->resize(used + room);
    z->next_out = reinterpret_cast<Bytef*>(out->data() + used);
    z->avail_out = static_cast<uInt>(room);
    const int rc = inflate(z, Z_NO_FLUSH);
    out->resize(used + (room - z->avail_out));
    if (output_limit >= 0 && out->size() > static_cast<uint64_t>(output_limit)) {
      out->clear();
      *error = "Decompression error: output exceeds " + std::to_string(output_limit) + " bytes";
      return false;
    }
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR && z->avail_in == 0) {
      out->clear();
      *error = "Decompression error: data ends before the end of the stream";
      return false;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      out->clear();
      *error = std::string("Decompression error: ") + zError(rc);
      if (z->msg) *error += std::string(" (") + z->msg + ")";
      return false;
    }
  }
  if (z->avail_in != 0) {
    out->clear();
    *error = "Decompression error: bytes after the end of the stream";
    return false;
  }
  return true;
}
