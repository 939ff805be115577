// Process-level helpers for the command line.
#pragma once

#include <string>

namespace platform {

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
