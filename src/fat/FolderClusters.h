// Reading a FAT32 or exFAT folder whole: its clusters, in chain order, into
// one buffer.
#pragma once

#include <cstdint>
#include <vector>

namespace scan {

class VolumeScanner;

// Cluster c begins at sector `firstDataSector` + (c - 2) x `sectorsPerCluster`.
// An unreadable sector reads as zeros (a cluster that cannot be read at all,
// as a cluster of zeros); the result is empty only when memory runs out.
std::vector<std::uint8_t> ReadFolderClusters(VolumeScanner& volume, const std::vector<std::uint32_t>& clusters,
                                             std::uint64_t firstDataSector, std::uint64_t sectorsPerCluster);

}  // namespace scan
