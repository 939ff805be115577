#include "volume/ClusterMap.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace scan {

void ClusterMap::Assign(std::vector<std::uint8_t> bits, std::uint64_t count, std::uint64_t firstSector,
                        std::uint32_t sectorsPerCluster)
{
    m_bits = std::move(bits);
    m_count = std::min<std::uint64_t>(count, std::uint64_t {m_bits.size()} * 8);
    m_first = firstSector;
    m_spc = sectorsPerCluster;
}

std::uint64_t ClusterMap::ClusterOf(std::uint64_t sector) const
{
    if (m_spc == 0 || sector < m_first)
        return m_count;
    return (sector - m_first) / m_spc;
}

bool ClusterMap::InUse(std::uint64_t cluster) const
{
    return cluster < m_count && ((m_bits[cluster >> 3] >> (cluster & 7)) & 1);
}

std::uint64_t ClusterMap::CountInUse(std::uint64_t first, std::uint64_t n) const
{
    if (first >= m_count)
        return 0;
    const std::uint64_t inside = std::min(n, m_count - first);
    std::uint64_t used = 0;
    std::uint64_t c = first;
    const std::uint64_t end = first + inside;
    for (; c < end && (c & 63) != 0; ++c)
        used += InUse(c);
    // Whole 64-bit words of the bitmap at a time.
    for (; c + 64 <= end; c += 64) {
        std::uint64_t word;
        std::memcpy(&word, m_bits.data() + (c >> 3), 8);
        used += static_cast<std::uint64_t>(std::popcount(word));
    }
    for (; c < end; ++c)
        used += InUse(c);
    return used;
}

}  // namespace scan
