// corvaneboot-stamp: the deployer's tool for the embedded parameter blocks.
//
//   corvaneboot-stamp INPUT OUTPUT PARAMETER-STRING
//   corvaneboot-stamp --show FILE
//
// Exit status: 0 done, 1 refused or failed (message on standard error),
// 2 wrong usage.

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/parameter_stamp.h"

namespace {

constexpr char kUsage[] =
    "usage: corvaneboot-stamp INPUT OUTPUT PARAMETER-STRING\n"
    "       corvaneboot-stamp --show FILE\n"
    "Writes OUTPUT, a copy of the launcher program INPUT whose embedded parameter\n"
    "blocks carry PARAMETER-STRING (UTF-8, at most 485 bytes), or shows the\n"
    "parameter string FILE carries and how the launcher parses it.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "corvaneboot-stamp: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string error;
  if (argc == 3 && std::strcmp(argv[1], "--show") == 0) {
    std::string report;
    if (!ShowFile(argv[2], report, error)) return Fail(error);
    std::fputs(report.c_str(), stdout);
    return 0;
  }
  if (argc == 4 && std::strncmp(argv[1], "--", 2) != 0) {
    if (!StampFile(argv[1], argv[2], argv[3], error)) return Fail(error);
    return 0;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
