#pragma once
// The transmitter code of one key-fob button: five bytes built from a side
// code, an ID, the button number and the relay position, and shown as ten
// upper-case hexadecimal digits. The text "0" stands for "no code".
//
// Frame of 26 bits, most significant first: parity P1 (even, over the side
// code and ID bits 15..12), side code bits 7..0, ID bits 15..0, parity P2
// (odd, over ID bits 11..0). Bytes 1..3 and bit 7 of byte 4 carry frame bits
// 1..25, bit 6 of byte 4 carries P2, bits 5 and 4 mark buttons 2 and 3, bits
// 3..0 the relay position; byte 5 is the exclusive or of bytes 1..4.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

using TransmitterBytes = std::array<uint8_t, 5>;

// True for 0..9, A..F and a..f.
bool IsHexDigit(char c);

// Value of one hexadecimal digit, either case; any other character counts as
// 0. No reply with such a character is decoded: TakeReply drops a reply that
// has one where the codes' first eight digits stand.
int HexDigitValue(char c);

// The byte written by the first two characters of `text`. Characters missing
// from a shorter text count as "0" digits.
int HexByteValue(std::string_view text);

// Bytes of the code for side code S and ID Ihi:Ilo; button is 1, 2 or 3 and
// relayPosition 0..7 (only its low four bits are used).
TransmitterBytes EncodeTransmitterBytes(uint8_t side, uint8_t idHigh, uint8_t idLow, int button, int relayPosition);

// Ten-digit code text from the six-digit field text: side code as two
// hexadecimal digits, ID as four.
std::string EncodeTransmitterCode(std::string_view fieldText, int button, int relayPosition);

// Code text from the decimal texts of a side-code field and an ID field.
// Gives "0" when the side code is outside 1..255 or the ID outside 1..65535.
// Raises EConvertError when a text is not a whole number.
std::string MakeButtonCode(std::string_view sideText, std::string_view idText, int button, int relayPosition);

// Side code and ID carried by the first four code bytes R0..R3. Neither
// looks at the parities, the button bits, the relay bits or the check byte.
int DecodeSideCodeValue(uint8_t r0, uint8_t r1);
int DecodeIDValue(uint8_t r1, uint8_t r2, uint8_t r3);

// The same from an eight-digit reply slice, as decimal text without leading
// zeros. Safe on any text: see HexDigitValue and HexByteValue.
std::string DecodeSideCode(std::string_view slice);
std::string DecodeID(std::string_view slice);
