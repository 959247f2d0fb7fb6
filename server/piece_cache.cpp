#include "piece_cache.h"

#include "server_files.h"

std::string PieceKey(const TServerFile& file, int64_t offset, int64_t length, TPieceKind kind) {
  std::string key;
  key.reserve(file.path.size() + 96);
  key.push_back(static_cast<char>(kind));
  key += file.path;
  key.push_back('\0');
  for (int64_t v : {static_cast<int64_t>(file.device), static_cast<int64_t>(file.inode), file.size,
                    file.change_ns, file.status_change_ns, offset, length}) {
    key += std::to_string(v);
    key.push_back(',');
  }
  return key;
}

TPieceCache::TValue TPieceCache::Find(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = index_.find(key);
  if (it == index_.end()) return nullptr;
  order_.splice(order_.begin(), order_, it->second);
  return it->second->value;
}

void TPieceCache::Put(const std::string& key, TValue value) {
  if (!value) return;
  const int64_t charge = static_cast<int64_t>(value->bytes.size() + key.size()) + kEntryOverhead;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = index_.find(key);
  if (it != index_.end()) {
    used_ -= it->second->charge;
    order_.erase(it->second);
    index_.erase(it);
  }
  if (charge > budget_) return;
  while (used_ + charge > budget_ && !order_.empty()) {
    used_ -= order_.back().charge;
    index_.erase(order_.back().key);
    order_.pop_back();
  }
  order_.push_front(TEntry{key, std::move(value), charge});
  index_[key] = order_.begin();
  used_ += charge;
}

int64_t TPieceCache::UsedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return used_;
}

int64_t TPieceCache::EntryCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int64_t>(order_.size());
}
