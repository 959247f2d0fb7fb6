#include "pack/text_encodings.h"

#include "platform/code_page.h"

const std::string StandardBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const std::string WireAlphabet =
    "QmZ7xTb2LrKc9VnWa/Hy4GpJ0dUf+Ns6EkBq1OiRt8MgYh3SlCo5PeXjAvDuFzIw";
const std::string AlphabetFiller = "mqwvptLHRTGN8075";

std::string Base64Encode(const std::string& alphabet, const std::string& data) {
  if (data.empty()) return std::string();
  std::string table = alphabet;
  while (table.size() < 64) table += AlphabetFiller;
  table.resize(64);

  const size_t n = data.size();
  const size_t r = n % 3;
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  auto byte = [&](size_t i) -> unsigned { return i < n ? static_cast<unsigned char>(data[i]) : 0u; };
  for (size_t i = 0; i < n; i += 3) {
    const unsigned b0 = byte(i), b1 = byte(i + 1), b2 = byte(i + 2);
    out += table[b0 >> 2];
    out += table[((b0 & 0x03) << 4) | (b1 >> 4)];
    out += table[((b1 & 0x0F) << 2) | (b2 >> 6)];
    out += table[b2 & 0x3F];
  }
  if (r != 0) out[out.size() - 1] = '=';
  if (r == 1) out[out.size() - 2] = '=';
  return out;
}

std::u16string WideBase64Encode(const std::u16string& alphabet, const std::u16string& data) {
  return AnsiToWide(Base64Encode(WideToAnsi(alphabet), WideToUtf8(data)));
}

std::string WideToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace {

// Length of the well-formed sequence starting at i, or 0 when malformed.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  auto at = [&](size_t k) -> unsigned { return static_cast<unsigned char>(s[k]); };
  auto in = [](unsigned b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; };
  const unsigned lead = at(i);
  const size_t left = s.size() - i;
  if (lead < 0x80) return 1;
  if (in(lead, 0xC2, 0xDF)) return left >= 2 && in(at(i + 1), 0x80, 0xBF) ? 2 : 0;
  if (lead == 0xE0)
    return left >= 3 && in(at(i + 1), 0xA0, 0xBF) && in(at(i + 2), 0x80, 0xBF) ? 3 : 0;
  if (in(lead, 0xE1, 0xEF))
    return left >= 3 && in(at(i + 1), 0x80, 0xBF) && in(at(i + 2), 0x80, 0xBF) ? 3 : 0;
  if (lead == 0xF0)
    return left >= 4 && in(at(i + 1), 0x90, 0xBF) && in(at(i + 2), 0x80, 0xBF) &&
                   in(at(i + 3), 0x80, 0xBF)
               ? 4
               : 0;
  if (in(lead, 0xF1, 0xF3))
    return left >= 4 && in(at(i + 1), 0x80, 0xBF) && in(at(i + 2), 0x80, 0xBF) &&
                   in(at(i + 3), 0x80, 0xBF)
               ? 4
               : 0;
  if (lead == 0xF4)
    return left >= 4 && in(at(i + 1), 0x80, 0x8F) && in(at(i + 2), 0x80, 0xBF) &&
                   in(at(i + 3), 0x80, 0xBF)
               ? 4
               : 0;
  return 0;
}

}  // namespace

bool IsUtf8Text(const std::string& bytes) {
  size_t i = 0;
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  if (i == bytes.size()) return false;  // ASCII (or empty)
  while (i < bytes.size()) {
    const size_t len = Utf8SequenceLength(bytes, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::u16string Utf8ToWide(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const size_t len = Utf8SequenceLength(s, i);
    const unsigned b0 = static_cast<unsigned char>(s[i]);
    uint32_t c;
    if (len == 0) {
      out += u'\uFFFD';
      ++i;
      continue;
    } else if (len == 1) {
      c = b0;
    } else if (len == 2) {
      c = ((b0 & 0x1F) << 6) | (s[i + 1] & 0x3F);
    } else if (len == 3) {
      c = ((b0 & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
    } else {
      c = ((b0 & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
          (s[i + 3] & 0x3F);
    }
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::u16string ByteTextToWide(const std::string& bytes) {
  if (bytes.empty()) return std::u16string();
  if (IsUtf8Text(bytes)) return Utf8ToWide(bytes);
  return AnsiToWide(bytes);
}

std::u16string AsciiToWide(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}
