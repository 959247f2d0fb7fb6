#include "sync/download_texts.h"

#include <algorithm>
#include <limits>

namespace {

std::u16string Decimal(uint64_t value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

// Optional sign and at least one digit; the magnitude must fit limit.
bool ParseSigned(const std::u16string& text, uint64_t positive_limit, uint64_t negative_limit,
                 bool& negative, uint64_t& magnitude) {
  size_t i = 0;
  negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i == text.size()) return false;
  const uint64_t limit = negative ? negative_limit : positive_limit;
  magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
    const uint64_t digit = text[i] - u'0';
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  return true;
}

bool TextToInt64Bits(const std::u16string& text, uint64_t& bits) {
  bool negative;
  uint64_t magnitude;
  if (!ParseSigned(text, std::numeric_limits<int64_t>::max(),
                   static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1, negative,
                   magnitude))
    return false;
  bits = negative ? 0 - magnitude : magnitude;
  return true;
}

bool IsSeparatorBlank(char16_t c) { return c >= 1 && c <= u' '; }

}  // namespace

std::u16string ZeroPad(int32_t number, int width) {
  const int64_t wide = number;
  std::u16string text = wide < 0 ? u"-" + Decimal(static_cast<uint64_t>(-wide))
                                 : Decimal(static_cast<uint64_t>(wide));
  if (static_cast<int>(text.size()) < width) text.insert(0, width - text.size(), u'0');
  return text;
}

std::u16string PieceKey(int32_t offset, int32_t length) {
  return ZeroPad(offset, 16) + u"-" + ZeroPad(length, 16);
}

std::u16string FileTimeToText(uint64_t file_time) {
  return Decimal(file_time & 0xFFFFFFFFu) + u"|" + Decimal(file_time >> 32);
}

bool TextToFileTime(const std::u16string& text, uint64_t& file_time) {
  const size_t bar = text.find(u'|');
  if (bar == std::u16string::npos) return false;
  uint64_t low, high;
  if (!TextToInt64Bits(text.substr(0, bar), low) || !TextToInt64Bits(text.substr(bar + 1), high))
    return false;
  file_time = ((high & 0xFFFFFFFFu) << 32) | (low & 0xFFFFFFFFu);
  return true;
}

bool TextToInt32(const std::u16string& text, int32_t& number) {
  bool negative;
  uint64_t magnitude;
  if (!ParseSigned(text, std::numeric_limits<int32_t>::max(),
                   static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) + 1, negative,
                   magnitude))
    return false;
  number = static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude)
                                         : static_cast<int64_t>(magnitude));
  return true;
}

std::u16string ChangeFileExtension(const std::u16string& path, const std::u16string& ext) {
  std::u16string suffix = ext;
  if (!suffix.empty() && suffix[0] != u'.') suffix.insert(suffix.begin(), u'.');
  const size_t slash = path.rfind(u'/');
  const size_t dot = path.rfind(u'.');
  const bool has_ext =
      dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash);
  return (has_ext ? path.substr(0, dot) : path) + suffix;
}

std::u16string FileNameOf(const std::u16string& path) {
  const size_t slash = path.rfind(u'/');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

std::vector<std::u16string> SplitCommaText(const std::u16string& text) {
  std::vector<std::u16string> items;
  size_t i = 0;
  const size_t n = std::min(text.size(), text.find(u'\0'));  // the text ends at a NUL
  while (i < n && IsSeparatorBlank(text[i])) ++i;
  while (i < n) {
    std::u16string item;
    if (text[i] == u'"') {
      ++i;
      while (i < n) {
        if (text[i] == u'"') {
          if (i + 1 < n && text[i + 1] == u'"') {
            item += u'"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += text[i++];
      }
    } else {
      const size_t start = i;
      while (i < n && !IsSeparatorBlank(text[i]) && text[i] != u',') ++i;
      item = text.substr(start, i - start);
    }
    items.push_back(std::move(item));
    while (i < n && IsSeparatorBlank(text[i])) ++i;
    if (i < n && text[i] == u',') {
      if (i + 1 == n) items.emplace_back();  // a trailing comma ends with an empty item
      do {
        ++i;
      } while (i < n && IsSeparatorBlank(text[i]));
    }
  }
  return items;
}
