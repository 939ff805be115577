#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/Results.h"

#include "base/StopRequest.h"
#include "jobs/ScanJobs.h"
#include "platform/Process.h"
#include "search/Scans.h"
#include "store/ResultStore.h"
#include "volume/VolumeScanner.h"

#include <cinttypes>
#include <cstdio>

namespace cli {
namespace {

extern "C" void RequestKeepingStop()
{
    base::StopRequest.store(base::kStopKeep);
}

// The sectors done of the total, the rate and the files found so far.
void StartScanProgress(Progress& progress, scan::VolumeScanner& volume, const char* phase, std::uint64_t total)
{
    progress.Start([&volume, phase, total](double seconds) {
        const std::uint64_t done = volume.Progress();
        const double rate = seconds > 0 ? static_cast<double>(done) * 512 / seconds / (1 << 20) : 0;
        char text[200];
        std::snprintf(text, sizeof text, "%s: %" PRIu64 " / %" PRIu64 " sectors (%.0f%%), %.1f MiB/s, %zu found",
                      phase, done, total, total ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0,
                      rate, volume.ResultCount());
        return std::string(text);
    });
}

std::uint64_t MftSectors(const scan::VolumeScanner& volume)
{
    std::uint64_t total = 0;
    for (const scan::DataRun& run : volume.MftRunsInUse())
        total += std::uint64_t {volume.SectorsPerCluster()} * run.length;
    return total;
}

ResultFormat FormatOf(bool json, bool bodyfile)
{
    return json ? ResultFormat::Json : bodyfile ? ResultFormat::Bodyfile : ResultFormat::Table;
}

// Says how a deep scan ended; returns the exit code.
int ReportDeepEnd(scan::VolumeScanner& volume, int end)
{
    switch (end) {
    case scan::kDeepPaused:
        std::fprintf(stderr,
                     "quenlar: deep scan paused at sector %" PRIu64 " of %" PRIu64
                     "; %zu results saved to %s. 'quenlar resume' goes on from there.\n",
                     volume.Deep().nextPosition, volume.VolumeSectors(), volume.ResultCount(), store::kDatabaseFile);
        return kExitOk;
    case scan::kDeepMediumGone:
        std::fprintf(stderr,
                     "quenlar: the medium went away at sector %" PRIu64
                     "; %zu results saved to %s. 'quenlar resume' goes on once it is back.\n",
                     volume.Deep().nextPosition, volume.ResultCount(), store::kDatabaseFile);
        return kExitFailed;
    case scan::kDeepFailingMedium:
        std::fprintf(stderr,
                     "quenlar: every read failed from sector %" PRIu64
                     " on: the disk is failing. %zu results saved to %s; 'quenlar resume' tries again from there "
                     "(an image of the disk made with ddrescue is the safer way on).\n",
                     volume.Deep().nextPosition, volume.ResultCount(), store::kDatabaseFile);
        return kExitFailed;
    case scan::kDeepNoMemory:
        std::fprintf(stderr, "quenlar: not enough memory for the deep scan\n");
        return kExitFailed;
    case scan::kDeepStopped:
        std::fprintf(stderr, "quenlar: deep scan stopped\n");
        return kExitInterrupted;
    default:
        return kExitOk;
    }
}

}  // namespace

int RunScan(const ScanOptions& options)
{
    const std::string path = platform::AbsolutePath(options.volume);
    scan::VolumeScanner volume;
    if (!OpenVolume(path, volume, options.deep && !options.noContent))
        return kExitFailed;
    if (options.deep && (!OpenResultStore("quenlar scan --deep " + path) ||
                         !MayReplaceSavedScan(volume, options.discardSaved)))
        return kExitFailed;
    DropSavedScanAtEnd dropAtEnd;
    volume.Deep().stopAtSector = options.stopAtSector;
    volume.Deep().searchContent = !options.noContent;
    base::StopRequest = 0;
    platform::OnInterrupt(RequestKeepingStop);

    Progress progress(platform::StderrIsTerminal());
    StartScanProgress(progress, volume, "normal scan", MftSectors(volume));
    scan::NormalScan(volume);
    progress.Stop();

    int exitCode = kExitOk;
    if (base::StopRequested()) {
        std::fprintf(stderr, "quenlar: normal scan stopped; the list is incomplete and nothing was saved\n");
        exitCode = kExitInterrupted;
    } else if (options.deep) {
        StartScanProgress(progress, volume, "deep scan", volume.VolumeSectors());
        const int end = jobs::RunDeepScan(volume, 0);
        progress.Stop();
        exitCode = ReportDeepEnd(volume, end);
        if (jobs::LeavesNothingToResume(end))
            dropAtEnd.Arm();
    }
    if (options.check && exitCode != kExitInterrupted)
        CheckResultContents(volume);
    PrintResults(volume, FormatOf(options.json, options.bodyfile), stdout);
    std::fflush(stdout);
    return ReportScanFaults(volume, volume.UnreadableSectors(), exitCode);
}

int RunResume(const ResumeOptions& options)
{
    if (!OpenResultStore("quenlar resume"))
        return kExitFailed;
    DropSavedScanAtEnd dropAtEnd;
    base::StopRequest = 0;
    platform::OnInterrupt(RequestKeepingStop);
    scan::VolumeScanner volume;
    volume.Deep().stopAtSector = options.stopAtSector;
    volume.Deep().searchContent = !options.noContent;
    Progress progress(platform::StderrIsTerminal());
    StartScanProgress(progress, volume, "resumed scan", 0);
    const jobs::ResumeOutcome outcome = jobs::ResumeSavedScan(volume);
    progress.Stop();

    switch (outcome.status) {
    case jobs::ResumeOutcome::kNothingSaved:
        std::fprintf(stderr, "quenlar: no saved scan in %s\n", store::kDatabaseFile);
        return kExitFailed;
    case jobs::ResumeOutcome::kCannotOpen:
        OpenVolume(outcome.record.path, volume, true);  // says why
        return kExitFailed;
    case jobs::ResumeOutcome::kOtherVolume:
        CheckSavedVolume(volume, outcome.record);  // says how it differs
        return kExitFailed;
    case jobs::ResumeOutcome::kLoadFailed:
        std::fprintf(stderr, "quenlar: the saved results in %s cannot be read\n", store::kDatabaseFile);
        return kExitFailed;
    case jobs::ResumeOutcome::kResumed:
        if (outcome.unchecked)
            CheckSavedVolume(volume, outcome.record);  // says it could not be checked
        break;
    }
    int exitCode = kExitOk;
    if (outcome.action == 2) {
        exitCode = ReportDeepEnd(volume, outcome.deepEnd);
        if (jobs::LeavesNothingToResume(outcome.deepEnd))
            dropAtEnd.Arm();
    }
    if (options.check && exitCode != kExitInterrupted)
        CheckResultContents(volume);
    PrintResults(volume, FormatOf(options.json, options.bodyfile), stdout);
    std::fflush(stdout);
    return ReportScanFaults(volume, volume.UnreadableSectors(), exitCode);
}

}  // namespace cli
