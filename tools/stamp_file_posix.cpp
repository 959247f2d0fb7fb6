// The file side of corvaneboot-stamp: reading the input, refusing to write
// over it, and writing the copy so that nothing is left when a step fails.

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "platform/whole_file.h"
#include "tools/parameter_stamp.h"

namespace {

std::string SystemError(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + strerror(err);
}

bool ReadProgram(const std::string& path, std::string& bytes, TWholeFileInfo& info,
                 std::string& error) {
  int err = 0;
  if (ReadWholeFile(path, bytes, info, err)) return true;
  if (err == EISDIR || err == EINVAL) {
    error = path + " is not a regular file";
  } else {
    error = SystemError("cannot open", path, err);
  }
  return false;
}

}  // namespace

bool StampFile(const std::string& input, const std::string& output, const std::string& parameter,
               std::string& error) {
  if (output == input) {
    error = "the output path is the input path; the input is never changed";
    return false;
  }
  std::string image;
  TWholeFileInfo in_info;
  if (!ReadProgram(input, image, in_info, error)) return false;
  struct stat out_st;
  if (stat(output.c_str(), &out_st) == 0 && out_st.st_dev == in_info.device &&
      out_st.st_ino == in_info.inode) {
    error = "the output " + output +
            " is the input file under another name; the input is "
            "never changed";
    return false;
  }
  std::string stamped;
  if (!StampImage(image, parameter, stamped, error)) return false;

  int err = 0;
  TReplaceStep step;
  std::string temp_path;
  if (!ReplaceWholeFile(output, stamped, in_info.mode, err, step, temp_path)) {
    switch (step) {
      case TReplaceStep::kCreate:
        error = SystemError("cannot create a file beside", output, err);
        break;
      case TReplaceStep::kWrite:
        error = SystemError("cannot write", temp_path, err);
        break;
      case TReplaceStep::kRename:
        error = SystemError("cannot create", output, err);
        break;
    }
    return false;
  }
  return true;
}

bool ShowFile(const std::string& path, std::string& report, std::string& error) {
  std::string image;
  TWholeFileInfo info;
  if (!ReadProgram(path, image, info, error)) return false;
  std::string parameter;
  if (!ReadStampedParameter(image, parameter, error)) return false;
  report = DescribeParameterString(parameter);
  return true;
}
