#pragma once
// Waits for modem-line changes with the kernel's TIOCMIWAIT in a thread of
// its own, while someone wants them. The ioctl blocks and can only be ended
// by a signal, so stopping interrupts the thread with a signal whose handler
// does nothing, repeating it until the thread has left.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vxport::detail {

class ModemWaiter {
public:
    ModemWaiter(int fd, std::function<void()> changed);
    ~ModemWaiter();
    void Want(bool on);
    // False once the driver refused the wait; the caller then polls.
    bool Supported() const;
    void Stop();

private:
    void Run();

    const int fd_;
    std::function<void()> changed_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool want_ = false;
    bool stop_ = false;
    bool supported_ = true;
    bool exited_ = false;
    std::thread thread_;
};

} // namespace vxport::detail
