#include "pack/compression.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <utility>

#include "app/data_folder.h"
#include "pack/my_streams.h"
#include "pack/text_encodings.h"
#include "platform/file_stream.h"
#include "platform/work_file.h"
#include "platform/zlib_codec.h"

namespace {

constexpr int64_t kCompressInPiece = 65535;
// 65,535 + 65,535 div 10 + 12, raised to the next multiple of 256.
constexpr int64_t kCompressOutBuffer = 72192;
constexpr int64_t kDecompressPiece = 65536;

const char kStringListHeader[] = "*VextTStringsToTStream 1.0*";
constexpr int kStringListHeaderSize = 27;

// Creating a work file gives up after this many names that turned out to be
// taken between the test and the creation.
constexpr int kWorkFileNameTries = 100;

const std::u16string kCompressing = u"資料壓縮中...";
const std::u16string kCompressed = u"資料壓縮完成";
const std::u16string kDecompressing = u"資料解壓縮中...";
const std::u16string kDecompressed = u"資料解壓縮完成";

std::string ZlibCodeText(int code) {
  switch (code) {
    case -1:
      return "file error";
    case -2:
      return "stream error";
    case -3:
      return "data error";
    case -4:
      return "insufficient memory";
    case -5:
      return "buffer error";
    case -6:
      return "incompatible version";
    case kZlibNeedDict:
      return "need dictionary";
    default:
      return "unknown error " + std::to_string(code);
  }
}

[[noreturn]] void FailCompression(int code) {
  throw ECompressionError("Compression error: " + ZlibCodeText(code));
}
[[noreturn]] void FailDecompression(int code) {
  throw ECompressionError("Decompression error: " + ZlibCodeText(code));
}

// Shows one operation's progress and, on every way out, sets the progress
// bar back to 0 and empties the label.
class TProgressDisplay {
 public:
  TProgressDisplay(const TProgressSink* sink, int64_t maximum, const std::u16string& busy_text)
      : bar_(sink ? sink->ProgressBar : nullptr),
        label_(sink ? sink->StatusLabel : nullptr),
        status_(sink ? sink->StatusBar : nullptr) {
    if (bar_) {
      bar_->SetMaximum(maximum);
      bar_->SetPosition(0);
    }
    if (label_) label_->SetText(busy_text);
    if (status_) status_->SetText(busy_text);
  }
  ~TProgressDisplay() {
    if (bar_) bar_->SetPosition(0);
    if (label_) label_->SetText(std::u16string());
  }
  TProgressDisplay(const TProgressDisplay&) = delete;
  TProgressDisplay& operator=(const TProgressDisplay&) = delete;

  void Step() {
    if (bar_) bar_->SetPosition(++position_);
  }
  void Done(const std::u16string& done_text) {
    if (status_) status_->SetText(done_text);
  }

 private:
  TProgressBar* bar_;
  TStatusText* label_;
  TStatusText* status_;
  int64_t position_ = 0;
};

void EmptyIfMemory(TStream& stream) {
  if (TMemoryStream* memory = stream.AsMemoryStream()) memory->Clear();
}

// A work file created exclusively under a fresh name, closed and deleted
// when this object goes away, whatever happened in between.
class TWorkFile {
 public:
  TWorkFile() {
    for (int attempt = 1;; ++attempt) {
      path_ = MakeWorkFileName();
      try {
        file_.emplace(TFileStream::CreateExclusive(path_));
        return;
      } catch (const EStreamError&) {
        // Another caller took the name between the test and the creation:
        // take a new one. Any other failure is the caller's to see.
        if (!WorkPathTaken(path_) || attempt >= kWorkFileNameTries) throw;
      }
    }
  }
  ~TWorkFile() {
    if (file_) file_->Close();
    RemoveWorkFile(path_);
  }
  TWorkFile(const TWorkFile&) = delete;
  TWorkFile& operator=(const TWorkFile&) = delete;

  TFileStream& File() { return *file_; }
  const std::u16string& Path() const { return path_; }
  void Close() { file_->Close(); }

 private:
  std::u16string path_;
  std::optional<TFileStream> file_;
};

// The pseudo-random numbers of work-file names: one generator for the
// process, never seeded, shared by all threads.
int NextWorkFileNumber() {
  static std::mutex mutex;
  static std::minstd_rand generator;
  std::lock_guard<std::mutex> lock(mutex);
  return static_cast<int>(generator() % 100);
}

// The bytes of a marked source after the marker, read in place: a read-only
// window on the source that starts at offset 11.
class TStreamAfterMarker final : public TStream {
 public:
  explicit TStreamAfterMarker(TStream& source) : source_(source) {}
  int64_t Size() const override {
    return std::max<int64_t>(0, source_.Size() - kLargeDataMarkerSize);
  }
  int64_t Position() const override { return source_.Position() - kLargeDataMarkerSize; }
  void SetPosition(int64_t position) override {
    if (position < 0) throw EStreamError("Stream position out of range");
    source_.SetPosition(position + kLargeDataMarkerSize);
  }
  void SetSize(int64_t) override { throw EStreamError("Stream write error"); }
  int64_t Read(void* buffer, int64_t count) override { return source_.Read(buffer, count); }
  int64_t Write(const void*, int64_t) override { throw EStreamError("Stream write error"); }

