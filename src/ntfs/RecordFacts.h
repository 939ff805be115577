// What a scan derives from an NTFS file record with the help of the volume:
// its chosen name (also where an attribute list puts it in an extension
// record), its size, and how and where its data is stored.
#pragma once

#include "found/FoundFile.h"
#include "ntfs/NtfsRecord.h"

#include <cstdint>
#include <vector>

namespace scan {

class VolumeScanner;

// The file's chosen $FILE_NAME: in the record, or, for a file whose
// attributes spill into extension records, in the extension record of this
// file that its $ATTRIBUTE_LIST names.
bool FindFileName(VolumeScanner& volume, RecordView record, FileNameInfo& name);

// Volume byte offset of a referenced record through the $MFT runs; 0 when the
// record lies outside them.
std::uint64_t MapReference(const VolumeScanner& volume, std::uint64_t reference);

// What a record says of its file's data.
struct DataLayout {
    std::uint64_t size = 0;
    std::uint64_t validSize = kAllValid;  // bytes past this read as zeros
    ContentEncoding encoding = kStored;
    std::uint8_t compressionUnit = 0;
    ExtentList extents;                   // in file order, holes included
};
// `recordSector` is where `record` was read. The record must have passed
// ValidateAndFixRecord; pass only its intact part.
DataLayout DescribeData(VolumeScanner& volume, RecordView record, std::uint64_t recordSector);

// What a scan takes from one record: its chosen name and its data, reading
// its attribute list (if any) once. False when the record has no name.
struct RecordFacts {
    FileNameInfo name;
    DataLayout data;
};
bool ReadRecordFacts(VolumeScanner& volume, RecordView record, std::uint64_t recordSector, RecordFacts& facts);

}  // namespace scan
