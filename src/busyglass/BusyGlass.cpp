// BusyGlass, the waiting-animation program the documents start while the UI
// is busy (OpenAwaitGifWindows) and end when it is not. On Linux the
// documents draw the animation themselves while it runs; this process only
// marks the time. It ends when it is told to, or when the program that
// started it ends.
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
