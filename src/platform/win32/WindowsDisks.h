// What Windows tells of its disks and volumes, as plain values, and how they
// become the system's device facts. Kept apart from the calls that gather
// them (DiskFactsWin32.cpp) so that recorded facts can be tested anywhere.
#pragma once

#include "platform/DiskFacts.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform::win32 {

// One entry of IOCTL_DISK_GET_DRIVE_LAYOUT_EX.
struct RawPartition {
    int style = 0;               // PartitionStyle: 0 MBR, 1 GPT, 2 RAW
    std::uint32_t number = 0;    // PartitionNumber; 0: an empty slot or an extended container
    std::uint64_t offset = 0;    // StartingOffset, bytes
    std::uint64_t length = 0;    // PartitionLength, bytes
    std::uint8_t mbrType = 0;    // Mbr.PartitionType
    bool bootIndicator = false;  // Mbr.BootIndicator
    std::string gptType;         // Gpt.PartitionType as lower-case text, "" on MBR
};

// One disk interface of the Setup API and what its device answered.
struct RawDisk {
    bool hotplugRead = false;    // IOCTL_STORAGE_GET_HOTPLUG_INFO answered (else the disk is not listed)
    bool deviceHotplug = false;
    bool mediaRemovable = false;
    std::uint32_t deviceNumber = 0;  // STORAGE_DEVICE_NUMBER.DeviceNumber (0 when not told)
    std::uint64_t attributes = 0;    // GET_DISK_ATTRIBUTES.Attributes: 1 offline, 2 read-only
    std::uint64_t size = 0;          // DISK_GEOMETRY_EX.DiskSize
    std::uint32_t bytesPerSector = 512;
    bool productRead = false;        // the storage property query answered
    bool hasProduct = false;         // ProductIdOffset was not 0
    std::string product;             // the product identification text
    bool layoutRead = false;
    int layoutStyle = 2;             // DRIVE_LAYOUT_INFORMATION_EX.PartitionStyle
    std::vector<RawPartition> partitions;
};

// One volume of FindFirstVolumeW / FindNextVolumeW.
struct RawVolume {
    std::string name;                // "\\?\Volume{...}\"
    bool infoRead = false;           // GetVolumeInformationW answered
    std::string label;
    std::uint32_t serialNumber = 0;
    std::uint32_t maxComponentLength = 0;
    std::uint32_t fileSystemFlags = 0;
    std::string fileSystem;          // "NTFS", "FAT32", "exFAT", ...
    std::string mountPath;           // the first of its mount paths, "C:\"
    std::uint32_t driveType = 0;     // GetDriveTypeW
    bool spaceRead = false;
    std::uint64_t freeToCaller = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t freeBytes = 0;
    bool opened = false;             // the volume could be opened
    std::uint32_t openError = 0;
    bool numberRead = false;         // IOCTL_STORAGE_GET_DEVICE_NUMBER answered
    std::uint32_t deviceType = 0;
    std::uint32_t deviceNumber = 0;
    std::uint32_t partitionNumber = 0;
    std::uint64_t startOffset = 0;   // bytes from the start of its disk
};

constexpr std::uint32_t kDriveCdRom = 5;
constexpr std::uint32_t kFileDeviceDisk = 7;

// The device facts of these disks and volumes: each listed disk with its
// partitions (containers and empty slots left out), the volume that lies on
// each partition, and every other disk volume as a volume of its own. CD and
// DVD drives and volumes of devices that are not disks are left out; so is a
// disk whose hot-plug query failed (its volumes are then volumes of their own).
SystemDevices FactsFromWindows(const std::vector<RawDisk>& disks, const std::vector<RawVolume>& volumes);

// A volume's file-system facts as the rest of the program names them.
VolumeFacts VolumeFactsOf(const RawVolume& volume);

// A device path for partition `partition` of disk `disk`.
std::string PartitionDevicePath(std::uint32_t disk, std::uint32_t partition);

// The mark of the running system's partition for the Windows version
// major.minor (RtlGetNtVersionNumbers): 8 for 6.3 (Windows 8.1), 10 for 10.0
// (Windows 10 and 11), 7 for every other.
std::uint8_t SystemMark(std::uint32_t major, std::uint32_t minor);

}  // namespace platform::win32
