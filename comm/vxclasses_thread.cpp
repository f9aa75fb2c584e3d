#include "vxclasses_thread.h"

#include "vxclasses_baseio.h"

TvxThreadIO::TvxThreadIO(TvxBaseIO* IO) : io_(IO), thread_([this] { Run(); }) {}

TvxThreadIO::~TvxThreadIO()
{
    Terminate();
    if (thread_.joinable()) {
        if (IsCurrent())
            // Released from its own body (its component destroyed there): it
            // cannot wait for itself. The body must not touch it again.
            thread_.detach();
        else
            thread_.join();
    }
}

void TvxThreadIO::Run()
{
    id_.store(std::this_thread::get_id(), std::memory_order_release);
    try {
        io_->ThreadExecute(this);
    } catch (...) {
        // An error in the body ends the thread without a report.
    }
}

void TvxThreadIO::Terminate()
{
    {
        std::lock_guard lock(mutex_);
        terminated_.store(true, std::memory_order_release);
    }
    wake_.notify_all();
}

bool TvxThreadIO::WaitTerminated(uint32_t milliseconds)
{
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return Terminated(); });
}

void TvxThreadIO::WaitFor()
{
    if (thread_.joinable() && !IsCurrent())
        thread_.join();
}
