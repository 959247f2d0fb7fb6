// MD5 digests (RFC 1321) in the system's text form: the 16 digest bytes in
// order, each as two uppercase hexadecimal digits (32 characters).
//
// Thread-safe. Throws std::runtime_error only when the crypto library
// itself fails (out of memory).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

std::string Md5Hex(const void* data, size_t size);
inline std::string Md5Hex(std::string_view bytes) { return Md5Hex(bytes.data(), bytes.size()); }

// The same digest over bytes that arrive in parts: Update as often as
// needed, then FinishHex once.
class TMd5 {
 public:
  TMd5();
  ~TMd5();
  TMd5(const TMd5&) = delete;
  TMd5& operator=(const TMd5&) = delete;

  void Update(const void* data, size_t size);
  std::string FinishHex();

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};
