#pragma once
// Tones of a given frequency and duration.
//
// On Linux a tone is a wave played through ALSA's "default" device (which
// PipeWire and PulseAudio serve as well); where that cannot be opened, the
// keyboard-beep device of the PC speaker is tried; where neither exists the
// tone is silent, and a later tone tries again (at most every 3 s), as does
// the tone after one whose device failed. In every case SoundTone blocks its
// caller for the tone's duration, so sequences keep their timing on any
// machine.
#include <cstdint>
#include <functional>

namespace Bleeper {

// True when the system counts as the NT family, which sets the lowest
// accepted frequency to 37 Hz (20 Hz otherwise). Decided once when the
// program starts; on Linux it is true.
bool IsNTPlatform();

// Sounds a tone of Freq Hz for MSecs milliseconds and returns when it has
// ended. Raises ERangeError "Bleeper: MSecs < -1", "Bleeper: Freq < 37"
// (or "< 20", see IsNTPlatform) or "Bleeper: Freq > 20000", checked in that
// order; nothing sounds then.
//
// MSecs = -1 means "until the next tone" to the PC speaker. Here a tone
// cannot outlive the call without a thread of its own, so -1 returns at once
// and sounds nothing, like 0.
//
// The frequency is taken as int rather than 16 bits so that a value outside
// 16 bits is reported instead of being silently wrapped.
void SoundTone(int Freq, int32_t MSecs);

// The PC speaker's timer divisor for a frequency: 1193181 / Freq, rounded
// down; frequencies too low for 16 bits (below 19 Hz) give 0xFFFF.
uint16_t SpeakerDivisor(unsigned Freq);

// Receives each accepted tone instead of the speaker. Tests install a
// recorder; an empty sink restores the real output. Returns the previous sink.
using ToneSink = std::function<void(unsigned freq, int msecs)>;
ToneSink SetToneSink(ToneSink sink);

// Test seam: overrides the platform flag, returning the previous value.
bool SetNTPlatformForTesting(bool isNT);

} // namespace Bleeper
