#include "pack/compression.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/data_folder.h"
#include "pack/text_encodings.h"
#include "platform/file_stream.h"
#include "platform/native_path.h"
#include "support/test_support.h"

namespace {

// Work files go to the data folder, which falls back to the documents
// folder below $HOME: point $HOME and the XDG settings at a temporary folder
// before any test runs.
struct THomeInTempDir {
  TTempDir dir;
  THomeInTempDir() {
    setenv("HOME", dir.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir.path() + "/.config").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir.path() + "/.local/share").c_str(), 1);
    unsetenv("XDG_DOCUMENTS_DIR");
  }
};
THomeInTempDir& Home() {
  static THomeInTempDir home;
  return home;
}
[[maybe_unused]] const bool kHomeReady = (Home(), true);

const std::u16string kCompressing = u"資料壓縮中...";
const std::u16string kCompressed = u"資料壓縮完成";
const std::u16string kDecompressing = u"資料解壓縮中...";
const std::u16string kDecompressed = u"資料解壓縮完成";
const std::string kMarker = "_LaRgEsIzE_";

std::string DataFolder() { return NativePath(WebDataFolder()); }

std::vector<std::string> WorkFiles() {
  std::vector<std::string> out;
  if (!PathExists(DataFolder())) return out;
  for (const std::string& name : ListFolder(DataFolder()))
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".smf") == 0) out.push_back(name);
  return out;
}

// Text-like bytes that compress well but not trivially.
std::string SampleBytes(size_t size, unsigned seed = 1) {
  static const char* const kWords[] = {"server ", "stream ", "piece ",   "\x01\x02\x03",
                                       "資料 ",   "digest ", "\0\0\0\0", "Nimbara.exe "};
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(size + 16);
  while (out.size() < size) {
    const char* word = kWords[rng() % 8];
    out.append(word, word[0] == '\0' ? 4 : std::strlen(word));
    if (rng() % 5 == 0) out += static_cast<char>(rng() & 0xFF);
  }
  out.resize(size);
  return out;
}

std::string Packed(const std::string& data, CompressionLevel level = CompressionLevel::Default) {
  TMemoryStream source(data), dest;
  PackStream(source, dest, level);
  return dest.Bytes();
}

std::string Unpacked(const std::string& packed, int64_t output_limit = -1) {
  TMemoryStream source(packed), dest;
  UnpackStream(source, dest, nullptr, output_limit);
  return dest.Bytes();
}

// The message of the ECompressionError that f raises, or "" when it raises
// none.
template <typename F>
std::string CompressionErrorOf(F f) {
  try {
    f();
  } catch (const ECompressionError& e) {
    return e.what();
  }
  return "";
}

// A memory stream that records the size of every read.
class TRecordingReads final : public TStream {
 public:
  explicit TRecordingReads(std::string bytes) : inner_(std::move(bytes)) {}
  int64_t Size() const override { return inner_.Size(); }
  int64_t Position() const override { return inner_.Position(); }
  void SetPosition(int64_t p) override { inner_.SetPosition(p); }
  void SetSize(int64_t s) override { inner_.SetSize(s); }
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = inner_.Read(buffer, count);
    reads.push_back(n);
    return n;
  }
  int64_t Write(const void* buffer, int64_t count) override { return inner_.Write(buffer, count); }
  std::vector<int64_t> reads;

 private:
  TMemoryStream inner_;
};

// A destination that refuses writes once it holds limit bytes.
class TFailingDest final : public TStream {
 public:
  explicit TFailingDest(int64_t limit) : limit_(limit) {}
  int64_t Size() const override { return size_; }
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t p) override { position_ = p; }
  void SetSize(int64_t s) override { size_ = s; }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    if (position_ + count > limit_) throw EStreamError("Cannot write file: disk full");
    position_ += count;
    size_ = std::max(size_, position_);
    return count;
  }

 private:
  int64_t limit_;
  int64_t size_ = 0;
  int64_t position_ = 0;
};

struct TRecordingSink {
  TRecordingProgressBar bar;
  TRecordingText label;
  TRecordingText status;
  TProgressSink sink;
  TRecordingSink() {
    sink.ProgressBar = &bar;
    sink.StatusLabel = &label;
    sink.StatusBar = &status;
  }
};

}  // namespace

