// Transmitter codes: decoding reply slices of any bytes, encoding from any
// field texts, and the round trip of every code that encoding gives.
#include "input.h"

#include "Exceptions.h"
#include "SysUtils.h"
#include "TransmitterCode.h"

#include <cctype>

using namespace vxfuzz;

namespace {

bool IsCodeText(const std::string& code)
{
    if (code.size() != 10)
        return false;
    for (char c : code)
        if (!std::isdigit(static_cast<unsigned char>(c)) && !(c >= 'A' && c <= 'F'))
            return false;
    return true;
}

void CheckDecoded(const std::string& slice)
{
    const int32_t side = StrToInt(DecodeSideCode(slice));
    const int32_t id = StrToInt(DecodeID(slice));
    Check(side >= 0 && side <= 255, "decoded side code outside 0..255");
    Check(id >= 0 && id <= 65535, "decoded ID outside 0..65535");
}

void CheckRoundTrip(int32_t side, int32_t id, int button, int relay)
{
    const std::string code = MakeButtonCode(IntToStr(side), IntToStr(id), button, relay);
    Check(IsCodeText(code), "a valid field pair gave no ten-digit code");
    uint8_t bytes[5];
    for (int i = 0; i < 5; ++i)
        bytes[i] = uint8_t(HexByteValue(std::string_view(code).substr(size_t(2 * i))));
    Check((bytes[0] ^ bytes[1] ^ bytes[2] ^ bytes[3]) == bytes[4], "check byte is not the exclusive or");
    Check(DecodeSideCode(code.substr(0, 8)) == IntToStr(side), "side code does not survive the round trip");
    Check(DecodeID(code.substr(0, 8)) == IntToStr(id), "ID does not survive the round trip");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    const int button = in.Byte() % 5;  // 0 and 4 are outside the buttons
    const int relay = in.Byte();
    const int32_t side = 1 + in.Byte() % 255;
    const int32_t id = 1 + in.Word() % 65535;
    CheckRoundTrip(side, id, 1 + button % 3, relay % 8);

    const std::string sideText = in.Text(12);
    const std::string idText = in.Text(12);
    try {
        const std::string code = MakeButtonCode(sideText, idText, button, relay);
        Check(code == "0" || IsCodeText(code), "encoding gave neither a code nor \"0\"");
    } catch (const EConvertError&) {
        // Not a number: the field rules show this message.
    }
    CheckDecoded(in.Text(16));
    const std::string rest = in.Rest();
    for (size_t at = 0; at < rest.size(); at += 8)
        CheckDecoded(rest.substr(at, 8));
    return 0;
}
