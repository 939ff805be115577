#include "platform/Files.h"

#include "platform/posix/WriteAll.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

bool FileReadable(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool IsFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

bool MoveFile(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool MakeFolder(const std::string& path)
{
    return ::mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && IsFolder(path));
}

AppendFile::~AppendFile()
{
    Close();
}

bool AppendFile::Open(const std::string& path)
{
    Close();
    // Run as root, the file holds what raw disks revealed (names of files,
    // deleted ones too): only root may read it then.
    const bool privileged = ::geteuid() == 0;
    m_fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, privileged ? 0600 : 0644);
    struct stat st {};
    if (m_fd >= 0 && privileged && ::fstat(m_fd, &st) == 0 && st.st_uid == 0 && (st.st_mode & 077) != 0)
        ::fchmod(m_fd, st.st_mode & 0700);
    return m_fd >= 0;
}

void AppendFile::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::uint64_t AppendFile::Size() const
{
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

std::size_t AppendFile::Write(const void* data, std::size_t length)
{
    return WriteAll(m_fd, data, length);
}

std::uint32_t CurrentThreadId()
{
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

}  // namespace platform
