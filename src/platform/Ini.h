// A small reader and writer for INI settings files ("[SECTION]" then
// "KEY=value" lines). Section and key names compare without regard to case.
#pragma once

#include <string>

namespace platform {

// The integer at the start of the value (after blanks, with an optional
// sign), or `fallback` when the file, the section, the key or the number is
// missing.
int ReadIniInt(const std::string& path, const std::string& section, const std::string& key, int fallback);

// The value of the key, blanks around it taken off, or `fallback`.
std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& fallback = {});

// Sets the key, adding the section, the key or the file as needed; other
// lines are kept as they are. False when the file cannot be written, or the
// value holds a line break.
bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value);

}  // namespace platform
