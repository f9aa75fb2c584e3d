#pragma once
// The devices a tone can sound on. Private to the tone unit.
#include <chrono>
#include <memory>
#include <string>

namespace Bleeper::detail {

using Clock = std::chrono::steady_clock;

class ToneOutput {
public:
    virtual ~ToneOutput() = default;
    // Sounds freq Hz for msecs (> 0) milliseconds, never past the deadline;
    // may return before the tone has been heard. False, with error set, when
    // the device has failed and should not be used again.
    virtual bool Play(unsigned freq, int msecs, Clock::time_point deadline, std::string& error) = 0;
};

// ALSA's "default" PCM; null with error set when it cannot be opened.
std::unique_ptr<ToneOutput> OpenAlsaOutput(std::string& error);

// The console's keyboard-beep device (the PC speaker); null when missing.
std::unique_ptr<ToneOutput> OpenConsoleBeep(std::string& error);

} // namespace Bleeper::detail
