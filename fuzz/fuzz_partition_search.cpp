// The search of a disk for its volumes, quick and at every sector: the
// partition tables (MBR, logical partitions, GPT at both ends) and every
// boot sector a disk may hold, with the checks that follow them into the
// volume (its $MFT, FAT and root folder, its backup boot sectors, its label).
// Seeded with the first MiBs of the test disks whose tables are gone.
#include "platform/BlockDevice.h"
#include "search/PartitionSearch.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    platform::MemoryDevice disk(data, size);
    scan::ReadPartitionTables(disk);
    scan::PartitionSearchOptions options;
    scan::SearchPartitions(disk, options);
    options.everySector = true;
    scan::SearchPartitions(disk, options);
    return 0;
}
