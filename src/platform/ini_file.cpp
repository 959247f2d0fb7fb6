#include "platform/ini_file.h"

#include <vector>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// The section name of a "[NAME]" line, or false when the line is no header.
bool SectionHeader(const std::string& line, std::string& name) {
  const std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  const size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(t.substr(1, close - 1));
  return true;
}

// The key of a "KEY=VALUE" line, or false when the line holds none.
bool KeyOfLine(const std::string& line, std::string& key) {
  const std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '#') return false;
  const size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size() - 1;
    lines.push_back(text.substr(start, nl - start + 1));
    start = nl + 1;
  }
  return lines;
}

}  // namespace

std::string SetIniValue(const std::string& text, const std::string& section, const std::string& key,
                        const std::string& value) {
  std::vector<std::string> lines = SplitLines(text);
  std::string newline = "\n";
  if (!lines.empty() && lines[0].size() >= 2 &&
      lines[0].compare(lines[0].size() - 2, 2, "\r\n") == 0)
    newline = "\r\n";
  const std::string entry = key + "=" + value + newline;
  auto terminate = [&](std::string& line) {
    if (line.empty() || line.back() != '\n') line += newline;
  };

  // Find the first matching section: its header line and where it ends.
  size_t header = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name;
    if (SectionHeader(lines[i], name) && SameName(name, section)) {
      header = i;
      break;
    }
  }
  if (header == lines.size()) {
    if (!lines.empty()) terminate(lines.back());
    std::string out;
    for (const std::string& line : lines) out += line;
    return out + "[" + section + "]" + newline + entry;
  }

  size_t last_content = header;
  for (size_t i = header + 1; i < lines.size(); ++i) {
    std::string name;
    if (SectionHeader(lines[i], name)) break;
    std::string line_key;
    if (KeyOfLine(lines[i], line_key) && SameName(line_key, key)) {
      // The replaced line keeps its own line ending.
      std::string ending;
      if (lines[i].size() >= 2 && lines[i].compare(lines[i].size() - 2, 2, "\r\n") == 0)
        ending = "\r\n";
      else if (!lines[i].empty() && lines[i].back() == '\n')
        ending = "\n";
      lines[i] = key + "=" + value + ending;
      std::string out;
      for (const std::string& line : lines) out += line;
      return out;
    }
    if (!Trim(lines[i]).empty()) last_content = i;
  }
  terminate(lines[last_content]);
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last_content) + 1, entry);
  std::string out;
  for (const std::string& line : lines) out += line;
  return out;
}
