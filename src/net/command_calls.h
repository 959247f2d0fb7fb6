// Command calls: the three ways the rest of the system talks to the server.
// Each passes its arguments to PostServerRequest and catches every exception
// at its boundary (ErrorText then holds the bare message). None throws.
// ErrorText is meaningful only when the result is false.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/stream.h"

// No request body; the answer comes back as text (StreamToText).
bool CallCommandText(const std::u16string& ObjectName, const std::u16string& Command,
                     const std::u16string& Host, int32_t Port,
                     const std::vector<std::u16string>& Params, std::u16string& ResultText,
                     std::u16string& ErrorText, int32_t TimeLimit, int32_t MaxAttempts);

// With a request body (not released); the answer comes back as text.
bool CallCommandBodyText(const std::u16string& ObjectName, const std::u16string& Command,
                         const std::u16string& Host, int32_t Port,
                         const std::vector<std::u16string>& Params, TStream& Body,
                         std::u16string& ResultText, std::u16string& ErrorText,
                         int32_t TimeLimit, int32_t MaxAttempts);

// No request body; Response (owned by the caller) is emptied first, receives
// the unpacked answer and is left at position 0.
bool CallCommandStream(const std::u16string& ObjectName, const std::u16string& Command,
                       const std::u16string& Host, int32_t Port,
                       const std::vector<std::u16string>& Params, TMemoryStream& Response,
                       std::u16string& ErrorText, int32_t TimeLimit, int32_t MaxAttempts);

// An empty stream gives an empty text; otherwise the bytes from the current
// position to the end through ByteTextToWide.
std::u16string StreamToText(TStream& stream);
