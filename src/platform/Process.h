// Process-level helpers for the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

std::uint32_t CurrentProcessId();

// A lock that one process at a time holds on a file, until it releases it
// or ends (also when it is killed). The file says who holds it.
class ProcessLock {
public:
    ProcessLock() = default;
    ~ProcessLock();
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;

    // Takes the lock on `path` (made when missing) and writes `holder` into
    // it. False when another process holds it: Holder() then tells what that
    // one wrote (or why the file could not be had).
    bool Acquire(const std::string& path, const std::string& holder);
    void Release();
    const std::string& Holder() const { return m_holder; }

private:
    int m_fd = -1;
    void* m_mutex = nullptr;  // Windows: the named mutex that goes with the lock
    std::string m_holder;
};

// Where a lock that names the program for the whole machine lives: `name`
// in /run/lock, or in /tmp where that cannot be written (in the folder
// QUENLAR_LOCK_DIR names, when set: tests run instances side by side).
std::string MachineLockPath(const std::string& name);

// `n` bytes from the system's random source; false when it cannot give them.
bool RandomBytes(void* out, std::size_t n);

// Writes `text` to `path` readable and writable by the owner alone (0600),
// replacing a file of that name (never following a link there).
bool WritePrivateFile(const std::string& path, const std::string& text);
// The first `limit` bytes of a file; false when it cannot be read.
bool ReadSmallFile(const std::string& path, std::string& text, std::size_t limit = 65536);

// Whether standard error is a terminal (progress lines go there only then).
bool StderrIsTerminal();

// Calls `handler` from the signal context on the first interrupt (Ctrl-C);
// a second interrupt ends the process at once. The handler may only do
// what is safe there, such as storing to a lock-free atomic.
void OnInterrupt(void (*handler)());

// `path` made absolute against the current folder (not resolving links);
// `path` itself when it cannot be.
std::string AbsolutePath(const std::string& path);
// The absolute path with links, "." and ".." resolved; "" when it does not exist.
std::string CanonicalPath(const std::string& path);

}  // namespace platform
