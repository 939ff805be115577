#include "platform/Process.h"

#include <csignal>
#include <cstdlib>
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
