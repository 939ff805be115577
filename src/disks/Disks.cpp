#include "disks/Disks.h"

#include "base/Log.h"
#include "found/FoundFile.h"
#include "platform/BlockDevice.h"
#include "platform/DiskFacts.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "volume/BackupBootSector.h"
#include "volume/BootSector.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <cstdlib>
#include <tuple>

namespace disks {
namespace {

using platform::DeviceFacts;
using platform::VolumeFacts;

struct KnownType {
    const char* guid;  // lower case, as libblkid writes it
    const char* name;
    std::uint8_t bootFlag;
};

const KnownType kKnownTypes[] = {
    {"5808c8aa-7e8f-42e0-85d2-e1e90434cfb3", "LDM", 0},
    {"af9b60a0-1431-4f62-bc68-3311714a69ad", "LDM", 0},
    {"c12a7328-f81f-11d2-ba4b-00a0c93ec93b", "EFI", 1},
    {"e3c9e316-0b5c-4db8-817d-f92df00215ae", "MSR", 0},
    {"de94bba4-06d1-4d40-a16a-bfd50179d6ac", "RECOVERY", 0},
};

constexpr std::uint32_t kDynamicMbrType = 0x42;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string WithoutDashes(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c != '-')
            out += c;
    }
    return out;
}

// "c12a7328-f81f-11d2-ba4b-00a0c93ec93b" to the entry's bytes: the first
// three groups little-endian, the last two as written.
std::array<std::uint8_t, 16> GuidBytes(const std::string& text)
{
    std::array<std::uint8_t, 16> bytes {};
    const std::string hex = WithoutDashes(text);
    if (hex.size() != 32)
        return {};
    std::array<std::uint8_t, 16> plain {};
    for (std::size_t i = 0; i < 16; ++i) {
        const int hi = HexDigit(hex[2 * i]);
        const int lo = HexDigit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return {};
        plain[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (std::size_t i = 0; i < 16; ++i)
        bytes[i] = plain[static_cast<std::size_t>(order[i])];
    return bytes;
}

// The name Windows gives the file system.
std::string FileSystemName(const VolumeFacts& volume)
{
    if (volume.fsType == "ntfs")
        return "NTFS";
    if (volume.fsType == "exfat")
        return "exFAT";
    if (volume.fsType == "vfat")
        return volume.fsVersion.empty() ? "FAT" : volume.fsVersion;
    return volume.fsType;
}

bool WindowsFileSystem(const VolumeFacts& volume)
{
    return volume.fsType == "ntfs" || volume.fsType == "exfat" || volume.fsType == "vfat";
}

// The 32-bit serial number Windows reports: NTFS keeps 64 bits ("72A02948180B077E")
// and shows the low half; FAT and exFAT keep 32 ("1234-ABCD").
std::uint32_t SerialNumber(const VolumeFacts& volume)
{
    if (!WindowsFileSystem(volume))
        return 0;
    const std::string hex = WithoutDashes(volume.uuid);
    if ((hex.size() != 8 && hex.size() != 16) || std::any_of(hex.begin(), hex.end(), [](char c) {
            return HexDigit(c) < 0;
        }))
        return 0;
    return static_cast<std::uint32_t>(std::strtoull(hex.substr(hex.size() - 8).c_str(), nullptr, 16));
}

std::uint32_t FileSystemFlags(const VolumeFacts& volume)
{
    std::uint32_t flags = 0;
    if (volume.fsType == "ntfs")
        flags = kCaseSensitiveSearch | kCasePreservedNames | kUnicodeOnDisk | kPersistentAcls | kFileCompression;
    else if (volume.fsType == "vfat" || volume.fsType == "exfat")
        flags = kCasePreservedNames | kUnicodeOnDisk;
    if (volume.mountedReadOnly)
        flags |= kReadOnlyVolume;
    return flags;
}

// A record of the volume enumeration: everything the volume itself tells.
PartitionInfo VolumeRecord(const std::string& path, const VolumeFacts& volume, bool removable)
{
    PartitionInfo record;
    record.devicePath = path;
    record.label = volume.label;
    record.serialNumber = SerialNumber(volume);
    record.maxComponentLength = volume.nameMax != 0 ? volume.nameMax : (WindowsFileSystem(volume) ? 255 : 0);
    record.fileSystemFlags = FileSystemFlags(volume);
    record.fileSystemName = FileSystemName(volume);
    record.mountPath = volume.mountPath;
    if (volume.spaceKnown) {
        record.freeBytesToCaller = volume.freeToCaller;
        record.totalBytes = volume.totalBytes;
        record.freeBytes = volume.freeBytes;
    }
    record.deviceType = kDeviceTypeDisk;
    record.bytesPerCluster = volume.clusterBytes;
    record.driveType = removable ? kDriveRemovable : kDriveFixed;
    return record;
}

std::int64_t DiskSectors(std::uint64_t start512, std::uint32_t sectorSize)
{
    return static_cast<std::int64_t>(start512 * 512 / (sectorSize != 0 ? sectorSize : 512));
}

// Disk numbers: the system's own (Windows numbers its disks), else the
// kernel's disk sequence numbers, which name one disk for the whole boot;
// without either, the rank by device number.
std::vector<std::uint32_t> DiskNumbers(const std::vector<DeviceFacts>& disks)
{
    std::vector<std::uint32_t> numbers(disks.size());
    const bool numbered = std::all_of(disks.begin(), disks.end(), [](const DeviceFacts& d) {
        return d.systemNumber >= 0 && d.systemNumber < static_cast<std::int64_t>(kImageDisk);
    });
    if (numbered) {
        for (std::size_t i = 0; i < disks.size(); ++i)
            numbers[i] = static_cast<std::uint32_t>(disks[i].systemNumber);
        return numbers;
    }
    const bool sequenced = std::all_of(disks.begin(), disks.end(), [](const DeviceFacts& d) {
        return d.diskSequence != 0 && d.diskSequence < kPseudoDisk;
    });
    if (sequenced) {
        for (std::size_t i = 0; i < disks.size(); ++i)
            numbers[i] = static_cast<std::uint32_t>(disks[i].diskSequence);
        return numbers;
    }
    std::vector<std::size_t> order(disks.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(disks[a].major, disks[a].minor) < std::tie(disks[b].major, disks[b].minor);
    });
    for (std::size_t rank = 0; rank < order.size(); ++rank)
        numbers[order[rank]] = static_cast<std::uint32_t>(rank);
    return numbers;
}

// Takes the volume of a partition into its record (the partition keeps its
// length, style, type, boot flag and a special type name).
void MergeVolume(PartitionInfo& partition, const VolumeFacts& volume, bool removable)
{
    partition.mountPath = volume.mountPath;
    partition.bytesPerCluster = volume.clusterBytes;
    partition.label = volume.label;
    if (volume.spaceKnown)
        partition.freeBytes = volume.freeBytes;
    partition.driveType = removable ? kDriveRemovable : kDriveFixed;
    if (partition.fileSystemName.size() < 3)
        partition.fileSystemName = FileSystemName(volume);
}

struct Slot {
    std::uint32_t number = 0;
    std::uint64_t start = 0;
    std::uint64_t size = 0;
    const platform::TableEntry* entry = nullptr;  // from the table, when it was read
    const DeviceFacts* device = nullptr;          // the kernel's partition, when it has one
};

}  // namespace

