#include "volume/ChunkRead.h"

#include "base/Log.h"
#include "volume/VolumeScanner.h"

#include "base/Checked.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

namespace scan {
namespace {

constexpr std::size_t kSectorBytes = 512;

}  // namespace

// Reads `count` sectors into `buffer`. A chunk that fails twice is read again
// in pieces and then sector by sector, so that a bad sector costs only
// itself: unreadable sectors read as zeros and are logged. Returns the bytes
// that stand in the buffer (fewer only at the end of the device), 0 when
// nothing could be read or the medium is gone.
std::size_t ReadChunk(VolumeScanner& volume, std::uint64_t sector, std::uint32_t count, std::uint8_t* buffer,
                      FailureRun& failures)
{
    const std::size_t bytes = std::size_t {count} * kSectorBytes;
    std::size_t got = volume.ReadSectors(sector, bytes, buffer);
    if (got == 0 && volume.DeviceOpen() && failures.chunks != 0) {
        // Failing still: taken as it is.
        ++failures.chunks;
        volume.m_unreadableSectors += count;
        return 0;
    }
    if (got == 0 && volume.DeviceOpen()) {
        if (volume.m_deep.retryDelayMs != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(volume.m_deep.retryDelayMs));
        got = volume.ReadSectors(sector, bytes, buffer);
        if (got == 0 && volume.DeviceOpen()) {
            const VolumeScanner::SalvagedRead salvaged = volume.SalvageSectors(sector, bytes, buffer);
            got = salvaged.unreadableSectors * kSectorBytes >= salvaged.bytes ? 0 : salvaged.bytes;
            if (got == 0) {
                failures = {1, sector};
                return 0;
            }
        }
    }
    if (got != 0)
        failures.chunks = 0;
    return got;
}

std::vector<std::uint8_t> ChunkBuffer()
{
    try {
        return std::vector<std::uint8_t>(std::size_t {kChunkSectors} * kSectorBytes);
    } catch (const std::bad_alloc&) {
        base::LogLess("Memory is not enough!");
        return {};
    }
}

// The reader and the pass hand a chunk back and forth once per chunk. A
// wait that ends within a read's time (a page-cache read of 1 MiB takes
// some 100 us) is spun out: putting a thread to sleep and waking it costs
// as much again, most of all in a virtual machine, where a warm pass would
// otherwise run slower with the reader than without it.
struct ReadAhead::Worker {
    enum Phase : int { kIdle, kAsked, kDone };

    std::shared_ptr<platform::BlockDevice> device;
    std::uint64_t baseSector = 0;
    std::atomic<std::uint64_t>& bytesRead;
    std::atomic<std::uint64_t>& reads;
    std::vector<std::uint8_t> buffer;

    std::atomic<int> phase {kIdle};
    std::atomic<bool> quit {false};
    std::atomic<int> sleepers {0};
    std::mutex lock;
    std::condition_variable changed;
    // The read asked for, and what it placed in `buffer`: written by the
    // side whose turn it is (the phase says whose).
    std::uint64_t sector = 0;
    std::uint32_t count = 0;
    std::size_t got = 0;
    unsigned passSlept = 0;    // the long waits in a row of the pass's thread
    unsigned readerSlept = 0;  // and of the reader's
    std::thread thread;

    explicit Worker(VolumeScanner& volume)
        : device(volume.m_device), baseSector(volume.m_baseSector), bytesRead(volume.m_bytesRead),
          reads(volume.m_reads), buffer(ChunkBuffer())
    {
        if (device && !buffer.empty())
            thread = std::thread([this] { Run(); });
    }

    ~Worker()
    {
        quit = true;
        Wake();
        if (thread.joinable())
            thread.join();
    }

    // Waits until `ready` holds: spinning for a while, then asleep. A side
    // whose waits were long of late (reads from the disk itself, not from
    // the cache) sleeps at once, and tries spinning again now and then;
    // `slept` counts its long waits in a row.
    template <typename Ready>
    void Await(Ready ready, unsigned& slept)
    {
        const bool spin = slept < 4 || slept % 32 == 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(spin ? 200 : 0);
        for (unsigned spins = 0; !ready(); ++spins) {
            if ((!spin || (spins & 63) == 63) && std::chrono::steady_clock::now() > until) {
                std::unique_lock<std::mutex> hold(lock);
                ++sleepers;
                changed.wait(hold, ready);
                --sleepers;
                slept = std::min(slept + 1, 1u << 20);
                return;
            }
            std::this_thread::yield();
        }
        slept = 0;
    }

    // Wakes the side that sleeps in Await, if it does. (The sleeper counts
    // itself before it looks at the phase, and the phase is changed before
    // the sleepers are looked at, so one of the two sees the other.)
    void Wake()
    {
        if (sleepers.load() == 0)
            return;
        { std::lock_guard<std::mutex> hold(lock); }
        changed.notify_all();
    }

    void Run()
    {
        for (;;) {
            Await([this] { return quit.load() || phase.load() == kAsked; }, readerSlept);
            if (quit)
                return;
            const std::size_t length = std::size_t {count} * kSectorBytes;
            std::uint64_t offset = 0;
            std::size_t read = 0;
            if (base::CheckedAdd(baseSector, sector, offset) &&
                base::CheckedMul(offset, std::uint64_t {kSectorBytes}, offset)) {
                reads.fetch_add(1, std::memory_order_relaxed);
                const platform::ReadResult r = device->ReadAt(offset, buffer.data(), length);
                bytesRead.fetch_add(r.bytes, std::memory_order_relaxed);
                if (r.status == platform::ReadStatus::Ok && r.bytes == length)
                    read = length;
            }
            got = read;  // (a failed read leaves nothing to take)
            phase = kDone;
            Wake();
        }
    }
};

ReadAhead::ReadAhead(VolumeScanner& volume) : m_worker(std::make_unique<Worker>(volume)) {}

ReadAhead::~ReadAhead() = default;

void ReadAhead::Start(std::uint64_t sector, std::uint32_t count)
{
    Worker& w = *m_worker;
    if (!w.thread.joinable() || count == 0 || count > kChunkSectors)
        return;
    w.Await([&w] { return w.phase.load() != Worker::kAsked; }, w.passSlept);
    w.sector = sector;
    w.count = count;
    w.got = 0;
    w.phase = Worker::kAsked;
    w.Wake();
}

std::size_t ReadAhead::Take(std::uint64_t sector, std::uint32_t count, std::vector<std::uint8_t>& buffer)
{
    Worker& w = *m_worker;
    if (!w.thread.joinable() || w.phase.load() == Worker::kIdle)
        return 0;
    w.Await([&w] { return w.phase.load() != Worker::kAsked; }, w.passSlept);
    const bool holds = w.got != 0 && w.sector == sector && count <= w.count && buffer.size() == w.buffer.size();
    w.phase = Worker::kIdle;
    if (!holds)
        return 0;
    buffer.swap(w.buffer);
    return std::size_t {count} * kSectorBytes;
}

}  // namespace scan
