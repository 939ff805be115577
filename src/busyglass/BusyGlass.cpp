// BusyGlass, the waiting-animation program the documents start while the UI
// is busy (OpenAwaitGifWindows) and end when it is not. The documents draw
// the animation themselves while it runs; this process only marks the time.
// It ends when it is told to, or when the program that started it ends.
#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>

namespace {

// The process that started this one, opened to wait on; null when gone.
HANDLE OpenParent()
{
    const DWORD self = GetCurrentProcessId();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    PROCESSENTRY32W entry {};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return parent != 0 ? OpenProcess(SYNCHRONIZE, FALSE, parent) : nullptr;
}

}  // namespace

int main()
{
    const HANDLE parent = OpenParent();
    if (parent == nullptr)
        return 0;
    WaitForSingleObject(parent, INFINITE);
    CloseHandle(parent);
    return 0;
}
#else
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

int main()
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() == 1)
        return 0;  // the parent was gone before the line above
    while (true)
        ::pause();
}
#endif
