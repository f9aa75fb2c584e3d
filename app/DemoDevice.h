#pragma once
// irprogrammer --demo: unless a device is registered as COM1, the
// programmer-device simulator plays it for this run of the tool, so that
// "Write " and "Read" work without hardware. The simulator ends with the
// tool, also when the tool is killed, and then removes its port link.
#include <QProcess>
#include <QString>

class DemoDevice {
public:
    DemoDevice() = default;
    DemoDevice(const DemoDevice&) = delete;
    DemoDevice& operator=(const DemoDevice&) = delete;
    ~DemoDevice();

    // Makes sure COM1 answers. Returns false, with the reason in message,
    // when the simulator cannot be started; otherwise message tells the user
    // what COM1 is.
    bool Start(QString& message);

private:
    QProcess simulator_;
};
