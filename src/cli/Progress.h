// A status line on stderr, redrawn a few times a second while long work runs.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

class Progress {
public:
    // `enabled` false (stderr is no terminal) makes every call a no-op.
    explicit Progress(bool enabled) : m_enabled(enabled) {}
    ~Progress() { Stop(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Starts redrawing; `line` gives the text, with the seconds since Start.
    void Start(std::function<std::string(double seconds)> line);
    // Stops and clears the line.
    void Stop();

private:
    void Run();

    bool m_enabled;
    bool m_running = false;
    std::function<std::string(double)> m_line;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
};

}  // namespace cli