 private:
  TStream& source_;
};

// The two work buffers of CompressStream / DecompressStream, kept per
// thread so that a small request does not allocate and free them each time.
// A second operation on the same thread while the first is running (not done
// today) gets buffers of its own.
class TCodecBuffers {
 public:
  TCodecBuffers() {
    TKept& kept = Kept();
    if (!kept.busy) {
      if (!kept.in) {
        kept.in.reset(new char[kBufferSize]);
        kept.out.reset(new char[kBufferSize]);
      }
      kept.busy = true;
      kept_ = &kept;
      in_ = kept.in.get();
      out_ = kept.out.get();
    } else {
      own_in_.reset(new char[kBufferSize]);
      own_out_.reset(new char[kBufferSize]);
      in_ = own_in_.get();
      out_ = own_out_.get();
    }
  }
  ~TCodecBuffers() {
    if (kept_) kept_->busy = false;
  }
  TCodecBuffers(const TCodecBuffers&) = delete;
  TCodecBuffers& operator=(const TCodecBuffers&) = delete;

  char* In() const { return in_; }
  char* Out() const { return out_; }

 private:
  static constexpr int64_t kBufferSize = std::max(kCompressOutBuffer, kDecompressPiece);
  struct TKept {
    std::unique_ptr<char[]> in, out;
    bool busy = false;
  };
  static TKept& Kept() {
    thread_local TKept kept;
    return kept;
  }

  TKept* kept_ = nullptr;
  std::unique_ptr<char[]> own_in_, own_out_;
  char* in_ = nullptr;
  char* out_ = nullptr;
};

std::u16string WithoutClosingSlash(std::u16string folder) {
  while (folder.size() > 1 && folder.back() == u'/') folder.pop_back();
  return folder;
}

}  // namespace

int ZlibLevel(CompressionLevel level) {
  switch (level) {
    case CompressionLevel::None:
      return 0;
    case CompressionLevel::Fastest:
      return 1;
    case CompressionLevel::Default:
      return -1;
    case CompressionLevel::Best:
      return 9;
  }
  return -1;
}

void CompressStream(TStream& source, TStream& dest, int zlib_level, const TProgressSink* progress) {
  TProgressDisplay display(progress, source.Size() / kCompressInPiece, kCompressing);
  EmptyIfMemory(dest);
  source.SetPosition(0);
  const TCodecBuffers buffers;
  char* const in = buffers.In();
  char* const out = buffers.Out();

  TDeflater deflater;
  int rc = deflater.Start(zlib_level);
  if (rc < 0) FailCompression(rc);
  deflater.SetOutput(out, kCompressOutBuffer);

  for (int64_t got = source.Read(in, kCompressInPiece); got > 0;
       got = source.Read(in, kCompressInPiece)) {
    deflater.SetInput(in, static_cast<size_t>(got));
    while (deflater.InputLeft() > 0) {
      rc = deflater.Deflate(false);
      if (rc < 0) FailCompression(rc);
      if (deflater.OutputLeft() == 0) {
        dest.WriteBuffer(out, kCompressOutBuffer);
        deflater.SetOutput(out, kCompressOutBuffer);
      }
    }
    display.Step();
  }

  // Finish the stream. After a failure above this is skipped: the exception
  // carries the first error, and a half-written destination is not made to
  // look like a complete stream.
  for (;;) {
    rc = deflater.Deflate(true);
    if (rc < 0) FailCompression(rc);
    if (rc == kZlibStreamEnd) break;
    dest.WriteBuffer(out, kCompressOutBuffer - static_cast<int64_t>(deflater.OutputLeft()));
    deflater.SetOutput(out, kCompressOutBuffer);
  }
  dest.WriteBuffer(out, kCompressOutBuffer - static_cast<int64_t>(deflater.OutputLeft()));
  deflater.End();
  display.Done(kCompressed);
}

