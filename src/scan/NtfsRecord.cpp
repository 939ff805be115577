#include "scan/NtfsRecord.h"

#include "host/Log.h"
#include "scan/ByteView.h"

#include <algorithm>
#include <cstring>

namespace scan {
namespace {

constexpr std::uint32_t kFileSignature = 0x454C4946;  // "FILE"
constexpr std::size_t kMaxUpdateSequenceCount = 8;

ByteView View(RecordView record)
{
    return {record.data(), record.size()};
}

ByteView View(const RecordBuffer& copy)
{
    return {copy.data(), copy.size()};
}

bool IsNonResident(const RecordBuffer& attribute)
{
    return attribute[0x08] != 0;
}

// An attribute list larger than this is damage: a real one lists a few
// hundred attributes at most.
constexpr std::uint64_t kMaxAttributeListBytes = 1 << 20;

// Calls `entry(type, reference)` for each entry of the record's
// $ATTRIBUTE_LIST. A file with many attributes keeps the list outside the
// record (non-resident); it is read from its clusters then.
template <typename F>
void ForEachListEntry(VolumeScanner& volume, RecordView record, F&& entry)
{
    RecordBuffer attribute {};
    if (!FindAttribute(record, kAttrAttributeList, attribute))
        return;
    const ByteView a = View(attribute);
    std::vector<std::uint8_t> outside;
    ByteView list;
    if (!IsNonResident(attribute)) {
        const std::size_t length = a.U16(0x04);
        list = a.Sub(a.U16(0x14), std::min<std::size_t>(a.U32(0x10), length > a.U16(0x14) ? length - a.U16(0x14) : 0));
    } else {
        const std::uint64_t size = a.U64(0x30);
        const std::uint64_t spc = volume.m_sectorsPerCluster;
        if (size == 0 || size > kMaxAttributeListBytes || spc == 0)
            return;
        outside.assign(static_cast<std::size_t>(size), 0);
        std::size_t done = 0;
        for (const DataRun& run : DecodeDataRuns(attribute, a.U16(0x20))) {
            if (done >= outside.size() || run.lcn <= 0 || run.length == 0)
                break;
            const std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(outside.size() - done, std::uint64_t {run.length} * spc * 512));
            const std::size_t got =
                volume.ReadSectors(spc * static_cast<std::uint64_t>(run.lcn), want, outside.data() + done);
            done += got;
            if (got < want)
                break;
        }
        list = ByteView(outside.data(), done);
    }
    std::size_t pos = 0;
    while (list.Has(pos, 0x18)) {
        const std::uint16_t entryLength = list.U16(pos + 0x04);
        if (entryLength < 0x18)
            break;
        entry(list.U8(pos), list.U64(pos + 0x10));
        pos += entryLength;
    }
}

}  // namespace

std::uint16_t RecordFlags(RecordView record)
{
    return View(record).U16(0x16);
}

std::uint32_t RecordNumber(RecordView record)
{
    return View(record).U32(0x2C);
}

bool ValidateAndFixRecord(MutableRecord record)
{
    const ByteView v(record.data(), record.size());
    const std::size_t usaOffset = v.U16(0x04);
    const std::size_t usaCount = v.U16(0x06);
    if (v.U32(0) != kFileSignature || usaOffset >= kRecordSize || usaCount > kMaxUpdateSequenceCount)
        return false;
    if (!v.Has(usaOffset, 2 * usaCount))
        return false;
    // Word i of the array belongs to the end of sector i; sectors past the
    // 1024 bytes we read (larger records) have nothing here to fix.
    for (std::size_t i = 1; i < usaCount && 512 * i <= kRecordSize; ++i) {
        record[512 * i - 2] = record[usaOffset + 2 * i];
        record[512 * i - 1] = record[usaOffset + 2 * i + 1];
    }
    return true;
}

