#include "volume/BackupBootSector.h"

#include "found/FoundFile.h"
#include "platform/BlockDevice.h"
#include "volume/BootSector.h"
#include "base/ByteView.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace scan {
namespace {

constexpr std::size_t kSectorBytes = 512;

// Whether `view` is a usable boot sector of `type` for a volume that begins
// at the device's start: an exFAT backup must be of the sector size its place
// implies, and an NTFS backup at the end of the device must give a size
// that ends there (one sector short, of 512 bytes or 4 KiB), not be the
// backup of a later partition of a disk.
bool UsableBootSector(std::int32_t type, ByteView view, std::uint32_t sectorBytes, std::uint64_t deviceSectors)
{
    switch (type) {
    case kNtfs: {
        const NtfsBootInfo info = DecodeNtfsBootSector(view);
        return IsNtfsBootSector(view) && info.valid && info.volumeSectors < deviceSectors &&
               deviceSectors - info.volumeSectors <= 8;
    }
    case kFat32: return IsFat32BootSector(view) && DecodeFat32BootSector(view).valid;
    case kExfat: {
        const ExfatBootInfo info = DecodeExfatBootSector(view);
        return IsExfatBootSector(view) && info.valid && info.bytesPerSector == sectorBytes;
    }
    default: return false;
    }
}

}  // namespace

std::int32_t FindBackupBootSector(platform::BlockDevice& device, std::int32_t preferred, std::uint8_t* sector,
                                  std::uint64_t& where)
{
    struct Place {
        std::int32_t type;
        std::uint64_t sector;
        std::uint32_t sectorBytes;  // the sector size a backup there implies
    };
    std::vector<Place> places {{kFat32, 6, 0}};
    for (std::uint32_t shift = 9; shift <= 12; ++shift)
        places.push_back({kExfat, (std::uint64_t {12} << shift) / kSectorBytes, 1u << shift});
    const std::uint64_t deviceSectors = device.Size() / kSectorBytes;
    // NTFS keeps its backup in the last sector of the partition: of 512
    // bytes, or of 4096 on a disk of 4 KiB sectors.
    for (const std::uint64_t back : {std::uint64_t {1}, std::uint64_t {8}}) {
        if (deviceSectors > back)
            places.push_back({kNtfs, deviceSectors - back, 0});
    }
    std::stable_partition(places.begin(), places.end(), [&](const Place& p) { return p.type == preferred; });
    for (const Place& p : places) {
        std::uint8_t candidate[kSectorBytes] = {};
        const platform::ReadResult r = device.ReadAt(p.sector * kSectorBytes, candidate, kSectorBytes);
        if (r.status != platform::ReadStatus::Ok || r.bytes != kSectorBytes)
            continue;
        if (!UsableBootSector(p.type, ByteView(candidate, kSectorBytes), p.sectorBytes, deviceSectors))
            continue;
        std::memcpy(sector, candidate, kSectorBytes);
        where = p.sector;
        return p.type;
    }
    return kUnknownFileSystem;
}

}  // namespace scan
