#include "ntfs/RecordFacts.h"

#include "base/Checked.h"
#include "base/Log.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <set>
#include <tuple>

namespace scan {
namespace {

ByteView View(RecordView record)
{
    return {record.data(), record.size()};
}

// NTFS keeps an attribute list to at most 256 KiB (a file so fragmented that
// its list would grow past that cannot be written): a larger one is damage.
constexpr std::uint64_t kMaxAttributeListBytes = 256 << 10;
// Of the $FILE_NAME entries of a list, this many are tried.
constexpr int kNameEntriesTried = 4;

// One entry of an $ATTRIBUTE_LIST.
struct ListEntry {
    std::uint8_t type = 0;
    std::u16string name;
    std::uint64_t lowestVcn = 0;
    std::uint64_t reference = 0;  // the record that holds the attribute
};

// Whether `reference` (an extension record's base reference) names
// `record`: its number, and in the top 16 bits its sequence number (header
// 0x10). Freeing a record counts its sequence number up, so a deleted file's
// extension records name the number before.
bool NamesRecord(std::uint64_t reference, RecordView record)
{
    const RecordHeader h = DecodeRecordHeader(View(record));
    if ((reference & kReferenceNumberMask) != h.number)
        return false;
    const auto named = static_cast<std::uint16_t>(reference >> 48);
    const std::uint16_t own = h.sequenceNumber;
    return named == own || (!h.InUse() && named == static_cast<std::uint16_t>(own - 1));
}

// The entries of the record's $ATTRIBUTE_LIST, each once. A file with many
// attributes keeps the list outside the record (non-resident); it is read
// from its clusters then.
std::vector<ListEntry> ReadAttributeList(VolumeScanner& volume, RecordView record)
{
    std::vector<ListEntry> entries;
    ByteView a;
    if (!FindAttribute(record, kAttrAttributeList, a))
        return entries;
    const AttributeHeader h = DecodeAttributeHeader(a);
    std::vector<std::uint8_t> outside;
    ByteView list;
    if (!h.nonResident) {
        list = a.Sub(h.valueOffset, h.valueLength);
    } else {
        const std::uint64_t spc = volume.m_sectorsPerCluster;
        if (h.dataSize == 0 || h.dataSize > kMaxAttributeListBytes || spc == 0 || !volume.TakeSideRead(h.dataSize))
            return entries;
        outside.assign(static_cast<std::size_t>(h.dataSize), 0);
        std::size_t done = 0;
        for (const DataRun& run : DecodeDataRuns(a, h.runsOffset)) {
            if (done >= outside.size() || run.sparse || run.lcn <= 0 || run.length == 0)
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
    std::set<std::tuple<std::uint8_t, std::uint64_t, std::u16string>> seen;
    std::size_t pos = 0;
    while (list.Has(pos, 0x1A)) {
        const std::uint16_t entryLength = list.U16(pos + 0x04);
        if (entryLength < 0x1A)
            break;
        ListEntry e;
        e.type = list.U8(pos);
        e.name = NameAt(list.Sub(pos, entryLength), list.U8(pos + 0x07), list.U8(pos + 0x06));
        e.lowestVcn = list.U64(pos + 0x08);
        e.reference = list.U64(pos + 0x10);
        // A list that names one attribute twice is damaged; the first stays.
        if (seen.emplace(e.type, e.lowestVcn, e.name).second)
            entries.push_back(std::move(e));
        pos += entryLength;
    }
    return entries;
}

// Reads the record an attribute-list entry names. Only an extension record
// of `base` (its base reference, sequence number included, is the base's
// own) counts: a damaged or crafted list must not pull in other files'
// attributes. `storage` holds the bytes; the result is their intact part.
bool ReadExtensionRecord(VolumeScanner& volume, RecordView base, std::uint64_t reference, RecordBuffer& storage,
                         RecordView& extension, std::uint64_t& sector)
{
    const std::uint64_t offset = MapReference(volume, reference);
    const std::size_t size = volume.m_recordBytes;
    if (offset == 0 || !PlausibleRecordSize(size) || !volume.TakeSideRead(size))
        return false;
    if (volume.ReadSectors(offset >> 9, size, storage.data()) != size)
        return false;
    const MutableRecord record(storage.data(), size);
    const RecordCheck check = ValidateAndFixRecord(record);
    if (!check || !NamesRecord(DecodeRecordHeader(View(record)).baseReference, base))
        return false;
    extension = IntactPart(record, check);
    sector = offset >> 9;
    return true;
}

// The $DATA attribute of `name` whose first cluster is `lowestVcn` in the
// record.
bool FindDataPiece(RecordView record, const std::u16string& name, std::uint64_t lowestVcn, ByteView& attribute)
{
    bool found = false;
    WalkAttributes(record, [&](std::size_t pos, std::uint32_t type, std::size_t length) {
        if ((type & 0xFF) != kAttrData)
            return true;
        if ((type & 0xFFFF0000u) != 0)
            return false;
        const ByteView a = View(record).Sub(pos, length);
        const AttributeHeader h = DecodeAttributeHeader(a);
        if ((h.nonResident ? h.lowestVcn : 0) == lowestVcn && NameAt(a, h.nameOffset, h.nameLength) == name) {
            attribute = a;
            found = true;
            return false;
        }
        return true;
    });
    return found;
}

// What the first (or only) piece of a file's $DATA says of the whole.
void TakeDataHeader(const AttributeHeader& h, DataLayout& layout)
{
    if (!h.nonResident) {
        layout.size = h.valueLength;
        return;
    }
    layout.size = h.dataSize;
    if (h.initializedSize < h.dataSize)
        layout.validSize = h.initializedSize;
    const std::uint16_t method = h.flags & 0x00FF;
    if ((h.flags & 0x4000) != 0)
        layout.encoding = kEncrypted;
    else if (method == 1 && h.compressionUnit != 0)
        layout.encoding = kLznt1;
    else if (method != 0)
        layout.encoding = kUnknownCompression;
    layout.compressionUnit = layout.encoding == kLznt1 ? h.compressionUnit : 0;
}

// The runs as extents, in file order. A run at cluster 0 (damage), of no
// length, or one longer than the volume or starting outside it ends the
// list; so does the attribute's allocated size, which no run list may pass.
// Sparse runs become holes.
ExtentList RunsToExtents(const VolumeScanner& volume, const std::vector<DataRun>& runs, std::uint64_t allocatedSize)
{
    ExtentList extents;
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    if (spc == 0)
        return extents;
    const std::uint64_t volumeClusters = volume.DeclaredSectors() / spc;
    const std::uint64_t clusterBytes = spc * 512;
    std::uint64_t left = allocatedSize / clusterBytes + (allocatedSize % clusterBytes != 0 ? 1 : 0);
    for (const DataRun& run : runs) {
        if (run.length == 0 || left == 0)
            break;
        const std::uint64_t length = std::min<std::uint64_t>(run.length, left);
        if (run.sparse) {
            extents.push_back({0, spc * length, kExtentHole});
        } else {
            if (run.lcn <= 0 || run.length >= volumeClusters || static_cast<std::uint64_t>(run.lcn) >= volumeClusters)
                break;
            extents.push_back({spc * static_cast<std::uint64_t>(run.lcn), spc * length, kExtentPlain});
        }
        left -= length;
    }
    return extents;
}

DataLayout DescribeData(VolumeScanner& volume, RecordView record, const std::vector<ListEntry>& list,
                        std::uint64_t recordSector)
{
    DataLayout layout;
    const std::uint64_t recordSectors = std::max<std::size_t>(record.size(), kDefaultRecordSize) / 512;
    // The pieces of the unnamed $DATA (or, if it has none, of the first
    // listed stream), in the order of their first cluster.
    std::vector<const ListEntry*> pieces;
    for (const ListEntry& e : list) {
        if (e.type == kAttrData && (pieces.empty() || e.name == pieces.front()->name))
            pieces.push_back(&e);
    }
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const ListEntry* a, const ListEntry* b) { return a->lowestVcn < b->lowestVcn; });

    std::vector<DataRun> runs;
    std::uint64_t nextVcn = 0;
    std::uint64_t allocated = 0;
    bool resident = false;
    RecordBuffer storage {};
    for (const ListEntry* piece : pieces) {
        RecordView holder = record;
        std::uint64_t holderSector = recordSector;
        if ((piece->reference & kReferenceNumberMask) != RecordNumber(record) &&
            !ReadExtensionRecord(volume, record, piece->reference, storage, holder, holderSector))
            break;  // a piece that cannot be had: what follows it has no place
        ByteView a;
        if (!FindDataPiece(holder, piece->name, piece->lowestVcn, a))
            break;
        const AttributeHeader h = DecodeAttributeHeader(a);
        if (!h.nonResident) {
            if (runs.empty() && !resident) {
                resident = true;
                TakeDataHeader(h, layout);
                layout.extents.assign(1, {holderSector, std::max<std::size_t>(holder.size(), kDefaultRecordSize) / 512,
                                          kExtentResident});
            }
            continue;
        }
        if (resident || h.lowestVcn != nextVcn)
            break;  // a gap or an overlap in the pieces
        if (h.lowestVcn == 0) {
            TakeDataHeader(h, layout);
            allocated = h.allocatedSize;
        }
        std::vector<DataRun> more = DecodeDataRuns(a, h.runsOffset);
        for (DataRun& run : more) {
            if (run.length == 0)
                break;
            run.vcn = static_cast<std::uint32_t>(nextVcn);
            nextVcn += run.length;
            runs.push_back(run);
        }
    }
    if (resident)
        return layout;
    if (!runs.empty()) {
        layout.extents = RunsToExtents(volume, runs, allocated);
        return layout;
    }
    // No list, or it gave no data: the record's own first $DATA.
    layout = DataLayout {};
    ByteView a;
    if (!FindAttribute(record, kAttrData, a))
        return layout;
    const AttributeHeader h = DecodeAttributeHeader(a);
    TakeDataHeader(h, layout);
    if (!h.nonResident) {
        layout.extents.assign(1, {recordSector, recordSectors, kExtentResident});
        return layout;
    }
    layout.extents = RunsToExtents(volume, DecodeDataRuns(a, h.runsOffset), h.allocatedSize);
    return layout;
}

}  // namespace

namespace {

// ntfs-3g frees an extension record by writing the end marker where its
// first attribute began, over that attribute's type and length; the rest of
// the attribute stays. When the list says this record held the name, a
// resident $FILE_NAME whose header and value still fit is taken from there.
bool FindWipedFileName(RecordView extension, FileNameInfo& name)
{
    const ByteView v = View(extension);
    const std::size_t pos = v.U16(0x14);
    if (v.U32(pos) != 0xFFFFFFFFu || v.U8(pos + 0x08) != 0 || v.U16(pos + 0x14) != 0x18)
        return false;
    const std::size_t valueLength = v.U32(pos + 0x10);
    const std::size_t chars = v.U8(pos + 0x18 + 0x40);
    if (valueLength < 0x42 || valueLength > 0x42 + 2 * 255 || 0x42 + 2 * chars > valueLength || chars == 0 ||
        !v.Has(pos, 0x18 + valueLength))
        return false;
    name = DecodeFileNameValue(v.Sub(pos + 0x18, valueLength));
    return true;
}

bool FindFileName(VolumeScanner& volume, RecordView record, const std::vector<ListEntry>& list, FileNameInfo& name)
{
    ByteView a;
    if (FindAttribute(record, kAttrFileName, a)) {
        name = DecodeFileName(a);
        return true;
    }
    // A file with many attributes may keep its name in an extension record.
    RecordBuffer storage {};
    int tried = 0;
    for (const ListEntry& e : list) {
        RecordView extension;
        std::uint64_t sector = 0;
        if (e.type != kAttrFileName || ++tried > kNameEntriesTried)
            continue;
        if (!ReadExtensionRecord(volume, record, e.reference, storage, extension, sector))
            continue;
        if (FindAttribute(extension, kAttrFileName, a)) {
            name = DecodeFileName(a);
            return true;
        }
        if ((RecordFlags(record) & 1) == 0 && FindWipedFileName(extension, name))
            return true;
    }
    return false;
}

}  // namespace

bool FindFileName(VolumeScanner& volume, RecordView record, FileNameInfo& name)
{
    return FindFileName(volume, record, ReadAttributeList(volume, record), name);
}

bool ReadRecordFacts(VolumeScanner& volume, RecordView record, std::uint64_t recordSector, RecordFacts& facts)
{
    const std::vector<ListEntry> list = ReadAttributeList(volume, record);
    if (!FindFileName(volume, record, list, facts.name))
        return false;
    facts.data = DescribeData(volume, record, list, recordSector);
    return true;
}

std::uint64_t MapReference(const VolumeScanner& volume, std::uint64_t reference)
{
    const std::uint64_t number = reference & kReferenceNumberMask;
    const std::uint64_t offset = number * volume.m_recordBytes;
    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(volume.m_sectorsPerCluster) * 512;
    if (clusterBytes == 0)
        return 0;
    const std::uint64_t vcn = offset / clusterBytes;
    for (const DataRun& run : volume.m_mftRuns) {
        if (run.vcn <= vcn && vcn < static_cast<std::uint64_t>(run.vcn) + run.length) {
            if (run.sparse || run.lcn <= 0)
                return 0;
            std::uint64_t base = 0;
            if (!base::CheckedMul(static_cast<std::uint64_t>(run.lcn), clusterBytes, base))
                return 0;
            return base + offset - static_cast<std::uint64_t>(run.vcn) * clusterBytes;
        }
    }
    return 0;
}

DataLayout DescribeData(VolumeScanner& volume, RecordView record, std::uint64_t recordSector)
{
    return DescribeData(volume, record, ReadAttributeList(volume, record), recordSector);
}

}  // namespace scan
