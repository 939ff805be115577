// Where a volume whose first sector is no usable boot sector keeps another:
// FAT32 at sector 6, exFAT's backup boot region at sector 12 (of its own
// sector size), NTFS in the last sector of the partition.
#pragma once

#include <cstdint>

namespace platform {
class BlockDevice;
}

namespace scan {

// A usable backup boot sector of a volume that begins at the start of
// `device`: `preferred` (a FileSystemType) is tried first. Its type, with its
// 512 bytes in `sector` and its place in `where`; kUnknownFileSystem when
// there is none.
std::int32_t FindBackupBootSector(platform::BlockDevice& device, std::int32_t preferred, std::uint8_t* sector,
                                  std::uint64_t& where);

}  // namespace scan
