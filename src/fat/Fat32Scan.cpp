// The FAT32 directory walk: every short directory entry, with its long name,
// becomes a FoundFile, in use or deleted. A deleted entry's start cluster
// keeps only its low 16 bits; deleted folders are found again by the "." and
// ".." entries that begin every folder, and the clusters known to be in use
// (the cluster bitmap) keep that search off live data.
#include "base/Log.h"
#include "base/StopRequest.h"
#include "fat/ClusterChain.h"
#include "fat/DirectoryEntry.h"
#include "fat/FatScan.h"
#include "fat/FolderClusters.h"
#include "filetypes/HeaderSignature.h"
#include "platform/Text.h"
#include "base/ByteView.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace scan {
namespace {

constexpr std::size_t kEntry = 32;
constexpr std::uint64_t kMaxDirectoryBytes = 65536 * kEntry;  // FAT allows 65536 entries a folder
constexpr int kMaxDepth = 512;
constexpr std::size_t kMaxName = 259;

struct DeletedFolder {
    std::uint16_t lowCluster = 0;
    std::string path;  // the folder path of its contents
};

class Fat32Walk {
public:
    explicit Fat32Walk(VolumeScanner& volume) : m_volume(volume), m_chain(Fat32Chain(volume))
    {
        m_spc = volume.m_sectorsPerCluster;
        m_dataStart = volume.m_fat32.firstDataSector;
        m_entries = volume.m_fat.size();
        m_clusterEnd = m_chain.End();
        m_root = volume.m_fat32.rootCluster;
    }

    std::uint32_t Root() const { return m_root; }
    // Puts back the high word of every deleted file's start cluster (see
    // StartSearch below).
    void RecoverDeletedStarts();
    void Mark(std::uint32_t c)
    {
        if (c / 8 < m_volume.m_clusterBitmap.size())
            m_volume.m_clusterBitmap[c / 8] |= static_cast<std::uint8_t>(1u << (c & 7));
    }
    void Walk(const std::string& path, std::uint32_t first, int depth);

private:
    bool InBitmap(std::uint32_t c) const { return c / 8 < m_volume.m_clusterBitmap.size(); }
    // A cluster of the data area.
    bool Valid(std::uint64_t c) const { return m_chain.Valid(c); }
    // The largest high word a cluster of the volume has.
    std::uint32_t HighLimit() const { return static_cast<std::uint32_t>(std::min<std::uint64_t>((m_clusterEnd - 1) >> 16, 0xFFFF)); }
    bool Marked(std::uint32_t c) const { return InBitmap(c) && (m_volume.m_clusterBitmap[c / 8] >> (c & 7)) & 1; }
    std::uint64_t SectorOf(std::uint32_t c) const { return m_chain.SectorOf(c); }
    // The next cluster of a chain, 0 at its end.
    std::uint32_t Next(std::uint32_t c) const { return m_chain.Next(c); }
    std::uint32_t FindDeletedFolderCluster(std::uint16_t low, std::uint32_t h0);
    void AddEntry(const std::string& path, ByteView dir, std::size_t at, std::size_t lfnStart, std::uint32_t dirCluster,
                  std::vector<DeletedFolder>& deletedFolders, int depth);
    // Appends a result under a name no other in its folder has; returns that name.
    std::string Append(FoundFile&& found);
    // Whether a result of this folder already has this name and suffix.
    bool Taken(const FolderPath& path, std::string_view name, std::string_view suffix) const;

