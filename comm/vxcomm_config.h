#pragma once
// The serial component's stored configuration: 49 bytes, little-endian.
//
//   offset  size  content
//        0     1  port number (low 8 bits of ComPortNo)
//        1    28  DCB: length, baud rate, flag word (32 bits each), reserved,
//                 XonLim, XoffLim (16 each), byte size, parity, stop bits,
//                 XonChar, XoffChar, error, end-of-file and event characters
//                 (8 each), reserved (16)
//       29    20  COMMTIMEOUTS: read interval, read multiplier, read constant,
//                 write multiplier, write constant (32 bits each)
//
// Encoding and parsing are pure functions, usable without a component.
#include "vxport.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vxcomm {

constexpr size_t ConfigValueSize = 49;

struct TCommConfigValue {
    uint8_t PortNo = 0;
    vxport::DCB Dcb{};
    vxport::COMMTIMEOUTS Timeouts{};
};

enum class TConfigParse {
    Ok,
    WrongSize, // not 49 bytes: not a configuration value, nothing to load
    BadField,  // 49 bytes whose settings no port accepts
};

struct TConfigParseResult {
    TConfigParse Status = TConfigParse::WrongSize;
    TCommConfigValue Value;
    std::string Error; // why a field is refused
};

std::array<uint8_t, ConfigValueSize> EncodeConfigValue(const TCommConfigValue& Value);
// Fields are decoded for every 49-byte input; Status tells whether they may be used.
TConfigParseResult ParseConfigValue(const uint8_t* Data, size_t Size);

} // namespace vxcomm
