// What the UI asks of the desktop: the user's folders, opening a folder or
// file as that user does, a helper program started and ended, the program's
// own folder. The program may run as root (raw disks need it); whatever it
// starts for the desktop runs as the desktop user, never as root.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The user at the desktop: the one that sudo or pkexec names (SUDO_UID,
// PKEXEC_UID) when we run as root that way, else the user we run as.
struct DesktopUser {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::string name;
    std::string home;
    bool known = false;  // false: root with no desktop user named
};
DesktopUser FindDesktopUser();

enum class UserFolder { Desktop, Documents, Home };
// The user's desktop or documents folder (XDG user-dirs, ~/Desktop and
// ~/Documents when none are set), or their home; not created.
std::string UserFolderPath(const DesktopUser& user, UserFolder folder);

// Makes the desktop user's data folder of the program the current folder,
// creating it (and the folders above it that are missing) as that user's:
// ~/.local/share/quenlar ($XDG_DATA_HOME/quenlar when we run as that user
// and it is set) on Linux, %LOCALAPPDATA%\Quenlar on Windows. The program's
// working files (its database, log and settings) then go there. Returns the
// folder; "" when it cannot be made or entered (the current folder stays).
std::string EnterUserDataFolder();

// Opens `path` with the desktop's handler (xdg-open), as the desktop user.
// 0 when it was started; otherwise a code of 32 or less, as the Windows
// shell answers: 2 the path does not exist, 5 no desktop user to run it as,
// 31 no program to open it with.
int OpenWithShell(const std::string& path);

// Whether a graphical session is there to show a browser in (DISPLAY or
// WAYLAND_DISPLAY is set).
bool HasDesktopSession();

// Opens `url` in a browser of the desktop user's, run as that user: Chromium
// as an app window when installed, else the desktop's handler (xdg-open).
// The address goes through a redirecting page in a file only that user can
// read (named in `redirectFile`; the caller removes it when done), never on
// a command line. 0 when the browser was started; else 5 no desktop user to
// run it as, 31 nothing to open it with.
int OpenInBrowser(const std::string& url, std::string& redirectFile);

// The file name of the helper program `name` ("BusyGlass": BusyGlass on
// Linux, BusyGlass.exe on Windows).
std::string ProgramFileName(const std::string& name);
// Starts `program` (no arguments) as a child; its process id, or 0.
int StartProgram(const std::string& program);
// Ends a child started by StartProgram; true when it was running.
bool EndProgram(int processId);

// The volume of the running system, as the disk list names its mount path
// ("/" on Linux; the system drive's root, "C:\\", on Windows), and the mark
// the disk list gives it (1 on Linux; on Windows the version: 7, 8 or 10).
struct RunningSystem {
    std::string mountPath;
    std::uint8_t mark = 0;
};
RunningSystem FindRunningSystem();

// The folder that holds the running program, with a trailing separator.
std::string ProgramFolder();

// The drive letters in use ("C", "D", …), as the system lists its drive
// roots; false on a system without drive letters (Linux).
bool DriveLetters(std::vector<std::string>& letters);

}  // namespace platform
