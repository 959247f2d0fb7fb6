// Shared helpers for the project's tests: a temporary folder that removes
// itself, small file helpers, a free loopback port, and recording fakes of
// the progress displays.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/progress.h"

// A fresh folder below $TMPDIR (or /tmp), removed with its content.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& path() const { return path_; }
  std::u16string wpath() const;
  // path() + "/" + name
  std::string File(const std::string& name) const;
  std::u16string WFile(const std::string& name) const;

 private:
  std::string path_;
};

void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);
bool PathExists(const std::string& path);
// Names of the entries of a folder, sorted.
std::vector<std::string> ListFolder(const std::string& path);

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

// Bytes that look like an executable: pieces of the machine's own programs,
// repeated up to size (deterministic for one machine).
std::string ExecutableLikeBytes(int64_t size);

// Hex of bytes, "01 00 0A" form, for readable failure messages.
std::string HexBytes(const std::string& bytes);

class TRecordingProgressBar : public TProgressBar {
 public:
  void SetMaximum(int64_t maximum) override {
    maximum_ = maximum;
    events.push_back("max=" + std::to_string(maximum));
  }
  void SetPosition(int64_t position) override {
    position_ = position;
    events.push_back("pos=" + std::to_string(position));
  }
  int64_t maximum() const { return maximum_; }
  int64_t position() const { return position_; }
  std::vector<std::string> events;

 private:
  int64_t maximum_ = 0;
  int64_t position_ = 0;
};

class TRecordingText : public TStatusText {
 public:
  void SetText(const std::u16string& text) override {
    text_ = text;
    history.push_back(text);
  }
  const std::u16string& text() const { return text_; }
  std::vector<std::u16string> history;

 private:
  std::u16string text_;
};
