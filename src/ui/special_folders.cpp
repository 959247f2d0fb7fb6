#include "ui/special_folders.h"

#include <cerrno>
#include <exception>

#include "pack/text_encodings.h"
#include "platform/code_page.h"
#include "platform/environment.h"
#include "platform/folders.h"

namespace {

constexpr char16_t kSeparator = u'/';

// Where a special folder lies on this platform.
enum class TFolderSource {
  kUserDir,     // an XDG user directory (user-dirs.dirs), default below home
  kDataHome,    // $XDG_DATA_HOME, default ~/.local/share, plus a sub-path
  kConfigHome,  // $XDG_CONFIG_HOME, default ~/.config, plus a sub-path
  kCacheHome,   // $XDG_CACHE_HOME, default ~/.cache
  kHome,        // the home folder
  kFixed,       // a fixed system folder
};

struct TFolderRule {
  int32_t value;
  TFolderSource source;
  const char* name;  // user-dirs variable, or the fixed path
  const char* sub;   // below home (user dir default) or below the base dir
};

// Every special folder with a path on this platform; every other value (the
// virtual folders, the flag values, values without an entry) fails.
constexpr TFolderRule kFolderRules[] = {
    {0, TFolderSource::kUserDir, "XDG_DESKTOP_DIR", "Desktop"},       // CSIDL_DESKTOP
    {2, TFolderSource::kDataHome, nullptr, "applications"},           // CSIDL_PROGRAMS
    {5, TFolderSource::kUserDir, "XDG_DOCUMENTS_DIR", "Documents"},   // CSIDL_PERSONAL
    {7, TFolderSource::kConfigHome, nullptr, "autostart"},            // CSIDL_STARTUP
    {11, TFolderSource::kDataHome, nullptr, "applications"},          // CSIDL_STARTMENU
    {12, TFolderSource::kUserDir, "XDG_DOCUMENTS_DIR", "Documents"},  // CSIDL_MYDOCUMENTS
    {13, TFolderSource::kUserDir, "XDG_MUSIC_DIR", "Music"},          // CSIDL_MYMUSIC
    {14, TFolderSource::kUserDir, "XDG_VIDEOS_DIR", "Videos"},        // CSIDL_MYVIDEO
    {16, TFolderSource::kUserDir, "XDG_DESKTOP_DIR", "Desktop"},      // CSIDL_DESKTOPDIRECTORY
    {20, TFolderSource::kFixed, "/usr/share/fonts", nullptr},         // CSIDL_FONTS
    {21, TFolderSource::kUserDir, "XDG_TEMPLATES_DIR", "Templates"},  // CSIDL_TEMPLATES
    {22, TFolderSource::kFixed, "/usr/share/applications", nullptr},  // CSIDL_COMMON_STARTMENU
    {23, TFolderSource::kFixed, "/usr/share/applications", nullptr},  // CSIDL_COMMON_PROGRAMS
    {24, TFolderSource::kFixed, "/etc/xdg/autostart", nullptr},       // CSIDL_COMMON_STARTUP
    {26, TFolderSource::kConfigHome, nullptr, nullptr},               // CSIDL_APPDATA
    {28, TFolderSource::kDataHome, nullptr, nullptr},                 // CSIDL_LOCAL_APPDATA
    {32, TFolderSource::kCacheHome, nullptr, nullptr},                // CSIDL_INTERNET_CACHE
    {35, TFolderSource::kFixed, "/var/lib", nullptr},                 // CSIDL_COMMON_APPDATA
    {38, TFolderSource::kFixed, "/opt", nullptr},                     // CSIDL_PROGRAM_FILES
    {39, TFolderSource::kUserDir, "XDG_PICTURES_DIR", "Pictures"},    // CSIDL_MYPICTURES
    {40, TFolderSource::kHome, nullptr, nullptr},                     // CSIDL_PROFILE
    {42, TFolderSource::kFixed, "/opt", nullptr},                     // CSIDL_PROGRAM_FILESX86
    {62, TFolderSource::kFixed, "/home", nullptr},                    // CSIDL_PROFILES
};

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

std::u16string Join(const std::u16string& base, const char* sub) {
  if (!sub || !*sub) return base;
  std::u16string joined = base;
  while (!joined.empty() && joined.back() == kSeparator) joined.pop_back();
  return joined + kSeparator + AsciiToWide(sub);
}

// "$HOME" at the start of a value becomes the home folder; an absolute path
// stays; anything else (a relative path) is no usable value.
bool ExpandUserDirValue(const std::u16string& raw, const std::u16string& home,
                        std::u16string& path) {
  const std::u16string prefix = u"$HOME";
  if (raw.compare(0, prefix.size(), prefix) == 0 &&
      (raw.size() == prefix.size() || raw[prefix.size()] == kSeparator)) {
    if (home.empty()) return false;
    path = home + raw.substr(prefix.size());
    return true;
  }
  if (!raw.empty() && raw[0] == kSeparator) {
    path = raw;
    return true;
  }
  return false;
}

// The value of variable name in a user-dirs.dirs text: lines NAME="VALUE",
// "#" comments, backslash escapes inside the quotes. Empty when absent.
std::u16string UserDirsFileValue(const std::string& text, const std::string& name) {
  size_t start = 0;
  std::string found;
  bool have = false;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#') continue;
    if (line.compare(i, name.size(), name) != 0 || i + name.size() >= line.size() ||
        line[i + name.size()] != '=')
      continue;
    i += name.size() + 1;
    std::string value;
    if (i < line.size() && line[i] == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        value += line[i];
      }
    } else {
      value = line.substr(i);
      while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
    }
    found = value;  // the last assignment wins, as a shell would read it
    have = true;
  }
  return have ? Utf8ToWide(found) : std::u16string();
}

