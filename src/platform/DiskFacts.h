// What the system says about its block devices: disks, their partitions and
// partition tables, the file systems on them and where those are mounted.
// Plain values only; disks/ turns them into the disk list. Nothing here
// writes to a device, and a device that cannot be read gives fewer facts,
// never an error for the whole list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One entry of a partition table, as the table stores it.
struct TableEntry {
    std::uint32_t number = 0;     // 1-based; logical MBR partitions from 5
    std::uint64_t start = 0;      // 512-byte sectors from the start of the disk
    std::uint64_t size = 0;       // 512-byte sectors
    std::uint32_t mbrType = 0;    // MBR partition type byte, 0 on GPT
    std::string gptType;          // GPT type GUID, lower-case text, "" on MBR
    bool active = false;          // MBR boot indicator 0x80
    bool container = false;       // an MBR extended partition holding logical ones
};

// A file system found on a device (or an image file), and its mount.
struct VolumeFacts {
    std::string fsType;           // as libblkid names it: "ntfs", "vfat", "exfat", ...
    std::string fsVersion;        // libblkid's VERSION, "FAT32" for example
    std::string label;
    std::string uuid;             // libblkid's text, "1234-ABCD" or "72A02948180B077E"
    std::uint32_t clusterBytes = 0;  // NTFS cluster size; left 0 here, disks/ reads it from the boot sector
    std::string mountPath;        // the first mount point, "" when not mounted
    bool mountedReadOnly = false;
    bool spaceKnown = false;      // the mounted file system answered statvfs
    std::uint64_t freeToCaller = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t freeBytes = 0;
    std::uint32_t nameMax = 0;    // longest name component, 0 when unknown
};

struct DeviceFacts {
    std::string name;             // kernel name: "sda", "loop0p1"
    std::string node;             // "/dev/sda"
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint64_t diskSequence = 0;  // the kernel's per-boot disk sequence number, 0 when unknown
    std::int64_t systemNumber = -1;  // the number the system itself gives the disk (Windows' device number), -1 none
    std::uint64_t size = 0;       // 512-byte sectors
    std::uint32_t logicalSectorSize = 512;
    int openError = 0;            // the system's error when the device could not be opened to probe it

    // Disks only.
    bool removable = false;       // removable media
    bool hotplug = false;         // on a hot-plug bus (USB, FireWire, MMC)
    bool readOnly = false;
    bool offline = false;
    bool hasModel = false;
    std::string model;            // as the device reports it, trailing blanks kept
    bool tableRead = false;       // the partition table (or its absence) could be read
    std::string tableStyle;       // "dos", "gpt", or "" when the disk has none
    std::vector<TableEntry> table;

    // Partitions only.
    std::string disk;             // kernel name of the disk
    std::uint32_t partitionNumber = 0;
    std::uint64_t start = 0;      // 512-byte sectors from the start of the disk

    // The file system on this device itself (a partition, or a disk without a table).
    bool hasVolume = false;
    VolumeFacts volume;
};

// A file system mounted from something that is not one of the listed block
// devices: an image file (ntfs-3g or a loop of its own), a device-mapper or
// RAID device.
struct OtherVolume {
    std::string path;             // the image file or device node
    VolumeFacts volume;
    std::uint64_t bytes = 0;      // the image file's size (offered images only)
    std::uint32_t driveType = 0;  // the drive type the system gives it (GetDriveTypeW), 0 when it gives none
};

struct SystemDevices {
    std::vector<DeviceFacts> disks;        // in the order of /sys/block
    std::vector<DeviceFacts> partitions;   // of those disks
    std::vector<OtherVolume> others;
    std::vector<OtherVolume> images;       // image files offered by name, in their order
};

// The file system of an image file named by the user, probed as a device's
// is, with the file's size and where it is mounted (if it is).
OtherVolume ProbeImageFile(const std::string& path);

// Reads every block device of the system. CD/DVD drives, RAM disks, zram and
// devices of size 0 (a loop device with nothing attached) are left out;
// device-mapper and md devices are volumes, not disks.
SystemDevices ReadSystemDevices();

// The same for the named devices of /sys/block only (names that are gone or
// never were are skipped), with the mounts of the whole system.
SystemDevices ReadSystemDevices(const std::vector<std::string>& blockNames);

// The names in /sys/block, sorted.
std::vector<std::string> ListBlockNames();

}  // namespace platform
