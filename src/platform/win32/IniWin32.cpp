#include "platform/Ini.h"

#include "platform/Process.h"
#include "platform/Shared.h"
#include "platform/win32/Wide.h"

#include <windows.h>

#include <cwchar>

namespace platform {

// The profile functions look for a relative name in the Windows folder:
// the path is made absolute first.

int ReadIniInt(const std::string& path, const std::string& section, const std::string& key, int fallback)
{
    const std::wstring file = win32::WidePath(AbsolutePath(path));
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES)
        return fallback;
    // GetPrivateProfileIntW answers 0 for a value that is no number, which
    // cannot be told from a 0 written there: the text is read and parsed
    // as on every system, so that such a value counts as missing.
    wchar_t value[64] = {};
    const wchar_t* none = L"\x1F";
    GetPrivateProfileStringW(win32::Wide(section).c_str(), win32::Wide(key).c_str(), none, value, 64, file.c_str());
    if (std::wcscmp(value, none) == 0)
        return fallback;
    return shared::ParseIniInt(win32::Narrow(value), fallback);
}

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& fallback)
{
    const std::wstring file = win32::WidePath(AbsolutePath(path));
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES)
        return fallback;
    // A path is at most 32,767 characters; a longer value is none of ours.
    std::wstring value(32768, L'\0');
    const wchar_t* none = L"\x1F";
    const DWORD length = GetPrivateProfileStringW(win32::Wide(section).c_str(), win32::Wide(key).c_str(), none,
                                                  value.data(), static_cast<DWORD>(value.size()), file.c_str());
    value.resize(length);
    return value == none ? fallback : win32::Narrow(value);
}

bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value)
{
    // A line break would end the value and start a line of its own.
    if (value.find_first_of("\r\n") != std::string::npos || key.find_first_of("\r\n=") != std::string::npos)
        return false;
    const std::wstring file = win32::WidePath(AbsolutePath(path));
    return WritePrivateProfileStringW(win32::Wide(section).c_str(), win32::Wide(key).c_str(),
                                      win32::Wide(value).c_str(), file.c_str()) != 0;
}

}  // namespace platform
