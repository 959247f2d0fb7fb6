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
