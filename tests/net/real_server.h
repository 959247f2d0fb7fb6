// The reference server, in-process on 127.0.0.1 at a free port, for the
// link's tests and benchmark.
#pragma once

#include <memory>
#include <string>

#include "corvane_server.h"
#include "support/test_support.h"

class TRealServer {
 public:
  // root: the folder server file names map below (empty: a fresh one).
  explicit TRealServer(const std::string& root = std::string(),
                       int64_t max_unpacked_bytes = 64LL << 20) {
    TServerOptions options;
    options.port = 0;
    options.root = root.empty() ? own_root_.path() : root;
    options.log_requests = false;
    options.max_unpacked_bytes = max_unpacked_bytes;
    options.max_body_bytes = max_unpacked_bytes + (1 << 20);
    server_ = std::make_unique<TCorvaneServer>(options);
  }
  ~TRealServer() { server_->Stop(); }

  bool Start(std::string* error) { return server_->Start(error); }
  int Port() const { return server_->Port(); }
  TCorvaneServer& server() { return *server_; }

 private:
  TTempDir own_root_;
  std::unique_ptr<TCorvaneServer> server_;
};
