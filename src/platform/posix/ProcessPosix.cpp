#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

void (*g_handler)() = nullptr;

extern "C" void HandleInterrupt(int)
{
    // The next Ctrl-C takes the default action and ends the process.
    std::signal(SIGINT, SIG_DFL);
    if (g_handler)
        g_handler();
}

}  // namespace

std::uint32_t CurrentProcessId()
{
    return static_cast<std::uint32_t>(::getpid());
}

ProcessLock::~ProcessLock()
{
    Release();
}

bool ProcessLock::Acquire(const std::string& path, const std::string& holder)
{
    Release();
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (m_fd < 0) {
        m_holder = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        char text[512] = {};
        const ssize_t n = ::pread(m_fd, text, sizeof text - 1, 0);
        m_holder = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : "another process";
        while (!m_holder.empty() && (m_holder.back() == '\n' || m_holder.back() == '\0'))
            m_holder.pop_back();
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_holder = holder;
    if (::ftruncate(m_fd, 0) == 0) {
        const std::string line = holder + "\n";
        [[maybe_unused]] const ssize_t written = ::pwrite(m_fd, line.data(), line.size(), 0);
    }
    return true;
}

void ProcessLock::Release()
{
    if (m_fd >= 0)
        ::close(m_fd);  // the lock goes with the descriptor
    m_fd = -1;
}

namespace {

// Whether `path` is a folder of this user's that nobody else can write into:
// no link, owned by the effective user, no write for group or others. One
// of root's that others may only read is made 0700.
bool OwnFolder(const std::string& path, std::string& problem)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        problem = path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
        problem = path + " is no folder";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        problem = path + " belongs to another user";
        return false;
    }
    if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
        problem = path + " can be written by others";
        return false;
    }
    return true;
}

// `path` made as a 0700 folder when missing, then checked.
bool OwnFolderMade(const std::string& path, std::string& problem)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot make " + path + ": " + std::strerror(errno);
        return false;
    }
    return OwnFolder(path, problem);
}

}  // namespace

std::string PrivateRunFolder(std::string* problem)
{
    std::string why;
    std::string folder;
    if (const char* given = std::getenv("QUENLAR_LOCK_DIR"); given != nullptr && *given != '\0') {
        if (OwnFolder(given, why))
            folder = given;
    } else if (::geteuid() == 0) {
        // /run belongs to root and is written by nobody else.
        if (OwnFolderMade("/run/quenlar", why))
            folder = "/run/quenlar";
    } else {
        // The user's runtime folder (0700, the user's own) when it is one;
        // else a folder of the user's own in /tmp, where another user may
        // have made one of that name first: it is then not used.
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::string ignored;
        if (runtime != nullptr && runtime[0] == '/' && OwnFolder(runtime, ignored) &&
            OwnFolderMade(std::string(runtime) + "/quenlar", why))
            folder = std::string(runtime) + "/quenlar";
        else if (const std::string tmp = "/tmp/quenlar-" + std::to_string(::geteuid()); OwnFolderMade(tmp, why))
            folder = tmp;
    }
    if (problem != nullptr)
        *problem = folder.empty() ? why : std::string();
    return folder;
}

std::string MachineLockPath(const std::string& name, std::string* problem)
{
    const std::string folder = PrivateRunFolder(problem);
    return folder.empty() ? std::string() : folder + "/" + name;
}

bool RunsPrivileged()
{
    return ::geteuid() == 0;
}

bool MakeOwnerOnlyFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
        ok = ::fchmod(fd, st.st_mode & 0700) == 0;
    ::close(fd);
    return ok;
}

bool RandomBytes(void* out, std::size_t n)
{
    auto* bytes = static_cast<unsigned char*>(out);
    while (n != 0) {
        const ssize_t got = ::getrandom(bytes, n, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool WritePrivateFile(const std::string& path, const std::string& text)
{
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, 0600) == 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        ::unlink(path.c_str());
    return ok;
}

bool ReadSmallFile(const std::string& path, std::string& text, std::size_t limit)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    text.assign(limit, '\0');
    std::size_t done = 0;
    while (done < limit) {
        const ssize_t n = ::read(fd, text.data() + done, limit - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(done);
    return true;
}

bool StderrIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

void OnInterrupt(void (*handler)())
{
    g_handler = handler;
    struct sigaction action {};
    action.sa_handler = HandleInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

std::string CanonicalPath(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return {};
    std::string result(resolved);
    std::free(resolved);
    return result;
}

std::string AbsolutePath(const std::string& path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr)
        return path;
    std::string result(cwd);
    std::free(cwd);
    if (result.back() != '/')
        result += '/';
    return result + path;
}

}  // namespace platform
