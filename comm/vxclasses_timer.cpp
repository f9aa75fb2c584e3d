#include "vxclasses_timer.h"

#include <QThread>
#include <QTimerEvent>
#include <climits>

// ---- TvxUtilWindow ------------------------------------------------------------

TvxUtilWindow::TvxUtilWindow(std::function<void()> OnTick) : onTick_(std::move(OnTick)) {}

TvxUtilWindow::~TvxUtilWindow()
{
    KillTimer();
}

void TvxUtilWindow::SetTimer(uint32_t Interval)
{
    KillTimer();
    timerId_ = startTimer(int(std::min<uint32_t>(Interval, INT_MAX)), Qt::PreciseTimer);
}

void TvxUtilWindow::KillTimer()
{
    if (timerId_ != 0) {
        killTimer(timerId_);
        timerId_ = 0;
    }
}

void TvxUtilWindow::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timerId_ || !onTick_)
        return;
    const std::lock_guard lock(tickMutex_);
    if (released_.load())
        return;
    // A tick may let the window go; it is then deleted later, not under it.
    ++tickDepth_;
    onTick_();
    --tickDepth_;
}

void TvxUtilWindow::EndTicks()
{
    released_.store(true);
    if (thread() != QThread::currentThread()) {
        const std::lock_guard wait(tickMutex_);
    }
}

TvxUtilWindow* AllocateUtilWindow(std::function<void()> OnTick)
{
    return new TvxUtilWindow(std::move(OnTick));
}

void DeallocateUtilWindow(TvxUtilWindow* Wnd)
{
    if (!Wnd)
        return;
    if (Wnd->thread() == QThread::currentThread() && Wnd->tickDepth_ == 0) {
        delete Wnd;
    } else {
        Wnd->EndTicks();
        Wnd->deleteLater();
    }
}

// ---- TvxTimer -------------------------------------------------------------------

TvxTimer::TvxTimer() : window_(AllocateUtilWindow([this] { WndProc(); })) {}

TvxTimer::~TvxTimer()
{
    enabled_ = false;
    // Qt stops a timer only on its own thread; from another one the window
    // goes later with its timer, ticking into nothing meanwhile.
    if (window_->thread() == QThread::currentThread())
        UpdateTimer();
    DeallocateUtilWindow(window_);
}

void TvxTimer::SetEnabled(bool Value)
{
    if (Value == enabled_)
        return;
    enabled_ = Value;
    UpdateTimer();
}

void TvxTimer::SetOnTimer(const TNotifyEvent& Handler)
{
    onTimer_ = Handler;
    UpdateTimer();
}

void TvxTimer::UpdateTimer()
{
    window_->KillTimer();
    if (Interval != 0 && enabled_ && onTimer_)
        window_->SetTimer(Interval);
}

void TvxTimer::WndProc()
{
    try {
        Tick();
    } catch (...) {
        // A failing handler must not stop the timer.
    }
}

void TvxTimer::Tick()
{
    if (enabled_ && onTimer_)
        onTimer_(this);
}
