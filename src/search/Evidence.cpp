#include "search/Evidence.h"

#include "base/Log.h"
#include "base/StopRequest.h"
#include "fat/ClusterChain.h"
#include "fat/FatScan.h"
#include "filetypes/ContentCheck.h"
#include "ntfs/NtfsScan.h"
#include "search/Scans.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace scan {
namespace {

constexpr std::uint64_t kFat32Mask = 0x0FFFFFFF;

std::uint32_t Saturated(std::uint64_t n)
{
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, std::numeric_limits<std::uint32_t>::max()));
}

void ReadAllocation(VolumeScanner& volume)
{
    volume.m_allocationRead = true;
    std::vector<std::uint8_t> bits;
    std::string why;
    const std::uint32_t spc = volume.m_sectorsPerCluster;
    if (!volume.m_geometryValid || spc == 0)
        return;
    switch (volume.m_fileSystemType) {
    case kNtfs:
        if (ReadNtfsAllocation(volume, bits, why)) {
            const std::uint64_t count = std::uint64_t {bits.size()} * 8;
            volume.m_allocation.Assign(std::move(bits), count, 0, spc);
            return;
        }
        volume.m_faults.Add("the $Bitmap, which says which clusters are in use, " + why +
                            ": deleted files are judged by their content alone");
        return;
    case kFat32: {
        // (A FAT that cannot be read is said when the volume is opened.)
        const std::uint64_t count = volume.m_fat32.clusterCount;
        if (volume.m_fat.size() < 2 || count == 0)
            return;
        bits.assign(static_cast<std::size_t>((count + 7) / 8), 0);
        const std::uint64_t known = std::min<std::uint64_t>(count, volume.m_fat.size() - 2);
        for (std::uint64_t i = 0; i < known; ++i) {
            if ((volume.m_fat[i + 2] & kFat32Mask) != 0)
                bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        }
        volume.m_allocation.Assign(std::move(bits), known, volume.m_fat32.firstDataSector, spc);
        return;
    }
    case kExfat:
        // (The walk says when the allocation bitmap cannot be read.)
        if (ReadExfatAllocation(volume, bits, why))
            volume.m_allocation.Assign(std::move(bits), volume.m_exfat.clusterCount, volume.m_exfat.clusterHeapSector,
                                       spc);
        return;
    default:
        return;
    }
}

}  // namespace

void EnsureAllocation(VolumeScanner& volume)
{
    if (!volume.m_allocationRead)
        ReadAllocation(volume);
}

