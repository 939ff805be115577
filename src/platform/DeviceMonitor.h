// Block devices coming and going (a USB disk plugged in, a partition added),
// told from a thread of the monitor's own. Linux: the kernel's uevents over
// netlink, read directly (no udev daemon is needed).
#pragma once

#include <functional>
#include <memory>

namespace platform {

class DeviceMonitor {
public:
    // `changed(true)` when block devices arrived, `changed(false)` when some
    // were removed. A burst of events of one kind (a disk and its
    // partitions) is told once, `debounceMs` after its last event.
    explicit DeviceMonitor(std::function<void(bool arrived)> changed, int debounceMs = 250);
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // False when the system's device events cannot be read.
    bool Start();
    void Stop();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace platform
