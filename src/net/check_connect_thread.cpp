#include "net/check_connect_thread.h"

#include <exception>

#include "pack/text_encodings.h"

namespace {

constexpr int32_t kDefaultTimeLimit = 180;
constexpr int64_t kBytesPerSecond = 32768;
constexpr int64_t kLargeBody = kDefaultTimeLimit * kBytesPerSecond;  // 5,898,240

const char16_t kSendWithBodyFailed[] = u"連線主機失敗E020：HttpSendRequest Connection fail:";
const char16_t kSendWithoutBodyFailed[] = u"連線主機失敗E021：HttpSendRequest Connection fail:";

}  // namespace

TCheckConnectThread::TCheckConnectThread(TTransportSession* session) {
  if (session != nullptr) session->SetStatusCallback(&LinkStatusCallback);
}

TCheckConnectThread::~TCheckConnectThread() { WaitFor(); }

void TCheckConnectThread::Start() {
  if (started_) return;
  thread_ = std::thread([this] { Execute(); });
  started_ = true;
}

void TCheckConnectThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TCheckConnectThread::WaitForReport(std::chrono::milliseconds max_wait) {
  std::unique_lock<std::mutex> lock(report_mutex_);
  report_signal_.wait_for(lock, max_wait, [this] { return reports_ != reports_seen_; });
  reports_seen_ = reports_;
}

void TCheckConnectThread::Notify() {
  std::lock_guard<std::mutex> lock(report_mutex_);
  ++reports_;
  report_signal_.notify_all();
}

int32_t TCheckConnectThread::TimeLimitFor(int32_t caller_time_limit, int64_t body_size) {
  if (caller_time_limit > 0) return caller_time_limit;
  if (body_size >= kLargeBody) return static_cast<int32_t>(body_size / kBytesPerSecond + 1);
  return kDefaultTimeLimit;
}

void TCheckConnectThread::Execute() {
  const int64_t size = FBody != nullptr ? FBody->Size() : 0;
  const char16_t* failure_prefix = size > 0 ? kSendWithBodyFailed : kSendWithoutBodyFailed;
  try {
    FTimeLimit.store(TimeLimitFor(FCallerTimeLimit.load(), size));
    bool sent = false;
    if (FRequest != nullptr) {
      if (size > 0) {
        FBody->SetPosition(0);
        sent = FRequest->Send(FHeaders, FBody->Memory(), size);
      } else {
        sent = FRequest->Send(FHeaders, nullptr, 0);
      }
    }
    if (!sent) {
      FErrorText = failure_prefix + ByteTextToWide(HttpLastSystemErrorText());
      FFailed.store(true);
    }
  } catch (const std::exception& e) {
    // A send that cannot even be attempted counts as a failed send.
    FErrorText = failure_prefix + (u"Exception:" + ByteTextToWide(e.what()));
    FFailed.store(true);
  } catch (...) {
    FErrorText = failure_prefix;
    FFailed.store(true);
  }
  FBusy.store(false);
  Notify();
}

void LinkStatusCallback(void* context, int32_t status) {
  if (context == nullptr) return;
  try {
    auto* worker = static_cast<TCheckConnectThread*>(context);
    worker->FLastStatus.store(status);
    if (status == kHttpStatusReceivingResponse || status == kHttpStatusResponseReceived) {
      worker->FLastActivity.store(TCheckConnectThread::NowTicks());
      worker->FResponseStarted.store(true);
    }
  } catch (...) {
    // The transport must never see an exception.
  }
}
