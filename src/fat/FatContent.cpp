// FAT32 and exFAT file contents: the cluster chain in the FAT, followed once
// when the reader is opened and turned into runs of consecutive clusters.
#include "found/FileContent.h"

#include "found/FoundFile.h"
#include "volume/VolumeScanner.h"

#include <map>

namespace scan {
namespace {

// Builds the runs of a chain: `next(c)` gives the cluster after c, or 0 at
// the end; `sectorOf(c)` where c begins. At most `needed` clusters are
// taken. A chain that comes back to a cluster it passed (a loop, or a
// cross-link into itself) ends there.
template <typename Next, typename SectorOf>
std::vector<ContentPiece> ChainPieces(std::uint32_t first, std::uint64_t needed, std::uint64_t clusterBytes,
                                      Next&& next, SectorOf&& sectorOf)
{
    std::vector<ContentPiece> pieces;
    std::map<std::uint32_t, std::uint32_t> ranges;  // first cluster -> one past the last, of each run
    std::uint32_t runFirst = first;
    std::uint32_t runEnd = first + 1;
    auto close = [&] {
        const std::uint64_t offset = pieces.empty() ? 0 : pieces.back().fileOffset + pieces.back().bytes;
        pieces.push_back({offset, std::uint64_t {runEnd - runFirst} * clusterBytes, sectorOf(runFirst), false});
        ranges.emplace(runFirst, runEnd);
    };
    auto passed = [&](std::uint32_t c) {
        auto it = ranges.upper_bound(c);
        if (it != ranges.begin() && c < std::prev(it)->second)
            return true;
        return c >= runFirst && c < runEnd;
    };
    for (std::uint64_t taken = 1; taken < needed; ++taken) {
        const std::uint32_t c = next(runEnd - 1);
        if (c == 0)
            break;
        if (c == runEnd && (ranges.empty() || ranges.count(c) == 0)) {
            ++runEnd;
            continue;
        }
        if (passed(c))
            break;
        close();
        runFirst = c;
        runEnd = c + 1;
    }
    close();
    return pieces;
}

std::uint64_t ClustersFor(std::uint64_t size, std::uint64_t clusterBytes)
{
    return std::max<std::uint64_t>(1, size / clusterBytes + (size % clusterBytes != 0 ? 1 : 0));
}

// The file taken as one run from its first sector, for as long as its size.
ContentMap Contiguous(std::uint64_t sector, std::uint64_t size)
{
    return ContentMap({{0, size, sector, false}});
}

}  // namespace

std::unique_ptr<FileContentReader> OpenFat32Content(VolumeScanner& volume, const CBaseFileObject& file)
{
    if (file.m_isDirectory != 0 || file.extents.empty())
        return NoContent(volume, file, kFaultNoData);
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    const std::uint64_t dataStart = volume.m_fat32.firstDataSector;
    const std::uint64_t start = file.extents.front().startSector;
    if (spc == 0 || start < dataStart)
        return NoContent(volume, file, kFaultNoData);
    const std::uint64_t entries = volume.m_fat.size();
    const std::uint64_t limit = volume.DeclaredSectors() / spc + 2;
    const std::uint64_t first = (start - dataStart) / spc + 2;
    auto next = [&](std::uint32_t c) -> std::uint32_t {
        if (c >= entries)
            return 0;
        const std::uint32_t v = volume.m_fat[c] & 0x0FFFFFFF;
        return v < 2 || v >= 0x0FFFFFF8 || v >= limit ? 0 : v;
    };
    // A file whose first FAT entry is free or ends the chain (a deleted file,
    // or one of a single cluster) is taken as contiguous from its start.
    if (first >= entries || next(static_cast<std::uint32_t>(first)) == 0)
        return MappedContent(volume, file, Contiguous(start, file.m_fileSize), 0);
    const std::uint64_t clusterBytes = spc * 512;
    return MappedContent(
        volume, file,
        ContentMap(ChainPieces(static_cast<std::uint32_t>(first), std::min(ClustersFor(file.m_fileSize, clusterBytes), entries),
                               clusterBytes, next,
                               [&](std::uint32_t c) { return dataStart + (std::uint64_t {c} - 2) * spc; })),
        0);
}

std::unique_ptr<FileContentReader> OpenExfatContent(VolumeScanner& volume, const CBaseFileObject& file)
{
    if (file.m_isDirectory != 0 || file.extents.empty())
        return NoContent(volume, file, kFaultNoData);
    const FileExtent& first = file.extents.front();
    if (first.isPersist == kExtentPlain)  // the file's clusters follow one another
        return MappedContent(volume, file, Contiguous(first.startSector, file.m_fileSize), 0);
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    const std::uint64_t heap = volume.m_exfat.clusterHeapSector;
    const std::uint64_t count = volume.m_exfat.clusterCount;
    if (spc == 0 || first.startSector < heap)
        return NoContent(volume, file, kFaultNoData);
    const std::uint64_t cluster = (first.startSector - heap) / spc + 2;
    if (cluster >= count + 2)
        return NoContent(volume, file, kFaultNoData);
    auto next = [&](std::uint32_t c) -> std::uint32_t {
        if (c < 2 || c >= volume.m_fat.size() || c >= count + 2)
            return 0;
        const std::uint32_t v = volume.m_fat[c];
        return v < 2 || v == 0xFFFFFFFF || v >= count + 2 ? 0 : v;
    };
    const std::uint64_t clusterBytes = spc * 512;
    return MappedContent(
        volume, file,
        ContentMap(ChainPieces(static_cast<std::uint32_t>(cluster), std::min(ClustersFor(file.m_fileSize, clusterBytes), count),
                               clusterBytes, next, [&](std::uint32_t c) { return heap + (std::uint64_t {c} - 2) * spc; })),
        0);
}

}  // namespace scan
