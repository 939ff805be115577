// Files found by their content. The search looks at the first bytes of
// every cluster the pass reads that the file system does not use and no
// found file claims; a file of a kind whose end can be found begins there,
// and its bytes are fed to the end finder of its kind as the pass reads
// them, one cluster after another (a file's clusters are taken to follow
// one another, as they do on most cards and disks that were not full).
//
// While a JPEG, PNG, GIF or PDF is followed, the start of every cluster is
// still looked at: their data never begins another file at a cluster start,
// so a new one there means the followed one was cut short there (PDF, whose
// end is its last "%%EOF" line, ends there). Kinds that give their size up
// front (ZIP, MP4, RIFF, BMP, SQLite) are followed to it: their data may
// hold whole files of other kinds.
#include "search/ContentSearch.h"

#include "filetypes/CarveEnd.h"
#include "filetypes/CarveName.h"
#include "filetypes/Catalogue.h"
#include "base/Log.h"
#include "search/Evidence.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace scan {
namespace {

using filetypes::CarveKind;
using filetypes::EndFinder;

constexpr std::uint64_t kSectorBytes = 512;
// The first bytes of a file kept for its name: EXIF data, a PDF's title,
// the first entries of a ZIP.
constexpr std::size_t kHeadBytes = 64 * 1024;
// A read further back than this is no second look at a record cut by the
// chunk before (DeepScan reads those again), but a stretch passed over
// earlier and read at the end.
constexpr std::uint64_t kRereadSectors = 128;
// A file that breaks before this many bytes held is no file.
constexpr std::uint64_t kLeastBroken = 1024;
// What the kinds need to be told apart by their first bytes.
constexpr std::size_t kHeaderBytesNeeded = 16;
// How much of a file's start is followed before it counts as one.
constexpr std::size_t kPlausibleBytes = 512;
// The most files a search keeps: one for every 64 KiB of the volume, and
// 10,000 on a smaller one (a crafted volume can begin a file in every
// cluster; the results take memory in proportion).
constexpr std::uint64_t kLeastBudget = 10000;
constexpr std::uint64_t kBudgetBytes = 64 * 1024;

// "20190704_153012" as a FILETIME (100 ns units since 1601), 0 when it is
// no time.
std::uint64_t FileTimeOf(const std::string& taken)
{
    if (taken.size() != 15)
        return 0;
    const auto number = [&taken](std::size_t at, std::size_t n) { return std::stoi(taken.substr(at, n)); };
    const int year = number(0, 4);
    const int month = number(4, 2);
    const int day = number(6, 2);
    // Days since 1970-01-01 of a civil date (the proleptic Gregorian calendar).
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long days = era * 146097LL + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    const long long seconds = days * 86400 + number(9, 2) * 3600 + number(11, 2) * 60 + number(13, 2);
    constexpr long long kUnixEpoch = 11644473600LL;  // seconds from 1601 to 1970
    return static_cast<std::uint64_t>((seconds + kUnixEpoch) * 10000000LL);
}

std::uint64_t KindLimit(CarveKind kind)
{
    constexpr std::uint64_t MiB = 1 << 20;
    switch (kind) {
    case CarveKind::kJpeg: return 128 * MiB;
    case CarveKind::kPng: return 256 * MiB;
    case CarveKind::kGif: return 64 * MiB;
    case CarveKind::kBmp: return 1024 * MiB;
    case CarveKind::kRiff: return 4096 * MiB;
    case CarveKind::kMp4: return 64 * 1024 * MiB;
    case CarveKind::kSqlite: return 16 * 1024 * MiB;
    case CarveKind::kPdf: return 1024 * MiB;
    case CarveKind::kZip: return 4096 * MiB;
    case CarveKind::kTiff: return 1024 * MiB;
    case CarveKind::kOle: return 1024 * MiB;
    case CarveKind::kMp3: return 1024 * MiB;
    case CarveKind::kRtf: return 512 * MiB;
    case CarveKind::k7z: return 64 * 1024 * MiB;
    case CarveKind::kRar: return 64 * 1024 * MiB;
    }
    return 64 * MiB;
}

// Kinds whose data cannot begin another file at a cluster start.
bool CutByNextStart(CarveKind kind)
{
    return kind == CarveKind::kJpeg || kind == CarveKind::kPng || kind == CarveKind::kGif || kind == CarveKind::kPdf ||
           kind == CarveKind::kRtf;
}

// The catalogue's category of a file's extension; for the kinds it puts in
// none (raw photos, HEIC, WebP, M4A), the category of what the kind holds.
filetypes::FileCategory CategoryOf(CarveKind kind, const std::string& extension)
{
    const filetypes::FileCategory category = filetypes::CategoryOfSuffix(extension);
    if (category != filetypes::kCategoryNone)
        return category;
    if (kind == CarveKind::kTiff || extension == "heic" || extension == "avif" || extension == "webp")
        return filetypes::kPictures;
    if (extension == "m4a")
        return filetypes::kAudio;
    return category;
}

const char* CategoryFolder(filetypes::FileCategory category)
{
    switch (category) {
    case filetypes::kPictures: return "Pictures\\";
    case filetypes::kDocuments: return "Documents\\";
    case filetypes::kVideos: return "Videos\\";
    case filetypes::kAudio: return "Audio\\";
    case filetypes::kEmails: return "Emails\\";
    default: return "Other files\\";
    }
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A FILETIME as "20190704_153012".
std::string TimeName(std::uint64_t fileTime)
{
    const long long seconds = static_cast<long long>(fileTime / 10000000) - 11644473600LL;
    const long long days = seconds / 86400;
    const long long rest = seconds % 86400;
    // The civil date of a day count since 1970 (the inverse of FileTimeOf's).
    const long long z = days + 719468;
    const long long era = z / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[80];  // (room for any year a 64-bit time gives)
    std::snprintf(text, sizeof text, "%04lld%02lld%02lld_%02lld%02lld%02lld", year, month, day, rest / 3600,
                  rest / 60 % 60, rest % 60);
    return text;
}

// The creation time of the movie header ("mvhd") in `bytes` of an MP4, as a
// FILETIME; 0 when they hold none that is plausible.
std::uint64_t MovieTime(const std::uint8_t* bytes, std::size_t n)
{
    const std::string_view view(reinterpret_cast<const char*>(bytes), n);
    for (std::size_t at = view.find("mvhd"); at != std::string_view::npos; at = view.find("mvhd", at + 4)) {
        if (at + 16 > n || bytes[at + 5] != 0 || bytes[at + 6] != 0 || bytes[at + 7] != 0)
            continue;
        std::uint64_t seconds = 0;  // since 1904
        const std::size_t width = bytes[at + 4] == 1 ? 8 : bytes[at + 4] == 0 ? 4 : 0;
        if (width == 0 || at + 8 + width > n)
            continue;
        for (std::size_t i = 0; i < width; ++i)
            seconds = seconds << 8 | bytes[at + 8 + i];
        // 1990 to 2100.
        constexpr std::uint64_t k1990 = 2713910400ULL;
        constexpr std::uint64_t k2100 = 6184540800ULL;
        if (seconds < k1990 || seconds > k2100)
            continue;
        constexpr std::uint64_t k1601To1904 = 9561628800ULL;
        return (seconds + k1601To1904) * 10000000ULL;
    }
    return 0;
}

class ContentSearch : public ChunkFinder {
public:
    ContentSearch(VolumeScanner& volume, std::uint64_t first, std::uint64_t spc, std::uint64_t end,
                  std::uint64_t startSector)
        : m_volume(volume), m_first(first), m_spc(spc), m_end(end)
    {
        m_budget = std::max(kLeastBudget, end * kSectorBytes / kBudgetBytes);
        filetypes::LoadCatalogue();
        if (volume.m_geometryValid)
            EnsureAllocation(volume);
        // What the files found so far claim, and the names a paused search
        // gave.
        const ReadResults results = std::as_const(volume).Results();
        std::size_t open = results->size();
        for (std::size_t i = 0; i < results->size(); ++i) {
            const FoundFile* f = (*results)[i];
            if (FoundByContent(*f)) {
                m_names.insert(Lower(f->m_filePath.str() + f->FullNameUtf8()));
                ++m_kept;
                // The file a pause cut: it ends where this pass begins.
                if (f->m_torn && startSector != 0 && f->extents.size() == 1 &&
                    f->extents.front().startSector < startSector &&
                    f->m_fileSize == (startSector - f->extents.front().startSector) * kSectorBytes)
                    open = i;
            }
            const std::uint8_t verdict = f->m_evidence.verdict;
            if (verdict != kVerdictPartial && verdict != kVerdictOverwritten)
                Claim(*f, m_claimed);
        }
        m_seen = results->size();
        std::sort(m_claimed.begin(), m_claimed.end());
        std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
        for (const auto& run : m_claimed) {
            if (!merged.empty() && run.first <= merged.back().second)
                merged.back().second = std::max(merged.back().second, run.second);
            else
                merged.push_back(run);
        }
        m_claimed = std::move(merged);
        if (open != results->size())
            m_reopen = open;
        m_full = m_kept >= m_budget;  // (a resumed search that had kept its most)
    }

    std::size_t Look(std::uint8_t* buffer, std::size_t bytes, std::uint64_t firstSector) override;
    // Follows the file a pause cut again from its start, reading what the
    // pass before read of it, so that it goes on with this pass.
    void Reopen();
    void Finish() override { Hand(); }
    void Pause() override;

private:
    // The sector runs of `f`'s data, as [first, end) pairs.
    void Claim(const FoundFile& f, std::vector<std::pair<std::uint64_t, std::uint64_t>>& into) const
    {
        if (f.m_isDirectory == kKindFolder)
            return;
        for (const FileExtent& e : f.extents) {
            if (e.sectorCount == 0 || e.isPersist == kExtentHole ||
                (f.m_fileSystemType == kNtfs && e.isPersist == kExtentResident))
                continue;
            into.emplace_back(e.startSector, e.startSector + e.sectorCount);
        }
    }
    // The results added since the last look (by the other finders of the
    // pass, or by this one), whose runs ahead of the pass are claimed.
    void TakeNewResults()
    {
        const ReadResults results = std::as_const(m_volume).Results();
        if (results->size() == m_seen)
            return;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
        for (; m_seen < results->size(); ++m_seen)
            Claim(*(*results)[m_seen], runs);
        for (const auto& [a, b] : runs) {
            if (b > m_done)
                m_newClaims[a] = std::max(m_newClaims[a], b);
        }
    }
    // The end of the claim `sector` lies in; 0 when it lies in none.
    std::uint64_t ClaimEnd(std::uint64_t sector) const
    {
        std::uint64_t end = 0;
        auto it = std::upper_bound(m_claimed.begin(), m_claimed.end(), std::make_pair(sector, ~std::uint64_t {0}));
        if (it != m_claimed.begin() && std::prev(it)->second > sector)
            end = std::prev(it)->second;
        auto more = m_newClaims.upper_bound(sector);
        if (more != m_newClaims.begin() && std::prev(more)->second > sector)
            end = std::max(end, std::prev(more)->second);
        return end;
    }
    bool InUse(std::uint64_t sector) const
    {
        const ClusterMap& map = m_volume.m_allocation;
        return map.Known() && map.InUse(map.ClusterOf(sector));
    }
    bool ClusterStart(std::uint64_t sector) const { return sector >= m_first && (sector - m_first) % m_spc == 0; }
    // The first cluster start after `sector`.
    std::uint64_t NextClusterStart(std::uint64_t sector) const
    {
        if (sector < m_first)
            return m_first;
        return m_first + ((sector - m_first) / m_spc + 1) * m_spc;
    }
    // Whether a file the search follows begins at `at`; `have` bytes are
    // there. Its first bytes must hold as its kind's structure wants them
    // (a "BM" or "PK" alone begins one cluster in 65,536 of any data).
    static bool Begins(const std::uint8_t* at, std::size_t have, CarveKind& kind)
    {
        if (!filetypes::CarveKindOf(at, have, kind))
            return false;
        EndFinder first(kind, ~std::uint64_t {0});
        return first.Feed(at, std::min<std::size_t>(have, kPlausibleBytes)) != EndFinder::State::kBroken;
    }
    void Start(CarveKind kind, std::uint64_t sector)
    {
        m_replaces = kNone;
        const std::uint64_t room = (m_end - sector) * kSectorBytes;
        m_carve.emplace(kind, std::min(KindLimit(kind), room));
        m_start = sector;
        m_fed = 0;
        m_movieTime = 0;
        m_movieTail.clear();
        m_head.clear();
    }
    // Feeds `n` bytes of the followed file; ends it when its end was met.
    void Feed(const std::uint8_t* bytes, std::size_t n)
    {
        if (m_head.size() < kHeadBytes)
            m_head.insert(m_head.end(), bytes, bytes + std::min(n, kHeadBytes - m_head.size()));
        m_fed += n;
        if (m_carve->Kind() == CarveKind::kMp4 && m_movieTime == 0) {
            // The movie header may lie across two pieces: the last bytes of
            // the one before are looked at with the first of this one.
            std::uint8_t seam[2 * kMovieSeam];
            const std::size_t from = std::min(n, kMovieSeam);
            std::copy(m_movieTail.begin(), m_movieTail.end(), seam);
            std::copy(bytes, bytes + from, seam + m_movieTail.size());
            m_movieTime = MovieTime(seam, m_movieTail.size() + from);
            if (m_movieTime == 0)
                m_movieTime = MovieTime(bytes, n);
            m_movieTail.insert(m_movieTail.end(), bytes + (n - from), bytes + n);
            if (m_movieTail.size() > kMovieSeam)
                m_movieTail.erase(m_movieTail.begin(), m_movieTail.end() - kMovieSeam);
        }
        if (m_carve->Feed(bytes, n) != EndFinder::State::kGoing)
            Close();
    }
    // Ends the followed file (as far as it held, when its end was not met)
    // and keeps it.
    void Close();
    // The result for the followed file, `size` bytes long.
    FoundFile Made(CarveKind kind, std::uint64_t size, bool broken);
    void Keep(FoundFile&& file);
    // Adds the files kept to the results, but those found by other means
    // too (a folder found after the data of its files names them): the
    // results lock is held.
    void Hand();

    VolumeScanner& m_volume;
    const std::uint64_t m_first;  // the sector of the first cluster
    const std::uint64_t m_spc;
    const std::uint64_t m_end;    // the sector past the volume's last
    std::vector<std::pair<std::uint64_t, std::uint64_t>> m_claimed;  // sorted, merged
    std::map<std::uint64_t, std::uint64_t> m_newClaims;
    std::size_t m_seen = 0;      // results taken into the claims
    std::uint64_t m_done = 0;    // the sectors before it were looked at
    std::unordered_set<std::string> m_names;  // the paths and names given, lower case
    // The file followed: its end finder, first sector, bytes fed, first bytes.
    std::optional<EndFinder> m_carve;
    std::uint64_t m_start = 0;
    std::uint64_t m_fed = 0;
    std::vector<std::uint8_t> m_head;
    std::uint64_t m_movieTime = 0;  // an MP4's creation time, as a FILETIME
    // The last bytes fed of an MP4 whose time is not known yet (its movie
    // header's 16 bytes may begin in them).
    static constexpr std::size_t kMovieSeam = 15;
    std::vector<std::uint8_t> m_movieTail;
    static constexpr std::size_t kNone = ~std::size_t {0};
    // The files found, added to the results when the pass ends, with the
    // index of the result each replaces (a file a pause cut), or kNone.
    std::vector<std::pair<FoundFile, std::size_t>> m_found;
    std::size_t m_replaces = kNone;  // that of the file followed
    std::size_t m_reopen = kNone;    // the result to follow again first
    std::uint64_t m_kept = 0;        // files found, in this pass and before
    std::uint64_t m_budget = 0;      // and the most that are kept
    bool m_full = false;
};

std::size_t ContentSearch::Look(std::uint8_t* buffer, std::size_t bytes, std::uint64_t firstSector)
{
    const std::uint64_t end = std::min(firstSector + bytes / kSectorBytes, m_end);
    if (firstSector + kRereadSectors < m_done) {
        // A stretch passed over before: a place of its own.
        Close();
        m_done = firstSector;
    } else if (firstSector > m_done && m_carve) {
        Close();  // what lay between was not read (the $MFT, or sectors that failed)
    }
    if (m_reopen != kNone)
        Reopen();
    TakeNewResults();
    std::uint64_t s = std::max(firstSector, m_done);
    while (s < end) {
        const std::uint8_t* at = buffer + (s - firstSector) * kSectorBytes;
        const std::size_t have = static_cast<std::size_t>((end - s) * kSectorBytes);
        CarveKind kind;
        if (m_carve) {
            // A cluster another file holds ends the followed one: its data
            // went on elsewhere, or was written over.
            if (ClusterStart(s) && s != m_start &&
                (InUse(s) || ClaimEnd(s) != 0 || (CutByNextStart(m_carve->Kind()) && Begins(at, have, kind)))) {
                Close();
                continue;
            }
            const std::uint64_t next = std::min(NextClusterStart(s), end);
            Feed(at, static_cast<std::size_t>((next - s) * kSectorBytes));
            s = next;
            continue;
        }
        if (!ClusterStart(s)) {
            s = NextClusterStart(s);
            continue;
        }
        if (const std::uint64_t claimEnd = ClaimEnd(s); claimEnd != 0) {
            s = std::max(claimEnd, s + 1);
            continue;
        }
        if (!m_full && !InUse(s) && Begins(at, have, kind)) {
            Start(kind, s);
            continue;  // fed from this cluster on
        }
        s += m_spc;
    }
    m_done = std::max(m_done, end);
    return bytes;
}

FoundFile ContentSearch::Made(CarveKind kind, std::uint64_t size, bool broken)
{
    const std::string extension = filetypes::CarveExtension(kind, m_head.data(), m_head.size());
    std::string name;
    std::uint64_t time = 0;
    if (kind == CarveKind::kJpeg || kind == CarveKind::kTiff) {
        const std::string taken = filetypes::ExifTakenTime(m_head.data(), m_head.size());
        if (!taken.empty()) {
            name = "IMG_" + taken;
            time = FileTimeOf(taken);
        }
    } else if (kind == CarveKind::kPdf) {
        name = filetypes::PdfTitle(m_head.data(), m_head.size());
    } else if (kind == CarveKind::kMp4 && m_movieTime != 0) {
        time = m_movieTime;
        name = "VID_" + TimeName(time);
    }
    if (name.empty()) {
        std::string type = filetypes::TypeName(extension);
        if (type.empty())
            type = Lower(extension) + " file";
        name = type + " at sector " + std::to_string(m_start);
    }
    FoundFile file;
    {
        const std::string folder =
            std::string(kFoundByContentDir) + CategoryFolder(CategoryOf(kind, extension));
        std::string full = name + "." + extension;
        for (int n = 2; !m_names.insert(Lower(folder + full)).second; ++n)
            full = name + "_" + std::to_string(n) + "." + extension;
        file.SetNameUtf8(full);
        file.m_filePath = folder;
    }
    file.m_latestTime = time;
    file.m_fileSize = size;
    file.extents = {FileExtent {m_start, (size + kSectorBytes - 1) / kSectorBytes, kExtentPlain}};
    file.m_isDirectory = kKindFile;
    file.m_existType = kExistLost;
    file.m_fileSystemType = m_volume.m_fileSystemType;
    file.m_torn = broken;  // kept as far as its structure held
    return file;
}

void ContentSearch::Keep(FoundFile&& file)
{
    m_found.emplace_back(std::move(file), m_replaces);
    if (m_replaces == kNone && ++m_kept >= m_budget && !m_full) {
        m_full = true;
        base::LogLess("Deep scan of %s: %llu files found by their content, the most one search keeps; the rest of "
                      "the volume is searched for folders and records only",
                      m_volume.m_devicePath.c_str(), static_cast<unsigned long long>(m_kept));
    }
    m_replaces = kNone;
}

void ContentSearch::Close()
{
    if (!m_carve)
        return;
    EndFinder carve = *m_carve;
    m_carve.reset();
    if (carve.Current() == EndFinder::State::kGoing)
        carve.Finish();
    const bool broken = carve.Current() != EndFinder::State::kEnded;
    const std::uint64_t size = carve.Size();
    if (size == 0 || (broken && size < kLeastBroken)) {
        m_replaces = kNone;  // (a file a pause cut keeps what it was)
        return;
    }
    Keep(Made(carve.Kind(), size, broken));
}

void ContentSearch::Pause()
{
    // A file still followed is kept as far as the pass read it (its
    // structure held all of that), marked as cut; a resumed pass follows it
    // on from there.
    if (m_carve && m_fed != 0) {
        const CarveKind kind = m_carve->Kind();
        m_carve.reset();
        Keep(Made(kind, m_fed, true));
    }
    m_carve.reset();
    Hand();
}

void ContentSearch::Reopen()
{
    const std::size_t index = m_reopen;
    m_reopen = kNone;
    std::uint64_t sector = 0;
    std::uint64_t bytes = 0;
    {
        const ReadResults results = std::as_const(m_volume).Results();
        const FoundFile& file = *(*results)[index];
        sector = file.extents.front().startSector;
        bytes = file.m_fileSize;
        // Named again when it ends.
        m_names.erase(Lower(file.m_filePath.str() + file.FullNameUtf8()));
    }
    CarveKind kind;
    std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(bytes, 1 << 20));
    if (buffer.size() < kHeaderBytesNeeded || !m_volume.TakeSideRead(bytes) ||
        m_volume.ReadSectors(sector, kSectorBytes, buffer.data()) != kSectorBytes ||
        !filetypes::CarveKindOf(buffer.data(), kSectorBytes, kind))
        return;
    Start(kind, sector);
    m_replaces = index;
    for (std::uint64_t done = 0; done < bytes && m_carve;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), bytes - done));
        if (m_volume.ReadSectors(sector + done / kSectorBytes, n, buffer.data()) != n) {
            Close();  // it cannot be read again: it stays as it was kept
            return;
        }
        Feed(buffer.data(), n);
        done += n;
    }
}

