#include "platform/Shell.h"

#include "platform/Shared.h"

#include "platform/Process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {
namespace {

bool UserOf(uid_t uid, DesktopUser& user)
{
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return false;
    user.uid = found->pw_uid;
    user.gid = found->pw_gid;
    user.name = found->pw_name;
    user.home = found->pw_dir;
    user.known = true;
    return true;
}

// A uid from an environment variable; false when there is none.
bool UidFrom(const char* variable, uid_t& uid)
{
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value == 0 || value > 0xFFFFFFFEul)
        return false;
    uid = static_cast<uid_t>(value);
    return true;
}

// XDG_DESKTOP_DIR="$HOME/Desktop" in ~/.config/user-dirs.dirs.
std::string UserDirsEntry(const DesktopUser& user, const std::string& key)
{
    std::ifstream in(user.home + "/.config/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=\"", 0) != 0 || line.back() != '"')
            continue;
        std::string value = line.substr(key.size() + 2, line.size() - key.size() - 3);
        if (value.rfind("$HOME", 0) == 0)
            value = user.home + value.substr(5);
        if (!value.empty() && value[0] == '/')
            return value;
    }
    return {};
}

bool ExecutableOnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return false;
}

}  // namespace

DesktopUser FindDesktopUser()
{
    DesktopUser user;
    uid_t uid = ::getuid();
    if (uid == 0 && !UidFrom("SUDO_UID", uid) && !UidFrom("PKEXEC_UID", uid)) {
        // Root, and no desktop user named: the caller must not act for one.
        UserOf(0, user);
        user.known = false;
        return user;
    }
    UserOf(uid, user);
    return user;
}

