// The workers the script calls start, each on a detached thread of its own,
// and the notifications they send to the UI.
#include "bridge/MainFrame.h"

#include "base/Log.h"
#include "base/StopRequest.h"
#include "jobs/ScanJobs.h"
#include "bridge/Protocol.h"
#include "browse/Filters.h"
#include "browse/FolderTree.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "platform/OutputFile.h"
#include "search/Scans.h"
#include "store/ResultStore.h"
#include "volume/VolumeScanner.h"

#include <thread>

namespace bridge {
namespace {

constexpr std::size_t kFolderBatch = 50;       // folder pairs in one batch of the tree
constexpr std::size_t kRowBatch = 100;         // file rows in one batch of a folder listing
constexpr std::size_t kFilterBatch = 500;      // file rows in one batch of a documents' filter
constexpr std::size_t kFilterAnswerRows = 2000;  // file rows in one StartFilterDataArr
constexpr std::size_t kFoldersWhileWorking = 100;
constexpr std::uint32_t kScanWork = kWorkNormalScan | kWorkDeepScan | kWorkResume;

bool Stopping()
{
    return base::StopRequest.load() != 0;
}

// What a paused or cut-short deep scan leaves to say.
std::string DeepEndNote(int end, bool saved, bool maySave, const std::string& kept)
{
    const bool wantsSaving = end == scan::kDeepPaused || end == scan::kDeepMediumGone || end == scan::kDeepFailingMedium;
    std::string note;
    if (end == scan::kDeepMediumGone)
        note = "The drive went away during the deep scan. ";
    else if (end == scan::kDeepFailingMedium)
        note = "Every read failed from one place on: the drive is failing. ";
    else if (end == scan::kDeepNoMemory)
        note = "There was not enough memory for the deep scan. ";
    if (wantsSaving && !saved) {
        note += maySave ? "The scan could not be saved: the result store in the program's folder cannot be written."
                        : "This scan was not saved: the saved scan of " + kept +
                              " is kept, and only one can be. Forget that one first to keep the next.";
    }
    while (!note.empty() && note.back() == ' ')
        note.pop_back();
    return note;
}

}  // namespace

bool MainFrame::MayReplaceSaved(const scan::VolumeScanner& volume, std::string& kept)
{
    store::ScanRecordInfo record;
    const bool may = jobs::MayReplaceSavedScan(volume, record);
    kept = record.path;
    return may;
}

void MainFrame::StartPathStreamer(std::uint64_t generation)
{
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (m_streamerGeneration == generation)
            return;  // one runs for this scan already
        m_streamerGeneration = generation;
    }
    Start([this, generation] { PathStreamer(generation); });
}

void MainFrame::ScanWorker(std::uint64_t generation, std::string device, bool deep)
{
    auto volume = std::make_shared<scan::VolumeScanner>();
    // A volume that cannot be opened is scanned all the same and finds
    // nothing: the UI sees the usual ends.
    jobs::OpenNamedVolume(*volume, device);
    PublishVolume(generation, volume);
    // A stop that came before the volume was open is obeyed here.
    if (!Stopping())
        scan::NormalScan(*volume);
    // A quick scan ends with its normal scan, as one stopped there does,
    // unless the volume has no file system to scan that way: then the deep
    // scan is all there is.
    const bool quick = !deep && volume->FileSystem() != scan::kUnknownFileSystem;
    if (Stopping() || quick) {
        if (!quick && base::StopKeepsResults()) {
            std::string kept;
            MayReplaceSaved(*volume, kept);
            NoteOutcome(false, "The scan was paused in its first step, before there was anything to keep: scan the "
                               "drive again to start over." +
                                   (kept.empty() ? std::string() : " The saved scan of " + kept + " is still kept."));
        }
        m_lastFinishedScan.fetch_or(1);
        m_workFlag.fetch_and(~std::uint32_t {kWorkNormalScan});
        Wake();
        return;
    }
    m_lastFinishedScan.fetch_or(1);
    // The deep scan follows at once: its bit is set before the normal
    // scan's goes, so the work flag is never idle between the two (the path
    // streamer would take the pause for the end, and other work could slip in).
    m_workFlag.fetch_or(kWorkDeepScan);
    m_workFlag.fetch_and(~std::uint32_t {kWorkNormalScan});
    // The path streamer's idle wait ends here: the normal scan's folders
    // are all in and reach the documents now, not a second later.
    Wake();
    base::LogLess("OnDeepScanPartition Thread ");
    Start([this, generation] { DeepScanWorker(generation); });
}

