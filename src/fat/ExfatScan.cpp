// The exFAT directory walk: every entry set (File, Stream Extension, File
// Name entries), in use or deleted, becomes a FoundFile. The volume's
// allocation bitmap, read from its entry in the root folder, says which
// clusters are in use now: a deleted folder is walked only through free
// clusters, and one whose first cluster was taken again is dropped.
#include "base/Log.h"
#include "base/StopRequest.h"
#include "fat/ClusterChain.h"
#include "fat/DirectoryEntry.h"
#include "fat/ExfatEntrySet.h"
#include "fat/FatScan.h"
#include "fat/FolderClusters.h"
#include "platform/Text.h"
#include "platform/Time.h"
#include "base/ByteView.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <new>
#include <unordered_set>

namespace scan {
namespace {

constexpr std::size_t kEntry = 32;
constexpr std::uint64_t kMaxDirectoryBytes = 256ULL << 20;  // the largest folder exFAT allows
constexpr int kMaxDepth = 512;

class ExfatWalk {
public:
    explicit ExfatWalk(VolumeScanner& volume) : m_volume(volume), m_chain(ExfatChain(volume))
    {
        m_heap = volume.m_exfat.clusterHeapSector;
        m_count = volume.m_exfat.clusterCount;
        m_spc = volume.m_sectorsPerCluster;
        m_clusterBytes = m_spc * 512;
    }

    void Walk(const std::string& path, std::uint32_t first, bool onlyIfFree, bool contiguous, std::uint64_t length,
              int depth);

private:
    bool InUse(std::uint32_t c) const
    {
        const auto& bitmap = m_volume.m_clusterBitmap;
        if (m_assumeFree)
            return !Valid(c);
        if (bitmap.empty() || c < 2)
            return true;
        const std::uint64_t index = std::uint64_t {c} - 2;
        if (index / 8 >= bitmap.size())
            return true;
        return (bitmap[index / 8] >> (index % 8)) & 1;
    }
    bool Valid(std::uint32_t c) const { return m_chain.Valid(c); }
    std::uint64_t SectorOf(std::uint32_t c) const { return m_chain.SectorOf(c); }
    std::uint32_t Next(std::uint32_t c) const { return m_chain.Next(c); }

    // The clusters of a folder, in order: its FAT chain, or `length` bytes
    // of consecutive clusters when it has no chain. Bounded by the volume.
    std::vector<std::uint32_t> Clusters(std::uint32_t first, bool onlyIfFree, bool contiguous, std::uint64_t length);
    // Reads the allocation bitmap its entry names; false when the entry is
    // damaged or nothing of the bitmap can be read.
    bool LoadBitmap(ByteView entry);
    // Looks for the allocation bitmap's entry in the root folder's entries
    // and loads it. Without one every cluster is taken as possibly free, so
    // that deleted folders are still walked, and that is said.
    void FindBitmap(ByteView root);
    void AddSet(const std::string& path, const ExfatEntrySet& set, std::uint32_t dirCluster, int depth);

