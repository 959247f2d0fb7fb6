// The server's reading side of the request envelope: header fields, the
// named-stream container and the string list. The writing side lives in
// net/post_server_request.h and pack/ (container layout in pack/my_streams.h,
// string-list layout in pack/compression.h).
//
// Every function is pure, keeps no state and may run on any thread. Parsers
// return false and leave a short message in *error on malformed input; they
// never read outside the bytes given.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Decodes Base64 written with the given 64-character alphabet and "=" pads.
// Accepts only the canonical form: a length that is a multiple of 4, pads
// only at the end (at most two), and no stray bits in a padded group.
// An empty text decodes to empty bytes.
bool Base64Decode(const std::string& alphabet, std::string_view text, std::string* out,
                  std::string* error);

// Reverses the header scrambling: the key starts at 0x5C1E; each scrambled
// byte s gives s ^ (key >> 8), then key = (key + s) * 0x7F4D + 0xE17B
// (mod 65536) — the scrambled byte feeds the key.
void UnscrambleHeaderText(std::string& text);

// One wire field (a header name or value): surrounding "_" removed,
// Base64-decoded with WireAlphabet, unscrambled.
bool DecodeHeaderField(std::string_view wire, std::string* plain, std::string* error);

// The entries of a written-out named-stream container, names as UTF-8 bytes.
// Fails on a negative count or length, a length running past the end, or
// bytes after the last entry.
using TContainerEntries = std::vector<std::pair<std::string, std::string>>;
bool ParseContainer(std::string_view bytes, TContainerEntries* entries, std::string* error);

// The strings of a string-list stream. Fails on a wrong header, a negative
// count or length, a string running past the end, or trailing bytes.
bool ParseStringList(std::string_view bytes, std::vector<std::string>* strings, std::string* error);
