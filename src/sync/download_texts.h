// The small texts of the server file download.
//
// File time text: a file time (100 ns units since 1601-01-01 UTC) written as
// two unsigned decimal numbers without leading zeros: the low 32 bits, "|",
// the high 32 bits. 132000000000000000 is "4133093376|30733644".
//
// Piece key: offset and length of a piece, each ZeroPad to 16 digits, joined
// by "-": (524288, 475712) is "0000000000524288-0000000000475712".
//
// File information answer: items separated by commas; an item not enclosed
// in double quotes also ends at a blank or control character; a quoted item
// may hold commas and blanks, and "" inside it stands for one quote.
//
// None of these functions throws (beyond allocation); all are thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The decimal text of number, left-padded with "0" to width characters; a
// longer text stays whole.
std::u16string ZeroPad(int32_t number, int width);

std::u16string PieceKey(int32_t offset, int32_t length);

std::u16string FileTimeToText(uint64_t file_time);

// Splits at the first "|"; each side must be a decimal 64-bit integer
// (optional sign, digits only), whose low 32 bits give that half. False
// (file_time untouched) when there is no "|" or a side is not a number.
bool TextToFileTime(const std::u16string& text, uint64_t& file_time);

// A decimal number (optional sign, digits only) that fits 32 bits signed.
bool TextToInt32(const std::u16string& text, int32_t& number);

// Replaces the extension of path (from the last "." after the last "/"; none
// when there is no such ".") with ext; a non-empty ext not starting with "."
// gets one in front.
std::u16string ChangeFileExtension(const std::u16string& path, const std::u16string& ext);

// The part of path after its last "/".
std::u16string FileNameOf(const std::u16string& path);

std::vector<std::u16string> SplitCommaText(const std::u16string& text);
