#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/Terminal.h"

#include "base/StopRequest.h"
#include "jobs/ScanJobs.h"
#include "platform/Files.h"
#include "platform/OutputFile.h"
#include "platform/Process.h"
#include "recover/RecoveryWriter.h"
#include "store/ResultStore.h"
#include "volume/VolumeScanner.h"

#include <cinttypes>
#include <cstdio>

namespace cli {
namespace {

extern "C" void RequestStop()
{
    base::StopRequest.store(base::kStopDiscard);
}

// "docs/old" or "docs\\old" as the result tree writes a folder: the path
// with backslashes, none at either end ("" for the whole tree).
std::string TreeFolder(std::string path)
{
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    while (!path.empty() && path.front() == '\\')
        path.erase(0, 1);
    return path;
}

}  // namespace

int RunRecover(const RecoverOptions& options)
{
    if (options.destination.empty()) {
        std::fprintf(stderr, "quenlar: no destination folder given (--dest)\n");
        return kExitUsage;
    }
    if (options.indices.empty() && options.folders.empty() && !options.all) {
        std::fprintf(stderr, "quenlar: nothing selected: give --index, --folder or --all\n");
        return kExitUsage;
    }
    const std::string destination = platform::AbsolutePath(options.destination);
    scan::VolumeScanner volume;
    DropSavedScanAtEnd dropAtEnd;
    if (!LoadResults(options.source, volume, dropAtEnd))
        return kExitFailed;
    const std::uint64_t unreadable = volume.UnreadableSectors();
    recover::Selection selection;
    selection.indices = options.indices;
    for (const std::string& f : options.folders)
        selection.folders.push_back(TreeFolder(f));
    if (options.all)
        selection.folders.emplace_back();
    // Writing onto the volume being read would overwrite the very clusters
    // that deleted files are read back from; a destination that cannot take
    // the files refuses them all before anything is made.
    const std::string problem = jobs::DestinationProblem(
        volume, destination, [&](std::uint64_t unit) { return recover::SelectionBytes(volume, selection, unit); });
    if (!problem.empty()) {
        std::fprintf(stderr, "quenlar: %s\n", problem.c_str());
        return kExitFailed;
    }
    if (!recover::EnsureParentFolders(destination + "/.")) {
        std::fprintf(stderr, "quenlar: cannot make the destination folder '%s'\n", destination.c_str());
        return kExitFailed;
    }

    base::StopRequest = 0;
    platform::OnInterrupt(RequestStop);
    Progress progress(platform::StderrIsTerminal());
    recover::RecoverProgress recovering;
    progress.Start([&recovering](double) {
        return "recovering: " + std::to_string(recovering.done.load()) + " / " +
               std::to_string(recovering.total.load()) + " files";
    });
    const recover::RecoverSummary summary = recover::RecoverFiles(volume, selection, destination, &recovering);
    progress.Stop();
    // Every file that is not whole, by name and with its reasons.
    for (const recover::FileReport& r : summary.problems) {
        const std::string why = recover::DescribeProblems(r.problems, r.unreadableSectors);
        if (r.outcome == recover::Outcome::kDoubtful)
            std::fprintf(stderr, "quenlar: doubtful: %s -> %s: %s\n", Printable(r.source).c_str(),
                         Printable(r.output).c_str(), Printable(r.why).c_str());
        else if (r.outcome == recover::Outcome::kPartial)
            std::fprintf(stderr, "quenlar: partial: %s -> %s (%" PRIu64 " bytes): %s\n", Printable(r.source).c_str(),
                         Printable(r.output).c_str(), r.bytes, why.c_str());
        else
            std::fprintf(stderr, "quenlar: failed: %s: %s\n", Printable(r.source).c_str(), why.c_str());
    }
    for (const auto& [source, output] : summary.shortened)
        std::fprintf(stderr, "quenlar: name shortened: %s -> %s\n", Printable(source).c_str(),
                     Printable(output).c_str());
    std::printf("%zu of %zu files written whole, %zu doubtful, %zu partial, %zu failed, %" PRIu64 " bytes\n",
                summary.succeeded, summary.selected, summary.doubtful, summary.partial, summary.failed, summary.bytes);
    if (summary.doubtful != 0)
        std::printf("doubtful: %zu written whole from clusters that now hold other data — probably not the "
                    "originals\n", summary.doubtful);
    if (summary.partial + summary.failed != 0)
        std::printf("not whole: %s\n", recover::CountProblems(summary).c_str());
    if (!summary.receipt.empty())
        std::printf("receipt: %s\n", summary.receipt.c_str());
    else
        std::fprintf(stderr, "quenlar: the receipt could not be written in the destination\n");
    if (!summary.shortened.empty())
        std::printf("names shortened: %zu (too long for the destination)\n", summary.shortened.size());
    if (summary.deviceGone) {
        std::fprintf(stderr, "quenlar: the device went away during recovery\n");
        return kExitFailed;
    }
    if (summary.stopped)
        return kExitInterrupted;
    std::fflush(stdout);
    const int exitCode = summary.failed != 0 || summary.partial != 0 ? kExitFailed
                         : summary.doubtful != 0                     ? kExitDoubtful
                                                                     : kExitOk;
    return ReportScanFaults(volume, unreadable, exitCode);
}

}  // namespace cli
