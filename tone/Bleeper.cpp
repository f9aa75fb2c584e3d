#include "Bleeper.h"

#include "Exceptions.h"
#include "ToneOutput.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace Bleeper {
namespace {

using detail::Clock;

constexpr int MaxFreq = 20000;
constexpr unsigned SpeakerClock = 1193181;

// Linux takes the place of the NT family: tones go through the system's
// sound service rather than straight to the speaker ports.
bool DetectNTPlatform() { return true; }

std::atomic<bool> ntPlatform{DetectNTPlatform()};

std::mutex sinkMutex;
ToneSink currentSink;

// The device is opened on the first tone that needs it and kept open, so
// that no tone waits for the sound server.
struct Device {
    std::mutex mutex;
    bool tried = false;
    std::unique_ptr<detail::ToneOutput> output;
};
Device device;

std::unique_ptr<detail::ToneOutput> OpenOutput()
{
    std::string alsaError, consoleError;
    if (auto alsa = detail::OpenAlsaOutput(alsaError))
        return alsa;
    auto console = detail::OpenConsoleBeep(consoleError);
    if (console)
        std::fprintf(stderr, "Bleeper: cannot open ALSA \"default\" (%s); tones go to the PC speaker\n", alsaError.c_str());
    else
        std::fprintf(stderr, "Bleeper: no sound device (ALSA \"default\": %s; %s); tones are silent\n",
                     alsaError.c_str(), consoleError.c_str());
    return console;
}

void CheckRange(int Freq, int32_t MSecs)
{
    if (MSecs < -1)
        throw ERangeError("Bleeper: MSecs < -1");
    const int lowest = ntPlatform ? 37 : 20;
    if (Freq < lowest)
        throw ERangeError("Bleeper: Freq < " + std::to_string(lowest));
    if (Freq > MaxFreq)
        throw ERangeError("Bleeper: Freq > 20000");
}

void SoundOnDevice(unsigned freq, int msecs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(msecs);
    std::lock_guard lock(device.mutex);
    if (!device.tried) {
        device.tried = true;
        device.output = OpenOutput();
    }
    std::string error;
    if (device.output && !device.output->Play(freq, msecs, deadline, error)) {
        std::fprintf(stderr, "Bleeper: sound device failed (%s); tones are silent\n", error.c_str());
        device.output.reset();
    }
    std::this_thread::sleep_until(deadline);
}

} // namespace

bool IsNTPlatform() { return ntPlatform; }

bool SetNTPlatformForTesting(bool isNT) { return ntPlatform.exchange(isNT); }

uint16_t SpeakerDivisor(unsigned Freq)
{
    const unsigned divisor = Freq == 0 ? 0xFFFF : SpeakerClock / Freq;
    return static_cast<uint16_t>(divisor > 0xFFFF ? 0xFFFF : divisor);
}

ToneSink SetToneSink(ToneSink sink)
{
    std::lock_guard lock(sinkMutex);
    std::swap(sink, currentSink);
    return sink;
}

void SoundTone(int Freq, int32_t MSecs)
{
    CheckRange(Freq, MSecs);
    ToneSink sink;
    {
        std::lock_guard lock(sinkMutex);
        sink = currentSink;
    }
    if (sink)
        sink(static_cast<unsigned>(Freq), MSecs);
    else if (MSecs > 0)
        SoundOnDevice(static_cast<unsigned>(Freq), MSecs);
}

} // namespace Bleeper
