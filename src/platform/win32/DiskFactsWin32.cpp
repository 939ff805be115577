#include "platform/DiskFacts.h"

#include "platform/BlockDevice.h"
#include "platform/win32/Wide.h"
#include "platform/win32/WindowsDisks.h"

#include <windows.h>
#include <initguid.h>
#include <winioctl.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace platform {
namespace {

// Not in every SDK's headers: the disk attributes query (offline, read-only).
constexpr DWORD kGetDiskAttributes = CTL_CODE(IOCTL_DISK_BASE, 0x003c, METHOD_BUFFERED, FILE_ANY_ACCESS);
struct DiskAttributes {
    DWORD Version;
    DWORD Reserved1;
    DWORDLONG Attributes;
};

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit Handle(const std::wstring& path)
        : h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                        nullptr))
    {
    }
    ~Handle()
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool ok() const { return h != INVALID_HANDLE_VALUE; }
    template <typename T>
    bool Ask(DWORD code, T& out, const void* in = nullptr, DWORD inSize = 0) const
    {
        DWORD bytes = 0;
        return DeviceIoControl(h, code, const_cast<void*>(in), inSize, &out, sizeof out, &bytes, nullptr) != 0;
    }
};

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

void ReadLayout(const Handle& disk, win32::RawDisk& raw)
{
    std::vector<std::uint8_t> buffer(0x3900);
    DWORD bytes = 0;
    while (!DeviceIoControl(disk.h, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, buffer.data(),
                            static_cast<DWORD>(buffer.size()), &bytes, nullptr)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() > (16u << 20))
            return;
        buffer.resize(buffer.size() + 14400);
    }
    const auto* layout = reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    const std::size_t room = (bytes - offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry)) / sizeof(PARTITION_INFORMATION_EX);
    raw.layoutRead = true;
    raw.layoutStyle = static_cast<int>(layout->PartitionStyle);
    const std::size_t count = std::min<std::size_t>(layout->PartitionCount, room);
    for (std::size_t i = 0; i < count; ++i) {
        const PARTITION_INFORMATION_EX& e = layout->PartitionEntry[i];
        win32::RawPartition p;
        p.style = static_cast<int>(e.PartitionStyle);
        p.number = e.PartitionNumber;
        p.offset = static_cast<std::uint64_t>(e.StartingOffset.QuadPart);
        p.length = static_cast<std::uint64_t>(e.PartitionLength.QuadPart);
        if (e.PartitionStyle == PARTITION_STYLE_MBR) {
            p.mbrType = e.Mbr.PartitionType;
            p.bootIndicator = e.Mbr.BootIndicator != FALSE;
        } else if (e.PartitionStyle == PARTITION_STYLE_GPT) {
            p.gptType = GuidText(e.Gpt.PartitionType);
        }
        raw.partitions.push_back(p);
    }
}

std::vector<win32::RawDisk> ReadDisks()
{
    std::vector<win32::RawDisk> disks;
    const HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return disks;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA item {};
        item.cbSize = sizeof item;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, index, &item))
            break;  // ERROR_NO_MORE_ITEMS, or nothing more to be had
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &item, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        std::vector<std::uint8_t> detailBytes(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBytes.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &item, detail, size, nullptr, nullptr))
            continue;
        const Handle disk(detail->DevicePath);
        if (!disk.ok())
            continue;
        win32::RawDisk raw;
        STORAGE_HOTPLUG_INFO hotplug {};
        raw.hotplugRead = disk.Ask(IOCTL_STORAGE_GET_HOTPLUG_INFO, hotplug);
        raw.deviceHotplug = hotplug.DeviceHotplug != 0;
        raw.mediaRemovable = hotplug.MediaRemovable != 0;
        STORAGE_DEVICE_NUMBER number {};
        if (disk.Ask(IOCTL_STORAGE_GET_DEVICE_NUMBER, number))
            raw.deviceNumber = number.DeviceNumber;
        ReadLayout(disk, raw);
        DiskAttributes attributes {};
        attributes.Version = sizeof attributes;
        if (disk.Ask(kGetDiskAttributes, attributes))
            raw.attributes = attributes.Attributes;
        DISK_GEOMETRY_EX geometry {};
        if (disk.Ask(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, geometry)) {
            raw.size = static_cast<std::uint64_t>(geometry.DiskSize.QuadPart);
            raw.bytesPerSector = geometry.Geometry.BytesPerSector;
        }
        STORAGE_PROPERTY_QUERY query {};
        query.PropertyId = StorageDeviceProperty;
        query.QueryType = PropertyStandardQuery;
        std::vector<std::uint8_t> descriptor(551);
        reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(descriptor.data())->Size = 551;
        DWORD bytes = 0;
        if (DeviceIoControl(disk.h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, descriptor.data(),
                            static_cast<DWORD>(descriptor.size()), &bytes, nullptr)) {
            const auto* d = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(descriptor.data());
            raw.productRead = true;
            if (d->ProductIdOffset != 0 && d->ProductIdOffset < bytes) {
                const char* text = reinterpret_cast<const char*>(descriptor.data()) + d->ProductIdOffset;
                raw.hasProduct = true;
                raw.product.assign(text, strnlen(text, bytes - d->ProductIdOffset));
            }
        }
        disks.push_back(std::move(raw));
    }
    SetupDiDestroyDeviceInfoList(set);
    return disks;
}

