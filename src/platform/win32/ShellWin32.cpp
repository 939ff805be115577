#include "platform/Shell.h"

#include "platform/Process.h"
#include "platform/Shared.h"
#include "platform/win32/Wide.h"
#include "platform/win32/WindowsDisks.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cctype>
#include <map>
#include <mutex>

namespace platform {
namespace {

// The processes StartProgram started, by id, for EndProgram.
std::mutex g_childLock;
std::map<int, HANDLE> g_children;

std::string SpecialFolder(int folder)
{
    wchar_t path[MAX_PATH + 1] = {};
    if (!SHGetSpecialFolderPathW(nullptr, path, folder, FALSE))
        return {};
    return win32::Narrow(path);
}

// Edge, when installed where Windows puts it.
std::wstring EdgePath()
{
    for (const int folder : {CSIDL_PROGRAM_FILESX86, CSIDL_PROGRAM_FILES}) {
        const std::string base = SpecialFolder(folder);
        if (base.empty())
            continue;
        const std::wstring path = win32::Wide(base) + L"\\Microsoft\\Edge\\Application\\msedge.exe";
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return path;
    }
    return {};
}

int ShellCode(HINSTANCE result)
{
    const auto code = reinterpret_cast<INT_PTR>(result);
    return code > 32 ? 0 : static_cast<int>(code);
}

}  // namespace

DesktopUser FindDesktopUser()
{
    DesktopUser user;
    wchar_t name[256] = {};
    DWORD size = 256;
    if (GetEnvironmentVariableW(L"USERNAME", name, size) != 0)
        user.name = win32::Narrow(name);
    user.home = SpecialFolder(CSIDL_PROFILE);
    user.known = !user.home.empty();
    return user;
}

std::string EnterUserDataFolder()
{
    const std::string base = SpecialFolder(CSIDL_LOCAL_APPDATA);
    if (base.empty())
        return "";
    const std::string folder = base + "\\Quenlar";
    const std::wstring wide = win32::WidePath(folder);
    if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return "";
    return SetCurrentDirectoryW(wide.c_str()) ? folder : "";
}

std::string UserFolderPath(const DesktopUser&, UserFolder folder)
{
    return SpecialFolder(folder == UserFolder::Desktop ? CSIDL_DESKTOPDIRECTORY
                         : folder == UserFolder::Home  ? CSIDL_PROFILE
                                                       : CSIDL_PERSONAL);
}

int OpenWithShell(const std::string& path)
{
    const std::wstring wide = win32::WidePath(path);
    if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES)
        return 2;
    return ShellCode(ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
}

bool HasDesktopSession()
{
    // A service or a session without a desktop has no visible window station.
    USEROBJECTFLAGS flags {};
    const HWINSTA station = GetProcessWindowStation();
    return station != nullptr &&
           GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

int OpenInBrowser(const std::string& url, std::string& redirectFile)
{
    redirectFile.clear();
    // The address carries the run's secret: it goes into a file in the
    // user's temporary folder, not onto a command line others can read.
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n > MAX_PATH)
        return 31;
    const std::string name = shared::RandomFileName("quenlar-", ".html");
    if (name.empty())
        return 31;
    const std::string file = win32::Narrow(std::wstring_view(temp, n)) + name;
    if (!WritePrivateFile(file, shared::RedirectPage(url)))
        return 31;
    redirectFile = file;
    const std::wstring wideFile = win32::Wide(file);
    // Edge as an app window when it is there, else the default browser.
    const std::wstring edge = EdgePath();
    if (!edge.empty()) {
        std::wstring fileUrl = L"file:///" + wideFile;
        for (wchar_t& c : fileUrl) {
            if (c == L'\\')
                c = L'/';
        }
        const std::wstring arguments = L"--app=\"" + fileUrl + L"\"";
        if (ShellCode(ShellExecuteW(nullptr, L"open", edge.c_str(), arguments.c_str(), nullptr, SW_SHOWNORMAL)) == 0)
            return 0;
    }
    return ShellCode(ShellExecuteW(nullptr, L"open", wideFile.c_str(), nullptr, nullptr, SW_SHOWNORMAL)) == 0 ? 0 : 31;
}

RunningSystem FindRunningSystem()
{
    RunningSystem system;
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    if (n >= 3 && folder[1] == L':') {
        system.mountPath = win32::Narrow(std::wstring_view(folder, 3));
        system.mountPath[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(system.mountPath[0])));
    }
    // The version as the kernel keeps it: GetVersionEx answers what the
    // program's manifest names, not what runs.
    using Numbers = void(WINAPI*)(DWORD*, DWORD*, DWORD*);
    DWORD major = 0, minor = 0, build = 0;
    if (const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
        if (const auto get = reinterpret_cast<Numbers>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetNtVersionNumbers"))))
            get(&major, &minor, &build);
    }
    system.mark = win32::SystemMark(major, minor);
    return system;
}

std::string ProgramFileName(const std::string& name)
{
    return name + ".exe";
}

bool DriveLetters(std::vector<std::string>& letters)
{
    // GetLogicalDriveStringsA: "C:\\", a zero, "D:\\", a zero, …; each
    // entry's first character, at most 26.
    char roots[261] = {};
    const DWORD n = GetLogicalDriveStringsA(260, roots);
    letters.clear();
    for (DWORD at = 0; n != 0 && n <= 260 && at + 3 < n + 1 && letters.size() < 26; at += 4) {
        if (roots[at] == '\0')
            break;
        letters.emplace_back(1, roots[at]);
    }
    return true;
}

int StartProgram(const std::string& program)
{
    const std::wstring wide = win32::WidePath(program);
    if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES)
        return 0;
    // No verb, no parameters, no folder, shown normally, the process kept.
    SHELLEXECUTEINFOW info {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = nullptr;
    info.lpFile = wide.c_str();
    info.lpParameters = L"";
    info.nShow = SW_SHOW;
    if (!ShellExecuteExW(&info) || info.hProcess == nullptr)
        return 0;
    const int id = static_cast<int>(GetProcessId(info.hProcess));
    std::lock_guard<std::mutex> lock(g_childLock);
    g_children[id] = info.hProcess;
    return id;
}

bool EndProgram(int processId)
{
    HANDLE process = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_childLock);
        const auto it = g_children.find(processId);
        if (it == g_children.end())
            return false;
        process = it->second;
        g_children.erase(it);
    }
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    if (running) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
    return running;
}

std::string ProgramFolder()
{
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size())
        return ".\\";
    path.resize(n);
    const std::size_t slash = path.find_last_of(L"\\/");
    return win32::Narrow(slash == std::wstring::npos ? L".\\" : path.substr(0, slash + 1));
}

}  // namespace platform
