#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "upload_store.h"

struct TUploadStore::TStream {
  std::mutex mutex;
  int fd = -1;
  std::string path;
  int64_t size = 0;
  std::chrono::steady_clock::time_point last_activity;
  bool dead = false;

  // Closes and deletes the file; the caller holds mutex.
  void Discard() {
    if (fd >= 0) close(fd);
    fd = -1;
    unlink(path.c_str());
    dead = true;
  }
};

namespace {

bool IsStreamId(const std::string& id) {
  if (id.size() != 32) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool RandomStreamId(std::string* id, std::string* error) {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof(bytes)) {
    const ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = std::string("no random bytes for a stream id: ") + std::strerror(errno);
      return false;
    }
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789ABCDEF";
  id->clear();
  for (unsigned char b : bytes) {
    id->push_back(kHex[b >> 4]);
    id->push_back(kHex[b & 0x0F]);
  }
  return true;
}

TUploadStore::TUploadStore(std::string folder, TLimits limits, TClock clock)
    : folder_(std::move(folder)),
      limits_(limits),
      clock_(clock ? std::move(clock) : TClock([] { return std::chrono::steady_clock::now(); })) {}

TUploadStore::~TUploadStore() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [id, stream] : streams_) {
    std::lock_guard<std::mutex> stream_lock(stream->mutex);
    stream->Discard();
  }
  streams_.clear();
}

int TUploadStore::OpenCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(streams_.size());
}

int TUploadStore::DropIdle() {
  const auto now = clock_();
  int dropped = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = streams_.begin(); it != streams_.end();) {
    // The copy keeps the stream (and its mutex) alive until the lock is gone.
    const std::shared_ptr<TStream> stream = it->second;
    std::unique_lock<std::mutex> stream_lock(stream->mutex, std::try_to_lock);
    if (stream_lock.owns_lock() && now - stream->last_activity > limits_.idle) {
      stream->Discard();
      stream_lock.unlock();
      it = streams_.erase(it);
      ++dropped;
    } else {
      ++it;
    }
  }
  return dropped;
}

bool TUploadStore::Open(std::string* id, std::string* error) {
  DropIdle();
  std::string new_id;
  if (!RandomStreamId(&new_id, error)) return false;
  auto stream = std::make_shared<TStream>();
  stream->path = folder_ + "/" + new_id + ".upload";
  stream->last_activity = clock_();

  std::lock_guard<std::mutex> lock(mutex_);
  if (static_cast<int>(streams_.size()) >= limits_.max_streams) {
    *error = "too many open upload streams (" + std::to_string(limits_.max_streams) + ")";
    return false;
  }
  stream->fd = open(stream->path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_APPEND | O_CLOEXEC, 0600);
  if (stream->fd < 0) {
    *error = "cannot create upload file " + stream->path + ": " + std::strerror(errno);
    return false;
  }
  streams_[new_id] = stream;
  *id = new_id;
  return true;
}

std::shared_ptr<TUploadStore::TStream> TUploadStore::Find(const std::string& id,
                                                          std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = IsStreamId(id) ? streams_.find(id) : streams_.end();
  if (it == streams_.end()) {
    *error = "unknown upload stream id";
    return nullptr;
  }
  return it->second;
}

void TUploadStore::Drop(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  streams_.erase(id);
}

bool TUploadStore::Append(const std::string& id, const std::string& bytes, int64_t* total,
                          std::string* error) {
  std::shared_ptr<TStream> stream = Find(id, error);
  if (!stream) return false;
  std::unique_lock<std::mutex> stream_lock(stream->mutex);
  if (stream->dead) {
    *error = "unknown upload stream id";
    return false;
  }
  if (stream->size + static_cast<int64_t>(bytes.size()) > limits_.stream_bytes) {
    stream->Discard();
    stream_lock.unlock();
    Drop(id);
    *error = "upload stream dropped: it would grow past " + std::to_string(limits_.stream_bytes) +
             " bytes";
    return false;
  }
  if (!WriteAll(stream->fd, bytes.data(), bytes.size())) {
    const std::string why = std::strerror(errno);
    stream->Discard();
    stream_lock.unlock();
    Drop(id);
    *error = "upload stream dropped: cannot write its file: " + why;
    return false;
  }
  stream->size += static_cast<int64_t>(bytes.size());
  stream->last_activity = clock_();
  *total = stream->size;
  return true;
}

bool TUploadStore::Take(const std::string& id, std::string* bytes, std::string* error) {
  std::shared_ptr<TStream> stream;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = IsStreamId(id) ? streams_.find(id) : streams_.end();
    if (it == streams_.end()) {
      *error = "unknown upload stream id";
      return false;
    }
    stream = it->second;
    streams_.erase(it);
  }
  std::lock_guard<std::mutex> stream_lock(stream->mutex);
  if (stream->dead) {
    *error = "unknown upload stream id";
    return false;
  }
  bytes->resize(static_cast<size_t>(stream->size));
  int64_t done = 0;
  while (done < stream->size) {
    const ssize_t n = pread(stream->fd, bytes->data() + done,
                            static_cast<size_t>(stream->size - done), static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      stream->Discard();
      bytes->clear();
      *error = "cannot read upload stream file";
      return false;
    }
    done += n;
  }
  stream->Discard();
  return true;
}
