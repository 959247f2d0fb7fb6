// A small program carrying the embedded parameter blocks: it loads the
// launch parameters from its first argument or its own blocks and prints
// what it got, one "name=value" line each (UTF-8), messages first.

#include <cstdio>
#include <string>

#include "app/launch_params.h"
#include "pack/text_encodings.h"

namespace {

class TPrintingSink : public TMessageSink {
 public:
  void ShowMessage(const std::u16string& text) override {
    std::printf("message=%s\n", WideToUtf8(text).c_str());
  }
};

void Print(const char* name, const std::u16string& value) {
  std::printf("%s=%s\n", name, WideToUtf8(value).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  TPrintingSink sink;
  LoadLaunchParams(argc > 1 ? Utf8ToWide(argv[1]) : std::u16string(), sink);
  std::printf("FromCommandLine=%d\n", LaunchParams.FromCommandLine);
  Print("ServerHost", LaunchParams.ServerHost);
  std::printf("ServerPort=%d\n", LaunchParams.ServerPort);
  Print("DataDir", LaunchParams.DataDir);
  std::printf("ProxyType=%d\n", ProxyType);
  std::printf("ModuleIndex=%d\n", LaunchParams.ModuleIndex);
  Print("CmNo", LaunchParams.CmNo);
  Print("LoginId", LaunchParams.LoginId);
  Print("LoginPasw", LaunchParams.LoginPasw);
  return 0;
}