int MainFrame::DeepScanStart()
{
    const Session session = CurrentSession();
    if (!session.volume)
        return m_workFlag.load() != 0 ? static_cast<int>(m_workFlag.load()) : -1;
    std::uint32_t idle = 0;
    // Set before the worker runs, so that a second call answers busy.
    if (!m_workFlag.compare_exchange_strong(idle, kWorkDeepScan))
        return static_cast<int>(idle);
    base::LogLess("OnDeepScanPartition Thread ");
    base::StopRequest = 0;
    const std::uint64_t generation = session.generation;
    Start([this, generation] { DeepScanWorker(generation); });
    // Its end and its folders reach the documents as a scan's do.
    StartPathStreamer(generation);
    return 0;
}

void MainFrame::DeepScanWorker(std::uint64_t generation)
{
    const Session session = CurrentSession();
    if (session.generation != generation || !session.volume) {
        ReportWorkEnd(kWorkDeepScan, 1);
        return;
    }
    scan::VolumeScanner& volume = *session.volume;
    m_workFlag.fetch_or(kWorkDeepScan);
    std::string kept;
    const bool maySave = MayReplaceSaved(volume, kept);
    // A volume searched before goes on where that search stopped: what it
    // found is in the list already (and a search that ended adds nothing).
    const std::uint64_t start = volume.Deep().nextPosition;
    bool saved = false;
    const int end = jobs::RunDeepScan(volume, start, maySave, &saved);
    // A pause that came once the pass had reached the end asked for
    // nothing: the scan finished, and is told so (not as paused with
    // nothing kept).
    if (end == scan::kDeepFinished)
        base::StopRequest = 0;
    // A scan of another volume leaves the saved one alone at its end too.
    if (jobs::LeavesNothingToResume(end) && maySave)
        store::DropTables();
    NoteOutcome(saved, DeepEndNote(end, saved, maySave, kept));
    m_lastFinishedScan.fetch_or(2);
    m_workFlag.fetch_and(~std::uint32_t {kWorkDeepScan});
    Wake();
}

