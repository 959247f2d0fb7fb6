#include "net/check_connect_thread.h"

#include <deque>
#include <exception>
#include <functional>
#include <thread>

#include "pack/text_encodings.h"

namespace {

constexpr int32_t kDefaultTimeLimit = 180;
constexpr int64_t kBytesPerSecond = 32768;
constexpr int64_t kLargeBody = kDefaultTimeLimit * kBytesPerSecond;  // 5,898,240

const char16_t kSendWithBodyFailed[] = u"連線主機失敗E020：HttpSendRequest Connection fail:";
const char16_t kSendWithoutBodyFailed[] = u"連線主機失敗E021：HttpSendRequest Connection fail:";

// The threads that run the workers' Execute. A thread that has finished a
// send waits a little for the next one instead of ending, so that a run of
// calls does not pay for creating and ending a thread each time; a job never
// waits behind another one (a busy pool grows by a new thread).
class TSendThreads {
 public:
  static TSendThreads& Get() {
    static TSendThreads* threads = new TSendThreads;  // lives as long as the process
    return *threads;
  }

  // Runs job on an idle thread or on a new one. Throws std::system_error
  // when a thread is needed and cannot be created.
  void Run(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (idle_ > 0) {
        --idle_;  // that thread is now promised to this job
        jobs_.push_back(std::move(job));
        signal_.notify_one();
        return;
      }
    }
    std::thread([this, first = std::move(job)]() mutable {
      first();
      first = nullptr;
      Loop();
    }).detach();
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      const bool got_job = signal_.wait_for(lock, kIdleLife, [this] { return !jobs_.empty(); });
      if (!got_job) {
        --idle_;
        return;
      }
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
    }
  }

  static constexpr std::chrono::seconds kIdleLife{5};
  std::mutex mutex_;
  std::condition_variable signal_;
  std::deque<std::function<void()>> jobs_;
  int idle_ = 0;
};

}  // namespace

TCheckConnectThread::TCheckConnectThread(TTransportSession* session) {
  if (session != nullptr) session->SetStatusCallback(&LinkStatusCallback);
}

TCheckConnectThread::~TCheckConnectThread() { WaitFor(); }

void TCheckConnectThread::Start() {
  if (started_) return;
  TSendThreads::Get().Run([this] {
    Execute();
    // The last touch of this object by the send thread: WaitFor returns
    // only after the lock is released.
    std::lock_guard<std::mutex> lock(report_mutex_);
    ended_ = true;
    ++reports_;
    report_signal_.notify_all();
  });
  started_ = true;
}

void TCheckConnectThread::WaitFor() {
  if (!started_) return;
  std::unique_lock<std::mutex> lock(report_mutex_);
  report_signal_.wait(lock, [this] { return ended_; });
}

void TCheckConnectThread::WaitForReport(std::chrono::milliseconds max_wait) {
  std::unique_lock<std::mutex> lock(report_mutex_);
  report_signal_.wait_for(lock, max_wait, [this] { return reports_ != reports_seen_; });
  reports_seen_ = reports_;
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
