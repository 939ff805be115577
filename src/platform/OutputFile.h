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
    // Writes all bytes; returns the bytes written.
    std::size_t Write(const void* data, std::size_t length);
    // Sets the modification (and access) time, a UTC FILETIME; 0 leaves it.
    void SetTime(std::uint64_t fileTime);
    void Close();

private:
    int m_fd = -1;
};

// Whether the folder `destination` lies on the block device `source`, on a
// partition of it, or on the disk that holds it. False for image files.
bool DestinationOnSource(const std::string& source, const std::string& destination);

}  // namespace platform
