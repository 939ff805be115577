// The deep scan: one pass over every sector of the volume outside the $MFT,
// which the normal scan has read, 1 MiB at a time, handing each chunk to the
// finders: the old folders of a FAT32 or exFAT volume, files by their
// content, then NTFS file records of this or an earlier file system.
// Stretches that fail are passed over with growing skips and read once more
// at the end; a stop keeps where the pass is, so that it can go on later.
#include "search/Scans.h"

#include "base/Log.h"
#include "base/StopRequest.h"
#include "ntfs/NtfsScan.h"
#include "platform/Time.h"
#include "search/ContentSearch.h"
#include "search/Finder.h"
#include "search/FolderSearch.h"
#include "volume/ChunkRead.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace scan {
namespace {

constexpr std::size_t kSectorBytes = 512;

using Finders = std::vector<std::unique_ptr<ChunkFinder>>;

// The records of NTFS file systems, this one's or an earlier one's, outside
// the $MFT.
class StrayRecords : public ChunkFinder {
public:
    explicit StrayRecords(VolumeScanner& volume) : m_volume(volume) {}
    std::size_t Look(std::uint8_t* buffer, std::size_t bytes, std::uint64_t firstSector) override
    {
        return FindStrayRecords(m_volume, m_volume.m_deep.paths, buffer, bytes, firstSector);
    }
    void Finish() override
    {
        ResolveStrayPaths(m_volume, m_volume.m_deep.paths);
        m_volume.m_deep.paths.Clear();
    }

private:
    VolumeScanner& m_volume;
};

// Hands `bytes` read from `firstSector` to every finder, in order; returns
// how many of them all are done with.
std::size_t LookThrough(const Finders& finders, std::uint8_t* buffer, std::size_t bytes, std::uint64_t firstSector)
{
    std::size_t done = bytes;
    for (const auto& finder : finders)
        done = std::min(done, finder->Look(buffer, bytes, firstSector));
    return done;
}

// The parts of [first, first + count) outside the $MFT runs, as (first,
// count) pairs.
std::vector<std::pair<std::uint64_t, std::uint64_t>> OutsideMft(const std::vector<DataRun>& mftRuns,
                                                                std::uint64_t spc, std::uint64_t first,
                                                                std::uint64_t count)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> parts {{first, count}};
    for (const DataRun& run : mftRuns) {
        if (run.sparse || run.lcn <= 0 || run.length == 0)
            continue;
        const std::uint64_t runStart = spc * static_cast<std::uint64_t>(run.lcn);
        const std::uint64_t runEnd = runStart + spc * run.length;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> left;
        for (const auto& [a, n] : parts) {
            const std::uint64_t b = a + n;
            if (runEnd <= a || runStart >= b) {
                left.emplace_back(a, n);
                continue;
            }
            if (runStart > a)
                left.emplace_back(a, runStart - a);
            if (runEnd < b)
                left.emplace_back(runEnd, b - runEnd);
        }
        parts = std::move(left);
    }
    return parts;
}

// Reads the stretches passed over once more, chunk by chunk; a chunk whose
// read fails again is left (it stays counted as unreadable).
void RetryGaps(VolumeScanner& volume, const Finders& finders,
               std::vector<std::pair<std::uint64_t, std::uint64_t>> gaps, std::uint8_t* buffer)
{
    // Stretches that follow one another are read as one, so that a record
    // across their border is read whole.
    std::sort(gaps.begin(), gaps.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& gap : gaps) {
        if (!merged.empty() && merged.back().first + merged.back().second >= gap.first)
            merged.back().second = std::max(merged.back().first + merged.back().second, gap.first + gap.second) -
                                   merged.back().first;
        else
            merged.push_back(gap);
    }
    for (const auto& [first, count] : merged) {
        for (std::uint64_t done = 0; done < count;) {
            if (base::StopRequested() || !volume.DeviceOpen())
                return;
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkSectors, count - done));
            const std::size_t got = volume.ReadSectors(first + done, std::size_t {n} * kSectorBytes, buffer);
            if (got == 0) {
                base::LogLess("Deep scan of %s: sectors %llu-%llu still unreadable", volume.m_devicePath.c_str(),
                              static_cast<unsigned long long>(first + done),
                              static_cast<unsigned long long>(first + done + n - 1));
                done += n;
                continue;
            }
            const std::size_t parsed = LookThrough(finders, buffer, got, first + done);
            // A record that runs past this read is read whole with the next,
            // within the stretch.
            const std::size_t used = parsed != 0 && parsed < got && done + got / kSectorBytes < count ? parsed : got;
            volume.m_unreadableSectors -= std::min<std::uint64_t>(volume.m_unreadableSectors, used / kSectorBytes);
            done += used / kSectorBytes;
        }
    }
}

}  // namespace

