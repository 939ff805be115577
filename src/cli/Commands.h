// The command-line front end's commands. Each returns the process exit code:
// 0 done, 1 the work failed (the reason went to stderr).
#pragma once

#include <string>

namespace scan {
class VolumeScanner;
}

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Opens `path` and checks that it holds a known file system with usable
// geometry; otherwise prints one line to stderr and returns false.
bool OpenVolume(const std::string& path, scan::VolumeScanner& volume);

struct ProbeOptions {
    std::string volume;
    bool json = false;
};
int RunProbe(const ProbeOptions& options);

}  // namespace cli
