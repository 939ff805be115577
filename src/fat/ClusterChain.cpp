#include "fat/ClusterChain.h"

#include "volume/VolumeScanner.h"

namespace scan {

ClusterChain Fat32Chain(const VolumeScanner& volume)
{
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    const std::uint64_t dataStart = volume.m_fat32.firstDataSector;
    const std::uint64_t sectors = volume.DeclaredSectors();
    const std::uint64_t end = spc != 0 && sectors > dataStart ? 2 + (sectors - dataStart) / spc : 2;
    return ClusterChain(volume.m_fat, 0x0FFFFFFF, end, dataStart, spc);
}

ClusterChain ExfatChain(const VolumeScanner& volume)
{
    return ClusterChain(volume.m_fat, 0xFFFFFFFF, std::uint64_t {volume.m_exfat.clusterCount} + 2,
                        volume.m_exfat.clusterHeapSector, volume.m_sectorsPerCluster);
}

}  // namespace scan
