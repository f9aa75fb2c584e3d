// Qt's QSerialPort, driven by its readyRead signal in the main thread's event loop.
#include "event_loop.h"
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
    return BlastWhileLoopRuns(pty, volume, loop);
}

double Echo(Pty& pty, int count)
{
    QSerialPort port;
    Open(port, pty.path);
    QObject::connect(&port, &QSerialPort::readyRead, [&] { port.write(port.readAll()); });
    return EchoWhileLoopRuns(pty, count);
}

double Idle(Pty& pty, int seconds)
{
    QSerialPort port;
    Open(port, pty.path);
    QObject::connect(&port, &QSerialPort::readyRead, [&] { port.readAll(); });
    return CpuOfIdleLoop(seconds);
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
