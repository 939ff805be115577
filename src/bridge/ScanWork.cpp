#include "bridge/ScanWork.h"

#include "disks/Disks.h"
#include "base/Log.h"
#include "platform/Files.h"
#include "platform/Time.h"

namespace bridge {

int RunDeepScan(scan::VolumeScanner& volume, std::uint64_t startSector)
{
    const int end = volume.DeepScan(startSector);
    if (end == scan::kDeepPaused || end == scan::kDeepMediumGone || end == scan::kDeepFailingMedium) {
        store::ScanRecordInfo record;
        record.path = volume.m_devicePath;
        record.startTime = volume.m_deepStartTime;
        const std::uint64_t now = platform::NowLocalAsFileTime();
        record.useTime = now > record.startTime ? now - record.startTime : 0;
        record.nextPosition = volume.m_deepNextPosition;
        record.lastScanFlag = static_cast<std::int32_t>(volume.m_scanMode.load());
        if (store::SaveScanResults(volume, record))
            base::LogLess("Deep scan of %s saved at sector %llu with %zu results", volume.m_devicePath.c_str(),
                          static_cast<unsigned long long>(record.nextPosition), volume.ResultCount());
        else
            base::LogLess("Deep scan of %s could not be saved", volume.m_devicePath.c_str());
    }
    return end;
}

bool LeavesNothingToResume(int deepEnd)
{
    return deepEnd == scan::kDeepFinished || deepEnd == scan::kDeepStopped;
}

int OpenNamedVolume(scan::VolumeScanner& volume, const std::string& name)
{
    std::string node = name;
    // Only names that are no plain path need the disk list.
    if (name.rfind("\\\\", 0) == 0 || platform::IsFolder(name)) {
        std::vector<disks::DiskInfo> list;
        disks::EnumerateDisks(list);
        std::string reason;
        if (!disks::ResolveVolumeName(list, name, node, reason))
            base::LogLess("Open device %s: %s", name.c_str(), reason.c_str());
    }
    return volume.Open(node, name);
}

ResumeOutcome ResumeSavedScan(scan::VolumeScanner& volume, ResumeSteps* steps)
{
    ResumeSteps none;
    ResumeSteps& step = steps != nullptr ? *steps : none;
    ResumeOutcome outcome;
    if (!store::ReadLastScanRecord(outcome.record) || outcome.record.path.empty())
        return outcome;
    volume.m_treeCursor = 0;
    outcome.openStatus = OpenNamedVolume(volume, outcome.record.path);
    const bool opened = outcome.openStatus == scan::kOpenOk;
    const bool loaded = store::LoadFoundFiles(volume);
    const auto flag = outcome.record.lastScanFlag;
    step.Loaded(volume, opened && loaded &&
                            (flag == scan::kScanDeepRunning || flag == scan::kScanIdle || flag == scan::kScanNormal));
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
        outcome.deepEnd = RunDeepScan(volume, outcome.record.nextPosition);
        step.DeepScanEnded(outcome.deepEnd);
        break;
    case scan::kScanIdle:
    case scan::kScanNormal:
        outcome.action = 1;
        step.NormalScanStarts();
        volume.NormalScan();
        step.NormalScanEnded();
        break;
    default:
        break;
    }
    return outcome;
}

}  // namespace bridge
