// The HTTP transport over libcurl's multi interface: Send drives the transfer
// on the calling thread until the answer's header is complete; the answer
// body is then pulled by QueryDataAvailable/Read on whichever thread reads.
// Connections are kept alive in one process-wide cache shared by all
// sessions, so that a repeat or the next call can reuse them.

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http_transport.h"

namespace {

using TClock = std::chrono::steady_clock;

// Answer bytes held in memory before the transport stops pulling from the
// socket until the reader has taken some.
constexpr size_t kReceiveBufferCap = 1 << 20;
// Longest single sleep inside a transport call while waiting for the socket;
// Close and arriving bytes end it earlier.
constexpr int kPollSliceMs = 100;
// How long QueryDataAvailable/Read wait for bytes before answering 0.
constexpr int kReadWaitMs = 20;

thread_local std::string t_last_error;
thread_local std::string t_last_system_error;

void ClearLastError() {
  t_last_error.clear();
  t_last_system_error.clear();
}

void SetLastError(const std::string& text, long os_errno) {
  t_last_error = text;
  t_last_system_error.clear();
  if (os_errno != 0) {
    char buffer[256];
    // The GNU variant may return a static text instead of filling buffer.
    const char* message = strerror_r(static_cast<int>(os_errno), buffer, sizeof(buffer));
    t_last_system_error = message;
    while (!t_last_system_error.empty() &&
           (static_cast<unsigned char>(t_last_system_error.back()) <= ' ' ||
            t_last_system_error.back() == '.')) {
      t_last_system_error.pop_back();
    }
  }
}

// libcurl's global state, set up once per process before the first handle.
// The connection and name caches are shared by every request under mutexes.
class TCurlGlobal {
 public:
  static TCurlGlobal& Get() {
    static TCurlGlobal global;
    return global;
  }
  bool ok() const { return ok_; }
  CURLSH* share() const { return share_; }

 private:
  TCurlGlobal() {
    ok_ = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!ok_) return;
    share_ = curl_share_init();
    if (share_ != nullptr) {
      curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &TCurlGlobal::Lock);
      curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &TCurlGlobal::Unlock);
      curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
  }
  // Kept for the life of the process: requests may still be closing while
  // static objects are destroyed.
  ~TCurlGlobal() = default;

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<TCurlGlobal*>(user)->mutexes_[Index(data)].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<TCurlGlobal*>(user)->mutexes_[Index(data)].unlock();
  }
  static size_t Index(curl_lock_data data) {
    const auto index = static_cast<size_t>(data);
    return index < kLocks ? index : kLocks - 1;
  }

  static constexpr size_t kLocks = CURL_LOCK_DATA_LAST + 1;
  bool ok_ = false;
  CURLSH* share_ = nullptr;
  std::array<std::mutex, kLocks> mutexes_;
};

struct TSessionState {
  std::string user_agent;
  THttpAccess access = THttpAccess::Preconfigured;
  int32_t connect_timeout_ms = 60000;
  int32_t send_timeout_ms = 180000;
  int32_t receive_timeout_ms = 180000;
  int32_t data_send_timeout_ms = 180000;
  int32_t data_receive_timeout_ms = 180000;
  std::atomic<THttpStatusCallback> callback{nullptr};
};

// A libcurl easy handle with the multi handle that drives it. Released pairs
// are reset and kept in a small process-wide pool, so that a call does not
// pay for setting them up again.
struct TCurlHandles {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
};

class TCurlHandlePool {
 public:
  static TCurlHandlePool& Get() {
    static TCurlHandlePool* pool = new TCurlHandlePool;  // lives as long as the process
    return *pool;
  }
  TCurlHandles Acquire() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        TCurlHandles handles = idle_.back();
        idle_.pop_back();
        return handles;
      }
    }
    TCurlHandles handles{curl_easy_init(), curl_multi_init()};
    if (handles.easy == nullptr || handles.multi == nullptr) {
      Destroy(handles);
      return TCurlHandles{};
    }
    return handles;
  }
  // The easy handle must no longer be in the multi handle.
  void Release(TCurlHandles handles) {
    if (handles.easy == nullptr || handles.multi == nullptr) {
      Destroy(handles);
      return;
    }
    curl_easy_reset(handles.easy);
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < kKept) {
      idle_.push_back(handles);
      return;
    }
    Destroy(handles);
  }

 private:
  static void Destroy(TCurlHandles handles) {
    if (handles.easy != nullptr) curl_easy_cleanup(handles.easy);
    if (handles.multi != nullptr) curl_multi_cleanup(handles.multi);
  }
  static constexpr size_t kKept = 8;
  std::mutex mutex_;
  std::vector<TCurlHandles> idle_;
};

