#include "SysUtils.h"

#include "Exceptions.h"

#include <charconv>
#include <limits>

bool TryStrToInt(std::string_view text, int32_t& value)
{
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty())
        return false;
    int64_t magnitude = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > int64_t(std::numeric_limits<int32_t>::max()) + 1)
            return false;
    }
    const int64_t result = negative ? -magnitude : magnitude;
    if (result > std::numeric_limits<int32_t>::max() || result < std::numeric_limits<int32_t>::min())
        return false;
    value = int32_t(result);
    return true;
}

int32_t StrToInt(std::string_view text)
{
    int32_t value = 0;
    if (!TryStrToInt(text, value))
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    return value;
}

std::string IntToStr(int64_t value)
{
    return std::to_string(value);
}

std::string IntToHex(uint64_t value, int digits)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), hex[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    while (int(text.size()) < digits)
        text.insert(text.begin(), '0');
    return text;
}
