#include "platform/BlockDevice.h"

#include "platform/win32/Wide.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace platform {
namespace {

// The medium is gone: removed, the device unplugged, the volume dismounted.
bool IsMediumGone(DWORD error)
{
    switch (error) {
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_MEDIA_CHANGED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_INVALID:
        return true;
    default:
        return false;
    }
}

class HandleDevice final : public BlockDevice {
public:
    HandleDevice(HANDLE handle, std::uint64_t size, std::uint32_t sectorBytes)
        : m_handle(handle), m_size(size), m_sectorBytes(sectorBytes)
    {
    }
    ~HandleDevice() override { CloseHandle(m_handle); }
    HandleDevice(const HandleDevice&) = delete;
    HandleDevice& operator=(const HandleDevice&) = delete;

    ReadResult ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override
    {
        // A disk or volume reads whole sectors at sector offsets only: a
        // read that is not one goes through a buffer of whole sectors.
        if (m_sectorBytes > 1 && (offset % m_sectorBytes != 0 || length % m_sectorBytes != 0)) {
            const std::uint64_t first = offset / m_sectorBytes * m_sectorBytes;
            const std::uint64_t end = (offset + length + m_sectorBytes - 1) / m_sectorBytes * m_sectorBytes;
            std::vector<std::uint8_t> whole(static_cast<std::size_t>(end - first));
            ReadResult r = ReadWhole(first, whole.data(), whole.size());
            const std::size_t skip = static_cast<std::size_t>(offset - first);
            const std::size_t got = r.bytes > skip ? std::min(length, r.bytes - skip) : 0;
            if (got != 0)
                std::memcpy(buffer, whole.data() + skip, got);
            r.bytes = got;
            return r;
        }
        return ReadWhole(offset, buffer, length);
    }

    std::uint64_t Size() const override { return m_size; }

private:
    ReadResult ReadWhole(std::uint64_t offset, void* buffer, std::size_t length)
    {
        auto* out = static_cast<unsigned char*>(buffer);
        std::size_t done = 0;
        while (done < length) {
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
            OVERLAPPED at {};
            const std::uint64_t position = offset + done;
            at.Offset = static_cast<DWORD>(position);
            at.OffsetHigh = static_cast<DWORD>(position >> 32);
            DWORD got = 0;
            if (ReadFile(m_handle, out + done, want, &got, &at)) {
                if (got == 0)
                    break;  // the end of the file
                done += got;
                continue;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF || (error == ERROR_SECTOR_NOT_FOUND && m_size != 0 && position >= m_size))
                break;  // past the end of the device
            return {done, IsMediumGone(error) ? ReadStatus::MediumGone : ReadStatus::Error, static_cast<int>(error)};
        }
        return {done, ReadStatus::Ok, 0};
    }

    HANDLE m_handle;
    std::uint64_t m_size;
    std::uint32_t m_sectorBytes;  // 1 for a file
};

OpenError Classify(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return OpenError::NotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        return OpenError::NoPermission;
    default:
        return OpenError::NotReadable;
    }
}

// Device paths (\\.\C:, \\?\Harddisk0Partition1, \\.\PhysicalDrive0) name
// no file: they have no attributes to ask for.
bool IsDevicePath(const std::wstring& path)
{
    return path.rfind(L"\\\\.\\", 0) == 0 ||
           (path.rfind(L"\\\\?\\", 0) == 0 && !(path.size() >= 7 && path[5] == L':' && path[6] == L'\\'));
}

}  // namespace

OpenResult OpenBlockDevice(const std::string& path)
{
    OpenResult result;
    const std::wstring wide = win32::WidePath(path);
    const bool device = IsDevicePath(wide);
    if (!device) {
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            result.systemError = static_cast<int>(error);
            result.error = Classify(error);
            return result;
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            result.systemError = ERROR_DIRECTORY;
            result.error = OpenError::IsFolder;
            return result;
        }
    }
    // Read access only, sharing read and write: the volume stays in use by
    // the system while it is read, and is never written.
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        result.systemError = static_cast<int>(error);
        result.error = Classify(error);
        return result;
    }
    // A pipe or a console is no volume (and a read from one could wait for ever).
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        result.systemError = ERROR_BAD_DEVICE;
        result.error = OpenError::NotAVolume;
        return result;
    }
    std::uint64_t size = 0;
    std::uint32_t sectorBytes = 1;
    DWORD bytes = 0;
    GET_LENGTH_INFORMATION length {};
    DISK_GEOMETRY geometry {};
    if (device) {
        if (DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &bytes, nullptr))
            size = static_cast<std::uint64_t>(length.Length.QuadPart);
        if (DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &bytes,
                            nullptr) &&
            geometry.BytesPerSector >= 512)
            sectorBytes = geometry.BytesPerSector;
        else
            sectorBytes = 512;
    } else {
        LARGE_INTEGER fileSize {};
        if (GetFileSizeEx(handle, &fileSize))
            size = static_cast<std::uint64_t>(fileSize.QuadPart);
    }
    result.device = std::make_unique<HandleDevice>(handle, size, sectorBytes);
    return result;
}

}  // namespace platform