namespace {

// Makes `path` and the folders above it that are missing (as the user we
// run as), mode 0700; false when one cannot be made.
bool MakeFolders(const std::string& path)
{
    for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        if (::mkdir(path.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (at == std::string::npos)
            return true;
    }
}

// The same, done by a child that runs as `user`: what a user's home holds
// (a link in place of a folder, say) then leads only where they may write.
bool MakeFoldersAs(const DesktopUser& user, const std::string& path)
{
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        const bool made = ::setgroups(0, nullptr) == 0 && ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0 &&
                          MakeFolders(path);
        ::_exit(made ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string EnterUserDataFolder()
{
    const DesktopUser user = FindDesktopUser();
    struct stat home {};
    if (user.home.empty() || user.home[0] != '/' || ::stat(user.home.c_str(), &home) != 0 || !S_ISDIR(home.st_mode) ||
        home.st_uid != user.uid)
        return "";  // (a system user's "/nonexistent" is not made)
    if (::getuid() == user.uid) {
        // The user themselves: their own folders, as they set them.
        const char* dataHome = std::getenv("XDG_DATA_HOME");
        const std::string folder =
            (dataHome != nullptr && dataHome[0] == '/' ? std::string(dataHome) : user.home + "/.local/share") + "/quenlar";
        return MakeFolders(folder) && ::chdir(folder.c_str()) == 0 ? folder : "";
    }
    // Root, for the desktop user. The folders above ours are made as theirs
    // (by a child that runs as them); ours is root's and only root may write
    // in it, so that nothing the user puts there (a link named like the log)
    // turns a write of ours into one elsewhere. It is made and entered
    // through the folder above it, held open once it is known to be the
    // user's and in their home with every link followed.
    const std::string base = user.home + "/.local/share";
    if (!MakeFoldersAs(user, base))
        return "";
    const int baseFd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (baseFd < 0)
        return "";
    char homeReal[PATH_MAX] = {};
    char where[PATH_MAX] = {};
    const std::string self = "/proc/self/fd/" + std::to_string(baseFd);
    const ssize_t n = ::readlink(self.c_str(), where, sizeof where - 1);
    struct stat st {};
    bool entered = ::fstat(baseFd, &st) == 0 && st.st_uid == user.uid && n > 0 &&
                   ::realpath(user.home.c_str(), homeReal) != nullptr &&
                   std::string(where, static_cast<std::size_t>(n)).rfind(std::string(homeReal) + "/", 0) == 0 &&
                   (::mkdirat(baseFd, "quenlar", 0755) == 0 || errno == EEXIST);
    if (entered) {
        const int fd = ::openat(baseFd, "quenlar", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        entered = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
                  (st.st_mode & 022) == 0 && ::fchdir(fd) == 0;
        if (fd >= 0)
            ::close(fd);
    }
    ::close(baseFd);
    return entered ? base + "/quenlar" : "";
}

std::string UserFolderPath(const DesktopUser& user, UserFolder folder)
{
    if (folder == UserFolder::Home)
        return user.home;
    const bool desktop = folder == UserFolder::Desktop;
    const std::string set = UserDirsEntry(user, desktop ? "XDG_DESKTOP_DIR" : "XDG_DOCUMENTS_DIR");
    if (!set.empty())
        return set;
    return user.home + (desktop ? "/Desktop" : "/Documents");
}

namespace {

// Starts `args` for the desktop user: dropped to that user's ids first when
// we run as root, with their home, name and runtime folder in an otherwise
// unchanged environment (display, session bus). False when it could not be
// started. Nobody waits for it; a thread reaps it.
bool SpawnForDesktop(const DesktopUser& user, std::vector<std::string> args)
{
    // Built here, before the spawn: a process with threads must not do more
    // than exec in a child.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        if (entry.rfind("HOME=", 0) != 0 && entry.rfind("USER=", 0) != 0 && entry.rfind("LOGNAME=", 0) != 0 &&
            entry.rfind("XDG_RUNTIME_DIR=", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("HOME=" + user.home);
    env.push_back("USER=" + user.name);
    env.push_back("LOGNAME=" + user.name);
    const std::string runtime = "/run/user/" + std::to_string(user.uid);
    if (::access(runtime.c_str(), X_OK) == 0)
        env.push_back("XDG_RUNTIME_DIR=" + runtime);
    if (::getuid() == 0) {
        // Root drops to the desktop user before anything of the desktop runs.
        args.insert(args.begin(), {"setpriv", "--reuid=" + std::to_string(user.uid),
                                   "--regid=" + std::to_string(user.gid), "--init-groups", "--"});
    }
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    pid_t pid = 0;
    const int failed = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return false;
    std::thread([pid] {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
    return true;
}

// A folder of the desktop user's own, for a file meant for them alone: their
// runtime folder (/run/user/UID) when it is theirs and closed to others,
// else a new folder in /tmp made theirs. "" when there is none.
std::string PrivateFolderOf(const DesktopUser& user)
{
    const std::string runtime = "/run/user/" + std::to_string(user.uid);
    struct stat st {};
    if (::lstat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == user.uid &&
        (st.st_mode & 077) == 0)
        return runtime;
    std::string folder = "/tmp/quenlar-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr)
        return {};
    if (::getuid() == 0 && ::chown(folder.c_str(), user.uid, user.gid) != 0) {
        ::rmdir(folder.c_str());
        return {};
    }
    return folder;
}

}  // namespace

int OpenWithShell(const std::string& path)
{
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return 2;  // the file or folder does not exist
    const DesktopUser user = FindDesktopUser();
    if (!user.known)
        return 5;  // no one but root to run it as: refused
    if (!ExecutableOnPath("xdg-open") || (::getuid() == 0 && !ExecutableOnPath("setpriv")))
        return 31;  // nothing to open it with
    return SpawnForDesktop(user, {"xdg-open", path}) ? 0 : 31;
}

bool HasDesktopSession()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return true;
    }
    return false;
}

int OpenInBrowser(const std::string& url, std::string& redirectFile)
{
    redirectFile.clear();
    const DesktopUser user = FindDesktopUser();
    if (!user.known)
        return 5;
    if (::getuid() == 0 && !ExecutableOnPath("setpriv"))
        return 31;
    const bool chromium = ExecutableOnPath("chromium");
    if (!chromium && !ExecutableOnPath("xdg-open"))
        return 31;
    // The address carries the run's secret: it goes into a file only the
    // user can read, not onto a command line everyone can.
    const std::string folder = PrivateFolderOf(user);
    if (folder.empty())
        return 31;
    const std::string name = shared::RandomFileName("/quenlar-", ".html");
    if (name.empty())
        return 31;
    const std::string file = folder + name;
    if (!WritePrivateFile(file, shared::RedirectPage(url)))
        return 31;
    if (::getuid() == 0 && ::chown(file.c_str(), user.uid, user.gid) != 0) {
        ::unlink(file.c_str());
        return 31;
    }
    redirectFile = file;
    const std::string fileUrl = "file://" + file;
    const bool started = chromium ? SpawnForDesktop(user, {"chromium", "--app=" + fileUrl})
                                  : SpawnForDesktop(user, {"xdg-open", fileUrl});
    return started ? 0 : 31;
}

RunningSystem FindRunningSystem()
{
    return {"/", 1};
}

std::string ProgramFileName(const std::string& name)
{
    return name;
}

bool DriveLetters(std::vector<std::string>&)
{
    return false;
}

int StartProgram(const std::string& program)
{
    if (::access(program.c_str(), X_OK) != 0)
        return 0;
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0)
        return 0;
    return static_cast<int>(pid);
}

bool EndProgram(int processId)
{
    if (processId <= 0)
        return false;
    const bool running = ::kill(processId, SIGTERM) == 0;
    int status = 0;
    ::waitpid(processId, &status, 0);
    return running;
}

std::string ProgramFolder()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "./";
    std::string text(path, static_cast<std::size_t>(n));
    return text.substr(0, text.rfind('/') + 1);
}

}  // namespace platform
