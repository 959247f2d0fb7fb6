#include "file_service.h"

#include <stdexcept>
#include <utility>

#include "answer_packing.h"
#include "digests.h"
#include "server_files.h"

namespace {

constexpr size_t kMaxPrefetchQueue = 64;

// Plain decimal without sign, at most 18 digits (fits int64_t).
bool ParseDecimal(const std::string& text, int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

std::string FileIdentity(const TServerFile& file) {
  return file.path + '\0' + std::to_string(file.device) + ',' + std::to_string(file.inode) + ',' +
         std::to_string(file.size) + ',' + std::to_string(file.change_ns) + ',' +
         std::to_string(file.status_change_ns);
}

TServerAnswer Refuse(std::string text) {
  TServerAnswer answer;
  answer.ok = false;
  answer.error_text = std::move(text);
  return answer;
}

}  // namespace

TFileService::TFileService(TSettings settings, TAtomicCounters* counters)
    : settings_(std::move(settings)), counters_(counters), cache_(settings_.cache_bytes) {
  if (settings_.prefetch && settings_.cache_bytes > 0) {
    for (int i = 0; i < settings_.prefetch_threads; ++i) {
      workers_.emplace_back([this] { PrefetchLoop(); });
    }
  }
}

TFileService::~TFileService() {
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    stopping_ = true;
    queue_.clear();
  }
  queue_cv_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

TServerAnswer TFileService::SizeTime(const TServerRequest& request) {
  counters_->file_info_requests++;
  const std::string name = request.Item("_FILENAME");
  if (name.empty()) return Refuse("missing item _FILENAME");
  TServerFile file;
  std::string error;
  if (!OpenServerFile(settings_.real_root, name, &file, &error)) return Refuse(error);
  if (file.size > 0x7FFFFFFF) {
    return Refuse("file too large for the launcher (2 GiB or more): " + name);
  }
  TServerAnswer answer;
  answer.payload = std::to_string(file.size) + "," + FileTimeText(file.creation_ns) + "," +
                   FileTimeText(file.access_ns) + "," + FileTimeText(file.write_ns);
  return answer;
}

TServerAnswer TFileService::Stream(const TServerRequest& request) {
  const std::string name = request.Item("_FILENAME");
  if (name.empty()) return Refuse("missing item _FILENAME");
  int64_t offset = 0, length = 0;
  if (!ParseDecimal(request.Item("_BE"), &offset)) {
    return Refuse("item _BE is missing or not a decimal number");
  }
  if (!ParseDecimal(request.Item("_LEN"), &length)) {
    return Refuse("item _LEN is missing or not a decimal number");
  }
  if (length > settings_.max_piece_bytes) {
    return Refuse("piece length " + std::to_string(length) + " above the limit of " +
                  std::to_string(settings_.max_piece_bytes) + " bytes");
  }
  TServerFile file;
  std::string error;
  if (!OpenServerFile(settings_.real_root, name, &file, &error)) return Refuse(error);
  if (offset > file.size || length > file.size - offset) {
    return Refuse("piece outside the file: offset " + std::to_string(offset) + ", length " +
                  std::to_string(length) + ", file size " + std::to_string(file.size) + ": " +
                  name);
  }

  std::string raw;
  bool have_raw = false;
  const std::string sent_digest = request.Item("_MD5Str");
  if (request.Item("_AUsesMD5Check") == "T" && !sent_digest.empty()) {
    const std::string key = PieceKey(file, offset, length, TPieceKind::kDigest);
    std::string digest;
    if (TPieceCache::TValue cached = cache_.Find(key)) {
      digest = cached->bytes;
    } else {
      if (!file.ReadPiece(offset, length, &raw, &error)) return Refuse(error + ": " + name);
      have_raw = true;
      digest = Md5HexUpper(raw);
      if (file.Unchanged()) {
        auto value = std::make_shared<TCachedPiece>();
        value->bytes = digest;
        cache_.Put(key, std::move(value));
      }
    }
    if (digest == sent_digest) {
      counters_->digest_confirmed_pieces++;
      TServerAnswer answer;
      answer.payload = digest;
      return answer;
    }
  }

  if (!have_raw && !file.ReadPiece(offset, length, &raw, &error)) {
    return Refuse(error + ": " + name);
  }
  TServerAnswer answer;
  if (TPieceCache::TValue framed = FramedPiece(file, offset, length, &raw)) {
    answer.framed_check = framed->check;
    answer.framed = std::shared_ptr<const std::string>(framed, &framed->bytes);  // shares ownership
  }
  answer.payload = std::move(raw);
  counters_->data_pieces++;
  if (!workers_.empty()) QueuePrefetch(name, file, offset, length);
  return answer;
}

TPieceCache::TValue TFileService::FramedPiece(const TServerFile& file, int64_t offset,
                                              int64_t length, const std::string* raw) {
  if (settings_.cache_bytes <= 0) return nullptr;  // framed afresh by the caller
  const std::string key = PieceKey(file, offset, length, TPieceKind::kFramed);
  if (TPieceCache::TValue cached = cache_.Find(key)) return cached;

  std::promise<TPieceCache::TValue> promise;
  {
    std::unique_lock<std::mutex> lock(packing_mutex_);
    auto it = packing_.find(key);
    if (it != packing_.end()) {
      std::shared_future<TPieceCache::TValue> pending = it->second;
      lock.unlock();
      try {
        if (TPieceCache::TValue value = pending.get()) return value;
      } catch (...) {
      }
      return nullptr;  // that packing failed; the caller frames afresh
    }
    packing_[key] = promise.get_future().share();
  }
  TPieceCache::TValue value;
  try {
    std::string read;
    if (!raw) {
      std::string error;
      if (!file.ReadPiece(offset, length, &read, &error)) throw std::runtime_error(error);
      raw = &read;
    }
    auto packed = std::make_shared<TCachedPiece>();
    packed->bytes = FrameAnswer(*raw);
    packed->check = PayloadCheck(*raw);
    value = std::move(packed);
    if (file.Unchanged()) cache_.Put(key, value);
    promise.set_value(value);
  } catch (...) {
    promise.set_exception(std::current_exception());
  }
  std::lock_guard<std::mutex> lock(packing_mutex_);
  packing_.erase(key);
  return value;
}

void TFileService::QueuePrefetch(const std::string& server_name, const TServerFile& file,
                                 int64_t offset, int64_t length) {
  if (length <= 0) return;
  const std::string identity = FileIdentity(file);
  std::lock_guard<std::mutex> lock(queue_mutex_);
  if (stopping_) return;
  int64_t next = offset + length;
  for (int i = 0; i < settings_.prefetch_depth && next < file.size; ++i) {
    const int64_t next_length = std::min(length, file.size - next);
    const std::string key = PieceKey(file, next, next_length, TPieceKind::kFramed);
    bool known = cache_.Find(key) != nullptr;
    if (!known) {
      std::lock_guard<std::mutex> packing_lock(packing_mutex_);
      known = packing_.count(key) != 0;
    }
    if (!known) {
      for (const TPrefetchJob& job : queue_) {
        if (job.identity == identity && job.offset == next && job.length == next_length) {
          known = true;
          break;
        }
      }
    }
    if (!known && queue_.size() < kMaxPrefetchQueue) {
      queue_.push_back(TPrefetchJob{server_name, identity, next, next_length});
      queue_cv_.notify_one();
    }
    next += next_length;
  }
}

void TFileService::PrefetchLoop() {
  for (;;) {
    TPrefetchJob job;
    {
      std::unique_lock<std::mutex> lock(queue_mutex_);
      queue_cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      ++running_jobs_;
    }
    try {
      Prefetch(job.server_name, job.identity, job.offset, job.length);
    } catch (...) {
      // A prefetch is only a hint; the request that needs the piece packs it.
    }
    {
      std::lock_guard<std::mutex> lock(queue_mutex_);
      --running_jobs_;
      if (queue_.empty() && running_jobs_ == 0) idle_cv_.notify_all();
    }
  }
}

void TFileService::Prefetch(const std::string& server_name, const std::string& identity,
                            int64_t offset, int64_t length) {
  TServerFile file;
  std::string error;
  if (!OpenServerFile(settings_.real_root, server_name, &file, &error)) return;
  if (FileIdentity(file) != identity) return;  // the file changed meanwhile
  FramedPiece(file, offset, length, nullptr);
}

void TFileService::WaitPrefetchIdle() {
  std::unique_lock<std::mutex> lock(queue_mutex_);
  idle_cv_.wait(lock, [this] { return stopping_ || (queue_.empty() && running_jobs_ == 0); });
}
