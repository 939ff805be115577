#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
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
