// A TCP forwarder on 127.0.0.1 that counts the bytes passing through it in
// both directions: the benchmark's "bytes on the wire" (TCP payload).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class TCountingProxy {
 public:
  // Forwards every connection to 127.0.0.1:target_port. Throws
  // std::runtime_error when it cannot listen.
  explicit TCountingProxy(int target_port);
  ~TCountingProxy();
  TCountingProxy(const TCountingProxy&) = delete;
  TCountingProxy& operator=(const TCountingProxy&) = delete;

  int Port() const { return port_; }
  int64_t Bytes() const { return bytes_.load(); }
  void Reset() { bytes_ = 0; }

 private:
  void AcceptLoop();
  void Pump(int client);

  int target_port_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> bytes_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> pumps_;
};
