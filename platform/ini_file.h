#pragma once
// INI files with the meaning the configuration relies on: section and key names compare
// without letter case, white space around names and values is ignored, a missing file or key
// gives the default, and a write replaces the key or appends it (creating file and section
// as needed). Writes go to a temporary file renamed over the old one, so a crash never leaves
// half a file. Values are bytes; no code page conversion happens here.
#include <string>

namespace platform {

std::string IniReadString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& defaultValue);
// The leading decimal number of the value (0 when it has none); the default when the key is missing.
int IniReadInt(const std::string& path, const std::string& section, const std::string& key, int defaultValue);
// False (errno set) when the file could not be written; the old file is then unchanged.
bool IniWriteString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value);

}  // namespace platform
