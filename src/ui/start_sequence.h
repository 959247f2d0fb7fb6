// The start sequence: the launcher's main work, run by the start button.
//
// One pass: ask the server whether it is alive, form and create the local
// browser folder, bring Nimbara.exe up to date from the server, start it
// with the launch string and close the front end. Written once against
// TStartFrontEnd, so the window and the terminal front end run the same code.
// Everything runs on the calling (main) thread.
#pragma once

#include <cstdint>
#include <string>

#include "pack/progress.h"

// What the start sequence needs of a front end. All calls come from the
// thread that runs TntButton1Click.
class TStartFrontEnd {
 public:
  virtual ~TStartFrontEnd() = default;
  // The red message line (TntLabel3).
  virtual void SetMessageLine(const std::u16string& text) = 0;
  // The status line (TntLabel5); the download writes its status texts here.
  virtual TStatusText& StatusLine() = 0;
  // The download's progress bar (ProgressBar1); may be nullptr.
  virtual TProgressBar* ProgressBar() = 0;
  virtual void SetStartEnabled(bool enabled) = 0;
  // Repaint and let the front end process its pending messages.
  virtual void ProcessMessages() = 0;
  // Close the front end; for the window this ends the message loop.
  virtual void Close() = 0;
  // The current texts of the address box (TntEdit1) and port box (TntEdit2).
  virtual std::u16string AddressText() = 0;
  virtual std::u16string PortText() = 0;
  // The executable path of the process that started the launcher, or empty.
  virtual std::u16string ParentExeName() = 0;
  // Set when the front end is being closed (window closed, Ctrl-C).
  virtual const TCancelToken& Terminated() = 0;
};

// How a pass of the start sequence ended.
enum class TStartOutcome {
  kBrowserStarted,    // the browser runs and the front end was closed
  kServerNotAlive,    // "網站不存在": no usable parameters or no "RESULTOK"
  kBadAddress,        // "網站不存在": the address box cannot name a folder
  kBadPort,           // the port box text is not a decimal integer
  kDownloadFailed,    // DownloadServerFile returned false
  kCancelled,         // the front end was closed before the browser started
  kBrowserNotStarted  // StartProgram returned 0
};

struct TStartResult {
  TStartOutcome outcome = TStartOutcome::kServerNotAlive;
  // The sequence's message text: the alive check's or the download's
  // ErrorText, or what was wrong with the address or port box.
  std::u16string message;
  // The browser's local path, once it was formed.
  std::u16string browser_path;
};

// The start button's click handler. Disables the start button, which is never
// enabled again; on success closes the front end. A front end closed while
// the sequence runs (Terminated) does not get the browser started.
TStartResult TntButton1Click(TStartFrontEnd& front);

// True when the server at host:port answers "TEST_SERVER_ALIVE" with exactly
// "RESULTOK". message receives the command call's error text (empty when the
// exchange completed). An empty host or port 0 gives false without a request.
bool CheckServerAlive(const std::u16string& host, int32_t port, std::u16string& message);

// The problem with an address box text used as a folder name below the base
// folder (empty, ".", "..", containing "/" or a NUL), or empty when it is
// usable.
std::u16string AddressFolderProblem(const std::u16string& address);

// The sequence's constants.
inline constexpr char16_t kBrowserServerFileName[] = u"_WEBPATH\\CorvanePage\\Nimbara.exe";
inline constexpr char16_t kBrowserFileName[] = u"Nimbara.exe";
inline constexpr char16_t kLoginKey[] = u"pelkwarn";
inline constexpr char16_t kServerNotFound[] = u"網站不存在";
inline constexpr int32_t kDownloadPieceSize = 524288;
