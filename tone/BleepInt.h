#pragma once
// The fixed tone sequences that mark the progress of an exchange.
#include <cstdint>

namespace BleepInt {

// Plays the sequence of Kind, one SoundTone per tone, in order:
//   0  1047, 1109, 1175 Hz, 100 ms each (rising)
//   1  2093, 1976, 1857 Hz, 100 ms each (falling)
//   2  40 Hz, 500 ms
// Any other kind plays nothing.
void PlaySignal(uint8_t Kind);

} // namespace BleepInt
