// The workers the script calls start, each on a detached thread of its own,
// and the notifications they send to the UI.
#include "bridge/MainFrame.h"

#include "bridge/ScanWork.h"
#include "browse/Filters.h"
#include "browse/FolderTree.h"
#include "base/Log.h"
#include "base/StopRequest.h"
#include "platform/Files.h"
#include "platform/OutputFile.h"
#include "scan/VolumeScanner.h"
#include "store/ResultStore.h"

#include <thread>

namespace bridge {
namespace {

constexpr std::size_t kFolderBatch = 50;   // folder pairs in one batch of the path streamer
constexpr std::size_t kRowBatch = 100;     // file rows in one batch of a folder listing
constexpr std::size_t kFoldersWhileWorking = 100;
// How often the path streamer looks again for the mailbox to empty before
// it gives up on a batch: the documents take a batch some time after they
// were told of it, over the host's connection.
constexpr int kSlotLooks = 100;

bool Stopping()
{
    return base::StopRequest.load() != 0;
}

int StopValue()
{
    return static_cast<int>(base::StopRequest.load());
}

}  // namespace

void MainFrame::ScanWorker(std::string device)
{
    auto volume = std::make_shared<scan::VolumeScanner>();
    volume->m_treeCursor = 0;
    // A volume that cannot be opened is scanned all the same and finds
    // nothing: the UI sees the usual ends.
    OpenNamedVolume(*volume, device);
    m_workFlag.fetch_or(kWorkNormalScan);
    SetCurrentReader(volume);
    volume->NormalScan();
    m_lastFinishedScan.fetch_or(1);
    if (Stopping()) {
        m_workFlag.fetch_and(~std::uint32_t {kWorkNormalScan});
        Wake();
        return;
    }
    // The deep scan follows at once: its bit is set before the normal
    // scan's goes, so the work flag is never idle between the two (the path
    // streamer would take the pause for the end, and other work could slip in).
    m_workFlag.fetch_or(kWorkDeepScan);
    m_workFlag.fetch_and(~std::uint32_t {kWorkNormalScan});
    // The path streamer's idle wait ends here: the normal scan's folders
    // are all in and reach the documents now, not a second later.
    Wake();
    base::LogLess("OnDeepScanPartition Thread ");
    Start([this] { DeepScanWorker(); });
}

int MainFrame::DeepScanStart()
{
    std::uint32_t idle = 0;
    if (!CurrentReader())
        return m_workFlag.load() != 0 ? static_cast<int>(m_workFlag.load()) : -1;
    // Set before the worker runs, so that a second call answers busy.
    if (!m_workFlag.compare_exchange_strong(idle, kWorkDeepScan))
        return static_cast<int>(idle);
    base::LogLess("OnDeepScanPartition Thread ");
    base::StopRequest = 0;
    Start([this] { DeepScanWorker(); });
    return 0;
}

void MainFrame::DeepScanWorker()
{
    const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    if (!volume) {
        ReportWorkEnd(kWorkDeepScan, 1);
        return;
    }
    m_workFlag.fetch_or(kWorkDeepScan);
    const int end = RunDeepScan(*volume, 0);
    if (LeavesNothingToResume(end))
        store::DropTables();
    m_lastFinishedScan.fetch_or(2);
    m_workFlag.fetch_and(~std::uint32_t {kWorkDeepScan});
    Wake();
}

void MainFrame::ResumeWorker()
{
    // The steps of the resumed scan, told to the UI and the shared state.
    struct Steps : ResumeSteps {
        MainFrame& frame;
        std::shared_ptr<scan::VolumeScanner> volume;
        Steps(MainFrame& f, std::shared_ptr<scan::VolumeScanner> v) : frame(f), volume(std::move(v)) {}
        void Loaded(scan::VolumeScanner&, bool scanFollows) override
        {
            // With nothing more to run the load was the work: the volume is
            // shown idle from the start, its folders pushed as after a scan.
            if (!scanFollows)
                frame.m_workFlag.fetch_and(~std::uint32_t {kWorkResume});
            frame.SetCurrentReader(volume);
        }
        // Each phase takes over the loading bit with its own before the
        // loading one goes, so the work flag is never idle in between.
        void DeepScanStarts() override
        {
            frame.m_workFlag.fetch_or(kWorkDeepScan);
            frame.m_workFlag.fetch_and(~std::uint32_t {kWorkResume});
            frame.m_ui.Call("StartDeepScan", {});
        }
        void DeepScanEnded(int end) override
        {
            if (LeavesNothingToResume(end))
                store::DropTables();
            frame.m_lastFinishedScan.fetch_or(2);
            frame.m_workFlag.fetch_and(~std::uint32_t {kWorkDeepScan});
            frame.Wake();
        }
        void NormalScanStarts() override
        {
            frame.m_workFlag.fetch_or(kWorkNormalScan);
            frame.m_workFlag.fetch_and(~std::uint32_t {kWorkResume});
        }
        void NormalScanEnded() override
        {
            frame.m_lastFinishedScan.fetch_or(1);
            frame.m_workFlag.fetch_and(~std::uint32_t {kWorkNormalScan});
            frame.Wake();
        }
    };
    auto volume = std::make_shared<scan::VolumeScanner>();
    Steps steps(*this, volume);
    const ResumeOutcome outcome = ResumeSavedScan(*volume, &steps);
    if (outcome.status == ResumeOutcome::kNothingSaved)
        SetCurrentReader(volume);  // nothing was saved: an empty volume, as the UI expects one
    // Loaded only (or not at all): the loading bit is still there.
    m_workFlag.fetch_and(~std::uint32_t {kWorkResume});
    Wake();
}

void MainFrame::ReportEndedPhases()
{
    // Each phase that ended is told once, the normal scan before the deep
    // one, also when both ended before the streamer looked.
    const std::uint32_t ended = m_lastFinishedScan.exchange(0);
    for (const std::uint32_t phase : {1u, 2u}) {
        if ((ended & phase) != 0)
            m_ui.Call("SetWorkEnd", {static_cast<std::int64_t>(phase), 0, StopValue()});
    }
}

void MainFrame::PathStreamer()
{
    // Wait for the scan worker to make its volume current.
    std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    for (int naps = 0; !volume; volume = CurrentReader()) {
        if (naps++ == 11)
            return;
        Nap(m_timing.readerWait);
        if (Stopping() || m_closing)
            return;
    }
    std::string scanFolder;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        scanFolder = m_scanSubPath;
    }
    browse::FolderUpdates updates;
    while (!m_closing) {
        if (Stopping()) {
            while ((m_workFlag.load() & kWorkDeepScan) != 0 && !m_closing)
                Nap(m_timing.idleWait);
            ReportEndedPhases();
            return;
        }
        // The UI has not taken the last batch yet.
        if (!PendingBatchEmpty()) {
            Nap(m_timing.batchPause);
            continue;
        }
        ReportEndedPhases();

        updates.clear();
        const bool working = m_workFlag.load() != 0;
        const std::size_t unvisited =
            browse::CollectFolderUpdates(*volume, updates, scanFolder, working ? kFoldersWhileWorking : browse::kNoLimit);
        if (updates.empty()) {
            if (unvisited == 0 && m_workFlag.load() == 0) {
                {
                    std::lock_guard<std::mutex> lock(volume->m_lock);
                    volume->m_treeCursor = 0;
                }
                if (!Stopping())
                    m_ui.Call("AllPathSendFinishedToUi", {});
                return;
            }
            Nap(m_timing.idleWait);
            continue;
        }

        const std::string folders = std::to_string(updates.size());
        Value::Array batch;
        std::size_t walked = 0;
        for (const auto& [key, entry] : updates) {
            if (Stopping())
                break;
            Value::Array pair;
            pair.emplace_back(entry.first);
            pair.emplace_back(static_cast<std::int64_t>(entry.second));
            batch.emplace_back(std::move(pair));
            ++walked;
            if (batch.size() < kFolderBatch && walked < updates.size())
                continue;
            if (m_workFlag.load() == 0)
                m_ui.Call("SendFileToUi", {folders, static_cast<std::int64_t>(batch.size())});
            if (!Stopping()) {
                // The documents take a batch after they were told of it (or
                // when they next ask): wait for the mailbox a while rather
                // than lose the batch, whose folders would not come again.
                for (int look = 0; look < kSlotLooks && !PendingBatchEmpty() && !Stopping() && !m_closing; ++look)
                    Nap(m_timing.slotWait);
                PutPendingBatch(Value(std::move(batch)));
            }
            std::this_thread::sleep_for(m_timing.batchPause);
            batch.clear();
        }
    }
}

