// THttpListener: the HTTP layer of the server. It accepts connections on one
// address, collects each request's header lines and body (up to a size
// limit), hands them to a THttpHandler on one of its worker threads, and
// sends back the bytes the handler returns with status 200.
//
// Refused before the handler runs (the handler's Refusal frames the text):
// a method other than POST, and a body above max_body_bytes (a declared
// Content-Length above it is refused before the body is read).
//
// Start/Stop/Port from one controlling thread.
#pragma once

#include <memory>
#include <string>

#include "request_decoder.h"

class THttpHandler {
 public:
  virtual ~THttpHandler() = default;
  // The complete answer body for a request. Called on worker threads.
  virtual std::shared_ptr<const std::string> Handle(const THttpRequest& request) = 0;
  // The answer body refusing a request with the given text.
  virtual std::shared_ptr<const std::string> Refusal(const THttpRequest& request,
                                                     const std::string& text) = 0;
};

class THttpListener {
 public:
  struct TSettings {
    std::string address = "127.0.0.1";  // IPv4 or IPv6 literal
    int port = 8080;                    // 0: any free port
    int threads = 16;
    int max_connections = 256;
    int connection_timeout_seconds = 60;
    int64_t max_body_bytes = 32LL << 20;
    bool log_errors = true;
  };

  THttpListener(TSettings settings, THttpHandler* handler);
  ~THttpListener();  // Stop()

  // Binds and starts the workers; false with a message (for example when the
  // port is in use).
  bool Start(std::string* error);
  // Stops accepting, lets requests in flight finish (up to 30 s), then closes
  // every connection.
  void Stop();
  int Port() const { return port_; }

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
  int port_ = 0;
};