// An XDG base directory: the variable when it holds an absolute path,
// otherwise home + default_below_home.
bool BaseDirectory(const char* variable, const char* default_below_home, std::u16string& path) {
  const std::u16string value = EnvironmentVariable(variable);
  if (!value.empty() && value[0] == kSeparator) {
    path = value;
    return true;
  }
  const std::u16string home = HomeFolder();
  if (home.empty()) return false;
  path = Join(home, default_below_home);
  return true;
}

bool UserDirectory(const char* variable, const char* default_below_home, std::u16string& path) {
  const std::u16string home = HomeFolder();
  if (ExpandUserDirValue(EnvironmentVariable(variable), home, path)) return true;
  std::u16string config;
  if (BaseDirectory("XDG_CONFIG_HOME", ".config", config)) {
    std::string text;
    if (ReadSmallFile(config + u"/user-dirs.dirs", text) &&
        ExpandUserDirValue(UserDirsFileValue(text, variable), home, path))
      return true;
  }
  if (home.empty()) return false;
  path = Join(home, default_below_home);
  return true;
}

bool ResolveRule(const TFolderRule& rule, std::u16string& path) {
  switch (rule.source) {
    case TFolderSource::kUserDir:
      return UserDirectory(rule.name, rule.sub, path);
    case TFolderSource::kDataHome:
      if (!BaseDirectory("XDG_DATA_HOME", ".local/share", path)) return false;
      path = Join(path, rule.sub);
      return true;
    case TFolderSource::kConfigHome:
      if (!BaseDirectory("XDG_CONFIG_HOME", ".config", path)) return false;
      path = Join(path, rule.sub);
      return true;
    case TFolderSource::kCacheHome:
      return BaseDirectory("XDG_CACHE_HOME", ".cache", path);
    case TFolderSource::kHome:
      path = HomeFolder();
      return !path.empty();
    case TFolderSource::kFixed:
      path = AsciiToWide(rule.name);
      return true;
  }
  return false;
}

// The folder part of path: everything before its last "/" ("/" itself for
// a folder right below the root, empty when there is no "/").
std::u16string ParentPart(const std::u16string& path) {
  const size_t slash = path.rfind(kSeparator);
  if (slash == std::u16string::npos) return std::u16string();
  if (slash == 0) return std::u16string(1, kSeparator);
  return path.substr(0, slash);
}

bool ForceFolderSteps(const std::u16string& path, int* error_code) {
  if (path.empty()) return false;
  const std::u16string dir = RemoveTrailingBackslash(path);
  // The root (and only the root) ends the climb: it always exists.
  if (dir.empty() || FolderExists(dir)) return true;
  const std::u16string parent = ParentPart(dir);
  if (!parent.empty() && parent != dir && !ForceFolderSteps(parent, error_code)) return false;
  const int err = CreateOneFolder(dir);
  if (err != 0) {
    if (error_code) *error_code = err;
    return false;
  }
  return true;
}

}  // namespace

