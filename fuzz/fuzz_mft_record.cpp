// The input begins with a file record of the size its own update sequence
// gives (1024, 2048 or 4096; 1024 when it gives none); the whole input is
// also the volume its references and runs point into, with a $MFT of one run
// at cluster 1 so that attribute-list references resolve inside the input.
// The record is checked, described, and its file read back as recovery
// would read it.
#include "search/Scans.h"
#include "volume/FileContent.h"
#include "ntfs/NtfsRecord.h"
#include "ntfs/RecordFacts.h"
#include "volume/VolumeScanner.h"
#include "platform/BlockDevice.h"

#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::size_t recordSize = scan::RecordSizeOf(scan::ByteView(data, size));
    if (recordSize == 0)
        recordSize = scan::kDefaultRecordSize;
    if (size < recordSize)
        return 0;
    scan::VolumeScanner volume;
    volume.Open(std::make_unique<platform::MemoryDevice>(data, size), "fuzz");
    volume.m_sectorsPerCluster = 2;
    volume.m_volumeSize = size / 512 + 64;
    volume.m_recordBytes = static_cast<std::uint32_t>(recordSize);
    volume.m_mftRuns = {{1, 0, 64}};

    std::vector<std::uint8_t> bytes(data, data + recordSize);
    const scan::MutableRecord whole(bytes.data(), bytes.size());
    const scan::RecordCheck check = scan::ValidateAndFixRecord(whole);
    if (!check)
        return 0;
    const scan::RecordView record = scan::IntactPart(whole, check);
    scan::ByteView attribute;
    for (const std::uint8_t type : {std::uint8_t {0x10}, std::uint8_t {0x20}, std::uint8_t {0x30}, std::uint8_t {0x80}}) {
        if (scan::FindAttribute(record, type, attribute) && type == 0x30)
            scan::DecodeFileName(attribute);
    }
    scan::LatestTime(record);
    scan::RecordFacts facts;
    scan::ReadRecordFacts(volume, record, 0, facts);

    scan::FoundFile file;
    file.m_fileSystemType = scan::kNtfs;
    file.m_isDirectory = 0;
    file.m_torn = check.Torn();
    file.m_fileSize = std::min<std::uint64_t>(facts.data.size, 1 << 20);  // what one run can be asked to read
    file.m_validSize = facts.data.validSize;
    file.m_encoding = facts.data.encoding;
    file.m_compressionUnit = facts.data.compressionUnit;
    file.extents = facts.data.extents;
    const auto reader = scan::OpenFileContent(volume, file);
    std::vector<std::uint8_t> out(64 * 1024);
    for (std::uint64_t at = 0; at < file.m_fileSize;) {
        const std::size_t got = reader->Read(at, out.data(), out.size());
        if (got == 0)
            break;
        at += got;
    }
    return 0;
}
