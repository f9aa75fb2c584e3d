#include "modemwait_linux.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/ioctl.h>

namespace vxport::detail {
namespace {

int InterruptSignal()
{
    static const int signal = [] {
        const int number = SIGRTMIN + 5;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: the ioctl must return EINTR
        sigaction(number, &action, nullptr);
        return number;
    }();
    return signal;
}

} // namespace

ModemWaiter::ModemWaiter(int fd, std::function<void()> changed) : fd_(fd), changed_(std::move(changed))
{
    InterruptSignal();
    thread_ = std::thread([this] { Run(); });
}

ModemWaiter::~ModemWaiter()
{
    Stop();
}

void ModemWaiter::Want(bool on)
{
    {
        std::lock_guard lock(mutex_);
        want_ = on;
    }
    cv_.notify_all();
}

bool ModemWaiter::Supported() const
{
    std::lock_guard lock(mutex_);
    return supported_;
}

void ModemWaiter::Run()
{
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return stop_ || (want_ && supported_); });
            if (stop_)
                break;
        }
        const int result = ioctl(fd_, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
        const int error = errno;
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                break;
            if (result < 0 && error != EINTR)
                supported_ = false;
        }
        if (result == 0 || error != EINTR)
            changed_();
    }
    std::lock_guard lock(mutex_);
    exited_ = true;
    cv_.notify_all();
}

void ModemWaiter::Stop()
{
    if (!thread_.joinable())
        return;
    std::unique_lock lock(mutex_);
    stop_ = true;
    cv_.notify_all();
    while (!exited_) {
        pthread_kill(thread_.native_handle(), InterruptSignal());
        cv_.wait_for(lock, std::chrono::milliseconds(5), [&] { return exited_; });
    }
    lock.unlock();
    thread_.join();
}

} // namespace vxport::detail
