// Files written by recovery: created new (never over an existing file),
// written, given a modification time. Also the check that a destination does
// not lie on the device being recovered from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

enum class CreateResult { Created, Exists, Failed };

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates `path`; fails with Exists when something is there already.
    CreateResult CreateNew(const std::string& path);
    // Writes all bytes; returns the bytes written. Fewer: see DiskFull.
    std::size_t Write(const void* data, std::size_t length);
    // Whether the last short write ran out of room on its disk.
    bool DiskFull() const { return m_diskFull; }
    // Sets the modification (and access) time, a UTC FILETIME; 0 leaves it.
    void SetTime(std::uint64_t fileTime);
    void Close();

private:
    int m_fd = -1;
    bool m_diskFull = false;
};

enum class RenameResult { Renamed, Exists, Failed };
// Renames `from` to `to`, never over something already at `to`.
RenameResult RenameNoReplace(const std::string& from, const std::string& to);
// Whether anything (a file, a folder, a link, even a dangling one) has the
// name `path`.
bool PathExists(const std::string& path);

// Whether the folder `destination` lies on the block device `source`, on a
// partition of it, or on the disk that holds it; or, for an image file
// `source`, on a file system served from that file (a loop device on it, or
// a FUSE mount of it).
bool DestinationOnSource(const std::string& source, const std::string& destination);

// Whether `path` names a place without the current folder: "/..." here,
// "C:\..." or "\\server\..." on Windows.
bool IsAbsolutePath(const std::string& path);
// The bytes the caller may still write on the file system of `folder`, and
// the unit it gives files room in (each file takes a whole number of them);
// false when the system does not tell.
bool FreeBytesIn(const std::string& folder, std::uint64_t& bytes, std::uint64_t& unit);
// Whether a new file can be made in the existing folder `folder`: one is
// made, under a name nothing else uses, and removed again.
bool CanCreateIn(const std::string& folder);

}  // namespace platform