namespace {

// One run of a file's clusters (16 bytes: a pass over millions of results
// holds one or more each).
struct Run {
    std::uint64_t first = 0;
    std::uint32_t length = 0;
    std::uint32_t file = 0;
    std::uint64_t End() const { return first + length; }
};

std::uint64_t ClustersFor(std::uint64_t bytes, std::uint64_t clusterBytes)
{
    return clusterBytes == 0 ? 0 : bytes / clusterBytes + (bytes % clusterBytes != 0);
}

// Calls `each(firstCluster, count)` for the runs of clusters the file's
// reader reads (in the numbering of ClusterChain for FAT32 and exFAT: the
// map's cluster + 2), and returns the EvidenceFlag bits of its bounds.
// `steps`, when given, bounds the chain steps taken over many calls: the
// chains of a sound FAT are disjoint, so their steps sum to its entries at
// most, but a crafted FAT can hand every file one endless chain. Once they
// are spent a chain is followed no further (and not called short).
template <typename Each>
std::uint8_t ForEachRun(const VolumeScanner& volume, const CBaseFileObject& file, Each&& each,
                        std::uint64_t* steps = nullptr)
{
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    if (spc == 0)
        return 0;
    std::uint8_t flags = 0;
    const std::uint64_t declared = volume.DeclaredSectors();
    const std::uint64_t device = volume.DeviceSectors();
    auto bounds = [&](std::uint64_t sector, std::uint64_t sectors) {
        if (sector + sectors > declared)
            flags |= kEvidencePastVolume;
        if (device != 0 && sector + sectors > device)
            flags |= kEvidencePastDevice;
    };
    if (file.m_fileSize == 0)
        return 0;
    if (file.extents.empty())
        return kEvidenceNoData;
    if (file.m_fileSystemType == kNtfs) {
        std::uint64_t covered = 0;
        bool resident = false;
        for (const FileExtent& e : file.extents) {
            if (e.isPersist == kExtentResident) {
                resident = true;
                continue;
            }
            covered += e.sectorCount;
            if (e.isPersist == kExtentHole || e.sectorCount == 0)
                continue;
            bounds(e.startSector, e.sectorCount);
            const std::uint64_t first = e.startSector / spc;
            each(first, (e.startSector + e.sectorCount - 1) / spc + 1 - first);
        }
        if (!resident && file.m_encoding == kStored && covered * 512 < std::min(file.m_fileSize, file.m_validSize))
            flags |= kEvidenceDataShort;
        return flags;
    }
    if (file.m_fileSystemType != kFat32 && file.m_fileSystemType != kExfat)
        return kEvidenceNoData;
    const bool fat32 = file.m_fileSystemType == kFat32;
    const ClusterChain chain = fat32 ? Fat32Chain(volume) : ExfatChain(volume);
    const std::uint64_t dataStart = fat32 ? volume.m_fat32.firstDataSector : volume.m_exfat.clusterHeapSector;
    const FileExtent& e = file.extents.front();
    if (e.startSector < dataStart)
        return kEvidenceNoData;
    const std::uint64_t first = (e.startSector - dataStart) / spc + 2;
    const std::uint64_t need = ClustersFor(file.m_fileSize, spc * 512);
    auto run = [&](std::uint64_t c, std::uint64_t n) {
        bounds(dataStart + (c - 2) * spc, n * spc);
        each(c, n);
    };
    // As the readers take it: a file whose first FAT entry is free or ends
    // the chain (a deleted file, whose chain is gone), and an exFAT file
    // that says so, lie in consecutive clusters, as does a file found in an
    // old folder, whose chain this FAT does not hold; otherwise the chain
    // is followed.
    const bool chained = (fat32 || e.isPersist == kExtentChained) && file.m_existType != kExistLost &&
                         first <= 0xFFFFFFFF &&
                         chain.Next(static_cast<std::uint32_t>(first)) != 0;
    if (!chained || !chain.Valid(first)) {
        run(first, need);
        return flags;
    }
    std::uint64_t runStart = first, runLength = 1, taken = 1;
    bool spent = false;
    for (std::uint32_t c = static_cast<std::uint32_t>(first); taken < need;) {
        if (steps != nullptr) {
            if (*steps == 0) {
                spent = true;
                break;
            }
            --*steps;
        }
        const std::uint32_t next = chain.Next(c);
        if (next == 0)
            break;
        if (next == runStart + runLength) {
            ++runLength;
        } else {
            run(runStart, runLength);
            runStart = next;
            runLength = 1;
        }
        c = next;
        ++taken;
    }
    run(runStart, runLength);
    if (taken < need && !spent)
        flags |= kEvidenceDataShort;
    return flags;
}

bool Live(const CBaseFileObject& f)
{
    return f.m_existType == kExistInUse;
}

bool SameFile(const CBaseFileObject& a, const CBaseFileObject& b)
{
    return a.m_fileSize == b.m_fileSize && a.extents == b.extents && a.FullNameView() == b.FullNameView();
}

// Notes that `hurt` shares `clusters` clusters with `other` (its index).
void NoteShared(CBaseFileObject& hurt, const CBaseFileObject& other, std::size_t otherIndex, std::uint64_t clusters,
                bool count)
{
    FileEvidence& e = hurt.m_evidence;
    const std::uint8_t kind = Live(other)                                         ? kConflictLive
                              : other.m_latestTime > hurt.m_latestTime ? kConflictNewer
                                                                               : kConflictOther;
    if (count)
        e.shared = Saturated(std::uint64_t {e.shared} + clusters);
    // The one named is the strongest reason: a live file, then a newer one.
    if (e.conflictKind == kConflictNone || kind < e.conflictKind) {
        e.conflictKind = kind;
        e.conflictWith = Saturated(std::uint64_t {otherIndex} + 1);
    }
}

// Two found files hold the same `clusters` clusters: which of them lost
// its bytes to the other.
void Overlap(ResultList& results, std::size_t a, std::size_t b, std::uint64_t clusters, bool allocationKnown)
{
    CBaseFileObject& x = *results[a];
    CBaseFileObject& y = *results[b];
    if (SameFile(x, y)) {
        // One file found twice (a record and an older copy of it).
        if (Live(x) != Live(y))
            (Live(x) ? y : x).m_evidence.flags |= kEvidenceSameAsLive;
        return;
    }
    if (Live(x) && Live(y)) {  // cross-linked
        NoteShared(x, y, b, clusters, true);
        NoteShared(y, x, a, clusters, true);
        return;
    }
    if (Live(x) || Live(y)) {
        // The live file's clusters are counted as taken already, when the
        // allocation is known.
        CBaseFileObject& lost = Live(x) ? y : x;
        NoteShared(lost, Live(x) ? x : y, Live(x) ? a : b, clusters, !allocationKnown);
        return;
    }
    // Two deleted or lost files: the one written later overwrote the other.
    if (x.m_latestTime != y.m_latestTime) {
        const bool xNewer = x.m_latestTime > y.m_latestTime;
        NoteShared(xNewer ? y : x, xNewer ? x : y, xNewer ? a : b, clusters, true);
        return;
    }
    NoteShared(x, y, b, clusters, true);
    NoteShared(y, x, a, clusters, true);
}

// Finds the clusters found files share: the runs in order of their first
// cluster, each compared with those still open when it begins.
void FindOverlaps(ResultList& results, std::vector<Run>& runs, bool allocationKnown)
{
    std::sort(runs.begin(), runs.end(), [](const Run& l, const Run& r) { return l.first < r.first; });
    constexpr std::size_t kMostOpen = 64;
    std::vector<Run> open;
    for (const Run& run : runs) {
        open.erase(std::remove_if(open.begin(), open.end(), [&](const Run& o) { return o.End() <= run.first; }),
                   open.end());
        for (const Run& o : open) {
            if (o.file != run.file)
                Overlap(results, o.file, run.file, std::min(o.End(), run.End()) - run.first, allocationKnown);
        }
        // A crafted volume may stack runs without end: keep those that
        // reach furthest.
        if (open.size() == kMostOpen) {
            const auto shortest = std::min_element(open.begin(), open.end(),
                                                   [](const Run& l, const Run& r) { return l.End() < r.End(); });
            if (shortest->End() >= run.End())
                continue;
            open.erase(shortest);
        }
        open.push_back(run);
    }
}

}  // namespace

