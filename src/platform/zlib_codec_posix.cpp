#include <zlib.h>

#include <cstring>
#include <memory>

#include "platform/zlib_codec.h"

namespace {

Bytef* AsBytes(const char* p) { return reinterpret_cast<Bytef*>(const_cast<char*>(p)); }

// One z_stream kept per thread and direction. zlib allocates about 260 KiB
// for a deflate state and 40 KiB for an inflate state; taking them anew for
// every small request made each request pay for the allocation and for the
// page faults after the memory went back to the system. A kept stream is
// reset between uses, which gives the same bytes as a fresh one.
struct TKeptStream {
  z_stream z;
  bool initialised = false;  // zlib holds memory for it
  bool busy = false;         // lent to a TDeflater / TInflater now
  int level = 0;             // deflate: the level it was last set to
  bool deflating;

  explicit TKeptStream(bool for_deflate) : deflating(for_deflate) {
    std::memset(&z, 0, sizeof(z));
  }
  ~TKeptStream() {
    if (!initialised) return;
    if (deflating)
      deflateEnd(&z);
    else
      inflateEnd(&z);
  }
  TKeptStream(const TKeptStream&) = delete;
  TKeptStream& operator=(const TKeptStream&) = delete;
};

TKeptStream& KeptDeflateStream() {
  thread_local TKeptStream kept(true);
  return kept;
}
TKeptStream& KeptInflateStream() {
  thread_local TKeptStream kept(false);
  return kept;
}

}  // namespace

// The stream in use: the thread's kept one, or (when a second codec of the
// same direction is active on this thread at once) an own one that is ended
// with the codec.
struct TZlibUse {
  TKeptStream* kept = nullptr;
  std::unique_ptr<TKeptStream> own;
  bool started = false;
  z_stream idle;  // stands in before Start() and after End()

  TZlibUse() { std::memset(&idle, 0, sizeof(idle)); }
  z_stream& z() { return kept ? kept->z : own ? own->z : idle; }
  const z_stream& z() const { return kept ? kept->z : own ? own->z : idle; }
};

struct TDeflater::TState : TZlibUse {};
struct TInflater::TState : TZlibUse {};

TDeflater::TDeflater() : state_(std::make_unique<TState>()) {}
TDeflater::~TDeflater() { End(); }

int TDeflater::Start(int level) {
  End();
  TKeptStream& kept = KeptDeflateStream();
  if (!kept.busy) {
    int rc = Z_OK;
    if (kept.initialised) {
      rc = deflateReset(&kept.z);
      if (rc == Z_OK && kept.level != level) {
        rc = deflateParams(&kept.z, level, Z_DEFAULT_STRATEGY);
        if (rc == Z_OK) kept.level = level;
      }
      if (rc != Z_OK) {
        // Unusable for some reason: start it afresh below.
        deflateEnd(&kept.z);
        std::memset(&kept.z, 0, sizeof(kept.z));
        kept.initialised = false;
      }
    }
    if (!kept.initialised) {
      rc = deflateInit2(&kept.z, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
      if (rc != Z_OK) return rc;
      kept.initialised = true;
      kept.level = level;
    }
    kept.busy = true;
    state_->kept = &kept;
  } else {
    state_->own = std::make_unique<TKeptStream>(true);
    const int rc = deflateInit2(&state_->own->z, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) {
      state_->own.reset();
      return rc;
    }
    state_->own->initialised = true;
  }
  state_->started = true;
  return Z_OK;
}

void TDeflater::SetInput(const char* data, size_t size) {
  state_->z().next_in = AsBytes(data);
  state_->z().avail_in = static_cast<uInt>(size);
}
size_t TDeflater::InputLeft() const { return state_->z().avail_in; }

void TDeflater::SetOutput(char* buffer, size_t size) {
  state_->z().next_out = AsBytes(buffer);
  state_->z().avail_out = static_cast<uInt>(size);
}
size_t TDeflater::OutputLeft() const { return state_->z().avail_out; }

int TDeflater::Deflate(bool finish) {
  if (!state_->started) return Z_STREAM_ERROR;
  return deflate(&state_->z(), finish ? Z_FINISH : Z_NO_FLUSH);
}

void TDeflater::End() {
  if (!state_ || !state_->started) return;
  if (state_->kept) {
    // Drop the caller's buffers; the state itself stays for the next use.
    state_->kept->z.next_in = Z_NULL;
    state_->kept->z.avail_in = 0;
    state_->kept->z.next_out = Z_NULL;
    state_->kept->z.avail_out = 0;
    state_->kept->busy = false;
    state_->kept = nullptr;
  }
  state_->own.reset();
  state_->started = false;
}

TInflater::TInflater() : state_(std::make_unique<TState>()) {}
TInflater::~TInflater() { End(); }

int TInflater::Start() {
  End();
  TKeptStream& kept = KeptInflateStream();
  if (!kept.busy) {
    int rc = Z_OK;
    if (kept.initialised) {
      rc = inflateReset(&kept.z);
      if (rc != Z_OK) {
        inflateEnd(&kept.z);
        std::memset(&kept.z, 0, sizeof(kept.z));
        kept.initialised = false;
      }
    }
    if (!kept.initialised) {
      kept.z.next_in = Z_NULL;
      kept.z.avail_in = 0;
      rc = inflateInit2(&kept.z, 15);
      if (rc != Z_OK) return rc;
      kept.initialised = true;
    }
    kept.busy = true;
    state_->kept = &kept;
  } else {
    state_->own = std::make_unique<TKeptStream>(false);
    const int rc = inflateInit2(&state_->own->z, 15);
    if (rc != Z_OK) {
      state_->own.reset();
      return rc;
    }
    state_->own->initialised = true;
  }
  state_->started = true;
  return Z_OK;
}

void TInflater::SetInput(const char* data, size_t size) {
  state_->z().next_in = AsBytes(data);
  state_->z().avail_in = static_cast<uInt>(size);
}
size_t TInflater::InputLeft() const { return state_->z().avail_in; }

void TInflater::SetOutput(char* buffer, size_t size) {
  state_->z().next_out = AsBytes(buffer);
  state_->z().avail_out = static_cast<uInt>(size);
}
size_t TInflater::OutputLeft() const { return state_->z().avail_out; }

int TInflater::Inflate() {
  if (!state_->started) return Z_STREAM_ERROR;
  return inflate(&state_->z(), Z_NO_FLUSH);
}

void TInflater::End() {
  if (!state_ || !state_->started) return;
  if (state_->kept) {
    state_->kept->z.next_in = Z_NULL;
    state_->kept->z.avail_in = 0;
    state_->kept->z.next_out = Z_NULL;
    state_->kept->z.avail_out = 0;
    state_->kept->busy = false;
    state_->kept = nullptr;
  }
  state_->own.reset();
  state_->started = false;
}
