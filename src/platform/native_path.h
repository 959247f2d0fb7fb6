// Paths are wide texts inside the system and UTF-8 bytes at the file system.
#pragma once

#include <string>

#include "pack/text_encodings.h"

inline std::string NativePath(const std::u16string& path) { return WideToUtf8(path); }
inline std::u16string WidePath(const std::string& native) { return Utf8ToWide(native); }