int DeepPass(VolumeScanner& volume, std::uint64_t startSector)
{
    volume.m_deep.startTime = platform::NowLocalAsFileTime();
    volume.m_scanMode = kScanDeepRunning;
    std::vector<std::uint8_t> buffer = ChunkBuffer();
    if (buffer.empty())
        return kDeepNoMemory;
    // A new deep scan starts with no folders; a resumed one keeps those that
    // were restored with its results.
    if (startSector == 0) {
        volume.m_deep.paths.Clear();
        volume.m_deep.folderClusters.Clear();
    }
    {
        std::lock_guard<std::mutex> lock(volume.m_lock);
        volume.m_deep.foundByContent.clear();
        for (std::size_t i = 0; i < volume.m_results.size(); ++i) {
            const FoundFile& f = *volume.m_results[i];
            if (FoundByContent(f) && f.extents.size() == 1)
                volume.m_deep.foundByContent[{f.extents.front().startSector, ContentKind(f.suffix())}] = i;
        }
    }
    // The folder and content searches read what they look at in the
    // volume's own bytes, so they go before the record finder, which mends
    // records in place.
    Finders finders;
    if (auto folders = MakeFolderSearch(volume))
        finders.push_back(std::move(folders));
    if (auto content = MakeContentSearch(volume, startSector))
        finders.push_back(std::move(content));
    finders.push_back(std::make_unique<StrayRecords>(volume));

    const std::uint64_t spc = volume.m_sectorsPerCluster;
    const std::uint64_t readable = volume.ReadableSectors();
    if (readable < volume.m_volumeSize)
        base::LogLess("Deep scan of %s: the device holds %llu of the volume's %llu sectors",
                      volume.m_devicePath.c_str(), static_cast<unsigned long long>(readable),
                      static_cast<unsigned long long>(volume.m_volumeSize));
    const std::vector<DataRun> mftRuns = volume.MftRunsInUse();
    std::uint64_t position = startSector;
    int end = kDeepFinished;
    FailureRun failures;
    // Stretches passed over while reads kept failing, tried once more at the
    // end: a disk that fails for a while may read again later.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> gaps;
    while (position < readable) {
        // Leave out the $MFT, which the normal scan has read.
        std::uint64_t limit = kChunkSectors;
        for (std::size_t i = 0; i < mftRuns.size(); ++i) {
            const DataRun& run = mftRuns[i];
            if (run.lcn <= 0 || run.length == 0)
                continue;
            const std::uint64_t runStart = spc * static_cast<std::uint64_t>(run.lcn);
            const std::uint64_t runEnd = runStart + spc * run.length;
            if (runStart > position) {
                limit = std::min(limit, runStart - position);
            } else if (position < runEnd) {
                position = runEnd;
                limit = kChunkSectors;
                i = static_cast<std::size_t>(-1);  // walk the runs again from the first
            }
        }
        if (position >= readable)
            break;
        // Reads end where no finder has something cut in two.
        const std::uint64_t mftLimit = limit;
        for (const auto& finder : finders)
            limit = finder->ChunkSectors(position, limit);
        if (position >= volume.m_deep.stopAtSector)
            base::StopRequest = base::kStopKeep;
        if (base::StopRequested()) {
            end = base::StopKeepsResults() ? kDeepPaused : kDeepStopped;
            break;
        }
        const auto n = static_cast<std::uint32_t>(std::min(limit, readable - position));
        const std::size_t got = ReadChunk(volume, position, n, buffer.data(), failures);
        if (!volume.DeviceOpen()) {
            base::LogLess("Deep scan of %s: the medium is gone at sector %llu", volume.m_devicePath.c_str(),
                          static_cast<unsigned long long>(position));
            end = kDeepMediumGone;
            break;
        }
        if (got == 0) {
            base::LogLess("Deep scan of %s: sectors %llu-%llu unreadable", volume.m_devicePath.c_str(),
                          static_cast<unsigned long long>(position),
                          static_cast<unsigned long long>(position + n - 1));
            if (failures.chunks >= kFailingMediumChunks) {
                // The medium is failing: stop, keeping what was found, so the
                // scan can go on from where the failures began another time.
                base::LogLess("Deep scan of %s: every read from sector %llu on failed; the medium is failing",
                              volume.m_devicePath.c_str(), static_cast<unsigned long long>(failures.firstSector));
                position = failures.firstSector;
                end = kDeepFailingMedium;
                break;
            }
            // The chunk is tried again at the end with the stretches passed
            // over (its sectors stay counted as unreadable until then).
            gaps.emplace_back(position, n);
            // Skip ahead, twice as far after each failure in a row.
            const std::uint64_t after = position + n;
            const std::uint64_t skip = std::min<std::uint64_t>(
                std::uint64_t {kChunkSectors} << (failures.chunks - 1), readable - std::min(after, readable));
            if (skip != 0) {
                base::LogLess("Deep scan of %s: reads keep failing; sectors %llu-%llu passed over for now",
                              volume.m_devicePath.c_str(), static_cast<unsigned long long>(after),
                              static_cast<unsigned long long>(after + skip - 1));
                for (const auto& gap : OutsideMft(mftRuns, spc, after, skip)) {
                    gaps.push_back(gap);
                    volume.m_unreadableSectors += gap.second;
                }
            }
            position = after + skip;
            volume.m_progress = position;
            continue;
        }
        const std::uint64_t firstSector = position;
        const bool deviceEnds = got != 0 && got < std::size_t {n} * kSectorBytes;
        position += deviceEnds ? got / kSectorBytes : n;
        // Only the `got` bytes just read are parsed, so the buffer needs no
        // clearing between chunks (unreadable sectors are zeroed by ReadChunk).
        const std::size_t parsed = LookThrough(finders, buffer.data(), got, firstSector);
        if (parsed < got && base::StopRequested()) {
            // Stopped inside the chunk: the records after `parsed` were not
            // read, and a resumed scan must start with them.
            position = firstSector + parsed / kSectorBytes;
            volume.m_progress = position;
            continue;
        }
        // A record that runs past the chunk is read again with the next
        // one, unless the chunk ends at the $MFT or the device: a record
        // running into those is no stray record.
        const bool endsAtMft = n == mftLimit && mftLimit < kChunkSectors;
        if (parsed < got && parsed != 0 && !endsAtMft && firstSector + n < readable && !deviceEnds)
            position = firstSector + parsed / kSectorBytes;
        volume.m_progress = position;
        if (deviceEnds)
            break;
    }
    volume.m_deep.nextPosition = position;
    {
        std::lock_guard<std::mutex> lock(volume.m_lock);
        volume.m_deep.foundByContent.clear();
    }
    if (end == kDeepFinished && !base::StopRequested())
        RetryGaps(volume, finders, gaps, buffer.data());
    if (end == kDeepFinished && base::StopRequested())
        end = base::StopKeepsResults() ? kDeepPaused : kDeepStopped;
    // A paused scan, or one whose medium went away, keeps its waiting paths
    // for the run that resumes it.
    if (end == kDeepFinished) {
        std::lock_guard<std::mutex> lock(volume.m_lock);
        for (const auto& finder : finders)
            finder->Finish();
        volume.m_scanMode = kScanDeepFinished;
        volume.m_results.Revised();
    } else {
        std::lock_guard<std::mutex> lock(volume.m_lock);
        for (const auto& finder : finders)
            finder->Pause();
        volume.m_results.Revised();
    }
    return end;
}

}  // namespace scan
