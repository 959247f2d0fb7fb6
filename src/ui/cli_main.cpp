// corvaneboot-cli: the launcher in a terminal (see ui/cli_front_end.h).
//
//   corvaneboot-cli [PARAMETER-STRING]
//
// Exit status: 0 browser started, 2 server not alive, 3 download failed,
// 4 browser could not be started, 1 anything else (Ctrl-C included).
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>

#include "pack/progress.h"
#include "pack/text_encodings.h"
#include "ui/cli_front_end.h"

namespace {

TCancelToken cancel_token;

// Ctrl-C: the download stops at its next step and nothing is started.
// A second Ctrl-C ends the program at once.
extern "C" void OnInterrupt(int) {
  cancel_token.Cancel();
  std::signal(SIGINT, SIG_DFL);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, OnInterrupt);
  const std::u16string first_argument = argc > 1 ? Utf8ToWide(argv[1]) : std::u16string();
  return RunCliFrontEnd(first_argument, std::cout, std::cerr, isatty(STDERR_FILENO) == 1,
                        cancel_token);
}
