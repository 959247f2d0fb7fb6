#include "app/exe_attach.h"

#include <cstddef>

// The blocks live in the program's data as one volatile object each: the
// compiler may neither fold their bytes into the code that reads them nor
// keep a second copy, so a program file whose payload areas were rewritten
// runs with the rewritten parameters.

#ifndef CORVANE_DEFAULT_SERVER_ADDRESS
#define CORVANE_DEFAULT_SERVER_ADDRESS "127.0.0.1"
#endif

namespace {

struct TExeAttachBytes {
  char bytes[kExeAttachBlockSize];
};

constexpr size_t Length(const char* text) {
  size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

// Builds a block from its number and payload during compilation. The
// marker is put together from its parts here, so no literal in the program
// holds a whole marker.
constexpr TExeAttachBytes MakeBlock(int number, const char* payload) {
  TExeAttachBytes block{};
  size_t at = 0;
  auto put = [&](const char* text) {
    for (size_t i = 0; text[i] != '\0'; ++i) block.bytes[at++] = text[i];
  };
  const char digit[2] = {static_cast<char>('0' + number), '\0'};
  put(digit);
  put("00$_ExeAttach_$00");
  put(digit);
  put("_Begin");
  const size_t length = Length(payload);
  const char prefix[4] = {static_cast<char>('0' + length / 100),
                          static_cast<char>('0' + length / 10 % 10),
                          static_cast<char>('0' + length % 10), '\0'};
  put(prefix);
  put(payload);
  while (at < kExeAttachEndOffset) block.bytes[at++] = '@';
  put(digit);
  put("00$_ExeAttach_$00");
  put(digit);
  put("_End");
  return block;
}

constexpr const char kDeliveredPayload[] = CORVANE_DEFAULT_SERVER_ADDRESS "$80$1$";
static_assert(sizeof(kDeliveredPayload) - 1 <= kExeAttachMaxPayload,
              "the default server address does not fit into block 1");
static_assert(MakeBlock(1, kDeliveredPayload).bytes[kExeAttachBlockSize - 1] == 'd',
              "block layout");

}  // namespace

// "used" keeps every block in the program file whatever the optimiser
// decides; ExeAttachBlock reads them through volatile accesses.
__attribute__((used)) constinit volatile const TExeAttachBytes CorvaneExeAttach1 =
    MakeBlock(1, kDeliveredPayload);
__attribute__((used)) constinit volatile const TExeAttachBytes CorvaneExeAttach2 = MakeBlock(2, "");
__attribute__((used)) constinit volatile const TExeAttachBytes CorvaneExeAttach3 = MakeBlock(3, "");
__attribute__((used)) constinit volatile const TExeAttachBytes CorvaneExeAttach4 = MakeBlock(4, "");
__attribute__((used)) constinit volatile const TExeAttachBytes CorvaneExeAttach5 = MakeBlock(5, "");

std::string ExeAttachBlock(int number) {
  volatile const TExeAttachBytes* block = nullptr;
  switch (number) {
    case 1:
      block = &CorvaneExeAttach1;
      break;
    case 2:
      block = &CorvaneExeAttach2;
      break;
    case 3:
      block = &CorvaneExeAttach3;
      break;
    case 4:
      block = &CorvaneExeAttach4;
      break;
    case 5:
      block = &CorvaneExeAttach5;
      break;
    default:
      return std::string();
  }
  std::string bytes(kExeAttachBlockSize, '\0');
  for (size_t i = 0; i < kExeAttachBlockSize; ++i) bytes[i] = block->bytes[i];
  return bytes;
}