void MainFrame::FolderListWorker(std::string joined)
{
    const std::size_t comma = joined.find(',');
    const std::string tag = joined.substr(0, comma);
    std::string folder = comma == std::string::npos ? std::string() : joined.substr(comma + 1);
    if (!folder.empty() && folder.back() != '\\')
        folder += '\\';
    if (folder.size() == 1)
        folder.clear();  // the volume's root
    const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    if (!volume)
        return;
    std::vector<Value> rows;
    browse::ListFolderFiles(*volume, folder, rows);
    const Value header = Value::Array {tag, folder};
    m_ui.Call("StartReceiePathFiles", {header});
    for (std::size_t at = 0; at < rows.size(); at += kRowBatch) {
        const std::size_t end = std::min(rows.size(), at + kRowBatch);
        m_ui.Call("InReceiePathFiles", {header, Value::Array(rows.begin() + static_cast<std::ptrdiff_t>(at),
                                                            rows.begin() + static_cast<std::ptrdiff_t>(end))});
    }
    m_ui.Call("EndReceiePathFiles", {header});
}

void MainFrame::FilterWorker(std::string filter)
{
    if (const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader()) {
        std::vector<Value> rows;
        browse::FilterFiles(*volume, filter, rows);
        const std::size_t comma = filter.rfind(',');
        const std::string scanName = comma == std::string::npos ? filter : filter.substr(comma + 1);
        m_ui.Call("StartFilterDataArr", {Value::Array(std::move(rows)), scanName});
    }
    ReportWorkEnd(kWorkFilter, 0);
}

