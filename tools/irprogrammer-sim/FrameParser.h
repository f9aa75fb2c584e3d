#pragma once
// Turns the byte stream that the tool sends into device events. No I/O and no
// clock: bytes go in, events come out, so it can be driven by any input.
//
// A frame is "#" followed by five characters:
//   "#1AADD"  write byte DD at address AA (upper-case hex digits only: the tool
//             sends upper case, and accepting lower case would hide a tool that
//             does not);
//   "#00030"  read request; the tool sends it as "00#00030", and the two "0"
//             characters before the "#" are taken as part of it.
// A "#" always starts a new frame, whatever came before. Anything that cannot
// continue a frame ends it and is reported; bytes outside frames are noise.
#include <cstdint>
#include <string>
#include <vector>

namespace irsim {

struct Event {
    enum class Kind {
        Write,      // address, data
        Read,
        OutOfRange, // a well-formed write above the last address; address, data
        Malformed,  // bytes: the frame as far as it went
        Noise,      // bytes: stray bytes outside any frame
    };
    Kind kind;
    uint8_t address = 0;
    uint8_t data = 0;
    std::string bytes;

    bool operator==(const Event&) const = default;
};

class FrameParser {
public:
    static constexpr uint8_t LastAddress = 0x17;
    // Noise is reported in pieces of at most this many bytes.
    static constexpr size_t NoiseLimit = 64;

    // Feeds bytes and returns the events they complete, in order.
    std::vector<Event> feed(const void* data, size_t size);
    std::vector<Event> feed(const std::string& bytes) { return feed(bytes.data(), bytes.size()); }

    // Called when the line has been quiet for a while: reports the noise held
    // so far. A frame in progress is kept (it may be arriving in pieces), and so
    // are "0" characters that may be the start of a read request.
    std::vector<Event> idle();

private:
    void take(char c, std::vector<Event>& out);
    void startFrame(std::vector<Event>& out);
    void continueFrame(char c, std::vector<Event>& out);
    void finishFrame(std::vector<Event>& out);
    void reportNoise(std::string bytes, std::vector<Event>& out);

    bool inFrame_ = false;
    std::string frame_;  // the characters after "#"
    std::string stray_;  // bytes outside a frame, not yet reported
    bool zeroPrefix_ = false; // the current frame was preceded by "00"
};

// "write 00 80", "ignored: malformed frame \"#1G\"" and so on; non-printable
// bytes are shown as \xHH.
std::string describe(const Event& event);
std::string printable(const std::string& bytes);

} // namespace irsim
