#include "platform/code_page.h"

#include <errno.h>
#include <iconv.h>

#include <mutex>

#include "pack/text_encodings.h"

namespace {

// One converter per direction, opened on first use and kept for the process.
// iconv descriptors are not safe for concurrent use, hence the lock.
class TConverter {
 public:
  TConverter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~TConverter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  bool Ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts in; on an unconvertible unit calls skip(in_pos, out) which
  // appends a replacement and returns how many input bytes to skip.
  template <typename Skip>
  std::string Run(const std::string& in, Skip skip) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char buffer[4096];
    while (src_left > 0) {
      char* dst = buffer;
      size_t dst_left = sizeof(buffer);
      const size_t rc = iconv(cd_, &src, &src_left, &dst, &dst_left);
      out.append(buffer, dst - buffer);
      if (rc == static_cast<size_t>(-1)) {
        if (errno == E2BIG) continue;
        const size_t n = skip(out, src_left);
        src += n;
        src_left -= n;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      }
    }
    return out;
  }

 private:
  iconv_t cd_;
  std::mutex mutex_;
};

TConverter& ToUtf16() {
  static TConverter c("UTF-16LE", "CP950");
  return c;
}
TConverter& FromUtf16() {
  static TConverter c("CP950", "UTF-16LE");
  return c;
}

bool IsAscii(const std::string& s) {
  for (unsigned char ch : s)
    if (ch >= 0x80) return false;
  return true;
}

}  // namespace

std::u16string AnsiToWide(const std::string& bytes) {
  if (IsAscii(bytes) || !ToUtf16().Ok()) {
    std::u16string out;
    out.reserve(bytes.size());
    for (unsigned char ch : bytes) out += ch < 0x80 ? static_cast<char16_t>(ch) : u'\uFFFD';
    return out;
  }
  const std::string utf16 = ToUtf16().Run(bytes, [](std::string& out, size_t left) {
    out.append("\xFD\xFF", 2);  // U+FFFD, little-endian
    return size_t{1};
  });
  std::u16string out(utf16.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(utf16[2 * i]) |
                                   (static_cast<unsigned char>(utf16[2 * i + 1]) << 8));
  return out;
}

std::string WideToAnsi(const std::u16string& text) {
  bool ascii = true;
  for (char16_t ch : text)
    if (ch >= 0x80) ascii = false;
  if (ascii || !FromUtf16().Ok()) {
    std::string out;
    out.reserve(text.size());
    for (char16_t ch : text) out += ch < 0x80 ? static_cast<char>(ch) : '?';
    return out;
  }
  std::string utf16;
  utf16.reserve(text.size() * 2);
  for (char16_t ch : text) {
    utf16 += static_cast<char>(ch & 0xFF);
    utf16 += static_cast<char>(ch >> 8);
  }
  return FromUtf16().Run(utf16, [&](std::string& out, size_t left) {
    out += '?';
    // Skip one UTF-16 unit, or a whole surrogate pair; an unpaired
    // surrogate takes only itself, not the character after it.
    const size_t pos = utf16.size() - left;
    auto unit_at = [&](size_t at) -> unsigned {
      return static_cast<unsigned char>(utf16[at]) |
             (static_cast<unsigned char>(utf16[at + 1]) << 8);
    };
    const unsigned unit = unit_at(pos);
    const bool pair = unit >= 0xD800 && unit <= 0xDBFF && left >= 4 &&
                      unit_at(pos + 2) >= 0xDC00 && unit_at(pos + 2) <= 0xDFFF;
    return pair ? size_t{4} : size_t{2};
  });
}
