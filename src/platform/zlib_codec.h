// One zlib stream (RFC 1950) behind plain types, for the compression layer.
//
// TDeflater and TInflater each own one zlib stream, started by Start() and
// ended by End() or by the destructor. Input and output are windows into
// caller-owned buffers (at most 4 GiB - 1 bytes each); Deflate()/Inflate()
// advance them and return zlib's own code unchanged (0 ok, 1 end of stream,
// 2 dictionary needed, negative an error). Nothing here throws except
// std::bad_alloc. One thread at a time.
#pragma once

#include <cstddef>
#include <memory>

inline constexpr int kZlibOk = 0;
inline constexpr int kZlibStreamEnd = 1;
inline constexpr int kZlibNeedDict = 2;

// What deflating and inflating share: the stream in use and the windows
// into the caller's buffers.
class TZlibStream {
 public:
  TZlibStream(const TZlibStream&) = delete;
  TZlibStream& operator=(const TZlibStream&) = delete;

  void SetInput(const char* data, size_t size);
  size_t InputLeft() const;
  void SetOutput(char* buffer, size_t size);
  size_t OutputLeft() const;
  void End();

  struct TState;

 protected:
  TZlibStream();
  ~TZlibStream();

  std::unique_ptr<TState> state_;
};

class TDeflater : public TZlibStream {
 public:
  // deflate method, window bits 15, memory level 8, default strategy;
  // level -1 is zlib's default (6).
  int Start(int level);
  // One deflate call, without flushing or with the finish flag.
  int Deflate(bool finish);
};

class TInflater : public TZlibStream {
 public:
  // Window bits 15: expects the zlib header.
  int Start();
  // One inflate call without flushing.
  int Inflate();
};
