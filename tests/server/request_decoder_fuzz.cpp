// Fuzz target for the server's request decoding (header fields, container,
// string list, unpacking). Input layout: the first byte n (mod 8) is the
// number of header lines; then n lines separated by '\n', each "name:value";
// the rest is the body. Built only with Clang (-fsanitize=fuzzer):
//   request_decoder_fuzz -max_total_time=60 corpus/

#include <cstddef>
#include <cstdint>
#include <string>

#include "request_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  THttpRequest http;
  size_t pos = 0;
  for (int line = 0; line < data[0] % 8 && pos <= input.size(); ++line) {
    size_t end = input.find('\n', pos);
    if (end == std::string::npos) end = input.size();
    const std::string text = input.substr(pos, end - pos);
    const size_t colon = text.find(':');
    http.headers.emplace_back(text.substr(0, colon),
                              colon == std::string::npos ? std::string() : text.substr(colon + 1));
    pos = end + 1;
  }
  if (pos < input.size()) http.body = input.substr(pos);
  TDecodeSettings settings;
  settings.login_key = "pelkwarn";
  settings.max_unpacked_bytes = 1 << 20;
  TServerRequest request;
  std::string error;
  if (!DecodeRequest(http, settings, &request, &error) && error.empty()) __builtin_trap();
  return 0;
}
