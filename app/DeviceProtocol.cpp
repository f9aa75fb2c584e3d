#include "DeviceProtocol.h"

#include "TransmitterCode.h"

namespace {

constexpr const char* kCodePadding = "000000";
// Each button's block in the image: ten code digits and six zero digits.
constexpr size_t kBlockDigits = 16;

// The reply's characters where the codes' first eight digits stand.
bool CodeDigitsAreHex(std::string_view reply)
{
    for (int button = 1; button <= 3; ++button)
        for (char c : ReplySlice(reply, button))
            if (!IsHexDigit(c))
                return false;
    return true;
}

std::string TwoHexDigits(int value)
{
    constexpr char digits[] = "0123456789ABCDEF";
    return {digits[(value >> 4) & 0x0F], digits[value & 0x0F]};
}

} // namespace

std::string MakeDeviceImage(std::string_view codeP1, std::string_view codeP2, std::string_view codeP3)
{
    std::string image;
    image.reserve(2 * DeviceImageBytes);
    for (std::string_view code : {codeP1, codeP2, codeP3})
        image.append(code).append(kCodePadding);
    return image;
}

std::string WriteCommand(int address, std::string_view image)
{
    return "#1" + TwoHexDigits(address) + std::string(image.substr(size_t(2 * address), 2));
}

std::optional<std::string> TakeReply(std::string& buffer)
{
    for (;;) {
        const size_t hash = buffer.find('#');
        if (hash == std::string::npos) {
            buffer.clear();
            return std::nullopt;
        }
        buffer.erase(0, hash);
        const size_t dollar = buffer.find('$');
        if (dollar == ReplyLength - 1 && CodeDigitsAreHex(buffer)) {
            std::string reply = buffer.substr(0, ReplyLength);
            buffer.clear();
            return reply;
        }
        const bool stuck = dollar != std::string::npos || buffer.size() >= ReplyLength;
        if (!stuck)
            return std::nullopt; // wait for more
        const size_t next = buffer.find('#', 1);
        buffer.erase(0, next == std::string::npos ? buffer.size() : next);
    }
}

std::string_view ReplyImage(std::string_view reply)
{
    return reply.substr(1, size_t(2 * DeviceImageBytes));
}

std::string_view ReplySlice(std::string_view reply, int button)
{
    return reply.substr(1 + kBlockDigits * size_t(button - 1), 8);
}

std::string_view ReplyCode(std::string_view reply, int button)
{
    return reply.substr(1 + kBlockDigits * size_t(button - 1), 10);
}

int ReplyRelayPosition(std::string_view reply)
{
    return HexByteValue(std::string("0") + reply[8]) & 7;
}
