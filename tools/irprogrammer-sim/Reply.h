#pragma once
// The device's answer to a read request, and how it is cut up on the way out.
#include <chrono>
#include <string>
#include <vector>

#include "DeviceMemory.h"
#include "Options.h"

namespace irsim {

// Noise, "#", 96 hexadecimal digits and "$" at position 98 counted from the "#"
// (or at the faulty position the options ask for). The first 48 digits are the
// memory; the rest are "F", as the device's erased addresses 0x18..0x2F read.
std::string buildReply(const DeviceMemory& memory, const Options& options);

struct Chunk {
    std::chrono::microseconds delay; // after the previous chunk
    std::string bytes;
};

// Splits the reply into the requested pieces; with pacing, every byte is a
// chunk of its own one character time after the one before.
std::vector<Chunk> scheduleReply(const std::string& reply, const Options& options);

// One character at 9600 baud 8N1: start bit, 8 data bits, stop bit.
constexpr std::chrono::microseconds CharacterTime{10'000'000 / 9600};

} // namespace irsim
