// Raw, read-only access to a volume: a block device, an image file, or a
// byte buffer held in memory (tests and fuzzing). Every read of a volume in
// the system goes through this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum class ReadStatus {
    Ok,          // bytes were read (possibly fewer than asked, at the end)
    Error,       // an ordinary read error; the device is still there
    MediumGone,  // the medium was removed or the device vanished
};

struct ReadResult {
    std::size_t bytes = 0;
    ReadStatus status = ReadStatus::Ok;
    int error = 0;  // the system's error number, 0 when none
};

class BlockDevice {
public:
    virtual ~BlockDevice() = default;
    // Reads up to `length` bytes at `offset`. Short only at the end of the
    // device or on an error.
    virtual ReadResult ReadAt(std::uint64_t offset, void* buffer, std::size_t length) = 0;
    // Size in bytes, 0 when the device does not tell.
    virtual std::uint64_t Size() const = 0;

    // One read of many: what ReadAt would be asked, and what it answered.
    struct Request {
        std::uint64_t offset = 0;
        void* buffer = nullptr;
        std::size_t length = 0;
        ReadResult result;
    };
    // Makes every read of `requests`, each as ReadAt would (a device may
    // hand them to the system together, which saves a call each where many
    // small reads are what costs).
    virtual void ReadMany(Request* requests, std::size_t count);
};

enum class OpenError {
    None,
    NotFound,
    IsFolder,
    NoPermission,
    NotAVolume,   // neither a block device nor a regular file
    NotReadable,  // anything else the system refused
};

struct OpenResult {
    std::unique_ptr<BlockDevice> device;
    OpenError error = OpenError::None;
    int systemError = 0;
};

// Opens a block device or an image file for reading only. The source of a
// recovery is never opened for writing.
OpenResult OpenBlockDevice(const std::string& path);

// A volume held in memory. `failAt` lets tests make one byte range unreadable.
class MemoryDevice final : public BlockDevice {
public:
    explicit MemoryDevice(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    MemoryDevice(const std::uint8_t* data, std::size_t size) : m_bytes(data, data + size) {}

    ReadResult ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;
    std::uint64_t Size() const override { return m_bytes.size(); }

    // Reads touching [begin, end) fail with `status`.
    void FailRange(std::uint64_t begin, std::uint64_t end, ReadStatus status)
    {
        m_failBegin = begin;
        m_failEnd = end;
        m_failStatus = status;
    }
    std::uint64_t ReadCalls() const { return m_readCalls; }
    // Also counts reads into a counter that outlives the device.
    void CountReadsInto(std::uint64_t* counter) { m_externalCounter = counter; }
    std::vector<std::uint8_t>& Bytes() { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
    std::uint64_t m_failBegin = 0;
    std::uint64_t m_failEnd = 0;
    ReadStatus m_failStatus = ReadStatus::Error;
    std::uint64_t m_readCalls = 0;
    std::uint64_t* m_externalCounter = nullptr;
};

// A part of another device, from `offset` bytes on: a volume found inside a
// disk that no partition table names any more.
class SliceDevice final : public BlockDevice {
public:
    SliceDevice(std::unique_ptr<BlockDevice> whole, std::uint64_t offset) : m_whole(std::move(whole)), m_offset(offset) {}

    ReadResult ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;
    std::uint64_t Size() const override;
    void ReadMany(Request* requests, std::size_t count) override;

private:
    std::unique_ptr<BlockDevice> m_whole;
    std::uint64_t m_offset;
};

// How a volume at sector `sector` (512-byte units) of `disk` is named:
// "DISK@SECTOR".
std::string VolumeAtName(const std::string& disk, std::uint64_t sector);
// The disk and sector of such a name; false for a name of no such form.
bool SplitVolumeAtName(const std::string& name, std::string& disk, std::uint64_t& sector);

const char* DescribeOpenError(OpenError error);

}  // namespace platform
