// The terminal front end: the launcher's entry and start sequence without a
// window, for machines without a display and for scripts.
//
//   corvaneboot-cli [PARAMETER-STRING]
//
// Standard output receives the address, port, module and company code, one
// "name：value" line each (UTF-8). Standard error receives the "mPARA_STR:"
// message (three lines), the message line and status texts as lines, the
// download's error message, and, when it is a terminal, a progress bar.
#pragma once

#include <ostream>
#include <string>

#include "pack/progress.h"

// Exit status of the terminal front end.
enum TCliExit : int {
  kCliBrowserStarted = 0,
  kCliOther = 1,           // bad port box, stopped by Ctrl-C, anything else
  kCliServerNotAlive = 2,  // "網站不存在" (the address is refused there too)
  kCliDownloadFailed = 3,
  kCliBrowserNotStarted = 4,
};

// Loads the launch parameters from first_argument (empty: the embedded
// blocks), prints them and runs the start sequence once. cancel is the
// terminating flag (set from the SIGINT handler). Returns the exit status.
int RunCliFrontEnd(const std::u16string& first_argument, std::ostream& out, std::ostream& err,
                   bool err_is_terminal, TCancelToken& cancel);
