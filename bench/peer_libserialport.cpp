// libserialport: its own wait (sp_wait on an event set) and non-blocking reads.
#include "peers.h"

#include <cstring>
#include <libserialport.h>

extern thread_local bool FakeModemLines; // modem_shim.cpp

namespace bench {
namespace {

struct Port {
    sp_port* port = nullptr;
    sp_event_set* events = nullptr;
    explicit Port(const std::string& path)
    {
        FakeModemLines = true;
        if (ByName(path) != SP_OK || sp_open(port, SP_MODE_READ_WRITE) != SP_OK) {
            std::fprintf(stderr, "libserialport: cannot open %s: %s\n", path.c_str(), sp_last_error_message());
            std::exit(1);
        }
        sp_set_baudrate(port, 9600);
        sp_set_bits(port, 8);
        sp_set_parity(port, SP_PARITY_NONE);
        sp_set_stopbits(port, 1);
        sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE);
        FakeModemLines = false;
        sp_new_event_set(&events);
        sp_add_port_events(events, port, SP_EVENT_RX_READY);
    }
    ~Port()
    {
        sp_free_event_set(events);
        sp_close(port);
        sp_free_port(port);
    }
    // The library only accepts a device that sysfs lists, which a pty slave
    // is not. It is given /dev/tty instead, then the name it opens is swapped
    // for the pty's: the name is the record's first member, checked here.
    sp_return ByName(const std::string& path)
    {
        if (sp_get_port_by_name(path.c_str(), &port) == SP_OK)
            return SP_OK;
        if (sp_get_port_by_name("/dev/tty", &port) != SP_OK)
            return SP_ERR_ARG;
        char** name = reinterpret_cast<char**>(port);
        if (*name != sp_get_port_name(port))
            return SP_ERR_ARG;
        std::free(*name);
        *name = strdup(path.c_str());
        return SP_OK;
    }
    size_t ReadWaiting(std::vector<uint8_t>& buffer)
    {
        sp_wait(events, 0);
        return size_t(std::max<int>(sp_nonblocking_read(port, buffer.data(), buffer.size()), 0));
    }
};

double Receive(Pty& pty, size_t volume)
{
    Port port(pty.path);
    return ReceiveThroughput(pty, volume, [&](std::vector<uint8_t>& b) { return port.ReadWaiting(b); });
}

double Echo(Pty& pty, int count)
{
    Port port(pty.path);
    std::vector<uint8_t> buffer(64);
    return EchoRoundTrip(pty, count, [&](const std::atomic<bool>& stop) {
        const size_t n = port.ReadWaiting(buffer);
        if (n > 0 && !stop)
            sp_blocking_write(port.port, buffer.data(), n, 0);
    });
}

double Idle(Pty& pty, int seconds)
{
    Port port(pty.path);
    return IdleCpuWhileWaiting(pty, seconds, [&] { sp_wait(port.events, 0); });
}

void Stream(Pty& pty, PacedStream& stream)
{
    Port port(pty.path);
    ReceiveStream(stream, [&](std::vector<uint8_t>& b) { return port.ReadWaiting(b); });
}

} // namespace

const Peer LibSerialPortPeer{"libserialport", Receive, Echo, Idle, Stream};

} // namespace bench
