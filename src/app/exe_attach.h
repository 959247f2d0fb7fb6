// The five embedded parameter blocks (ExeAttach blocks) of a launcher
// program. Each block is 148 single-byte characters:
//
//   offset  length  content
//        0      25  begin marker "N00$_ExeAttach_$00N_Begin" (N = 1..5)
//       25     100  payload area: three decimal digits giving the payload
//                   length L, L payload bytes, then "@" up to the end
//      125      23  end marker "N00$_ExeAttach_$00N_End"
//
// The payloads of blocks 1..5, joined as bytes in that order, are the UTF-8
// parameter string (at most 5 * 97 = 485 bytes). As delivered, block 1
// holds "<address>$80$1$" and blocks 2..5 the length "000".
//
// The markers let a deployer's tool find the blocks in the program file;
// the launcher itself only reads the payload areas. The marker texts exist
// only inside the blocks: everything else builds them at run time, so each
// marker occurs exactly once in a program file.
#pragma once

#include <string>
#include <string_view>

constexpr int kExeAttachBlockCount = 5;
constexpr size_t kExeAttachBlockSize = 148;
constexpr size_t kExeAttachPayloadOffset = 25;
constexpr size_t kExeAttachPayloadAreaSize = 100;
constexpr size_t kExeAttachEndOffset = 125;
constexpr size_t kExeAttachMaxPayload = 97;
constexpr size_t kExeAttachMaxTotal = kExeAttachBlockCount * kExeAttachMaxPayload;

// The 148 bytes of block number (1..5) as they are in the running
// program's image, read afresh on every call.
std::string ExeAttachBlock(int number);

// The begin and end marker of block number (1..5).
std::string ExeAttachBeginMarker(int number);
std::string ExeAttachEndMarker(int number);

// The payload of one block: from its payload area, bytes of value 32 or less
// are removed at both ends, the first three bytes are read as a decimal
// integer L and the L bytes after them are the payload (fewer when the area
// ends sooner, none when L is negative). Throws std::invalid_argument when
// the length prefix is no decimal integer.
std::string ExeAttachPayload(std::string_view block);
