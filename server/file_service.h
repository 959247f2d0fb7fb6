// TFileService: the two file commands.
//
//   "GET_SERVER_FILE_SIZE_TIME"  item "_FILENAME"
//       payload "size,creation,access,write" (file time texts, server_files.h)
//   "GET_SERVER_FILE_STREAM"     items "_FILENAME", "_BE" (offset), "_LEN"
//       (length), optional "_AUsesMD5Check" = "T" with "_MD5Str"
//       payload: exactly the asked bytes; or, when a digest came with the
//       request and equals the piece's MD5 text (32 uppercase hexadecimal
//       digits, compared exactly), that digest text.
//
// Packed pieces and piece digests are kept in a TPieceCache; while a client
// fetches a file, the next pieces are packed ahead on background threads.
// Two requests for the same piece share one packing.
//
// Thread-safe: the handlers run on any worker thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "corvane_server.h"
#include "piece_cache.h"
#include "server_counters.h"

class TServerFile;

class TFileService {
 public:
  struct TSettings {
    std::string real_root;  // from ResolveServedRoot
    int64_t cache_bytes = 256LL << 20;
    int64_t max_piece_bytes = 16LL << 20;
    bool prefetch = true;
    int prefetch_depth = 4;    // pieces packed ahead of the one served
    int prefetch_threads = 2;  // background packers
  };

  TFileService(TSettings settings, TAtomicCounters* counters);
  ~TFileService();  // stops the background packers
  TFileService(const TFileService&) = delete;
  TFileService& operator=(const TFileService&) = delete;

  TServerAnswer SizeTime(const TServerRequest& request);
  TServerAnswer Stream(const TServerRequest& request);

  const TPieceCache& cache() const { return cache_; }
  // Waits until no prefetch is queued or running (for tests and benchmarks).
  void WaitPrefetchIdle();

 private:
  struct TPrefetchJob {
    std::string server_name;
    std::string identity;  // FileIdentity of the file that triggered the job
    int64_t offset = 0;
    int64_t length = 0;
  };

  // The framed answer for the piece at offset/length of file, from the
  // cache, from a packing in progress, or packed now (from raw, or read from
  // the file when raw is null). Null when the cache is off or packing failed.
  TPieceCache::TValue FramedPiece(const TServerFile& file, int64_t offset, int64_t length,
                                  const std::string* raw);
  void QueuePrefetch(const std::string& server_name, const TServerFile& file, int64_t offset,
                     int64_t length);
  void PrefetchLoop();
  void Prefetch(const std::string& server_name, const std::string& identity, int64_t offset,
                int64_t length);

  const TSettings settings_;
  TAtomicCounters* counters_;
  TPieceCache cache_;

  std::mutex packing_mutex_;
  std::map<std::string, std::shared_future<TPieceCache::TValue>> packing_;

  std::mutex queue_mutex_;
  std::condition_variable queue_cv_;
  std::condition_variable idle_cv_;
  std::deque<TPrefetchJob> queue_;
  int running_jobs_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};