TEST(Compression, LevelsAndZlibHeaders) {
  const struct {
    CompressionLevel level;
    int zlib_level;
    const char* header;
  } cases[] = {
      {CompressionLevel::None, 0, "78 01"},
      {CompressionLevel::Fastest, 1, "78 01"},
      {CompressionLevel::Default, -1, "78 9C"},
      {CompressionLevel::Best, 9, "78 DA"},
  };
  const std::string data = SampleBytes(100000);
  for (const auto& c : cases) {
    EXPECT_EQ(ZlibLevel(c.level), c.zlib_level);
    const std::string packed = Packed(data, c.level);
    EXPECT_EQ(HexBytes(packed.substr(0, 2)), c.header);
    EXPECT_EQ(Unpacked(packed), data);
  }
  // Level None stores: the packed form is larger than the data.
  EXPECT_GT(Packed(data, CompressionLevel::None).size(), data.size());
}

TEST(Compression, EmptySourcePacksToTheEightByteStream) {
  const std::string packed = Packed("");
  EXPECT_EQ(HexBytes(packed), "78 9C 03 00 00 00 00 01");
  EXPECT_EQ(Unpacked(packed), "");
  EXPECT_EQ(Unpacked(""), "");
}

TEST(Compression, MarkerOnlyAboveTheThreshold) {
  for (const int64_t size : {kLargeDataThreshold, kLargeDataThreshold + 1}) {
    const std::string data = SampleBytes(static_cast<size_t>(size), 3);
    const std::string packed = Packed(data);
    const bool marked = size > kLargeDataThreshold;
    if (marked) {
      EXPECT_EQ(packed.substr(0, 11), kMarker);
      EXPECT_EQ(HexBytes(packed.substr(11, 2)), "78 9C");
      // What follows the marker is exactly the plain packed form.
      TMemoryStream source(data), plain;
      CompressStream(source, plain, -1);
      EXPECT_EQ(packed.substr(11), plain.Bytes());
    } else {
      EXPECT_EQ(HexBytes(packed.substr(0, 2)), "78 9C");
    }
    EXPECT_EQ(Unpacked(packed), data) << size;
    EXPECT_TRUE(WorkFiles().empty());
  }
}

TEST(Compression, FileStreamsOnBothEndsOfTheLargePath) {
  TTempDir dir;
  const std::string data = SampleBytes(static_cast<size_t>(kLargeDataThreshold) + 1000, 4);
  {
    TMemoryStream source(data);
    TFileStream packed = TFileStream::Create(dir.WFile("packed.bin"));
    PackStream(source, packed, CompressionLevel::Fastest);
  }
  EXPECT_EQ(ReadFileBytes(dir.File("packed.bin")).substr(0, 11), kMarker);
  {
    TFileStream packed = TFileStream::OpenRead(dir.WFile("packed.bin"));
    TFileStream unpacked = TFileStream::Create(dir.WFile("unpacked.bin"));
    UnpackStream(packed, unpacked);
  }
  EXPECT_EQ(ReadFileBytes(dir.File("unpacked.bin")), data);
  EXPECT_TRUE(WorkFiles().empty());
}

TEST(Compression, SourcesAreReadFromTheirStartAndMemoryDestinationsEmptied) {
  const std::string data = SampleBytes(70000);
  TMemoryStream source(data);
  source.SetPosition(source.Size());
  TMemoryStream packed(std::string("old content that must go"));
  packed.SetPosition(5);
  PackStream(source, packed, CompressionLevel::Default);
  packed.SetPosition(packed.Size());
  TMemoryStream unpacked(std::string(200000, 'x'));
  UnpackStream(packed, unpacked);
  EXPECT_EQ(unpacked.Bytes(), data);
}

TEST(Compression, OtherDestinationsAreWrittenFromTheirPosition) {
  TTempDir dir;
  const std::string data = SampleBytes(1000);
  TMemoryStream source(data);
  TFileStream file = TFileStream::Create(dir.WFile("out.bin"));
  file.WriteBuffer("HEAD", 4);
  CompressStream(source, file, 9);
  file.Close();
  const std::string written = ReadFileBytes(dir.File("out.bin"));
  ASSERT_EQ(written.substr(0, 4), "HEAD");
  EXPECT_EQ(Unpacked(written.substr(4)), data);
}

