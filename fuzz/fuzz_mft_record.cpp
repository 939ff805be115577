// The input's first 1024 bytes are a file record; the whole input is also the
// volume its references and runs point into, with a $MFT of one run at
// cluster 1 so that attribute-list references resolve inside the input.
#include "platform/BlockDevice.h"
#include "scan/NtfsRecord.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < scan::kRecordSize)
        return 0;
    scan::VolumeScanner volume;
    volume.Open(std::make_unique<platform::MemoryDevice>(data, size), "fuzz");
    volume.m_sectorsPerCluster = 2;
    volume.m_volumeSize = size / 512 + 64;
    volume.m_mftRuns = {{1, 0, 64}};

    scan::RecordBuffer record {};
    std::memcpy(record.data(), data, record.size());
    if (!scan::ValidateAndFixRecord(record))
        return 0;
    scan::RecordBuffer attribute {};
    for (const std::uint8_t type : {std::uint8_t {0x10}, std::uint8_t {0x20}, std::uint8_t {0x30}, std::uint8_t {0x80}}) {
        if (scan::FindAttribute(record, type, attribute) && type == 0x30)
            scan::DecodeFileName(attribute);
    }
    scan::FileSize(volume, record);
    scan::LatestTime(record);
    scan::BuildExtents(volume, record, 0);
    return 0;
}
