// NTFS file contents: data resident in the file's record, runs of clusters
// with sparse holes, and LZNT1-compressed data in compression units.
#include "volume/FileContent.h"
#include "ntfs/NtfsScan.h"

#include "base/Log.h"
#include "found/FoundFile.h"
#include "ntfs/Lznt1.h"
#include "ntfs/NtfsRecord.h"
#include "ntfs/RecordFacts.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace scan {
namespace {

// A compression unit larger than this is damage: NTFS makes them 16
// clusters of at most 4 KiB.
constexpr std::uint64_t kMaxUnitBytes = 4 << 20;

ContentMap MapOf(const ExtentList& extents)
{
    std::vector<ContentPiece> pieces;
    std::uint64_t offset = 0;
    for (const FileExtent& e : extents) {
        const std::uint64_t bytes = e.sectorCount * 512;
        pieces.push_back({offset, bytes, e.startSector, e.isPersist == kExtentHole});
        offset += bytes;
    }
    return ContentMap(std::move(pieces));
}

// Data kept inside the record itself: the value of its first $DATA.
class ResidentContent final : public FileContentReader {
public:
    ResidentContent(VolumeScanner& volume, const CBaseFileObject& file) : FileContentReader(volume, file)
    {
        const FileExtent& e = file.extents.front();
        std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(e.sectorCount, kMaxRecordSize / 512)) * 512;
        if (!PlausibleRecordSize(size))
            size = kDefaultRecordSize;
        RecordBuffer bytes {};
        if (volume.ReadSectors(e.startSector, size, bytes.data()) != size) {
            m_report.faults |= !volume.DeviceOpen()                           ? kFaultMediumGone
                               : volume.DeviceSectors() != 0 && e.startSector + size / 512 > volume.DeviceSectors()
                                   ? kFaultPastEnd
                                   : kFaultNoData;
            return;
        }
        const MutableRecord record(bytes.data(), size);
        const RecordCheck check = ValidateAndFixRecord(record);
        ByteView data;
        if (!check || !FindAttribute(IntactPart(record, check), kAttrData, data) ||
            DecodeAttributeHeader(data).nonResident) {
            m_report.faults |= kFaultNoData;
            return;
        }
        if (check.Torn())
            m_report.faults |= kFaultTornRecord;
        const AttributeHeader h = DecodeAttributeHeader(data);
        const ByteView value = data.Sub(h.valueOffset, h.valueLength);
        m_value.assign(value.Data(), value.Data() + value.Size());
    }

private:
    std::size_t ReadData(std::uint64_t offset, std::uint8_t* out, std::size_t length) override
    {
        if (offset >= m_value.size()) {
            m_report.faults |= kFaultDataEnds;
            return 0;
        }
        const std::size_t n = std::min<std::size_t>(length, m_value.size() - static_cast<std::size_t>(offset));
        std::memcpy(out, m_value.data() + offset, n);
        if (n < length)
            m_report.faults |= kFaultDataEnds;
        return n;
    }

    std::vector<std::uint8_t> m_value;
};

// LZNT1 data: the file in compression units of 2^m clusters. A unit whose
// clusters are all allocated is stored as it is; one with allocated clusters
// followed by a sparse tail holds an LZNT1 stream; one with none reads as
// zeros.
class CompressedContent final : public FileContentReader {
public:
    CompressedContent(VolumeScanner& volume, const CBaseFileObject& file, std::uint64_t unitBytes)
        : FileContentReader(volume, file), m_map(MapOf(file.extents)), m_unitBytes(unitBytes)
    {
    }

    bool Allocate()
    {
        try {
            m_unit.resize(static_cast<std::size_t>(m_unitBytes));
            m_packed.resize(static_cast<std::size_t>(m_unitBytes));
        } catch (const std::bad_alloc&) {
            base::LogLess("Memory is not enough!");
            return false;
        }
        return true;
    }

private:
    std::size_t ReadData(std::uint64_t offset, std::uint8_t* out, std::size_t length) override
    {
        std::size_t done = 0;
        while (done < length) {
            const std::uint64_t at = offset + done;
            const std::uint64_t index = at / m_unitBytes;
            if (!Decode(index))
                break;
            const std::uint64_t within = at - index * m_unitBytes;
            if (within >= m_unitLength) {
                m_report.faults |= kFaultDataEnds;
                break;
            }
            const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, m_unitLength - within));
            std::memcpy(out + done, m_unit.data() + within, take);
            done += take;
        }
        return done;
    }

    // Makes unit `index` the one in m_unit; false where the file's runs end
    // before it or it cannot be read.
    bool Decode(std::uint64_t index)
    {
        if (index == m_unitIndex)
            return true;
        m_unitIndex = ~std::uint64_t {0};
        const std::uint64_t start = index * m_unitBytes;
        if (start >= m_map.Bytes()) {
            m_report.faults |= kFaultDataEnds;
            return false;
        }
        const std::uint64_t span = std::min(m_unitBytes, m_map.Bytes() - start);
        const std::uint64_t allocated = m_map.AllocatedPrefix(start, span);
        const auto n = static_cast<std::size_t>(span);
        if (allocated == span) {
            if (m_map.Read(m_volume, start, m_unit.data(), n, m_report) < n)
                return false;
        } else if (allocated == 0) {
            std::memset(m_unit.data(), 0, n);
        } else {
            const auto packed = static_cast<std::size_t>(allocated);
            if (m_map.Read(m_volume, start, m_packed.data(), packed, m_report) < packed)
                return false;
            bool damaged = false;
            const std::size_t produced = DecompressLznt1(m_packed.data(), packed, m_unit.data(), n, damaged);
            std::memset(m_unit.data() + produced, 0, n - produced);
            if (damaged) {
                m_report.faults |= kFaultDamagedCompression;
                ++m_report.damagedUnits;
            }
        }
        m_unitIndex = index;
        m_unitLength = span;
        return true;
    }

    ContentMap m_map;
    std::uint64_t m_unitBytes = 0;
    std::vector<std::uint8_t> m_unit;    // the decoded unit
    std::vector<std::uint8_t> m_packed;  // its clusters as they lie on the volume
    std::uint64_t m_unitIndex = ~std::uint64_t {0};
    std::uint64_t m_unitLength = 0;
};

}  // namespace

std::unique_ptr<FileContentReader> OpenNtfsContent(VolumeScanner& volume, const CBaseFileObject& file)
{
    if (file.m_fileSize == 0 && file.extents.empty())
        return NoContent(volume, file, 0);
    if (file.extents.empty())
        return NoContent(volume, file, kFaultNoData);
    if (file.extents.front().isPersist == kExtentResident)
        return std::make_unique<ResidentContent>(volume, file);
    switch (file.m_encoding) {
    case kStored:
        return MappedContent(volume, file, MapOf(file.extents), 0);
    case kLznt1: {
        const std::uint64_t clusterBytes = std::uint64_t {volume.m_sectorsPerCluster} * 512;
        const std::uint64_t unitBytes = file.m_compressionUnit < 16 ? clusterBytes << file.m_compressionUnit : 0;
        if (clusterBytes == 0 || unitBytes == 0 || unitBytes > kMaxUnitBytes)
            return NoContent(volume, file, kFaultUnsupported);
        auto reader = std::make_unique<CompressedContent>(volume, file, unitBytes);
        if (!reader->Allocate())
            return NoContent(volume, file, kFaultUnsupported);
        return reader;
    }
    case kEncrypted:
        return NoContent(volume, file, kFaultEncrypted);
    default:
        return NoContent(volume, file, kFaultUnsupported);
    }
}

}  // namespace scan
