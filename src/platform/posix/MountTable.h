// The mount table of this process (/proc/self/mountinfo), one entry a mount.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct MountEntry {
    unsigned major = 0;   // the device number of the mounted file system
    unsigned minor = 0;
    std::string point;    // where it is mounted
    std::string options;  // the mount's own options ("rw,relatime", ...)
    std::string fsType;
    std::string source;   // a device node, an image file (FUSE), or anything
};

// Paths and sources with their \ooo escapes undone.
std::vector<MountEntry> ReadMountTable();

}  // namespace platform
