#include "Bleeper.h"

#include "Exceptions.h"
#include "ToneOutput.h"

#include <atomic>
#include <mutex>
#include <string>

namespace Bleeper {
namespace {

constexpr int MaxFreq = 20000;
constexpr unsigned SpeakerClock = 1193181;

// Linux takes the place of the NT family: tones go through the system's
// sound service rather than straight to the speaker ports.
bool DetectNTPlatform() { return true; }

std::atomic<bool> ntPlatform{DetectNTPlatform()};

std::mutex sinkMutex;
ToneSink currentSink;

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
        detail::SoundOnDevice(static_cast<unsigned>(Freq), MSecs);
}

} // namespace Bleeper