struct TCurlHandlesHolder {
  TCurlHandles handles = TCurlHandlePool::Get().Acquire();
  ~TCurlHandlesHolder() { TCurlHandlePool::Get().Release(handles); }
};

struct THeaderListHolder {
  curl_slist* list = nullptr;
  ~THeaderListHolder() { curl_slist_free_all(list); }
  bool Append(const std::string& line) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (next == nullptr) return false;
    list = next;
    return true;
  }
};

bool HasControlOrSpace(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; });
}

// A host name, IPv4 address or IPv6 literal (with or without brackets):
// letters, digits and ". - _ : [ ] %" only, so that nothing else of the URL
// can be smuggled in through it.
bool IsUsableHost(const std::string& host) {
  if (host.empty()) return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || c == ':' || c == '[' || c == ']' || c == '%';
  });
}

// Splits the raw header block into its CR LF-ended lines (a last line
// without CR LF counts too) and finds the body length it announces.
void SplitHeaderBlock(const std::string& block, std::vector<std::string>& lines,
                      int64_t& content_length) {
  content_length = -1;
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find("\r\n", start);
    const size_t next = end == std::string::npos ? block.size() : end + 2;
    if (end == std::string::npos) end = block.size();
    std::string line = block.substr(start, end - start);
    start = next;
    if (line.empty()) continue;
    static const char kLength[] = "content-length:";
    if (line.size() >= sizeof(kLength) - 1 &&
        std::equal(kLength, kLength + sizeof(kLength) - 1, line.begin(),
                   [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b + 32 : b); })) {
      int64_t value = 0;
      bool digits = false;
      for (size_t i = sizeof(kLength) - 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t') continue;
        if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) {
          digits = false;
          break;
        }
        value = value * 10 + (c - '0');
        digits = true;
      }
      if (digits) content_length = value;
    }
    lines.push_back(std::move(line));
  }
}

class TCurlRequest final : public TTransportRequest {
 public:
  TCurlRequest(std::shared_ptr<TSessionState> session, std::string url,
               std::vector<std::string> accept_types, void* context)
      : session_(std::move(session)),
        url_(std::move(url)),
        accept_types_(std::move(accept_types)),
        context_(context) {
    error_buffer_[0] = '\0';
  }

  ~TCurlRequest() override {
    if (added_) curl_multi_remove_handle(handles_.handles.multi, handles_.handles.easy);
  }

  bool ok() const { return handles_.handles.easy != nullptr && handles_.handles.multi != nullptr; }

