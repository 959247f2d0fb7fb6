// TUploadStore: the streams of the divided upload.
//
// A stream is opened by "GET_SERVER_STREAM_ID", receives pieces in order from
// "UPLOAD_STREAM_TO_SERVER", and is used up by the one request that names it
// in "_SEND_DIV_POST_STREAMID". Identifiers are 128 random bits written as
// 32 uppercase hexadecimal digits. The pieces of a stream are appended to a
// file named after the identifier in the upload folder. A stream that stays
// idle longer than the idle limit, or would grow past the size limit, is
// dropped (its file deleted); at most max_streams streams are open at once.
//
// Thread-safe: every operation may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class TUploadStore {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;

  struct TLimits {
    int64_t stream_bytes = 256LL << 20;
    int max_streams = 64;
    std::chrono::seconds idle{600};
  };

  // folder must exist. clock defaults to the steady clock (tests pass their own).
  TUploadStore(std::string folder, TLimits limits, TClock clock = nullptr);
  ~TUploadStore();  // deletes the files of the streams still open
  TUploadStore(const TUploadStore&) = delete;
  TUploadStore& operator=(const TUploadStore&) = delete;

  // Opens a new empty stream; false when too many are open or its file
  // cannot be created.
  bool Open(std::string* id, std::string* error);
  // Appends bytes; *total receives the stream's new size. Unknown ids are
  // refused; growing past the limit drops the stream.
  bool Append(const std::string& id, const std::string& bytes, int64_t* total, std::string* error);
  // Takes the whole content out and closes the stream, so it cannot be used
  // again.
  bool Take(const std::string& id, std::string* bytes, std::string* error);
  // Drops the streams idle longer than the idle limit; returns how many.
  int DropIdle();
  int OpenCount() const;

 private:
  struct TStream;
  std::shared_ptr<TStream> Find(const std::string& id, std::string* error);
  void Drop(const std::string& id);

  const std::string folder_;
  const TLimits limits_;
  const TClock clock_;
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<TStream>> streams_;
};

// 32 uppercase hexadecimal digits of 128 bits from the system's random source.
bool RandomStreamId(std::string* id, std::string* error);
