#include "tools/parameter_stamp.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "app/exe_attach.h"
#include "app/launch_params.h"
#include "pack/text_encodings.h"

namespace {

size_t CountOccurrences(const std::string& haystack, const std::string& needle, size_t& first) {
  size_t count = 0;
  first = std::string::npos;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    if (count == 0) first = at;
    ++count;
  }
  return count;
}

std::string ThreeDigits(size_t n) {
  std::string digits = std::to_string(n);
  return std::string(3 - digits.size(), '0') + digits;
}

}  // namespace

bool IsWellFormedUtf8(const std::string& bytes) {
  // The well-formed multi-byte sequences: lead byte range, number of
  // continuation bytes, range of the first continuation byte (the others
  // are 80-BF). This excludes overlong forms, surrogates and code points
  // above U+10FFFF.
  struct TForm {
    unsigned char lead_low, lead_high;
    size_t continuation;
    unsigned char second_low, second_high;
  };
  static constexpr TForm kForms[] = {
      {0xC2, 0xDF, 1, 0x80, 0xBF}, {0xE0, 0xE0, 2, 0xA0, 0xBF}, {0xE1, 0xEC, 2, 0x80, 0xBF},
      {0xED, 0xED, 2, 0x80, 0x9F}, {0xEE, 0xEF, 2, 0x80, 0xBF}, {0xF0, 0xF0, 3, 0x90, 0xBF},
      {0xF1, 0xF3, 3, 0x80, 0xBF}, {0xF4, 0xF4, 3, 0x80, 0x8F},
  };
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const TForm* form = nullptr;
    for (const TForm& f : kForms)
      if (lead >= f.lead_low && lead <= f.lead_high) form = &f;
    if (!form || i + form->continuation >= bytes.size()) return false;
    for (size_t k = 1; k <= form->continuation; ++k) {
      const unsigned char c = static_cast<unsigned char>(bytes[i + k]);
      const unsigned char low = k == 1 ? form->second_low : 0x80;
      const unsigned char high = k == 1 ? form->second_high : 0xBF;
      if (c < low || c > high) return false;
    }
    i += form->continuation + 1;
  }
  return true;
}

bool SplitParameterString(const std::string& parameter, std::vector<std::string>& payloads,
                          std::string& error) {
  if (parameter.size() > kExeAttachMaxTotal) {
    error = "the parameter string is " + std::to_string(parameter.size()) +
            " bytes long; the five blocks hold at most " + std::to_string(kExeAttachMaxTotal) +
            " bytes";
    return false;
  }
  if (!IsWellFormedUtf8(parameter)) {
    error = "the parameter string is not valid UTF-8";
    return false;
  }
  std::vector<std::string> parts;
  size_t at = 0;
  for (int block = 1; block <= kExeAttachBlockCount; ++block) {
    size_t take = std::min(kExeAttachMaxPayload, parameter.size() - at);
    if (take == kExeAttachMaxPayload && static_cast<unsigned char>(parameter[at + take - 1]) <= 32)
      --take;
    parts.push_back(parameter.substr(at, take));
    at += take;
  }
  if (at < parameter.size()) {
    error =
        "the parameter string does not fit into the five blocks: a block that is full "
        "cannot end in a blank or control character, and moving it on leaves too little room";
    return false;
  }
  payloads.swap(parts);
  return true;
}

bool FindParameterBlocks(const std::string& image, std::vector<size_t>& offsets,
                         std::string& error) {
  std::vector<size_t> found;
  for (int block = 1; block <= kExeAttachBlockCount; ++block) {
    const std::string begin = ExeAttachBeginMarker(block);
    const std::string end = ExeAttachEndMarker(block);
    size_t begin_at = 0;
    size_t end_at = 0;
    const size_t begins = CountOccurrences(image, begin, begin_at);
    const size_t ends = CountOccurrences(image, end, end_at);
    for (const auto& [marker, count] : {std::pair{&begin, begins}, std::pair{&end, ends}}) {
      if (count == 0) {
        error = "the marker " + *marker + " of parameter block " + std::to_string(block) +
                " is missing: not a launcher program";
        return false;
      }
      if (count > 1) {
        error = "the marker " + *marker + " of parameter block " + std::to_string(block) +
                " occurs " + std::to_string(count) + " times; it must occur exactly once";
        return false;
      }
    }
    if (end_at != begin_at + kExeAttachEndOffset) {
      error = "parameter block " + std::to_string(block) + " is damaged: its end marker is not " +
              std::to_string(kExeAttachEndOffset) + " bytes after its begin marker";
      return false;
    }
    found.push_back(begin_at);
  }
  offsets.swap(found);
  return true;
}

bool StampImage(const std::string& image, const std::string& parameter, std::string& stamped,
                std::string& error) {
  std::vector<std::string> payloads;
  if (!SplitParameterString(parameter, payloads, error)) return false;
  std::vector<size_t> offsets;
  if (!FindParameterBlocks(image, offsets, error)) return false;
  std::string result = image;
  for (size_t i = 0; i < offsets.size(); ++i) {
    std::string area = ThreeDigits(payloads[i].size()) + payloads[i];
    area.resize(kExeAttachPayloadAreaSize, '@');
    result.replace(offsets[i] + kExeAttachPayloadOffset, kExeAttachPayloadAreaSize, area);
  }
  stamped.swap(result);
  return true;
}

bool ReadStampedParameter(const std::string& image, std::string& parameter, std::string& error) {
  std::vector<size_t> offsets;
  if (!FindParameterBlocks(image, offsets, error)) return false;
  std::string joined;
  for (size_t i = 0; i < offsets.size(); ++i) {
    try {
      joined += ExeAttachPayload(std::string_view(image).substr(offsets[i], kExeAttachBlockSize));
    } catch (const std::invalid_argument&) {
      error = "the length of parameter block " + std::to_string(i + 1) +
              " is not a decimal number; the launcher would read no parameters";
      return false;
    }
  }
  parameter.swap(joined);
  return true;
}

std::string DescribeParameterString(const std::string& parameter) {
  const std::u16string wide = Utf8ToWide(parameter);
  TLaunchParams params;
  int32_t proxy_type = 0;
  bool port_ok = true;
  try {
    ParseLaunchParams(wide, params, proxy_type);
  } catch (const std::invalid_argument&) {
    port_ok = false;
  }
  std::string out = "parameter string: " + parameter + "\n";
  if (wide.size() < 5)
    out +=
        "note: shorter than 5 characters; started without an argument, the launcher "
        "shows \"mPARA_STR:" +
        parameter + "\" three times\n";
  out += "host: " + WideToUtf8(params.ServerHost) + "\n";
  if (!port_ok) {
    out += "port: not a decimal number; the launcher reads no further fields\n";
    return out;
  }
  out += "port: " + std::to_string(params.ServerPort) + "\n";
  out += "folder: " + WideToUtf8(params.DataDir) + "\n";
  out += std::string("proxy: ") +
         (proxy_type == 1 ? "direct connection (*PROXY*)" : "system proxy settings") + "\n";
  out += "module: " + std::to_string(params.ModuleIndex) +
         (params.ModuleIndex == -1 ? " (none)" : "") + "\n";
  out += "CM_NO: " + WideToUtf8(params.CmNo) + "\n";
  out += "LOGINID: " + WideToUtf8(params.LoginId) + "\n";
  out += "LOGINPASW: " + WideToUtf8(params.LoginPasw) + "\n";
  return out;
}
