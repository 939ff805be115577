#include "platform/Files.h"

#include "platform/win32/Wide.h"

#include <windows.h>
#undef MoveFile  // the macro for MoveFileW would rename ours

#include <algorithm>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace platform {

bool FileReadable(const std::string& path)
{
    const HANDLE h = CreateFileW(win32::WidePath(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

bool IsFolder(const std::string& path)
{
    const DWORD attributes = GetFileAttributesW(win32::WidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool RemoveFile(const std::string& path)
{
    return DeleteFileW(win32::WidePath(path).c_str()) != 0;
}

bool MoveFile(const std::string& from, const std::string& to)
{
    return MoveFileExW(win32::WidePath(from).c_str(), win32::WidePath(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool MakeFolder(const std::string& path)
{
    const std::wstring wide = win32::WidePath(path);
    if (CreateDirectoryW(wide.c_str(), nullptr) != 0)
        return true;
    DWORD error = GetLastError();
    if (error == ERROR_PATH_NOT_FOUND) {
        // Callers make a path's folders one by one, splitting it at '/'; a
        // destination given with '\' comes as one piece: its missing
        // parents are made here.
        const std::size_t slash = wide.find_last_of(L'\\');
        if (slash != std::wstring::npos && slash > 0 && wide[slash - 1] != L':' &&
            MakeFolder(win32::Narrow(std::wstring_view(wide).substr(0, slash)))) {
            if (CreateDirectoryW(wide.c_str(), nullptr) != 0)
                return true;
            error = GetLastError();
        }
    }
    return error == ERROR_ALREADY_EXISTS && IsFolder(path);
}

AppendFile::~AppendFile()
{
    Close();
}

bool AppendFile::Open(const std::string& path)
{
    Close();
    // Others may read the log while it is written, and rename it.
    const HANDLE h = CreateFileW(win32::WidePath(path).c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    m_fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_BINARY);
    if (m_fd < 0)
        CloseHandle(h);
    return m_fd >= 0;
}

void AppendFile::Close()
{
    if (m_fd >= 0)
        _close(m_fd);
    m_fd = -1;
}

std::uint64_t AppendFile::Size() const
{
    if (m_fd < 0)
        return 0;
    LARGE_INTEGER size {};
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(m_fd));
    return GetFileSizeEx(h, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

std::size_t AppendFile::Write(const void* data, std::size_t length)
{
    if (m_fd < 0)
        return 0;
    const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(m_fd));
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < length) {
        DWORD wrote = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
        if (!WriteFile(h, p + done, want, &wrote, nullptr) || wrote == 0)
            break;
        done += wrote;
    }
    // Each line reaches the disk before the next is written: the log is for
    // rare events, and must outlive a crash of the machine.
    FlushFileBuffers(h);
    return done;
}

std::uint32_t CurrentThreadId()
{
    return static_cast<std::uint32_t>(GetCurrentThreadId());
}

}  // namespace platform
