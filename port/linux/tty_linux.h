#pragma once
// A Linux tty as a Device: exclusive open (flock and TIOCEXCL), raw mode,
// termios for the line settings, tty ioctls for lines, counters and RS485.
#include "../device.h"
#include "modemwait_linux.h"

#include <memory>
#include <string>

namespace vxport::detail {

class TtyDevice : public Device {
public:
    // Opens the device exclusively; null with a Win32 error code on failure.
    static std::unique_ptr<TtyDevice> Open(const std::string& path, DWORD& error);
    ~TtyDevice() override;

    int PollFd() const override { return fd_; }
    long Read(BYTE* buffer, size_t size) override;
    long Write(const BYTE* data, size_t size) override;
    DWORD OutQueue() override;
    int DrainDelayMs() override;
    void Flush(bool input, bool output) override;
    DWORD Configure(const DCB& dcb) override;
    void ReadState(DCB& dcb) override;
    bool TogglesRts() const override { return kernelRs485_; }
    DeviceCaps Caps() const override;
    bool ModemStatus(DWORD& status) override;
    DWORD Escape(DWORD function) override;
    bool Counters(LineCounters& counters) override;
    void SetWatcher(std::function<void()> watcher) override;
    void WatchModem(bool on) override;
    void Close() override;

private:
    explicit TtyDevice(int fd);
    void Probe();
    DWORD SetModemLine(int line, bool on);
    DWORD ConfigureRs485(bool on);

    int fd_;
    bool modemLines_ = false;
    bool counters_ = false;
    bool lsr_ = false;
    bool rs485Capable_ = false;
    bool kernelRs485_ = false;
    uint32_t baud_ = 9600;
    std::function<void()> watcher_;
    std::unique_ptr<ModemWaiter> modemWaiter_;
};

} // namespace vxport::detail
