#include "volume/FileContent.h"

#include "found/FoundFile.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <cstring>

namespace scan {
namespace {

constexpr std::size_t kSectorBytes = 512;

// Reads `length` bytes that start `skip` bytes into volume sector `sector`,
// zero-filling what cannot be read. Short only at the end of the device or
// when the medium is gone.
std::size_t ReadBytes(VolumeScanner& volume, std::uint64_t sector, std::uint64_t skip, std::uint8_t* out,
                      std::size_t length, ContentReport& report)
{
    sector += skip / kSectorBytes;
    const auto within = static_cast<std::size_t>(skip % kSectorBytes);
    std::size_t done = 0;
    if (within != 0) {
        std::uint8_t scratch[kSectorBytes] = {};
        const VolumeScanner::SalvagedRead r = volume.ReadSectorsSalvaging(sector, kSectorBytes, scratch);
        report.unreadableSectors += r.unreadableSectors;
        if (r.bytes <= within)
            return 0;
        done = std::min(length, r.bytes - within);
        std::memcpy(out, scratch + within, done);
        if (done == length || r.bytes < kSectorBytes)
            return done;
        ++sector;
    }
    const VolumeScanner::SalvagedRead r = volume.ReadSectorsSalvaging(sector, length - done, out + done);
    report.unreadableSectors += r.unreadableSectors;
    return done + r.bytes;
}

class Unreadable final : public FileContentReader {
public:
    Unreadable(VolumeScanner& volume, const CBaseFileObject& file, std::uint32_t faults)
        : FileContentReader(volume, file)
    {
        m_report.faults |= faults;
    }

private:
    std::size_t ReadData(std::uint64_t, std::uint8_t*, std::size_t) override { return 0; }
};

class Mapped final : public FileContentReader {
public:
    Mapped(VolumeScanner& volume, const CBaseFileObject& file, ContentMap map, std::uint32_t faults)
        : FileContentReader(volume, file), m_map(std::move(map))
    {
        m_report.faults |= faults;
    }

private:
    std::size_t ReadData(std::uint64_t offset, std::uint8_t* out, std::size_t length) override
    {
        const std::size_t got = m_map.Read(m_volume, offset, out, length, m_report);
        if (got < length && m_volume.DeviceOpen() && (m_report.faults & kFaultPastEnd) == 0)
            m_report.faults |= kFaultDataEnds;
        return got;
    }

    ContentMap m_map;
};

}  // namespace

ContentMap::ContentMap(std::vector<ContentPiece> pieces) : m_pieces(std::move(pieces)) {}

std::vector<ContentPiece>::const_iterator ContentMap::PieceAt(std::uint64_t offset) const
{
    auto it = std::upper_bound(m_pieces.begin(), m_pieces.end(), offset,
                               [](std::uint64_t o, const ContentPiece& p) { return o < p.fileOffset; });
    return it == m_pieces.begin() ? m_pieces.end() : std::prev(it);
}

std::uint64_t ContentMap::AllocatedPrefix(std::uint64_t offset, std::uint64_t length) const
{
    std::uint64_t allocated = 0;
    for (auto it = PieceAt(offset); it != m_pieces.end() && allocated < length; ++it) {
        const std::uint64_t from = offset + allocated;
        if (it->hole || from < it->fileOffset || from >= it->fileOffset + it->bytes)
            break;
        allocated += std::min(length - allocated, it->fileOffset + it->bytes - from);
    }
    return allocated;
}

std::size_t ContentMap::Read(VolumeScanner& volume, std::uint64_t offset, std::uint8_t* out, std::size_t length,
                             ContentReport& report) const
{
    std::size_t done = 0;
    for (auto it = PieceAt(offset); it != m_pieces.end() && done < length; ++it) {
        const std::uint64_t at = offset + done;
        if (at < it->fileOffset)
            break;  // pieces always follow one another; a gap ends the map
        const std::uint64_t within = at - it->fileOffset;
        if (within >= it->bytes)
            continue;
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, it->bytes - within));
        if (it->hole) {
            std::memset(out + done, 0, take);
            done += take;
            continue;
        }
        const std::size_t got = ReadBytes(volume, it->sector, within, out + done, take, report);
        done += got;
        if (got < take) {
            const std::uint64_t deviceEnd = volume.DeviceSectors();  // 0: the device tells no size
            if (deviceEnd != 0 && it->sector + (within + got) / kSectorBytes >= deviceEnd)
                report.faults |= kFaultPastEnd;
            break;
        }
    }
    return done;
}

FileContentReader::FileContentReader(VolumeScanner& volume, const CBaseFileObject& file)
    : m_volume(volume), m_size(file.m_fileSize), m_validSize(std::min(file.m_validSize, file.m_fileSize))
{
    if (file.m_torn)
        m_report.faults |= kFaultTornRecord;
}

std::size_t FileContentReader::Read(std::uint64_t offset, std::uint8_t* out, std::size_t length)
{
    if (offset >= m_size)
        return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, m_size - offset));
    std::size_t done = 0;
    if (offset < m_validSize) {
        const auto data = static_cast<std::size_t>(std::min<std::uint64_t>(length, m_validSize - offset));
        done = ReadData(offset, out, data);
        if (m_report.unreadableSectors != 0)
            m_report.faults |= kFaultUnreadable;
        if (done < data) {
            if (!m_volume.DeviceOpen())
                m_report.faults |= kFaultMediumGone;
            return done;
        }
    }
    // Past the bytes written so far the file holds zeros.
    if (length > done)
        std::memset(out + done, 0, length - done);
    return length;
}

std::unique_ptr<FileContentReader> NoContent(VolumeScanner& volume, const CBaseFileObject& file, std::uint32_t faults)
{
    return std::make_unique<Unreadable>(volume, file, faults);
}

std::unique_ptr<FileContentReader> MappedContent(VolumeScanner& volume, const CBaseFileObject& file, ContentMap map,
                                                 std::uint32_t faults)
{
    return std::make_unique<Mapped>(volume, file, std::move(map), faults);
}

}  // namespace scan
