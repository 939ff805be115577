// The header of an NTFS file record ("FILE"): its update sequence (the
// fix-ups that guard every 512 bytes), where its attributes begin, whether
// it is in use and a folder, its number, and the base record of an
// extension record. Records are 1024, 2048 or 4096 bytes.
#pragma once

#include "base/ByteView.h"

#include <cstddef>
#include <cstdint>

namespace scan {

constexpr std::size_t kDefaultRecordSize = 1024;
constexpr std::size_t kMaxRecordSize = 4096;
// The update sequence protects every 512 bytes of a record, whatever the
// sector size of the volume.
constexpr std::size_t kFixupStride = 512;
constexpr std::uint32_t kFileSignature = 0x454C4946;  // "FILE"
constexpr std::uint64_t kReferenceNumberMask = 0xFFFFFFFFFFFFULL;

struct RecordHeader {
    std::uint32_t signature = 0;
    std::uint16_t updateSequenceOffset = 0;
    std::uint16_t updateSequenceCount = 0;  // the sequence number, then one word per 512 bytes
    std::uint16_t sequenceNumber = 0;       // counted up each time the record is freed
    std::uint16_t firstAttribute = 0;
    std::uint16_t flags = 0;                // bit 0 in use, bit 1 folder
    std::uint32_t bytesInUse = 0;
    std::uint32_t bytesAllocated = 0;
    std::uint64_t baseReference = 0;        // an extension record's base record; 0 for a base record
    std::uint32_t number = 0;               // the record's own number (NTFS 3.1)

    bool HasSignature() const { return signature == kFileSignature; }
    bool InUse() const { return (flags & 1) != 0; }
    bool Folder() const { return (flags & 2) != 0; }
    // The record size its update sequence tells; 0 when that is no size
    // NTFS uses.
    std::size_t SizeFromUpdateSequence() const;
};
// Fields past the end of `bytes` read as 0.
RecordHeader DecodeRecordHeader(ByteView bytes);

// 1024, 2048 or 4096.
bool PlausibleRecordSize(std::size_t bytes);

}  // namespace scan
