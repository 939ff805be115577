// The search of a disk for the volumes on it, whether or not a partition
// table names them: NTFS, FAT32 and exFAT boot sectors and their backups
// (NTFS keeps one in the volume's last sector, FAT32 at sector 6, exFAT at
// sector 12), first where partitions begin, then, when asked, at every
// sector. A boot sector counts only when the volume it describes holds
// together.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {
class BlockDevice;
}

namespace scan {

struct FoundVolume {
    std::uint64_t startSector = 0;  // 512-byte units from the start of the disk
    std::uint64_t sectors = 0;      // the volume's size as its boot sector gives it
    std::int32_t fileSystem = 0;    // a FileSystemType
    std::string label;              // UTF-8; empty when it has none or it cannot be read
    bool inTable = false;           // a partition table entry begins there
    bool fromBackup = false;        // only a backup boot sector was found
    bool backupAgrees = false;      // the backup boot sector was found and says the same
    bool pastDisk = false;          // the volume says it runs past the end of the disk
    std::uint32_t overlaps = 0;     // how many other found volumes share sectors with it
    std::uint64_t bootAt = 0;       // the sector of the boot sector it was read from
};

struct PartitionTableEntry {
    std::uint64_t startSector = 0;
    std::uint64_t sectors = 0;
    bool gpt = false;
};

// The entries of the disk's MBR (primary entries, and the logical ones of an
// extended partition) and of its GPT (the primary table, or the backup one
// at the disk's end).
std::vector<PartitionTableEntry> ReadPartitionTables(platform::BlockDevice& disk);

struct PartitionSearchOptions {
    bool everySector = false;  // read the whole disk, not only where partitions begin
    // Counts the sectors looked at, for progress; may be null.
    std::atomic<std::uint64_t>* done = nullptr;
    // Set to stop the search; may be null.
    const std::atomic<bool>* stop = nullptr;
};

// The volumes found on `disk`: those a table names first, in table order,
// then the others by start.
std::vector<FoundVolume> SearchPartitions(platform::BlockDevice& disk, const PartitionSearchOptions& options);

}  // namespace scan
