// TPieceCache: a bounded least-recently-used map from a piece key to a
// prepared answer (the framed, packed bytes of a piece) or a piece digest.
//
// The key names the file's identity (resolved path, device, inode, size,
// last write time, status-change time) and the piece (offset, length), so an
// entry of a file that has changed since is never found again; such entries
// simply age out. The byte budget counts the stored bytes plus a fixed
// overhead per entry; adding beyond it evicts the least recently used.
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

class TServerFile;

// What the cache holds: prepared bytes (a framed answer or a digest text) and,
// for a framed answer, PayloadCheck of the raw piece it was made from.
struct TCachedPiece {
  std::string bytes;
  uint64_t check = 0;
};

enum class TPieceKind : char { kFramed = 'F', kDigest = 'D' };

std::string PieceKey(const TServerFile& file, int64_t offset, int64_t length, TPieceKind kind);

class TPieceCache {
 public:
  using TValue = std::shared_ptr<const TCachedPiece>;

  explicit TPieceCache(int64_t budget_bytes) : budget_(budget_bytes) {}

  // The entry for key (marked as recently used), or null.
  TValue Find(const std::string& key);
  // Stores value under key; a value larger than the whole budget is not kept.
  void Put(const std::string& key, TValue value);

  int64_t UsedBytes() const;
  int64_t EntryCount() const;

 private:
  struct TEntry {
    std::string key;
    TValue value;
    int64_t charge;
  };
  static constexpr int64_t kEntryOverhead = 160;

  const int64_t budget_;
  mutable std::mutex mutex_;
  std::list<TEntry> order_;  // front: most recently used
  std::unordered_map<std::string, std::list<TEntry>::iterator> index_;
  int64_t used_ = 0;
};
