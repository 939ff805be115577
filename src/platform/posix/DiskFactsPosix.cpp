// Block devices from sysfs, partition tables and file systems from libblkid,
// mounts from /proc/self/mountinfo, free space from statvfs.
#include "platform/DiskFacts.h"

#include "platform/posix/MountTable.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <utility>

namespace platform {
namespace {

const std::string kSysBlock = "/sys/block/";

// A sysfs attribute without its line feed; false when it cannot be read.
bool ReadAttribute(const std::string& path, std::string& text)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::getline(in, text);
    return !in.bad();
}

std::uint64_t ReadNumber(const std::string& path, std::uint64_t fallback = 0)
{
    std::string text;
    if (!ReadAttribute(path, text) || text.empty())
        return fallback;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    return end == text.c_str() ? fallback : v;
}

bool ReadDeviceNumber(const std::string& path, std::uint32_t& major, std::uint32_t& minor)
{
    std::string text;
    unsigned a = 0, b = 0;
    if (!ReadAttribute(path, text) || std::sscanf(text.c_str(), "%u:%u", &a, &b) != 2)
        return false;
    major = a;
    minor = b;
    return true;
}

std::vector<std::string> ListFolder(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

using ProbePtr = std::unique_ptr<std::remove_pointer_t<blkid_probe>, void (*)(blkid_probe)>;

ProbePtr OpenProbe(const std::string& path)
{
    return ProbePtr(blkid_new_probe_from_filename(path.c_str()), blkid_free_probe);
}

std::string ProbeValue(blkid_probe probe, const char* name)
{
    const char* data = nullptr;
    std::size_t length = 0;
    if (blkid_probe_lookup_value(probe, name, &data, &length) != 0 || data == nullptr)
        return {};
    std::string value(data, length);
    while (!value.empty() && value.back() == '\0')
        value.pop_back();
    return value;
}

// The file system on `path`; false when there is none libblkid knows or the
// device cannot be read (then `openError` says why).
bool ProbeFileSystem(const std::string& path, VolumeFacts& volume, int* openError = nullptr)
{
    errno = 0;
    ProbePtr probe = OpenProbe(path);
    if (!probe) {
        if (openError != nullptr)
            *openError = errno != 0 ? errno : EIO;
        return false;
    }
    blkid_probe_enable_partitions(probe.get(), 0);
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE |
                                                       BLKID_SUBLKS_VERSION | BLKID_SUBLKS_USAGE);
    if (blkid_do_safeprobe(probe.get()) != 0)
        return false;
    if (ProbeValue(probe.get(), "USAGE") != "filesystem")
        return false;
    volume.fsType = ProbeValue(probe.get(), "TYPE");
    volume.fsVersion = ProbeValue(probe.get(), "VERSION");
    volume.label = ProbeValue(probe.get(), "LABEL");
    volume.uuid = ProbeValue(probe.get(), "UUID");
    return !volume.fsType.empty();
}

// The disk's partition table. tableRead stays false when the disk cannot be read.
void ProbeTable(DeviceFacts& disk)
{
    errno = 0;
    ProbePtr probe = OpenProbe(disk.node);
    if (!probe) {
        disk.openError = errno != 0 ? errno : EIO;
        return;
    }
    blkid_probe_enable_superblocks(probe.get(), 0);
    blkid_probe_enable_partitions(probe.get(), 1);
    blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
    // The device could be opened; no list means no table libblkid knows.
    disk.tableRead = true;
    blkid_partlist list = blkid_probe_get_partitions(probe.get());
    if (list == nullptr)
        return;
    blkid_parttable table = blkid_partlist_get_table(list);
    if (table == nullptr)
        return;
    const char* style = blkid_parttable_get_type(table);
    disk.tableStyle = style != nullptr ? style : "";
    const int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count; ++i) {
        blkid_partition part = blkid_partlist_get_partition(list, i);
        if (part == nullptr)
            continue;
        blkid_parttable own = blkid_partition_get_table(part);
        // Entries of a table nested in a partition (a BSD label) are not the disk's.
        if (own != table && !(blkid_partition_is_logical(part) && disk.tableStyle == "dos"))
            continue;
        TableEntry entry;
        const int number = blkid_partition_get_partno(part);
        const blkid_loff_t start = blkid_partition_get_start(part);
        const blkid_loff_t size = blkid_partition_get_size(part);
        if (number <= 0 || start < 0 || size < 0)
            continue;
        entry.number = static_cast<std::uint32_t>(number);
        entry.start = static_cast<std::uint64_t>(start);
        entry.size = static_cast<std::uint64_t>(size);
        entry.container = blkid_partition_is_extended(part) != 0;
        if (disk.tableStyle == "gpt") {
            const char* type = blkid_partition_get_type_string(part);
            entry.gptType = type != nullptr ? type : "";
            std::transform(entry.gptType.begin(), entry.gptType.end(), entry.gptType.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        } else {
            entry.mbrType = static_cast<std::uint32_t>(blkid_partition_get_type(part)) & 0xFF;
            entry.active = (blkid_partition_get_flags(part) & 0x80) != 0;
        }
        disk.table.push_back(entry);
    }
    std::stable_sort(disk.table.begin(), disk.table.end(),
                     [](const TableEntry& a, const TableEntry& b) { return a.number < b.number; });
    // The boot sector of a FAT or exFAT volume passes for an empty MBR.
    if (disk.table.empty())
        disk.tableStyle.clear();
}

struct Mount {
    std::string path;
    bool readOnly = false;
    std::string fsType;  // as mounted; "fuseblk" says nothing of the file system
};

struct Mounts {
    std::map<std::pair<std::uint32_t, std::uint32_t>, Mount> byDevice;  // first mount of each block device
    std::vector<std::pair<std::string, Mount>> images;                   // image files, first mount each
};

Mounts ReadMounts()
{
    Mounts mounts;
    for (const MountEntry& entry : ReadMountTable()) {
        Mount mount {entry.point, entry.options == "ro" || StartsWith(entry.options, "ro,"), entry.fsType};
        if (entry.major != 0) {
            mounts.byDevice.emplace(std::make_pair(entry.major, entry.minor), mount);
            continue;
        }
        // FUSE mounts (ntfs-3g, exfat-fuse) of an image file or a device node.
        const std::string& source = entry.source;
        struct stat st {};
        if (source.empty() || source[0] != '/' || ::stat(source.c_str(), &st) != 0)
            continue;
        if (S_ISBLK(st.st_mode)) {
            mounts.byDevice.emplace(std::make_pair(::major(st.st_rdev), ::minor(st.st_rdev)), mount);
        } else if (S_ISREG(st.st_mode)) {
            const bool known = std::any_of(mounts.images.begin(), mounts.images.end(),
                                           [&](const auto& image) { return image.first == source; });
            if (!known)
                mounts.images.emplace_back(source, mount);
        }
    }
    return mounts;
}

void AddMount(const Mount& mount, VolumeFacts& volume)
{
    volume.mountPath = mount.path;
    volume.mountedReadOnly = mount.readOnly;
    struct statvfs st {};
    if (::statvfs(mount.path.c_str(), &st) != 0)
        return;
    volume.spaceKnown = true;
    volume.freeToCaller = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
    volume.totalBytes = static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize;
    volume.freeBytes = static_cast<std::uint64_t>(st.f_bfree) * st.f_frsize;
    volume.nameMax = static_cast<std::uint32_t>(st.f_namemax);
}

// The file system on a device and its mount.
void ReadVolume(DeviceFacts& device, const Mounts& mounts)
{
    device.hasVolume = ProbeFileSystem(device.node, device.volume, &device.openError);
    const auto mount = mounts.byDevice.find({device.major, device.minor});
    if (mount != mounts.byDevice.end()) {
        // A device we may not read ourselves still tells its type by its mount.
        if (!device.hasVolume && !StartsWith(mount->second.fsType, "fuse"))
            device.volume.fsType = mount->second.fsType;
        device.hasVolume = true;
        AddMount(mount->second, device.volume);
    }
}

bool IsOptical(const std::string& name)
{
    std::string type;
    return StartsWith(name, "sr") || (ReadAttribute(kSysBlock + name + "/device/type", type) && type == "5");
}

bool IsVirtualVolume(const std::string& name)
{
    return StartsWith(name, "dm-") || StartsWith(name, "md");
}

bool IsSkipped(const std::string& name)
{
    return StartsWith(name, "ram") || StartsWith(name, "zram") || IsOptical(name);
}

bool OnHotplugBus(const std::string& sysPath)
{
    char resolved[PATH_MAX];
    if (::realpath(sysPath.c_str(), resolved) == nullptr)
        return false;
    const std::string path = resolved;
    return path.find("/usb") != std::string::npos || path.find("/firewire") != std::string::npos ||
           path.find("/mmc_host/") != std::string::npos;
}

// The common facts of a disk or partition; false when the device is gone.
bool ReadDevice(const std::string& sysPath, const std::string& name, DeviceFacts& device)
{
    device.name = name;
    device.node = "/dev/" + name;
    if (!ReadDeviceNumber(sysPath + "/dev", device.major, device.minor))
        return false;
    device.size = ReadNumber(sysPath + "/size");
    return true;
}

}  // namespace

