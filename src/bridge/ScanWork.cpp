#include "bridge/ScanWork.h"

#include "host/Log.h"
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
            host::LogLess("Deep scan of %s saved at sector %llu with %zu results", volume.m_devicePath.c_str(),
                          static_cast<unsigned long long>(record.nextPosition), volume.ResultCount());
        else
            host::LogLess("Deep scan of %s could not be saved", volume.m_devicePath.c_str());
    }
    return end;
}

bool LeavesNothingToResume(int deepEnd)
{
    return deepEnd == scan::kDeepFinished || deepEnd == scan::kDeepStopped;
}

ResumeOutcome ResumeSavedScan(scan::VolumeScanner& volume)
{
    ResumeOutcome outcome;
    if (!store::ReadLastScanRecord(outcome.record) || outcome.record.path.empty())
        return outcome;
    volume.m_treeCursor = 0;
    outcome.openStatus = volume.Open(outcome.record.path);
    if (outcome.openStatus != scan::kOpenOk) {
        outcome.status = ResumeOutcome::kCannotOpen;
        return outcome;
    }
    if (!store::LoadFoundFiles(volume)) {
        outcome.status = ResumeOutcome::kLoadFailed;
        return outcome;
    }
    outcome.status = ResumeOutcome::kResumed;
    switch (outcome.record.lastScanFlag) {
    case scan::kScanDeepRunning:
        outcome.action = 2;
        outcome.deepEnd = RunDeepScan(volume, outcome.record.nextPosition);
        break;
    case scan::kScanIdle:
    case scan::kScanNormal:
        outcome.action = 1;
        volume.NormalScan();
        break;
    default:
        break;
    }
    return outcome;
}

}  // namespace bridge
