// Settings (INI) files: "[SECTION]" lines opening sections, "KEY=VALUE"
// lines inside them. Section and key names match without regard to ASCII
// letter case; the first matching section and key are the ones used.
#pragma once

#include <string>

// The text of a settings file with KEY set to VALUE in SECTION. Every other
// line (other sections and keys, comments, blank lines, line endings) stays
// as it was. A key that is missing is added after the last non-blank line
// of its section; a section that is missing is added at the end. New lines
// use the line ending of the text's first line ("\n" when it has none).
std::string SetIniValue(const std::string& text, const std::string& section, const std::string& key,
                        const std::string& value);

// Sets KEY to VALUE in SECTION of the settings file at path (UTF-8),
// creating the file when it does not exist. The new content is written to
// a temporary file beside it and renamed over it, so a failure leaves the
// old file whole. A file that exists but cannot be read is left alone and
// reported. On failure returns false with a message in ErrorText.
bool WriteIniString(const std::u16string& path, const std::u16string& section,
                    const std::u16string& key, const std::u16string& value,
                    std::u16string& ErrorText);
