#include "platform/OutputFile.h"

#include "platform/posix/MountTable.h"
#include "platform/posix/WriteAll.h"

#include "platform/Time.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform {

OutputFile::~OutputFile()
{
    Close();
}

CreateResult OutputFile::CreateNew(const std::string& path)
{
    Close();
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (m_fd >= 0)
        return CreateResult::Created;
    return errno == EEXIST ? CreateResult::Exists : CreateResult::Failed;
}

std::size_t OutputFile::Write(const void* data, std::size_t length)
{
    const std::size_t done = WriteAll(m_fd, data, length);
    m_diskFull = done < length && (errno == ENOSPC || errno == EDQUOT);
    return done;
}

RenameResult RenameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return RenameResult::Renamed;
    if (errno == EEXIST)
        return RenameResult::Exists;
    if (errno != EINVAL && errno != ENOSYS)
        return RenameResult::Failed;
    // A file system without the flag: a hard link fails on an existing name.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno == EEXIST ? RenameResult::Exists : RenameResult::Failed;
    ::unlink(from.c_str());
    return RenameResult::Renamed;
}

bool PathExists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void OutputFile::SetTime(std::uint64_t fileTime)
{
    if (m_fd < 0 || fileTime <= kUnixEpochAsFileTime)
        return;
    const std::uint64_t ticks = fileTime - kUnixEpochAsFileTime;
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(ticks / 10000000ULL);
    times[0].tv_nsec = static_cast<long>((ticks % 10000000ULL) * 100);
    times[1] = times[0];
    ::futimens(m_fd, times);
}

void OutputFile::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

namespace {

// The sysfs path of a block device number, e.g. .../block/sdb/sdb1.
std::string SysfsOf(dev_t device)
{
    const std::string link = "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    char resolved[PATH_MAX];
    if (::realpath(link.c_str(), resolved) == nullptr)
        return {};
    return resolved;
}

bool Within(const std::string& inner, const std::string& outer)
{
    return !outer.empty() && inner.size() >= outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
           (inner.size() == outer.size() || inner[outer.size()] == '/');
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether block device `device` is a loop device (or a partition of one)
// that serves the file `image`.
bool LoopOf(dev_t device, const struct stat& image)
{
    std::string sysfs = SysfsOf(device);
    const std::size_t loop = sysfs.rfind("/loop");
    if (loop == std::string::npos)
        return false;
    // .../block/loop3 or .../block/loop3/loop3p1: the loop device's own folder.
    const std::size_t end = sysfs.find('/', loop + 1);
    sysfs = sysfs.substr(0, end);
    std::ifstream in(sysfs + "/loop/backing_file");
    std::string backing;
    struct stat st {};
    return std::getline(in, backing) && ::stat(backing.c_str(), &st) == 0 && SameFile(st, image);
}

// Whether the file system that holds `dst` is served from the image file
// `image`: a kernel mount of a loop device on it, or a FUSE mount of the file
// itself (ntfs-3g) or of a loop device on it (exfat-fuse).
bool MountedFrom(const struct stat& dst, const struct stat& image)
{
    if (LoopOf(dst.st_dev, image))
        return true;
    for (const MountEntry& mount : ReadMountTable()) {
        if (::makedev(mount.major, mount.minor) != dst.st_dev || mount.source.empty() || mount.source[0] != '/')
            continue;
        struct stat st {};
        if (::stat(mount.source.c_str(), &st) != 0)
            continue;
        if (SameFile(st, image) || (S_ISBLK(st.st_mode) && LoopOf(st.st_rdev, image)))
            return true;
    }
    return false;
}

}  // namespace

bool DestinationOnSource(const std::string& source, const std::string& destination)
{
    struct stat src {};
    struct stat dst {};
    if (::stat(source.c_str(), &src) != 0 || ::stat(destination.c_str(), &dst) != 0)
        return false;
    if (S_ISREG(src.st_mode))
        return MountedFrom(dst, src);
    if (!S_ISBLK(src.st_mode))
        return false;
    if (dst.st_dev == src.st_rdev)
        return true;
    const std::string a = SysfsOf(src.st_rdev);
    const std::string b = SysfsOf(dst.st_dev);
    return Within(a, b) || Within(b, a);
}

bool IsAbsolutePath(const std::string& path)
{
    return !path.empty() && path[0] == '/';
}

bool FreeBytesIn(const std::string& folder, std::uint64_t& bytes, std::uint64_t& unit)
{
    struct statvfs st {};
    if (::statvfs(folder.c_str(), &st) != 0)
        return false;
    bytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
    unit = st.f_frsize != 0 ? st.f_frsize : 4096;
    return true;
}

bool CanCreateIn(const std::string& folder)
{
    // A name of our own with the process and a counter, made new (never an
    // existing file or a link followed), and removed at once.
    static std::atomic<unsigned> counter {0};
    const std::string probe = folder + (folder.empty() || folder.back() != '/' ? "/" : "") + ".quenlar-probe-" +
                              std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

}  // namespace platform
