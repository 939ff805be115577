// What tells one volume from another, read when it is opened. A saved scan
// goes on, and its found files are recovered, only from the volume it was
// made of: a path may come to name other content (an image file replaced, a
// disk re-partitioned, another card in the reader).
#pragma once

#include <cstdint>
#include <string>

namespace scan {

struct VolumeIdentity {
    std::uint64_t sectors = 0;       // 512-byte sectors the device holds
    std::int32_t fileSystem = 3;     // a FileSystemType; 3 not recognised
    std::uint64_t serialNumber = 0;  // the boot sector's volume serial number (NTFS 8 bytes, FAT32 and exFAT 4)
    std::uint64_t bootHash = 0;      // FNV-1a of the boot sector's 512 bytes

    bool operator==(const VolumeIdentity&) const = default;
};

// The identity of a volume whose first sector is `bootSector` (512 bytes),
// recognised as `fileSystem`, on a device of `deviceBytes`.
VolumeIdentity ReadVolumeIdentity(const std::uint8_t* bootSector, std::int32_t fileSystem, std::uint64_t deviceBytes);

// How `now` differs from `then`, in words for the user ("its size (409,600
// sectors then, 204,800 now)"), the differences joined by "; "; "" when the
// two are the same volume.
std::string DescribeDifference(const VolumeIdentity& then, const VolumeIdentity& now);

// The serial number as a volume shows it: NTFS as 16 hex digits, FAT32 and
// exFAT as XXXX-XXXX.
std::string SerialText(const VolumeIdentity& identity);

}  // namespace scan
