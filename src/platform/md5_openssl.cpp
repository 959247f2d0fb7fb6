#include "platform/md5.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace {

// Owns one digest context for the length of one call.
class TDigestContext {
 public:
  TDigestContext() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ == nullptr) throw std::runtime_error("MD5: cannot create a digest context");
  }
  ~TDigestContext() { EVP_MD_CTX_free(ctx_); }
  TDigestContext(const TDigestContext&) = delete;
  TDigestContext& operator=(const TDigestContext&) = delete;
  EVP_MD_CTX* get() const { return ctx_; }

 private:
  EVP_MD_CTX* ctx_;
};

}  // namespace

std::string Md5Hex(const void* data, size_t size) {
  TDigestContext ctx;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  if (EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data, size) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &digest_size) != 1) {
    throw std::runtime_error("MD5: digest computation failed");
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(digest_size * 2);
  for (unsigned int i = 0; i < digest_size; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}