std::uint64_t ClustersOf(const VolumeScanner& volume, const CBaseFileObject& file)
{
    // A FAT32 or exFAT file takes the clusters its size needs (its chain
    // is not walked again for this).
    if (file.m_fileSystemType == kFat32 || file.m_fileSystemType == kExfat)
        return file.extents.empty() ? 0 : ClustersFor(file.m_fileSize, std::uint64_t {volume.m_sectorsPerCluster} * 512);
    std::uint64_t clusters = 0;
    ForEachRun(volume, file, [&](std::uint64_t, std::uint64_t n) { clusters += n; });
    return clusters;
}

void AssessResults(VolumeScanner& volume)
{
    const auto start = std::chrono::steady_clock::now();
    EnsureAllocation(volume);
    const ClusterMap& map = volume.m_allocation;
    const bool known = map.Known();
    // FAT32 and exFAT number their clusters from 2.
    const std::uint64_t base = volume.m_fileSystemType == kNtfs ? 0 : 2;
    std::lock_guard<std::mutex> lock(volume.m_lock);
    ResultList& results = volume.m_results;
    std::vector<Run> runs;
    runs.reserve(results.size());
    std::vector<std::uint32_t> clusters(results.size(), 0);  // each file's, saturated
    // The work the pass may do: chain steps and 64-cluster words of the
    // map counted. Sound volumes need far less (their files' clusters do
    // not overlap); a crafted one cannot make the pass run for hours.
    // (Each chain step may add a run of 16 bytes: the bound keeps those
    // within a few times the FAT's own size.)
    std::uint64_t steps =
        std::uint64_t {volume.FatEntries()} + 2 * std::uint64_t {results.size()} + map.Count() / 32 + (1 << 20);
    for (std::size_t i = 0; i < results.size(); ++i) {
        CBaseFileObject& f = *results[i];
        FileEvidence& e = f.m_evidence;
        const std::uint8_t content = e.content;
        const std::uint8_t unreadable = e.flags & kEvidenceUnreadable;
        e = FileEvidence {};
        e.content = content;
        e.flags = kEvidenceAssessed | unreadable | (known ? 0 : kEvidenceNoAllocation);
        if (f.m_isDirectory == kKindFolder)
            continue;
        std::uint64_t taken = 0;
        e.flags |= ForEachRun(volume, f, [&](std::uint64_t first, std::uint64_t n) {
            clusters[i] = Saturated(std::uint64_t {clusters[i]} + n);
            if (first < base)
                return;
            const std::uint64_t inside = first - base < map.Count() ? std::min(n, map.Count() - (first - base)) : 0;
            const std::uint64_t cost = inside / 64 + 1;
            std::uint64_t inUse = 0;
            if (known && steps >= cost) {
                steps -= cost;
                inUse = map.CountInUse(first - base, n);
                taken += Live(f) ? n - inUse : inUse;
            } else if (known) {
                e.flags |= kEvidenceNoAllocation;  // not counted: nothing is said of these
            }
            if (i > std::numeric_limits<std::uint32_t>::max())
                return;
            for (std::uint64_t at = 0; at < n; at += std::numeric_limits<std::uint32_t>::max())
                runs.push_back({first + at, Saturated(n - at), static_cast<std::uint32_t>(i)});
        }, &steps);
        e.taken = Saturated(taken);
    }
    if (steps == 0)
        base::LogLess("Evidence: the files' clusters overlap beyond what a sound volume holds; some were not "
                      "followed or counted");
    FindOverlaps(results, runs, known);
    std::size_t counts[kVerdictOverwritten + 1] = {};
    for (std::size_t i = 0; i < results.size(); ++i) {
        CBaseFileObject& f = *results[i];
        f.m_evidence.shared = Saturated(std::min<std::uint64_t>(f.m_evidence.shared, clusters[i]));
        f.m_evidence.verdict = JudgeEvidence(f, clusters[i]);
        if (f.m_isDirectory != kKindFolder)
            ++counts[f.m_evidence.verdict];
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    base::LogLess("Evidence of %zu results in %lld ms: %zu intact, %zu likely, %zu partial, %zu overwritten, "
                  "%zu unknown",
                  results.size(), static_cast<long long>(ms.count()), counts[kVerdictIntact], counts[kVerdictLikely],
                  counts[kVerdictPartial], counts[kVerdictOverwritten], counts[kVerdictUnknown]);
}

void CheckResultContent(VolumeScanner& volume, std::size_t index)
{
    if (index >= volume.m_results.size())
        return;
    CBaseFileObject& f = *volume.m_results[index];
    FileEvidence& e = f.m_evidence;
    if (f.m_isDirectory == kKindFolder || e.content != kContentNotChecked)
        return;
    const filetypes::ContentKind kind = filetypes::CheckableKind(f.suffix());
    if (kind == filetypes::ContentKind::kNone || f.m_encoding == kEncrypted) {
        e.content = kContentNotCheckable;
    } else {
        const auto reader = OpenFileContent(volume, f);
        const filetypes::CheckResult result = filetypes::CheckContent(
            kind, f.m_fileSize,
            [&reader](std::uint64_t offset, std::uint8_t* out, std::size_t length) {
                return reader->Read(offset, out, length);
            });
        if (reader->Report().unreadableSectors != 0)
            e.flags |= kEvidenceUnreadable;
        if (reader->Report().faults & kFaultMediumGone)
            return;  // nothing can be said
        e.content = static_cast<std::uint8_t>(result);
    }
    if (e.flags & kEvidenceAssessed)
        e.verdict = JudgeEvidence(f, ClustersOf(volume, f));
}

std::size_t CheckContents(VolumeScanner& volume, std::atomic<std::uint64_t>* done)
{
    std::size_t checked = 0;
    const std::size_t count = volume.ResultCount();
    for (std::size_t i = 0; i < count; ++i) {
        if (base::StopRequested())
            break;
        {
            std::lock_guard<std::mutex> lock(volume.m_lock);
            const std::uint8_t before = volume.m_results[i]->m_evidence.content;
            CheckResultContent(volume, i);
            checked += before == kContentNotChecked && volume.m_results[i]->m_evidence.content != kContentNotChecked &&
                       volume.m_results[i]->m_evidence.content != kContentNotCheckable;
        }
        if (done)
            done->store(i + 1);
    }
    return checked;
}

}  // namespace scan