std::string GuidText(const std::array<std::uint8_t, 16>& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return text;
}

void BuildDiskList(const platform::SystemDevices& devices, std::vector<DiskInfo>& list)
{
    std::vector<PartitionInfo> leftOver;  // volumes for the pseudo-disk
    const std::vector<std::uint32_t> numbers = DiskNumbers(devices.disks);
    std::vector<DiskInfo> found;

    for (std::size_t d = 0; d < devices.disks.size(); ++d) {
        const DeviceFacts& facts = devices.disks[d];
        DiskInfo disk;
        disk.removable = facts.removable || facts.hotplug ? 1 : 0;
        disk.diskNumber = numbers[d];
        disk.productName = facts.hasModel ? facts.model : "(NULL)";
        disk.diskSize = facts.size * 512;
        disk.devicePath = facts.node;
        if (facts.offline)
            disk.diskFlags |= 1u << 1;
        if (facts.readOnly)
            disk.diskFlags |= 1u << 2;

        const bool gpt = facts.tableStyle == "gpt";
        const bool dynamic =
            facts.tableStyle == "dos" && std::any_of(facts.table.begin(), facts.table.end(), [](const auto& e) {
                return e.mbrType == kDynamicMbrType;
            });
        if (dynamic)
            disk.diskFlags |= 1;

        // The partitions in table order; the kernel's own list when the table
        // could not be read.
        std::vector<Slot> slots;
        std::vector<const DeviceFacts*> kernel;
        for (const DeviceFacts& part : devices.partitions) {
            if (part.disk == facts.name)
                kernel.push_back(&part);
        }
        auto kernelPart = [&](std::uint32_t number) -> const DeviceFacts* {
            for (const DeviceFacts* part : kernel) {
                if (part->partitionNumber == number)
                    return part;
            }
            return nullptr;
        };
        const bool fromTable = !facts.table.empty();
        if (fromTable) {
            for (const platform::TableEntry& entry : facts.table) {
                if (entry.number != 0 && !entry.container)
                    slots.push_back({entry.number, entry.start, entry.size, &entry, kernelPart(entry.number)});
            }
        } else {
            // The kernel shows an extended partition as 1 or 2 sectors; it
            // holds the logical ones and nothing to scan.
            for (const DeviceFacts* part : kernel) {
                if (part->size > 2)
                    slots.push_back({part->partitionNumber, part->start, part->size, nullptr, part});
            }
        }

        for (const Slot& slot : slots) {
            PartitionInfo p;
            p.partitionNumber = slot.number;
            p.partitionStyle = fromTable ? (gpt ? 1 : 0) : 2;
            p.totalBytes = p.freeBytes = slot.size * 512;
            p.diskNumber = dynamic ? -1 : static_cast<std::int32_t>(disk.diskNumber);
            p.startSector = DiskSectors(slot.start, facts.logicalSectorSize);
            if (slot.entry != nullptr && gpt) {
                p.partitionType = GuidBytes(slot.entry->gptType);
                for (const KnownType& known : kKnownTypes) {
                    if (slot.entry->gptType == known.guid) {
                        p.fileSystemName = known.name;
                        p.bootFlag = known.bootFlag;
                    }
                }
            } else if (slot.entry != nullptr) {
                p.bootFlag = slot.entry->active ? 1 : 0;
            }
            if (slot.device != nullptr) {
                p.devicePath = slot.device->node;
                if (slot.device->hasVolume) {
                    if (dynamic) {
                        // The volumes of a dynamic disk belong to no listed disk.
                        PartitionInfo volume = VolumeRecord(slot.device->node, slot.device->volume, facts.removable);
                        volume.startSector = p.startSector;
                        leftOver.push_back(volume);
                    } else {
                        MergeVolume(p, slot.device->volume, facts.removable);
                    }
                }
            }
            disk.partitions.push_back(p);
        }

        // A file system on the whole disk: listed as partition 0, the number
        // by which the whole disk is opened.
        if (slots.empty() && facts.hasVolume) {
            PartitionInfo p;
            p.devicePath = facts.node;
            p.partitionStyle = 2;
            p.totalBytes = p.freeBytes = disk.diskSize;
            p.diskNumber = static_cast<std::int32_t>(disk.diskNumber);
            MergeVolume(p, facts.volume, facts.removable);
            disk.partitions.push_back(p);
        }
        found.push_back(std::move(disk));
    }

    std::stable_sort(found.begin(), found.end(),
                     [](const DiskInfo& a, const DiskInfo& b) { return a.diskNumber < b.diskNumber; });
    for (DiskInfo& disk : found)
        list.push_back(std::move(disk));

    if (!devices.images.empty()) {
        DiskInfo images;
        images.diskNumber = kImageDisk;
        images.productName = "Image files";
        for (const platform::OtherVolume& image : devices.images) {
            PartitionInfo p = VolumeRecord(image.path, image.volume, false);
            p.diskNumber = static_cast<std::int32_t>(kImageDisk);
            p.partitionNumber = static_cast<std::uint32_t>(images.partitions.size() + 1);
            p.partitionStyle = 2;
            if (!image.volume.spaceKnown)
                p.totalBytes = image.bytes;
            // Where no mount point names it, the file's path does.
            if (p.mountPath.empty())
                p.mountPath = image.path;
            images.diskSize += image.bytes;
            images.partitions.push_back(std::move(p));
        }
        list.push_back(std::move(images));
    }

    for (const platform::OtherVolume& other : devices.others) {
        leftOver.push_back(VolumeRecord(other.path, other.volume, false));
        // The system's own word on what kind of drive it is, where it has one.
        if (other.driveType != 0)
            leftOver.back().driveType = other.driveType;
    }
    if (!leftOver.empty()) {
        DiskInfo pseudo;
        pseudo.diskNumber = kPseudoDisk;
        pseudo.diskFlags = 1;
        pseudo.partitions = std::move(leftOver);
        list.push_back(std::move(pseudo));
    }
}

