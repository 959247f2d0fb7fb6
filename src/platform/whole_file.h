// Whole-file reads and replacements for small files that are rewritten as a
// unit (settings files, stamped program copies).
#pragma once

#include <cstdint>
#include <string>

struct TWholeFileInfo {
  uint32_t mode = 0;  // permission bits
  uint64_t device = 0;
  uint64_t inode = 0;
};

// Reads the regular file at native_path (UTF-8) whole into bytes. On failure
// returns false with errno in error_number (ENOENT for a missing file,
// EISDIR / EINVAL for something that is not a regular file).
bool ReadWholeFile(const std::string& native_path, std::string& bytes, TWholeFileInfo& info,
                   int& error_number);

enum class TReplaceStep { kCreate, kWrite, kRename };

// Writes bytes into a new temporary file beside native_path, gives it the
// permission bits mode, forces it to disk and renames it over native_path,
// so that a reader sees the old file or the new one, never a part. On
// failure nothing new is left behind; returns false with errno in
// error_number, the step that failed in failed_step and the temporary
// file's name (empty before it was created) in temp_path.
bool ReplaceWholeFile(const std::string& native_path, const std::string& bytes, uint32_t mode,
                      int& error_number, TReplaceStep& failed_step, std::string& temp_path);
