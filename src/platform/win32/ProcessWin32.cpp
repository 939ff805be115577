#include "platform/Process.h"

#include "platform/win32/Wide.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <vector>

namespace platform {
namespace {

void (*g_handler)() = nullptr;
LONG g_interrupts = 0;

BOOL WINAPI HandleConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    // The second Ctrl-C takes the default action and ends the process.
    if (InterlockedIncrement(&g_interrupts) > 1)
        return FALSE;
    if (g_handler)
        g_handler();
    return TRUE;
}

// The name of a lock's mutex: the lock file's own name, so that a lock on
// the machine's instance file is the named mutex of a running instance.
std::wstring MutexName(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    std::wstring name = win32::Wide(slash == std::string::npos ? path : path.substr(slash + 1));
    for (wchar_t& c : name) {
        if (c == L'\\')
            c = L'_';
    }
    return name;
}

}  // namespace

std::uint32_t CurrentProcessId()
{
    return static_cast<std::uint32_t>(GetCurrentProcessId());
}

ProcessLock::~ProcessLock()
{
    Release();
}

bool ProcessLock::Acquire(const std::string& path, const std::string& holder)
{
    Release();
    // Opened with read sharing only for the lock's life: another process can
    // read who holds it, and cannot take it or write it.
    const HANDLE h = CreateFileW(win32::WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            std::string text;
            m_holder = ReadSmallFile(path, text, 511) && !text.empty() ? text : "another process";
            while (!m_holder.empty() && (m_holder.back() == '\n' || m_holder.back() == '\r' || m_holder.back() == '\0'))
                m_holder.pop_back();
        } else {
            m_holder = "cannot open " + path + ": " + win32::ErrorText(error);
        }
        return false;
    }
    m_fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (m_fd < 0) {
        CloseHandle(h);
        m_holder = "cannot open " + path;
        return false;
    }
    // The running instance is also marked by a named mutex of the lock's name.
    m_mutex = CreateMutexW(nullptr, FALSE, MutexName(path).c_str());
    m_holder = holder;
    const std::string line = holder + "\n";
    DWORD wrote = 0;
    SetEndOfFile(h);
    WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &wrote, nullptr);
    FlushFileBuffers(h);
    return true;
}

void ProcessLock::Release()
{
    if (m_fd >= 0)
        _close(m_fd);
    m_fd = -1;
    if (m_mutex != nullptr)
        CloseHandle(static_cast<HANDLE>(m_mutex));
    m_mutex = nullptr;
}

std::string PrivateRunFolder(std::string* problem)
{
    if (problem != nullptr)
        problem->clear();
    if (const char* folder = std::getenv("QUENLAR_LOCK_DIR"); folder != nullptr && *folder != '\0')
        return folder;
    // The user's own temporary folder: its access list admits the user (and
    // the system) alone.
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n > MAX_PATH) {
        if (problem != nullptr)
            *problem = "the system names no temporary folder";
        return {};
    }
    std::string folder = win32::Narrow(std::wstring_view(temp, n));
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    return folder;
}

std::string MachineLockPath(const std::string& name, std::string* problem)
{
    const std::string folder = PrivateRunFolder(problem);
    return folder.empty() ? std::string() : folder + "\\" + name;
}

bool RunsPrivileged()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation {};
    DWORD size = 0;
    const bool elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) && elevation.TokenIsElevated;
    CloseHandle(token);
    return elevated;
}

bool MakeOwnerOnlyFile(const std::string&)
{
    // A new file takes the access list of its folder; the program's files
    // live in the folder the user chose to run it in.
    return true;
}

bool RandomBytes(void* out, std::size_t n)
{
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

bool WritePrivateFile(const std::string& path, const std::string& text)
{
    // In the user's own folders a new file is the user's alone.
    const std::wstring wide = win32::WidePath(path);
    DeleteFileW(wide.c_str());
    const HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD wrote = 0;
    const bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) && wrote == text.size();
    CloseHandle(h);
    if (!ok)
        DeleteFileW(wide.c_str());
    return ok;
}

bool ReadSmallFile(const std::string& path, std::string& text, std::size_t limit)
{
    const HANDLE h = CreateFileW(win32::WidePath(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    text.assign(limit, '\0');
    std::size_t done = 0;
    while (done < limit) {
        DWORD got = 0;
        if (!ReadFile(h, text.data() + done, static_cast<DWORD>(limit - done), &got, nullptr) || got == 0)
            break;
        done += got;
    }
    CloseHandle(h);
    text.resize(done);
    return true;
}

bool StderrIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void OnInterrupt(void (*handler)())
{
    g_handler = handler;
    SetConsoleCtrlHandler(HandleConsoleEvent, TRUE);
}

std::string CanonicalPath(const std::string& path)
{
    const std::wstring wide = win32::WidePath(path);
    const HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0 || n >= buffer.size())
        return {};
    std::wstring result(buffer.data(), n);
    if (result.rfind(L"\\\\?\\UNC\\", 0) == 0)
        result = L"\\\\" + result.substr(8);
    else if (result.rfind(L"\\\\?\\", 0) == 0 && result.size() >= 6 && result[5] == L':')
        result = result.substr(4);
    return win32::Narrow(result);
}

std::string AbsolutePath(const std::string& path)
{
    if (path.empty())
        return path;
    const std::wstring wide = win32::Wide(path);
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0 || n >= buffer.size())
        return path;
    return win32::Narrow(std::wstring_view(buffer.data(), n));
}

}  // namespace platform
