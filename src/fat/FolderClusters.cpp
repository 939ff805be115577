#include "fat/FolderClusters.h"

#include "base/Log.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <new>

namespace scan {

std::vector<std::uint8_t> ReadFolderClusters(VolumeScanner& volume, const std::vector<std::uint32_t>& clusters,
                                             std::uint64_t firstDataSector, std::uint64_t sectorsPerCluster)
{
    const auto clusterBytes = static_cast<std::size_t>(sectorsPerCluster * 512);
    std::vector<std::uint8_t> bytes;
    try {
        bytes.assign(clusters.size() * clusterBytes, 0);
    } catch (const std::bad_alloc&) {
        base::LogLess("Memory is not enough!");
        return {};
    }
    for (std::size_t i = 0; i < clusters.size(); ++i) {
        std::uint8_t* out = bytes.data() + i * clusterBytes;
        const std::uint64_t sector = firstDataSector + (std::uint64_t {clusters[i]} - 2) * sectorsPerCluster;
        // Bad sectors cost only their own entries.
        const VolumeScanner::SalvagedRead r = volume.ReadSectorsSalvaging(sector, clusterBytes, out);
        // A cluster that cannot be read holds no entries; the others of the
        // folder still do.
        if (r.bytes != clusterBytes || r.unreadableSectors * 512 >= clusterBytes)
            std::fill_n(out, clusterBytes, 0);
    }
    return bytes;
}

}  // namespace scan
