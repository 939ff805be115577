#include "bridge/MainFrame.h"

#include "base/Log.h"
#include "base/StopRequest.h"
#include "browse/FolderTree.h"
#include "platform/Process.h"
#include "platform/Shell.h"
#include "volume/VolumeScanner.h"

#include <thread>

namespace bridge {
namespace {

// A document that lags this far behind has the next rows of a stream wait
// for it: the host then never holds more than a few MiB for it.
constexpr std::size_t kDocumentRoom = 4u << 20;

std::string RunId()
{
    unsigned char bytes[8] = {};
    if (!platform::RandomBytes(bytes, sizeof bytes)) {
        // Any number that changes from run to run serves.
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        for (std::size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(now) >> (8 * i));
    }
    std::string text;
    for (const unsigned char b : bytes) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

}  // namespace

MainFrame::MainFrame(UiChannel& ui, WorkerTiming timing) : m_ui(ui), m_timing(timing), m_runId(RunId()) {}

MainFrame::~MainFrame()
{
    if (m_monitor)
        m_monitor->Stop();
    ReleaseCurrentScan();
    // The path streamer and folder listings set no work bit: ask them to end
    // and wait for them, so that none outlives the state it uses.
    m_closing = true;
    m_huntStop = true;
    Wake();
    while (m_workers.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (const int popup = m_popupProcess.exchange(0); popup != 0)
        platform::EndProgram(popup);
}

void MainFrame::Start(std::function<void()> body)
{
    ++m_workers;
    std::thread([this, body = std::move(body)] {
        body();
        --m_workers;
    }).detach();
}

std::shared_ptr<scan::VolumeScanner> MainFrame::CurrentReader() const
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_currentReader;
}

MainFrame::Session MainFrame::CurrentSession() const
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return {m_generation, m_currentReader, m_tree};
}

std::string MainFrame::ScanIdOf(std::uint64_t generation) const
{
    return generation == 0 ? std::string() : m_runId + "-" + std::to_string(generation);
}

std::string MainFrame::CurrentScanId() const
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return ScanIdOf(m_generation);
}

std::shared_ptr<browse::FolderFeed> MainFrame::CurrentTree() const
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_tree;
}

std::uint64_t MainFrame::BeginSession(const std::string& name, const std::string& subPath)
{
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        generation = ++m_generations;
        m_generation = generation;
        m_currentReader = nullptr;
        m_tree = std::make_shared<browse::FolderFeed>(subPath);
        m_recovery = std::make_shared<recover::RecoverProgress>();
        m_scanSubPath = subPath;
        m_scanName = name;
        m_lastEnd = {};
        m_treeComplete = false;
    }
    m_lastFinishedScan = 0;
    Wake();
    // Documents that show an earlier scan learn at once that it is no longer
    // the one the program holds.
    m_ui.Call("SetCurrentScan", {ScanIdOf(generation)});
    return generation;
}

void MainFrame::PublishVolume(std::uint64_t generation, std::shared_ptr<scan::VolumeScanner> volume)
{
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (m_generation != generation)
            return;
        m_currentReader = std::move(volume);
    }
    Wake();
}

MainFrame::Session MainFrame::SessionNamed(const Value& id, bool& stale) const
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    stale = !id.IsString() || m_generation == 0 || id.String() != ScanIdOf(m_generation);
    if (stale)
        return {};
    return {m_generation, m_currentReader, m_tree};
}

void MainFrame::Nap(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(m_napLock);
    if (!m_closing)
        m_nap.wait_for(lock, wait);
}

void MainFrame::Wake()
{
    {
        std::lock_guard<std::mutex> lock(m_napLock);
    }
    m_nap.notify_all();
}

bool MainFrame::WaitForRoom(DocumentId document)
{
    for (;;) {
        const std::size_t backlog = m_ui.Backlog(document);
        if (backlog == UiChannel::kGone || m_closing)
            return false;
        if (backlog <= kDocumentRoom)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void MainFrame::ReportWorkEnd(std::uint32_t operation, int status)
{
    // The bits go first: the documents, told asynchronously, may start the
    // next work as soon as they hear of the end.
    m_workFlag.fetch_and(~operation);
    Wake();
    m_ui.Call("SetWorkEnd", {static_cast<std::int64_t>(operation), status, static_cast<int>(base::StopRequest.load())});
}

void MainFrame::NoteOutcome(bool saved, const std::string& note)
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    m_lastEnd.saved = saved;
    m_lastEnd.note = note;
}

void MainFrame::TellScanEnd(int operation, int status)
{
    const int stop = static_cast<int>(base::StopRequest.load());
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_lastEnd.operation = operation;
        m_lastEnd.status = status;
        m_lastEnd.stop = stop;
    }
    m_ui.Call("SetWorkEnd", {operation, status, stop});
}

void MainFrame::ReleaseCurrentScan()
{
    // Every worker ends at its next test of a stop request; until then the
    // UI waits, as it asked them to stop first.
    while (m_workFlag.load() != 0)
        Nap(m_timing.releaseWait);
    bool had = false;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_scanSubPath.clear();
        had = m_generation != 0;
        m_generation = 0;
        // A listing or the path streamer may still hold the volume: it goes
        // when the last of them lets go of it.
        m_currentReader = nullptr;
        m_tree = nullptr;
        m_recovery = std::make_shared<recover::RecoverProgress>();
        m_scanName.clear();
        m_lastEnd = {};
        m_treeComplete = false;
    }
    m_lastFinishedScan = 0;
    Wake();
    if (had)
        m_ui.Call("SetCurrentScan", {std::string()});
}

void MainFrame::DocumentLeft(DocumentId document)
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    m_documentTrees.erase(document);
}

void MainFrame::StopRunningWork()
{
    if (m_workFlag.load() == 0)
        return;
    base::LogLess("The program ends: running work is asked to stop, keeping what it found");
    base::StopRequest = base::kStopKeep;
    Wake();
}

void MainFrame::OnDeviceChange(bool arrived)
{
    m_ui.Call("USBDiskMonitoring", {arrived ? 1 : 0});
}

bool MainFrame::StartDeviceMonitor()
{
    if (!m_monitor)
        m_monitor = std::make_unique<platform::DeviceMonitor>([this](bool arrived) { OnDeviceChange(arrived); });
    const bool started = m_monitor->Start();
    if (!started)
        base::LogLess("Device changes cannot be watched: the system's device events cannot be read");
    return started;
}

}  // namespace bridge
