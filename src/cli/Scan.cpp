#include "cli/Commands.h"
#include "cli/Results.h"

#include "bridge/ScanWork.h"
#include "host/StopRequest.h"
#include "platform/Process.h"
#include "scan/VolumeScanner.h"
#include "store/ResultStore.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace cli {
namespace {

extern "C" void RequestKeepingStop()
{
    host::StopRequest.store(host::kStopKeep);
}

// A line on stderr, redrawn a few times a second while a scan runs: the
// sectors done of the total and the rate.
class Progress {
public:
    Progress(scan::VolumeScanner& volume, bool enabled) : m_volume(volume), m_enabled(enabled) {}
    ~Progress() { Stop(); }

    void Start(const char* phase, std::uint64_t total)
    {
        Stop();
        if (!m_enabled)
            return;
        m_phase = phase;
        m_total = total;
        m_running = true;
        m_thread = std::thread([this] { Run(); });
    }

    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_running = false;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
            std::fprintf(stderr, "\r\033[K");
        }
    }

private:
    void Run()
    {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_running) {
            m_wake.wait_for(lock, std::chrono::milliseconds(250));
            const std::uint64_t done = m_volume.m_progress.load();
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double rate = seconds > 0 ? static_cast<double>(done) * 512 / seconds / (1 << 20) : 0;
            std::fprintf(stderr, "\r\033[K%s: %" PRIu64 " / %" PRIu64 " sectors (%.0f%%), %.1f MiB/s, %zu found",
                         m_phase, done, m_total, m_total ? 100.0 * static_cast<double>(done) / static_cast<double>(m_total) : 100.0,
                         rate, m_volume.ResultCount());
            std::fflush(stderr);
        }
    }

    scan::VolumeScanner& m_volume;
    bool m_enabled;
    const char* m_phase = "";
    std::uint64_t m_total = 0;
    bool m_running = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
};

std::uint64_t MftSectors(const scan::VolumeScanner& volume)
{
    std::uint64_t total = 0;
    for (const scan::DataRun& run : volume.MftRunsInUse())
        total += std::uint64_t {volume.m_sectorsPerCluster} * run.length;
    return total;
}

ResultFormat FormatOf(bool json, bool bodyfile)
{
    return json ? ResultFormat::Json : bodyfile ? ResultFormat::Bodyfile : ResultFormat::Table;
}

bool OpenResultStore()
{
    if (store::OpenStore())
        return true;
    std::fprintf(stderr, "quenlar: cannot open the result store '%s' in the current folder\n", store::kDatabaseFile);
    return false;
}

// Says how a deep scan ended; returns the exit code.
int ReportDeepEnd(scan::VolumeScanner& volume, int end)
{
    switch (end) {
    case scan::kDeepPaused:
        std::fprintf(stderr,
                     "quenlar: deep scan paused at sector %" PRIu64 " of %" PRIu64
                     "; %zu results saved to %s. 'quenlar resume' goes on from there.\n",
                     volume.m_deepNextPosition, volume.m_volumeSize, volume.ResultCount(), store::kDatabaseFile);
        return kExitOk;
    case scan::kDeepMediumGone:
        std::fprintf(stderr,
                     "quenlar: the medium went away at sector %" PRIu64
                     "; %zu results saved to %s. 'quenlar resume' goes on once it is back.\n",
                     volume.m_deepNextPosition, volume.ResultCount(), store::kDatabaseFile);
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
    if (!OpenVolume(path, volume))
        return kExitFailed;
    if (volume.m_fileSystemType != scan::kNtfs) {
        std::fprintf(stderr, "quenlar: scanning %s volumes is not part of this build yet; only NTFS is scanned\n",
                     scan::FileSystemName(volume.m_fileSystemType));
        return kExitFailed;
    }
    if (options.deep && !OpenResultStore())
        return kExitFailed;
    volume.m_stopAtSector = options.stopAtSector;
    host::StopRequest = 0;
    platform::OnInterrupt(RequestKeepingStop);

    Progress progress(volume, platform::StderrIsTerminal());
    progress.Start("normal scan", volume.m_fileSystemType == scan::kNtfs ? MftSectors(volume) : 0);
    volume.NormalScan();
    progress.Stop();

    int exitCode = kExitOk;
    if (host::StopRequested()) {
        std::fprintf(stderr, "quenlar: normal scan stopped; the list is incomplete and nothing was saved\n");
        exitCode = kExitInterrupted;
    } else if (options.deep) {
        progress.Start("deep scan", volume.m_volumeSize);
        const int end = bridge::RunDeepScan(volume, 0);
        progress.Stop();
        exitCode = ReportDeepEnd(volume, end);
    }
    PrintResults(volume, FormatOf(options.json, options.bodyfile), stdout);
    return exitCode;
}

int RunResume(const ResumeOptions& options)
{
    if (!OpenResultStore())
        return kExitFailed;
    host::StopRequest = 0;
    platform::OnInterrupt(RequestKeepingStop);
    scan::VolumeScanner volume;
    volume.m_stopAtSector = options.stopAtSector;
    Progress progress(volume, platform::StderrIsTerminal());
    progress.Start("resumed scan", 0);
    const bridge::ResumeOutcome outcome = bridge::ResumeSavedScan(volume);
    progress.Stop();

    switch (outcome.status) {
    case bridge::ResumeOutcome::kNothingSaved:
        std::fprintf(stderr, "quenlar: no saved scan in %s\n", store::kDatabaseFile);
        return kExitFailed;
    case bridge::ResumeOutcome::kCannotOpen:
        OpenVolume(outcome.record.path, volume);  // says why
        return kExitFailed;
    case bridge::ResumeOutcome::kLoadFailed:
        std::fprintf(stderr, "quenlar: the saved results in %s cannot be read\n", store::kDatabaseFile);
        return kExitFailed;
    case bridge::ResumeOutcome::kResumed:
        break;
    }
    int exitCode = kExitOk;
    if (outcome.action == 2)
        exitCode = ReportDeepEnd(volume, outcome.deepEnd);
    PrintResults(volume, FormatOf(options.json, options.bodyfile), stdout);
    return exitCode;
}

}  // namespace cli
