#include "cli/Progress.h"

#include <chrono>
#include <cstdio>

namespace cli {

void Progress::Start(std::function<std::string(double)> line)
{
    Stop();
    if (!m_enabled)
        return;
    m_line = std::move(line);
    m_running = true;
    m_thread = std::thread([this] { Run(); });
}

void Progress::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

void Progress::Run()
{
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_running) {
        m_wake.wait_for(lock, std::chrono::milliseconds(250));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "\r\033[K%s", m_line(seconds).c_str());
        std::fflush(stderr);
    }
}

}  // namespace cli
