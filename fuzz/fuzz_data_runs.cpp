// Decodes a data-run list from an attribute copy made of the input, starting
// at the offset its bytes 0x20-0x21 give, as the scans do.
#include "scan/ByteView.h"
#include "scan/NtfsRecord.h"

#include <algorithm>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    scan::RecordBuffer copy {};
    if (size > 0)
        std::memcpy(copy.data(), data, std::min(size, copy.size()));
    const auto runs = scan::DecodeDataRuns(copy, scan::ByteView(copy.data(), copy.size()).U16(0x20));
    // A run list can never hold more runs than it has header bytes.
    if (runs.size() > copy.size())
        __builtin_trap();
    return 0;
}
