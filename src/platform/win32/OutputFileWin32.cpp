#include "platform/OutputFile.h"

#include "platform/win32/Wide.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <string>
#include <fcntl.h>
#include <io.h>

namespace platform {
namespace {

HANDLE HandleOf(int fd)
{
    return fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
}

// The disk number and partition number a device or the volume of a folder
// lies on; false when the system does not tell.
bool DeviceNumberOf(const std::wstring& device, STORAGE_DEVICE_NUMBER& number)
{
    const HANDLE h = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD bytes = 0;
    const bool ok = DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &bytes,
                                    nullptr) != 0;
    CloseHandle(h);
    return ok;
}

}  // namespace

OutputFile::~OutputFile()
{
    Close();
}

CreateResult OutputFile::CreateNew(const std::string& path)
{
    Close();
    // CREATE_NEW: an existing name is never opened, let alone written over;
    // the caller moves on to the next name.
    const HANDLE h = CreateFileW(win32::WidePath(path).c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? CreateResult::Exists
                                                                           : CreateResult::Failed;
    }
    m_fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (m_fd < 0) {
        CloseHandle(h);
        return CreateResult::Failed;
    }
    return CreateResult::Created;
}

std::size_t OutputFile::Write(const void* data, std::size_t length)
{
    const HANDLE h = HandleOf(m_fd);
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    m_diskFull = false;
    while (h != INVALID_HANDLE_VALUE && done < length) {
        DWORD wrote = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
        if (!WriteFile(h, p + done, want, &wrote, nullptr) || wrote == 0) {
            const DWORD error = GetLastError();
            m_diskFull = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
            break;
        }
        done += wrote;
    }
    return done;
}

void OutputFile::SetTime(std::uint64_t fileTime)
{
    const HANDLE h = HandleOf(m_fd);
    if (h == INVALID_HANDLE_VALUE || fileTime == 0)
        return;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(fileTime);
    ft.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SetFileTime(h, nullptr, &ft, &ft);
}

void OutputFile::Close()
{
    if (m_fd >= 0)
        _close(m_fd);
    m_fd = -1;
}

RenameResult RenameNoReplace(const std::string& from, const std::string& to)
{
    // Without MOVEFILE_REPLACE_EXISTING the move fails on an existing name.
    if (MoveFileExW(win32::WidePath(from).c_str(), win32::WidePath(to).c_str(), 0))
        return RenameResult::Renamed;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? RenameResult::Exists : RenameResult::Failed;
}

bool PathExists(const std::string& path)
{
    return GetFileAttributesW(win32::WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DestinationOnSource(const std::string& source, const std::string& destination)
{
    // The destination's volume, as a device path without its trailing '\'.
    const std::wstring folder = win32::WidePath(destination);
    wchar_t mount[MAX_PATH + 1] = {};
    wchar_t volume[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(folder.c_str(), mount, MAX_PATH) ||
        !GetVolumeNameForVolumeMountPointW(mount, volume, MAX_PATH))
        return false;
    std::wstring volumeDevice = volume;
    if (!volumeDevice.empty() && volumeDevice.back() == L'\\')
        volumeDevice.pop_back();
    const std::wstring sourceWide = win32::WidePath(source);
    const DWORD attributes = GetFileAttributesW(sourceWide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;  // an image file: writing beside it changes nothing of it
    STORAGE_DEVICE_NUMBER src {};
    STORAGE_DEVICE_NUMBER dst {};
    if (!DeviceNumberOf(sourceWide, src) || !DeviceNumberOf(volumeDevice, dst))
        return false;
    // The same disk: the whole disk holds every partition of it.
    return src.DeviceType == dst.DeviceType && src.DeviceNumber == dst.DeviceNumber &&
           (src.PartitionNumber == 0 || dst.PartitionNumber == 0 || src.PartitionNumber == dst.PartitionNumber);
}

bool IsAbsolutePath(const std::string& path)
{
    const bool drive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
                       (path[2] == '\\' || path[2] == '/');
    const bool share = path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
    return drive || share;
}

bool FreeBytesIn(const std::string& folder, std::uint64_t& bytes, std::uint64_t& unit)
{
    const std::wstring wide = win32::WidePath(folder);
    ULARGE_INTEGER toCaller {};
    if (!GetDiskFreeSpaceExW(wide.c_str(), &toCaller, nullptr, nullptr))
        return false;
    bytes = toCaller.QuadPart;
    // The cluster, from the root of the volume the folder is on.
    unit = 4096;
    wchar_t root[MAX_PATH + 1] {};
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    if (GetVolumePathNameW(wide.c_str(), root, MAX_PATH) &&
        GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
        sectorsPerCluster != 0 && bytesPerSector != 0)
        unit = std::uint64_t {sectorsPerCluster} * bytesPerSector;
    return true;
}

bool CanCreateIn(const std::string& folder)
{
    static std::atomic<unsigned> counter {0};
    const std::string probe = folder + (folder.empty() || (folder.back() != '\\' && folder.back() != '/') ? "\\" : "") +
                              ".quenlar-probe-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
    const HANDLE h = CreateFileW(win32::WidePath(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

}  // namespace platform