  bool Send(const std::string& header_block, const char* body, int64_t body_size) override {
    ClearLastError();
    if (closed_.load()) return Fail("The request was closed");
    if (sent_) return Fail("The request was already sent");
    sent_ = true;

    std::vector<std::string> lines;
    int64_t announced = -1;
    SplitHeaderBlock(header_block, lines, announced);
    body_ = body;
    body_size_ = std::max<int64_t>(0, body_size);
    if (announced >= 0) body_size_ = std::min(body_size_, announced);
    if (body_ == nullptr) body_size_ = 0;
    body_sent_ = 0;

    if (!accept_types_.empty()) {
      std::string accept = "Accept: ";
      for (size_t i = 0; i < accept_types_.size(); ++i) {
        if (i > 0) accept += ", ";
        accept += accept_types_[i];
      }
      if (!headers_.Append(accept)) return Fail("Out of memory");
    }
    for (const std::string& line : lines) {
      if (!headers_.Append(line)) return Fail("Out of memory");
    }
    // Switch off what libcurl would add on its own to a POST.
    if (!headers_.Append("Expect:") || !headers_.Append("Content-Type:")) {
      return Fail("Out of memory");
    }

    CURL* e = handles_.handles.easy;
    curl_easy_setopt(e, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    // The body goes out straight from the caller's memory (a small one in
    // the same packet as the header).
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_size_));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body_size_ > 0 ? body_ : "");
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &TCurlRequest::OnProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &TCurlRequest::OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &TCurlRequest::OnWrite);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers_.list);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error_buffer_);
    curl_easy_setopt(e, CURLOPT_USERAGENT, session_->user_agent.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::max(1, session_->connect_timeout_ms)));
    if (session_->access == THttpAccess::Direct) {
      curl_easy_setopt(e, CURLOPT_PROXY, "");
    }
    if (CURLSH* share = TCurlGlobal::Get().share()) {
      curl_easy_setopt(e, CURLOPT_SHARE, share);
    }
    send_idle_limit_ = std::max(session_->send_timeout_ms, session_->data_send_timeout_ms);
    receive_idle_limit_ = std::max(session_->receive_timeout_ms, session_->data_receive_timeout_ms);

    if (curl_multi_add_handle(handles_.handles.multi, e) != CURLM_OK) {
      return Fail("Cannot start the transfer");
    }
    added_ = true;
    last_activity_ = TClock::now();

    while (!headers_done_ && !transfer_done_) {
      if (closed_.load()) {
        Abort("The request was closed");
        break;
      }
      Drive(kPollSliceMs);
    }
    if (headers_done_) return true;
    return Fail(failure_text_.empty() ? "The transfer ended without an answer" : failure_text_,
                failure_errno_);
  }

  void Close() override {
    closed_.store(true);
    if (handles_.handles.multi != nullptr) curl_multi_wakeup(handles_.handles.multi);
  }

  bool QueryDataAvailable(uint32_t& count) override {
    ClearLastError();
    count = 0;
    if (!Pump()) return false;
    count =
        static_cast<uint32_t>(std::min<size_t>(received_.size() - received_offset_, UINT32_MAX));
    return true;
  }

  bool Read(void* buffer, uint32_t count, uint32_t& count_read) override {
    ClearLastError();
    count_read = 0;
    if (count == 0) return true;
    if (!Pump()) return false;
    const size_t n = std::min<size_t>(count, received_.size() - received_offset_);
    if (n > 0) {
      std::memcpy(buffer, received_.data() + received_offset_, n);
      received_offset_ += n;
      if (received_offset_ == received_.size()) {
        received_.clear();
        received_offset_ = 0;
      } else if (received_offset_ > kReceiveBufferCap) {
        received_.erase(0, received_offset_);
        received_offset_ = 0;
      }
      last_activity_ = TClock::now();
    }
    count_read = static_cast<uint32_t>(n);
    return true;
  }

 private:
  bool Fail(const std::string& text, long os_errno = 0) {
    SetLastError(text, os_errno);
    return false;
  }

  void Report(int32_t status) {
    if (THttpStatusCallback callback = session_->callback.load()) callback(context_, status);
  }

  // Makes bytes available to the reader when the buffer is empty: pulls from
  // the socket, waiting up to kReadWaitMs. False when the request is closed,
  // or the transfer failed and nothing is left to read.
  bool Pump() {
    if (closed_.load()) return Fail("The request was closed");
    if (!sent_ || (!added_ && !transfer_done_)) return Fail("The request was not sent");
    if (received_offset_ < received_.size()) return true;
    if (!reading_) {
      reading_ = true;
      last_activity_ = TClock::now();
    }
    const auto deadline = TClock::now() + std::chrono::milliseconds(kReadWaitMs);
    while (!transfer_done_ && received_offset_ == received_.size()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
      Drive(static_cast<int>(std::max<int64_t>(0, left.count())));
      if (closed_.load()) return Fail("The request was closed");
      if (TClock::now() >= deadline) break;
    }
    if (received_offset_ < received_.size()) return true;
    if (transfer_done_ && transfer_result_ != CURLE_OK) {
      return Fail(failure_text_, failure_errno_);
    }
    return true;
  }

  // One round: let libcurl work, collect a finished transfer, enforce the
  // inactivity limits, then wait for the socket (at most wait_ms).
  void Drive(int wait_ms) {
    int running = 0;
    if (received_.size() - received_offset_ < kReceiveBufferCap) {
      curl_multi_perform(handles_.handles.multi, &running);
      CollectDone();
    } else {
      last_activity_ = TClock::now();  // the reader is behind, not the network
    }
    if (transfer_done_) return;
    const bool sending = body_sent_ < body_size_;
    const int32_t limit = sending ? send_idle_limit_ : receive_idle_limit_;
    const auto idle =
        std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - last_activity_);
    if (limit > 0 && idle.count() >= limit) {
      Abort("Operation timed out: nothing " + std::string(sending ? "sent" : "received") + " for " +
            std::to_string(idle.count()) + " ms");
      return;
    }
    if (wait_ms <= 0 || closed_.load()) return;
    long curl_wait = -1;
    curl_multi_timeout(handles_.handles.multi, &curl_wait);
    int wait = wait_ms;
    if (curl_wait >= 0 && curl_wait < wait) wait = static_cast<int>(curl_wait);
    if (limit > 0) wait = std::min<int64_t>(wait, std::max<int64_t>(1, limit - idle.count()));
    if (wait > 0) curl_multi_poll(handles_.handles.multi, nullptr, 0, wait, nullptr);
  }

  void CollectDone() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(handles_.handles.multi, &left)) {
      if (message->msg != CURLMSG_DONE || message->easy_handle != handles_.handles.easy) continue;
      transfer_result_ = message->data.result;
      if (transfer_result_ != CURLE_OK) {
        failure_text_ = error_buffer_[0] != '\0' ? std::string(error_buffer_)
                                                 : curl_easy_strerror(transfer_result_);
        // libcurl sets the OS error only for socket failures; for any other
        // result the figure may be left over from an earlier transfer of this
        // (reused) handle.
        long os_errno = 0;
        if (transfer_result_ == CURLE_COULDNT_CONNECT || transfer_result_ == CURLE_SEND_ERROR ||
            transfer_result_ == CURLE_RECV_ERROR) {
          curl_easy_getinfo(handles_.handles.easy, CURLINFO_OS_ERRNO, &os_errno);
        }
        failure_errno_ = os_errno;
      }
      Finish();
    }
  }

  // Gives the transfer up: the connection is dropped, not kept for reuse.
  void Abort(const std::string& text) {
    if (transfer_done_) return;
    if (added_) {
      curl_multi_remove_handle(handles_.handles.multi, handles_.handles.easy);
      added_ = false;
    }
    transfer_result_ = CURLE_ABORTED_BY_CALLBACK;
    failure_text_ = text;
    failure_errno_ = 0;
    Finish();
  }

  void Finish() {
    transfer_done_ = true;
    Report(kHttpStatusConnectionClosed);
  }

  void NoteReceived() {
    last_activity_ = TClock::now();
    Report(kHttpStatusReceivingResponse);
    Report(kHttpStatusResponseReceived);
  }

  // Upload progress: every byte taken by the socket counts as activity.
  static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    auto* self = static_cast<TCurlRequest*>(user);
    if (uploaded > self->body_sent_) {
      self->body_sent_ = uploaded;
      self->last_activity_ = TClock::now();
    }
    return 0;
  }

  static size_t OnHeader(char* buffer, size_t size, size_t count, void* user) {
    auto* self = static_cast<TCurlRequest*>(user);
    const size_t n = size * count;
    std::string_view line(buffer, n);
    self->NoteReceived();
    if (line.substr(0, 5) == "HTTP/") {
      self->headers_done_ = false;
      const size_t space = line.find(' ');
      self->status_code_ = 0;
      if (space != std::string_view::npos) {
        for (size_t i = space + 1; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
          self->status_code_ = self->status_code_ * 10 + (line[i] - '0');
        }
      }
    } else if (line == "\r\n" || line == "\n") {
      // An interim answer (100 Continue) is followed by the real one.
      if (self->status_code_ < 100 || self->status_code_ >= 200) self->headers_done_ = true;
    }
    return n;
  }

  static size_t OnWrite(char* buffer, size_t size, size_t count, void* user) {
    auto* self = static_cast<TCurlRequest*>(user);
    const size_t n = size * count;
    self->headers_done_ = true;
    if (self->received_offset_ > 0 && self->received_offset_ == self->received_.size()) {
      self->received_.clear();
      self->received_offset_ = 0;
    }
    self->received_.append(buffer, n);
    self->NoteReceived();
    return n;
  }

  std::shared_ptr<TSessionState> session_;
  std::string url_;
  std::vector<std::string> accept_types_;
  void* context_;

  TCurlHandlesHolder handles_;
  THeaderListHolder headers_;
  char error_buffer_[CURL_ERROR_SIZE];

  std::atomic<bool> closed_{false};
  bool sent_ = false;
  bool added_ = false;
  bool reading_ = false;
  bool headers_done_ = false;
  bool transfer_done_ = false;
  long status_code_ = 0;
  CURLcode transfer_result_ = CURLE_OK;
  std::string failure_text_;
  long failure_errno_ = 0;

  const char* body_ = nullptr;
  int64_t body_size_ = 0;
  int64_t body_sent_ = 0;
  int32_t send_idle_limit_ = 0;
  int32_t receive_idle_limit_ = 0;
  TClock::time_point last_activity_;

  std::string received_;
  size_t received_offset_ = 0;
};