bool FindAttribute(RecordView record, std::uint8_t type, RecordBuffer& copy)
{
    const ByteView v = View(record);
    bool found = false;
    std::size_t pos = v.U16(0x14);
    while (pos < 1020) {
        const std::uint32_t attrType = v.U32(pos);
        const std::size_t length = v.U16(pos + 0x04);
        if ((attrType & 0xFF) == 0xFF || length == 0 || pos + length + 4 > 1023)
            break;
        if ((attrType & 0xFF) == type) {
            // A type with high bytes set is no attribute we know: damage.
            if ((attrType & 0xFFFF0000u) != 0)
                break;
            copy.fill(0);
            std::memcpy(copy.data(), record.data() + pos, length);
            found = true;
            if (type != kAttrFileName)
                break;
            // Win32 and Win32-and-DOS names have bit 0 of the namespace set.
            if (pos + 0x59 < kRecordSize && (v.U8(pos + 0x59) & 1) != 0)
                break;
        }
        pos += length;
    }
    return found;
}

std::vector<DataRun> DecodeDataRuns(const RecordBuffer& copy, std::size_t offset)
{
    std::vector<DataRun> runs;
    if (offset > 1023) {
        host::LogLess("GetDataRunList offset=%d", static_cast<int>(offset));
        return runs;
    }
    const ByteView v = View(copy);
    std::int64_t lcn = 0;
    std::uint32_t vcn = 0;
    std::size_t pos = offset;
    while (true) {
        const std::uint8_t header = v.U8(pos);
        const std::size_t lengthBytes = header & 0x0F;
        const std::size_t offsetBytes = header >> 4;
        if (lengthBytes > 8 || offsetBytes > 8 || !v.Has(pos + 1, lengthBytes + offsetBytes))
            break;
        const auto length = static_cast<std::uint32_t>(v.UN(pos + 1, lengthBytes));
        std::uint64_t delta = v.UN(pos + 1 + lengthBytes, offsetBytes);
        if (offsetBytes > 0 && offsetBytes < 8 && (delta >> (8 * offsetBytes - 1)) != 0)
            delta |= ~std::uint64_t {0} << (8 * offsetBytes);  // sign-extend
        lcn = static_cast<std::int64_t>(static_cast<std::uint64_t>(lcn) + delta);
        runs.push_back({lcn, vcn, length});
        vcn += length;
        pos += 1 + lengthBytes + offsetBytes;
        if (pos >= copy.size() || v.U8(pos) == 0)
            break;
    }
    return runs;
}

FileNameInfo DecodeFileName(const RecordBuffer& attribute)
{
    const ByteView v = View(attribute);
    FileNameInfo info;
    info.parent = v.U32(0x18);
    info.nameSpace = v.U8(0x59);
    // The name may not run past the attribute's own length.
    const std::size_t attrLength = std::min<std::size_t>(v.U16(0x04), kRecordSize);
    const std::size_t room = attrLength > 0x5A ? (attrLength - 0x5A) / 2 : 0;
    const std::size_t chars = std::min<std::size_t>(v.U8(0x58), room);
    info.name.reserve(chars);
    for (std::size_t i = 0; i < chars; ++i)
        info.name.push_back(static_cast<char16_t>(v.U16(0x5A + 2 * i)));
    return info;
}

std::uint64_t BaseRecordReference(RecordView record)
{
    return View(record).U64(0x20) & 0xFFFFFFFFFFFFULL;
}

bool FindFileName(VolumeScanner& volume, RecordView record, RecordBuffer& copy)
{
    if (FindAttribute(record, kAttrFileName, copy))
        return true;
    // A file with many attributes may keep its name in an extension record.
    bool found = false;
    ForEachListEntry(volume, record, [&](std::uint8_t type, std::uint64_t reference) {
        if (found || type != kAttrFileName)
            return;
        const std::uint64_t offset = MapReference(volume, reference);
        RecordBuffer other {};
        if (offset != 0 && volume.ReadSectors(offset >> 9, kRecordSize, other.data()) == kRecordSize &&
            ValidateAndFixRecord(other) && BaseRecordReference(other) == (RecordNumber(record) & 0xFFFFFFFFFFFFULL))
            found = FindAttribute(other, kAttrFileName, copy);
    });
    return found;
}