void ContentSearch::Hand()
{
    Close();
    if (m_found.empty())
        return;
    // Where the data of every file found otherwise begins, with its kind: a
    // file of the same kind found there by its content is the same file
    // (cut where other data took its clusters, or whole), and the copy
    // found by its folder entry or record keeps its name. (One of another
    // kind was written there later.)
    std::unordered_set<std::string> others;
    const auto key = [](std::uint64_t sector, std::string_view suffix) {
        return std::to_string(sector) + "." + ContentKind(suffix);
    };
    for (const FoundFile* f : m_volume.m_results) {
        if (f->m_isDirectory != kKindFolder && !f->extents.empty() && !FoundByContent(*f))
            others.insert(key(f->extents.front().startSector, f->suffix()));
    }
    for (auto& [file, replaces] : m_found) {
        if (replaces != kNone && replaces < m_volume.m_results.size()) {
            FoundFile& was = *m_volume.m_results[replaces];
            // (The folder search may have put the file's own entry there.)
            if (!FoundByContent(was))
                continue;
            was.m_fileSize = file.m_fileSize;
            was.extents = file.extents;
            was.m_torn = file.m_torn;
            was.m_latestTime = file.m_latestTime;
            // (What the rest said of it may name it better: an MP4's time.)
            was.SetNameUtf8(file.FullNameUtf8());
            was.m_filePath = file.m_filePath;
            continue;
        }
        if (others.count(key(file.extents.front().startSector, file.suffix())) == 0)
            m_volume.m_results.Append(std::move(file));
    }
    m_found.clear();
}

}  // namespace

std::unique_ptr<ChunkFinder> MakeContentSearch(VolumeScanner& volume, std::uint64_t startSector)
{
    if (!volume.m_deep.searchContent)
        return nullptr;
    const std::uint64_t end = volume.ReadableSectors();
    std::uint64_t first = 0;
    std::uint64_t spc = 1;  // no usable geometry: every sector may begin a file
    if (volume.m_geometryValid && volume.m_sectorsPerCluster != 0) {
        spc = volume.m_sectorsPerCluster;
        if (volume.m_fileSystemType == kFat32)
            first = volume.m_fat32.firstDataSector;
        else if (volume.m_fileSystemType == kExfat)
            first = volume.m_exfat.clusterHeapSector;
    }
    if (first >= end)
        return nullptr;
    return std::make_unique<ContentSearch>(volume, first, spc, end, startSector);
}

}  // namespace scan
