// Qt's QSerialPort, driven by its readyRead signal in the main thread's event loop.
#include "peers.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

namespace bench {
namespace {

void Open(QSerialPort& port, const std::string& path)
{
    port.setPortName(QString::fromStdString(path));
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "QSerialPort: %s\n", qPrintable(port.errorString()));
        std::exit(1);
    }
    port.setBaudRate(QSerialPort::Baud9600);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
}

double Receive(Pty& pty, size_t volume)
{
    QSerialPort port;
    Open(port, pty.path);
    size_t got = 0;
    QEventLoop loop;
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        got += size_t(port.readAll().size());
        if (got >= volume)
            loop.quit();
    });
    std::thread writer(Blast, pty.master, volume);
    const auto start = Clock::now();
    loop.exec();
    const double mbps = double(volume) / Seconds(Clock::now() - start) / 1e6;
    writer.join();
    return mbps;
}

double Echo(Pty& pty, int count)
{
    QSerialPort port;
    Open(port, pty.path);
    QObject::connect(&port, &QSerialPort::readyRead, [&] { port.write(port.readAll()); });
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

double Idle(Pty& pty, int seconds)
{
    QSerialPort port;
    Open(port, pty.path);
    QObject::connect(&port, &QSerialPort::readyRead, [&] { port.readAll(); });
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    const double before = CpuMs();
    loop.exec();
    return CpuMs() - before;
}

void Stream(Pty& pty, PacedStream& stream)
{
    QSerialPort port;
    Open(port, pty.path);
    QEventLoop loop;
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        const QByteArray bytes = port.readAll();
        if (stream.Deliver(bytes.data(), size_t(bytes.size())))
            loop.quit();
    });
    stream.Start();
    loop.exec();
}

} // namespace

const Peer QtPeer{"Qt QSerialPort", Receive, Echo, Idle, Stream};

} // namespace bench
