// A FAT held in memory, as FAT32 and exFAT keep one: entry c names the
// cluster after c in its file's chain, or marks the chain's end, a bad
// cluster or a free one. FAT32 uses the low 28 bits of an entry, exFAT all
// 32. The walker never leaves the data area: an entry that names a cluster
// outside it ends the chain.
#pragma once

#include <cstdint>
#include <vector>

namespace scan {

class VolumeScanner;

class ClusterChain {
public:
    // `clusterEnd` is the first number past the data area's clusters;
    // cluster c begins at sector `firstSector` + (c - 2) x `sectorsPerCluster`.
    ClusterChain(const std::vector<std::uint32_t>& fat, std::uint32_t mask, std::uint64_t clusterEnd,
                 std::uint64_t firstSector, std::uint64_t sectorsPerCluster)
        : m_fat(fat), m_mask(mask), m_end(clusterEnd), m_firstSector(firstSector), m_spc(sectorsPerCluster)
    {
    }

    // A cluster of the data area.
    bool Valid(std::uint64_t c) const { return c >= 2 && c < m_end; }
    // The cluster after `c` in its chain; 0 at the chain's end, for a free
    // or bad cluster, or where `c` or what its entry names lies outside the
    // data area or the FAT.
    std::uint32_t Next(std::uint32_t c) const
    {
        if (!Valid(c) || c >= m_fat.size())
            return 0;
        const std::uint32_t v = m_fat[c] & m_mask;
        return Valid(v) ? v : 0;
    }
    std::uint64_t SectorOf(std::uint32_t c) const { return m_firstSector + (std::uint64_t {c} - 2) * m_spc; }
    // The first number past the data area's clusters.
    std::uint64_t End() const { return m_end; }
    std::uint64_t Entries() const { return m_fat.size(); }

private:
    const std::vector<std::uint32_t>& m_fat;
    std::uint32_t m_mask;
    std::uint64_t m_end;
    std::uint64_t m_firstSector;
    std::uint64_t m_spc;
};

// The chain walker of an open FAT32 or exFAT volume, which must outlive it.
// A FAT32 volume cut short keeps its clusters as its boot sector gives them
// (their reads then come back short).
ClusterChain Fat32Chain(const VolumeScanner& volume);
ClusterChain ExfatChain(const VolumeScanner& volume);

}  // namespace scan
