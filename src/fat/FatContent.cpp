// FAT32 and exFAT file contents: the cluster chain in the FAT, followed once
// when the reader is opened and turned into runs of consecutive clusters.
#include "volume/FileContent.h"
#include "fat/FatScan.h"

#include "fat/ClusterChain.h"
#include "found/FoundFile.h"
#include "volume/VolumeScanner.h"

#include <map>

namespace scan {
namespace {

// Builds the runs of the chain from `first`. At most `needed` clusters are
// taken. A chain that comes back to a cluster it passed (a loop, or a
// cross-link into itself) ends there.
std::vector<ContentPiece> ChainPieces(const ClusterChain& chain, std::uint32_t first, std::uint64_t needed,
                                      std::uint64_t clusterBytes)
{
    std::vector<ContentPiece> pieces;
    std::map<std::uint32_t, std::uint32_t> ranges;  // first cluster -> one past the last, of each run
    std::uint32_t runFirst = first;
    std::uint32_t runEnd = first + 1;
    auto close = [&] {
        const std::uint64_t offset = pieces.empty() ? 0 : pieces.back().fileOffset + pieces.back().bytes;
        pieces.push_back({offset, std::uint64_t {runEnd - runFirst} * clusterBytes, chain.SectorOf(runFirst), false});
        ranges.emplace(runFirst, runEnd);
    };
    auto passed = [&](std::uint32_t c) {
        auto it = ranges.upper_bound(c);
        if (it != ranges.begin() && c < std::prev(it)->second)
            return true;
        return c >= runFirst && c < runEnd;
    };
    for (std::uint64_t taken = 1; taken < needed; ++taken) {
        const std::uint32_t c = chain.Next(runEnd - 1);
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
    if (file.m_isDirectory != kKindFile || file.extents.empty())
        return NoContent(volume, file, kFaultNoData);
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    const std::uint64_t dataStart = volume.m_fat32.firstDataSector;
    const std::uint64_t start = file.extents.front().startSector;
    if (spc == 0 || start < dataStart)
        return NoContent(volume, file, kFaultNoData);
    const ClusterChain chain = Fat32Chain(volume);
    const std::uint64_t first = (start - dataStart) / spc + 2;
    // A file whose first FAT entry is free or ends the chain (a deleted file,
    // or one of a single cluster) is taken as contiguous from its start; so
    // is one the deep scan found in an old folder, whose chain this FAT
    // does not hold.
    if (first > 0xFFFFFFFF || chain.Next(static_cast<std::uint32_t>(first)) == 0 || file.m_existType == kExistLost)
        return MappedContent(volume, file, Contiguous(start, file.m_fileSize), 0);
    const std::uint64_t clusterBytes = spc * 512;
    return MappedContent(volume, file,
                         ContentMap(ChainPieces(chain, static_cast<std::uint32_t>(first),
                                                std::min(ClustersFor(file.m_fileSize, clusterBytes), chain.Entries()),
                                                clusterBytes)),
                         0);
}

std::unique_ptr<FileContentReader> OpenExfatContent(VolumeScanner& volume, const CBaseFileObject& file)
{
    if (file.m_isDirectory != kKindFile || file.extents.empty())
        return NoContent(volume, file, kFaultNoData);
    const FileExtent& first = file.extents.front();
    if (first.isPersist == kExtentPlain || file.m_existType == kExistLost)  // the file's clusters follow one another
        return MappedContent(volume, file, Contiguous(first.startSector, file.m_fileSize), 0);
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    const std::uint64_t heap = volume.m_exfat.clusterHeapSector;
    const std::uint64_t count = volume.m_exfat.clusterCount;
    if (spc == 0 || first.startSector < heap)
        return NoContent(volume, file, kFaultNoData);
    const ClusterChain chain = ExfatChain(volume);
    const std::uint64_t cluster = (first.startSector - heap) / spc + 2;
    if (!chain.Valid(cluster))
        return NoContent(volume, file, kFaultNoData);
    // A deleted file whose chain was freed with it: as on FAT32, its
    // clusters are taken to follow one another.
    if (chain.Next(static_cast<std::uint32_t>(cluster)) == 0)
        return MappedContent(volume, file, Contiguous(first.startSector, file.m_fileSize), 0);
    const std::uint64_t clusterBytes = spc * 512;
    return MappedContent(volume, file,
                         ContentMap(ChainPieces(chain, static_cast<std::uint32_t>(cluster),
                                                std::min(ClustersFor(file.m_fileSize, clusterBytes), count),
                                                clusterBytes)),
                         0);
}

}  // namespace scan
