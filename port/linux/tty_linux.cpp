#include "tty_linux.h"

#include "baud_linux.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vxport::detail {
namespace {

DWORD OpenError(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EISDIR: // no more a serial port than a regular file is
        return ERROR_NOT_SUPPORTED;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: // a port link that leads back to itself names no device
        return ERROR_FILE_NOT_FOUND;
    default:
        return ERROR_GEN_FAILURE;
    }
}

DWORD IoctlError(int error)
{
    return (error == ENOTTY || error == EINVAL || error == ENOSYS) ? ERROR_NOT_SUPPORTED : ERROR_GEN_FAILURE;
}

// Raw mode: every byte value passes untouched, nothing is echoed or
// translated, no signals; breaks are counted by the driver, not read as NUL.
void MakeRaw(termios& tio)
{
    tio.c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL | IUCLC);
    tio.c_iflag |= IGNBRK;
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

} // namespace

std::unique_ptr<TtyDevice> TtyDevice::Open(const std::string& path, DWORD& error)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = OpenError(errno);
        return nullptr;
    }
    if (!isatty(fd)) {
        ::close(fd);
        error = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    // TIOCEXCL alone does not keep out root; flock covers every process.
    if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
        error = OpenError(errno);
        ::close(fd);
        return nullptr;
    }
    ioctl(fd, TIOCEXCL);
    termios tio;
    if (tcgetattr(fd, &tio) < 0) {
        error = OpenError(errno);
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return nullptr;
    }
    MakeRaw(tio);
    tcsetattr(fd, TCSANOW, &tio);
    // A port opens with an empty input queue. A terminal that another
    // descriptor kept alive (the far side of a pseudo-terminal) still holds
    // what came while the port was closed: a stale reply, taken in under the
    // line settings of whoever had it before.
    tcflush(fd, TCIFLUSH);
    auto device = std::unique_ptr<TtyDevice>(new TtyDevice(fd));
    device->Probe();
    return device;
}

TtyDevice::TtyDevice(int fd) : fd_(fd) {}

TtyDevice::~TtyDevice()
{
    Close();
}

void TtyDevice::Probe()
{
    int lines;
    modemLines_ = ioctl(fd_, TIOCMGET, &lines) == 0;
    serial_icounter_struct icount{};
    counters_ = ioctl(fd_, TIOCGICOUNT, &icount) == 0;
    unsigned int lsr;
    lsr_ = ioctl(fd_, TIOCSERGETLSR, &lsr) == 0;
    serial_rs485 rs485{};
    rs485Capable_ = ioctl(fd_, TIOCGRS485, &rs485) == 0;
    // USB serial adapters buffer input for milliseconds unless told not to.
    serial_struct serial{};
    if (ioctl(fd_, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd_, TIOCSSERIAL, &serial);
    }
    if (uint32_t speed = LineSpeed(fd_))
        baud_ = speed;
}

