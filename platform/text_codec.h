#pragma once
// Conversion between the system's single-byte code page (GBK, code page 936: what devices,
// the log and the configuration carry) and UTF-8 (what the window and the file system use).
#include <string>
#include <string_view>

namespace platform {

// False when the input holds a sequence the target cannot represent; `out` is then unspecified.
bool GbkToUtf8(std::string_view gbk, std::string* out);
bool Utf8ToGbk(std::string_view utf8, std::string* out);

// Text a device sent, made safe to show or store: every byte below 0x20 and 0x7F becomes "\xNN",
// so a device can neither forge lines nor drive a terminal. GBK trail bytes never fall in that
// range, so this works on GBK and UTF-8 alike and leaves their characters whole.
std::string EscapeControlChars(std::string_view text);

}  // namespace platform
