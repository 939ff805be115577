#include "ntfs/AttributeHeader.h"

namespace scan {

AttributeHeader DecodeAttributeHeader(ByteView a)
{
    AttributeHeader h;
    h.type = a.U32(0x00);
    h.length = a.U16(0x04);
    h.nonResident = a.U8(0x08) != 0;
    h.nameLength = a.U8(0x09);
    h.nameOffset = a.U16(0x0A);
    h.flags = a.U16(0x0C);
    if (!h.nonResident) {
        h.valueLength = a.U32(0x10);
        h.valueOffset = a.U16(0x14);
        return h;
    }
    h.lowestVcn = a.U64(0x10);
    h.runsOffset = a.U16(0x20);
    h.compressionUnit = a.U8(0x22);
    h.allocatedSize = a.U64(0x28);
    h.dataSize = a.U64(0x30);
    h.initializedSize = a.U64(0x38);
    return h;
}

}  // namespace scan
