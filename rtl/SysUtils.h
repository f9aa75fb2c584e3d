#pragma once
// Conversions between numbers and the texts that the user and the wire see.
#include <cstdint>
#include <string>
#include <string_view>

// Decimal text with an optional sign to a 32-bit integer. Anything else
// (letters, blanks, an empty text, a value outside 32 bits) raises
// EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(std::string_view text);

// Like StrToInt, but gives false instead of raising.
bool TryStrToInt(std::string_view text, int32_t& value);

std::string IntToStr(int64_t value);

// Upper-case hexadecimal, at least `digits` wide, zero-padded.
std::string IntToHex(uint64_t value, int digits);
