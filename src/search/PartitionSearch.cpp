#include "search/PartitionSearch.h"

#include "base/ByteView.h"
#include "base/Log.h"
#include "found/FoundFile.h"
#include "ntfs/NtfsRecord.h"
#include "platform/BlockDevice.h"
#include "platform/Text.h"
#include "volume/BootSector.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace scan {
namespace {

constexpr std::size_t kSector = 512;
constexpr std::uint64_t kMiB = 2048;   // sectors
constexpr std::uint64_t kTrack = 63;   // sectors: where partitions began on older disks
// The most boot sectors looked into: a disk full of copies of one cannot
// make the search read without end.
constexpr std::size_t kMaxCandidates = 1 << 16;
// The most MBR logical partitions followed.
constexpr int kMaxLogical = 128;

bool ReadSector(platform::BlockDevice& disk, std::uint64_t sector, std::uint8_t* out, std::size_t bytes = kSector)
{
    if (sector > (~std::uint64_t {0} >> 9))
        return false;
    const platform::ReadResult r = disk.ReadAt(sector * kSector, out, bytes);
    return r.status == platform::ReadStatus::Ok && r.bytes == bytes;
}

bool LooksLikeBootSector(const std::uint8_t* s)
{
    if (s[510] != 0x55 || s[511] != 0xAA)
        return false;
    return std::memcmp(s + 3, "NTFS    ", 8) == 0 || std::memcmp(s + 3, "EXFAT   ", 8) == 0 ||
           std::memcmp(s + 0x52, "FAT32   ", 8) == 0;
}

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

// The exFAT boot region's checksum (its sector 11 repeats it) over sectors
// 0 to 10, the volume flags and the percent in use left out.
bool ExfatChecksumHolds(const std::vector<std::uint8_t>& region, std::size_t sectorBytes)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 11 * sectorBytes; ++i) {
        if (i == 106 || i == 107 || i == 112)
            continue;
        sum = ((sum & 1) != 0 ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    const ByteView check(region.data() + 11 * sectorBytes, sectorBytes);
    for (std::size_t i = 0; i + 4 <= sectorBytes; i += 4) {
        if (check.U32(i) != sum)
            return false;
    }
    return true;
}

class Search {
public:
    Search(platform::BlockDevice& disk) : m_disk(disk), m_sectors(disk.Size() / kSector) {}

    // A boot sector at `sector`: the volumes it may be the first or the
    // backup boot sector of.
    void Consider(std::uint64_t sector, const std::uint8_t* bytes)
    {
        if (m_candidates >= kMaxCandidates)
            return;
        ++m_candidates;
        const ByteView s(bytes, kSector);
        if (IsNtfsBootSector(s)) {
            const NtfsBootInfo info = DecodeNtfsBootSector(s);
            if (!info.valid)
                return;
            Try(kNtfs, sector, 0);
            if (sector >= info.volumeSectors)
                Try(kNtfs, sector - info.volumeSectors, sector);
        } else if (IsExfatBootSector(s)) {
            const ExfatBootInfo info = DecodeExfatBootSector(s);
            if (!info.valid)
                return;
            Try(kExfat, sector, 0);
            const std::uint64_t backup = 12 * (info.bytesPerSector / kSector);
            if (sector >= backup)
                Try(kExfat, sector - backup, sector);
        } else if (IsFat32BootSector(s)) {
            const Fat32BootInfo info = DecodeFat32BootSector(s);
            if (!info.valid)
                return;
            Try(kFat32, sector, 0);
            const std::uint64_t backup = 6 * (info.bytesPerSector / kSector);
            if (sector >= backup)
                Try(kFat32, sector - backup, sector);
        }
    }

    std::vector<FoundVolume> Volumes(const std::vector<PartitionTableEntry>& table)
    {
        // A volume's own first sector also reads as the backup of one that
        // would begin a little before it: such a one is dropped.
        std::vector<FoundVolume> list;
        for (auto& [start, v] : m_found) {
            const auto real = m_found.find(v.bootAt);
            if (v.fromBackup && real != m_found.end() && !real->second.fromBackup &&
                real->second.fileSystem == v.fileSystem)
                continue;
            list.push_back(v);
        }
        for (FoundVolume& v : list) {
            for (const FoundVolume& w : list) {
                if (&v != &w && v.startSector < w.startSector + std::max<std::uint64_t>(w.sectors, 1) &&
                    w.startSector < v.startSector + std::max<std::uint64_t>(v.sectors, 1))
                    ++v.overlaps;
            }
            for (const PartitionTableEntry& e : table) {
                if (e.startSector == v.startSector)
                    v.inTable = true;
            }
        }
        // What a table names first, in its order; then the others by start.
        const auto place = [&table](const FoundVolume& v) {
            for (std::size_t i = 0; i < table.size(); ++i) {
                if (table[i].startSector == v.startSector)
                    return i;
            }
            return table.size();
        };
        std::stable_sort(list.begin(), list.end(), [&](const FoundVolume& a, const FoundVolume& b) {
            const std::size_t pa = place(a), pb = place(b);
            return pa != pb ? pa < pb : a.startSector < b.startSector;
        });
        return list;
    }

private:
    // Whether a volume of `type` begins at `start`, its boot sector (or only
    // its backup) saying so, and holds together; kept when it does.
    void Try(std::int32_t type, std::uint64_t start, std::uint64_t backupSector)
    {
        const bool backup = backupSector != 0;
        m_backupSector = backupSector;
        const auto known = m_found.find(start);
        if (known != m_found.end() && known->second.fileSystem == type) {
            if (!backup)
                known->second.fromBackup = false;
            return;
        }
        if (!m_tried.insert({start, type}).second)
            return;
        FoundVolume v;
        v.startSector = start;
        v.bootAt = start;
        v.fileSystem = type;
        v.fromBackup = backup;
        bool holds = false;
        switch (type) {
        case kNtfs: holds = CheckNtfs(v); break;
        case kFat32: holds = CheckFat32(v); break;
        case kExfat: holds = CheckExfat(v); break;
        default: break;
        }
        if (!holds)
            return;
        v.pastDisk = m_sectors != 0 && start + v.sectors > m_sectors;
        m_found[start] = v;
    }

    bool CheckNtfs(FoundVolume& v)
    {
        std::uint8_t boot[kSector];
        NtfsBootInfo info;
        if (ReadSector(m_disk, v.startSector, boot) && IsNtfsBootSector(ByteView(boot, kSector)))
            info = DecodeNtfsBootSector(ByteView(boot, kSector));
        if (info.valid) {
            v.fromBackup = false;
        } else {
            // Only the backup in the volume's last sector, where the search met it.
            if (!v.fromBackup || !ReadSector(m_disk, m_backupSector, boot))
                return false;
            info = DecodeNtfsBootSector(ByteView(boot, kSector));
            if (!info.valid || v.startSector + info.volumeSectors != m_backupSector)
                return false;
            v.bootAt = m_backupSector;
        }
        v.sectors = info.volumeSectors + info.bytesPerSector / kSector;
        const std::size_t recordBytes = info.recordBytes != 0 ? info.recordBytes : 1024;
        std::vector<std::uint8_t> record(recordBytes);
        bool mft = false;
        for (const std::uint64_t cluster : {info.mftCluster, info.mirrorCluster}) {
            const std::uint64_t at = v.startSector + cluster * info.sectorsPerCluster;
            if (ReadSector(m_disk, at, record.data(), recordBytes) && std::memcmp(record.data(), "FILE", 4) == 0) {
                mft = true;
                break;
            }
        }
        if (!mft)
            return false;
        // Its backup in the last sector.
        std::uint8_t copy[kSector];
        v.backupAgrees = !v.fromBackup && ReadSector(m_disk, v.startSector + info.volumeSectors, copy) &&
                         std::memcmp(copy, boot, kSector) == 0;
        // The label: $Volume's name (record 3).
        const std::uint64_t volumeRecord =
            v.startSector + info.mftCluster * info.sectorsPerCluster + 3 * recordBytes / kSector;
        if (ReadSector(m_disk, volumeRecord, record.data(), recordBytes)) {
            const MutableRecord r(record.data(), record.size());
            const RecordCheck check = ValidateAndFixRecord(r);
            ByteView attribute;
            if (check && FindAttribute(IntactPart(r, check), 0x60, attribute) && attribute.U8(8) == 0) {
                const std::uint32_t length = attribute.U32(0x10);
                const std::uint16_t offset = attribute.U16(0x14);
                v.label = platform::Utf16ToUtf8(NameAt(attribute, offset, std::min<std::uint32_t>(length / 2, 128)));
            }
        }
        return true;
    }

    bool CheckFat32(FoundVolume& v)
    {
        std::uint8_t boot[kSector];
        if (!ReadSector(m_disk, v.startSector, boot) || !IsFat32BootSector(ByteView(boot, kSector)) ||
            !DecodeFat32BootSector(ByteView(boot, kSector)).valid) {
            if (!v.fromBackup || !ReadSector(m_disk, v.startSector + 6, boot))
                return false;
            v.bootAt = v.startSector + 6;
        } else {
            v.fromBackup = false;
        }
        const Fat32BootInfo info = DecodeFat32BootSector(ByteView(boot, kSector));
        if (!info.valid)
            return false;
        v.sectors = info.volumeSectors;
        // The FAT's first entry repeats the media byte.
        std::uint8_t fat[kSector];
        if (!ReadSector(m_disk, v.startSector + info.reservedSectors, fat))
            return false;
        const ByteView f(fat, kSector);
        if ((f.U32(0) & 0x0FFFFF00u) != 0x0FFFFF00u || (f.U32(0) & 0xFF) != boot[0x15] ||
            info.rootCluster < 2 || info.rootCluster >= info.clusterCount + 2)
            return false;
        std::uint8_t copy[kSector];
        v.backupAgrees = ReadSector(m_disk, v.startSector + 6 * (info.bytesPerSector / kSector), copy) &&
                         std::memcmp(copy, boot, 90) == 0;
        // The label: the root folder's label entry, else the boot sector's.
        const std::uint64_t root = v.startSector + info.firstDataSector + (info.rootCluster - 2ULL) * info.sectorsPerCluster;
        std::uint8_t dir[kSector];
        std::string label;
        if (ReadSector(m_disk, root, dir)) {
            for (std::size_t at = 0; at < kSector && dir[at] != 0; at += 32) {
                if (dir[at] != 0xE5 && dir[at + 11] == 0x08)
                    label = Trimmed(std::string(reinterpret_cast<const char*>(dir + at), 11));
            }
        }
        if (label.empty())
            label = Trimmed(std::string(reinterpret_cast<const char*>(boot + 0x47), 11));
        if (label == "NO NAME")
            label.clear();
        std::u16string wide;
        for (const char c : label)
            wide.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<char16_t>(c) : u'_');
        v.label = platform::Utf16ToUtf8(wide);
        return true;
    }

    bool CheckExfat(FoundVolume& v)
    {
        std::uint8_t boot[kSector];
        if (!ReadSector(m_disk, v.startSector, boot))
            return false;
        ExfatBootInfo info = DecodeExfatBootSector(ByteView(boot, kSector));
        std::uint64_t region = v.startSector;
        if (!IsExfatBootSector(ByteView(boot, kSector)) || !info.valid) {
            if (!v.fromBackup)
                return false;
            // The backup region, at sector 12 of the volume's sector size:
            // tried for each size the field allows.
            bool found = false;
            for (std::uint32_t bps = 512; bps <= 4096 && !found; bps *= 2) {
                if (ReadSector(m_disk, v.startSector + 12 * (bps / kSector), boot)) {
                    info = DecodeExfatBootSector(ByteView(boot, kSector));
                    found = IsExfatBootSector(ByteView(boot, kSector)) && info.valid && info.bytesPerSector == bps;
                    region = v.startSector + 12 * (bps / kSector);
                }
            }
            if (!found)
                return false;
        } else {
            v.fromBackup = false;
        }
        v.sectors = info.volumeSectors;
        v.bootAt = region;
        const std::size_t bps = info.bytesPerSector;
        std::vector<std::uint8_t> bytes(12 * bps);
        if (!ReadSector(m_disk, region, bytes.data(), bytes.size()) || !ExfatChecksumHolds(bytes, bps))
            return false;
        // The FAT begins with the media entry and an end of chain; the
        // backup region read as a volume of its own finds no FAT there.
        std::uint8_t fat[kSector];
        if (!ReadSector(m_disk, v.startSector + info.fatSector, fat) || ByteView(fat, kSector).U32(0) != 0xFFFFFFF8u ||
            ByteView(fat, kSector).U32(4) != 0xFFFFFFFFu)
            return false;
        if (region == v.startSector) {
            std::vector<std::uint8_t> copy(12 * bps);
            v.backupAgrees = ReadSector(m_disk, v.startSector + 12 * (bps / kSector), copy.data(), copy.size()) &&
                             std::memcmp(copy.data() + 11 * bps, bytes.data() + 11 * bps, bps) == 0;
        }
        // The label: the root folder's label entry.
        const std::uint64_t root =
            v.startSector + info.clusterHeapSector + (info.rootCluster - 2ULL) * info.sectorsPerCluster;
        std::uint8_t dir[kSector];
        if (info.rootCluster >= 2 && ReadSector(m_disk, root, dir)) {
            for (std::size_t at = 0; at < kSector; at += 32) {
                if (dir[at] == 0x83) {
                    const ByteView e(dir + at, 32);
                    v.label = platform::Utf16ToUtf8(NameAt(e, 2, std::min<std::size_t>(e.U8(1), 11)));
                    break;
                }
            }
        }
        return true;
    }

    platform::BlockDevice& m_disk;
    const std::uint64_t m_sectors;
    std::map<std::uint64_t, FoundVolume> m_found;
    std::set<std::pair<std::uint64_t, std::int32_t>> m_tried;
    std::size_t m_candidates = 0;
    std::uint64_t m_backupSector = 0;  // where the backup boot sector being tried was met
};

