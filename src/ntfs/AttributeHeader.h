// The header every NTFS attribute of a file record begins with: its type and
// length, whether its value is resident (in the record) or not (in clusters,
// through data runs), and the sizes of the value.
#pragma once

#include "base/ByteView.h"

#include <cstdint>

namespace scan {

enum AttributeType : std::uint8_t {
    kAttrStandardInformation = 0x10,
    kAttrAttributeList = 0x20,
    kAttrFileName = 0x30,
    kAttrData = 0x80,
};

// The fields of an attribute header the scans use.
struct AttributeHeader {
    std::uint32_t type = 0;
    std::uint32_t length = 0;
    bool nonResident = false;
    std::uint8_t nameLength = 0;
    std::uint16_t nameOffset = 0;
    std::uint16_t flags = 0;                // 0x00FF compression method, 0x4000 encrypted, 0x8000 sparse
    // Resident.
    std::uint32_t valueLength = 0;
    std::uint16_t valueOffset = 0;
    // Non-resident.
    std::uint64_t lowestVcn = 0;
    std::uint16_t runsOffset = 0;
    std::uint8_t compressionUnit = 0;       // log2 of the clusters of one compression unit
    std::uint64_t allocatedSize = 0;
    std::uint64_t dataSize = 0;
    std::uint64_t initializedSize = 0;
};
// Fields past the end of `attribute` read as 0.
AttributeHeader DecodeAttributeHeader(ByteView attribute);

}  // namespace scan
