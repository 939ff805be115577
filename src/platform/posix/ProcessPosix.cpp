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

std::string MachineLockPath(const std::string& name)
{
    // Tests that run programs side by side give each its own.
    if (const char* folder = std::getenv("QUENLAR_LOCK_DIR"); folder != nullptr && *folder != '\0')
        return std::string(folder) + "/" + name;
    return std::string(::access("/run/lock", W_OK) == 0 ? "/run/lock/" : "/tmp/") + name;
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