    VolumeScanner& m_volume;
    const ClusterChain m_chain;
    std::uint64_t m_heap = 0;
    std::uint32_t m_count = 0;
    std::uint64_t m_spc = 0;
    std::uint64_t m_clusterBytes = 0;
    // Every cluster a folder walk has taken: no cluster belongs to two
    // folders (overlapping ones are cross-linked, as fsck.exfat says), which
    // also keeps a folder from holding itself.
    std::unordered_set<std::uint32_t> m_walked;
    bool m_assumeFree = false;  // no allocation bitmap: every cluster may be free
};

std::vector<std::uint32_t> ExfatWalk::Clusters(std::uint32_t first, bool onlyIfFree, bool contiguous,
                                               std::uint64_t length)
{
    std::vector<std::uint32_t> clusters;
    const std::uint64_t most = std::min<std::uint64_t>(m_count, kMaxDirectoryBytes / std::max<std::uint64_t>(m_clusterBytes, 1));
    // A folder ends at a cluster another folder walk has taken.
    auto take = [&](std::uint32_t c) {
        if (!Valid(c) || (onlyIfFree && InUse(c)) || !m_walked.insert(c).second)
            return false;
        clusters.push_back(c);
        return true;
    };
    if (contiguous) {
        const std::uint64_t n = std::min<std::uint64_t>((length + m_clusterBytes - 1) / m_clusterBytes, most);
        for (std::uint64_t i = 0; i < std::max<std::uint64_t>(n, 1); ++i) {
            const std::uint64_t c = std::uint64_t {first} + i;
            if (c > 0xFFFFFFFF || !take(static_cast<std::uint32_t>(c)))
                break;
        }
        return clusters;
    }
    for (std::uint32_t c = first; clusters.size() < most && take(c); c = Next(c)) {
    }
    return clusters;
}

// Reads the allocation bitmap an entry names into `bitmap`; false when the
// entry is damaged or nothing of the bitmap can be read. A bad sector of it
// reads as zeros and is counted in `unreadable`.
bool ReadBitmapOfEntry(VolumeScanner& volume, const ClusterChain& chain, ByteView entry,
                       std::vector<std::uint8_t>& bitmap, std::uint64_t& unreadable)
{
    const std::uint32_t first = entry.U32(20);
    const std::uint64_t length = entry.U64(24);
    const std::uint64_t clusterBytes = std::uint64_t {volume.m_sectorsPerCluster} * 512;
    if (!chain.Valid(first) || length == 0 || length > (std::uint64_t {volume.m_exfat.clusterCount} + 7) / 8 + clusterBytes)
        return false;
    try {
        bitmap.assign(static_cast<std::size_t>(length), 0);
    } catch (const std::bad_alloc&) {
        base::LogLess("Memory is not enough!");
        return false;
    }
    const VolumeScanner::SalvagedRead r = volume.ReadSectorsSalvaging(chain.SectorOf(first), bitmap.size(), bitmap.data());
    unreadable = r.unreadableSectors;
    return r.bytes == bitmap.size() && r.unreadableSectors * 512 < bitmap.size();
}

bool ExfatWalk::LoadBitmap(ByteView entry)
{
    std::vector<std::uint8_t> bitmap;
    std::uint64_t unreadable = 0;
    // A bad sector of the bitmap reads as zeros: its clusters are taken as
    // free, which may walk a deleted folder through clusters in use.
    if (!ReadBitmapOfEntry(m_volume, m_chain, entry, bitmap, unreadable))
        return false;
    if (unreadable != 0)
        m_volume.m_faults.Add(std::to_string(unreadable) + " sector" + (unreadable == 1 ? "" : "s") +
                              " of the allocation bitmap could not be read: the clusters " +
                              (unreadable == 1 ? "it describes" : "they describe") +
                              " are taken as possibly free");
    m_volume.m_clusterBitmap = std::move(bitmap);
    return true;
}

void ExfatWalk::FindBitmap(ByteView root)
{
    bool seen = false;
    for (std::size_t at = 0; at + kEntry <= root.Size(); at += kEntry) {
        if (root.U8(at) != kExfatBitmapEntry)
            continue;
        seen = true;
        if (LoadBitmap(root.Sub(at, kEntry)))
            return;
    }
    m_assumeFree = true;
    m_volume.m_faults.Add(std::string("the allocation bitmap ") +
                          (seen ? "could not be read or its entry is damaged" : "has no entry in the root folder") +
                          ": every cluster is taken as possibly free, so deleted folders are walked even where their "
                          "clusters may be in use again");
}

void ExfatWalk::AddSet(const std::string& path, const ExfatEntrySet& set, std::uint32_t dirCluster, int depth)
{
    const bool deleted = set.deleted;
    const std::uint64_t size = set.validLength;
    const std::uint32_t first = set.firstCluster;
    const std::uint8_t flags = set.flags;
    if (size == 0xFFFFFFFF || first < 2)
        return;
    const bool folder = set.Folder();
    if (folder && deleted && InUse(first))
        return;  // its first cluster belongs to something else now

    FoundFile found;
    FoundFile* file = &found;
    file->m_fileSystemType = kExfat;
    file->m_filePath = path;
    file->m_fileSize = size;
    file->m_latestTime =
        std::max({DosTimeToFileTime(set.created), DosTimeToFileTime(set.modified), DosTimeToFileTime(set.accessed)});
    std::u16string full = set.name;
    if (folder) {
        file->m_isDirectory = kKindFolder;
        if (deleted)
            file->m_existType = kExistDeleted;
        else
            file->m_located = 1;
    } else {
        file->m_isDirectory = kKindFile;
        file->m_existType = deleted ? kExistDeleted : kExistInUse;
        file->m_located = deleted ? 0 : 1;
        if (full.size() == 4 && full[0] == u'?')
            full[0] = u'.';
        file->extents = {{SectorOf(first), (size + 511) / 512, flags == 1 ? kExtentChained : kExtentPlain}};
    }
    file->SetName(full);
    file->m_dirHint = m_spc ? SectorOf(dirCluster) / m_spc : 0;
    file->m_inTree = 0;
    const std::string childPath = path + file->FullNameUtf8() + "\\";
    m_volume.AppendResult(std::move(found));
    if (folder)
        Walk(childPath, first, deleted, set.Contiguous(), set.dataLength, depth + 1);
}

void ExfatWalk::Walk(const std::string& path, std::uint32_t first, bool onlyIfFree, bool contiguous,
                     std::uint64_t length, int depth)
{
    if (!Valid(first) || (onlyIfFree && InUse(first)) || depth > kMaxDepth || m_walked.count(first) != 0)
        return;
    const std::vector<std::uint32_t> clusters = Clusters(first, onlyIfFree, contiguous, length);
    if (clusters.empty())
        return;
    const std::vector<std::uint8_t> bytes = ReadFolderClusters(m_volume, clusters, m_heap, m_spc);
    const ByteView dir(bytes.data(), bytes.size());
    // The root folder holds the allocation bitmap's entry, which must be
    // known before any entry can be told in use.
    if (m_volume.m_clusterBitmap.empty() && !m_assumeFree)
        FindBitmap(dir);
    for (std::size_t at = 0; at + kEntry <= bytes.size(); at += kEntry) {
        if (base::StopRequested())
            return;
        if (!BeginsEntrySet(dir, at))
            continue;
        const ExfatEntrySet set = DecodeExfatEntrySet(dir, at);
        if (set.name.empty())
            continue;
        AddSet(path, set, clusters[at / m_clusterBytes], depth);
    }
}

}  // namespace

void WalkExfatDirectory(VolumeScanner& volume, const std::string& folderPath, std::uint32_t firstCluster,
                        bool onlyIfFree)
{
    if (volume.m_sectorsPerCluster == 0)
        return;
    ExfatWalk walk(volume);
    walk.Walk(folderPath, firstCluster, onlyIfFree, false, 0, 0);
}

bool ReadExfatAllocation(VolumeScanner& volume, std::vector<std::uint8_t>& bits, std::string& why)
{
    const ClusterChain chain = ExfatChain(volume);
    const std::uint64_t clusterBytes = std::uint64_t {volume.m_sectorsPerCluster} * 512;
    std::vector<std::uint32_t> clusters;
    std::unordered_set<std::uint32_t> seen;
    for (std::uint32_t c = volume.m_exfat.rootCluster;
         chain.Valid(c) && clusters.size() * clusterBytes < kMaxDirectoryBytes && seen.insert(c).second; c = chain.Next(c))
        clusters.push_back(c);
    if (clusters.empty()) {
        why = "the root folder cannot be found";
        return false;
    }
    const std::vector<std::uint8_t> bytes =
        ReadFolderClusters(volume, clusters, volume.m_exfat.clusterHeapSector, volume.m_sectorsPerCluster);
    const ByteView root(bytes.data(), bytes.size());
    for (std::size_t at = 0; at + kEntry <= root.Size(); at += kEntry) {
        std::uint64_t unreadable = 0;
        if (root.U8(at) == kExfatBitmapEntry && ReadBitmapOfEntry(volume, chain, root.Sub(at, kEntry), bits, unreadable)) {
            if (unreadable == 0)
                return true;
            why = "part of it cannot be read";
            return false;
        }
    }
    why = "the root folder holds no readable entry of it";
    return false;
}

}  // namespace scan