class TCurlConnection final : public TTransportConnection {
 public:
  TCurlConnection(std::shared_ptr<TSessionState> session, std::string origin)
      : session_(std::move(session)), origin_(std::move(origin)) {}

  std::unique_ptr<TTransportRequest> OpenRequest(const std::string& verb,
                                                 const std::string& object_name,
                                                 const std::vector<std::string>& accept_types,
                                                 void* context) override {
    ClearLastError();
    if (verb != "POST") {
      SetLastError("Only POST requests are supported", 0);
      return nullptr;
    }
    if (HasControlOrSpace(object_name)) {
      SetLastError("The object name cannot be sent: it holds blanks or control characters", 0);
      return nullptr;
    }
    std::string url = origin_;
    if (object_name.empty() || object_name[0] != '/') url += '/';
    url += object_name;
    auto request = std::make_unique<TCurlRequest>(session_, std::move(url), accept_types, context);
    if (!request->ok()) {
      SetLastError("Cannot create a transfer handle", 0);
      return nullptr;
    }
    return request;
  }

 private:
  std::shared_ptr<TSessionState> session_;
  std::string origin_;
};

class TCurlSession final : public TTransportSession {
 public:
  explicit TCurlSession(std::shared_ptr<TSessionState> state) : state_(std::move(state)) {}