TEST(Compression, DamagedInputFailsWithZlibsText) {
  const std::string packed = Packed(SampleBytes(5000));
  std::string bad_checksum = packed;
  bad_checksum.back() ^= 0x01;
  std::string bad_block = packed.substr(0, 2) + "\xFF\xFF\xFF\xFF";
  const struct {
    const char* what;
    std::string input;
    const char* error;
  } cases[] = {
      {"text ABCD", "ABCD", "Decompression error: data error"},
      {"marker and ABCD", kMarker + "ABCD", "Decompression error: data error"},
      {"invalid block type", bad_block, "Decompression error: data error"},
      {"wrong Adler-32", bad_checksum, "Decompression error: data error"},
      // A header asking for a preset dictionary, which this format never
      // uses: an error, not a loop.
      {"preset dictionary", std::string("\x78\xBB\0\0\0\x01\x03\0", 8),
       "Decompression error: need dictionary"},
  };
  for (const auto& c : cases) {
    TRecordingSink rec;
    TMemoryStream source(c.input), dest;
    EXPECT_EQ(CompressionErrorOf([&] { UnpackStream(source, dest, &rec.sink); }), c.error)
        << c.what;
    EXPECT_EQ(rec.bar.position(), 0) << c.what;
    EXPECT_EQ(rec.label.text(), u"") << c.what;
    EXPECT_EQ(rec.status.text(), kDecompressing) << c.what;  // never "done"
    EXPECT_TRUE(WorkFiles().empty()) << c.what;
  }
}

TEST(Compression, MarkerWithoutDataUnpacksToNothing) {
  EXPECT_EQ(Unpacked(kMarker), "");
  EXPECT_TRUE(WorkFiles().empty());
  // Fewer than 11 bytes, or a near miss, is not the marker.
  EXPECT_EQ(CompressionErrorOf([] { Unpacked(kMarker.substr(0, 10)); }),
            "Decompression error: data error");
  EXPECT_EQ(CompressionErrorOf([] { Unpacked("_LaRgEsIzE-" + Packed("x")); }),
            "Decompression error: data error");
}

TEST(Compression, BytesAfterTheEndOfTheStreamAreIgnored) {
  const std::string data = SampleBytes(100000);
  const std::string packed = Packed(data);
  EXPECT_EQ(Unpacked(packed + "trailing bytes"), data);
  EXPECT_EQ(Unpacked(packed + packed), data);
  EXPECT_EQ(Unpacked(packed + std::string(200000, '\xAB')), data);
  EXPECT_EQ(Unpacked(kMarker + packed + "more"), data);
  EXPECT_TRUE(WorkFiles().empty());
}

TEST(Compression, CutOffStreamGivesWhatWasDecoded) {
  const std::string data = SampleBytes(300000, 5);
  const std::string packed = Packed(data);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, packed.size() / 3,
                     packed.size() / 2, packed.size() - 4, packed.size() - 1}) {
    std::string out;
    ASSERT_NO_THROW(out = Unpacked(packed.substr(0, cut))) << cut;
    EXPECT_EQ(data.compare(0, out.size(), out), 0) << "not a prefix at cut " << cut;
    if (cut == packed.size() - 4) {
      EXPECT_EQ(out, data);  // only the Adler-32 is missing
    }
  }
}

TEST(Compression, RandomInputAlwaysEnds) {
  std::mt19937 rng(99);
  int errors = 0;
  for (int round = 0; round < 400; ++round) {
    std::string input(rng() % 3000, '\0');
    for (char& c : input) c = static_cast<char>(rng() & 0xFF);
    if (round % 2 == 0) input = "\x78\x9C" + input;  // a valid header, then noise
    if (round % 7 == 0) input = kMarker + input;
    try {
      Unpacked(input);
    } catch (const ECompressionError& e) {
      ++errors;
      EXPECT_EQ(std::string(e.what()).rfind("Decompression error: ", 0), 0u) << e.what();
    }
  }
  EXPECT_GT(errors, 300);
  EXPECT_TRUE(WorkFiles().empty());
}

