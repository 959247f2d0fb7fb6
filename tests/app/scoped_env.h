// Sets environment variables for one test and puts the old values back.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

class TScopedEnv {
 public:
  TScopedEnv() = default;
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;
  ~TScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        unsetenv(it->first.c_str());
    }
  }

  void Set(const std::string& name, const std::string& value) {
    Save(name);
    setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    unsetenv(name.c_str());
  }
  // HOME set to home and every XDG variable the folder rules read cleared.
  void IsolateHome(const std::string& home) {
    Set("HOME", home);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                             "XDG_DESKTOP_DIR", "XDG_DOCUMENTS_DIR", "XDG_MUSIC_DIR",
                             "XDG_VIDEOS_DIR", "XDG_PICTURES_DIR", "XDG_TEMPLATES_DIR"})
      Unset(name);
  }

 private:
  void Save(const std::string& name) {
    const char* old = getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};