namespace {

std::mutex g_offeredLock;
std::vector<std::string> g_offered;

// NTFS cluster sizes come from the boot sector.
void ClusterSizeOf(const std::string& path, VolumeFacts& volume)
{
    if (volume.fsType != "ntfs")
        return;
    platform::OpenResult open = platform::OpenBlockDevice(path);
    std::uint8_t sector[512];
    if (!open.device || open.device->ReadAt(0, sector, sizeof sector).bytes != sizeof sector)
        return;
    const scan::NtfsBootInfo boot = scan::DecodeNtfsBootSector(scan::ByteView(sector, sizeof sector));
    if (boot.valid)
        volume.clusterBytes = boot.sectorsPerCluster * 512;
}

// A volume whose first sector no longer says what it holds (damaged or
// zeroed) but whose backup boot sector does: offered as that file system,
// which a scan reads through the backup.
void BackupFileSystemOf(const std::string& path, VolumeFacts& volume)
{
    if (!volume.fsType.empty())
        return;
    platform::OpenResult open = platform::OpenBlockDevice(path);
    if (!open.device)
        return;
    std::uint8_t sector[512];
    std::uint64_t where = 0;
    switch (scan::FindBackupBootSector(*open.device, scan::kUnknownFileSystem, sector, where)) {
    case scan::kNtfs: volume.fsType = "ntfs"; break;
    case scan::kFat32: volume.fsType = "vfat"; volume.fsVersion = "FAT32"; break;
    case scan::kExfat: volume.fsType = "exfat"; break;
    default: return;
    }
    base::LogLess("%s holds no boot sector at sector 0, but a backup at sector %llu", path.c_str(),
                  static_cast<unsigned long long>(where));
}

}  // namespace

