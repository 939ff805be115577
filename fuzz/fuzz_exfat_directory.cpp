// The input is the root folder of a small exFAT volume (after an allocation
// bitmap entry that the harness writes first) and the clusters after it, so
// entry sets, names and the folders they point to all come from the input.
#include "platform/BlockDevice.h"
#include "search/Scans.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void Put32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // 512-byte clusters; the FAT at sector 8; the heap at sector 16, so
    // cluster c is at sector 14 + c; 200 clusters. The bitmap is cluster 2,
    // the root starts at cluster 3 and runs on through the FAT to cluster 40.
    constexpr std::size_t kSectors = 256;
    std::vector<std::uint8_t> bytes(kSectors * 512);
    std::memcpy(&bytes[3], "EXFAT   ", 8);
    Put32(&bytes[0x48], kSectors);
    Put32(&bytes[0x50], 8);
    Put32(&bytes[0x58], 16);
    Put32(&bytes[0x5C], 200);
    Put32(&bytes[0x60], 3);
    bytes[0x6C] = 9;
    for (std::uint32_t c = 3; c < 40; ++c)
        Put32(&bytes[8 * 512 + 4 * c], c + 1);
    Put32(&bytes[8 * 512 + 4 * 40], 0xFFFFFFFF);
    std::uint8_t* root = &bytes[(14 + 3) * 512];
    root[0] = 0x81;
    Put32(root + 20, 2);
    root[24] = 25;
    bytes[(14 + 2) * 512] = 0x0F;  // clusters 2 to 5 in use
    const std::size_t room = bytes.size() - (14 + 3) * 512 - 32;
    if (size > 0)
        std::memcpy(root + 32, data, std::min(size, room));

    scan::VolumeScanner volume;
    volume.Open(std::make_unique<platform::MemoryDevice>(std::move(bytes)), "fuzz");
    scan::NormalScan(volume);
    return 0;
}
