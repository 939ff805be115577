// The FAT32 directory walk: every short directory entry, with its long name,
// becomes a FoundFile, in use or deleted. A deleted entry's start cluster
// keeps only its low 16 bits; deleted folders are found again by the "." and
// ".." entries that begin every folder, and the clusters known to be in use
// (the cluster bitmap) keep that search off live data.
#include "filetypes/HeaderSignature.h"
#include "base/Log.h"
#include "base/StopRequest.h"
#include "platform/Text.h"
#include "scan/ByteView.h"
#include "scan/FolderClusters.h"
#include "scan/Scanners.h"
#include "scan/VolumeScanner.h"

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
    explicit Fat32Walk(VolumeScanner& volume) : m_volume(volume)
    {
        m_spc = volume.m_sectorsPerCluster;
        m_dataStart = volume.m_fat32.firstDataSector;
        m_entries = volume.m_fat.size();
        m_limit = m_spc ? volume.m_volumeSize / m_spc : 0;
        m_root = volume.m_fat32.rootCluster;
    }

    std::uint32_t Root() const { return m_root; }
    // Puts back the high word of a deleted file's start cluster: the first
    // cluster with that low word whose first bytes fit the extension. True
    // when the fit is sure.
    bool RecoverDeletedStart(FileExtent& extent, const std::string& suffix, std::uint32_t h0);
    void Mark(std::uint32_t c)
    {
        if (c / 8 < m_volume.m_clusterBitmap.size())
            m_volume.m_clusterBitmap[c / 8] |= static_cast<std::uint8_t>(1u << (c & 7));
    }
    void Walk(const std::string& path, std::uint32_t first, int depth);

private:
    bool InBitmap(std::uint32_t c) const { return c / 8 < m_volume.m_clusterBitmap.size(); }
    bool Marked(std::uint32_t c) const { return InBitmap(c) && (m_volume.m_clusterBitmap[c / 8] >> (c & 7)) & 1; }
    std::uint64_t SectorOf(std::uint32_t c) const { return m_dataStart + (std::uint64_t {c} - 2) * m_spc; }
    // The next cluster of a chain, 0 at its end.
    std::uint32_t Next(std::uint32_t c) const
    {
        if (c >= m_entries)
            return 0;
        const std::uint32_t v = m_volume.m_fat[c] & 0x0FFFFFFF;
        return v < 2 || v >= 0x0FFFFFF8 || v >= m_limit ? 0 : v;
    }
    std::uint32_t FindDeletedFolderCluster(std::uint16_t low, std::uint32_t h0);
    void AddEntry(const std::string& path, ByteView dir, std::size_t at, std::size_t lfnStart, std::uint32_t dirCluster,
                  std::vector<DeletedFolder>& deletedFolders, int depth);
    // Appends a result under a name no other in its folder has; returns that name.
    std::string Append(FoundFile&& found);
    // The first bytes of cluster `c` into `head`, read through a cache of
    // whole blocks: the start search tries the same high words for every
    // deleted file, and a folder's files lie side by side, so one block
    // holds the candidates of many (on a disk read cold, a read each would
    // be a seek each).
    bool ReadHead(std::uint32_t c, std::uint8_t* head, std::size_t size);
    // Whether a result of this folder already has this name and suffix.
    bool Taken(const FolderPath& path, std::string_view name, std::string_view suffix) const;

    VolumeScanner& m_volume;
    std::uint64_t m_spc = 0;
    std::uint64_t m_dataStart = 0;
    std::uint64_t m_entries = 0;
    std::uint64_t m_limit = 0;
    std::uint32_t m_root = 0;
    std::unordered_set<std::uint32_t> m_walked;   // folders walked: a folder never holds itself
    // Every result of the walk, found by folder, name and suffix for the
    // numbering: an open-addressing table of result numbers, 8 bytes or so a
    // result. A slot's hash is worked out again from its result when the
    // table grows.
    std::vector<std::uint32_t> m_names;
    std::size_t m_nameCount = 0;
    static constexpr std::uint32_t kNoResult = ~std::uint32_t {0};
    void Remember(std::uint32_t index);
    std::unordered_map<std::string, std::uint64_t> m_nextNumber;  // the last number given to a name

    struct HeadBlock {
        std::uint64_t sector = ~std::uint64_t {0};  // where the block starts
        std::uint64_t used = 0;                      // when it was last read from, for eviction
        std::size_t bytes = 0;                       // how much of it was read whole
        std::vector<std::uint8_t> data;
    };
    static constexpr std::size_t kHeadBlockSectors = 128;  // 64 KiB
    static constexpr std::size_t kHeadBlocks = 64;
    std::vector<HeadBlock> m_heads;
    std::uint64_t m_headClock = 0;
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