void DecompressStream(TStream& source, TStream& dest, const TProgressSink* progress,
                      int64_t output_limit) {
  TProgressDisplay display(progress, source.Size() / kDecompressPiece, kDecompressing);
  EmptyIfMemory(dest);
  source.SetPosition(0);
  const TCodecBuffers buffers;
  char* const in = buffers.In();
  char* const out = buffers.Out();

  TInflater inflater;
  int rc = inflater.Start();
  if (rc < 0) FailDecompression(rc);

  int64_t written = 0;
  auto write_out = [&](int64_t count) {
    if (output_limit >= 0 && written + count > output_limit)
      throw ECompressionError("Decompression error: output exceeds " +
                              std::to_string(output_limit) + " bytes");
    dest.WriteBuffer(out, count);
    written += count;
  };

  // Decoding ends at the end of the zlib stream (bytes after it are left
  // unread), at the end of the source (a cut-off stream gives what was
  // decoded so far) or at an error; every inflate call is made with input and
  // room for output, so each one either makes progress or ends the loop.
  bool more = true;
  while (more) {
    inflater.SetOutput(out, kDecompressPiece);
    while (inflater.OutputLeft() > 0) {
      if (inflater.InputLeft() == 0) {
        const int64_t got = source.Read(in, kDecompressPiece);
        if (got <= 0) {
          more = false;
          break;
        }
        inflater.SetInput(in, static_cast<size_t>(got));
      }
      rc = inflater.Inflate();
      if (rc < 0 || rc == kZlibNeedDict) FailDecompression(rc);
      if (rc == kZlibStreamEnd) {
        more = false;
        break;
      }
    }
    if (!more) {
      write_out(kDecompressPiece - static_cast<int64_t>(inflater.OutputLeft()));
    } else {
      write_out(kDecompressPiece);
      display.Step();
    }
  }
  inflater.End();
  display.Done(kDecompressed);
}

void PackStream(TStream& source, TStream& dest, CompressionLevel level,
                const TProgressSink* progress) {
  const int zlib_level = ZlibLevel(level);
  if (source.Size() <= kLargeDataThreshold) {
    CompressStream(source, dest, zlib_level, progress);
    return;
  }
  TWorkFile work;
  CompressStream(source, work.File(), zlib_level, progress);
  EmptyIfMemory(dest);
  dest.SetPosition(0);
  work.File().SetPosition(0);
  dest.WriteBuffer(kLargeDataMarker, kLargeDataMarkerSize);
  if (TMemoryStream* memory = dest.AsMemoryStream()) {
    CopyStreamPiece(work.File(), *memory, 0);
  } else {
    dest.CopyFrom(work.File(), 0);
  }
}

void UnpackStream(TStream& source, TStream& dest, const TProgressSink* progress,
                  int64_t output_limit) {
  EmptyIfMemory(dest);
  dest.SetPosition(0);
  source.SetPosition(0);
  char head[kLargeDataMarkerSize];
  const int64_t got = source.Read(head, kLargeDataMarkerSize);
  const bool marked =
      got == kLargeDataMarkerSize && std::memcmp(head, kLargeDataMarker, kLargeDataMarkerSize) == 0;
  if (!marked) {
    source.SetPosition(0);
    DecompressStream(source, dest, progress, output_limit);
    return;
  }

  TWorkFile work;
  TStreamAfterMarker packed(source);
  DecompressStream(packed, work.File(), progress, output_limit);
  work.File().SetPosition(0);
  if (TMemoryStream* memory = dest.AsMemoryStream()) {
    work.Close();
    memory->LoadFromFile(work.Path());
  } else {
    dest.CopyFrom(work.File(), 0);
  }
}

void WriteStringList(const std::vector<std::string>& list, TStream& dest) {
  auto write_int32 = [&](int64_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    dest.WriteBuffer(bytes, 4);
  };
  dest.WriteBuffer(kStringListHeader, kStringListHeaderSize);
  write_int32(static_cast<int64_t>(list.size()));
  for (const std::string& item : list) {
    write_int32(static_cast<int64_t>(item.size()));
    if (!item.empty()) dest.WriteBuffer(item.data(), static_cast<int64_t>(item.size()));
  }
}

std::u16string MakeWorkFileName() {
  // The data folder is looked up again only when it is missing, as the
  // lookup probes candidate folders with a settings-file write.
  std::u16string folder = WebDataFolder();
  if (!WorkFolderPresent(folder)) {
    CreateWorkFolder(WebDataFolder());
    folder = WebDataFolder();
  }
  folder = WithoutClosingSlash(folder);
  for (;;) {
    std::string name = "/S";
    name += std::to_string(static_cast<int64_t>(LocalTimeOfDay() * 1000000.0));
    name += "R";
    for (int i = 0; i < 3; ++i) name += std::to_string(NextWorkFileNumber());
    name += std::to_string(CurrentThreadNumber());
    name += ".smf";
    std::u16string path = folder + AsciiToWide(name);
    if (!WorkPathTaken(path)) return path;
  }
}
