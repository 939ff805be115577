#include "platform/win32/Wide.h"

#include "platform/Text.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cwctype>

namespace platform::win32 {

std::wstring Wide(std::string_view utf8)
{
    const std::u16string units = Utf8ToUtf16(utf8);
    return std::wstring(units.begin(), units.end());
}

std::string Narrow(std::wstring_view utf16)
{
    const std::u16string units(utf16.begin(), utf16.end());
    return Utf16ToUtf8(units);
}

namespace {

bool Reserved(std::wstring_view stem)
{
    static const std::array<std::wstring_view, 4> plain {L"CON", L"PRN", L"AUX", L"NUL"};
    std::wstring upper(stem);
    std::transform(upper.begin(), upper.end(), upper.begin(), [](wchar_t c) { return std::towupper(c); });
    // Windows also ignores trailing spaces of the stem ("NUL .txt").
    while (!upper.empty() && upper.back() == L' ')
        upper.pop_back();
    if (std::find(plain.begin(), plain.end(), upper) != plain.end())
        return true;
    if (upper.size() == 4 && (upper.compare(0, 3, L"COM") == 0 || upper.compare(0, 3, L"LPT") == 0)) {
        const wchar_t d = upper[3];
        // COM1-9, LPT1-9, and the superscript digits Windows takes as well
        return (d >= L'1' && d <= L'9') || d == L'\u00B9' || d == L'\u00B2' || d == L'\u00B3';
    }
    return upper == L"CONIN$" || upper == L"CONOUT$";
}

}  // namespace

std::wstring WindowsSafeName(std::wstring_view name)
{
    std::wstring safe(name);
    for (wchar_t& c : safe) {
        if (c < 0x20 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|' || c == L'?' || c == L'*' ||
            c == L'/' || c == L'\\')
            c = L'_';
    }
    for (auto it = safe.rbegin(); it != safe.rend() && (*it == L'.' || *it == L' '); ++it)
        *it = L'_';
    if (safe == L"." || safe == L"..")
        return safe;
    const std::size_t dot = safe.find(L'.');
    if (Reserved(std::wstring_view(safe).substr(0, dot)))
        safe.insert(dot == std::wstring::npos ? safe.size() : dot, L"_");
    return safe;
}

namespace {

// The names of `wide` after its prefix (a drive, a share, a device), split
// at '\\', each made safe.
std::wstring SafeNames(const std::wstring& wide)
{
    std::size_t at = 0;
    if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) {
        at = 4;
        if (wide.size() >= at + 2 && wide[at + 1] == L':')
            at += 2;  // \\?\C:
        else if (wide.compare(at, 4, L"UNC\\") == 0)
            at = wide.find(L'\\', wide.find(L'\\', at + 4) + 1);
        else
            at = wide.find(L'\\', at);  // \\.\PhysicalDrive0, \\?\Volume{...}
    } else if (wide.rfind(L"\\\\", 0) == 0) {
        at = wide.find(L'\\', wide.find(L'\\', 2) + 1);
    } else if (wide.size() >= 2 && wide[1] == L':') {
        at = 2;
    }
    if (at == std::wstring::npos)
        return wide;
    std::wstring out = wide.substr(0, at);
    while (at < wide.size()) {
        const std::size_t end = wide.find(L'\\', at);
        const std::size_t stop = end == std::wstring::npos ? wide.size() : end;
        out += WindowsSafeName(std::wstring_view(wide).substr(at, stop - at));
        if (end == std::wstring::npos)
            break;
        out += L'\\';
        at = end + 1;
    }
    return out;
}

}  // namespace

std::wstring WidePath(std::string_view path)
{
    // What comes before the first '/' is a path as Windows writes it ('\\'
    // between its names). What follows is joined by the program with '/':
    // found files' names, in which a '\\' is a character of the name and
    // must not become a way into another folder.
    const std::size_t slash = path.find('/');
    std::wstring out = SafeNames(Wide(path.substr(0, slash)));
    if (slash == std::string_view::npos)
        return out;
    std::size_t at = slash + 1;
    while (true) {
        const std::size_t end = path.find('/', at);
        out += L'\\';
        out += WindowsSafeName(Wide(path.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at)));
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    return out;
}

std::string ErrorText(unsigned long error)
{
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = n != 0 ? Narrow(std::wstring_view(text, n)) : "error " + std::to_string(error);
    if (text != nullptr)
        LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out;
}

}  // namespace platform::win32
