// Special folders and the folder operations several parts share.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The 64 special-folder names with their values, in their fixed order.
const std::vector<std::pair<std::string, int32_t>>& SpecialFolderNames();

// The value of the entry whose name matches (any letter case), or -1.
int32_t SpecialFolderByName(const std::u16string& name);

// On success sets path to the special folder's path without a closing "/"
// and returns true; on failure returns false and leaves path as it was.
bool SpecialFolderPath(int32_t folder, std::u16string& path);
bool MyDocumentsPath(std::u16string& path);

// The path without its last character when that is the closing separator.
std::u16string RemoveTrailingBackslash(const std::u16string& path);

// Creates the folder with every missing parent; true when it exists
// afterwards. error_code (optional) receives errno on failure, else 0.
bool ForceFolder(const std::u16string& path, int* error_code = nullptr);

// The base folder of the local browser folder for a "*DIR*" text.
std::u16string BrowserBaseFolder(const std::u16string& dir_text);
