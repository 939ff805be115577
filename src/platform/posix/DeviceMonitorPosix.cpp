#include "platform/DeviceMonitor.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace platform {

struct DeviceMonitor::State {
    std::function<void(bool)> changed;
    int debounceMs = 250;
    int socket = -1;
    int wake[2] = {-1, -1};  // written to end the thread
    std::thread thread;
};

namespace {

// What one kernel uevent says: "add@/devices/...\0ACTION=add\0SUBSYSTEM=block\0...".
// +1 a block device arrived, -1 one was removed, 0 anything else.
int EventKind(const char* data, std::size_t length)
{
    bool block = false;
    int kind = 0;
    for (std::size_t at = 0; at < length;) {
        const std::string field(data + at, strnlen(data + at, length - at));
        if (field == "SUBSYSTEM=block")
            block = true;
        else if (field == "ACTION=add")
            kind = 1;
        else if (field == "ACTION=remove")
            kind = -1;
        at += field.size() + 1;
    }
    return block ? kind : 0;
}

}  // namespace

DeviceMonitor::DeviceMonitor(std::function<void(bool)> changed, int debounceMs) : m_state(std::make_unique<State>())
{
    m_state->changed = std::move(changed);
    m_state->debounceMs = debounceMs;
}

DeviceMonitor::~DeviceMonitor()
{
    Stop();
}

bool DeviceMonitor::Start()
{
    if (m_state->socket >= 0)
        return true;
    const int s = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (s < 0)
        return false;
    sockaddr_nl address {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // the kernel's own events
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::pipe2(m_state->wake, O_CLOEXEC) != 0) {
        ::close(s);
        return false;
    }
    m_state->socket = s;
    State* state = m_state.get();
    state->thread = std::thread([state] {
        int pending = 0;  // the kind of the burst not told yet
        char buffer[8192];
        while (true) {
            pollfd fds[2] = {{state->socket, POLLIN, 0}, {state->wake[0], POLLIN, 0}};
            const int ready = ::poll(fds, 2, pending != 0 ? state->debounceMs : -1);
            if (ready < 0)
                continue;
            if ((fds[1].revents & POLLIN) != 0)
                return;
            if (ready == 0) {
                state->changed(pending > 0);
                pending = 0;
                continue;
            }
            const ssize_t n = ::recv(state->socket, buffer, sizeof buffer, 0);
            if (n <= 0)
                continue;
            const int kind = EventKind(buffer, static_cast<std::size_t>(n));
            if (kind == 0)
                continue;
            // A burst of the other kind tells the one before it first.
            if (pending != 0 && kind != pending)
                state->changed(pending > 0);
            pending = kind;
        }
    });
    return true;
}

void DeviceMonitor::Stop()
{
    if (m_state->socket < 0)
        return;
    const char stop = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_state->wake[1], &stop, 1);
    if (m_state->thread.joinable())
        m_state->thread.join();
    ::close(m_state->socket);
    ::close(m_state->wake[0]);
    ::close(m_state->wake[1]);
    m_state->socket = -1;
}

}  // namespace platform
