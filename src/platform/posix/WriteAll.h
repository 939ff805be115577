// Writing a whole buffer to a file descriptor, through short writes and
// interruptions.
#pragma once

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace platform {

inline std::size_t WriteAll(int fd, const void* data, std::size_t length)
{
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (fd >= 0 && done < length) {
        const ssize_t n = ::write(fd, p + done, length - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return done;
}

}  // namespace platform
