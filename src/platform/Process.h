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

// The folder of the files that mark the running program (its instance lock,
// the address of its UI), one that no other user can write: /run/quenlar
// for root, a folder of the user's own otherwise (made when missing, 0700),
// or the folder QUENLAR_LOCK_DIR names (tests run instances side by side).
// Checked before each use: a link, something that is no folder, another
// user's folder or one that others may write is not used; "" then, with
// `problem` saying why.
std::string PrivateRunFolder(std::string* problem = nullptr);
// `name` in that folder; "" (with `problem`) when there is none.
std::string MachineLockPath(const std::string& name, std::string* problem = nullptr);

// Whether the program runs with the system's full rights (root; an elevated
// administrator on Windows).
bool RunsPrivileged();
// Makes `path` readable and writable by its owner alone: created so when
// missing, and an existing file of this user narrowed to that (never
// following a link). For files that hold what a raw disk revealed, when the
// program runs privileged.
bool MakeOwnerOnlyFile(const std::string& path);

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
