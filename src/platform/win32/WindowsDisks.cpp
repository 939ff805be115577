#include "platform/win32/WindowsDisks.h"

#include <algorithm>
#include <cstdio>

namespace platform::win32 {

std::uint8_t SystemMark(std::uint32_t major, std::uint32_t minor)
{
    if (major == 6 && minor == 3)
        return 8;
    if (major == 10 && minor == 0)
        return 10;
    return 7;
}

std::string PartitionDevicePath(std::uint32_t disk, std::uint32_t partition)
{
    return "\\\\?\\GLOBALROOT\\Device\\Harddisk" + std::to_string(disk) + "\\Partition" + std::to_string(partition);
}

VolumeFacts VolumeFactsOf(const RawVolume& volume)
{
    VolumeFacts facts;
    std::string fs = volume.fileSystem;
    std::transform(fs.begin(), fs.end(), fs.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (fs == "fat32" || fs == "fat" || fs == "fat12" || fs == "fat16") {
        facts.fsType = "vfat";
        facts.fsVersion = fs == "fat32" ? "FAT32" : fs == "fat" ? "FAT16" : volume.fileSystem;
    } else {
        facts.fsType = fs;
    }
    facts.label = volume.label;
    if (volume.infoRead && !fs.empty()) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%04X-%04X", volume.serialNumber >> 16, volume.serialNumber & 0xFFFF);
        facts.uuid = serial;
    }
    facts.mountPath = volume.mountPath;
    facts.mountedReadOnly = (volume.fileSystemFlags & 0x00080000) != 0;  // FILE_READ_ONLY_VOLUME
    facts.spaceKnown = volume.spaceRead;
    facts.freeToCaller = volume.freeToCaller;
    facts.totalBytes = volume.totalBytes;
    facts.freeBytes = volume.freeBytes;
    facts.nameMax = volume.maxComponentLength;
    return facts;
}

SystemDevices FactsFromWindows(const std::vector<RawDisk>& disks, const std::vector<RawVolume>& volumes)
{
    SystemDevices out;
    std::vector<bool> placed(volumes.size(), false);
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        const RawVolume& volume = volumes[v];
        if (volume.driveType == kDriveCdRom || (volume.numberRead && volume.deviceType != kFileDeviceDisk))
            placed[v] = true;  // never listed
    }
    for (const RawDisk& raw : disks) {
        if (!raw.hotplugRead)
            continue;
        DeviceFacts disk;
        disk.name = "PhysicalDrive" + std::to_string(raw.deviceNumber);
        disk.node = "\\\\.\\PhysicalDrive" + std::to_string(raw.deviceNumber);
        disk.minor = raw.deviceNumber;  // the disks are numbered in this order
        disk.systemNumber = raw.deviceNumber;  // and go by this number (PhysicalDriveN, HarddiskN)
        disk.size = raw.size / 512;
        disk.logicalSectorSize = raw.bytesPerSector != 0 ? raw.bytesPerSector : 512;
        disk.removable = raw.mediaRemovable;
        disk.hotplug = raw.deviceHotplug;
        disk.offline = (raw.attributes & 1) != 0;
        disk.readOnly = (raw.attributes & 2) != 0;
        disk.hasModel = raw.productRead && raw.hasProduct;
        disk.model = raw.product;
        disk.tableRead = raw.layoutRead;
        disk.tableStyle = !raw.layoutRead ? "" : raw.layoutStyle == 0 ? "dos" : raw.layoutStyle == 1 ? "gpt" : "";
        for (const RawPartition& p : raw.partitions) {
            if (p.number == 0)
                continue;  // an empty slot, or the container of logical partitions
            TableEntry entry;
            entry.number = p.number;
            entry.start = p.offset / 512;
            entry.size = p.length / 512;
            entry.mbrType = p.style == 0 ? p.mbrType : 0;
            entry.gptType = p.style == 1 ? p.gptType : "";
            entry.active = p.style == 0 && p.bootIndicator;
            disk.table.push_back(entry);

            DeviceFacts part;
            part.name = "Harddisk" + std::to_string(raw.deviceNumber) + "Partition" + std::to_string(p.number);
            part.node = PartitionDevicePath(raw.deviceNumber, p.number);
            part.disk = disk.name;
            part.partitionNumber = p.number;
            part.start = p.offset / 512;
            part.size = p.length / 512;
            part.logicalSectorSize = disk.logicalSectorSize;
            for (std::size_t v = 0; v < volumes.size(); ++v) {
                const RawVolume& volume = volumes[v];
                if (placed[v] || !volume.numberRead || volume.deviceNumber != raw.deviceNumber ||
                    volume.partitionNumber != p.number)
                    continue;
                placed[v] = true;
                part.hasVolume = volume.infoRead;
                part.volume = VolumeFactsOf(volume);
                break;
            }
            out.partitions.push_back(std::move(part));
        }
        out.disks.push_back(std::move(disk));
    }
    // The volumes of no listed disk's partition: a dynamic disk's, a disk
    // whose hot-plug query failed, one whose device could not be opened. A
    // volume on a listed disk that matches none of its partitions is dropped.
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        if (placed[v])
            continue;
        const bool onListedDisk = volumes[v].numberRead && std::any_of(disks.begin(), disks.end(), [&](const RawDisk& d) {
            return d.hotplugRead && d.deviceNumber == volumes[v].deviceNumber;
        });
        if (onListedDisk)
            continue;
        OtherVolume other;
        other.path = volumes[v].name;
        if (!other.path.empty() && other.path.back() == '\\')
            other.path.pop_back();
        other.volume = VolumeFactsOf(volumes[v]);
        other.driveType = volumes[v].driveType;
        out.others.push_back(std::move(other));
    }
    return out;
}

}  // namespace platform::win32
