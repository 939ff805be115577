// Old folders of FAT32 and exFAT volumes, found by their content. Every
// cluster the file system does not use now is looked at as the deep scan
// reads it: a FAT32 folder's first cluster begins with its "." and ".."
// entries, and its other clusters hold nothing but well-formed entries; an
// exFAT folder's clusters hold entry sets whose checksums hold. Each entry
// becomes a result; its folder is placed when the pass ends, from what the
// clusters found say of each other: ".." names a FAT32 folder's parent, an
// entry names the first cluster of the folder it stands for, and a folder's
// next cluster follows its last full one (a fresh card's folders are not
// fragmented). What cannot be placed goes under "lost_dir\".
#include "search/FolderSearch.h"

#include "base/ByteView.h"
#include "fat/DirectoryEntry.h"
#include "fat/ExfatEntrySet.h"
#include "ntfs/NtfsPaths.h"
#include "search/Evidence.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace scan {
namespace {

constexpr std::size_t kEntry = 32;
constexpr std::size_t kMaxName = 259;
constexpr std::uint32_t kRoot = 0;  // the key the root folder goes by
constexpr std::size_t kMaxDepth = 512;
// How far back a folder's clusters are followed to its first one.
constexpr std::uint32_t kMaxFolderClusters = 65536;
// The most of a cluster looked at: a folder's entries begin at its start.
constexpr std::size_t kMaxLookBytes = 1 << 20;
// An exFAT entry set holds at most 18 secondary entries.
constexpr std::size_t kMaxSetBytes = 19 * kEntry;
// A FAT32 long name of 255 characters takes 20 entries.
constexpr std::size_t kMaxRunBytes = 20 * kEntry;

// The key of a long-name run kept for the cluster after (FAT32 cluster
// numbers have 28 bits).
constexpr std::uint32_t kOpenRunKey = 0x80000000u;

// What the folder map keeps of each cluster found (FolderEntry::flags).
constexpr std::uint16_t kNamed = 0x2;     // an entry gives the folder's name
constexpr std::uint16_t kSeen = 0x100;    // read as a folder's cluster
constexpr std::uint16_t kHead = 0x200;    // a folder's first cluster
constexpr std::uint16_t kEnded = 0x400;   // holds its folder's end mark

bool DotEntry(ByteView d, std::size_t at, bool twoDots)
{
    static const char kDot[] = ".          ";
    static const char kDotDot[] = "..         ";
    return std::memcmp(d.Data() + at, twoDots ? kDotDot : kDot, 11) == 0 && (d.U8(at + 11) & kFatFolderAttribute) != 0;
}

std::uint8_t ShortNameChecksum(ByteView e)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 11; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + e.U8(i));
    return sum;
}

// The entry types an exFAT folder holds, in use or not.
bool ExfatEntryType(std::uint8_t t)
{
    switch (t | 0x80) {
    case 0x81: case 0x82: case 0x83: case 0x85: case 0xA0: case 0xA1: case 0xA2: case 0xC0: case 0xC1: case 0xE0:
        return true;
    default:
        return false;
    }
}

