#include "ntfs/NtfsRecord.h"

#include <algorithm>

namespace scan {
namespace {

ByteView View(RecordView record)
{
    return {record.data(), record.size()};
}

}  // namespace

std::u16string NameAt(ByteView bytes, std::size_t offset, std::size_t chars)
{
    std::u16string name;
    for (std::size_t i = 0; i < chars && bytes.Has(offset + 2 * i, 2); ++i)
        name.push_back(static_cast<char16_t>(bytes.U16(offset + 2 * i)));
    return name;
}

std::uint16_t RecordFlags(RecordView record)
{
    return DecodeRecordHeader(View(record)).flags;
}

std::uint32_t RecordNumber(RecordView record)
{
    return DecodeRecordHeader(View(record)).number;
}

std::size_t RecordSizeOf(ByteView bytes)
{
    const RecordHeader h = DecodeRecordHeader(bytes);
    return h.HasSignature() ? h.SizeFromUpdateSequence() : 0;
}

RecordCheck ValidateAndFixRecord(MutableRecord record)
{
    const ByteView v(record.data(), record.size());
    const std::size_t size = record.size();
    const RecordHeader h = DecodeRecordHeader(v);
    const std::size_t usaOffset = h.updateSequenceOffset;
    const std::size_t usaCount = h.updateSequenceCount;
    // The array holds the sequence number and one word per 512 bytes, and
    // lies inside the first 512 bytes, before the word it protects.
    if (!h.HasSignature() || !PlausibleRecordSize(size) || usaCount != size / kFixupStride + 1 ||
        usaOffset + 2 * usaCount > kFixupStride - 2)
        return {};
    const std::uint16_t sequence = v.U16(usaOffset);
    for (std::size_t i = 1; i < usaCount; ++i) {
        const std::size_t end = kFixupStride * i - 2;
        if (v.U16(end) != sequence) {
            if (i == 1)
                return {};
            return {RecordState::kTorn, kFixupStride * (i - 1)};
        }
        record[end] = record[usaOffset + 2 * i];
        record[end + 1] = record[usaOffset + 2 * i + 1];
    }
    return {RecordState::kWhole, size};
}

bool FindAttribute(RecordView record, std::uint8_t type, ByteView& attribute)
{
    const ByteView v = View(record);
    bool found = false;
    WalkAttributes(record, [&](std::size_t pos, std::uint32_t attrType, std::size_t length) {
        if ((attrType & 0xFF) != type)
            return true;
        // A type with high bytes set is no attribute we know: damage.
        if ((attrType & 0xFFFF0000u) != 0)
            return false;
        attribute = v.Sub(pos, length);
        found = true;
        if (type != kAttrFileName)
            return false;
        // Win32 and Win32-and-DOS names have bit 0 of the namespace set.
        return (FileNameSpace(attribute) & 1) == 0;
    });
    return found;
}

std::uint64_t BaseRecordReference(RecordView record)
{
    return DecodeRecordHeader(View(record)).baseReference & kReferenceNumberMask;
}

std::uint64_t LatestTime(RecordView record)
{
    ByteView v;
    if (FindAttribute(record, kAttrStandardInformation, v))
        return std::max({v.U64(0x18), v.U64(0x20), v.U64(0x30)});
    if (FindAttribute(record, kAttrFileName, v)) {
        // Each time only where it lies inside the attribute.
        const FileNameInfo name = DecodeFileName(v);
        return std::max({name.created, name.modified, name.accessed});
    }
    return 0;
}

}  // namespace scan
