// The script bridge: the table of calls the UI documents make, the state they
// share with the workers those calls start, the workers themselves and the
// notifications they send back. One MainFrame serves the process; the host
// owns it, hands it every call on one thread (the UI thread) and carries its
// notifications through a UiChannel.
#pragma once

#include "bridge/UiChannel.h"
#include "disks/Disks.h"
#include "search/PartitionSearch.h"
#include "platform/DeviceMonitor.h"
#include "platform/Process.h"
#include "recover/RecoveryWriter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace scan {
class VolumeScanner;
}
namespace browse {
class FolderFeed;
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
    std::chrono::milliseconds idleWait {1000};    // the path streamer between two looks at a running scan
    std::chrono::milliseconds releaseWait {1000}; // ReleaseCurrentScan waiting for work to end
};

// The name of the single-instance lock.
constexpr const char* kInstanceName = "Quenlar_rUn_fLag-2019_11_11-1710";

// The answer of the documents' calls that name a scan which is no longer
// the current one: its rows and indices belong to an earlier scan.
constexpr int kStaleScan = -2;

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
    // `caller` is the document that made it: what answers it alone (a
    // folder listing, the folder tree it has not taken yet, a preview) goes
    // to that document only.
    bool HandleCall(DocumentId caller, const std::string& name, const Values& args, Value& result);
    bool HandleCall(const std::string& name, const Values& args, Value& result)
    {
        return HandleCall(0, name, args, result);
    }
    // A document went away: what was kept for it goes.
    void DocumentLeft(DocumentId document);

    // A block device arrived (true) or was removed: USBDiskMonitoring.
    void OnDeviceChange(bool arrived);
    // Starts telling device changes as they happen; false when it cannot.
    bool StartDeviceMonitor();

    // For the host and for tests.
    std::uint32_t WorkFlag() const { return m_workFlag.load(); }
    std::shared_ptr<scan::VolumeScanner> CurrentReader() const;
    // The folder tree of the current scan.
    std::shared_ptr<browse::FolderFeed> CurrentTree() const;
    // The current scan's identity as the documents are given it: this run's
    // number, a dash and the scan's generation; "" when there is none.
    std::string CurrentScanId() const;
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
    // The current scan: everything a scan call, a resume or a release
    // replaces at once. Its generation is new each time; every answer that
    // hands out rows belongs to one, and a call that acts on rows of another
    // is refused (kStaleScan).
    struct Session {
        std::uint64_t generation = 0;                  // 0: no scan
        std::shared_ptr<scan::VolumeScanner> volume;   // none until the worker has opened it
        std::shared_ptr<browse::FolderFeed> tree;
    };
    // How the last scan phase that ended went, for a document that comes
    // after it was told.
    struct ScanEnd {
        int operation = 0;   // 1 the normal scan, 2 the deep scan (0: none ended yet)
        int status = 0;
        int stop = 0;
        bool saved = false;  // the scan was saved to be resumed
        std::string note;    // what the user should know of it ("" nothing)
    };
    // Where one document's folder tree stands.
    struct DocumentTree {
        std::uint64_t generation = 0;
        std::uint64_t seen = 0;
    };

    // Shared work state.
    Session CurrentSession() const;
    // A new scan replaces the current one: a new generation with no volume
    // yet, an empty tree and no ends told. The work flag is already taken.
    std::uint64_t BeginSession(const std::string& name, const std::string& subPath);
    // Makes `volume` the scan's volume, unless another scan replaced it.
    void PublishVolume(std::uint64_t generation, std::shared_ptr<scan::VolumeScanner> volume);
    // The volume of the scan `id` names; none (with `stale` set) when that
    // is not the current scan.
    Session SessionNamed(const Value& id, bool& stale) const;
    std::string ScanIdOf(std::uint64_t generation) const;
    void ReleaseCurrentScan();
    void ReportWorkEnd(std::uint32_t operation, int status);
    // What a scan's worker has to say of its end (saved or not, and why),
    // kept for the documents.
    void NoteOutcome(bool saved, const std::string& note);
    // Tells every document that a scan phase ended (SetWorkEnd), and keeps
    // it for the documents that come later.
    void TellScanEnd(int operation, int status);
    // Whether a scan of `volume` may replace the store's saved scan: it may
    // when none is saved, when the saved one is of the same volume, or once
    // the user let it go (DiscardSavedScan). `kept` names the saved one.
    static bool MayReplaceSaved(const scan::VolumeScanner& volume, std::string& kept);
    // The next folders for `caller` of the scan `session`, as a batch (0 when
    // none) of [path, count] or, with `marks`, [path, count, mark].
    Value TakeFolders(DocumentId caller, const Session& session, bool marks = false);
    // Sleeps up to `wait`, less when the workers' state changes.
    void Nap(std::chrono::milliseconds wait);
    void Wake();
    // Waits while `document` has a large backlog; false once it has gone
    // (or the program ends).
    bool WaitForRoom(DocumentId document);

    // Workers (each on a thread of its own, detached).
    void Start(std::function<void()> body);
    void StartPathStreamer(std::uint64_t generation);
    void ScanWorker(std::uint64_t generation, std::string device, bool deep);
    int DeepScanStart();
    void DeepScanWorker(std::uint64_t generation);
    void ResumeWorker(std::uint64_t generation);
    void PathStreamer(std::uint64_t generation);
    void ReportEndedPhases(const Session& session);
    struct Listing {
        DocumentId caller = 0;
        std::shared_ptr<scan::VolumeScanner> volume;
        std::string tag;
        std::string scan;  // the scan the documents' call named: its rows' header carries it
        Value Header(const std::string& folder) const;
    };
    void FolderListWorker(Listing listing, std::string folder);
    void FilterWorker(Listing listing, std::string filter, std::string name, bool streamed);
    // `asked`: how many values the selection was given as.
    void RecoveryWorker(std::shared_ptr<scan::VolumeScanner> volume, std::shared_ptr<recover::RecoverProgress> progress,
                        std::string destination, recover::Selection selection, std::size_t asked);
    Value ReadPreview(scan::VolumeScanner* volume, std::int64_t index, std::int64_t offset, std::int64_t length);
    void SaveWorker();

    // Calls.
    // `deep` false: the normal scan alone (the deep scan can follow later).
    Value StartScan(const std::string& device, const std::string& subPath = {}, bool deep = true);
    Value QuickScanPartition(const Values& args);
    Value ScanPartition(const Values& args, bool deep);
    Value ScanDiskDelFile(const Values& args);
    Value ScanDiskPartitionDelFile(const Values& args);
    Value SpecialScan(const Values& args);
    Value ResumeScan();
    Value StopOperate(const Values& args);
    Value GetScanProc();
    Value GetFilesNumber();
    Value GetPathFiles(DocumentId caller, const Values& args);
    Value GetScanPathFiles(DocumentId caller, const Values& args);
    Value GetFilterFileArr(DocumentId caller, const Values& args);
    Value GetScanFilterFiles(DocumentId caller, const Values& args);
    Value StartFilter(Listing listing, const Value& map, bool streamed);
    Value RecoveryDelFile(const Values& args);
    Value RecoveryScanFiles(const Values& args);
    Value StartRecovery(std::shared_ptr<scan::VolumeScanner> volume, const Value& selection, std::string destination);
    Value GetRecoverProc();
    Value GetRecoverReport();
    Value GetFilePreview(DocumentId caller, const Values& args);
    Value GetFilePreviewAt(DocumentId caller, const Values& args);
    Value GetThumbnail(DocumentId caller, const Values& args);
    Value ListFolders(const Values& args);
    Value GetRecoverDestination();
    Value CheckContents(const Values& args);
    Value GetContentChecks();
    // Checks the content of the scan's results one by one, while no other
    // work runs, until every one is done, it is paused, or the scan is
    // replaced.
    void ContentCheckWorker(std::uint64_t generation);
    Value GetScanFolders(DocumentId caller, const Values& args);
    Value GetWorkState();
    Value OpenImageFile(const Values& args);
    Value SearchDiskPartitions(const Values& args);
    Value GetPartitionSearch();
    // `deep` false: its normal scan alone.
    Value ScanFoundVolume(const Values& args, bool deep = true);
    Value StopPartitionSearch();
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
    std::string m_runId;  // random for each run: an earlier run's scans are never this run's

    // The shared state.
    mutable std::mutex m_stateLock;  // guards what follows, to m_workFlag
    std::string m_scanSubPath;       // the folder SpecialScan restricts the tree to ("" the whole volume)
    std::shared_ptr<scan::VolumeScanner> m_currentReader;
    std::uint64_t m_generation = 0;      // the current scan's (0: none)
    std::uint64_t m_generations = 0;     // the last one given
    std::shared_ptr<browse::FolderFeed> m_tree;
    // How the current scan's last recovery goes (new with each scan and
    // each recovery).
    std::shared_ptr<recover::RecoverProgress> m_recovery;
    std::string m_scanName;              // what the current scan reads, as the user knows it
    ScanEnd m_lastEnd;                   // of the current scan
    bool m_treeComplete = false;         // the current scan's whole tree is placed and was told
    std::uint64_t m_streamerGeneration = 0;  // the scan a path streamer runs for (0: none runs)
    std::map<DocumentId, DocumentTree> m_documentTrees;
    // What the last recovery did, for its report; none before the first.
    std::shared_ptr<const recover::RecoverSummary> m_lastRecovery;
    std::string m_lastRecoveryRefusal;  // why it wrote nothing, when it refused
    // The preview asked for last, whether it waits to be read, and whether
    // the preview worker runs.
    struct PreviewWanted {
        DocumentId caller = 0;
        std::shared_ptr<scan::VolumeScanner> volume;
        std::string scan;
        std::int64_t index = 0;
        std::int64_t offset = 0;
        std::int64_t length = 0;
    };
    // A request waiting to be read, whether one waits, and whether its
    // worker runs: one for the details' preview, one for the list's pictures.
    struct ReadSlot {
        PreviewWanted wanted;
        bool pending = false;
        bool running = false;
    };
    ReadSlot m_previewSlot;
    ReadSlot m_thumbnailSlot;
    // Takes `wanted` into `slot`, its worker started when it is not running:
    // the newest request is read next, older ones waiting are dropped.
    void Want(ReadSlot& slot, PreviewWanted wanted, const char* answer, Value (MainFrame::*read)(const PreviewWanted&));
    void ReadWorker(ReadSlot& slot, const char* answer, Value (MainFrame::*read)(const PreviewWanted&));
    Value ReadPreviewOf(const PreviewWanted& wanted);
    Value ReadThumbnail(const PreviewWanted& wanted);
    // The content checks after a scan: of which scan, the next result, how
    // many there are, whether they are paused and whether the worker runs.
    struct ContentChecks {
        std::uint64_t generation = 0;
        std::size_t next = 0;
        std::size_t total = 0;
        bool paused = false;
        bool running = false;
    };
    ContentChecks m_checks;

    // The search of a disk (or an image file of a whole disk) for volumes no
    // table names: which, how far it got, and what it found. One at a time.
    struct PartitionHunt {
        std::uint32_t disk = 0;
        std::uint32_t partition = 0;
        std::string device;
        bool whole = false;
        bool running = false;
        bool ended = false;
        std::uint64_t sectors = 0;  // to look at, for the progress
        std::shared_ptr<std::atomic<std::uint64_t>> done;
        std::vector<scan::FoundVolume> found;
    };
    PartitionHunt m_hunt;  // under m_stateLock
    std::atomic<bool> m_huntStop {false};  // asks the running search to end
    std::atomic<std::uint32_t> m_workFlag {0};
    std::vector<disks::DiskInfo> m_disks;  // the UI thread's alone
    // The scan phases that ended and were not told yet: 1 the normal scan,
    // 2 the deep scan (both bits when both ended before the path streamer
    // looked).
    std::atomic<std::uint32_t> m_lastFinishedScan {0};

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
