// The serial component's 49-byte configuration value, as read back from the
// store: any bytes of any length. Only 49 bytes are a value; a refused one
// says why; what is accepted encodes to a value that parses the same again.
#include "input.h"

#include "vxcomm_config.h"

#include <cstring>

using namespace vxfuzz;
using vxcomm::TConfigParse;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto parsed = vxcomm::ParseConfigValue(data, size);
    if (size != vxcomm::ConfigValueSize) {
        Check(parsed.Status == TConfigParse::WrongSize, "a value of the wrong size was taken");
        return 0;
    }
    Check(parsed.Status != TConfigParse::WrongSize, "49 bytes called the wrong size");
    if (parsed.Status == TConfigParse::BadField) {
        Check(!parsed.Error.empty(), "a refused value without a reason");
        return 0;
    }
    const auto encoded = vxcomm::EncodeConfigValue(parsed.Value);
    const auto again = vxcomm::ParseConfigValue(encoded.data(), encoded.size());
    Check(again.Status == TConfigParse::Ok, "an accepted value does not survive encoding");
    const auto reencoded = vxcomm::EncodeConfigValue(again.Value);
    Check(std::memcmp(encoded.data(), reencoded.data(), encoded.size()) == 0, "encoding is not stable");
    Check(again.Value.PortNo == parsed.Value.PortNo, "the port number changes in a round trip");
    return 0;
}
