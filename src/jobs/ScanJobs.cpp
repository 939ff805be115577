#include "jobs/ScanJobs.h"

#include "base/Log.h"
#include "disks/Disks.h"
#include "platform/Files.h"
#include "platform/OutputFile.h"
#include "platform/Time.h"
#include "search/Scans.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

namespace jobs {

store::ScanRecordInfo SavedScanRecord(const scan::VolumeScanner& volume, std::uint64_t nextPosition,
                                      std::uint64_t useTime)
{
    store::ScanRecordInfo record;
    record.path = volume.DevicePath();
    record.startTime = volume.Deep().startTime;
    record.useTime = useTime;
    record.nextPosition = nextPosition;
    record.lastScanFlag = static_cast<std::int32_t>(volume.ScanMode());
    record.hasIdentity = true;
    record.identity = volume.Identity();
    record.deviceNode = volume.DeviceNode();
    return record;
}

bool SameVolumeAsSaved(const scan::VolumeScanner& volume, const store::ScanRecordInfo& record, std::string& difference)
{
    difference.clear();
    if (!record.hasIdentity)
        return true;
    difference = scan::DescribeDifference(record.identity, volume.Identity());
    return difference.empty();
}

int RunDeepScan(scan::VolumeScanner& volume, std::uint64_t startSector, bool maySave, bool* saved)
{
    if (saved != nullptr)
        *saved = false;
    const int end = scan::DeepScan(volume, startSector);
    if (end == scan::kDeepPaused || end == scan::kDeepMediumGone || end == scan::kDeepFailingMedium) {
        const std::uint64_t now = platform::NowLocalAsFileTime();
        const store::ScanRecordInfo record = SavedScanRecord(
            volume, volume.Deep().nextPosition, now > volume.Deep().startTime ? now - volume.Deep().startTime : 0);
        if (!maySave) {
            base::LogLess("Deep scan of %s stopped at sector %llu; not saved: the store keeps the saved scan of "
                          "another volume",
                          volume.DevicePath().c_str(), static_cast<unsigned long long>(record.nextPosition));
        } else if (store::SaveScanResults(volume, record)) {
            base::LogLess("Deep scan of %s saved at sector %llu with %zu results", volume.DevicePath().c_str(),
                          static_cast<unsigned long long>(record.nextPosition), volume.ResultCount());
            if (saved != nullptr)
                *saved = true;
        } else {
            base::LogLess("Deep scan of %s could not be saved", volume.DevicePath().c_str());
        }
    }
    return end;
}

bool LeavesNothingToResume(int deepEnd)
{
    return deepEnd == scan::kDeepFinished || deepEnd == scan::kDeepStopped;
}

int OpenNamedVolume(scan::VolumeScanner& volume, const std::string& name, std::string* unresolved)
{
    std::string node = name;
    // Only names that are no plain path need the disk list.
    if (name.rfind("\\\\", 0) == 0 || platform::IsFolder(name)) {
        std::vector<disks::DiskInfo> list;
        disks::EnumerateDisks(list);
        std::string reason;
        if (!disks::ResolveVolumeName(list, name, node, reason)) {
            base::LogLess("Open device %s: %s", name.c_str(), reason.c_str());
            if (unresolved != nullptr)
                *unresolved = reason;
        } else if (disks::NamesPlaceInThisRun(name)) {
            return volume.Open(node, node);
        }
    }
    return volume.Open(node, name);
}

bool MayReplaceSavedScan(const scan::VolumeScanner& volume, store::ScanRecordInfo& saved)
{
    saved = store::ScanRecordInfo {};
    store::ReadLastScanRecord(saved);
    if (saved.path.empty())
        return true;
    std::string difference;
    return saved.hasIdentity ? SameVolumeAsSaved(volume, saved, difference) : saved.path == volume.DevicePath();
}

bool SaveScanNow(scan::VolumeScanner& volume)
{
    return store::SaveScanResults(volume, SavedScanRecord(volume, volume.Progress(), 0));
}

bool DestinationOnSource(const scan::VolumeScanner& volume, const std::string& destination)
{
    // The destination's nearest folder that exists tells where it would be
    // made.
    std::string existing = destination;
    while (!existing.empty() && !platform::IsFolder(existing) && existing.find_last_of("/\\") != std::string::npos)
        existing.resize(std::max<std::size_t>(existing.find_last_of("/\\"), 1));
    return platform::DestinationOnSource(volume.DeviceNode(), existing);
}

namespace {

// A size as the window writes it (1000 bytes to the kB).
std::string SizeText(std::uint64_t bytes)
{
    static const char* const kUnits[] = {"bytes", "kB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1000 && unit + 1 < std::size(kUnits)) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
    return text;
}

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

}  // namespace

std::string DestinationProblem(const scan::VolumeScanner& volume, const std::string& destination,
                               const std::function<std::uint64_t(std::uint64_t unit)>& bytesIn)
{
    if (destination.empty())
        return "Choose the folder to save the files into.";
    if (!platform::IsAbsolutePath(destination))
        return "Give the folder's full path: \"" + destination +
               "\" would be taken from the folder Quenlar runs in, not a place you chose.";
    // The nearest part of the path that exists: the folder itself, or the
    // one it would be made in.
    std::string existing = destination;
    while (existing.size() > 1 && IsSeparator(existing.back()))
        existing.pop_back();
    const std::string folder = existing;
    while (!platform::PathExists(existing)) {
        std::size_t cut = existing.size();
        while (cut > 0 && !IsSeparator(existing[cut - 1]))
            --cut;
        if (cut == 0)
            break;
        existing.resize(std::max<std::size_t>(cut - 1, 1));
    }
    if (!platform::IsFolder(existing)) {
        return existing == folder
                   ? "\"" + destination + "\" is a file, not a folder: choose a folder to save the files into."
                   : "No folder can be made at \"" + destination + "\": \"" + existing + "\" is not a folder.";
    }
    if (DestinationOnSource(volume, destination))
        return "That folder is on the drive being recovered from: saving there could overwrite the very files you "
               "want back. Choose a folder on another drive.";
    if (!platform::CanCreateIn(existing))
        return "Quenlar cannot write in \"" + existing + "\": choose a folder on a drive that can be written to.";
    std::uint64_t free = 0;
    std::uint64_t unit = 1;
    if (!bytesIn || !platform::FreeBytesIn(existing, free, unit))
        return {};
    // Each file takes whole units there; some room is kept for the folders,
    // the receipt and the file system's own records.
    const std::uint64_t bytes = bytesIn(unit);
    const std::uint64_t need = bytes > UINT64_MAX / 2 ? UINT64_MAX : bytes + bytes / 100 + (1u << 20);
    if (bytes != 0 && free < need)
        return "The drive of that folder has " + SizeText(free) + " free, and the files chosen need " +
               SizeText(bytes) + ": choose a drive with more room, or fewer files.";
    return {};
}

ResumeOutcome ResumeSavedScan(scan::VolumeScanner& volume, ResumeSteps* steps)
{
    ResumeSteps none;
    ResumeSteps& step = steps != nullptr ? *steps : none;
    ResumeOutcome outcome;
    if (!store::ReadLastScanRecord(outcome.record) || outcome.record.path.empty())
        return outcome;
    outcome.openStatus = OpenNamedVolume(volume, outcome.record.path);
    const bool opened = outcome.openStatus == scan::kOpenOk;
    if (opened && !SameVolumeAsSaved(volume, outcome.record, outcome.difference)) {
        base::LogLess("The saved scan of %s is not resumed: the volume there differs in %s",
                      outcome.record.path.c_str(), outcome.difference.c_str());
        outcome.status = ResumeOutcome::kOtherVolume;
        return outcome;
    }
    outcome.unchecked = !outcome.record.hasIdentity;
    const auto flag = outcome.record.lastScanFlag;
    const bool normalScanFollows = flag == scan::kScanIdle || flag == scan::kScanNormal;
    // A normal scan empties the results first: what was saved of one is not
    // loaded, to be shown for a moment and replaced.
    const bool loaded = normalScanFollows || store::LoadFoundFiles(volume);
    if (loaded && !normalScanFollows && flag != scan::kScanDeepRunning) {
        // A finished scan: a deep scan asked for again starts where it ended,
        // adding nothing it has already.
        volume.SetScanMode(static_cast<std::uint32_t>(flag));
        volume.Deep().nextPosition = std::max(outcome.record.nextPosition, volume.VolumeSectors());
    }
    step.Loaded(volume, opened && loaded && (flag == scan::kScanDeepRunning || normalScanFollows));
    if (!opened) {
        outcome.status = ResumeOutcome::kCannotOpen;
        return outcome;
    }
    if (!loaded) {
        outcome.status = ResumeOutcome::kLoadFailed;
        return outcome;
    }
    outcome.status = ResumeOutcome::kResumed;
    switch (outcome.record.lastScanFlag) {
    case scan::kScanDeepRunning:
        outcome.action = 2;
        step.DeepScanStarts();
        outcome.deepEnd = RunDeepScan(volume, outcome.record.nextPosition, true, &outcome.saved);
        step.DeepScanEnded(outcome.deepEnd);
        break;
    case scan::kScanIdle:
    case scan::kScanNormal:
        outcome.action = 1;
        step.NormalScanStarts();
        scan::NormalScan(volume);
        step.NormalScanEnded();
        break;
    default:
        break;
    }
    return outcome;
}

}  // namespace jobs
