// Reading a volume chunk by chunk, as the scans that pass over it do: 1 MiB
// at a time, with one retry, a sector-by-sector pass over a chunk that
// fails, and a count of failures in a row so that a failing disk costs little.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace scan {

class VolumeScanner;

constexpr std::uint32_t kChunkSectors = 2048;  // 1 MiB

// Chunks in a row that could not be read at all. A disk that fails every
// read must not cost a pause, a retry and a sector-by-sector pass for each
// of its chunks: only the first failure of a run gets those.
struct FailureRun {
    std::uint32_t chunks = 0;
    std::uint64_t firstSector = 0;  // where the run began
};

// Chunks in a row that fail before the deep scan takes the medium for
// failing: with the skips doubling, the last of them lies some 128 MiB past
// the first.
constexpr std::uint32_t kFailingMediumChunks = 8;

// Reads `count` sectors into `buffer`. A chunk that fails twice is read again
// in pieces and then sector by sector, so that a bad sector costs only
// itself: unreadable sectors read as zeros and are logged. Returns the bytes
// that stand in the buffer (fewer only at the end of the device), 0 when
// nothing could be read or the medium is gone.
std::size_t ReadChunk(VolumeScanner& volume, std::uint64_t sector, std::uint32_t count, std::uint8_t* buffer,
                      FailureRun& failures);

// A buffer of one chunk; empty (logged) when memory is short.
std::vector<std::uint8_t> ChunkBuffer();

}  // namespace scan
