// Decompresses the input as one LZNT1 compression unit of 64 KiB, as the
// NTFS reader does with the clusters of a compressed unit.
#include "ntfs/Lznt1.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> out(64 * 1024);
    bool damaged = false;
    const std::size_t produced = scan::DecompressLznt1(data, size, out.data(), out.size(), damaged);
    if (produced > out.size())
        __builtin_trap();
    return 0;
}
