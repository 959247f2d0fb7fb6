#include "ui/ui_test_server.h"

#include <gtest/gtest.h>

#include <filesystem>

TTestServer::TTestServer() {
  TServerOptions options;
  options.listen_address = "127.0.0.1";
  options.port = 0;
  options.root = root_.path();
  options.log_requests = false;
  options.threads = 2;
  server_ = std::make_unique<TCorvaneServer>(options);
}

TTestServer::~TTestServer() { server_->Stop(); }

void TTestServer::Start() {
  std::string error;
  ASSERT_TRUE(server_->Start(&error)) << error;
}

void TTestServer::PublishBrowser(const std::string& bytes) {
  const std::string folder = root_.File("_WEBPATH/CorvanePage");
  std::filesystem::create_directories(folder);
  WriteFileBytes(folder + "/Nimbara.exe", bytes);
}

void TTestServer::AnswerAlive(const std::string& payload, bool ok) {
  server_->RegisterCommand("TEST_SERVER_ALIVE", [payload, ok](const TServerRequest&) {
    TServerAnswer answer;
    answer.ok = ok;
    if (ok)
      answer.payload = payload;
    else
      answer.error_text = payload;
    return answer;
  });
}
