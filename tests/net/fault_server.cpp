#include "fault_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "pack/compression.h"
#include "pack/stream.h"

namespace {

struct TFd {
  int fd;
  ~TFd() {
    if (fd >= 0) close(fd);
  }
};

bool SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string LowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return text;
}

}  // namespace

std::vector<std::string> TRecordedRequest::HeaderLines() const {
  std::vector<std::string> lines;
  size_t start = head.find("\r\n");
  if (start == std::string::npos) return lines;
  start += 2;
  while (start < head.size()) {
    const size_t end = head.find("\r\n", start);
    if (end == std::string::npos || end == start) break;
    lines.push_back(head.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TFaultServer::TFaultServer() = default;

TFaultServer::~TFaultServer() { Stop(); }

bool TFaultServer::Start() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) return false;
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listen_fd_, 64) != 0) {
    return false;
  }
  socklen_t length = sizeof(address);
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void TFaultServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true);
  }
  stop_signal_.notify_all();
  if (accept_thread_.joinable()) accept_thread_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  for (std::thread& worker : workers) worker.join();
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
}

void TFaultServer::AddScript(TFaultScript script) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_.push_back(std::move(script));
}

std::vector<TRecordedRequest> TFaultServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void TFaultServer::AcceptLoop() {
  while (!stopping_.load()) {
    pollfd entry{listen_fd_, POLLIN, 0};
    if (poll(&entry, 1, 20) <= 0) continue;
    const int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    connections_.fetch_add(1);
    std::lock_guard<std::mutex> lock(mutex_);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

bool TFaultServer::Sleep(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stop_signal_.wait_for(lock, std::chrono::milliseconds(ms),
                                [this] { return stopping_.load(); });
}

void TFaultServer::Serve(int raw_fd) {
  TFd fd{raw_fd};
  if (!read_requests_.load()) {
    while (Sleep(1000)) {
    }
    return;
  }
  // Read the head, then the announced body.
  std::string data;
  char buffer[65536];
  size_t head_end = std::string::npos;
  int64_t body_size = 0;
  while (!stopping_.load()) {
    if (head_end != std::string::npos &&
        static_cast<int64_t>(data.size() - head_end - 4) >= body_size) {
      break;
    }
    pollfd entry{fd.fd, POLLIN, 0};
    if (poll(&entry, 1, 20) <= 0) continue;
    const ssize_t n = recv(fd.fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return;
    data.append(buffer, static_cast<size_t>(n));
    if (head_end == std::string::npos) {
      head_end = data.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        const std::string head = LowerCase(data.substr(0, head_end + 2));
        const size_t at = head.find("\r\ncontent-length:");
        if (at != std::string::npos) {
          body_size = std::atoll(head.c_str() + at + 17);
        }
      }
    }
  }
  if (stopping_.load()) return;
  TFaultScript script;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    TRecordedRequest request;
    request.head = data.substr(0, head_end + 4);
    request.body = data.substr(head_end + 4);
    requests_.push_back(std::move(request));
    if (!scripts_.empty()) {
      script = scripts_[std::min(next_script_, scripts_.size() - 1)];
      ++next_script_;
    }
  }
  for (const TFaultStep& step : script) {
    switch (step.kind) {
      case TFaultStep::Kind::Send:
        if (!SendAll(fd.fd, step.bytes.data(), step.bytes.size())) return;
        break;
      case TFaultStep::Kind::Trickle:
        for (char c : step.bytes) {
          if (!SendAll(fd.fd, &c, 1) || !Sleep(step.delay_ms)) return;
        }
        break;
      case TFaultStep::Kind::Pause:
        if (!Sleep(step.delay_ms)) return;
        break;
      case TFaultStep::Kind::ResetConnection: {
        linger option{1, 0};
        setsockopt(fd.fd, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
        return;
      }
    }
  }
  shutdown(fd.fd, SHUT_WR);
}

TFaultStep TFaultServer::Send(std::string bytes) {
  return TFaultStep{TFaultStep::Kind::Send, std::move(bytes), 0};
}
TFaultStep TFaultServer::Trickle(std::string bytes, int delay_ms) {
  return TFaultStep{TFaultStep::Kind::Trickle, std::move(bytes), delay_ms};
}
TFaultStep TFaultServer::Pause(int ms) { return TFaultStep{TFaultStep::Kind::Pause, {}, ms}; }
TFaultStep TFaultServer::Reset() { return TFaultStep{TFaultStep::Kind::ResetConnection, {}, 0}; }

std::string TFaultServer::HttpAnswer(const std::string& body, int status, bool chunked) {
  std::string answer = "HTTP/1.1 " + std::to_string(status) +
                       (status == 200 ? " OK" : " Internal Server Error") + "\r\n";
  answer += "Connection: close\r\n";
  if (!chunked) {
    answer += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return answer;
  }
  answer += "Transfer-Encoding: chunked\r\n\r\n";
  const size_t half = body.size() / 2;
  const std::string parts[] = {body.substr(0, half), body.substr(half)};
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    char size[32];
    std::snprintf(size, sizeof(size), "%zx\r\n", part.size());
    answer += size + part + "\r\n";
  }
  answer += "0\r\n\r\n";
  return answer;
}

std::string TFaultServer::Framed(const std::string& rest) {
  const uint32_t n = static_cast<uint32_t>(rest.size());
  std::string framed;
  for (int i = 0; i < 4; ++i) framed += static_cast<char>((n >> (8 * i)) & 0xFF);
  return framed + rest;
}

std::string TFaultServer::Packed(const std::string& bytes) {
  TMemoryStream source(bytes);
  TMemoryStream packed;
  PackStream(source, packed, CompressionLevel::Default);
  return packed.Bytes();
}

std::string TFaultServer::OkAnswerBody(const std::string& payload) {
  return Framed("KVSTART" + Packed(payload));
}

std::string TFaultServer::ErrorAnswerBody(const std::string& text) {
  return Framed("KVERR" + text);
}
