// The baseline: poll() and read()/write() on the slave, nothing else.
#include "peers.h"

namespace bench {
namespace {

int OpenRaw(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

size_t PollRead(int fd, std::vector<uint8_t>& buffer)
{
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, -1);
    return size_t(std::max<ssize_t>(::read(fd, buffer.data(), buffer.size()), 0));
}

double Receive(Pty& pty, size_t volume)
{
    const int fd = OpenRaw(pty.path);
    const double mbps = ReceiveThroughput(pty, volume, [fd](std::vector<uint8_t>& b) { return PollRead(fd, b); });
    ::close(fd);
    return mbps;
}

double Echo(Pty& pty, int count)
{
    const int fd = OpenRaw(pty.path);
    const double median = EchoRoundTrip(pty, count, [fd](const std::atomic<bool>&) {
        uint8_t b[64];
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::read(fd, b, sizeof b);
            if (n > 0)
                [[maybe_unused]] auto w = ::write(fd, b, size_t(n));
        }
    });
    ::close(fd);
    return median;
}

double Idle(Pty& pty, int seconds)
{
    const int fd = OpenRaw(pty.path);
    const double used = IdleCpuWhileWaiting(pty, seconds, [fd] {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, -1);
    });
    ::close(fd);
    return used;
}

void Stream(Pty& pty, PacedStream& stream)
{
    const int fd = OpenRaw(pty.path);
    ReceiveStream(stream, [fd](std::vector<uint8_t>& b) { return PollRead(fd, b); });
    ::close(fd);
}

} // namespace

const Peer RawPeer{"raw poll/read loop", Receive, Echo, Idle, Stream};

} // namespace bench
