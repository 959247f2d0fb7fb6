#include "app/launch_params.h"

#include "app/exe_attach.h"
#include "pack/text_encodings.h"

TLaunchParams LaunchParams;
int32_t ProxyType = 0;

std::u16string ReadAttachedParams() {
  std::string joined;
  for (int number = 1; number <= kExeAttachBlockCount; ++number)
    joined += ExeAttachPayload(ExeAttachBlock(number));
  if (joined.empty()) return std::u16string();
  return Utf8ToWide(joined);
}

void LoadLaunchParams(const std::u16string& first_argument, TMessageSink& messages) {
  LaunchParams.ServerHost.clear();
  LaunchParams.ServerPort = 0;
  LaunchParams.FromCommandLine = 0;
  try {
    std::u16string S = first_argument;
    if (!S.empty()) {
      LaunchParams.FromCommandLine = 1;
    } else {
      S = ReadAttachedParams();
      if (S.size() < 5) {
        // Three boxes, one after the other, as users of the blocks know it.
        for (int i = 0; i < 3; ++i) messages.ShowMessage(u"mPARA_STR:" + S);
      }
    }
    ParseLaunchParams(S, LaunchParams, ProxyType);
  } catch (...) {
    // Whatever could not be read or parsed keeps its initial value; the
    // program goes on in every case.
  }
}
