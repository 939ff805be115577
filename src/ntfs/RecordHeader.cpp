#include "ntfs/RecordHeader.h"

namespace scan {

bool PlausibleRecordSize(std::size_t bytes)
{
    return bytes == 1024 || bytes == 2048 || bytes == 4096;
}

std::size_t RecordHeader::SizeFromUpdateSequence() const
{
    const std::size_t count = updateSequenceCount;
    const std::size_t size = count >= 2 ? (count - 1) * kFixupStride : 0;
    return PlausibleRecordSize(size) ? size : 0;
}

RecordHeader DecodeRecordHeader(ByteView v)
{
    RecordHeader h;
    h.signature = v.U32(0x00);
    h.updateSequenceOffset = v.U16(0x04);
    h.updateSequenceCount = v.U16(0x06);
    h.sequenceNumber = v.U16(0x10);
    h.firstAttribute = v.U16(0x14);
    h.flags = v.U16(0x16);
    h.bytesInUse = v.U32(0x18);
    h.bytesAllocated = v.U32(0x1C);
    h.baseReference = v.U64(0x20);
    h.number = v.U32(0x2C);
    return h;
}

}  // namespace scan
