// A small HTTP server for the link's failure paths: raw sockets on
// 127.0.0.1, one thread per connection, scripted answers.
//
// Each accepted connection reads one whole request (header and the body its
// Content-Length announces), records it, then plays the next script in the
// queue (the last one is repeated when the queue runs dry) and closes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TFaultStep {
  enum class Kind { Send, Trickle, Pause, ResetConnection };
  Kind kind = Kind::Send;
  std::string bytes;  // Send, Trickle
  int delay_ms = 0;   // Trickle: between bytes; Pause: how long
};

using TFaultScript = std::vector<TFaultStep>;

struct TRecordedRequest {
  std::string head;  // request line and header lines, up to the blank line
  std::string body;
  // The header lines after the request line, without CR LF, in order.
  std::vector<std::string> HeaderLines() const;
};

class TFaultServer {
 public:
  TFaultServer();
  ~TFaultServer();  // Stop()

  // Listens on 127.0.0.1 at a free port; false when that fails.
  bool Start();
  // Stops accepting, cuts short every pause, joins all threads.
  void Stop();
  int Port() const { return port_; }

  void AddScript(TFaultScript script);
  // false: connections are accepted but never read from (nor answered)
  // until Stop, so a large request body fills the socket buffers.
  void SetReadRequests(bool read) { read_requests_.store(read); }
  int Connections() const { return connections_.load(); }
  std::vector<TRecordedRequest> Requests() const;

  // Script steps.
  static TFaultStep Send(std::string bytes);
  static TFaultStep Trickle(std::string bytes, int delay_ms);
  static TFaultStep Pause(int ms);
  static TFaultStep Reset();  // closes with RST instead of FIN

  // Answer helpers.
  // A whole HTTP answer: status line, Content-Length (or chunked transfer
  // encoding in two chunks), Connection: close, the body.
  static std::string HttpAnswer(const std::string& body, int status = 200, bool chunked = false);
  // The framing of the link: LE length of what follows, then the rest.
  static std::string Framed(const std::string& marker_and_rest);
  // "KVSTART" + packed text, framed.
  static std::string OkAnswerBody(const std::string& payload);
  // "KVERR" + text, framed.
  static std::string ErrorAnswerBody(const std::string& text);
  static std::string Packed(const std::string& bytes);

 private:
  void AcceptLoop();
  void Serve(int fd);
  bool Sleep(int ms);  // false when stopping

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::atomic<bool> read_requests_{true};
  std::thread accept_thread_;
  mutable std::mutex mutex_;
  std::condition_variable stop_signal_;
  std::vector<std::thread> workers_;
  std::vector<TFaultScript> scripts_;
  size_t next_script_ = 0;
  std::vector<TRecordedRequest> requests_;
};