void SetOfferedImages(std::vector<std::string> paths)
{
    std::lock_guard<std::mutex> lock(g_offeredLock);
    g_offered = std::move(paths);
}

void OfferImage(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_offeredLock);
    if (std::find(g_offered.begin(), g_offered.end(), path) == g_offered.end())
        g_offered.push_back(path);
}

void EnumerateDisks(std::vector<DiskInfo>& list)
{
    platform::SystemDevices devices = platform::ReadSystemDevices();
    {
        std::lock_guard<std::mutex> lock(g_offeredLock);
        for (const std::string& path : g_offered)
            devices.images.push_back(platform::ProbeImageFile(path));
    }
    for (platform::OtherVolume& image : devices.images) {
        BackupFileSystemOf(image.path, image.volume);
        ClusterSizeOf(image.path, image.volume);
    }
    for (DeviceFacts& disk : devices.disks) {
        if (disk.openError != 0)
            base::LogLess("get partition %s disk fail 3,error=0x%x", disk.node.c_str(), disk.openError);
        ClusterSizeOf(disk.node, disk.volume);
    }
    for (DeviceFacts& part : devices.partitions) {
        if (part.openError != 0)
            base::LogLess("get partition %s disk fail 3,error=0x%x", part.node.c_str(), part.openError);
        if (part.openError == 0)
            BackupFileSystemOf(part.node, part.volume);
        ClusterSizeOf(part.node, part.volume);
    }
    for (platform::OtherVolume& other : devices.others)
        ClusterSizeOf(other.path, other.volume);
    BuildDiskList(devices, list);
}

