// The launch parameters: one parameter string, from the first command-line
// argument or from the five embedded parameter blocks, parsed once at the
// very start of the process and only read afterwards.
//
// Grammar (every field ends with "$"):
//   host[:anything] $ port $ [*DIR*folder $] [*PROXY*anything $] module $
//   CmNo $ LoginId $ LoginPasw $
#pragma once

#include <cstdint>
#include <string>

struct TLaunchParams {
  std::u16string ServerHost;
  int32_t ServerPort = 0;
  std::u16string DataDir;
  int32_t ModuleIndex = 0;  // -1 when the module field is "*"
  std::u16string CmNo;
  std::u16string LoginId;
  std::u16string LoginPasw;
  int32_t FromCommandLine = 0;  // 1: command line, 0: embedded blocks
};

// Process-wide values, written only by LoadLaunchParams (main thread).
extern TLaunchParams LaunchParams;
// 0: the system's proxy settings, 1: direct connection ("*PROXY*").
extern int32_t ProxyType;

// Where LoadLaunchParams shows its "mPARA_STR:" message: the window with a
// modal message box, the terminal front end on standard error.
class TMessageSink {
 public:
  virtual ~TMessageSink() = default;
  virtual void ShowMessage(const std::u16string& text) = 0;
};

// Fills LaunchParams and ProxyType from first_argument (the first
// command-line argument, empty when there is none) or, when that is empty,
// from the embedded parameter blocks. Never throws.
void LoadLaunchParams(const std::u16string& first_argument, TMessageSink& messages);

// The parameter string the five embedded parameter blocks of this program
// hold. Throws std::invalid_argument when a length prefix is no number.
std::u16string ReadAttachedParams();

// Parses S into params and proxy_type. Throws std::invalid_argument when the
// port field is not a decimal integer (the fields before it stay set).
void ParseLaunchParams(const std::u16string& S, TLaunchParams& params, int32_t& proxy_type);
