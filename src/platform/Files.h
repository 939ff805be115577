// File and folder helpers for the program's own files (log, settings,
// recovered files). Volumes are read through BlockDevice instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The longest name one file or folder may have, in UTF-8 bytes: 255 on
// Linux's file systems; Windows counts 255 UTF-16 units, which a name of 255
// UTF-8 bytes never exceeds.
constexpr std::size_t kMaxNameBytes = 255;

// True when the file can be opened for reading.
bool FileReadable(const std::string& path);
bool IsFolder(const std::string& path);
bool RemoveFile(const std::string& path);
// Renames `from` to `to`, replacing a file already at `to`.
bool MoveFile(const std::string& from, const std::string& to);
bool MakeFolder(const std::string& path);

// A file opened for writing at its end, kept open between writes.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens an existing file or creates a new one. False when neither works.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // The size of the file as it stands on disk.
    std::uint64_t Size() const;
    // Writes all bytes, straight to the system (no buffering in the process;
    // on Windows flushed to the disk as well).
    // Returns the bytes written.
    std::size_t Write(const void* data, std::size_t length);

private:
    int m_fd = -1;
};

std::uint32_t CurrentThreadId();

}  // namespace platform