void MainFrame::ResumeWorker(std::uint64_t generation)
{
    // The steps of the resumed scan, told to the UI and the shared state.
    struct Steps : jobs::ResumeSteps {
        MainFrame& frame;
        std::uint64_t generation;
        std::shared_ptr<scan::VolumeScanner> volume;
        Steps(MainFrame& f, std::uint64_t g, std::shared_ptr<scan::VolumeScanner> v)
            : frame(f), generation(g), volume(std::move(v))
        {
        }
        void Loaded(scan::VolumeScanner&, bool scanFollows) override
        {
            frame.PublishVolume(generation, volume);
            // With nothing more to run the load was the work: the volume is
            // shown idle from the start, its folders pushed as after a scan.
            if (!scanFollows)
                frame.m_workFlag.fetch_and(~std::uint32_t {kWorkResume});
            frame.Wake();
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
            if (jobs::LeavesNothingToResume(end))
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
    Steps steps(*this, generation, volume);
    const jobs::ResumeOutcome outcome = jobs::ResumeSavedScan(*volume, &steps);
    std::string failure;
    switch (outcome.status) {
    case jobs::ResumeOutcome::kNothingSaved:
        failure = "There is no saved scan to resume.";
        break;
    case jobs::ResumeOutcome::kOtherVolume:
        failure = outcome.record.path + " no longer holds the volume the saved scan was made of: it differs in " +
                  outcome.difference + ". The saved scan was not resumed and is still kept; forget it to scan "
                                       "what is there now.";
        break;
    case jobs::ResumeOutcome::kCannotOpen:
        failure = outcome.record.path +
                  " cannot be opened: what the saved scan found is shown, but cannot be recovered or searched "
                  "further until the drive is back.";
        break;
    case jobs::ResumeOutcome::kLoadFailed:
        failure = "The saved scan cannot be read from the result store.";
        break;
    case jobs::ResumeOutcome::kResumed: {
        std::string note = outcome.action == 2 ? DeepEndNote(outcome.deepEnd, outcome.saved, true, {}) : std::string();
        if (outcome.unchecked)
            note += std::string(note.empty() ? "" : " ") + "The saved scan was made by an older version of Quenlar: " +
                    "that its drive still holds the same volume could not be checked.";
        NoteOutcome(outcome.saved, note);
        break;
    }
    }
    // Loaded only (or not at all): the loading bit is still there.
    m_workFlag.fetch_and(~std::uint32_t {kWorkResume});
    Wake();
    if (!failure.empty()) {
        base::LogLess("Resume: %s", failure.c_str());
        NoteOutcome(false, failure);
        TellScanEnd(kWorkDeepScan, 1);
    }
}

void MainFrame::ReportEndedPhases(const Session& session)
{
    const std::uint32_t ended = m_lastFinishedScan.exchange(0);
    if (ended == 0)
        return;
    // A document that hears of the end and takes the tree then gets all of
    // what the phase found.
    if (session.volume)
        session.tree->PlaceAll(*session.volume);
    // Each phase that ended is told once, the normal scan before the deep
    // one, also when both ended before the streamer looked.
    for (const int phase : {1, 2}) {
        if ((ended & static_cast<std::uint32_t>(phase)) != 0)
            TellScanEnd(phase, 0);
    }
}

// Places the results of a scan in its tree while the scan runs, tells each
// phase's end, and once no scan work runs places everything, tells the
// documents that the tree is whole (SendFileToUi for what changed since they
// last took it, AllPathSendFinishedToUi) and ends. Each document takes the
// folders itself (GetScanFilePathData), as many times as it likes. A deep
// scan started again on the same volume starts it again.
void MainFrame::PathStreamer(std::uint64_t generation)
{
    std::uint64_t announced = 0;
    while (!m_closing) {
        const Session session = CurrentSession();
        if (session.generation != generation)
            break;  // another scan replaced this one
        const bool working = (m_workFlag.load() & kScanWork) != 0;
        if (session.volume && working) {
            announced = session.tree->Version();
            // What came since the last look, a hundred folders at a time: the
            // scan, which appends under the same lock, goes on in between.
            while (session.tree->Place(*session.volume, kFoldersWhileWorking) != 0 && !m_closing &&
                   CurrentSession().generation == generation) {
            }
        }
        ReportEndedPhases(session);
        if (working) {
            Nap(m_timing.idleWait);
            continue;
        }
        if (session.volume) {
            session.tree->PlaceAll(*session.volume);
            ReportEndedPhases(session);
            if (m_workFlag.load() == 0) {
                const std::size_t changed = session.tree->ChangedAfter(announced);
                const std::string folders = std::to_string(changed);
                for (std::size_t at = 0; at < changed; at += kFolderBatch)
                    m_ui.Call("SendFileToUi", {folders, static_cast<std::int64_t>(std::min(kFolderBatch, changed - at))});
            }
            announced = session.tree->Version();
            {
                // Whole before it is told, for a document that asks then.
                std::lock_guard<std::mutex> lock(m_stateLock);
                if (m_generation == generation)
                    m_treeComplete = true;
            }
            m_ui.Call("AllPathSendFinishedToUi", {});
        } else {
            ReportEndedPhases(session);
        }
        std::lock_guard<std::mutex> lock(m_stateLock);
        // A deep scan started again meanwhile keeps this streamer going.
        if ((m_workFlag.load() & kScanWork) != 0 && m_generation == generation) {
            m_treeComplete = false;
            continue;
        }
        if (m_streamerGeneration == generation)
            m_streamerGeneration = 0;
        return;
    }
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (m_streamerGeneration == generation)
        m_streamerGeneration = 0;
}

Value MainFrame::TakeFolders(DocumentId caller, const Session& session, bool marks)
{
    if (!session.tree)
        return Value(0);
    std::uint64_t seen = 0;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        DocumentTree& tree = m_documentTrees[caller];
        if (tree.generation != session.generation)
            tree = {session.generation, 0};
        seen = tree.seen;
    }
    const auto folders = session.tree->Take(seen, kFolderBatch);
    if (folders.empty())
        return Value(0);
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        DocumentTree& tree = m_documentTrees[caller];
        if (tree.generation == session.generation)
            tree.seen = seen;
    }
    Value::Array batch;
    batch.reserve(folders.size());
    for (const browse::TakenFolder& folder : folders) {
        Value::Array entry;
        entry.emplace_back(folder.path);
        entry.emplace_back(static_cast<std::int64_t>(folder.count));
        // 2: it was deleted; 3: the deep scan found it (its parent is gone).
        if (marks)
            entry.emplace_back(static_cast<std::int64_t>(folder.mark >= 2 ? folder.mark : 0));
        batch.emplace_back(std::move(entry));
    }
    return Value(std::move(batch));
}

Value MainFrame::Listing::Header(const std::string& folder) const
{
    Value::Array header {tag, folder};
    if (!scan.empty())
        header.emplace_back(scan);
    return Value(std::move(header));
}

void MainFrame::FolderListWorker(Listing listing, std::string folder)
{
    const Value header = listing.Header(folder);
    std::vector<std::uint32_t> indices;
    if (listing.volume)
        indices = browse::FolderFileIndices(*listing.volume, folder);
    m_ui.CallDocument(listing.caller, "StartReceiePathFiles", {header});
    for (std::size_t at = 0; at < indices.size(); at += kRowBatch) {
        // A document that lags behind is waited for; one that went away
        // is not sent the rest.
        if (!WaitForRoom(listing.caller))
            return;
        std::vector<browse::FileRow> rows;
        browse::MakeFileRows(*listing.volume, indices.data() + at, std::min(kRowBatch, indices.size() - at), rows);
        m_ui.CallDocument(listing.caller, "InReceiePathFiles", {header, Value::Array(RowValues(std::move(rows)))});
    }
    m_ui.CallDocument(listing.caller, "EndReceiePathFiles", {header});
}

