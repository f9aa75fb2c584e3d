// The serial component TvxComm as the programmer window uses it: the main
// thread runs the Qt event loop and watches the device itself; received bytes
// reach OnAfterReceive there.
#include "com_link.h"
#include "event_loop.h"
#include "peers.h"
#include "vxcomm.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace bench {
namespace {

constexpr uint16_t kPortNo = 200;

// The input queue and read buffer of the window's settings, and the largest
// the property takes: every received batch costs the same thread hand-offs,
// so the batch size decides the throughput.
constexpr uint16_t kDefaultQueue = 8192;
constexpr uint16_t kLargestQueue = 65535;

void Open(TvxComm& rs, uint16_t queue)
{
    rs.SetBufferInSize(queue);
    rs.SetComPortNo(kPortNo);
    rs.SetActive(true);
    if (!rs.IsOpen()) {
        std::fprintf(stderr, "TvxComm did not open COM%u\n", kPortNo);
        std::exit(1);
    }
}

void WakeMainThread()
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
}

template <uint16_t Queue>
double Receive(Pty& pty, size_t volume)
{
    ComLink link(kPortNo, pty.path);
    TvxComm rs;
    size_t got = 0;
    rs.OnAfterReceive = [&](TObject*, void*, uint32_t count) { got += count; };
    Open(rs, Queue);
    Settle();
    std::thread writer(Blast, pty.master, volume);
    const auto start = Clock::now();
    const auto limit = start + std::chrono::seconds(120);
    while (got < volume && Clock::now() < limit)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double seconds = Seconds(Clock::now() - start);
    if (got < volume) {
        std::fprintf(stderr, "TvxComm received %zu of %zu bytes in 120 s\n", got, volume);
        std::exit(1);
    }
    writer.join();
    rs.SetActive(false);
    return double(volume) / seconds / 1e6;
}

template <uint16_t Queue>
double Echo(Pty& pty, int count)
{
    ComLink link(kPortNo, pty.path);
    TvxComm rs;
    rs.OnAfterReceive = [&](TObject*, void* buffer, uint32_t n) {
        const char* bytes = static_cast<const char*>(buffer);
        for (uint32_t i = 0; i < n; ++i)
            rs.SendChar(bytes[i]);
    };
    Open(rs, Queue);
    std::atomic<bool> done{false};
    std::vector<double> us;
    std::thread client([&] {
        us = EchoClient(pty.master, count);
        done = true;
        WakeMainThread();
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    client.join();
    rs.SetActive(false);
    if (int(us.size()) < count)
        std::fprintf(stderr, "TvxComm echoed %zu of %d bytes\n", us.size(), count);
    return Median(us);
}

template <uint16_t Queue>
double Idle(Pty& pty, int seconds)
{
    ComLink link(kPortNo, pty.path);
    TvxComm rs;
    rs.OnAfterReceive = [](TObject*, void*, uint32_t) {};
    Open(rs, Queue);
    const double used = CpuOfIdleLoop(seconds);
    rs.SetActive(false);
    return used;
}

template <uint16_t Queue>
void Stream(Pty& pty, PacedStream& stream)
{
    ComLink link(kPortNo, pty.path);
    TvxComm rs;
    QEventLoop loop;
    rs.OnAfterReceive = [&](TObject*, void* buffer, uint32_t n) {
        if (stream.Deliver(buffer, n))
            loop.quit();
    };
    Open(rs, Queue);
    stream.Start();
    loop.exec();
    rs.SetActive(false);
}

} // namespace

const Peer ComponentPeer{"TvxComm (component)", Receive<kDefaultQueue>, Echo<kDefaultQueue>, Idle<kDefaultQueue>,
                         Stream<kDefaultQueue>};
const Peer ComponentLargeQueuePeer{"TvxComm, 64 KiB queue", Receive<kLargestQueue>, Echo<kLargestQueue>,
                                   Idle<kLargestQueue>, Stream<kLargestQueue>};

} // namespace bench
