// Text at the Windows calls: UTF-8 inside the program, UTF-16 at every
// wide call. Paths also have each name in them made one Windows can hold.
#pragma once

#include <string>
#include <string_view>

namespace platform::win32 {

std::wstring Wide(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// `path` for the wide file calls: '/' becomes '\', and every name after the
// drive, share or device prefix is made one Windows can create and that
// names what it says (WindowsSafeName), so that a recovered file's name can
// neither open a device, nor an alternate data stream, nor lose its last
// characters.
std::wstring WidePath(std::string_view path);

// One name made safe for Windows, unchanged when it already is: characters
// Windows forbids in names (control characters, < > : " | ? *) become '_';
// trailing dots and spaces become '_'; a reserved device name (CON, PRN,
// AUX, NUL, COM1-9, LPT1-9, also with an extension, in any case) gets '_'
// after its stem.
std::wstring WindowsSafeName(std::wstring_view name);

// The text of a Windows error, for the log.
std::string ErrorText(unsigned long error);

}  // namespace platform::win32