void AddMbrEntries(platform::BlockDevice& disk, std::vector<PartitionTableEntry>& out)
{
    std::uint8_t mbr[kSector];
    if (!ReadSector(disk, 0, mbr) || mbr[510] != 0x55 || mbr[511] != 0xAA)
        return;
    const ByteView m(mbr, kSector);
    for (int i = 0; i < 4; ++i) {
        const std::size_t e = 446 + 16 * static_cast<std::size_t>(i);
        const std::uint8_t type = m.U8(e + 4);
        const std::uint64_t start = m.U32(e + 8), count = m.U32(e + 12);
        if (type == 0 || type == 0xEE || count == 0)
            continue;
        if (type == 0x05 || type == 0x0F || type == 0x85) {
            // An extended partition: a chain of logical ones, each with its
            // table in the sector before it.
            std::uint64_t next = start;
            for (int n = 0; n < kMaxLogical && next != 0; ++n) {
                std::uint8_t ebr[kSector];
                if (!ReadSector(disk, next, ebr) || ebr[510] != 0x55 || ebr[511] != 0xAA)
                    break;
                const ByteView b(ebr, kSector);
                if (b.U8(446 + 4) != 0 && b.U32(446 + 12) != 0)
                    out.push_back({next + b.U32(446 + 8), b.U32(446 + 12), false});
                const std::uint64_t link = b.U32(462 + 8);
                next = b.U8(462 + 4) != 0 && link != 0 ? start + link : 0;
            }
            continue;
        }
        out.push_back({start, count, false});
    }
}

