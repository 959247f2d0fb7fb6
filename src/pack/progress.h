// The progress sink: what a long main-thread operation reports to.
//
// Every part is optional (nullptr / empty): a progress bar with a maximum and
// a position, a status label with a caption, a status bar with one simple
// text, and the front end's message pump, which lets a window stay
// responsive between steps. The window and the terminal front end implement
// these; tests use recording fakes. All calls come from the thread that runs
// the operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class TProgressBar {
 public:
  virtual ~TProgressBar() = default;
  virtual void SetMaximum(int64_t maximum) = 0;
  virtual void SetPosition(int64_t position) = 0;
};

// A label's caption or a status bar's simple text.
class TStatusText {
 public:
  virtual ~TStatusText() = default;
  virtual void SetText(const std::u16string& text) = 0;
};

struct TProgressSink {
  TProgressBar* ProgressBar = nullptr;
  TStatusText* StatusLabel = nullptr;
  TStatusText* StatusBar = nullptr;
  std::function<void()> ProcessMessages;

  void Pump() const {
    if (ProcessMessages) ProcessMessages();
  }
};

// The application's "terminating" flag: set by a front end when its window
// closes or the terminal receives SIGINT; long operations look at it between
// their steps. Cancel() is async-signal-safe.
class TCancelToken {
 public:
  void Cancel() { cancelled_.store(true, std::memory_order_release); }
  void Reset() { cancelled_.store(false, std::memory_order_release); }
  bool IsCancelled() const { return cancelled_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> cancelled_{false};
};
