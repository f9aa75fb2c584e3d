#pragma once
// The devices a tone can sound on. Private to the tone unit.
#include <chrono>
#include <functional>
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

// Sounds freq Hz for msecs (> 0) milliseconds on the output, opening it
// when needed, and returns when the tone's time is over.
void SoundOnDevice(unsigned freq, int msecs);

// Opens an output: ALSA, else the PC speaker. Sets note to what the user
// should hear about the choice (empty when ALSA opened).
using OutputOpener = std::function<std::unique_ptr<ToneOutput>(std::string& note)>;

// Test seam: tones open their output with opener (the real one when empty)
// and retry a failed open after retryInterval. Forgets the output in use.
void SetOutputOpenerForTesting(OutputOpener opener, Clock::duration retryInterval);

} // namespace Bleeper::detail
