#include "volume/ChunkRead.h"

#include "base/Log.h"
#include "volume/VolumeScanner.h"

#include <chrono>
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

}  // namespace scan
