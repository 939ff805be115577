// Decodes an attribute header from the input and, as the scans do next, its
// name and its data runs: whatever the header claims, nothing is read
// outside the attribute.
#include "ntfs/AttributeHeader.h"
#include "ntfs/DataRun.h"
#include "ntfs/RecordHeader.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const scan::ByteView attribute(data, std::min(size, scan::kMaxRecordSize));
    const scan::AttributeHeader h = scan::DecodeAttributeHeader(attribute);
    if (h.nonResident && (h.valueLength != 0 || h.valueOffset != 0))
        __builtin_trap();
    const scan::ByteView name = attribute.Sub(h.nameOffset, 2 * std::size_t {h.nameLength});
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < name.Size(); i += 2)
        sum += name.U16(i);
    const scan::ByteView value = attribute.Sub(h.valueOffset, h.valueLength);
    if (value.Size() > attribute.Size())
        __builtin_trap();
    if (h.nonResident && scan::DecodeDataRuns(attribute, h.runsOffset).size() > attribute.Size())
        __builtin_trap();
    return static_cast<int>(sum & 0);
}