void MainFrame::FilterWorker(Listing listing, std::string filter, std::string name, bool streamed)
{
    if (listing.volume) {
        browse::Filter parsed;
        const bool valid = ParseFilterText(filter, parsed);
        parsed.name = std::move(name);
        const std::vector<std::uint32_t> indices =
            valid ? browse::FilterFileIndices(*listing.volume, parsed) : std::vector<std::uint32_t> {};
        if (streamed) {
            // As a folder listing: the documents' filter streams its rows.
            const Value header = listing.Header({});
            m_ui.CallDocument(listing.caller, "StartReceiePathFiles", {header});
            bool gone = false;
            for (std::size_t at = 0; at < indices.size() && !gone; at += kFilterBatch) {
                gone = !WaitForRoom(listing.caller);
                if (gone)
                    break;
                std::vector<browse::FileRow> rows;
                browse::MakeFileRows(*listing.volume, indices.data() + at,
                                     std::min(kFilterBatch, indices.size() - at), rows);
                m_ui.CallDocument(listing.caller, "InReceiePathFiles", {header, Value::Array(RowValues(std::move(rows)))});
            }
            if (!gone)
                m_ui.CallDocument(listing.caller, "EndReceiePathFiles", {header});
        } else {
            // The table's filter answers with its rows; a long list comes in
            // several answers of the same scan name, in order, rather than
            // one that no document could take.
            // The scan name stands between the ninth comma and the last
            // (the verdicts follow it, and hold none).
            std::size_t start = 0;
            for (int n = 0; n < 9 && start != std::string::npos; ++n)
                start = filter.find(',', start == 0 && n == 0 ? 0 : start + 1);
            const std::size_t end = filter.rfind(',');
            const std::string scanName =
                start == std::string::npos || end <= start ? std::string() : filter.substr(start + 1, end - start - 1);
            std::size_t at = 0;
            do {
                if (!WaitForRoom(listing.caller))
                    break;
                std::vector<browse::FileRow> rows;
                const std::size_t count = std::min(kFilterAnswerRows, indices.size() - at);
                browse::MakeFileRows(*listing.volume, indices.data() + at, count, rows);
                m_ui.CallDocument(listing.caller, "StartFilterDataArr", {Value::Array(RowValues(std::move(rows))), scanName});
                at += count;
            } while (at < indices.size());
        }
    }
    ReportWorkEnd(kWorkFilter, 0);
}

void MainFrame::RecoveryWorker(std::shared_ptr<scan::VolumeScanner> volume,
                               std::shared_ptr<recover::RecoverProgress> progress, std::string destination,
                               recover::Selection selection, std::size_t asked)
{
    int status = 0;
    std::string refusal;
    auto summary = std::make_shared<recover::RecoverSummary>();
    summary->selected = asked;
    if (volume) {
        // Checked as a whole before anything is made: a destination that
        // cannot take the files refuses them all, in one sentence.
        refusal = jobs::DestinationProblem(
            *volume, destination, [&](std::uint64_t unit) { return recover::SelectionBytes(*volume, selection, unit); });
        if (!refusal.empty()) {
            base::LogLess("Recovery refused (%s): %s", destination.c_str(), refusal.c_str());
            status = 1;
        } else {
            // The folder chosen is offered first the next time.
            platform::WriteIniString(base::kSettingsFile, "RECOVERY", "Destination", destination);
            *summary = recover::RecoverFiles(*volume, selection, destination, progress.get());
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
    bool saved = false;
    std::string note;
    if (const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader()) {
        const std::uint32_t mode = volume->ScanMode();
        std::string kept;
        if (mode != scan::kScanDeepRunning && mode != scan::kScanDeepFinished) {
            note = "Only a scan whose deep scan has begun can be kept for later.";
        } else if (!MayReplaceSaved(*volume, kept)) {
            note = "This scan was not saved: the saved scan of " + kept +
                   " is kept, and only one can be. Forget that one first to keep this.";
        } else {
            saved = jobs::SaveScanNow(*volume);
            if (!saved)
                note = "The scan could not be saved: the result store in the program's folder cannot be written.";
        }
    }
    NoteOutcome(saved, note);
    ReportWorkEnd(kWorkSave, saved ? 0 : 1);
}

}  // namespace bridge
