// A FUSE file system of one read-only file, "disk", that serves an image and
// fails on command: a disk that goes bad, for the fault tests (this kernel
// has no device-mapper for dm-flakey).
//
//   quenlar_faultfs IMAGE CONTROL MOUNTPOINT [FUSE OPTIONS]
//
// CONTROL is a text file, read again whenever it changes, one rule a line:
//   fail OFFSET LENGTH ERRNO [COUNT]   reads touching the bytes fail with ERRNO
//                                     (the first COUNT of them only, if given)
//   gone-after N                      after N reads, every read fails with ENXIO
//                                     (the medium went away)
//   delay MICROSECONDS                every read waits that long first
// An empty file serves the image as it is. Reads bypass the page cache
// (direct_io), so a rule holds from the next read on.
#define FUSE_USE_VERSION 31

#include <fuse3/fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct FailRule {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    int error = EIO;
    long long left = -1;  // reads still to fail; -1 for all
};

struct State {
    int image = -1;
    std::uint64_t size = 0;
    std::string control;
    timespec controlTime {};
    std::vector<FailRule> rules;
    long long goneAfter = -1;
    long long reads = 0;
    unsigned delay = 0;
    std::mutex lock;
};

State g_state;

void ReloadControl()
{
    struct stat st {};
    if (::stat(g_state.control.c_str(), &st) != 0)
        return;
    if (st.st_mtim.tv_sec == g_state.controlTime.tv_sec && st.st_mtim.tv_nsec == g_state.controlTime.tv_nsec)
        return;
    g_state.controlTime = st.st_mtim;
    g_state.rules.clear();
    g_state.goneAfter = -1;
    g_state.delay = 0;
    g_state.reads = 0;
    std::ifstream in(g_state.control);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        if (verb == "fail") {
            FailRule rule;
            words >> rule.offset >> rule.length >> rule.error;
            if (!(words >> rule.left))
                rule.left = -1;
            g_state.rules.push_back(rule);
        } else if (verb == "gone-after") {
            words >> g_state.goneAfter;
        } else if (verb == "delay") {
            words >> g_state.delay;
        }
    }
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, "/disk") == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(g_state.size);
        return 0;
    }
    return -ENOENT;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "disk", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int Open(const char* path, fuse_file_info* fi)
{
    if (std::strcmp(path, "/disk") != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->direct_io = 1;
    return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info*)
{
    unsigned delay = 0;
    {
        std::lock_guard<std::mutex> guard(g_state.lock);
        ReloadControl();
        ++g_state.reads;
        delay = g_state.delay;
        if (g_state.goneAfter >= 0 && g_state.reads > g_state.goneAfter)
            return -ENXIO;
        const auto begin = static_cast<std::uint64_t>(offset);
        for (FailRule& rule : g_state.rules) {
            if (rule.left == 0 || begin >= rule.offset + rule.length || begin + size <= rule.offset)
                continue;
            if (rule.left > 0)
                --rule.left;
            return -rule.error;
        }
    }
    if (delay != 0)
        ::usleep(delay);
    const ssize_t n = ::pread(g_state.image, buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s IMAGE CONTROL MOUNTPOINT [FUSE OPTIONS]\n", argv[0]);
        return 2;
    }
    g_state.image = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (g_state.image < 0 || ::fstat(g_state.image, &st) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    g_state.size = static_cast<std::uint64_t>(st.st_size);
    // FUSE moves to / when it goes to the background: keep the control
    // file's path absolute.
    g_state.control = argv[2];
    if (!g_state.control.empty() && g_state.control[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) != nullptr)
            g_state.control = std::string(cwd) + "/" + g_state.control;
    }

    fuse_operations operations {};
    operations.getattr = GetAttr;
    operations.readdir = ReadDir;
    operations.open = Open;
    operations.read = Read;
    // argv for FUSE: the program, the mount point, single-threaded, the rest.
    std::vector<char*> args {argv[0], argv[3], const_cast<char*>("-s")};
    for (int i = 4; i < argc; ++i)
        args.push_back(argv[i]);
    return fuse_main(static_cast<int>(args.size()), args.data(), &operations, nullptr);
}