    VolumeScanner& m_volume;
    const ClusterChain m_chain;
    std::uint64_t m_spc = 0;
    std::uint64_t m_dataStart = 0;
    std::uint64_t m_entries = 0;
    std::uint64_t m_clusterEnd = 2;  // the first number past the data area's clusters
    std::uint32_t m_root = 0;
    std::unordered_set<std::uint32_t> m_walked;   // folders walked: a folder never holds itself
    std::unordered_map<std::uint32_t, bool> m_folderStarts;  // candidates read: whether "." and ".." begin them
    // Every result of the walk, found by folder, name and suffix for the
    // numbering: an open-addressing table of result numbers, 8 bytes or so a
    // result. A slot's hash is worked out again from its result when the
    // table grows.
    std::vector<std::uint32_t> m_names;
    std::size_t m_nameCount = 0;
    static constexpr std::uint32_t kNoResult = ~std::uint32_t {0};
    void Remember(std::uint32_t index);
    std::unordered_map<std::string, std::uint64_t> m_nextNumber;  // the last number given to a name

};

std::string NameKey(const std::string& path, std::string_view name, std::string_view suffix)
{
    std::string key = path;
    key += '\0';
    key += name;
    key += '\0';
    key += suffix;
    return key;
}

// Equal folder paths share one pooled text, so its address stands for the path.
std::uint64_t NameHash(const FolderPath& path, std::string_view name, std::string_view suffix)
{
    constexpr std::uint64_t kMix = 0x9E3779B97F4A7C15ULL;
    const std::hash<std::string_view> hash;
    std::uint64_t h = reinterpret_cast<std::uintptr_t>(&path.str());
    h = (h ^ hash(name)) * kMix;
    h = (h ^ hash(suffix)) * kMix;
    return h ^ (h >> 29);
}

bool Fat32Walk::Taken(const FolderPath& path, std::string_view name, std::string_view suffix) const
{
    if (m_names.empty())
        return false;
    // The results are only added to by this walk, so they are read here
    // without the lock.
    const std::size_t mask = m_names.size() - 1;
    for (std::size_t slot = NameHash(path, name, suffix) & mask; m_names[slot] != kNoResult; slot = (slot + 1) & mask) {
        const FoundFile& other = *m_volume.m_results[m_names[slot]];
        if (other.m_filePath == path && other.name() == name && other.suffix() == suffix)
            return true;
    }
    return false;
}

void Fat32Walk::Remember(std::uint32_t index)
{
    auto place = [this](std::vector<std::uint32_t>& slots, std::uint32_t i) {
        const FoundFile& f = *m_volume.m_results[i];
        const std::size_t mask = slots.size() - 1;
        std::size_t slot = NameHash(f.m_filePath, f.name(), f.suffix()) & mask;
        while (slots[slot] != kNoResult)
            slot = (slot + 1) & mask;
        slots[slot] = i;
    };
    if ((m_nameCount + 1) * 2 > m_names.size()) {  // at most half full
        std::vector<std::uint32_t> grown(std::max<std::size_t>(1024, m_names.size() * 2), kNoResult);
        for (const std::uint32_t i : m_names) {
            if (i != kNoResult)
                place(grown, i);
        }
        m_names.swap(grown);
    }
    place(m_names, index);
    ++m_nameCount;
}

std::string Fat32Walk::Append(FoundFile&& found)
{
    FoundFile* file = &found;
    // A second file of the same name in the same folder becomes name_1.ext,
    // a third name_2.ext, and so on. The next number to try is kept per
    // name, so a folder of thousands of namesakes costs no more than one of
    // different names.
    if (Taken(file->m_filePath, file->name(), file->suffix())) {
        std::uint64_t& next = m_nextNumber[NameKey(file->m_filePath, file->name(), file->suffix())];
        std::string name;
        do {
            name = std::string(file->name()) + "_" + std::to_string(++next);
        } while (Taken(file->m_filePath, name, file->suffix()));
        file->SetNameUtf8(file->suffix().empty() ? name : name + "." + std::string(file->suffix()));
    }
    file->m_inTree = 0;
    std::string fullName = file->FullNameUtf8();
    const std::size_t index = m_volume.AppendResult(std::move(found));
    Remember(static_cast<std::uint32_t>(index));
    return fullName;
}


std::uint32_t Fat32Walk::FindDeletedFolderCluster(std::uint16_t low, std::uint32_t h0)
{
    if (m_volume.m_clusterBitmap.empty())
        return 0;
    const std::uint32_t highLimit = HighLimit();
    std::uint8_t head[64];
    auto tryHigh = [&](std::uint32_t h, std::uint32_t& found) {
        const std::uint32_t c = (h << 16) | low;
        if (!InBitmap(c) || c >= m_clusterEnd)
            return false;  // past the volume: this phase is over
        if (c < 2 || Marked(c))
            return true;
        // Each candidate is read once, however many deleted folders share
        // its low half.
        auto known = m_folderStarts.find(c);
        if (known == m_folderStarts.end())
            known = m_folderStarts
                        .emplace(c, m_volume.ReadSectors(SectorOf(c), sizeof head, head) == sizeof head &&
                                        head[0] == '.' && head[32] == '.')
                        .first;
        if (known->second)
            found = c;
        return true;
    };
    std::uint32_t found = 0;
    for (std::uint32_t h = h0; h <= highLimit && found == 0; ++h) {
        if (!tryHigh(h, found))
            break;
    }
    for (std::uint32_t h = 0; h < h0 && h <= highLimit && found == 0; ++h) {
        if (!tryHigh(h, found))
            break;
    }
    return found;
}

void Fat32Walk::AddEntry(const std::string& path, ByteView dir, std::size_t at, std::size_t lfnStart,
                         std::uint32_t dirCluster, std::vector<DeletedFolder>& deletedFolders, int depth)
{
    const ShortEntry e = DecodeShortEntry(dir.Sub(at, kEntry));
    // Long-name entries stand in reverse order before the short entry.
    std::u16string name = lfnStart < at ? JoinLongName(dir.Sub(lfnStart, at - lfnStart), kMaxName) : ShortName(e);
    const std::uint32_t size = e.size;
    if (name.empty() || name == u"." || name == u".." || size == 0xFFFFFFFF)
        return;
    const bool deleted = e.Deleted();
    const std::uint16_t low = e.lowCluster;
    std::uint32_t start = deleted ? low : e.FirstCluster();
    const bool folder = e.Folder();
    // A deleted entry keeps only the low half of its start. A low half of 0
    // or 1 is no cluster by itself, but on a volume of more than 65,536
    // clusters the high half puts it back (0x10000, 0x10001, ...): it stands
    // for the start searches to complete, rather than an empty entry or a
    // cluster inside the FAT. (An empty deleted file has no start at all.)
    if (deleted && start < 2) {
        if (m_clusterEnd <= 0x10000 || (start == 0 && !folder && size == 0))
            return;
        start |= 0x10000;
    }
    if (start == 0 || start == 0x0FFFFFF8 || start == 0x0FFFFFFF)
        return;

    FoundFile found;
    FoundFile* file = &found;
    file->m_fileSystemType = kFat32;
    file->m_filePath = path;
    file->m_fileSize = size;
    file->m_latestTime =
        std::max({DosTimeToFileTime(e.created), DosTimeToFileTime(e.modified), DosTimeToFileTime(e.accessed)});
    if (folder) {
        file->m_isDirectory = kKindFolder;
        if (deleted)
            file->m_existType = kExistDeleted;
        else
            file->m_located = 1;
    } else {
        file->m_isDirectory = kKindFile;
        // A start outside the data area tells nothing of where the data is.
        if (Valid(start))
            file->extents = {{SectorOf(start), (std::uint64_t {size} + 511) / 512, 0}};
        if (deleted) {
            file->m_existType = kExistDeleted;
        } else {
            file->m_existType = kExistInUse;
            // Its clusters are in use: the folder search must not take them.
            for (std::uint32_t c = start; c != 0 && c > m_root && InBitmap(c) && !Marked(c); c = Next(c))
                Mark(c);
            file->m_located = 1;
        }
        if (name.size() == 4 && name[0] == u'?')
            name[0] = u'.';
    }
    std::replace(name.begin(), name.end(), u'?', u'#');
    file->SetName(name);
    file->m_dirHint = dirCluster;
    // The folder's contents take its name as it is listed, numbered when it
    // has namesakes.
    const std::string childPath = path + Append(std::move(found)) + "\\";

    if (folder && Valid(start) && start < m_entries) {
        if (deleted) {
            deletedFolders.push_back({low, childPath});
        } else {
            Mark(start);
            Walk(childPath, start, depth + 1);
        }
    }
}

void Fat32Walk::Walk(const std::string& path, std::uint32_t first, int depth)
{
    if (first < 2 || depth > kMaxDepth || !m_walked.insert(first).second)
        return;
    // The folder's clusters: its chain, stopping at a cluster already known
    // to be in use (which also ends loops in damaged chains).
    std::vector<std::uint32_t> clusters {first};
    for (std::uint32_t c = Next(first); c != 0 && InBitmap(c) && !Marked(c) &&
                                        clusters.size() * m_spc * 512 < kMaxDirectoryBytes;
         c = Next(c)) {
        Mark(c);
        clusters.push_back(c);
    }
    const std::size_t clusterBytes = static_cast<std::size_t>(m_spc * 512);
    const std::vector<std::uint8_t> bytes = ReadFolderClusters(m_volume, clusters, m_dataStart, m_spc);
    const ByteView dir(bytes.data(), bytes.size());
    std::vector<DeletedFolder> deletedFolders;
    std::size_t lfnStart = bytes.size();
    bool afterEnd = false;  // an end mark was met in this cluster
    for (std::size_t at = 0; at + kEntry <= bytes.size(); at += kEntry) {
        if (base::StopRequested())
            return;
        // An entry whose first byte is 0 marks the end of the folder, but a
        // damaged folder has one where an entry was zeroed, or a cluster
        // that could not be read, with entries after it. Every cluster of
        // the chain is read to its end; after such a mark only entries that
        // look like entries are taken (a cluster may hold old bytes there).
        if (at % clusterBytes == 0)
            afterEnd = false;
        if (dir.U8(at) == 0) {
            afterEnd = true;
            lfnStart = bytes.size();
            continue;
        }
        if (afterEnd && !PlausibleEntry(dir.Sub(at, kEntry))) {
            lfnStart = bytes.size();
            continue;
        }
        if (dir.U8(at + 11) == kFatLongNameAttributes) {
            if (lfnStart == bytes.size())
                lfnStart = at;  // the first entry of a long-name run
            continue;
        }
        AddEntry(path, dir, at, lfnStart, clusters[at / clusterBytes], deletedFolders, depth);
        lfnStart = bytes.size();
    }

    // Deleted folders lost the high word of their cluster: look for their
    // "." and ".." from the high word of this folder's last cluster on.
    const std::uint32_t h0 = clusters.back() >> 16;
    for (const DeletedFolder& deleted : deletedFolders) {
        if (base::StopRequested())
            return;
        if (m_clusterEnd <= 0x10000 && (deleted.lowCluster < 2 || deleted.lowCluster >= m_entries))
            continue;
        const std::uint32_t c = FindDeletedFolderCluster(deleted.lowCluster, h0);
        if (c != 0)
            Walk(deleted.path, c, depth + 1);
    }
}

}  // namespace