std::vector<win32::RawVolume> ReadVolumes()
{
    std::vector<win32::RawVolume> volumes;
    wchar_t name[MAX_PATH + 1] = {};
    const HANDLE find = FindFirstVolumeW(name, MAX_PATH);
    if (find == INVALID_HANDLE_VALUE)
        return volumes;
    do {
        win32::RawVolume v;
        v.name = win32::Narrow(name);
        wchar_t label[MAX_PATH + 1] = {};
        wchar_t fs[MAX_PATH + 1] = {};
        DWORD serial = 0, component = 0, flags = 0;
        if (GetVolumeInformationW(name, label, MAX_PATH, &serial, &component, &flags, fs, MAX_PATH)) {
            v.infoRead = true;
            v.label = win32::Narrow(label);
            v.serialNumber = serial;
            v.maxComponentLength = component;
            v.fileSystemFlags = flags;
            v.fileSystem = win32::Narrow(fs);
        }
        wchar_t paths[MAX_PATH + 1] = {};
        DWORD length = 0;
        if (GetVolumePathNamesForVolumeNameW(name, paths, MAX_PATH, &length) && paths[0] != L'\0')
            v.mountPath = win32::Narrow(paths);
        v.driveType = GetDriveTypeW(name);
        ULARGE_INTEGER toCaller {}, total {}, free {};
        if (GetDiskFreeSpaceExW(name, &toCaller, &total, &free)) {
            v.spaceRead = true;
            v.freeToCaller = toCaller.QuadPart;
            v.totalBytes = total.QuadPart;
            v.freeBytes = free.QuadPart;
        }
        std::wstring device = name;
        if (!device.empty() && device.back() == L'\\')
            device.pop_back();
        const Handle volume(device);
        v.opened = volume.ok();
        if (!v.opened) {
            v.openError = GetLastError();
        } else {
            STORAGE_DEVICE_NUMBER number {};
            if (volume.Ask(IOCTL_STORAGE_GET_DEVICE_NUMBER, number)) {
                v.numberRead = true;
                v.deviceType = number.DeviceType;
                v.deviceNumber = number.DeviceNumber;
                v.partitionNumber = number.PartitionNumber;
            }
            PARTITION_INFORMATION_EX partition {};
            if (volume.Ask(IOCTL_DISK_GET_PARTITION_INFO_EX, partition))
                v.startOffset = static_cast<std::uint64_t>(partition.StartingOffset.QuadPart);
        }
        volumes.push_back(std::move(v));
    } while (FindNextVolumeW(find, name, MAX_PATH));
    FindVolumeClose(find);
    return volumes;
}

// The file system of an image's first sector, named as the rest of the
// program names them.
void ProbeBootSector(const std::string& path, VolumeFacts& facts)
{
    OpenResult open = OpenBlockDevice(path);
    std::uint8_t sector[512] = {};
    if (!open.device || open.device->ReadAt(0, sector, sizeof sector).bytes != sizeof sector)
        return;
    if (std::memcmp(sector + 3, "NTFS    ", 8) == 0)
        facts.fsType = "ntfs";
    else if (std::memcmp(sector + 3, "EXFAT   ", 8) == 0)
        facts.fsType = "exfat";
    else if (std::memcmp(sector + 0x52, "FAT32   ", 8) == 0) {
        facts.fsType = "vfat";
        facts.fsVersion = "FAT32";
    }
}

}  // namespace

SystemDevices ReadSystemDevices()
{
    return win32::FactsFromWindows(ReadDisks(), ReadVolumes());
}

SystemDevices ReadSystemDevices(const std::vector<std::string>&)
{
    return ReadSystemDevices();
}

std::vector<std::string> ListBlockNames()
{
    return {};
}

OtherVolume ProbeImageFile(const std::string& path)
{
    OtherVolume image;
    image.path = path;
    WIN32_FILE_ATTRIBUTE_DATA data {};
    if (GetFileAttributesExW(win32::WidePath(path).c_str(), GetFileExInfoStandard, &data))
        image.bytes = (std::uint64_t {data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    ProbeBootSector(path, image.volume);
    return image;
}

}  // namespace platform
