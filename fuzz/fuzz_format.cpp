// The format notation with any format text and argument list: a result or
// EConvertError, never anything else.
#include "input.h"

#include "Exceptions.h"
#include "Format.h"

using namespace vxfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    TVarArgs args;
    const int count = in.Byte() % 6;
    for (int i = 0; i < count; ++i) {
        const uint8_t kind = in.Byte() % 5;
        uint64_t bits = 0;
        for (int b = 0; b < 8; ++b)
            bits = bits << 8 | in.Byte();
        switch (kind) {
        case 0: args.emplace_back(int64_t(bits)); break;
        case 1: args.emplace_back(uint64_t(bits)); break;
        case 2: args.emplace_back(int32_t(bits % 2048) - 1024); break; // widths for "*"
        case 3: args.emplace_back(in.Text(32)); break;
        default: args.emplace_back(reinterpret_cast<const void*>(uintptr_t(bits))); break;
        }
    }
    const std::string format = in.Rest();
    try {
        const std::string text = Format(format, args);
        // Each directive adds at most a bounded amount; a literal adds itself.
        Check(text.size() <= (format.size() + 1) * ((1u << 20) + 64), "output out of proportion");
    } catch (const EConvertError& e) {
        Check(!e.Message.empty(), "conversion error without a message");
    }
    return 0;
}
