// Which clusters of a volume its file system marks in use now: NTFS's
// $Bitmap, the FAT of a FAT32 volume, exFAT's allocation bitmap, held as one
// bit per cluster.
#pragma once

#include <cstdint>
#include <vector>

namespace scan {

class ClusterMap {
public:
    // Cluster i (counted from 0) begins at sector `firstSector` + i x
    // `sectorsPerCluster`; bit i & 7 of byte i >> 3 of `bits` is set when it
    // is in use. Of clusters past `count` (or past the bits) nothing is
    // known: they count as not in use.
    void Assign(std::vector<std::uint8_t> bits, std::uint64_t count, std::uint64_t firstSector,
                std::uint32_t sectorsPerCluster);
    void Clear() { *this = ClusterMap(); }
    bool Known() const { return m_spc != 0; }

    std::uint32_t SectorsPerCluster() const { return m_spc; }
    std::uint64_t FirstSector() const { return m_first; }
    std::uint64_t Count() const { return m_count; }
    // The cluster that holds `sector`; Count() or more past the clusters,
    // and Count() too for a sector before the first cluster.
    std::uint64_t ClusterOf(std::uint64_t sector) const;
    bool InUse(std::uint64_t cluster) const;
    // Clusters of [first, first + n) known to be in use.
    std::uint64_t CountInUse(std::uint64_t first, std::uint64_t n) const;

private:
    std::vector<std::uint8_t> m_bits;
    std::uint64_t m_count = 0;
    std::uint64_t m_first = 0;
    std::uint32_t m_spc = 0;
};

}  // namespace scan
