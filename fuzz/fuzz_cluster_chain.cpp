// Walks every chain of a FAT made of the input, as FAT32 and as exFAT:
// each next cluster lies inside the data area, and a walk bounded by the
// number of clusters ends.
#include "fat/ClusterChain.h"

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return 0;
    // The first 4 bytes give the data area's end; the rest is the FAT.
    std::uint32_t end = 0;
    std::memcpy(&end, data, 4);
    std::vector<std::uint32_t> fat(std::min<std::size_t>((size - 4) / 4, 256));
    if (!fat.empty())
        std::memcpy(fat.data(), data + 4, fat.size() * 4);
    for (const std::uint32_t mask : {0x0FFFFFFFu, 0xFFFFFFFFu}) {
        const scan::ClusterChain chain(fat, mask, end, 1000, 8);
        for (std::uint32_t first = 0; first < fat.size() + 2; ++first) {
            std::uint32_t c = first;
            for (std::size_t steps = 0; steps <= fat.size() && c != 0; ++steps) {
                c = chain.Next(c);
                if (c != 0 && !chain.Valid(c))
                    __builtin_trap();
            }
        }
    }
    return 0;
}