void TtyDevice::Close()
{
    if (fd_ < 0)
        return;
    if (modemWaiter_)
        modemWaiter_->Stop();
    modemWaiter_.reset();
    watcher_ = nullptr;
    if (kernelRs485_)
        ConfigureRs485(false);
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

[[gnu::hot]] long TtyDevice::Read(BYTE* buffer, size_t size)
{
    const ssize_t n = ::read(fd_, buffer, size);
    if (n > 0)
        return long(n);
    if (n == 0)
        return -1; // a hung-up tty reads as end of file
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

[[gnu::hot]] long TtyDevice::Write(const BYTE* data, size_t size)
{
    const ssize_t n = ::write(fd_, data, size);
    if (n >= 0)
        return long(n);
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

// The kernel's count covers its buffer, not the UART's FIFO and shift
// register; where the driver tells, a transmitter still busy counts as one.
DWORD TtyDevice::OutQueue()
{
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) < 0)
        return 0;
    if (queued > 0)
        return DWORD(queued);
    unsigned int lsr = 0;
    if (lsr_ && ioctl(fd_, TIOCSERGETLSR, &lsr) == 0 && !(lsr & TIOCSER_TEMT))
        return 1;
    return 0;
}

int TtyDevice::DrainDelayMs()
{
    const uint64_t bits = uint64_t(std::max<DWORD>(OutQueue(), 1)) * 11;
    return int(std::clamp<uint64_t>(bits * 1000 / std::max<uint32_t>(baud_, 1), 1, 200));
}

void TtyDevice::Flush(bool input, bool output)
{
    if (input && output)
        tcflush(fd_, TCIOFLUSH);
    else if (input)
        tcflush(fd_, TCIFLUSH);
    else if (output)
        tcflush(fd_, TCOFLUSH);
}

// One and a half stop bits do not exist in termios. They map to CSTOPB,
// which a 16550-style UART sends as 1.5 stop bits with 5 data bits and as 2
// stop bits otherwise; CheckDcb refuses the combinations that would differ.
DWORD TtyDevice::Configure(const DCB& dcb)
{
    if (DWORD error = CheckDcb(dcb))
        return error;
    termios tio;
    if (tcgetattr(fd_, &tio) < 0)
        return ERROR_GEN_FAILURE;
    MakeRaw(tio);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | sizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: tio.c_cflag |= PARENB; break;
    case MARKPARITY: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (dcb.Parity != NOPARITY && dcb.fParity)
        tio.c_iflag |= INPCK;
    else
        tio.c_iflag &= ~INPCK;
    if (dcb.StopBits != ONESTOPBIT)
        tio.c_cflag |= CSTOPB;
    // Linux couples CTS output flow and RTS input flow in one flag.
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        tio.c_cflag |= CRTSCTS;
    if (dcb.fOutX)
        tio.c_iflag |= IXON;
    if (dcb.fInX)
        tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    if (tcsetattr(fd_, TCSANOW, &tio) < 0)
        return ERROR_INVALID_PARAMETER;
    if (SetLineSpeed(fd_, dcb.BaudRate) != 0)
        return ERROR_INVALID_PARAMETER;
    baud_ = dcb.BaudRate;

    // DSR/DTR handshake has no Linux equivalent; DTR is then held on.
    SetModemLine(TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    const bool toggle = dcb.fRtsControl == RTS_CONTROL_TOGGLE;
    if (rs485Capable_)
        kernelRs485_ = ConfigureRs485(toggle) == 0 && toggle;
    if (!toggle && dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
        SetModemLine(TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
    return 0;
}

DWORD TtyDevice::ConfigureRs485(bool on)
{
    serial_rs485 rs485{};
    if (ioctl(fd_, TIOCGRS485, &rs485) < 0)
        return IoctlError(errno);
    if (on)
        rs485.flags = (rs485.flags | SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND) & ~SER_RS485_RTS_AFTER_SEND;
    else
        rs485.flags &= ~SER_RS485_ENABLED;
    return ioctl(fd_, TIOCSRS485, &rs485) == 0 ? 0 : IoctlError(errno);
}

void TtyDevice::ReadState(DCB& dcb)
{
    termios tio;
    if (tcgetattr(fd_, &tio) < 0)
        return;
    if (uint32_t speed = LineSpeed(fd_))
        dcb.BaudRate = speed;
    switch (tio.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if (!(tio.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (tio.c_cflag & CMSPAR)
        dcb.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    // CSTOPB is what the data bits make of it, so that the record read back
    // can be set again (a pseudo-terminal always reports 8 data bits).
    if (!(tio.c_cflag & CSTOPB))
        dcb.StopBits = ONESTOPBIT;
    else
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    const bool crtscts = tio.c_cflag & CRTSCTS;
    dcb.fOutxCtsFlow = crtscts;
    if (crtscts && dcb.fRtsControl != RTS_CONTROL_TOGGLE)
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (!crtscts && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = (tio.c_iflag & IXON) != 0;
    dcb.fInX = (tio.c_iflag & IXOFF) != 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    dcb.fBinary = 1;
}

DeviceCaps TtyDevice::Caps() const
{
    DeviceCaps caps;
    caps.modemLines = modemLines_;
    caps.modemNotifies = modemWaiter_ && modemWaiter_->Supported();
    caps.counters = counters_;
    caps.countersNotify = false;
    return caps;
}

bool TtyDevice::ModemStatus(DWORD& status)
{
    int lines = 0;
    if (!modemLines_ || ioctl(fd_, TIOCMGET, &lines) < 0)
        return false;
    status = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
             ((lines & TIOCM_RNG) ? MS_RING_ON : 0) | ((lines & TIOCM_CD) ? MS_RLSD_ON : 0);
    return true;
}

DWORD TtyDevice::SetModemLine(int line, bool on)
{
    if (!modemLines_)
        return ERROR_NOT_SUPPORTED;
    return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0 ? 0 : IoctlError(errno);
}

DWORD TtyDevice::Escape(DWORD function)
{
    switch (function) {
    case SETRTS: return SetModemLine(TIOCM_RTS, true);
    case CLRRTS: return SetModemLine(TIOCM_RTS, false);
    case SETDTR: return SetModemLine(TIOCM_DTR, true);
    case CLRDTR: return SetModemLine(TIOCM_DTR, false);
    case SETBREAK: return ioctl(fd_, TIOCSBRK) == 0 ? 0 : IoctlError(errno);
    case CLRBREAK: return ioctl(fd_, TIOCCBRK) == 0 ? 0 : IoctlError(errno);
    case SETXOFF: return tcflow(fd_, TCOOFF) == 0 ? 0 : IoctlError(errno);
    case SETXON: return tcflow(fd_, TCOON) == 0 ? 0 : IoctlError(errno);
    default: return ERROR_INVALID_PARAMETER;
    }
}

[[gnu::hot]] bool TtyDevice::Counters(LineCounters& counters)
{
    if (!counters_)
        return false;
    serial_icounter_struct icount{};
    if (ioctl(fd_, TIOCGICOUNT, &icount) < 0)
        return false;
    counters.frame = uint32_t(icount.frame);
    counters.parity = uint32_t(icount.parity);
    counters.overrun = uint32_t(icount.overrun);
    counters.brk = uint32_t(icount.brk);
    counters.bufOverrun = uint32_t(icount.buf_overrun);
    return true;
}

void TtyDevice::SetWatcher(std::function<void()> watcher)
{
    watcher_ = std::move(watcher);
}

void TtyDevice::WatchModem(bool on)
{
    if (!modemLines_)
        return;
    if (on && !modemWaiter_)
        modemWaiter_ = std::make_unique<ModemWaiter>(fd_, [this] {
            if (watcher_)
                watcher_();
        });
    if (modemWaiter_)
        modemWaiter_->Want(on);
}

} // namespace vxport::detail