// Whether the entry set at `at`, `entries` entries long, has the checksum
// its File entry holds. A deleted set had the in-use bit of every type
// cleared after its checksum was made: it is put back for the sum.
bool ExfatSetChecksumHolds(ByteView d, std::size_t at, std::size_t entries)
{
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < entries * kEntry; ++i) {
        if (i == 2 || i == 3)
            continue;
        std::uint8_t b = d.U8(at + i);
        if (i % kEntry == 0)
            b |= 0x80;
        sum = static_cast<std::uint16_t>(((sum & 1) != 0 ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum == d.U16(at + 2);
}

// A result's identity for telling a file found again from one the normal
// scan found: its name, size, kind and where its data begins.
std::uint64_t Identity(std::string_view fullName, std::uint64_t size, bool folder, std::uint64_t start)
{
    constexpr std::uint64_t kMix = 0x9E3779B97F4A7C15ULL;
    std::uint64_t h = std::hash<std::string_view>()(fullName);
    h = (h ^ size) * kMix;
    h = (h ^ start ^ (folder ? 1ULL << 63 : 0)) * kMix;
    return h ^ (h >> 31);
}

class FolderSearch : public ChunkFinder {
public:
    FolderSearch(VolumeScanner& volume, bool exfat) : m_volume(volume), m_exfat(exfat), m_state(volume.m_deep.folderClusters)
    {
        m_spc = volume.m_sectorsPerCluster;
        if (exfat) {
            m_dataStart = volume.m_exfat.clusterHeapSector;
            m_clusterEnd = std::uint64_t {volume.m_exfat.clusterCount} + 2;
            m_root = volume.m_exfat.rootCluster;
        } else {
            m_dataStart = volume.m_fat32.firstDataSector;
            m_clusterEnd = volume.m_fat32.clusterCount + 2;
            m_root = volume.m_fat32.rootCluster;
        }
        // Which clusters the file system uses now: its folders were read by
        // the normal scan, and its files are no folders.
        EnsureAllocation(volume);
        // The results found so far, so that a file is not listed twice.
        const ReadResults results = std::as_const(volume).Results();
        m_known.reserve(results->size());
        for (const FoundFile* f : *results) {
            if (f->m_fileSystemType == volume.m_fileSystemType)
                m_known.push_back(IdentityOf(*f));
        }
        std::sort(m_known.begin(), m_known.end());
        // The long-name runs a paused search kept.
        for (const auto& [key, e] : m_state.folders) {
            if (m_exfat || (key & kOpenRunKey) == 0 || e.name.size() % 2 != 0 || e.name.size() > 2 * kMaxRunBytes)
                continue;
            std::vector<std::uint8_t> run;
            bool ok = true;
            const auto digit = [&ok](char h) {
                const char* at = std::strchr("0123456789abcdef", h);
                ok = ok && h != 0 && at != nullptr;
                return ok ? static_cast<std::uint8_t>(at - "0123456789abcdef") : 0;
            };
            for (std::size_t i = 0; i + 1 < e.name.size(); i += 2)
                run.push_back(static_cast<std::uint8_t>(digit(e.name[i]) << 4 | digit(e.name[i + 1])));
            if (ok)
                m_openRuns[e.parent] = std::move(run);
        }
    }

    std::uint64_t ChunkSectors(std::uint64_t position, std::uint64_t limit) const override
    {
        if (position < m_dataStart)
            return std::min(limit, m_dataStart - position);
        // From inside a cluster (a read that went back for a record cut by
        // the last one), as far as a border allows: a short read could cut
        // such a record again.
        const std::uint64_t into = (position - m_dataStart) % m_spc;
        const std::uint64_t head = into != 0 ? m_spc - into : 0;
        if (limit <= head)
            return limit;
        return limit - head >= m_spc ? head + (limit - head) / m_spc * m_spc : limit;
    }

    std::size_t Look(std::uint8_t* buffer, std::size_t bytes, std::uint64_t firstSector) override
    {
        const std::uint64_t sectors = bytes / 512;
        std::uint64_t s = firstSector <= m_dataStart
                              ? m_dataStart
                              : m_dataStart + (firstSector - m_dataStart + m_spc - 1) / m_spc * m_spc;
        const std::size_t whole = static_cast<std::size_t>(std::min<std::uint64_t>(m_spc * 512, kMaxLookBytes));
        for (; s < firstSector + sectors; s += m_spc) {
            const std::uint64_t c = (s - m_dataStart) / m_spc + 2;
            if (c >= m_clusterEnd)
                break;
            const std::size_t at = static_cast<std::size_t>((s - firstSector) * 512);
            const std::size_t have = std::min<std::size_t>(whole, bytes - at);
            if (have < whole) {
                m_tail.clear();  // a cluster the read cut short: the next read begins with it
                break;
            }
            LookAtCluster(static_cast<std::uint32_t>(c), ByteView(buffer + at, have));
        }
        return bytes;
    }

    void Finish() override;

private:
    std::uint64_t IdentityOf(const FoundFile& f) const
    {
        std::uint64_t start = 0;
        if (!f.extents.empty() && f.extents.front().startSector >= m_dataStart && m_spc != 0) {
            const std::uint64_t c = (f.extents.front().startSector - m_dataStart) / m_spc + 2;
            // A deleted FAT32 entry keeps only the low half of its start,
            // which the normal scan may have completed.
            start = m_exfat ? c : c & 0xFFFF;
        }
        const bool folder = f.m_isDirectory == kKindFolder;
        return Identity(f.FullNameUtf8(), folder ? 0 : f.m_fileSize, folder, folder ? 0 : start);
    }
    bool Known(std::uint64_t id) const
    {
        return std::binary_search(m_known.begin(), m_known.end(), id) || m_added.count(id) != 0;
    }
    bool Valid(std::uint64_t c) const { return c >= 2 && c < m_clusterEnd; }
    std::uint64_t SectorOf(std::uint64_t c) const { return m_dataStart + (c - 2) * m_spc; }
    // Whether `size` bytes from cluster `first` stay inside the volume.
    bool Fits(std::uint64_t first, std::uint64_t size) const
    {
        const std::uint64_t clusterBytes = m_spc * 512;
        return Valid(first) && (size + clusterBytes - 1) / clusterBytes <= m_clusterEnd - first;
    }

    void LookAtCluster(std::uint32_t c, ByteView d);
    void LookFat32(std::uint32_t c, ByteView d);
    void LookExfat(std::uint32_t c, ByteView d);
    void Mark(std::uint32_t c, std::uint16_t flags);
    // A folder whose first cluster is `first`, named by an entry in cluster `in`.
    void NameFolder(std::uint32_t first, std::uint32_t in, const std::string& name);
    void Add(FoundFile&& file, std::uint32_t in, std::uint64_t startCluster);

    // The first cluster of the folder cluster `c` belongs to; kRoot for the root.
    std::uint32_t FolderOf(std::uint32_t c) const;
    // The path of the folder whose first cluster is `head`: false, with
    // "lost_dir\" before the part that is known, when the chain breaks.
    bool PathOf(std::uint32_t head, std::string& path) const;

    VolumeScanner& m_volume;
    const bool m_exfat;
    NtfsPathState& m_state;  // by cluster: the folders found and the results waiting for their place
    std::uint64_t m_spc = 1;
    std::uint64_t m_dataStart = 0;
    std::uint64_t m_clusterEnd = 2;
    std::uint32_t m_root = 0;
    std::vector<std::uint64_t> m_known;        // identities of the results found before, sorted
    std::unordered_set<std::uint64_t> m_added; // and of those this search added
    // The end of the last cluster looked at, when an entry run or set runs
    // past it into the next: `m_tailCluster`'s last bytes.
    std::vector<std::uint8_t> m_tail;
    std::uint32_t m_tailCluster = 0;
    // Set when the pass ends: a folder cluster found after the data of the
    // last file a full folder cluster names, and that cluster.
    std::unordered_map<std::uint32_t, std::uint32_t> m_grownInto;
    // What the placing worked out, kept as it goes: the first cluster of
    // the folder of each cluster, and the path of each folder.
    mutable std::unordered_map<std::uint32_t, std::uint32_t> m_folderOf;
    mutable std::unordered_map<std::uint32_t, std::pair<std::string, std::size_t>> m_paths;  // and its depth
    std::unordered_map<std::uint32_t, std::uint32_t> m_firstStart;  // folder cluster -> its first file's start
    // The cluster before `c` in its folder when the folder grew elsewhere; 0
    // when none is known.
    std::uint32_t GrownFrom(std::uint32_t c) const;
    // Long-name runs that a full folder cluster ended with, which go on in
    // the folder's next cluster: by where that cluster would be (after the
    // data of the files the cluster names). Kept in the folder map too,
    // under the cluster's number with kOpenRunKey set, so that a paused
    // scan keeps them.
    std::unordered_map<std::uint32_t, std::vector<std::uint8_t>> m_openRuns;
    void KeepOpenRun(std::uint32_t c, std::uint64_t end, std::vector<std::uint8_t> run);
};


void FolderSearch::LookAtCluster(std::uint32_t c, ByteView d)
{
    // What the file system uses now is no old folder: its own folders were
    // read by the normal scan (a fresh format's root among them).
    const ClusterMap& map = m_volume.m_allocation;
    if (c == m_root || (map.Known() && map.InUse(c - 2))) {
        m_tail.clear();
        return;
    }
    // Most clusters hold file data or nothing: their first byte begins no
    // entry of a folder.
    const std::uint8_t first = d.U8(0);
    const bool maybe = m_exfat ? ExfatEntryType(first) : first != 0 && (first == '.' || PlausibleEntry(d.Sub(0, kEntry)));
    if (!maybe) {
        m_tail.clear();
        return;
    }
    const auto it = m_state.folders.find(c);
    if (it != m_state.folders.end() && (it->second.flags & kSeen) != 0) {
        m_tail.clear();  // read before this pass was paused
        return;
    }
    if (m_exfat)
        LookExfat(c, d);
    else
        LookFat32(c, d);
}

void FolderSearch::Mark(std::uint32_t c, std::uint16_t flags)
{
    std::lock_guard<std::mutex> lock(m_volume.m_lock);
    FolderEntry& e = m_state.folders[c];
    e.recordNumber = c;
    e.flags |= flags;
}

void FolderSearch::NameFolder(std::uint32_t first, std::uint32_t in, const std::string& name)
{
    std::lock_guard<std::mutex> lock(m_volume.m_lock);
    FolderEntry& e = m_state.folders[first];
    if ((e.flags & kNamed) != 0)
        return;  // the first entry that names it stays
    e.recordNumber = first;
    e.name = name;
    e.parent = in;
    e.flags |= kNamed | kHead;
}

void FolderSearch::Add(FoundFile&& file, std::uint32_t in, std::uint64_t startCluster)
{
    const std::uint64_t id =
        Identity(file.FullNameUtf8(), file.m_fileSize, file.m_isDirectory == kKindFolder, startCluster);
    if (Known(id))
        return;
    m_added.insert(id);
    file.m_existType = kExistLost;
    file.m_fileSystemType = m_volume.m_fileSystemType;
    file.m_dirHint = in;
    file.m_inTree = 0;
    std::lock_guard<std::mutex> lock(m_volume.m_lock);
    // A file a paused search found by its content gives its place up.
    if (const std::size_t place = m_volume.ContentPlaceOf(file); place != VolumeScanner::kNoPlace) {
        m_state.pending.push_back({static_cast<std::uint32_t>(place), in});
        *m_volume.m_results[place] = std::move(file);
        return;
    }
    m_state.pending.push_back({static_cast<std::uint32_t>(m_volume.m_results.size()), in});
    m_volume.m_results.Append(std::move(file));
}

void FolderSearch::LookFat32(std::uint32_t c, ByteView d)
{
    // Most clusters hold file data: their first bytes are no entry.
    const bool head = DotEntry(d, 0, false) && DotEntry(d, kEntry, true);
    if (!head && (d.U8(0) == 0 || !PlausibleEntry(d.Sub(0, kEntry)))) {
        m_tail.clear();
        return;
    }
    if (head && DecodeShortEntry(d.Sub(0, kEntry)).FirstCluster() != c) {
        m_tail.clear();
        return;  // the "." of a copy of some folder's cluster, not this one's
    }
    // A long-name run that the last cluster ended with goes on here.
    std::vector<std::uint8_t> joined;
    ByteView view = d;
    if (!head && !m_tail.empty() && m_tailCluster + 1 == c) {
        joined.assign(m_tail.begin(), m_tail.end());
        joined.insert(joined.end(), d.Data(), d.Data() + d.Size());
        view = ByteView(joined.data(), joined.size());
    }
    m_tail.clear();

    struct Found {
        std::size_t lfnStart, at;
    };
    std::vector<Found> entries;
    constexpr std::size_t kNone = ~std::size_t {0};
    std::size_t lfnStart = kNone;
    bool ended = false;
    std::size_t bad = 0;
    std::size_t matched = 0;  // long names whose checksum holds
    for (std::size_t at = head ? 2 * kEntry : 0; at + kEntry <= view.Size(); at += kEntry) {
        if (view.U8(at) == 0) {
            ended = true;
            lfnStart = kNone;
            break;
        }
        const ByteView e = view.Sub(at, kEntry);
        if (!PlausibleEntry(e)) {
            ++bad;
            lfnStart = kNone;
            if (!head)
                break;
            continue;
        }
        if (e.U8(11) == kFatLongNameAttributes) {
            if (lfnStart == kNone)
                lfnStart = at;
            continue;
        }
        const ShortEntry s = DecodeShortEntry(e);
        const std::uint32_t start = s.Deleted() ? s.lowCluster : s.FirstCluster();
        const bool fits = (s.attributes & 0x08) != 0 || (s.Folder() ? Valid(start) : s.size == 0 || Fits(start, s.size));
        if (!fits && !s.Deleted()) {
            ++bad;
            lfnStart = kNone;
            if (!head)
                break;
            continue;
        }
        if (lfnStart != kNone && !s.Deleted() && DecodeLongNameEntry(view.Sub(lfnStart, kEntry)).checksum == ShortNameChecksum(e))
            ++matched;
        entries.push_back({lfnStart, at});
        lfnStart = kNone;
    }
    // Another cluster than a folder's first holds nothing but entries, one
    // of them at least with a long name that fits it or two of them.
    if (!head && (bad != 0 || entries.empty() || (matched == 0 && entries.size() < 2)))
        return;
    if (lfnStart != kNone) {
        m_tail.assign(view.Data() + lfnStart, view.Data() + view.Size());
        m_tailCluster = c;
    }
    std::uint16_t flags = kSeen | (head ? kHead : 0) | (ended ? kEnded : 0);
    Mark(c, flags);
    if (head) {
        const std::uint32_t parent = DecodeShortEntry(d.Sub(kEntry, kEntry)).FirstCluster();
        std::lock_guard<std::mutex> lock(m_volume.m_lock);
        FolderEntry& e = m_state.folders[c];
        if ((e.flags & kNamed) == 0)
            e.parent = parent == m_root ? kRoot : parent;
    }

    // Where the data of the files this cluster names begins and ends.
    std::uint64_t firstStart = ~std::uint64_t {0}, lastEnd = 0;
    for (const Found& f : entries) {
        const ShortEntry s = DecodeShortEntry(view.Sub(f.at, kEntry));
        if (!s.Deleted() && !s.Folder() && s.size != 0 && Fits(s.FirstCluster(), s.size)) {
            firstStart = std::min<std::uint64_t>(firstStart, s.FirstCluster());
            lastEnd = std::max<std::uint64_t>(lastEnd, s.FirstCluster() + (s.size + m_spc * 512 - 1) / (m_spc * 512));
        }
    }
    if (lfnStart != kNone && lastEnd != 0)
        KeepOpenRun(c, lastEnd, std::vector<std::uint8_t>(view.Data() + lfnStart, view.Data() + view.Size()));
    // A cluster of a folder that grew elsewhere may begin with the short
    // entry of a long-name run another cluster ended with.
    const std::vector<std::uint8_t>* openRun = nullptr;
    if (!head && view.Size() == d.Size() && !entries.empty() && entries.front().at == 0 &&
        entries.front().lfnStart == kNone) {
        auto it = m_openRuns.find(c);
        if (it == m_openRuns.end() && firstStart <= 0xFFFFFFFF)
            it = m_openRuns.find(static_cast<std::uint32_t>(firstStart));
        if (it != m_openRuns.end())
            openRun = &it->second;
    }
    for (const Found& f : entries) {
        const ShortEntry s = DecodeShortEntry(view.Sub(f.at, kEntry));
        if ((s.attributes & 0x08) != 0 || s.size == 0xFFFFFFFF)
            continue;  // the volume's label
        std::u16string name;
        if (f.lfnStart != kNone) {
            const bool sums = s.Deleted() || DecodeLongNameEntry(view.Sub(f.lfnStart, kEntry)).checksum ==
                                                 ShortNameChecksum(view.Sub(f.at, kEntry));
            if (sums)
                name = JoinLongName(view.Sub(f.lfnStart, f.at - f.lfnStart), kMaxName);
        }
        if (name.empty() && f.at == 0 && openRun != nullptr && !s.Deleted()) {
            const ByteView run(openRun->data(), openRun->size());
            if (DecodeLongNameEntry(run.Sub(0, kEntry)).checksum == ShortNameChecksum(view.Sub(0, kEntry)))
                name = JoinLongName(run, kMaxName);
        }
        if (name.empty())
            name = ShortName(s);
        if (name.empty() || name == u"." || name == u"..")
            continue;
        // A deleted entry lost the high half of its start: its folder's is
        // the likeliest.
        std::uint32_t start = s.FirstCluster();
        if (s.Deleted()) {
            start = (c & 0xFFFF0000u) | s.lowCluster;
            if (!Valid(start) || (!s.Folder() && !Fits(start, s.size)))
                start = s.lowCluster;
        }
        if (!s.Folder() && (s.size == 0 || !Fits(start, s.size)))
            continue;  // no data, or none inside the volume
        std::replace(name.begin(), name.end(), u'?', u'#');
        FoundFile file;
        file.SetName(name);
        file.m_fileSize = s.Folder() ? 0 : s.size;
        file.m_latestTime =
            std::max({DosTimeToFileTime(s.created), DosTimeToFileTime(s.modified), DosTimeToFileTime(s.accessed)});
        if (s.Folder()) {
            if (!Valid(start))
                continue;
            file.m_isDirectory = kKindFolder;
            file.m_located = s.Deleted() ? 0 : 1;
            NameFolder(start, c, file.FullNameUtf8());
        } else {
            file.m_isDirectory = kKindFile;
            file.m_located = s.Deleted() ? 0 : 1;
            file.extents = {{SectorOf(start), (std::uint64_t {s.size} + 511) / 512, kExtentPlain}};
        }
        Add(std::move(file), c, s.Folder() ? 0 : start & 0xFFFF);
    }
}

void FolderSearch::LookExfat(std::uint32_t c, ByteView d)
{
    if (!ExfatEntryType(d.U8(0)) && d.U8(0) != 0) {
        m_tail.clear();
        return;
    }
    std::vector<std::uint8_t> joined;
    ByteView view = d;
    if (!m_tail.empty() && m_tailCluster + 1 == c) {
        joined.assign(m_tail.begin(), m_tail.end());
        joined.insert(joined.end(), d.Data(), d.Data() + d.Size());
        view = ByteView(joined.data(), joined.size());
    }
    const std::size_t carried = view.Size() - d.Size();
    m_tail.clear();

    std::vector<std::size_t> sets;
    std::size_t bad = 0;
    bool ended = false;
    std::size_t danglingAt = view.Size();
    for (std::size_t at = 0; at + kEntry <= view.Size(); at += kEntry) {
        const std::uint8_t t = view.U8(at);
        if (t == 0) {
            ended = true;
            break;
        }
        if (!ExfatEntryType(t)) {
            ++bad;
            continue;
        }
        if ((t | 0x80) != 0x85)
            continue;
        const std::size_t entries = std::size_t {view.U8(at + 1)} + 1;
        if (entries < 3 || entries > 19 || (view.U8(at + kEntry) | 0x80) != 0xC0) {
            ++bad;
            continue;
        }
        if (at + entries * kEntry > view.Size()) {
            danglingAt = at;  // the set goes on in the next cluster
            break;
        }
        if (!ExfatSetChecksumHolds(view, at, entries)) {
            ++bad;
            continue;
        }
        sets.push_back(at);
        at += (entries - 1) * kEntry;
    }
    if (danglingAt < view.Size() && view.Size() - danglingAt <= kMaxSetBytes) {
        m_tail.assign(view.Data() + danglingAt, view.Data() + view.Size());
        m_tailCluster = c;
    }
    // Only a set whose checksum holds says a cluster is a folder's; a
    // cluster of a set begun before (its first File Name entries) is one too.
    if (sets.empty() && !(carried != 0 && danglingAt == view.Size() && bad == 0))
        return;
    Mark(c, static_cast<std::uint16_t>(kSeen | (ended ? kEnded : 0)));

    for (const std::size_t at : sets) {
        const ExfatEntrySet s = DecodeExfatEntrySet(view, at);
        if (s.name.empty() || s.validLength == 0xFFFFFFFF)
            continue;
        // A set carried over from the cluster before stands in that cluster.
        const std::uint32_t in = at < carried ? c - 1 : c;
        FoundFile file;
        std::u16string name = s.name;
        file.SetName(name);
        file.m_latestTime =
            std::max({DosTimeToFileTime(s.created), DosTimeToFileTime(s.modified), DosTimeToFileTime(s.accessed)});
        if (s.Folder()) {
            if (!Valid(s.firstCluster))
                continue;
            file.m_isDirectory = kKindFolder;
            NameFolder(s.firstCluster, in, file.FullNameUtf8());
            Add(std::move(file), in, 0);  // a folder's result holds no extent
            continue;
        }
        if (s.validLength == 0 || !Fits(s.firstCluster, s.validLength))
            continue;
        file.m_isDirectory = kKindFile;
        file.m_fileSize = s.validLength;
        file.m_located = 1;
        // The FAT that chained its clusters is gone: they are taken to
        // follow one another, as they do on a card written once.
        file.extents = {{SectorOf(s.firstCluster), (s.validLength + 511) / 512, kExtentPlain}};
        Add(std::move(file), in, s.firstCluster);
    }
}

std::uint32_t FolderSearch::FolderOf(std::uint32_t c) const
{
    // Each cluster passed is told the answer, so that no walk is made twice.
    std::vector<std::uint32_t> passed;
    std::uint32_t head = c;
    for (std::uint32_t steps = 0;; ++steps) {
        const auto known = m_folderOf.find(c);
        if (known != m_folderOf.end()) {
            head = known->second;
            break;
        }
        if (c == kRoot || c == m_root) {
            head = kRoot;
            break;
        }
        head = c;
        const auto it = m_state.folders.find(c);
        if (steps == kMaxFolderClusters || it == m_state.folders.end() || (it->second.flags & kHead) != 0)
            break;
        passed.push_back(c);
        // A folder's clusters follow one another; the one before goes on
        // here only when it ended full. (On FAT32, where every folder but
        // the root begins with "." and "..", one after the root's first
        // cluster is the root's.)
        if (c - 1 == m_root && !m_exfat) {
            head = kRoot;
            break;
        }
        const auto before = m_state.folders.find(c - 1);
        if (before != m_state.folders.end() && (before->second.flags & kSeen) != 0 &&
            (before->second.flags & kEnded) == 0) {
            --c;
            continue;
        }
        // A folder that grew while files were written took its next cluster
        // where the data of the file it had named last ended, or after the
        // data of the file it then named first.
        const std::uint32_t from = GrownFrom(c);
        if (from == 0 || std::find(passed.begin(), passed.end(), from) != passed.end())
            break;
        c = from;
    }
    for (const std::uint32_t p : passed)
        m_folderOf[p] = head;
    return head;
}

void FolderSearch::KeepOpenRun(std::uint32_t c, std::uint64_t end, std::vector<std::uint8_t> run)
{
    if (end > 0xFFFFFFFF || (c & kOpenRunKey) != 0 || run.size() > kMaxRunBytes)
        return;
    std::string hex;
    for (const std::uint8_t b : run) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789abcdef"[b & 15];
    }
    {
        std::lock_guard<std::mutex> lock(m_volume.m_lock);
        FolderEntry& e = m_state.folders[c | kOpenRunKey];
        e.recordNumber = c | kOpenRunKey;
        e.parent = static_cast<std::uint32_t>(end);
        e.name = std::move(hex);
    }
    m_openRuns[static_cast<std::uint32_t>(end)] = std::move(run);
}

std::uint32_t FolderSearch::GrownFrom(std::uint32_t c) const
{
    auto grown = m_grownInto.find(c);
    if (grown == m_grownInto.end()) {
        const auto first = m_firstStart.find(c);
        if (first != m_firstStart.end())
            grown = m_grownInto.find(first->second);
    }
    return grown == m_grownInto.end() ? 0 : grown->second;
}

bool FolderSearch::PathOf(std::uint32_t head, std::string& path) const
{
    // Up to the root, a folder whose path is known, or where the chain
    // breaks; then down again, each folder's path kept. A path deeper than
    // a folder walk goes starts again under "lost_dir\".
    std::vector<std::uint32_t> chain;
    std::unordered_set<std::uint32_t> visited;
    bool whole = false;
    path = kLostDir;
    std::size_t depth = 0;
    for (std::uint32_t h = head; chain.size() < kMaxDepth;) {
        if (h == kRoot) {
            path.clear();
            whole = true;
            break;
        }
        const auto known = m_paths.find(h);
        if (known != m_paths.end()) {
            path = known->second.first;
            depth = known->second.second;
            whole = path.rfind(kLostDir, 0) != 0;
            break;
        }
        const auto it = m_state.folders.find(h);
        if (it == m_state.folders.end() || (it->second.flags & kNamed) == 0 || !visited.insert(h).second)
            break;
        chain.push_back(h);
        h = FolderOf(it->second.parent);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (++depth > kMaxDepth) {
            path = kLostDir;
            depth = 1;
            whole = false;
        }
        path += m_state.folders.find(*it)->second.name + "\\";
        m_paths[*it] = {path, depth};
    }
    return whole;
}

void FolderSearch::Finish()
{
    // Where each full folder cluster would have gone on: after the data of
    // the last file it names.
    // (Files are written one after another: the last one a cluster names
    // ends furthest, the first one it names begins first.)
    std::unordered_map<std::uint32_t, std::uint64_t> lastEnd;
    for (const PendingPath& pending : m_state.pending) {
        if (pending.index >= m_volume.m_results.size())
            continue;
        const FoundFile& file = *m_volume.m_results[pending.index];
        if (file.m_isDirectory != kKindFile || file.extents.empty() || file.extents.front().startSector < m_dataStart)
            continue;
        const FileExtent& e = file.extents.front();
        const std::uint64_t start = (e.startSector - m_dataStart) / m_spc + 2;
        const std::uint64_t end = (e.startSector - m_dataStart + e.sectorCount + m_spc - 1) / m_spc + 2;
        std::uint64_t& last = lastEnd[pending.parent];
        last = std::max(last, end);
        if (start <= 0xFFFFFFFF) {
            const auto [first, added] = m_firstStart.emplace(pending.parent, static_cast<std::uint32_t>(start));
            if (!added)
                first->second = std::min(first->second, static_cast<std::uint32_t>(start));
        }
    }
    for (const auto& [cluster, end] : lastEnd) {
        const auto it = m_state.folders.find(cluster);
        if (it != m_state.folders.end() && (it->second.flags & kEnded) == 0 && end <= 0xFFFFFFFF &&
            end != cluster + 1)
            m_grownInto.emplace(static_cast<std::uint32_t>(end), cluster);
    }

    // Each folder's path once, however many files it holds.
    std::unordered_map<std::uint32_t, std::string> paths;
    for (const PendingPath& pending : m_state.pending) {
        if (pending.index >= m_volume.m_results.size())
            continue;
        FoundFile& file = *m_volume.m_results[pending.index];
        if (!file.m_filePath.IsUnresolved())
            continue;
        const std::uint32_t head = FolderOf(pending.parent);
        auto known = paths.find(head);
        if (known == paths.end()) {
            std::string path;
            PathOf(head, path);
            known = paths.emplace(head, std::move(path)).first;
        }
        file.m_filePath = known->second;
    }
    m_state.Clear();
}

}  // namespace

std::unique_ptr<ChunkFinder> MakeFolderSearch(VolumeScanner& volume)
{
    if (!volume.m_geometryValid || volume.m_sectorsPerCluster == 0)
        return nullptr;
    switch (volume.m_fileSystemType) {
    case kFat32:
        return std::make_unique<FolderSearch>(volume, false);
    case kExfat:
        return std::make_unique<FolderSearch>(volume, true);
    default:
        return nullptr;
    }
}

}  // namespace scan
