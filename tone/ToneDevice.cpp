// The output that tones sound on, kept open from one tone to the next so that
// no tone waits for the sound server.
//
// It comes back by itself: a failed open is tried again on a later tone, at
// most once every few seconds, and an output that fails while playing is
// dropped so that the next tone opens it anew (the sound server restarted).
// The open runs beside the tone, which waits for it only within its own time:
// a slow or stuck sound server never holds a tone past its time, and the
// tone after it plays once the open has finished.
#include "ToneOutput.h"

#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

namespace Bleeper::detail {
namespace {

constexpr Clock::duration RetryInterval = std::chrono::seconds(3);

std::unique_ptr<ToneOutput> OpenOutput(std::string& note)
{
    std::string alsaError, consoleError;
    if (auto alsa = OpenAlsaOutput(alsaError))
        return alsa;
    auto console = OpenConsoleBeep(consoleError);
    if (console)
        note = "cannot open ALSA \"default\" (" + alsaError + "); tones go to the PC speaker";
    else
        note = "no sound device (ALSA \"default\": " + alsaError + "; " + consoleError + "); tones are silent until one opens";
    return console;
}

struct Opened {
    std::unique_ptr<ToneOutput> output;
    std::string note;
};

class Device {
public:
    void Sound(unsigned freq, int msecs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(msecs);
        std::lock_guard lock(mutex_);
        WaitForOutput(deadline);
        std::string error;
        if (output_ && Clock::now() < deadline && !output_->Play(freq, msecs, deadline, error)) {
            Report("sound device failed (" + error + "); it is opened again for the next tone");
            output_.reset();
            lastAttempt_.reset();
        }
        std::this_thread::sleep_until(deadline);
    }

    // Starts afresh with another opener; a pending open is waited for.
    void Reset(OutputOpener opener, Clock::duration retryInterval)
    {
        std::lock_guard lock(mutex_);
        if (pending_.valid())
            pending_.wait();
        pending_ = {};
        output_.reset();
        lastAttempt_.reset();
        lastNote_.clear();
        opener_ = std::move(opener);
        retryInterval_ = retryInterval;
    }

private:
    void WaitForOutput(Clock::time_point deadline)
    {
        if (output_)
            return;
        if (!pending_.valid()) {
            const auto now = Clock::now();
            if (lastAttempt_ && now - *lastAttempt_ < retryInterval_)
                return;
            lastAttempt_ = now;
            pending_ = std::async(std::launch::async, [open = opener_] {
                Opened opened;
                opened.output = open(opened.note);
                return opened;
            });
        }
        if (pending_.wait_until(deadline) != std::future_status::ready)
            return;
        Opened opened = pending_.get();
        output_ = std::move(opened.output);
        if (opened.note.empty())
            lastNote_.clear();
        else
            Report(opened.note);
    }

    // Each trouble once, not once per tone while it lasts.
    void Report(const std::string& note)
    {
        if (note == lastNote_)
            return;
        lastNote_ = note;
        std::fprintf(stderr, "Bleeper: %s\n", note.c_str());
    }

    std::mutex mutex_;
    OutputOpener opener_ = OpenOutput;
    Clock::duration retryInterval_ = RetryInterval;
    std::unique_ptr<ToneOutput> output_;
    std::optional<Clock::time_point> lastAttempt_;
    std::string lastNote_;
    std::future<Opened> pending_;
};

Device device;

} // namespace

void SoundOnDevice(unsigned freq, int msecs) { device.Sound(freq, msecs); }

void SetOutputOpenerForTesting(OutputOpener opener, Clock::duration retryInterval)
{
    device.Reset(opener ? std::move(opener) : OpenOutput, retryInterval);
}

} // namespace Bleeper::detail
