#include "platform/md5.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace {

// Owns one digest context.
class TDigestContext {
 public:
  TDigestContext() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ == nullptr || EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr) != 1) {
      EVP_MD_CTX_free(ctx_);
      throw std::runtime_error("MD5: cannot create a digest context");
    }
  }
  ~TDigestContext() { EVP_MD_CTX_free(ctx_); }
  TDigestContext(const TDigestContext&) = delete;
  TDigestContext& operator=(const TDigestContext&) = delete;

  void Update(const void* data, size_t size) {
    if (EVP_DigestUpdate(ctx_, data, size) != 1)
      throw std::runtime_error("MD5: digest computation failed");
  }

  std::string FinishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (EVP_DigestFinal_ex(ctx_, digest, &digest_size) != 1)
      throw std::runtime_error("MD5: digest computation failed");
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(digest_size * 2);
    for (unsigned int i = 0; i < digest_size; ++i) {
      text += kHex[digest[i] >> 4];
      text += kHex[digest[i] & 0x0F];
    }
    return text;
  }

 private:
  EVP_MD_CTX* ctx_;
};

}  // namespace

struct TMd5::TImpl {
  TDigestContext ctx;
};

TMd5::TMd5() : impl_(std::make_unique<TImpl>()) {}
TMd5::~TMd5() = default;
void TMd5::Update(const void* data, size_t size) { impl_->ctx.Update(data, size); }
std::string TMd5::FinishHex() { return impl_->ctx.FinishHex(); }

std::string Md5Hex(const void* data, size_t size) {
  TDigestContext ctx;
  ctx.Update(data, size);
  return ctx.FinishHex();
}