TEST(Compression, OutputLimitBoundsTheUnpackedSize) {
  const std::string small = SampleBytes(200000);
  const std::string large = std::string(static_cast<size_t>(kLargeDataThreshold) + 1, 'z');
  const std::string small_packed = Packed(small);
  const std::string large_packed = Packed(large);
  ASSERT_EQ(large_packed.substr(0, 11), kMarker);

  EXPECT_EQ(Unpacked(small_packed, 200000), small);
  EXPECT_EQ(Unpacked(Packed(""), 0), "");
  EXPECT_EQ(CompressionErrorOf([&] { Unpacked(small_packed, 199999); }),
            "Decompression error: output exceeds 199999 bytes");
  EXPECT_EQ(CompressionErrorOf([&] { Unpacked(small_packed, 0); }),
            "Decompression error: output exceeds 0 bytes");
  // A small packed body that would unpack to 5 MiB: stopped at the limit,
  // through the work file, which is removed.
  EXPECT_LT(large_packed.size(), 10000u);
  EXPECT_EQ(CompressionErrorOf([&] { Unpacked(large_packed, 1 << 20); }),
            "Decompression error: output exceeds 1048576 bytes");
  EXPECT_TRUE(WorkFiles().empty());
  EXPECT_EQ(Unpacked(large_packed, kLargeDataThreshold + 1), large);
}

TEST(Compression, ProgressOfCompression) {
  TRecordingSink rec;
  TRecordingReads source(SampleBytes(100000));
  TMemoryStream dest;
  CompressStream(source, dest, -1, &rec.sink);
  EXPECT_EQ(source.reads, (std::vector<int64_t>{65535, 34465, 0}));
  EXPECT_EQ(rec.bar.events,
            (std::vector<std::string>{"max=1", "pos=0", "pos=1", "pos=2", "pos=0"}));
  EXPECT_EQ(rec.label.history, (std::vector<std::u16string>{kCompressing, u""}));
  EXPECT_EQ(rec.status.history, (std::vector<std::u16string>{kCompressing, kCompressed}));
  EXPECT_EQ(Unpacked(dest.Bytes()), SampleBytes(100000));

  // Any part of the sink may be missing.
  TProgressSink only_status;
  only_status.StatusBar = &rec.status;
  TMemoryStream source2(std::string("abc")), dest2;
  CompressStream(source2, dest2, -1, &only_status);
  EXPECT_EQ(rec.status.text(), kCompressed);
}

TEST(Compression, ProgressOfDecompression) {
  const std::string data = SampleBytes(200000);
  TMemoryStream packed(Packed(data));
  ASSERT_LT(packed.Size(), 65536);
  TRecordingSink rec;
  TMemoryStream dest;
  DecompressStream(packed, dest, &rec.sink);
  EXPECT_EQ(dest.Bytes(), data);
  // One step per full 65,536-byte output buffer: 200,000 bytes fill three.
  EXPECT_EQ(rec.bar.events,
            (std::vector<std::string>{"max=0", "pos=0", "pos=1", "pos=2", "pos=3", "pos=0"}));
  EXPECT_EQ(rec.label.history, (std::vector<std::u16string>{kDecompressing, u""}));
  EXPECT_EQ(rec.status.history, (std::vector<std::u16string>{kDecompressing, kDecompressed}));
}

TEST(Compression, FailedCompressionResetsTheDisplaysAndLeavesNoWorkFile) {
  for (const size_t size : {size_t{300000}, static_cast<size_t>(kLargeDataThreshold) + 1}) {
    TRecordingSink rec;
    TMemoryStream source(SampleBytes(size, 6));
    TFailingDest dest(100);
    EXPECT_THROW(PackStream(source, dest, CompressionLevel::Default, &rec.sink), EStreamError);
    EXPECT_EQ(rec.bar.position(), 0);
    EXPECT_EQ(rec.label.text(), u"");
    if (size <= static_cast<size_t>(kLargeDataThreshold)) {
      EXPECT_EQ(rec.status.text(), kCompressing);
    }
    EXPECT_TRUE(WorkFiles().empty()) << size;
  }
}

TEST(WriteStringList, Layout) {
  const std::string header = "*VextTStringsToTStream 1.0*";
  ASSERT_EQ(header.size(), 27u);
  const struct {
    std::vector<std::string> list;
    std::string body;
  } cases[] = {
      {{"A", "BC"},
       std::string("\x02\0\0\0"
                   "\x01\0\0\0"
                   "A"
                   "\x02\0\0\0"
                   "BC",
                   15)},
      {{}, std::string("\0\0\0\0", 4)},
      {{"", std::string("a\0b", 3)},
       std::string("\x02\0\0\0"
                   "\0\0\0\0"
                   "\x03\0\0\0"
                   "a\0b",
                   15)},
      {{"LOGINKEY:pelkwarn"},
       std::string("\x01\0\0\0"
                   "\x11\0\0\0",
                   8) +
           "LOGINKEY:pelkwarn"},
  };
  for (const auto& c : cases) {
    TMemoryStream dest;
    WriteStringList(c.list, dest);
    EXPECT_EQ(HexBytes(dest.Bytes()), HexBytes(header + c.body));
  }
  // Written at the destination's position.
  TMemoryStream dest(std::string("xy"));
  dest.SetPosition(2);
  WriteStringList({"A"}, dest);
  EXPECT_EQ(dest.Bytes().substr(0, 2 + 27), "xy" + header);
}

