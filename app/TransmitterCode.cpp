#include "TransmitterCode.h"

#include "SysUtils.h"

#include <bit>

namespace {

constexpr const char* kNoCode = "0";

int Parity(unsigned bits)
{
    return std::popcount(bits) & 1;
}

// The slice's byte at `index`, counting missing characters as "0" digits.
int SliceByte(std::string_view slice, std::size_t index)
{
    const std::size_t start = index * 2;
    return start < slice.size() ? HexByteValue(slice.substr(start)) : 0;
}

} // namespace

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int HexDigitValue(char c)
{
    if (!IsHexDigit(c))
        return 0;
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

int HexByteValue(std::string_view text)
{
    const int high = text.size() > 0 ? HexDigitValue(text[0]) : 0;
    const int low = text.size() > 1 ? HexDigitValue(text[1]) : 0;
    return (16 * high + low) % 256;
}

TransmitterBytes EncodeTransmitterBytes(uint8_t side, uint8_t idHigh, uint8_t idLow, int button, int relayPosition)
{
    const int p1 = Parity(side) ^ Parity(idHigh >> 4);
    const int p2 = 1 - (Parity(idHigh & 0x0F) ^ Parity(idLow));
    const uint8_t d = uint8_t((p1 << 7) | (side >> 1));
    const uint8_t e = uint8_t(((side & 1) << 7) | (idHigh >> 1));
    const uint8_t f = uint8_t(((idHigh & 1) << 7) | (idLow >> 1));
    uint8_t g = uint8_t(((idLow & 1) << 7) | (p2 << 6));
    if (button == 2)
        g |= 0x20;
    else if (button == 3)
        g |= 0x10;
    g = uint8_t(g + (relayPosition & 0x0F));
    return {d, e, f, g, uint8_t(d ^ e ^ f ^ g)};
}

std::string EncodeTransmitterCode(std::string_view fieldText, int button, int relayPosition)
{
    const auto byteAt = [&](std::size_t index) {
        return uint8_t(index < fieldText.size() ? HexByteValue(fieldText.substr(index)) : 0);
    };
    const TransmitterBytes bytes = EncodeTransmitterBytes(byteAt(0), byteAt(2), byteAt(4), button, relayPosition);
    std::string text;
    text.reserve(10);
    for (uint8_t b : bytes)
        text += IntToHex(b, 2);
    return text;
}

std::string MakeButtonCode(std::string_view sideText, std::string_view idText, int button, int relayPosition)
{
    const int32_t side = StrToInt(sideText);
    const int32_t id = StrToInt(idText);
    if (side <= 0 || id <= 0 || side >= 256 || id >= 65536)
        return kNoCode;
    return EncodeTransmitterCode(IntToHex(uint64_t(side), 2) + IntToHex(uint64_t(id), 4), button, relayPosition);
}

int DecodeSideCodeValue(uint8_t r0, uint8_t r1)
{
    return ((r0 << 1) | (r1 >> 7)) % 256;
}

int DecodeIDValue(uint8_t r1, uint8_t r2, uint8_t r3)
{
    return 256 * (((r1 << 1) | (r2 >> 7)) % 256) + (((r2 << 1) | (r3 >> 7)) % 256);
}

std::string DecodeSideCode(std::string_view slice)
{
    return IntToStr(DecodeSideCodeValue(uint8_t(SliceByte(slice, 0)), uint8_t(SliceByte(slice, 1))));
}

std::string DecodeID(std::string_view slice)
{
    return IntToStr(DecodeIDValue(uint8_t(SliceByte(slice, 1)), uint8_t(SliceByte(slice, 2)), uint8_t(SliceByte(slice, 3))));
}
