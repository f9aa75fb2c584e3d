#include "BleepInt.h"

#include "Bleeper.h"

#include <span>

namespace BleepInt {
namespace {

struct Tone {
    int freq;
    int msecs;
};

constexpr Tone Rising[] = {{1047, 100}, {1109, 100}, {1175, 100}};
constexpr Tone Falling[] = {{2093, 100}, {1976, 100}, {1857, 100}};
constexpr Tone Low[] = {{40, 500}};

std::span<const Tone> SequenceOf(uint8_t kind)
{
    switch (kind) {
    case 0: return Rising;
    case 1: return Falling;
    case 2: return Low;
    default: return {};
    }
}

} // namespace

void PlaySignal(uint8_t Kind)
{
    for (const Tone& tone : SequenceOf(Kind))
        Bleeper::SoundTone(tone.freq, tone.msecs);
}

} // namespace BleepInt
