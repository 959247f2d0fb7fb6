// A scripted TTransportRequest for the send worker and the response reader: each
// read hands out the next queued piece (an empty piece: nothing now), and a
// status can be reported to the link's callback at a chosen read.
#pragma once

#include <cstring>
#include <deque>
#include <string>

#include "net/check_connect_thread.h"
#include "platform/http_transport.h"

class TFakeRequest : public TTransportRequest {
 public:
  struct TPiece {
    std::string bytes;
    bool fail = false;          // the read call itself fails
    int32_t status_before = 0;  // reported to the worker before handing out
  };

  std::deque<TPiece> pieces;
  TCheckConnectThread* worker = nullptr;
  bool send_result = true;
  int sends = 0;
  int reads = 0;
  std::string sent_headers;
  std::string sent_body;

  void Add(std::string bytes) { pieces.push_back({std::move(bytes), false, 0}); }
  void AddFailure() { pieces.push_back({"", true, 0}); }
  void AddClosed() { pieces.push_back({"", false, kHttpStatusConnectionClosed}); }

  bool Send(const std::string& headers, const char* body, int64_t size) override {
    ++sends;
    sent_headers = headers;
    sent_body.assign(body != nullptr ? body : "", static_cast<size_t>(size));
    if (worker != nullptr && send_result) {
      LinkStatusCallback(worker, kHttpStatusReceivingResponse);
      LinkStatusCallback(worker, kHttpStatusResponseReceived);
    }
    return send_result;
  }
  void Close() override {}

  bool QueryDataAvailable(uint32_t& count) override {
    count = 0;
    if (pieces.empty()) return true;
    TPiece& next = pieces.front();
    if (next.status_before != 0 && worker != nullptr) {
      LinkStatusCallback(worker, next.status_before);
      next.status_before = 0;
    }
    if (next.fail) {
      count = 1;  // a read is attempted and fails
      return true;
    }
    if (next.bytes.empty()) {
      pieces.pop_front();
      return true;
    }
    count = static_cast<uint32_t>(next.bytes.size());
    return true;
  }

  bool Read(void* buffer, uint32_t count, uint32_t& count_read) override {
    ++reads;
    count_read = 0;
    if (pieces.empty()) return true;
    TPiece& next = pieces.front();
    if (next.status_before != 0 && worker != nullptr) {
      LinkStatusCallback(worker, next.status_before);
      next.status_before = 0;
    }
    if (next.fail) {
      pieces.pop_front();
      return false;
    }
    const size_t n = std::min<size_t>(count, next.bytes.size());
    std::memcpy(buffer, next.bytes.data(), n);
    next.bytes.erase(0, n);
    if (next.bytes.empty()) pieces.pop_front();
    count_read = static_cast<uint32_t>(n);
    return true;
  }
};
