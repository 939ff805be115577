// Decoders for the first sector of NTFS, FAT32 and exFAT volumes. Each takes
// the 512 bytes of sector 0 and returns plain values; `valid` says whether the
// geometry is usable (sizes that are powers of two in range, tables inside the
// volume), so nothing downstream divides by or allocates from a raw field.
//
// Sector counts here are converted to 512-byte units, the unit every sector
// number in the system uses, whatever the volume's declared sector size.
#pragma once

#include "base/ByteView.h"

#include <cstdint>
#include <string>

namespace scan {

bool IsNtfsBootSector(ByteView sector);   // "NTFS" at 3
bool IsFat32BootSector(ByteView sector);  // "FAT32" at 0x52
bool IsExfatBootSector(ByteView sector);  // "EXFAT" at 3

struct NtfsBootInfo {
    bool valid = false;
    std::string problem;                   // why not valid
    std::uint32_t bytesPerSector = 0;      // as declared (0x0B)
    std::uint32_t sectorsPerCluster = 0;   // 512-byte units
    std::uint64_t volumeSectors = 0;       // 512-byte units (0x28)
    std::uint64_t mftCluster = 0;          // 0x30
    std::uint64_t mirrorCluster = 0;       // 0x38: $MFTMirr, a copy of the first records
    // The size of a file record, from 0x40 (clusters per record, or when
    // negative 2^-n bytes): 1024, 2048 or 4096; 0 when the field says
    // anything else.
    std::uint32_t recordBytes = 0;
};

struct Fat32BootInfo {
    bool valid = false;
    std::string problem;
    std::uint32_t bytesPerSector = 0;      // 0x0B
    std::uint32_t sectorsPerCluster = 0;   // 512-byte units (0x0D)
    std::uint64_t reservedSectors = 0;     // 512-byte units (0x0E): the first FAT
    std::uint64_t fatBytes = 0;            // one FAT: bytes per sector x sectors per FAT (0x24), whole entries
    std::uint32_t fatCount = 0;            // 0x10
    std::uint64_t firstDataSector = 0;     // 512-byte units: reserved sectors + the FATs; cluster 2 starts here
    std::uint32_t rootCluster = 0;         // 0x2C
    std::uint64_t volumeSectors = 0;       // 512-byte units (0x20, or the 16-bit 0x13 when that is 0)
    std::uint64_t clusterCount = 0;        // clusters of the volume, for the cluster bitmap
};

struct ExfatBootInfo {
    bool valid = false;
    std::string problem;
    std::uint32_t bytesPerSector = 0;      // 1 << (0x6C)
    std::uint32_t sectorsPerCluster = 0;   // 512-byte units, (1 << (0x6D)) volume sectors
    std::uint64_t fatSector = 0;           // 512-byte units (0x50)
    std::uint32_t fatCount = 0;            // 0x6E: 1, or 2 for TexFAT
    std::uint64_t clusterHeapSector = 0;   // 512-byte units (0x58)
    std::uint32_t clusterCount = 0;        // 0x5C
    std::uint32_t rootCluster = 0;         // 0x60
    std::uint64_t volumeSectors = 0;       // 512-byte units (0x48)
};

NtfsBootInfo DecodeNtfsBootSector(ByteView sector);
Fat32BootInfo DecodeFat32BootSector(ByteView sector);
ExfatBootInfo DecodeExfatBootSector(ByteView sector);

}  // namespace scan