std::string DeviceMountedAt(const std::vector<DiskInfo>& list, const std::string& folder)
{
    for (const DiskInfo& disk : list) {
        for (const PartitionInfo& p : disk.partitions) {
            if (!folder.empty() && p.mountPath == folder && !p.devicePath.empty())
                return p.devicePath;
        }
    }
    return {};
}

std::string PartitionName(std::uint32_t disk, std::uint32_t partition)
{
    return "\\\\?\\Harddisk" + std::to_string(disk) + "Partition" + std::to_string(partition);
}

bool NamesPlaceInThisRun(const std::string& name)
{
    unsigned disk = 0, partition = 0;
    char tail = 0;
    return std::sscanf(name.c_str(), "\\\\?\\Harddisk%uPartition%u%c", &disk, &partition, &tail) == 2 &&
           (disk == kImageDisk || disk == kPseudoDisk);
}

bool ResolveVolumeName(const std::vector<DiskInfo>& list, const std::string& name, std::string& node,
                       std::string& reason)
{
    unsigned disk = 0, partition = 0;
    char tail = 0;
    if (std::sscanf(name.c_str(), "\\\\?\\Harddisk%uPartition%u%c", &disk, &partition, &tail) == 2)
        return ResolvePartition(list, disk, partition, node, reason);
    const std::string path = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    node = path;
    if (platform::IsFolder(path)) {
        const std::string mounted = DeviceMountedAt(list, platform::CanonicalPath(path));
        if (!mounted.empty())
            node = mounted;
    }
    return true;
}

bool ResolvePartition(const std::vector<DiskInfo>& list, std::uint32_t diskNumber, std::uint32_t partition,
                      std::string& devicePath, std::string& reason)
{
    const auto disk = std::find_if(list.begin(), list.end(),
                                   [&](const DiskInfo& d) { return d.diskNumber == diskNumber; });
    if (disk == list.end()) {
        reason = "there is no disk " + std::to_string(diskNumber) + " (see 'quenlar disks')";
        return false;
    }
    if (disk->diskNumber == kPseudoDisk || disk->diskNumber == kImageDisk) {
        // These disks' volumes have no partition numbers: count them from 1.
        if (partition == 0 || partition > disk->partitions.size()) {
            reason = std::string(disk->diskNumber == kImageDisk ? "the image files" : "the other volumes") +
                     " are numbered 1 to " + std::to_string(disk->partitions.size());
            return false;
        }
        devicePath = disk->partitions[partition - 1].devicePath;
        return true;
    }
    if (partition == 0) {
        devicePath = disk->devicePath;
        return true;
    }
    for (const PartitionInfo& p : disk->partitions) {
        if (p.partitionNumber != partition)
            continue;
        if (p.devicePath.empty()) {
            reason = "the system has no device node for partition " + std::to_string(partition) + " of " +
                     disk->devicePath + " (partx -a " + disk->devicePath + " makes one)";
            return false;
        }
        devicePath = p.devicePath;
        return true;
    }
    reason = "disk " + std::to_string(diskNumber) + " has no partition " + std::to_string(partition);
    return false;
}

}  // namespace disks