void MainFrame::RecoveryWorker(std::string destination, std::vector<recover::SelectionValue> selection)
{
    int status = 0;
    std::string refusal;
    auto summary = std::make_shared<recover::RecoverSummary>();
    summary->selected = selection.size();
    if (const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader()) {
        // The destination's nearest folder that exists tells where it would
        // be made: never on the volume being read.
        std::string existing = destination;
        while (!existing.empty() && !platform::IsFolder(existing) && existing.find_last_of("/\\") != std::string::npos)
            existing.resize(std::max<std::size_t>(existing.find_last_of("/\\"), 1));
        if (destination.empty()) {
            base::LogLess("Recovery refused: no destination folder");
            refusal = "No destination folder was given.";
            status = 1;
        } else if (platform::DestinationOnSource(volume->m_deviceNode, existing)) {
            base::LogLess("Recovery refused: the destination %s lies on the volume being read", destination.c_str());
            refusal = "The destination lies on the drive being recovered from: writing there could overwrite "
                      "the very files being recovered.";
            status = 1;
        } else {
            *summary = recover::RecoverFiles(*volume, selection, destination);
        }
    } else {
        refusal = "There are no scan results to recover from.";
        status = 1;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_lastRecovery = std::move(summary);
        m_lastRecoveryRefusal = std::move(refusal);
    }
    ReportWorkEnd(kWorkRecovery, status);
}

void MainFrame::SaveWorker()
{
    if (const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader()) {
        const std::uint32_t mode = volume->m_scanMode.load();
        if (mode == scan::kScanDeepRunning || mode == scan::kScanDeepFinished) {
            store::ScanRecordInfo record;
            record.path = volume->m_devicePath;
            record.startTime = volume->m_deepStartTime;
            record.useTime = 0;
            record.nextPosition = volume->m_progress.load();
            record.lastScanFlag = static_cast<std::int32_t>(mode);
            store::SaveScanResults(*volume, record);
        }
    }
    ReportWorkEnd(kWorkSave, 0);
}

}  // namespace bridge
