#pragma once
// A light-weight interval timer and the hidden receiver that delivers its
// ticks.
//
// The receiver (the utility window) is a hidden object of the thread that
// allocates it; timer ticks reach it as timer events through that thread's
// event loop, so a timer ticks on the thread that created it and only while
// that thread runs its event loop.
#include "vxclasses_types.h"

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

// Hidden receiver of one thread's timer ticks; OnTick runs for each tick of
// the timer started with SetTimer.
class TvxUtilWindow final : public QObject {
public:
    explicit TvxUtilWindow(std::function<void()> OnTick);
    ~TvxUtilWindow() override;

    // Starts the timer, replacing one that runs. Interval in milliseconds.
    void SetTimer(uint32_t Interval);
    void KillTimer();
    bool TimerActive() const { return timerId_ != 0; }
    // No tick calls anything from now on. Called on another thread, it waits
    // for a tick that runs on the window's thread to end.
    void EndTicks();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    friend void DeallocateUtilWindow(TvxUtilWindow* Wnd);

    std::function<void()> onTick_;
    int timerId_ = 0;
    // Set by EndTicks: until its thread deletes it, its ticks call nothing.
    std::atomic<bool> released_{false};
    // Held on the window's thread while a tick runs; a tick that runs an
    // event loop may see the next one, restarted meanwhile, inside it.
    std::recursive_mutex tickMutex_;
    int tickDepth_ = 0; // the window's thread only
};

// A new hidden receiver on the calling thread.
TvxUtilWindow* AllocateUtilWindow(std::function<void()> OnTick);
// Destroys it (on its own thread; later, from its thread's event loop, when
// called from another one).
void DeallocateUtilWindow(TvxUtilWindow* Wnd);

// The timer, a plain object (no component) used from the thread that
// created it; it is the Sender of its OnTimer.
//
// A system timer runs exactly while Enabled is True, Interval is not 0 and
// OnTimer is assigned, counted from the last UpdateTimer. Changing Interval
// restarts nothing by itself; SetEnabled(False) then SetEnabled(True) restarts
// the interval from that moment. An exception from OnTimer is discarded and
// the timer goes on.
class TvxTimer : public QObject {
public:
    TvxTimer();
    ~TvxTimer() override;
    TvxTimer(const TvxTimer&) = delete;
    TvxTimer& operator=(const TvxTimer&) = delete;

    // Milliseconds between ticks; takes effect at the next UpdateTimer.
    uint32_t Interval = 1000;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool Value);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(const TNotifyEvent& Handler);
    void UpdateTimer();

    // True while a system timer runs for this timer.
    bool Running() const { return window_->TimerActive(); }
    TvxUtilWindow* WindowHandle() const { return window_; }
    // OnTimer is called no more; off the timer's thread, a call that runs
    // there ends first. For an owner whose destruction begins.
    void EndTicks() { window_->EndTicks(); }

protected:
    // Called on every tick.
    virtual void Tick();

private:
    void WndProc();

    bool enabled_ = true;
    TNotifyEvent onTimer_;
    TvxUtilWindow* window_;
};
