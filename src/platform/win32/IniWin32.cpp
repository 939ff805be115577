#include "platform/Ini.h"

#include "platform/Process.h"
#include "platform/win32/Wide.h"

#include <windows.h>

namespace platform {

// The profile functions look for a relative name in the Windows folder:
// the path is made absolute first.

int ReadIniInt(const std::string& path, const std::string& section, const std::string& key, int fallback)
{
    const std::wstring file = win32::WidePath(AbsolutePath(path));
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES)
        return fallback;
    return static_cast<int>(
        GetPrivateProfileIntW(win32::Wide(section).c_str(), win32::Wide(key).c_str(), fallback, file.c_str()));
}

bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value)
{
    const std::wstring file = win32::WidePath(AbsolutePath(path));
    return WritePrivateProfileStringW(win32::Wide(section).c_str(), win32::Wide(key).c_str(),
                                      win32::Wide(value).c_str(), file.c_str()) != 0;
}

}  // namespace platform
