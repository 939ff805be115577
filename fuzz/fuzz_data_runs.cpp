// Decodes a data-run list from an attribute made of the input, starting at
// the offset its bytes 0x20-0x21 give, as the scans do.
#include "ntfs/DataRun.h"
#include "ntfs/RecordHeader.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const scan::ByteView attribute(data, std::min(size, scan::kMaxRecordSize));
    const auto runs = scan::DecodeDataRuns(attribute, attribute.U16(0x20));
    // A run list can never hold more runs than it has header bytes.
    if (runs.size() > attribute.Size())
        __builtin_trap();
    return 0;
}
