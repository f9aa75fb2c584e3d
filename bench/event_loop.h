#pragma once
// The throughput, echo and idle runs of a peer whose receiver lives in the
// main thread's Qt event loop: the peer sets up its port and callback, these
// run the device side and the loop.
#include "paced_stream.h"

#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace bench {

// Blasts `volume` bytes into the master while `loop` runs; the receiver quits
// the loop once it has them all. MB/s.
inline double BlastWhileLoopRuns(Pty& pty, size_t volume, QEventLoop& loop)
{
    return BlastWhile(pty, volume, [&] { loop.exec(); });
}

// Round trips of one byte each while the loop echoes them; median µs.
inline double EchoWhileLoopRuns(Pty& pty, int count)
{
    std::vector<double> us;
    QEventLoop loop;
    std::thread client([&] {
        us = EchoClient(pty.master, count);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    client.join();
    return Median(us);
}

// Process CPU ms while the loop runs `seconds` with nothing arriving.
inline double CpuOfIdleLoop(int seconds)
{
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    const double before = CpuMs();
    loop.exec();
    return CpuMs() - before;
}

// The bytes a floor's port took, handed to the run that drives it.
using Sink = std::function<void(const uint8_t* bytes, size_t count)>;

// The four runs of a floor whose port lives with the main thread's loop:
// Port(path, Setting, Sink) opens the slave, calls the sink with what it
// takes, and gives its descriptor with Fd().
template <class Port, auto Setting>
struct SinkRuns {
    static double Receive(Pty& pty, size_t volume)
    {
        size_t got = 0;
        QEventLoop loop;
        Port port(pty.path, Setting, [&](const uint8_t*, size_t n) {
            got += n;
            if (got >= volume)
                loop.quit();
        });
        return BlastWhileLoopRuns(pty, volume, loop);
    }
    static double Echo(Pty& pty, int count)
    {
        int fd = -1;
        Port port(pty.path, Setting, [&](const uint8_t* b, size_t n) { [[maybe_unused]] auto w = ::write(fd, b, n); });
        fd = port.Fd();
        return EchoWhileLoopRuns(pty, count);
    }
    static double Idle(Pty& pty, int seconds)
    {
        Port port(pty.path, Setting, [](const uint8_t*, size_t) {});
        return CpuOfIdleLoop(seconds);
    }
    static void Stream(Pty& pty, PacedStream& stream)
    {
        QEventLoop loop;
        Port port(pty.path, Setting, [&](const uint8_t* b, size_t n) {
            if (stream.Deliver(b, n))
                loop.quit();
        });
        stream.Start();
        loop.exec();
    }
};

} // namespace bench
