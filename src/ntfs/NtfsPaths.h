// Folder paths of NTFS results, rebuilt from the parent references of the
// folder records a scan has met.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace scan {


struct FolderEntry {
    std::uint32_t recordNumber = 0;
    std::uint32_t parent = 0;  // low 32 bits of the $FILE_NAME parent reference
    std::string name;          // UTF-8
    std::uint16_t flags = 0;   // record flags; bit 1 folder
};

// A result whose path could not be built when its record was met.
struct PendingPath {
    std::uint32_t index = 0;   // position in the results
    std::uint32_t parent = 0;
};

// The folder map and the waiting results of one scan run.
struct NtfsPathState {
    std::map<std::uint32_t, FolderEntry> folders;  // by record number; the first entry of a number stays
    std::vector<PendingPath> pending;

    void Clear()
    {
        folders.clear();
        pending.clear();
    }
};

constexpr const char* kLostDir = "lost_dir\\";

// The folder path ("A\\B\\", "" for the root) of a file whose parent record
// is `parent`, or false when the chain of folders is broken or loops.
bool ResolveNtfsPath(const NtfsPathState& state, std::uint32_t parent, std::string& path);

// The path of a result after every record was read: as far as the chain
// goes, under "lost_dir\\" where it breaks. Returns false when it broke.
bool FinalNtfsPath(const NtfsPathState& state, std::uint32_t parent, std::string& path);

}  // namespace scan
