#include "bridge/MainFrame.h"

#include "base/Log.h"
#include "base/StopRequest.h"
#include "platform/Shell.h"
#include "scan/VolumeScanner.h"

#include <thread>

namespace bridge {

MainFrame::MainFrame(UiChannel& ui, WorkerTiming timing) : m_ui(ui), m_timing(timing) {}

MainFrame::~MainFrame()
{
    if (m_monitor)
        m_monitor->Stop();
    ReleaseCurrentScan();
    // The path streamer and folder listings set no work bit: ask them to end
    // and wait for them, so that none outlives the state it uses.
    m_closing = true;
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

void MainFrame::SetCurrentReader(std::shared_ptr<scan::VolumeScanner> reader)
{
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_currentReader = std::move(reader);
    }
    Wake();
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

void MainFrame::ReportWorkEnd(std::uint32_t operation, int status)
{
    // The bits go first: the documents, told asynchronously, may start the
    // next work as soon as they hear of the end.
    m_workFlag.fetch_and(~operation);
    Wake();
    m_ui.Call("SetWorkEnd", {static_cast<std::int64_t>(operation), status, static_cast<int>(base::StopRequest.load())});
}

void MainFrame::ReleaseCurrentScan()
{
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_scanSubPath.clear();
    }
    // Every worker ends at its next test of a stop request; until then the
    // UI waits, as it asked them to stop first.
    while (m_workFlag.load() != 0)
        Nap(m_timing.releaseWait);
    // A listing or the path streamer may still hold the volume: it goes when
    // the last of them lets go of it.
    SetCurrentReader(nullptr);
    m_lastFinishedScan = 0;
    ClearPendingBatch();
}

void MainFrame::LockPendingBatch()
{
    while (m_pendingBatchLock.exchange(1) == 1)
        std::this_thread::sleep_for(m_timing.batchPause);
}

void MainFrame::UnlockPendingBatch()
{
    m_pendingBatchLock.store(0);
}

bool MainFrame::TakePendingBatch(Value& batch)
{
    LockPendingBatch();
    const bool held = !(m_pendingBatch == Value(0));
    if (held) {
        batch = std::move(m_pendingBatch);
        m_pendingBatch = Value(0);
    }
    UnlockPendingBatch();
    if (held)
        Wake();  // the path streamer may hand on the next one
    return held;
}

bool MainFrame::PendingBatchEmpty()
{
    LockPendingBatch();
    const bool empty = m_pendingBatch == Value(0);
    UnlockPendingBatch();
    return empty;
}

bool MainFrame::PutPendingBatch(Value batch)
{
    LockPendingBatch();
    const bool empty = m_pendingBatch == Value(0);
    if (empty) {
        m_pendingBatch = std::move(batch);
    } else {
        // The UI has not taken the last one: give it a moment, then drop
        // this batch (its folders come again when their counts change).
        std::this_thread::sleep_for(m_timing.slotWait);
    }
    UnlockPendingBatch();
    return empty;
}

void MainFrame::ClearPendingBatch()
{
    LockPendingBatch();
    m_pendingBatch = Value(0);
    UnlockPendingBatch();
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
