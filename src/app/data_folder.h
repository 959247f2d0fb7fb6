// The data folder: where the compression layer keeps its work files.
//
// Candidates, in order: the fixed data folder and the shared data folder,
// each only when it already exists and a probe write of Wellcome.ini
// succeeds in it; otherwise the user's documents folder + "/CorvaneWeb".
// The chosen folder is created when missing.
//
// On this platform the fixed data folder is /opt/CorvaneWeb and the shared
// one /var/lib/CorvaneWeb; neither is ever created here, only used when
// something else (an installer, an administrator) has made it.
#pragma once

#include <string>
#include <vector>

extern const std::u16string kFixedDataFolder;
extern const std::u16string kSharedDataFolder;

std::u16string WebDataFolder();

// The rule behind WebDataFolder with its candidates given: the first
// candidate that exists as a folder and passes ProbeFolderWritable; else
// MyDocumentsPath + "/CorvaneWeb", or no_documents_base + "/CorvaneWeb"
// when the documents folder is unknown. The result is created when missing
// (outcome not tested).
std::u16string ChooseDataFolder(const std::vector<std::u16string>& candidates,
                                const std::u16string& no_documents_base);

// Writes TEST_ID=TEST OK into section VEXTTEST_SESSION of
// <folder>/Wellcome.ini (101 attempts, 20 ms apart); true on success.
// The folder is created first when missing.
bool ProbeFolderWritable(const std::u16string& folder);
