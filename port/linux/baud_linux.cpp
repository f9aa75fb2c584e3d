#include "baud_linux.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace vxport::detail {
namespace {

// Standard rates keep their own code, so that every termios reader (also
// cfgetospeed) sees them; anything else goes as BOTHER with the number.
tcflag_t StandardCode(uint32_t baud)
{
    static const struct {
        uint32_t rate;
        tcflag_t code;
    } codes[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
                 {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
                 {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
                 {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
                 {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
                 {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
                 {3500000, B3500000}, {4000000, B4000000}};
    for (const auto& c : codes)
        if (c.rate == baud)
            return c.code;
    return BOTHER;
}

} // namespace

int SetLineSpeed(int fd, uint32_t baud)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) < 0)
        return errno;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    const tcflag_t code = StandardCode(baud);
    tio.c_cflag |= code | (code << IBSHIFT);
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
