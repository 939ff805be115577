#include "platform/BlockDevice.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

bool IsMediumGone(int error)
{
    return error == ENOMEDIUM || error == ENODEV || error == ENXIO;
}

class FileDevice final : public BlockDevice {
public:
    FileDevice(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
    ~FileDevice() override { ::close(m_fd); }
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

private:
    int m_fd;
    std::uint64_t m_size;
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