const std::vector<std::pair<std::string, int32_t>>& SpecialFolderNames() {
  static const std::vector<std::pair<std::string, int32_t>> names = {
      {"CSIDL_DESKTOP", 0},
      {"CSIDL_INTERNET", 1},
      {"CSIDL_PROGRAMS", 2},
      {"CSIDL_CONTROLS", 3},
      {"CSIDL_PRINTERS", 4},
      {"CSIDL_PERSONAL", 5},
      {"CSIDL_FAVORITES", 6},
      {"CSIDL_STARTUP", 7},
      {"CSIDL_RECENT", 8},
      {"CSIDL_SENDTO", 9},
      {"CSIDL_BITBUCKET", 10},
      {"CSIDL_STARTMENU", 11},
      {"CSIDL_MYDOCUMENTS", 12},
      {"CSIDL_MYMUSIC", 13},
      {"CSIDL_MYVIDEO", 14},
      {"CSIDL_DESKTOPDIRECTORY", 16},
      {"CSIDL_DRIVES", 17},
      {"CSIDL_NETWORK", 18},
      {"CSIDL_NETHOOD", 19},
      {"CSIDL_FONTS", 20},
      {"CSIDL_TEMPLATES", 21},
      {"CSIDL_COMMON_STARTMENU", 22},
      {"CSIDL_COMMON_PROGRAMS", 23},
      {"CSIDL_COMMON_STARTUP", 24},
      {"CSIDL_COMMON_DESKTOPDIRECTORY", 25},
      {"CSIDL_APPDATA", 26},
      {"CSIDL_PRINTHOOD", 27},
      {"CSIDL_LOCAL_APPDATA", 28},
      {"CSIDL_ALTSTARTUP", 29},
      {"CSIDL_COMMON_ALTSTARTUP", 30},
      {"CSIDL_COMMON_FAVORITES", 31},
      {"CSIDL_INTERNET_CACHE", 32},
      {"CSIDL_COOKIES", 33},
      {"CSIDL_HISTORY", 34},
      {"CSIDL_COMMON_APPDATA", 35},
      {"CSIDL_WINDOWS", 36},
      {"CSIDL_SYSTEM", 37},
      {"CSIDL_PROGRAM_FILES", 38},
      {"CSIDL_MYPICTURES", 39},
      {"CSIDL_PROFILE", 40},
      {"CSIDL_SYSTEMX86", 41},
      {"CSIDL_PROGRAM_FILESX86", 42},
      {"CSIDL_PROGRAM_FILES_COMMON", 43},
      {"CSIDL_PROGRAM_FILES_COMMONX86", 44},
      {"CSIDL_COMMON_TEMPLATES", 45},
      {"CSIDL_COMMON_DOCUMENTS", 46},
      {"CSIDL_COMMON_ADMINTOOLS", 47},
      {"CSIDL_ADMINTOOLS", 48},
      {"CSIDL_CONNECTIONS", 49},
      {"CSIDL_COMMON_MUSIC", 53},
      {"CSIDL_COMMON_PICTURES", 54},
      {"CSIDL_COMMON_VIDEO", 55},
      {"CSIDL_RESOURCES", 56},
      {"CSIDL_RESOURCES_LOCALIZED", 57},
      {"CSIDL_COMMON_OEM_LINKS", 58},
      {"CSIDL_CDBURN_AREA", 59},
      {"CSIDL_COMPUTERSNEARME", 61},
      {"CSIDL_PROFILES", 62},
      {"CSIDL_FLAG_CREATE", 0x8000},
      {"CSIDL_FLAG_DONT_VERIFY", 0x4000},
      {"CSIDL_FLAG_DONT_UNEXPAND", 0x2000},
      {"CSIDL_FLAG_NO_ALIAS", 0x1000},
      {"CSIDL_FLAG_PER_USER_INIT", 0x0800},
      {"CSIDL_FLAG_MASK", 0xFF00},
  };
  return names;
}

int32_t SpecialFolderByName(const std::u16string& name) {
  const std::string ansi = WideToAnsi(name);
  for (const auto& entry : SpecialFolderNames())
    if (SameTextIgnoringCase(entry.first, ansi)) return entry.second;
  return -1;
}

bool SpecialFolderPath(int32_t folder, std::u16string& path) {
  for (const TFolderRule& rule : kFolderRules) {
    if (rule.value != folder) continue;
    std::u16string found;
    if (!ResolveRule(rule, found)) return false;
    path = RemoveTrailingBackslash(found);
    return true;
  }
  return false;
}

bool MyDocumentsPath(std::u16string& path) { return SpecialFolderPath(5, path); }

std::u16string RemoveTrailingBackslash(const std::u16string& path) {
  if (!path.empty() && path.back() == kSeparator) return path.substr(0, path.size() - 1);
  return path;
}

bool ForceFolder(const std::u16string& path, int* error_code) {
  if (error_code) *error_code = 0;
  try {
    return ForceFolderSteps(path, error_code);
  } catch (const std::exception&) {
    if (error_code && *error_code == 0) *error_code = ENOMEM;
    return false;
  }
}

std::u16string BrowserBaseFolder(const std::u16string& dir_text) {
  std::u16string base;
  if (!dir_text.empty()) {
    const int32_t folder = SpecialFolderByName(dir_text);
    if (folder < 0) return dir_text;
    if (!SpecialFolderPath(folder, base)) return std::u16string();
    return base;
  }
  if (!MyDocumentsPath(base)) return std::u16string();
  return base;
}