TEST(MakeWorkFileName, FormInTheDataFolder) {
  const std::string folder = DataFolder();
  const std::string name = NativePath(MakeWorkFileName());
  ASSERT_EQ(name.rfind(folder + "/S", 0), 0u) << name;
  const std::string rest = name.substr(folder.size());
  EXPECT_TRUE(std::regex_match(rest, std::regex("/S(0|[1-9][0-9]{0,5})R[0-9]+\\.smf"))) << rest;
  EXPECT_FALSE(PathExists(name));
  EXPECT_TRUE(PathExists(folder));
}

TEST(MakeWorkFileName, CreatesAMissingDataFolder) {
  const std::string folder = DataFolder();
  ASSERT_TRUE(folder.rfind(Home().dir.path(), 0) == 0) << "data folder outside the test home";
  std::filesystem::remove_all(folder);
  ASSERT_FALSE(PathExists(folder));
  MakeWorkFileName();
  EXPECT_TRUE(PathExists(folder));
}

TEST(MakeWorkFileName, NamesThatExistAreSkipped) {
  std::set<std::u16string> names;
  std::vector<std::u16string> made;
  for (int i = 0; i < 50; ++i) {
    const std::u16string name = MakeWorkFileName();
    EXPECT_TRUE(names.insert(name).second) << NativePath(name);
    TFileStream::CreateExclusive(name);  // the name now exists
    made.push_back(name);
  }
  // From several threads at once: every name is a file nobody else made.
  std::vector<std::thread> threads;
  std::vector<std::vector<std::u16string>> per_thread(4);
  std::atomic<int> refused{0};
  for (auto& list : per_thread)
    threads.emplace_back([&list, &refused] {
      for (int i = 0; i < 20; ++i) {
        list.push_back(MakeWorkFileName());
        try {
          TFileStream::CreateExclusive(list.back());
        } catch (const EStreamError&) {
          ++refused;
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(refused.load(), 0);
  for (const auto& list : per_thread)
    for (const auto& name : list) {
      EXPECT_TRUE(names.insert(name).second) << NativePath(name);
      made.push_back(name);
    }
  for (const auto& name : made) std::filesystem::remove(NativePath(name));
  EXPECT_TRUE(WorkFiles().empty());
}

TEST(Compression, ZlibRefusalOfTheStartIsACompressionError) {
  TRecordingSink rec;
  TMemoryStream source(std::string("abc")), dest;
  EXPECT_EQ(CompressionErrorOf([&] { CompressStream(source, dest, 42, &rec.sink); }),
            "Compression error: stream error");
  EXPECT_EQ(rec.bar.position(), 0);
  EXPECT_EQ(rec.label.text(), u"");
  EXPECT_EQ(rec.status.text(), kCompressing);
}

TEST(Compression, MarkedUnpackCountsProgressOverTheBytesAfterTheMarker) {
  std::mt19937 rng(8);
  std::string data(static_cast<size_t>(kLargeDataThreshold) + 1, '\0');
  for (char& c : data) c = static_cast<char>(rng() & 0xFF);  // hardly compressible
  const std::string packed = Packed(data, CompressionLevel::Fastest);
  ASSERT_EQ(packed.substr(0, 11), kMarker);
  TRecordingSink rec;
  TMemoryStream source(packed), dest;
  UnpackStream(source, dest, &rec.sink);
  EXPECT_TRUE(dest.Bytes() == data);
  ASSERT_FALSE(rec.bar.events.empty());
  EXPECT_EQ(rec.bar.events.front(), "max=" + std::to_string((packed.size() - 11) / 65536));
  // One step per full output buffer, then back to 0.
  EXPECT_EQ(rec.bar.events.size(), 2 + data.size() / 65536 + 1);
  EXPECT_EQ(rec.bar.events.back(), "pos=0");
  EXPECT_EQ(rec.status.text(), kDecompressed);
  EXPECT_EQ(rec.label.text(), u"");
  EXPECT_TRUE(WorkFiles().empty());
}
