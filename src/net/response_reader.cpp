#include "net/response_reader.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "pack/compression.h"
#include "pack/my_streams.h"
#include "pack/text_encodings.h"
#include "platform/code_page.h"

namespace {

const std::string kStartMarker = "KVSTART";
const std::string kErrorMarker = "KVERR";
constexpr int64_t kStagingBlock = 2048000;
constexpr uint32_t kLargestRead = 4u << 20;
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

std::u16string TooLargeText(int64_t size) {
  return u"接收主機回傳資料時，資料超過上限：" + Decimal(size) + u" > " + Decimal(kMaxAnswerBytes);
}

bool Read(TTransportRequest* request, std::string& into, uint32_t count) {
  std::string buffer(count, '\0');
  uint32_t got = 0;
  const bool ok = request->Read(buffer.data(), count, got);
  into.append(buffer.data(), std::min(got, count));
  return ok;
}

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
  TMemoryStream staging;
  TMemoryStream payload;
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
    std::string chunk;
    if (available > 0) {
      if (!Read(Request, chunk, std::min(available, kLargestRead))) {
        if (++retries > kMaxRetries) break;
        Pause50ms();
        continue;
      }
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
      std::string window = prefix.substr(prefix.size() - tail) + chunk;
      const size_t at = window.find(kStartMarker);
      if (at != std::string::npos) {
        marker_found = true;
        prefix.resize(prefix.size() - tail);
        prefix.append(window, 0, at);
        // Marker bytes that came one read early are no prefix text.
        prefix_seen = prefix_seen && !prefix.empty();
        if (!prefix_seen) retries = 0;
        const size_t rest = at + kStartMarker.size();
        staging.Write(window.data() + rest, static_cast<int64_t>(window.size() - rest));
      } else {
        prefix += chunk;
        prefix_seen = true;
        retries = 0;
      }
    } else {
      staging.Write(chunk.data(), static_cast<int64_t>(chunk.size()));
    }
    if (staging.Size() > kStagingBlock) {
      CopyStreamPiece(staging, payload, 0);
      staging.Clear();
    }
    const int64_t collected = payload.Size() + staging.Size();
    if (collected > kMaxAnswerBytes || static_cast<int64_t>(prefix.size()) > kMaxAnswerBytes) {
      ErrorText = TooLargeText(std::max<int64_t>(collected, prefix.size()));
      return false;
    }
    if (length != 0 && (collected + 7 >= length || prefix.size() >= length)) break;
    std::this_thread::yield();
  }
  if (staging.Size() > 0) CopyStreamPiece(staging, payload, 0);

  if (payload.Size() > 0) {
    payload.SetPosition(0);
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
