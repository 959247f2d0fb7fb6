// The data folder: where the compression layer keeps its work files.
//
// Candidates, in order: the fixed data folder and the shared data folder,
// each only when it already exists and a probe write of Wellcome.ini
// succeeds in it; otherwise the user's documents folder + "/CorvaneWeb".
// The chosen folder is created when missing.
#pragma once

#include <string>

std::u16string WebDataFolder();

// Writes TEST_ID=TEST OK into section VEXTTEST_SESSION of
// <folder>/Wellcome.ini (101 attempts, 20 ms apart); true on success.
bool ProbeFolderWritable(const std::u16string& folder);
