#pragma once
// The throughput, echo and idle runs of a peer whose receiver lives in the
// main thread's Qt event loop: the peer sets up its port and callback, these
// run the device side and the loop.
#include "bench_common.h"

#include <QEventLoop>
#include <QTimer>

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

} // namespace bench
