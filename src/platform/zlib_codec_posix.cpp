#include <zlib.h>

#include <cstring>

#include "platform/zlib_codec.h"

namespace {

// Holds a z_stream and remembers whether it was started, so that ending
// it happens exactly once.
struct TZStream {
  z_stream z;
  bool started = false;

  TZStream() { std::memset(&z, 0, sizeof(z)); }
};

Bytef* AsBytes(const char* p) { return reinterpret_cast<Bytef*>(const_cast<char*>(p)); }

}  // namespace

struct TDeflater::TState : TZStream {};
struct TInflater::TState : TZStream {};

TDeflater::TDeflater() : state_(std::make_unique<TState>()) {}
TDeflater::~TDeflater() { End(); }

int TDeflater::Start(int level) {
  End();
  const int rc = deflateInit2(&state_->z, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  state_->started = rc == Z_OK;
  return rc;
}

void TDeflater::SetInput(const char* data, size_t size) {
  state_->z.next_in = AsBytes(data);
  state_->z.avail_in = static_cast<uInt>(size);
}
size_t TDeflater::InputLeft() const { return state_->z.avail_in; }

void TDeflater::SetOutput(char* buffer, size_t size) {
  state_->z.next_out = AsBytes(buffer);
  state_->z.avail_out = static_cast<uInt>(size);
}
size_t TDeflater::OutputLeft() const { return state_->z.avail_out; }

int TDeflater::Deflate(bool finish) {
  if (!state_->started) return Z_STREAM_ERROR;
  return deflate(&state_->z, finish ? Z_FINISH : Z_NO_FLUSH);
}

void TDeflater::End() {
  if (state_ && state_->started) {
    deflateEnd(&state_->z);
    state_->started = false;
  }
}

TInflater::TInflater() : state_(std::make_unique<TState>()) {}
TInflater::~TInflater() { End(); }

int TInflater::Start() {
  End();
  state_->z.next_in = Z_NULL;
  state_->z.avail_in = 0;
  const int rc = inflateInit2(&state_->z, 15);
  state_->started = rc == Z_OK;
  return rc;
}

void TInflater::SetInput(const char* data, size_t size) {
  state_->z.next_in = AsBytes(data);
  state_->z.avail_in = static_cast<uInt>(size);
}
size_t TInflater::InputLeft() const { return state_->z.avail_in; }

void TInflater::SetOutput(char* buffer, size_t size) {
  state_->z.next_out = AsBytes(buffer);
  state_->z.avail_out = static_cast<uInt>(size);
}
size_t TInflater::OutputLeft() const { return state_->z.avail_out; }

int TInflater::Inflate() {
  if (!state_->started) return Z_STREAM_ERROR;
  return inflate(&state_->z, Z_NO_FLUSH);
}

void TInflater::End() {
  if (state_ && state_->started) {
    inflateEnd(&state_->z);
    state_->started = false;
  }
}
