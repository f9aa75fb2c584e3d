// libserialport refuses a port whose driver has no modem lines, and a pty's
// has none (TIOCMGET and friends fail with ENOTTY). While FakeModemLines is
// set in a thread, that thread's modem-line requests on such a device succeed
// with no line raised, so that the library can open a pty; every other request
// goes to the kernel unchanged, and so does everything in the other peers.
#include <cerrno>
#include <cstdarg>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

thread_local bool FakeModemLines = false;

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    const long result = syscall(SYS_ioctl, fd, request, arg);
    if (result < 0 && errno == ENOTTY && FakeModemLines) {
        switch (request) {
        case TIOCMGET:
            *static_cast<int*>(arg) = 0;
            return 0;
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
            return 0;
        default:
            break;
        }
    }
    return int(result);
}