void AddGptEntries(platform::BlockDevice& disk, std::vector<PartitionTableEntry>& out)
{
    const std::uint64_t sectors = disk.Size() / kSector;
    for (const std::uint64_t at : {std::uint64_t {1}, sectors > 0 ? sectors - 1 : 0}) {
        std::uint8_t header[kSector];
        if (at == 0 || !ReadSector(disk, at, header) || std::memcmp(header, "EFI PART", 8) != 0)
            continue;
        const ByteView h(header, kSector);
        const std::uint64_t first = h.U64(72);
        const std::uint32_t count = std::min<std::uint32_t>(h.U32(80), 1024);
        const std::uint32_t size = h.U32(84);
        if (size < 128 || size > 4096 || first >= sectors)
            continue;
        std::vector<std::uint8_t> entries(static_cast<std::size_t>(count) * size);
        if (entries.empty() || !ReadSector(disk, first, entries.data(), entries.size()))
            continue;
        const ByteView e(entries.data(), entries.size());
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::size_t off = std::size_t {i} * size;
            if (e.U64(off) == 0 && e.U64(off + 8) == 0)
                continue;  // unused
            const std::uint64_t a = e.U64(off + 32), b = e.U64(off + 40);
            if (b >= a)
                out.push_back({a, b - a + 1, true});
        }
        return;  // the primary table when it is there, else the backup one
    }
}

}  // namespace

