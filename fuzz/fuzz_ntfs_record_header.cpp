// Decodes a file record header from the input and checks what the scans
// rely on: the size its update sequence tells is one NTFS uses, and a record
// of that size that passes the fix-ups keeps its header.
#include "ntfs/NtfsRecord.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const scan::ByteView bytes(data, size);
    const scan::RecordHeader h = scan::DecodeRecordHeader(bytes);
    const std::size_t recordSize = h.SizeFromUpdateSequence();
    if (recordSize != 0 && !scan::PlausibleRecordSize(recordSize))
        __builtin_trap();
    if (scan::RecordSizeOf(bytes) != (h.HasSignature() ? recordSize : 0))
        __builtin_trap();
    if (recordSize == 0 || size < recordSize)
        return 0;
    std::vector<std::uint8_t> record(data, data + recordSize);
    const scan::RecordCheck check = scan::ValidateAndFixRecord(record);
    if (check.intact > recordSize || (check && check.intact < scan::kFixupStride))
        __builtin_trap();
    // The fix-ups touch only the last word of each 512 bytes.
    if (check && std::memcmp(record.data(), data, 0x30) != 0)
        __builtin_trap();
    return 0;
}
