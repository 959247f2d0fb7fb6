// Text conversions between wide texts (UTF-16, what the user interface,
// paths and entry names use) and byte texts (std::string, any byte value,
// counted), and Base64 with a caller-chosen alphabet.
//
// Base64 output: for data of n bytes, 4 * ceil(n / 3) bytes. Each 6-bit
// value v is written as byte v of the effective alphabet: the given
// alphabet, extended by AlphabetFiller while shorter than 64 bytes, then cut
// to 64 bytes. The pad character is always "=". With StandardBase64Alphabet
// the output is RFC 4648 (section 4) Base64 without line breaks.
//
// None of these functions throws; all may be called from any thread.
#pragma once

#include <string>
#include <string_view>

extern const std::string StandardBase64Alphabet;
extern const std::string WireAlphabet;
extern const std::string AlphabetFiller;

std::string Base64Encode(const std::string& alphabet, const std::string& data);

// The alphabet goes to bytes through the ANSI code page, the data through
// UTF-8; the result comes back through the ANSI code page.
std::u16string WideBase64Encode(const std::u16string& alphabet, const std::u16string& data);

// UTF-8 without byte-order mark or terminator. An unpaired surrogate is
// written as U+FFFD.
std::string WideToUtf8(const std::u16string& text);

// Well-formed UTF-8 (by the table below) is decoded as UTF-8; pure ASCII and
// anything else go through the ANSI code page (code page 950).
//   lead 00-7F: alone          C2-DF: 80-BF
//   E0: A0-BF 80-BF            E1-EF: 80-BF 80-BF (ED not restricted)
//   F0: 90-BF 80-BF 80-BF      F1-F3: 80-BF x3     F4: 80-8F 80-BF 80-BF
//   80-C1, F5-FF: invalid lead
std::u16string ByteTextToWide(const std::string& bytes);

// True when the bytes hold at least one byte of 0x80 or above and split into
// well-formed sequences by the table above.
bool IsUtf8Text(const std::string& bytes);

// Plain UTF-8 decoding (malformed sequences become U+FFFD).
std::u16string Utf8ToWide(std::string_view bytes);

// Widens a plain ASCII literal; for the system's fixed keys and markers.
std::u16string AsciiToWide(std::string_view ascii);