std::vector<std::string> ListBlockNames()
{
    return ListFolder(kSysBlock);
}

SystemDevices ReadSystemDevices()
{
    return ReadSystemDevices(ListBlockNames());
}

SystemDevices ReadSystemDevices(const std::vector<std::string>& blockNames)
{
    SystemDevices out;
    const Mounts mounts = ReadMounts();
    for (const std::string& name : blockNames) {
        if (name.empty() || name.find('/') != std::string::npos || name[0] == '.' || IsSkipped(name))
            continue;
        const std::string base = kSysBlock + name;
        DeviceFacts disk;
        if (!ReadDevice(base, name, disk) || disk.size == 0)
            continue;
        if (IsVirtualVolume(name)) {
            ReadVolume(disk, mounts);
            if (disk.hasVolume)
                out.others.push_back({disk.node, disk.volume});
            continue;
        }
        disk.diskSequence = ReadNumber(base + "/diskseq");
        disk.logicalSectorSize = static_cast<std::uint32_t>(ReadNumber(base + "/queue/logical_block_size", 512));
        if (disk.logicalSectorSize < 512 || disk.logicalSectorSize > 65536)
            disk.logicalSectorSize = 512;
        disk.removable = ReadNumber(base + "/removable") != 0;
        disk.hotplug = OnHotplugBus(base);
        disk.readOnly = ReadNumber(base + "/ro") != 0;
        std::string state;
        disk.offline = ReadAttribute(base + "/device/state", state) && state == "offline";
        disk.hasModel = ReadAttribute(base + "/device/model", disk.model) ||
                        ReadAttribute(base + "/device/name", disk.model);

        std::vector<DeviceFacts> parts;
        for (const std::string& child : ListFolder(base)) {
            // Partitions are the subfolders with a partition number.
            const std::uint64_t number = ReadNumber(base + "/" + child + "/partition");
            DeviceFacts part;
            if (!StartsWith(child, name.c_str()) || number == 0 || number > 0xFFFFFFFF ||
                !ReadDevice(base + "/" + child, child, part))
                continue;
            part.disk = name;
            part.partitionNumber = static_cast<std::uint32_t>(number);
            part.start = ReadNumber(base + "/" + child + "/start");
            part.logicalSectorSize = disk.logicalSectorSize;
            ReadVolume(part, mounts);
            parts.push_back(std::move(part));
        }
        std::stable_sort(parts.begin(), parts.end(), [](const DeviceFacts& a, const DeviceFacts& b) {
            return a.partitionNumber < b.partitionNumber;
        });

        ProbeTable(disk);
        // A file system on the whole disk, without a partition table.
        if (parts.empty() && disk.tableStyle.empty())
            ReadVolume(disk, mounts);
        // The disk may have gone while we looked; what was read stays.
        out.disks.push_back(std::move(disk));
        for (DeviceFacts& part : parts)
            out.partitions.push_back(std::move(part));
    }
    for (const auto& [path, mount] : mounts.images) {
        OtherVolume image;
        image.path = path;
        ProbeFileSystem(path, image.volume);
        AddMount(mount, image.volume);
        out.others.push_back(std::move(image));
    }
    return out;
}

OtherVolume ProbeImageFile(const std::string& path)
{
    OtherVolume image;
    image.path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        image.bytes = static_cast<std::uint64_t>(st.st_size);
    ProbeFileSystem(path, image.volume);
    const Mounts mounts = ReadMounts();
    for (const auto& [source, mount] : mounts.images) {
        if (source == path) {
            AddMount(mount, image.volume);
            break;
        }
    }
    return image;
}

}  // namespace platform