bool Fat32Walk::ReadHead(std::uint32_t c, std::uint8_t* head, std::size_t size)
{
    const std::uint64_t sector = SectorOf(c);
    const std::uint64_t start = sector / kHeadBlockSectors * kHeadBlockSectors;
    const std::size_t within = static_cast<std::size_t>(sector - start) * 512;
    if (m_heads.empty())
        m_heads.resize(kHeadBlocks);
    HeadBlock* block = nullptr;
    for (HeadBlock& b : m_heads) {
        if (b.sector == start) {
            block = &b;
            break;
        }
    }
    if (block == nullptr) {
        block = &*std::min_element(m_heads.begin(), m_heads.end(),
                                   [](const HeadBlock& a, const HeadBlock& b) { return a.used < b.used; });
        block->sector = start;
        block->data.resize(kHeadBlockSectors * 512);
        const std::uint64_t left = m_volume.m_volumeSize > start ? m_volume.m_volumeSize - start : 0;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kHeadBlockSectors)) * 512;
        block->bytes = want != 0 ? m_volume.ReadSectors(start, want, block->data.data()) : 0;
        if (block->bytes != want)
            block->bytes = 0;  // a block that does not read whole: each head in it is read alone
    }
    block->used = ++m_headClock;
    if (within + size <= block->bytes) {
        std::memcpy(head, block->data.data() + within, size);
        return true;
    }
    return m_volume.ReadSectors(sector, size, head) == size;
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
    const std::uint32_t highLimit = static_cast<std::uint32_t>(std::min<std::uint64_t>(m_limit >> 16, 0xFFFF));
    std::uint8_t head[64];
    auto tryHigh = [&](std::uint32_t h, std::uint32_t& found) {
        const std::uint32_t c = (h << 16) | low;
        if (!InBitmap(c))
            return false;  // past the volume: this phase is over
        if (c >= 2 && !Marked(c) && m_volume.ReadSectors(SectorOf(c), sizeof head, head) == sizeof head &&
            head[0] == '.' && head[32] == '.')
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

// A DOS 8.3 name: the first byte (a deleted entry's 0xE5 shown as "#"),
// bytes 1-7 up to a space, and "." with bytes 8-10 up to a space. Windows
// keeps an all-lower-case name as 8.3 with flags in byte 12 (0x08 the name,
// 0x10 the extension in lower case): the name comes back as it was written.
// 8.3 names are in the OEM code page; code page 850 (Western Europe) is
// taken for bytes 0x80 and up.
constexpr char16_t kCodePage850[128] = {0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580, 0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8, 0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0};

std::u16string ShortName(ByteView e)
{
    const auto letter = [](std::uint8_t c, bool lower) -> char16_t {
        char16_t ch = c < 0x80 ? char16_t {c} : kCodePage850[c - 0x80];
        const bool upper = (ch >= u'A' && ch <= u'Z') || (ch >= 0xC0 && ch <= 0xDE && ch != 0xD7);
        return lower && upper ? static_cast<char16_t>(ch + 0x20) : ch;
    };
    const bool lowerName = (e.U8(12) & 0x08) != 0;
    const bool lowerExtension = (e.U8(12) & 0x10) != 0;
    std::u16string name;
    const std::uint8_t first = e.U8(0);
    name.push_back(first == 0xE5 ? u'#' : first == 0x05 ? letter(0xE5, lowerName) : letter(first, lowerName));
    for (std::size_t i = 1; i < 8 && e.U8(i) != ' '; ++i)
        name.push_back(letter(e.U8(i), lowerName));
    if (e.U8(8) != ' ') {
        name.push_back(u'.');
        for (std::size_t i = 8; i < 11 && e.U8(i) != ' '; ++i)
            name.push_back(letter(e.U8(i), lowerExtension));
    }
    return name;
}

void Fat32Walk::AddEntry(const std::string& path, ByteView dir, std::size_t at, std::size_t lfnStart,
                         std::uint32_t dirCluster, std::vector<DeletedFolder>& deletedFolders, int depth)
{
    const ByteView e = dir.Sub(at, kEntry);
    std::u16string name;
    if (lfnStart < at) {
        // Long-name entries stand in reverse order before the short entry;
        // 13 characters each, up to the first NUL.
        bool ended = false;
        for (std::size_t l = at; l > lfnStart && !ended && name.size() < kMaxName;) {
            l -= kEntry;
            static constexpr std::size_t kChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
            for (const std::size_t off : kChars) {
                const char16_t ch = dir.U16(l + off);
                if (ch == 0) {
                    ended = true;
                    break;
                }
                if (name.size() < kMaxName)
                    name.push_back(ch);
            }
        }
    } else {
        name = ShortName(e);
    }
    const std::uint32_t size = e.U32(28);
    if (name.empty() || name == u"." || name == u".." || size == 0xFFFFFFFF)
        return;
    const bool deleted = e.U8(0) == 0xE5;
    const std::uint16_t low = e.U16(26);
    std::uint32_t start = (deleted ? 0u : std::uint32_t {e.U16(20)} << 16) | low;
    const bool folder = (e.U8(11) & 0x10) != 0;
    // A deleted entry keeps only the low half of its start. When that half
    // is 0 the file or folder began at a multiple of 65536 clusters: on a
    // volume that large it is kept, with a start of that low half that the
    // start searches complete, rather than taken for an empty entry.
    if (start == 0 && deleted && (folder || size != 0) && m_limit + 2 > 0x10000)
        start = 0x10000;
    if (start == 0 || start == 0x0FFFFFF8 || start == 0x0FFFFFFF)
        return;

    FoundFile found;
    FoundFile* file = &found;
    file->m_fileSystemType = kFat32;
    file->m_filePath = path;
    file->m_fileSize = size;
    file->m_latestTime = std::max({DosTimeToFileTime((std::uint32_t {e.U16(16)} << 16) | e.U16(14)),
                                   DosTimeToFileTime((std::uint32_t {e.U16(24)} << 16) | e.U16(22)),
                                   DosTimeToFileTime(std::uint32_t {e.U16(18)} << 16)});
    if (folder) {
        file->m_isDirectory = 1;
        if (deleted)
            file->m_existType = kExistDeleted;
        else
            file->m_located = 1;
    } else {
        file->m_isDirectory = 0;
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

    if (folder && start < m_entries) {
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
    for (std::size_t at = 0; at + kEntry <= bytes.size(); at += kEntry) {
        if (base::StopRequested())
            return;
        if (dir.U8(at) == 0)
            break;  // the end of the folder
        if (dir.U8(at + 11) == 0x0F) {
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
        if (deleted.lowCluster == 0 || deleted.lowCluster >= m_entries)
            continue;
        const std::uint32_t c = FindDeletedFolderCluster(deleted.lowCluster, h0);
        if (c != 0)
            Walk(deleted.path, c, depth + 1);
    }
}

}  // namespace

bool Fat32Walk::RecoverDeletedStart(FileExtent& extent, const std::string& suffix, std::uint32_t h0)
{
    if (extent.startSector < m_dataStart || m_spc == 0)
        return false;
    const std::uint32_t low = static_cast<std::uint32_t>(((extent.startSector - m_dataStart) / m_spc + 2) & 0xFFFF);
    const std::uint32_t highLimit = static_cast<std::uint32_t>(std::min<std::uint64_t>((m_limit + 1) >> 16, 0xFFFF));
    auto candidate = [&](std::uint32_t h) { return (h << 16) | low; };
    if (suffix.empty()) {
        // Nothing to test the bytes against: guess the folder's own high word.
        if (h0 <= highLimit && candidate(h0) >= 2)
            extent.startSector = SectorOf(candidate(h0));
        return false;
    }
    std::uint32_t first = 0;
    std::uint8_t head[64];
    // An extension no signature is known for fits no bytes: nothing to read.
    const bool checkable = filetypes::HasHeaderSignature(suffix);
    auto test = [&](std::uint32_t h, int& score) {
        const std::uint32_t c = candidate(h);
        if (c < 2 || c >= m_limit + 2 || Marked(c))
            return false;  // not a cluster, or one a live file or folder holds
        if (first == 0)
            first = c;
        if (!checkable || !ReadHead(c, head, sizeof head))
            return false;
        score = filetypes::HeaderScore(suffix, head, sizeof head);
        if (score == 0)
            return false;
        extent.startSector = SectorOf(c);
        return true;
    };
    int score = 0;
    for (std::uint32_t h = h0; h <= highLimit; ++h) {
        if (test(h, score))
            return score > 3;
    }
    for (std::uint32_t h = 0; h < h0 && h <= highLimit; ++h) {
        if (test(h, score))
            return score > 3;
    }
    // Nothing fits. A folder whose high word lies past the volume gives no
    // guess of its own: take the first cluster tried.
    if (h0 > highLimit && first != 0)
        extent.startSector = SectorOf(first);
    return false;
}

int Fat32Scan(VolumeScanner& volume)
{
    if (volume.m_sectorsPerCluster == 0 || volume.m_fat.empty())
        return 0;
    Fat32Walk walk(volume);
    walk.Mark(walk.Root());
    walk.Walk("", walk.Root(), 0);

    // Deleted files lost the high word of their start cluster. Each is
    // searched once: the search depends only on the volume, so a second pass
    // would find what the first found (and an extension-less guess must move
    // the start once, not once per pass).
    // The results are read by the folder tree meanwhile: each is taken and
    // put back under the lock, the volume read without it.
    const std::size_t count = volume.ResultCount();
    for (std::size_t i = 0; i < count; ++i) {
        if (base::StopRequested())
            break;
        FileExtent extent;
        std::string suffix;
        std::uint32_t h0 = 0;
        {
            std::lock_guard<std::mutex> lock(volume.m_lock);
            const FoundFile& f = *volume.m_results[i];
            if (f.m_located != 0 || f.m_isDirectory != 0 || f.extents.empty())
                continue;
            extent = f.extents.front();
            suffix = f.suffix();
            h0 = static_cast<std::uint32_t>(f.m_dirHint >> 16);
        }
        const bool sure = walk.RecoverDeletedStart(extent, suffix, h0);
        std::lock_guard<std::mutex> lock(volume.m_lock);
        FoundFile& f = *volume.m_results[i];
        f.extents.front() = extent;
        if (sure)
            f.m_located = 1;
    }
    return 0;
}

}  // namespace scan
