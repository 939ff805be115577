// The list of what can be scanned: every disk with its partitions, the
// mounted volumes merged into them, and a pseudo-disk, last, for the volumes
// that lie on no listed disk (a mounted image file, a device-mapper volume,
// the volumes of a dynamic disk). No sector of a file is read; only boot
// sectors, partition tables and file-system superblocks.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {
struct SystemDevices;
}

namespace disks {

constexpr std::uint32_t kPseudoDisk = 0xFFFFFFFF;
// The disk that holds the image files the user offered (quenlar gui IMAGE…),
// listed before the pseudo-disk; its volumes too are counted from 1.
constexpr std::uint32_t kImageDisk = 0xFFFFFFFE;

// Windows' values for the file-system flags we can know.
constexpr std::uint32_t kCaseSensitiveSearch = 0x1;
constexpr std::uint32_t kCasePreservedNames = 0x2;
constexpr std::uint32_t kUnicodeOnDisk = 0x4;
constexpr std::uint32_t kPersistentAcls = 0x8;
constexpr std::uint32_t kFileCompression = 0x10;
constexpr std::uint32_t kReadOnlyVolume = 0x80000;

constexpr std::uint32_t kDriveRemovable = 2;
constexpr std::uint32_t kDriveFixed = 3;
constexpr std::uint32_t kDeviceTypeDisk = 7;

struct PartitionInfo {
    std::string devicePath;              // the partition's device node, or the volume's node or image file
    std::string label;
    std::uint32_t serialNumber = 0;
    std::uint32_t maxComponentLength = 0;
    std::uint32_t fileSystemFlags = 0;
    std::string fileSystemName;          // "NTFS", "FAT32", "exFAT", ...; "EFI", "MSR", "LDM", "RECOVERY"
    std::string mountPath;
    std::uint64_t freeBytesToCaller = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t freeBytes = 0;
    std::int32_t diskNumber = -1;
    std::uint32_t deviceType = 0;
    std::uint32_t partitionNumber = 0;   // 1-based; 0 for a file system on the whole disk
    std::int64_t startSector = 0;        // in the disk's bytes per sector
    std::uint32_t bytesPerCluster = 0;   // NTFS only
    std::int32_t partitionStyle = 0;     // 0 MBR, 1 GPT, 2 RAW (none, or unreadable)
    std::uint8_t flagByte = 0;
    std::uint8_t bootFlag = 0;
    std::uint8_t systemMark = 0;
    std::array<std::uint8_t, 16> partitionType {};  // GPT type GUID as the entry stores it
    std::uint32_t driveType = 0;
};

struct DiskInfo {
    std::int32_t removable = 0;
    std::uint32_t diskNumber = 0;
    std::uint32_t diskFlags = 0;         // bit 0 dynamic, bit 1 offline, bit 2 read-only
    std::string productName;
    std::uint64_t diskSize = 0;
    std::vector<PartitionInfo> partitions;
    std::string devicePath;              // the disk's device node ("" for the pseudo-disk)
};

// Appends every disk of the system, then the disk of offered image files and
// the pseudo-disk, if needed. The caller empties the list first.
void EnumerateDisks(std::vector<DiskInfo>& list);

// The image files every later disk list offers as volumes, with their file
// system, size and label, as partitions are (absolute paths).
void SetOfferedImages(std::vector<std::string> paths);
// Adds one (absolute) path to them, unless it is there already.
void OfferImage(const std::string& path);

// The same, from facts already read (tests give their own).
void BuildDiskList(const platform::SystemDevices& devices, std::vector<DiskInfo>& list);

// The device to open for partition `partition` of disk `disk` of the list
// (partition 0: the whole disk). False, with the reason, when there is none.
bool ResolvePartition(const std::vector<DiskInfo>& list, std::uint32_t disk, std::uint32_t partition,
                      std::string& devicePath, std::string& reason);

// The device or image file of the volume mounted at `folder` (an absolute,
// canonical path); "" when none of the list is mounted there.
std::string DeviceMountedAt(const std::vector<DiskInfo>& list, const std::string& folder);

// How the UI names a partition of the list: "\\?\Harddisk%uPartition%u".
std::string PartitionName(std::uint32_t disk, std::uint32_t partition);
// Whether `name` is such a name for a volume of the image files or of the
// other volumes, whose numbers count places in this run's list only.
bool NamesPlaceInThisRun(const std::string& name);

// The device node or image file to open for a volume as the program's
// callers name it: a partition name (above), "\\.\NAME" (NAME itself), a
// folder (the device or image mounted there), or a device node or image file
// as it is. False, with the reason, when a partition name names none.
bool ResolveVolumeName(const std::vector<DiskInfo>& list, const std::string& name, std::string& node,
                       std::string& reason);

// The GPT type GUID of an entry as text, "{C12A7328-F81F-11D2-BA4B-00A0C93EC93B}".
std::string GuidText(const std::array<std::uint8_t, 16>& guid);

}  // namespace disks
