// Boost.Asio's serial_port with asynchronous reads on an io_context.
#include "peers.h"

#include <utility> // before Asio: its coroutine header uses std::exchange without it

#include <boost/asio.hpp>

namespace bench {
namespace {

namespace asio = boost::asio;

void Open(asio::serial_port& port, const std::string& path)
{
    boost::system::error_code ec;
    port.open(path, ec);
    if (ec) {
        std::fprintf(stderr, "Boost.Asio: cannot open %s: %s\n", path.c_str(), ec.message().c_str());
        std::exit(1);
    }
    port.set_option(asio::serial_port_base::baud_rate(9600));
    port.set_option(asio::serial_port_base::character_size(8));
    port.set_option(asio::serial_port_base::parity(asio::serial_port_base::parity::none));
    port.set_option(asio::serial_port_base::stop_bits(asio::serial_port_base::stop_bits::one));
    port.set_option(asio::serial_port_base::flow_control(asio::serial_port_base::flow_control::none));
}

// Chains reads into the buffer until `take`, given each read's count, says
// it has had enough; runs in io.run().
class ReadChain {
public:
    ReadChain(asio::serial_port& port, std::function<bool(const uint8_t*, size_t)> take)
        : port_(port), take_(std::move(take))
    {
        Next();
    }

private:
    void Next()
    {
        port_.async_read_some(asio::buffer(buffer_), [this](const boost::system::error_code& ec, size_t n) {
            if (!take_(buffer_.data(), n) && !ec)
                Next();
        });
    }
    asio::serial_port& port_;
    std::function<bool(const uint8_t*, size_t)> take_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(8192);
};

double Receive(Pty& pty, size_t volume)
{
    asio::io_context io;
    asio::serial_port port(io);
    Open(port, pty.path);
    size_t got = 0;
    ReadChain chain(port, [&](const uint8_t*, size_t n) { return (got += n) >= volume; });
    return BlastWhile(pty, volume, [&] { io.run(); });
}

double Echo(Pty& pty, int count)
{
    asio::io_context io;
    asio::serial_port port(io);
    Open(port, pty.path);
    std::vector<uint8_t> buffer(64);
    std::function<void(const boost::system::error_code&, size_t)> onRead =
        [&](const boost::system::error_code& ec, size_t n) {
            if (ec)
                return;
            asio::write(port, asio::buffer(buffer.data(), n));
            port.async_read_some(asio::buffer(buffer), onRead);
        };
    port.async_read_some(asio::buffer(buffer), onRead);
    std::vector<double> us;
    std::thread client([&] {
        us = EchoClient(pty.master, count);
        asio::post(io, [&] { port.cancel(); });
    });
    io.run();
    client.join();
    return Median(us);
}

double Idle(Pty& pty, int seconds)
{
    asio::io_context io;
    asio::serial_port port(io);
    Open(port, pty.path);
    std::vector<uint8_t> buffer(64);
    port.async_read_some(asio::buffer(buffer), [](const boost::system::error_code&, size_t) {});
    asio::steady_timer timer(io, std::chrono::seconds(seconds));
    timer.async_wait([&](const boost::system::error_code&) { port.cancel(); });
    const double before = CpuMs();
    io.run();
    return CpuMs() - before;
}

void Stream(Pty& pty, PacedStream& stream)
{
    asio::io_context io;
    asio::serial_port port(io);
    Open(port, pty.path);
    ReadChain chain(port, [&](const uint8_t* data, size_t n) { return stream.Deliver(data, n); });
    stream.Start();
    io.run();
}

} // namespace

const Peer AsioPeer{"Boost.Asio serial_port", Receive, Echo, Idle, Stream};

} // namespace bench
