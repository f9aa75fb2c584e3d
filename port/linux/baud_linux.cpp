#include "baud_linux.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace vxport::detail {

int SetLineSpeed(int fd, uint32_t baud)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) < 0)
        return errno;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &tio) < 0)
        return errno;
    return 0;
}

uint32_t LineSpeed(int fd)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) < 0)
        return 0;
    return tio.c_ospeed;
}

} // namespace vxport::detail
