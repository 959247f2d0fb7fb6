#include "app/data_folder.h"

#include <chrono>
#include <thread>

#include "pack/text_encodings.h"
#include "platform/folders.h"
#include "platform/ini_file.h"
#include "ui/special_folders.h"

namespace {

constexpr int kProbeAttempts = 101;
constexpr auto kProbePause = std::chrono::milliseconds(20);

}  // namespace

const std::u16string kFixedDataFolder = u"/opt/CorvaneWeb";
const std::u16string kSharedDataFolder = u"/var/lib/CorvaneWeb";

std::u16string ChooseDataFolder(const std::vector<std::u16string>& candidates,
                                const std::u16string& no_documents_base) {
  std::u16string chosen;
  for (const std::u16string& candidate : candidates) {
    if (FolderExists(candidate) && ProbeFolderWritable(candidate)) {
      chosen = candidate;
      break;
    }
  }
  if (chosen.empty()) {
    std::u16string documents;
    if (!MyDocumentsPath(documents)) documents = no_documents_base;
    chosen = documents + u"/CorvaneWeb";
  }
  if (!FolderExists(chosen)) ForceFolder(chosen);
  return chosen;
}

std::u16string WebDataFolder() {
  return ChooseDataFolder({kFixedDataFolder, kSharedDataFolder}, kSharedDataFolder);
}

bool ProbeFolderWritable(const std::u16string& folder) {
  ForceFolder(folder);
  const std::u16string file = folder + u"/Wellcome.ini";
  for (int attempt = 1; attempt <= kProbeAttempts; ++attempt) {
    std::u16string error;
    if (WriteIniString(file, u"VEXTTEST_SESSION", u"TEST_ID", u"TEST OK", error)) return true;
    if (attempt < kProbeAttempts) std::this_thread::sleep_for(kProbePause);
  }
  return false;
}
