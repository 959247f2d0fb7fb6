#include <errno.h>
#include <string.h>

#include "platform/ini_file.h"
#include "platform/native_path.h"
#include "platform/whole_file.h"

namespace {

std::u16string Message(const char* what, const std::string& path, int err) {
  return WidePath(std::string(what) + " " + path + ": " + strerror(err));
}

}  // namespace

bool WriteIniString(const std::u16string& path, const std::u16string& section,
                    const std::u16string& key, const std::u16string& value,
                    std::u16string& ErrorText) {
  const std::string native = NativePath(path);
  std::string text;
  TWholeFileInfo info;
  info.mode = 0644;
  int err = 0;
  // A missing file is written new; one that cannot be read is left alone.
  if (!ReadWholeFile(native, text, info, err) && err != ENOENT) {
    ErrorText = Message("Cannot read settings file", native, err);
    return false;
  }
  const std::string updated =
      SetIniValue(text, NativePath(section), NativePath(key), NativePath(value));

  TReplaceStep step;
  std::string temp_path;
  if (!ReplaceWholeFile(native, updated, info.mode, err, step, temp_path)) {
    ErrorText = Message(step == TReplaceStep::kRename ? "Cannot replace settings file"
                                                      : "Cannot write settings file",
                        native, err);
    return false;
  }
  return true;
}
