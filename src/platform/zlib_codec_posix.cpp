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
  ~TKeptStream() { Release(); }
  // Gives zlib's memory back; the stream can be initialised again.
  void Release() {
    if (!initialised) return;
    if (deflating)
      deflateEnd(&z);
    else
      inflateEnd(&z);
    std::memset(&z, 0, sizeof(z));
    initialised = false;
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
struct TZlibStream::TState {
  TKeptStream* kept = nullptr;
  std::unique_ptr<TKeptStream> own;
  bool started = false;
  z_stream idle;  // stands in before Start() and after End()

  TState() { std::memset(&idle, 0, sizeof(idle)); }
  z_stream& z() { return kept ? kept->z : own ? own->z : idle; }
  const z_stream& z() const { return kept ? kept->z : own ? own->z : idle; }

  // Takes the thread's kept stream when it is free (reset() readies an
  // initialised one, init() starts a fresh one), else an own stream.
  template <typename Reset, typename Init>
  int Acquire(TKeptStream& thread_kept, Reset reset, Init init) {
    if (!thread_kept.busy) {
      if (thread_kept.initialised && reset(thread_kept) != Z_OK) {
        thread_kept.Release();  // unusable for some reason: start it afresh below
      }
      if (!thread_kept.initialised) {
        const int rc = init(thread_kept);
        if (rc != Z_OK) return rc;
        thread_kept.initialised = true;
      }
      thread_kept.busy = true;
      kept = &thread_kept;
    } else {
      own = std::make_unique<TKeptStream>(thread_kept.deflating);
      const int rc = init(*own);
      if (rc != Z_OK) {
        own.reset();
        return rc;
      }
      own->initialised = true;
    }
    started = true;
    return Z_OK;
  }
};

TZlibStream::TZlibStream() : state_(std::make_unique<TState>()) {}
TZlibStream::~TZlibStream() { End(); }

void TZlibStream::SetInput(const char* data, size_t size) {
  state_->z().next_in = AsBytes(data);
  state_->z().avail_in = static_cast<uInt>(size);
}
size_t TZlibStream::InputLeft() const { return state_->z().avail_in; }

void TZlibStream::SetOutput(char* buffer, size_t size) {
  state_->z().next_out = AsBytes(buffer);
  state_->z().avail_out = static_cast<uInt>(size);
}
size_t TZlibStream::OutputLeft() const { return state_->z().avail_out; }

void TZlibStream::End() {
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

int TDeflater::Start(int level) {
  End();
  return state_->Acquire(
      KeptDeflateStream(),
      [level](TKeptStream& k) {
        int rc = deflateReset(&k.z);
        if (rc == Z_OK && k.level != level) {
          rc = deflateParams(&k.z, level, Z_DEFAULT_STRATEGY);
          if (rc == Z_OK) k.level = level;
        }
        return rc;
      },
      [level](TKeptStream& k) {
        k.level = level;
        return deflateInit2(&k.z, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
      });
}

int TDeflater::Deflate(bool finish) {
  if (!state_->started) return Z_STREAM_ERROR;
  return deflate(&state_->z(), finish ? Z_FINISH : Z_NO_FLUSH);
}

int TInflater::Start() {
  End();
  return state_->Acquire(
      KeptInflateStream(), [](TKeptStream& k) { return inflateReset(&k.z); },
      [](TKeptStream& k) { return inflateInit2(&k.z, 15); });
}

int TInflater::Inflate() {
  if (!state_->started) return Z_STREAM_ERROR;
  return inflate(&state_->z(), Z_NO_FLUSH);
}
