#include "platform/BlockDevice.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace platform {
namespace {

bool IsMediumGone(int error)
{
    return error == ENOMEDIUM || error == ENODEV || error == ENXIO;
}

class FileDevice final : public BlockDevice {
public:
    FileDevice(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
    ~FileDevice() override
    {
        if (m_aio != 0)
            syscall(SYS_io_destroy, m_aio);
        ::close(m_fd);
    }
    FileDevice(const FileDevice&) = delete;
    FileDevice& operator=(const FileDevice&) = delete;

    ReadResult ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override
    {
        auto* out = static_cast<unsigned char*>(buffer);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::pread(m_fd, out + done, length - done, static_cast<off_t>(offset + done));
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n == 0)
                break;  // end of the device
            if (errno == EINTR)
                continue;
            const int error = errno;
            return {done, IsMediumGone(error) ? ReadStatus::MediumGone : ReadStatus::Error, error};
        }
        return {done, ReadStatus::Ok, 0};
    }

    std::uint64_t Size() const override { return m_size; }

    // Linux's native asynchronous reads, which on a buffered file or device
    // are made within the one call that hands them over: a system call per
    // batch rather than per read. Where they cannot be had, one by one.
    void ReadMany(Request* requests, std::size_t count) override
    {
        std::size_t done = 0;
        if (count >= kBatched && Context())
            done = Submit(requests, count);
        for (std::size_t i = done; i < count; ++i)
            requests[i].result = ReadAt(requests[i].offset, requests[i].buffer, requests[i].length);
    }

private:
    static constexpr std::size_t kBatched = 16;     // fewer are read one by one
    static constexpr std::size_t kInFlight = 256;   // reads handed over at once

    bool Context()
    {
        if (m_aio == 0 && !m_aioFailed && syscall(SYS_io_setup, kInFlight, &m_aio) != 0) {
            m_aio = 0;
            m_aioFailed = true;
        }
        return m_aio != 0;
    }

    // Reads as many requests as it can, in order; returns how many have
    // their results (the rest are read one by one).
    std::size_t Submit(Request* requests, std::size_t count)
    {
        std::vector<iocb> blocks(std::min(count, kInFlight));
        std::vector<iocb*> pointers(blocks.size());
        std::vector<io_event> events(blocks.size());
        std::size_t done = 0;
        while (done < count) {
            const std::size_t n = std::min(count - done, kInFlight);
            for (std::size_t i = 0; i < n; ++i) {
                Request& r = requests[done + i];
                blocks[i] = {};
                blocks[i].aio_data = done + i;
                blocks[i].aio_lio_opcode = IOCB_CMD_PREAD;
                blocks[i].aio_fildes = static_cast<std::uint32_t>(m_fd);
                blocks[i].aio_buf = reinterpret_cast<std::uintptr_t>(r.buffer);
                blocks[i].aio_nbytes = r.length;
                blocks[i].aio_offset = static_cast<std::int64_t>(r.offset);
                pointers[i] = &blocks[i];
            }
            const long submitted = syscall(SYS_io_submit, m_aio, static_cast<long>(n), pointers.data());
            if (submitted <= 0)
                return done;  // the rest one by one
            long got = 0;
            while (got < submitted) {
                const long e = syscall(SYS_io_getevents, m_aio, submitted - got, submitted - got, events.data() + got,
                                       nullptr);
                if (e < 0 && errno == EINTR)
                    continue;
                if (e <= 0)
                    break;
                got += e;
            }
            if (got < submitted) {
                // Reads handed over whose ends were not heard: none of this
                // batch counts (they are read again one by one).
                m_aioFailed = true;
                syscall(SYS_io_destroy, m_aio);
                m_aio = 0;
                return done;
            }
            for (long i = 0; i < got; ++i) {
                Request& r = requests[events[i].data];
                const long long res = events[i].res;
                if (res >= 0 && static_cast<std::size_t>(res) == r.length)
                    r.result = {r.length, ReadStatus::Ok, 0};
                else  // short or failed: read again one by one, with ReadAt's care
                    r.result = ReadAt(r.offset, r.buffer, r.length);
            }
            done += static_cast<std::size_t>(submitted);
        }
        return done;
    }

    int m_fd;
    std::uint64_t m_size;
    aio_context_t m_aio = 0;
    bool m_aioFailed = false;
};

OpenError Classify(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR: return OpenError::NotFound;
    case EISDIR: return OpenError::IsFolder;
    case EACCES:
    case EPERM: return OpenError::NoPermission;
    default: return OpenError::NotReadable;
    }
}

}  // namespace

OpenResult OpenBlockDevice(const std::string& path)
{
    OpenResult result;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        result.systemError = errno;
        result.error = Classify(errno);
        return result;
    }
    if (S_ISDIR(st.st_mode)) {
        result.systemError = EISDIR;
        result.error = OpenError::IsFolder;
        return result;
    }
    // Only image files and block devices: opening a FIFO would wait for a
    // writer, and a character device is no volume.
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        result.systemError = ENODEV;
        result.error = OpenError::NotAVolume;
        return result;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        result.systemError = errno;
        result.error = Classify(errno);
        return result;
    }
    std::uint64_t size = 0;
    if (S_ISBLK(st.st_mode)) {
        if (::ioctl(fd, BLKGETSIZE64, &size) != 0)
            size = 0;
    } else if (S_ISREG(st.st_mode)) {
        size = static_cast<std::uint64_t>(st.st_size);
    }
    result.device = std::make_unique<FileDevice>(fd, size);
    return result;
}

}  // namespace platform