  bool SetOption(THttpOption option, int32_t milliseconds) override {
    ClearLastError();
    if (milliseconds < 0) {
      SetLastError("A time-out cannot be negative", 0);
      return false;
    }
    switch (option) {
      case THttpOption::ConnectTimeout:
        state_->connect_timeout_ms = milliseconds;
        return true;
      case THttpOption::SendTimeout:
        state_->send_timeout_ms = milliseconds;
        return true;
      case THttpOption::ReceiveTimeout:
        state_->receive_timeout_ms = milliseconds;
        return true;
      case THttpOption::DataSendTimeout:
        state_->data_send_timeout_ms = milliseconds;
        return true;
      case THttpOption::DataReceiveTimeout:
        state_->data_receive_timeout_ms = milliseconds;
        return true;
    }
    SetLastError("Unknown option", 0);
    return false;
  }

  void SetStatusCallback(THttpStatusCallback callback) override {
    ClearLastError();
    state_->callback.store(callback);
  }

  std::unique_ptr<TTransportConnection> Connect(const std::string& host, uint16_t port,
                                                void* context) override {
    ClearLastError();
    if (!IsUsableHost(host)) {
      SetLastError("The host name cannot be used: \"" + host + "\"", 0);
      return nullptr;
    }
    std::string origin = "http://";
    const bool ipv6 = host.find(':') != std::string::npos && host[0] != '[';
    origin += ipv6 ? "[" + host + "]" : host;
    origin += ":" + std::to_string(port == 0 ? 80 : port);
    return std::make_unique<TCurlConnection>(state_, std::move(origin));
  }

 private:
  std::shared_ptr<TSessionState> state_;
};

}  // namespace

std::unique_ptr<TTransportSession> OpenHttpSession(const std::string& user_agent,
                                                   THttpAccess access) {
  ClearLastError();
  if (!TCurlGlobal::Get().ok()) {
    SetLastError("libcurl could not be initialised", 0);
    return nullptr;
  }
  auto state = std::make_shared<TSessionState>();
  state->user_agent = user_agent;
  state->access = access;
  return std::make_unique<TCurlSession>(std::move(state));
}

std::string HttpLastErrorText() { return t_last_error; }

std::string HttpLastSystemErrorText() { return t_last_system_error; }
