// The system's ANSI code page: code page 950 (Big5 with the vendor's
// extensions), converted through iconv ("CP950").
#pragma once

#include <string>

// Bytes in code page 950 to UTF-16. Pure ASCII passes straight through; a
// byte sequence the code page does not map becomes U+FFFD. Never throws.
std::u16string AnsiToWide(const std::string& bytes);

// UTF-16 to code page 950; a character the code page cannot hold becomes "?".
// Never throws.
std::string WideToAnsi(const std::u16string& text);
