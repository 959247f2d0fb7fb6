// PostServerRequest: the one operation through which every server call
// passes, and the header-field encoding of the request envelope.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/stream.h"

// Scrambles bytes in place: key starts at 0x5C1E; each byte b becomes
// b ^ (key >> 8), then key = (key + new byte) * 0x7F4D + 0xE17B (mod 65536).
void ScrambleHeaderText(std::string& text);

// Base64Encode(WireAlphabet, scrambled bytes).
std::string EncodeHeaderField(const std::string& text);

bool PostServerRequest(const std::u16string& ObjectName, const std::u16string& Command,
                       const std::u16string& Host, int32_t Port,
                       const std::vector<std::u16string>& Params, TStream& Body,
                       TStream& Response, std::u16string& ErrorText, int32_t CallerTimeLimit,
                       int32_t MaxAttempts);
