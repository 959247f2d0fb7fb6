#include "net/response_reader.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "pack/compression.h"
#include "pack/text_encodings.h"
#include "platform/code_page.h"

namespace {

const std::string kStartMarker = "KVSTART";
const std::string kErrorMarker = "KVERR";
// Room reserved at once for the body when its length is announced; a longer
// body grows from there.
constexpr int64_t kLargestReserve = 64 << 20;
// One read takes at most this much of what the transport holds; the rest
// comes with the next turn of the loop. The read buffer is kept per thread,
// so its size counts in the launcher's memory.
constexpr uint32_t kLargestRead = 256u << 10;
constexpr int kMaxRetries = 3;

std::u16string Decimal(int64_t value) { return AsciiToWide(std::to_string(value)); }

int64_t SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
      .count();
}

bool ConnectionClosed(const TCheckConnectThread* worker) {
  return worker != nullptr && worker->FLastStatus.load() == kHttpStatusConnectionClosed;
}

void Pause50ms() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

// Bytes in memory read as a stream, in place (the packed answer handed to
// unpacking without moving it out of its kept buffer).
class TBytesReader final : public TStream {
 public:
  explicit TBytesReader(std::string_view bytes) : bytes_(bytes) {}
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override {
    if (position < 0) throw EStreamError("Stream position out of range");
    position_ = position;
  }
  void SetSize(int64_t) override { throw EStreamError("Stream write error"); }
  int64_t Read(void* buffer, int64_t count) override {
    if (count <= 0 || position_ >= Size()) return 0;
    const int64_t n = std::min(count, Size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { throw EStreamError("Stream write error"); }

 private:
  std::string_view bytes_;
  int64_t position_ = 0;
};

std::u16string TooLargeText(int64_t size) {
  return u"接收主機回傳資料時，資料超過上限：" + Decimal(size) + u" > " + Decimal(kMaxAnswerBytes);
}

bool Read(TTransportRequest* request, std::string& into, uint32_t count) {
  char buffer[4];
  count = std::min<uint32_t>(count, sizeof(buffer));
  uint32_t got = 0;
  const bool ok = request->Read(buffer, count, got);
  into.append(buffer, std::min(got, count));
  return ok;
}

// The buffer the body is read into: grown to the largest read asked for and
// kept for the rest of the answer, never zero-filled (the transport
// overwrites what it reports).
class TReadBuffer {
 public:
  // Reads up to count bytes; the bytes read are Data()[0, got).
  bool Read(TTransportRequest* request, uint32_t count, uint32_t& got) {
    if (count > capacity_) {
      bytes_.reset(new char[count]);
      capacity_ = count;
    }
    got = 0;
    const bool ok = request->Read(bytes_.get(), count, got);
    got = std::min(got, count);
    return ok;
  }
  const char* Data() const { return bytes_.get(); }
  void ReleaseAbove(uint32_t size) {
    if (capacity_ <= size) return;
    bytes_.reset();
    capacity_ = 0;
  }

 private:
  std::unique_ptr<char[]> bytes_;
  uint32_t capacity_ = 0;
};

// The memory of one answer being read: the read buffer and the packed body.
// Kept per thread from one answer to the next (up to kKeptBytes each), so that
// a download of many pieces does not take and return these blocks, and pay
// the page faults, for every piece.
constexpr size_t kKeptBytes = 2u << 20;

struct TAnswerMemory {
  TReadBuffer read_buffer;
  std::string body;
};

class TAnswerMemoryLease {
 public:
  TAnswerMemoryLease() {
    if (!Kept().busy) {
      Kept().busy = true;
      memory_ = &Kept().memory;
    } else {
      own_ = std::make_unique<TAnswerMemory>();
      memory_ = own_.get();
    }
  }
  ~TAnswerMemoryLease() {
    if (own_) return;
    memory_->body.clear();
    if (memory_->body.capacity() > kKeptBytes) std::string().swap(memory_->body);
    memory_->read_buffer.ReleaseAbove(kKeptBytes);
    Kept().busy = false;
  }
  TAnswerMemoryLease(const TAnswerMemoryLease&) = delete;
  TAnswerMemoryLease& operator=(const TAnswerMemoryLease&) = delete;

  TAnswerMemory& operator*() const { return *memory_; }

 private:
  struct TKept {
    TAnswerMemory memory;
    bool busy = false;
  };
  static TKept& Kept() {
    thread_local TKept kept;
    return kept;
  }
  std::unique_ptr<TAnswerMemory> own_;
  TAnswerMemory* memory_ = nullptr;
};

bool ReadAnswer(TTransportRequest* Request, TStream& Response, int32_t TimeLimit,
                TCheckConnectThread* Worker, std::u16string& ErrorText) {
  if (Request == nullptr) {
    ErrorText = u"資料讀取失敗";
    return false;
  }
  if (TimeLimit <= 60) TimeLimit = 180;
  auto idle_since = std::chrono::steady_clock::now();

  // Length phase: the four bytes of L, however many reads they take.
  std::string length_bytes;
  while (length_bytes.size() < 4) {
    const size_t before = length_bytes.size();
    Read(Request, length_bytes, static_cast<uint32_t>(4 - length_bytes.size()));
    if (length_bytes.size() > before) {
      idle_since = std::chrono::steady_clock::now();
      continue;
    }
    const int64_t elapsed = SecondsSince(idle_since);
    if (elapsed > TimeLimit) {
      ErrorText = u"接收主機回傳資料時，通訊失敗(01):(" + Decimal(elapsed) + u"/" +
                  Decimal(TimeLimit) + u")";
      return false;
    }
    if (ConnectionClosed(Worker)) {
      Read(Request, length_bytes, static_cast<uint32_t>(4 - length_bytes.size()));
      if (length_bytes.size() == before) {
        ErrorText =
            u"接收主機回傳資料時，通訊失敗(02)INTERNET_STATUS_CONNECTION_CLOSED "
            u"lpdwNumberOfBytesRead=0";
        return false;
      }
      continue;
    }
    std::this_thread::yield();
  }
  const uint32_t length = static_cast<uint8_t>(length_bytes[0]) |
                          static_cast<uint32_t>(static_cast<uint8_t>(length_bytes[1])) << 8 |
                          static_cast<uint32_t>(static_cast<uint8_t>(length_bytes[2])) << 16 |
                          static_cast<uint32_t>(static_cast<uint8_t>(length_bytes[3])) << 24;
  if (length > kMaxAnswerBytes) {
    ErrorText = TooLargeText(length);
    return false;
  }

  // Body phase.
  std::string prefix;
  // The packed answer after the marker, collected in one piece.
  const TAnswerMemoryLease memory;
  std::string& body = (*memory).body;
  body.reserve(static_cast<size_t>(std::min<int64_t>(length, kLargestReserve)));
  TReadBuffer& read_buffer = (*memory).read_buffer;
  bool marker_found = false;
  bool prefix_seen = false;
  int retries = 0;
  idle_since = std::chrono::steady_clock::now();
  for (;;) {
    uint32_t available = 0;
    WinInetErrorText(!Request->QueryDataAvailable(available), ErrorText);
    if (available == 0 && ConnectionClosed(Worker)) {
      WinInetErrorText(!Request->QueryDataAvailable(available), ErrorText);
      if (available == 0) {
        ErrorText = u"接收主機回傳資料時，通訊失敗(03)INTERNET_STATUS_CONNECTION_CLOSED BufSize<=0";
        return false;
      }
    }
    std::string_view chunk;
    if (available > 0) {
      uint32_t got = 0;
      if (!read_buffer.Read(Request, std::min(available, kLargestRead), got)) {
        if (++retries > kMaxRetries) break;
        Pause50ms();
        continue;
      }
      chunk = std::string_view(read_buffer.Data(), got);
    }
    if (chunk.empty()) {
      if (SecondsSince(idle_since) > TimeLimit) break;
      if (prefix_seen) {
        if (++retries > kMaxRetries) break;
        Pause50ms();
      }
      std::this_thread::yield();
      continue;
    }
    idle_since = std::chrono::steady_clock::now();

    if (!marker_found) {
      // The marker may straddle two reads: look in the end of the prefix
      // text collected so far together with this read.
      const size_t tail = std::min(prefix.size(), kStartMarker.size() - 1);
      std::string window = prefix.substr(prefix.size() - tail);
      window.append(chunk);
      const size_t at = window.find(kStartMarker);
      if (at != std::string::npos) {
        marker_found = true;
        prefix.resize(prefix.size() - tail);
        prefix.append(window, 0, at);
        // Marker bytes that came one read early are no prefix text.
        prefix_seen = prefix_seen && !prefix.empty();
        if (!prefix_seen) retries = 0;
        const size_t rest = at + kStartMarker.size();
        body.append(window, rest, std::string::npos);
      } else {
        prefix += chunk;
        prefix_seen = true;
        retries = 0;
      }
    } else {
      body.append(chunk);
    }
    const int64_t collected = static_cast<int64_t>(body.size());
    if (collected > kMaxAnswerBytes || static_cast<int64_t>(prefix.size()) > kMaxAnswerBytes) {
      ErrorText = TooLargeText(std::max<int64_t>(collected, prefix.size()));
      return false;
    }
    if (length != 0 && (collected + 7 >= length || prefix.size() >= length)) break;
    std::this_thread::yield();
  }
  if (!body.empty()) {
    TBytesReader payload(body);
    UnpackStream(payload, Response, nullptr, kMaxAnswerBytes);
    Response.SetPosition(0);
  }
  if (prefix.compare(0, kErrorMarker.size(), kErrorMarker) == 0) {
    ErrorText = ByteTextToWide(prefix.substr(kErrorMarker.size()));
    return false;
  }
  return true;
}

}  // namespace

bool ReadServerResponse(TTransportRequest* Request, TStream& Response, int32_t TimeLimit,
                        TCheckConnectThread* Worker, std::u16string& ErrorText) {
  try {
    return ReadAnswer(Request, Response, TimeLimit, Worker, ErrorText);
  } catch (const std::exception& e) {
    ErrorText = ByteTextToWide(e.what());
  } catch (...) {
    ErrorText = u"Unknown exception";
  }
  return false;
}

bool WinInetErrorText(bool failed, std::u16string& text) {
  if (!failed) return true;
  const std::string message = HttpLastErrorText();
  if (message.empty()) return true;
  std::string cut = message.substr(0, message.find('\0'));
  while (!cut.empty() && (cut.back() == '\n' || cut.back() == '\r')) cut.pop_back();
  text = AnsiToWide(cut);
  return false;
}
