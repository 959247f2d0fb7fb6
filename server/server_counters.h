// The server's counters, kept with atomics so that any worker may count.
#pragma once

#include <atomic>
#include <cstdint>

#include "corvane_server.h"

struct TAtomicCounters {
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> errors{0};
  std::atomic<uint64_t> data_pieces{0};
  std::atomic<uint64_t> digest_confirmed_pieces{0};
  std::atomic<uint64_t> file_info_requests{0};

  TServerCounters Snapshot() const {
    TServerCounters c;
    c.requests = requests.load();
    c.errors = errors.load();
    c.data_pieces = data_pieces.load();
    c.digest_confirmed_pieces = digest_confirmed_pieces.load();
    c.file_info_requests = file_info_requests.load();
    return c;
  }
  void Reset() {
    requests = 0;
    errors = 0;
    data_pieces = 0;
    digest_confirmed_pieces = 0;
    file_info_requests = 0;
  }
};
