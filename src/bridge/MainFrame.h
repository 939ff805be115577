// The script bridge: the table of calls the UI documents make, the state they
// share with the workers those calls start, the workers themselves and the
// notifications they send back. One MainFrame serves the process; the host
// owns it, hands it every call on one thread (the UI thread) and carries its
// notifications through a UiChannel.
#pragma once

#include "bridge/UiChannel.h"
#include "disks/Disks.h"
#include "platform/DeviceMonitor.h"
#include "platform/Process.h"
#include "recover/RecoveryWriter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace scan {
class VolumeScanner;
}

namespace bridge {

// The work flag's bits: which work runs. 0 is idle.
enum WorkBit : std::uint32_t {
    kWorkNormalScan = 1,
    kWorkDeepScan = 2,
    kWorkRecovery = 4,
    kWorkFilter = 16,
    kWorkSave = 32,
    // A resumed scan loading its saved results, before its scan runs: the
    // load of a large scan takes seconds, and no other work may start then.
    kWorkResume = 64,
};

// The waits of the workers; the defaults are the ones the documents are
// written for. A wait also ends early when what it waits for happens.
struct WorkerTiming {
    std::chrono::milliseconds readerWait {2000};  // the path streamer waiting for a volume (eleven times)
    std::chrono::milliseconds idleWait {1000};    // nothing new to hand on; a stop waiting for a deep scan
    std::chrono::milliseconds slotWait {100};     // a batch that finds the mailbox full
    std::chrono::milliseconds batchPause {10};    // after each batch; between tries of the mailbox lock
    std::chrono::milliseconds releaseWait {1000}; // ReleaseCurrentScan waiting for work to end
};

// The name of the single-instance lock.
constexpr const char* kInstanceName = "Quenlar_rUn_fLag-2019_11_11-1710";

class MainFrame {
public:
    MainFrame(UiChannel& ui, WorkerTiming timing = {});
    // Waits until no work runs (ReleaseCurrentScan) and until every worker
    // thread has ended.
    ~MainFrame();
    MainFrame(const MainFrame&) = delete;
    MainFrame& operator=(const MainFrame&) = delete;

    // One script call of the documents, on the UI thread: matched by its
    // exact name and argument count. False when it is not in the table
    // (the document sees a failed call); else `result` holds the answer.
    bool HandleCall(const std::string& name, const Values& args, Value& result);

    // A block device arrived (true) or was removed: USBDiskMonitoring.
    void OnDeviceChange(bool arrived);
    // Starts telling device changes as they happen; false when it cannot.
    bool StartDeviceMonitor();

    // For the host and for tests.
    std::uint32_t WorkFlag() const { return m_workFlag.load(); }
    std::shared_ptr<scan::VolumeScanner> CurrentReader() const;
    // Whether the waiting animation (OpenAwaitGifWindows) is shown.
    bool AwaitShown() const { return m_popupProcess.load() != 0; }
    // Where the waiting-animation program is looked for (the program's own
    // folder unless set).
    void SetProgramFolder(std::string folder) { m_programFolder = std::move(folder); }
    // The host took the single-instance lock for this process before the
    // documents came: their CheckProgramRun finds this process the first.
    void InstanceHeldByHost() { m_instanceHeld = true; }
    // The program is ending: asks running work to stop, keeping a deep
    // scan's results to resume. The destructor then waits for it.
    void StopRunningWork();

private:
    // Shared work state.
    void SetCurrentReader(std::shared_ptr<scan::VolumeScanner> reader);
    void ReleaseCurrentScan();
    void ReportWorkEnd(std::uint32_t operation, int status);
    bool TakePendingBatch(Value& batch);    // GetScanFilePathData
    bool PendingBatchEmpty();
    bool PutPendingBatch(Value batch);      // false when the slot is full
    void ClearPendingBatch();
    void LockPendingBatch();
    void UnlockPendingBatch();
    // Sleeps up to `wait`, less when the workers' state changes.
    void Nap(std::chrono::milliseconds wait);
    void Wake();

    // Workers (each on a thread of its own, detached).
    void Start(std::function<void()> body);
    void ScanWorker(std::string device);
    int DeepScanStart();
    void DeepScanWorker();
    void ResumeWorker();
    void PathStreamer();
    void ReportEndedPhases();
    void FolderListWorker(std::string joined);
    void FilterWorker(std::string filter);
    void RecoveryWorker(std::string destination, std::vector<recover::SelectionValue> selection);
    void PreviewWorker();
    Value ReadPreview(std::int64_t index, std::int64_t length);
    void SaveWorker();

    // Calls.
    Value StartScan(const std::string& device, bool releaseFirst = true);
    Value ScanDiskDelFile(const Values& args);
    Value ScanDiskPartitionDelFile(const Values& args);
    Value SpecialScan(const Values& args);
    Value ResumeScan();
    Value StopOperate(const Values& args);
    Value GetScanProc();
    Value GetFilesNumber();
    Value GetPathFiles(const Values& args);
    Value GetFilterFileArr(const Values& args);
    Value RecoveryDelFile(const Values& args);
    Value GetRecoverProc();
    Value GetRecoverReport();
    Value GetFilePreview(const Values& args);
    Value OpenImageFile(const Values& args);
    Value GetLastScanStatus();
    Value DiscardSavedScan();
    Value GetSaveScanInfo();
    // Utility calls.
    Value FreshDiskInfo();
    Value GetDiskPartition();
    Value GetDiskAllTypeNameFun();
    Value GetCurrentPath();
    Value GetIndependentPath(const Values& args);
    Value OpenFolderPath(const Values& args);
    Value OpenLogFilePath();
    Value OpenAwaitGifWindows();
    Value CloseAwaitGifWindows();
    Value GetAppVersion();
    Value CheckProgramRun();

    UiChannel& m_ui;
    const WorkerTiming m_timing;

    // The shared state.
    mutable std::mutex m_stateLock;  // guards the seven below
    std::string m_scanSubPath;       // the folder SpecialScan restricts the tree to ("" the whole volume)
    std::shared_ptr<scan::VolumeScanner> m_currentReader;
    // What the last recovery did, for its report; none before the first.
    std::shared_ptr<const recover::RecoverSummary> m_lastRecovery;
    std::string m_lastRecoveryRefusal;  // why it wrote nothing, when it refused
    // The preview asked for last (index, length), whether it waits to be
    // read, and whether the preview worker runs.
    std::pair<std::int64_t, std::int64_t> m_previewWanted {0, 0};
    bool m_previewPending = false;
    bool m_previewRunning = false;
    std::atomic<std::uint32_t> m_workFlag {0};
    std::vector<disks::DiskInfo> m_disks;  // the UI thread's alone
    // The scan phases that ended and were not told yet: 1 the normal scan,
    // 2 the deep scan (both bits when both ended before the path streamer
    // looked).
    std::atomic<std::uint32_t> m_lastFinishedScan {0};
    // The one-slot mailbox of folder batches, and its spin lock.
    std::atomic<int> m_pendingBatchLock {0};
    Value m_pendingBatch {0};

    // Worker threads: how many run, and what they sleep on.
    std::atomic<int> m_workers {0};
    std::atomic<bool> m_closing {false};
    std::mutex m_napLock;
    std::condition_variable m_nap;

    // Utility state.
    platform::ProcessLock m_instanceLock;
    bool m_instanceTried = false;
    bool m_instanceHeld = false;
    std::atomic<int> m_popupProcess {0};
    std::string m_programFolder;
    std::unique_ptr<platform::DeviceMonitor> m_monitor;
};

}  // namespace bridge