std::uint64_t MapReference(const VolumeScanner& volume, std::uint64_t reference)
{
    const std::uint64_t number = reference & 0xFFFFFFFFFFFFULL;
    const std::uint64_t offset = number * kRecordSize;
    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(volume.m_sectorsPerCluster) * 512;
    if (clusterBytes == 0)
        return 0;
    const std::uint64_t vcn = offset / clusterBytes;
    for (const DataRun& run : volume.m_mftRuns) {
        if (run.vcn <= vcn && vcn < static_cast<std::uint64_t>(run.vcn) + run.length) {
            if (run.lcn <= 0)
                return 0;
            std::uint64_t base = 0;
            if (__builtin_mul_overflow(static_cast<std::uint64_t>(run.lcn), clusterBytes, &base))
                return 0;
            return base + offset - static_cast<std::uint64_t>(run.vcn) * clusterBytes;
        }
    }
    return 0;
}

bool ReadDataAttribute(VolumeScanner& volume, std::uint64_t reference, RecordBuffer& copy)
{
    const std::uint64_t offset = MapReference(volume, reference);
    if (offset == 0)
        return false;
    RecordBuffer record {};
    if (volume.ReadSectors(offset >> 9, kRecordSize, record.data()) != kRecordSize)
        return false;
    if (!ValidateAndFixRecord(record))
        return false;
    return FindAttribute(record, kAttrData, copy);
}

std::uint64_t FileSize(VolumeScanner& volume, RecordView record)
{
    std::uint64_t sum = 0;
    ForEachListEntry(volume, record, [&](std::uint8_t type, std::uint64_t reference) {
        RecordBuffer data {};
        if (type == kAttrData && ReadDataAttribute(volume, reference, data))
            sum += IsNonResident(data) ? View(data).U64(0x30) : View(data).U32(0x10);
    });
    if (sum != 0)
        return sum;
    RecordBuffer attribute {};
    if (!FindAttribute(record, kAttrData, attribute))
        return 0;
    const ByteView v = View(attribute);
    return IsNonResident(attribute) ? v.U64(0x30) : v.U32(0x10);
}

std::uint64_t LatestTime(RecordView record)
{
    RecordBuffer attribute {};
    const ByteView v = View(attribute);
    if (FindAttribute(record, kAttrStandardInformation, attribute))
        return std::max({v.U64(0x18), v.U64(0x20), v.U64(0x30)});
    if (FindAttribute(record, kAttrFileName, attribute)) {
        const std::size_t content = v.U16(0x14);
        // Each time only where it lies inside the record.
        return std::max({v.U64(content + 0x08), v.U64(content + 0x10), v.U64(content + 0x20)});
    }
    return 0;
}

std::vector<FileExtent> BuildExtents(VolumeScanner& volume, RecordView record, std::uint64_t recordSector)
{
    std::vector<FileExtent> extents;
    std::vector<DataRun> runs;
    ForEachListEntry(volume, record, [&](std::uint8_t type, std::uint64_t reference) {
        RecordBuffer data {};
        if (type != kAttrData || !ReadDataAttribute(volume, reference, data))
            return;
        if (IsNonResident(data)) {
            const auto more = DecodeDataRuns(data, View(data).U16(0x20));
            runs.insert(runs.end(), more.begin(), more.end());
        } else if (runs.empty()) {
            extents.assign(1, {MapReference(volume, reference) / 512, 2, 1});
        }
    });
    RecordBuffer attribute {};
    if (runs.empty()) {
        if (!FindAttribute(record, kAttrData, attribute))
            return extents;
        if (!IsNonResident(attribute)) {
            extents.assign(1, {recordSector, 2, 1});
            return extents;
        }
        runs = DecodeDataRuns(attribute, View(attribute).U16(0x20));
    }
    extents.clear();
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    const std::uint64_t volumeClusters = spc ? volume.m_volumeSize / spc : 0;
    for (const DataRun& run : runs) {
        // A run at cluster 0 (sparse or damaged), of no length, or longer than
        // the volume ends the list; so does one that starts outside it.
        if (run.lcn <= 0 || run.length == 0 || run.length >= volumeClusters ||
            static_cast<std::uint64_t>(run.lcn) >= volumeClusters)
            break;
        extents.push_back({spc * static_cast<std::uint64_t>(run.lcn), spc * run.length, 0});
    }
    return extents;
}

}  // namespace scan
