// The simulator's frame parser fed any bytes in any pieces: nothing is lost
// or invented (the events' bytes are the input, in order), noise comes in
// bounded pieces, and writes name an address of the device.
#include "input.h"

#include "FrameParser.h"

using namespace vxfuzz;
using irsim::Event;
using irsim::FrameParser;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    const size_t piece = 1 + in.Byte() % 16;
    const uint8_t idleEvery = in.Byte();
    const std::string stream = in.Rest();

    FrameParser parser;
    std::string seen;
    const auto take = [&](const std::vector<Event>& events) {
        for (const Event& e : events) {
            Check(!e.bytes.empty(), "event without bytes");
            if (e.kind == Event::Kind::Noise)
                Check(e.bytes.size() <= FrameParser::NoiseLimit, "noise piece over the limit");
            if (e.kind == Event::Kind::Write)
                Check(e.address <= FrameParser::LastAddress, "write outside the device memory");
            if (e.kind == Event::Kind::OutOfRange)
                Check(e.address > FrameParser::LastAddress, "out-of-range write inside the memory");
            if (e.kind == Event::Kind::Read)
                Check(e.bytes == "#00030" || e.bytes == "00#00030", "read event from other bytes");
            irsim::describe(e);
            seen += e.bytes;
        }
    };
    size_t count = 0;
    for (size_t at = 0; at < stream.size(); at += piece) {
        take(parser.feed(stream.substr(at, piece)));
        if (idleEvery != 0 && ++count % idleEvery == 0)
            take(parser.idle());
    }
    // "#X" ends whatever is pending: X cannot continue a fresh frame.
    take(parser.feed("#X"));
    Check(seen == stream + "#X", "events do not give back the input");
    return 0;
}
