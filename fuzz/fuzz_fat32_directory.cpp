// The input is the root folder of a small FAT32 volume, and the clusters
// after it: names, long-name runs, deleted entries and the folders they point
// to all come from the input, as do the dot entries the folder search reads.
#include "LittleEndian.h"
#include "platform/BlockDevice.h"
#include "search/Scans.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // 512-byte clusters; one FAT of 4 sectors at sector 32; data from
    // sector 36 (cluster c at sector 34 + c); 220 clusters. The root is
    // cluster 2 and runs on through the FAT to cluster 40.
    constexpr std::size_t kSectors = 256;
    std::vector<std::uint8_t> bytes(kSectors * 512);
    Put16(&bytes[0x0B], 512);
    bytes[0x0D] = 1;
    Put16(&bytes[0x0E], 32);
    bytes[0x10] = 1;
    Put32(&bytes[0x20], kSectors);
    Put32(&bytes[0x24], 4);
    Put32(&bytes[0x2C], 2);
    std::memcpy(&bytes[0x52], "FAT32   ", 8);
    for (std::uint32_t c = 2; c < 40; ++c)
        Put32(&bytes[32 * 512 + 4 * c], c + 1);
    Put32(&bytes[32 * 512 + 4 * 40], 0x0FFFFFFF);
    const std::size_t root = 36 * 512;
    if (size > 0)
        std::memcpy(&bytes[root], data, std::min(size, bytes.size() - root));

    scan::VolumeScanner volume;
    volume.Open(std::make_unique<platform::MemoryDevice>(std::move(bytes)), "fuzz");
    scan::NormalScan(volume);
    return 0;
}
