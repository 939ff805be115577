// The process-wide request to stop running work. 0: run. Any other value:
// stop at the next test. Bit 0 set: a deep scan keeps its results and its
// position so that it can be resumed.
#pragma once

#include <atomic>
#include <cstdint>

namespace base {

inline std::atomic<std::int32_t> StopRequest {0};

constexpr std::int32_t kStopKeep = 1;     // stop, keep the deep scan's results
constexpr std::int32_t kStopDiscard = 2;  // stop, keep nothing

inline bool StopRequested()
{
    return StopRequest.load(std::memory_order_relaxed) != 0;
}

inline bool StopKeepsResults()
{
    return (StopRequest.load(std::memory_order_relaxed) & kStopKeep) != 0;
}

}  // namespace base
