// TCheckConnectThread: the worker that runs the blocking send of one attempt
// of PostServerRequest, and LinkStatusCallback, which the transport calls
// with the worker as context to report the progress of the exchange.
//
// Fields read without a lock by the calling thread are atomics. The worker
// stores FErrorText before it raises FFailed, and FTimeLimit before the send
// begins, so a caller that sees FFailed may read ErrorText(), and a caller
// that sees FResponseStarted also sees FTimeLimit.
//
// Time-limit rule (seconds), applied by Execute:
//   FCallerTimeLimit > 0                       FCallerTimeLimit
//   body empty, or below 5,898,240 bytes       180
//   body of 5,898,240 bytes or more            size / 32768 + 1
//
// Lifecycle: created suspended (registers the callback on the session), given
// its job, started once, then discarded by the attempt after the callback has
// been removed from the session. The destructor waits for a started worker
// to end; the attempt makes a hanging send return by closing the request.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "pack/stream.h"
#include "platform/http_transport.h"

class TCheckConnectThread {
 public:
  using TClock = std::chrono::steady_clock;

  // session may be null (then no callback is registered).
  explicit TCheckConnectThread(TTransportSession* session);
  ~TCheckConnectThread();
  TCheckConnectThread(const TCheckConnectThread&) = delete;
  TCheckConnectThread& operator=(const TCheckConnectThread&) = delete;

  void SetHeaders(const std::string& headers) { FHeaders = headers; }
  void SetBody(TMemoryStream* body) { FBody = body; }
  void SetRequest(TTransportRequest* request) { FRequest = request; }

  // Starts Execute on a send thread of its own (an idle one kept from an
  // earlier worker, or a new one); throws std::system_error when a thread
  // cannot be created. Only the first call starts it.
  void Start();
  bool Started() const { return started_; }
  // Waits until a started worker has ended; returns at once otherwise.
  void WaitFor();

  // Waits until the worker has ended, or until max_wait has passed,
  // whichever comes first. Calling thread only. The status callback does not
  // wake it: its fields are seen at the next look.
  void WaitForReport(std::chrono::milliseconds max_wait);

  // The send failure's message; meaningful once FFailed has been seen true.
  const std::u16string& ErrorText() const { return FErrorText; }

  // The time limit in force for a body of body_size bytes (see above).
  static int32_t TimeLimitFor(int32_t caller_time_limit, int64_t body_size);

  // Seconds on the link's monotonic clock, for FLastActivity.
  static int64_t NowTicks() { return TClock::now().time_since_epoch().count(); }
  static int64_t ElapsedSeconds(int64_t since_ticks) {
    return std::chrono::duration_cast<std::chrono::seconds>(
               TClock::duration(NowTicks() - since_ticks))
        .count();
  }

  std::atomic<int32_t> FCallerTimeLimit{0};
  std::atomic<int32_t> FTimeLimit{0};
  std::atomic<bool> FBusy{true};
  std::atomic<bool> FFailed{false};
  std::atomic<bool> FResponseStarted{false};
  std::atomic<int64_t> FLastActivity{0};  // TClock ticks
  std::atomic<int32_t> FLastStatus{0};

 private:
  // Runs the send (on the worker thread). Sets FBusy false when it ends,
  // whatever happened.
  void Execute();

  TTransportRequest* FRequest = nullptr;
  std::string FHeaders;
  TMemoryStream* FBody = nullptr;
  std::u16string FErrorText;

  bool started_ = false;
  bool ended_ = false;  // guarded by report_mutex_
  std::mutex report_mutex_;
  std::condition_variable report_signal_;
  uint64_t reports_ = 0;       // guarded by report_mutex_
  uint64_t reports_seen_ = 0;  // calling thread only
};

// The transport's status callback. context is the worker (or null: then
// nothing happens). Records every status in FLastStatus; 40 and 41 also move
// FLastActivity to now and mark the response as begun. Never throws.
void LinkStatusCallback(void* context, int32_t status);
