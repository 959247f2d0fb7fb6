// A reference server on 127.0.0.1 (any free port) with its own root folder,
// for the launcher's tests. Stopped and removed with the object.
#pragma once

#include <memory>
#include <string>

#include "corvane_server.h"
#include "support/test_support.h"

class TTestServer {
 public:
  TTestServer();
  ~TTestServer();

  // Starts listening; fails the calling test on error.
  void Start();
  int port() const { return server_->Port(); }
  TCorvaneServer& server() { return *server_; }
  const std::string& root() const { return root_.path(); }

  // Publishes bytes as the server's "_WEBPATH\CorvanePage\Nimbara.exe".
  void PublishBrowser(const std::string& bytes);
  // Answers "TEST_SERVER_ALIVE" with the payload text (ok) or an error.
  void AnswerAlive(const std::string& payload, bool ok = true);

 private:
  TTempDir root_;
  std::unique_ptr<TCorvaneServer> server_;
};