// The start search of deleted files, turned around so that what it reads is
// bounded. A deleted entry keeps the low half of its start cluster; the high
// half is put back by the first candidate, in the order h0, h0 + 1, ... and
// then 0, 1, ... below h0 (h0 the high half of its folder's cluster), whose
// first bytes fit the file's extension. Rather than trying each file's
// candidates in turn (the same clusters again for every file of a folder),
// every file that needs a start is collected first; then each candidate
// cluster's first sector is read once, in ascending order, skipping clusters
// in use, and scored for every file whose low half it has. A file takes the
// fitting candidate it would have met first. What is read is at most 512
// bytes per distinct candidate cluster.
void Fat32Walk::RecoverDeletedStarts()
{
    constexpr std::uint32_t kNone = ~std::uint32_t {0};
    struct Wanted {
        std::size_t index = 0;  // in the results
        std::uint32_t low = 0;
        std::uint32_t h0 = 0;
        std::uint32_t bestRank = kNone;  // the order in which the fitting candidate would have been met
        std::uint32_t bestCluster = 0;
        std::int32_t bestScore = 0;
        std::string suffix;
    };
    const std::uint32_t highLimit = HighLimit();
    // h0 and up come first, then the high words below h0.
    const auto rank = [](std::uint32_t h, std::uint32_t h0) { return h >= h0 ? h - h0 : 0x10000 + h; };
    // Whether no later candidate can come before the one found.
    const auto settled = [&](const Wanted& w) { return w.bestRank != kNone && (w.bestRank < 0x10000 || w.h0 > highLimit); };
    const auto firstFree = [&](std::uint32_t low) -> std::uint32_t {
        for (std::uint32_t h = 0; h <= highLimit; ++h) {
            const std::uint32_t c = (h << 16) | low;
            if (Valid(c) && !Marked(c))
                return c;
        }
        return 0;
    };
    // Sets a result's start; the folder tree reads the results meanwhile.
    const auto place = [&](std::size_t index, std::uint32_t cluster, bool sure) {
        std::lock_guard<std::mutex> lock(m_volume.m_lock);
        FoundFile& f = *m_volume.m_results[index];
        f.extents.front().startSector = SectorOf(cluster);
        if (sure)
            f.m_located = 1;
    };

    std::vector<Wanted> wanted;
    const std::size_t count = m_volume.ResultCount();
    for (std::size_t i = 0; i < count; ++i) {
        Wanted w;
        std::uint64_t start = 0;
        {
            std::lock_guard<std::mutex> lock(m_volume.m_lock);
            const FoundFile& f = *m_volume.m_results[i];
            if (f.m_located != 0 || f.m_isDirectory != kKindFile || f.extents.empty())
                continue;
            start = f.extents.front().startSector;
            w.suffix = f.suffix();
            w.h0 = static_cast<std::uint32_t>(f.m_dirHint >> 16);
        }
        if (start < m_dataStart || m_spc == 0)
            continue;
        w.index = i;
        w.low = static_cast<std::uint32_t>(((start - m_dataStart) / m_spc + 2) & 0xFFFF);
        if (w.suffix.empty()) {
            // Nothing to test the bytes against: guess the folder's own high word.
            const std::uint32_t c = (w.h0 << 16) | w.low;
            if (w.h0 <= highLimit && Valid(c))
                place(i, c, false);
            continue;
        }
        if (!filetypes::HasHeaderSignature(w.suffix)) {
            // No bytes can fit: a folder whose high word lies past the volume
            // gives no guess of its own, so take the first cluster it would try.
            const std::uint32_t c = w.h0 > highLimit ? firstFree(w.low) : 0;
            if (c != 0)
                place(i, c, false);
            continue;
        }
        wanted.push_back(std::move(w));
    }

    // The files by low half: a candidate cluster is scored for its group.
    std::sort(wanted.begin(), wanted.end(), [](const Wanted& a, const Wanted& b) { return a.low < b.low; });
    struct Group {
        std::uint32_t low;
        std::size_t begin, end;  // in `wanted`
    };
    std::vector<Group> active;
    for (std::size_t i = 0; i < wanted.size();) {
        std::size_t j = i;
        while (j < wanted.size() && wanted[j].low == wanted[i].low)
            ++j;
        active.push_back({wanted[i].low, i, j});
        i = j;
    }

    constexpr std::size_t kBatch = 4096;  // candidates read at a time: 2 MiB of heads
    std::vector<std::uint64_t> sectors(kBatch);
    std::vector<std::uint8_t> heads(kBatch * 512);
    std::vector<std::uint8_t> read(kBatch);
    std::vector<std::uint32_t> row;  // this high word's candidates to read, in ascending order
    for (std::uint32_t h = 0; h <= highLimit && !active.empty(); ++h) {
        if (base::StopRequested())
            return;  // nothing half searched is set
        row.clear();
        for (const Group& g : active) {
            const std::uint32_t c = (h << 16) | g.low;
            if (!Valid(c) || Marked(c))
                continue;
            for (std::size_t k = g.begin; k < g.end; ++k) {
                if (rank(h, wanted[k].h0) < wanted[k].bestRank) {
                    row.push_back(static_cast<std::uint32_t>(&g - active.data()));
                    break;
                }
            }
        }
        // The row's candidates, a sector each, in batches.
        for (std::size_t r = 0; r < row.size(); r += kBatch) {
            const std::size_t n = std::min(kBatch, row.size() - r);
            for (std::size_t k = 0; k < n; ++k)
                sectors[k] = SectorOf((h << 16) | active[row[r + k]].low);
            m_volume.ReadSingleSectors(sectors.data(), n, heads.data(), read.data());
            for (std::size_t k = 0; k < n; ++k) {
                if (read[k] == 0)
                    continue;
                const std::uint8_t* head = heads.data() + k * 512;
                const Group& g = active[row[r + k]];
                const std::uint32_t c = (h << 16) | g.low;
                for (std::size_t f = g.begin; f < g.end; ++f) {
                    Wanted& w = wanted[f];
                    const std::uint32_t at = rank(h, w.h0);
                    if (at >= w.bestRank)
                        continue;
                    const std::int32_t score = filetypes::HeaderScore(w.suffix, head, 64);
                    if (score != 0) {
                        w.bestRank = at;
                        w.bestCluster = c;
                        w.bestScore = score;
                    }
                }
            }
        }
        // A group whose files are all settled needs no more reads.
        active.erase(std::remove_if(active.begin(), active.end(),
                                    [&](const Group& g) {
                                        return std::all_of(wanted.begin() + static_cast<std::ptrdiff_t>(g.begin),
                                                           wanted.begin() + static_cast<std::ptrdiff_t>(g.end), settled);
                                    }),
                     active.end());
    }
    for (const Wanted& w : wanted) {
        if (w.bestRank != kNone) {
            place(w.index, w.bestCluster, w.bestScore > 3);
        } else if (w.h0 > highLimit) {
            // Nothing fits, and the folder's high word gives no guess.
            const std::uint32_t c = firstFree(w.low);
            if (c != 0)
                place(w.index, c, false);
        }
    }
}
int Fat32Scan(VolumeScanner& volume)
{
    if (volume.m_sectorsPerCluster == 0 || volume.m_fat.empty())
        return 0;
    Fat32Walk walk(volume);
    walk.Mark(walk.Root());
    walk.Walk("", walk.Root(), 0);

    // Deleted files lost the high word of their start cluster.
    walk.RecoverDeletedStarts();
    return 0;
}

}  // namespace scan
