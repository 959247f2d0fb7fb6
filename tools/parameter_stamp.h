// corvaneboot-stamp: writes a parameter string into the five embedded
// parameter blocks of a copy of a launcher program, and reads it back.
// The block layout is described in app/exe_attach.h.
//
// All functions return false and put a message into error when they
// refuse; none throws.
#pragma once

#include <string>
#include <vector>

// True when bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF). Plain ASCII and the empty text are well-formed.
bool IsWellFormedUtf8(const std::string& bytes);

// Splits a UTF-8 parameter string into the five payloads, in block order,
// at most 97 bytes each and as full as possible. A payload that fills its
// whole area never ends in a byte of value 32 or less (the launcher trims
// such bytes off the area's end), so that byte moves on to the next block.
// Refuses a string that is not UTF-8 or does not fit (485 bytes at most).
bool SplitParameterString(const std::string& parameter, std::vector<std::string>& payloads,
                          std::string& error);

// The offsets of blocks 1..5 in a program image. Refuses when any begin or
// end marker is missing or occurs more than once, or when a block's end
// marker is not where its begin marker puts it.
bool FindParameterBlocks(const std::string& image, std::vector<size_t>& offsets,
                         std::string& error);

// The image with the payload areas rewritten to carry parameter; every
// other byte stays as it was.
bool StampImage(const std::string& image, const std::string& parameter, std::string& stamped,
                std::string& error);

// The parameter string (UTF-8 bytes) an image carries.
bool ReadStampedParameter(const std::string& image, std::string& parameter, std::string& error);

// What --show prints for a parameter string: the string and its fields as
// the launcher parses them.
std::string DescribeParameterString(const std::string& parameter);

// Writes a stamped copy of input to output with the input's permission
// bits. Refuses when output is input (also under another name); never
// changes input; leaves no output behind when it fails.
bool StampFile(const std::string& input, const std::string& output, const std::string& parameter,
               std::string& error);

// The --show report for the program file at path.
bool ShowFile(const std::string& path, std::string& report, std::string& error);
