#include "ui/launch_string.h"

#include <string>
#include <utility>

#include "app/launch_params.h"
#include "pack/text_encodings.h"
#include "platform/process.h"

namespace {

std::u16string Encoded(const std::u16string& value) {
  return WideBase64Encode(AsciiToWide(StandardBase64Alphabet), value);
}

std::u16string Decimal(int32_t value) { return AsciiToWide(std::to_string(value)); }

}  // namespace

std::u16string BuildLaunchString(const std::u16string& browser_folder,
                                 const std::u16string& parent_exe_name) {
  const std::pair<const char16_t*, std::u16string> entries[] = {
      {u"BASE=", LaunchParams.ServerHost},
      {u"PORT=", Decimal(LaunchParams.ServerPort)},
      {u"LOGINTYPE=", Decimal(LaunchParams.ModuleIndex)},
      {u"CM_NO=", LaunchParams.CmNo},
      {u"LOGINID=", LaunchParams.LoginId},
      {u"LOGINPASW=", LaunchParams.LoginPasw},
      {u"CORVANEWEBDIR=", browser_folder},
      {u"PARENT_EXENAME=", OwnExecutablePath()},
      {u"PARENT_PARENT_EXENAME=", parent_exe_name},
      {u"PROXY_TYPE=", Decimal(ProxyType)},
  };
  std::u16string text = u"CORVANEBOOT=TRUE";
  for (const auto& [key, value] : entries) {
    text += u',';
    text += key;
    text += Encoded(value);
  }
  return text;
}

int64_t StartProgram(const std::u16string& file, const std::u16string& parameters,
                     int32_t show_command) {
  // The show command is a window-system hint with no meaning here.
  (void)show_command;
  return SpawnProgram(file, parameters);
}

std::u16string OwnExecutablePath() { return SelfExecutablePath(); }