std::vector<PartitionTableEntry> ReadPartitionTables(platform::BlockDevice& disk)
{
    std::vector<PartitionTableEntry> table;
    AddMbrEntries(disk, table);
    AddGptEntries(disk, table);
    return table;
}

std::vector<FoundVolume> SearchPartitions(platform::BlockDevice& disk, const PartitionSearchOptions& options)
{
    const std::vector<PartitionTableEntry> table = ReadPartitionTables(disk);
    const std::uint64_t sectors = disk.Size() / kSector;
    Search search(disk);
    const auto stopped = [&options] { return options.stop != nullptr && options.stop->load(); };

    if (options.everySector) {
        // Every sector, read in large pieces in order: as fast as the disk
        // reads.
        constexpr std::size_t kPiece = 4 << 20;
        std::vector<std::uint8_t> buffer(kPiece);
        for (std::uint64_t at = 0; at < sectors && !stopped();) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(kPiece / kSector, sectors - at)) * kSector;
            const platform::ReadResult r = disk.ReadAt(at * kSector, buffer.data(), want);
            const std::size_t got = r.status == platform::ReadStatus::Ok ? r.bytes / kSector : 0;
            for (std::size_t i = 0; i < got; ++i) {
                if (LooksLikeBootSector(buffer.data() + i * kSector))
                    search.Consider(at + i, buffer.data() + i * kSector);
            }
            at += got != 0 ? got : want / kSector;  // an unreadable piece is passed over
            if (options.done != nullptr)
                options.done->store(at);
        }
        return search.Volumes(table);
    }

    // Where partitions begin, and where their first sector's backups lie.
    std::set<std::uint64_t> places;
    for (const PartitionTableEntry& e : table) {
        places.insert(e.startSector);
        if (e.sectors != 0) {
            places.insert(e.startSector + e.sectors - 1);
            places.insert(e.startSector + e.sectors);
        }
    }
    std::vector<std::uint64_t> starts;
    for (std::uint64_t s = 0; s < sectors; s += kMiB)
        starts.push_back(s);
    for (std::uint64_t s = kTrack; s < sectors; s += kTrack) {
        if (s % kMiB != 0)
            starts.push_back(s);
    }
    std::sort(starts.begin(), starts.end());
    // Each place is read with the 12 sectors after it, where a FAT32 or
    // exFAT volume keeps its backup boot sector: one read, not three.
    constexpr std::size_t kSpan = 13;
    constexpr std::size_t kBatch = 1024;
    std::vector<std::uint64_t> batch;
    std::vector<std::uint8_t> bytes(kBatch * kSpan * kSector);
    std::vector<platform::BlockDevice::Request> requests(kBatch);
    std::uint64_t looked = 0;
    const auto flush = [&] {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const std::size_t span = static_cast<std::size_t>(std::min<std::uint64_t>(kSpan, sectors - batch[i]));
            requests[i] = {batch[i] * kSector, bytes.data() + i * kSpan * kSector, span * kSector, {}};
        }
        disk.ReadMany(requests.data(), batch.size());
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const platform::ReadResult& r = requests[i].result;
            if (r.status != platform::ReadStatus::Ok)
                continue;
            for (const std::size_t d : {std::size_t {0}, std::size_t {6}, std::size_t {12}}) {
                const std::uint8_t* sector = bytes.data() + (i * kSpan + d) * kSector;
                if ((d + 1) * kSector <= r.bytes && LooksLikeBootSector(sector))
                    search.Consider(batch[i] + d, sector);
            }
        }
        looked += batch.size() * 3;
        if (options.done != nullptr)
            options.done->store(looked);
        batch.clear();
    };
    auto add = [&](std::uint64_t s) {
        if (s < sectors) {
            batch.push_back(s);
            if (batch.size() == kBatch)
                flush();
        }
    };
    for (const std::uint64_t s : places)
        add(s);
    for (std::size_t i = 0; i < starts.size() && !stopped(); ++i)
        add(starts[i]);
    flush();
    return search.Volumes(table);
}

}  // namespace scan
