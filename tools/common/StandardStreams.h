#pragma once
// Shared by the command-line programs.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace irtools {

// A standard stream that was closed (">&-" in a script) must not lend its
// number to a port, a pseudo-terminal or a file the program opens later, or
// what the program prints would be written into them. /dev/null, opened for
// reading only, holds the number: output sent there still fails, and is
// reported, as output that cannot be written.
inline void HoldClosedStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

} // namespace irtools
