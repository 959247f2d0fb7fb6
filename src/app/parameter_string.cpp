// The parts of the launch parameters that need no process state: the
// grammar of the parameter string and the reading of one parameter block.

#include <algorithm>
#include <stdexcept>
#include <string>

#include "app/exe_attach.h"
#include "app/launch_params.h"

namespace {

// A decimal integer: an optional sign and at least one digit, nothing else,
// within the 32-bit range. Throws std::invalid_argument otherwise.
template <typename Text>
int32_t DecimalInteger(const Text& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) throw std::invalid_argument("not a decimal integer");
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    const auto c = text[i];
    if (c < '0' || c > '9') throw std::invalid_argument("not a decimal integer");
    value = value * 10 + (c - '0');
    if (value > int64_t{2147483648}) throw std::invalid_argument("integer out of range");
  }
  if (negative) value = -value;
  if (value > 2147483647) throw std::invalid_argument("integer out of range");
  return static_cast<int32_t>(value);
}

bool StartsWithTag(const std::u16string& s, const char* tag) {
  size_t i = 0;
  for (; tag[i] != '\0'; ++i) {
    if (i >= s.size()) return false;
    char16_t c = s[i];
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    if (c != static_cast<char16_t>(tag[i])) return false;
  }
  return true;
}

// The working copy of the parameter string and its current separator
// position; positions are 0-based here, npos meaning "no separator".
class TFieldReader {
 public:
  explicit TFieldReader(std::u16string s) : s_(std::move(s)) { Find(); }
  void Find() { p_ = s_.find(u'$'); }
  std::u16string Field() const {
    return p_ == std::u16string::npos ? std::u16string() : s_.substr(0, p_);
  }
  void Drop() {
    if (p_ != std::u16string::npos) s_.erase(0, p_ + 1);
  }
  const std::u16string& Rest() const { return s_; }
  size_t Separator() const { return p_; }

 private:
  std::u16string s_;
  size_t p_ = std::u16string::npos;
};

}  // namespace

std::string ExeAttachBeginMarker(int number) {
  return std::to_string(number * 100) + "$_ExeAttach_$00" + std::to_string(number) + "_Begin";
}

std::string ExeAttachEndMarker(int number) {
  return std::to_string(number * 100) + "$_ExeAttach_$00" + std::to_string(number) + "_End";
}

std::string ExeAttachPayload(std::string_view block) {
  std::string_view area =
      block.substr(std::min(block.size(), kExeAttachPayloadOffset), kExeAttachPayloadAreaSize);
  while (!area.empty() && static_cast<unsigned char>(area.front()) <= 32) area.remove_prefix(1);
  while (!area.empty() && static_cast<unsigned char>(area.back()) <= 32) area.remove_suffix(1);
  const int32_t length = DecimalInteger(area.substr(0, 3));
  if (length <= 0 || area.size() <= 3) return std::string();
  return std::string(area.substr(3, static_cast<size_t>(length)));
}

void ParseLaunchParams(const std::u16string& S, TLaunchParams& params, int32_t& proxy_type) {
  TFieldReader reader(S);

  params.ServerHost = reader.Field();
  const size_t colon = params.ServerHost.find(u':');
  if (colon != std::u16string::npos) params.ServerHost.resize(colon);
  reader.Drop();

  reader.Find();
  params.ServerPort = DecimalInteger(reader.Field());
  reader.Drop();

  reader.Find();
  if (StartsWithTag(reader.Rest(), "*DIR*")) {
    const size_t p = reader.Separator();
    params.DataDir = p == std::u16string::npos ? std::u16string() : reader.Rest().substr(5, p - 5);
    reader.Drop();
    reader.Find();
  }
  if (StartsWithTag(reader.Rest(), "*PROXY*")) {
    proxy_type = 1;
    reader.Drop();
    reader.Find();
  }

  const std::u16string module = reader.Field();
  if (module == u"*") {
    params.ModuleIndex = -1;
  } else {
    try {
      params.ModuleIndex = DecimalInteger(module);
    } catch (const std::invalid_argument&) {
      params.ModuleIndex = 0;
    }
  }

  for (std::u16string* value : {&params.CmNo, &params.LoginId, &params.LoginPasw}) {
    reader.Drop();
    reader.Find();
    *value = reader.Field();
  }
}
