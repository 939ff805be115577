// The NTFS file-record toolkit: record validation and fix-ups, the attribute
// walk, the choice of $FILE_NAME, data-run decoding, and what a scan derives
// from a record (size, latest time, extents). Records are always read as
// 1024 bytes; ntfs-notes.md beside this file lists the fields used.
#pragma once

#include "scan/FoundFile.h"
#include "scan/VolumeScanner.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace scan {

constexpr std::size_t kRecordSize = 1024;
using RecordBuffer = std::array<std::uint8_t, kRecordSize>;
using RecordView = std::span<const std::uint8_t, kRecordSize>;
using MutableRecord = std::span<std::uint8_t, kRecordSize>;

enum AttributeType : std::uint8_t {
    kAttrStandardInformation = 0x10,
    kAttrAttributeList = 0x20,
    kAttrFileName = 0x30,
    kAttrData = 0x80,
};

constexpr std::uint32_t kRootRecord = 5;
constexpr std::uint32_t kFirstUserRecord = 36;  // records 0-35 belong to the file system

// Record header fields.
std::uint16_t RecordFlags(RecordView record);   // bit 0 in use, bit 1 folder
std::uint32_t RecordNumber(RecordView record);

// Checks the signature and the update-sequence array, then puts back the
// words that the fix-ups saved from the end of each 512-byte sector.
bool ValidateAndFixRecord(MutableRecord record);

// Copies the first attribute of `type` (for $FILE_NAME: the Win32 name if the
// record has one, else its last name) into a zeroed 1024-byte buffer.
bool FindAttribute(RecordView record, std::uint8_t type, RecordBuffer& copy);

// Decodes the data-run list at `offset` of an attribute copy.
std::vector<DataRun> DecodeDataRuns(const RecordBuffer& copy, std::size_t offset);

// The parts of a $FILE_NAME attribute copy the scans use.
struct FileNameInfo {
    std::u16string name;
    std::uint32_t parent = 0;  // low 32 bits of the parent reference
    std::uint8_t nameSpace = 0;
};
FileNameInfo DecodeFileName(const RecordBuffer& attribute);

// The base record of an extension record (header 0x20); 0 for a base record.
std::uint64_t BaseRecordReference(RecordView record);
// The file's chosen $FILE_NAME: in the record, or, for a file whose
// attributes spill into extension records, in the record its
// $ATTRIBUTE_LIST names.
bool FindFileName(VolumeScanner& volume, RecordView record, RecordBuffer& copy);

// Volume byte offset of a referenced record through the $MFT runs; 0 when the
// record lies outside them.
std::uint64_t MapReference(const VolumeScanner& volume, std::uint64_t reference);
// The first $DATA attribute of the referenced record.
bool ReadDataAttribute(VolumeScanner& volume, std::uint64_t reference, RecordBuffer& copy);

std::uint64_t FileSize(VolumeScanner& volume, RecordView record);
// The latest of the access, creation and modification times; 0 if none.
std::uint64_t LatestTime(RecordView record);
// The file's runs as volume sectors; `recordSector` is where `record` was read.
std::vector<FileExtent> BuildExtents(VolumeScanner& volume, RecordView record, std::uint64_t recordSector);

}  // namespace scan
