#include "FrameParser.h"

#include <cstdio>

namespace irsim {

namespace {

constexpr char ReadFrame[] = "00030"; // the characters after "#" in a read request
constexpr size_t FrameLength = 5;

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

int hexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

uint8_t hexByte(const std::string& s, size_t at) {
    return static_cast<uint8_t>(hexValue(s[at]) * 16 + hexValue(s[at + 1]));
}

// How many of the last (at most two) bytes are "0": they may open a read request.
size_t zeroTail(const std::string& s) {
    size_t n = 0;
    while (n < 2 && n < s.size() && s[s.size() - 1 - n] == '0')
        ++n;
    return n;
}

} // namespace

std::vector<Event> FrameParser::feed(const void* data, size_t size) {
    std::vector<Event> out;
    const char* p = static_cast<const char*>(data);
    for (size_t i = 0; i < size; ++i)
        take(p[i], out);
    return out;
}

std::vector<Event> FrameParser::idle() {
    std::vector<Event> out;
    size_t keep = zeroTail(stray_);
    if (stray_.size() > keep) {
        reportNoise(stray_.substr(0, stray_.size() - keep), out);
        stray_.erase(0, stray_.size() - keep);
    }
    return out;
}

void FrameParser::take(char c, std::vector<Event>& out) {
    if (c == '#') {
        startFrame(out);
        return;
    }
    if (inFrame_) {
        continueFrame(c, out);
        return;
    }
    stray_ += c;
    if (stray_.size() >= NoiseLimit) {
        size_t keep = zeroTail(stray_);
        reportNoise(stray_.substr(0, stray_.size() - keep), out);
        stray_.erase(0, stray_.size() - keep);
    }
}

void FrameParser::startFrame(std::vector<Event>& out) {
    if (inFrame_) {
        if (zeroPrefix_)
            reportNoise("00", out);
        out.push_back({Event::Kind::Malformed, 0, 0, "#" + frame_});
    }
    zeroPrefix_ = stray_.size() >= 2 && stray_.ends_with("00");
    if (zeroPrefix_)
        stray_.resize(stray_.size() - 2);
    reportNoise(std::move(stray_), out);
    stray_.clear();
    frame_.clear();
    inFrame_ = true;
}

void FrameParser::continueFrame(char c, std::vector<Event>& out) {
    size_t pos = frame_.size();
    bool fits;
    if (pos == 0)
        fits = c == '1' || c == '0';
    else if (frame_[0] == '1')
        fits = isUpperHex(c);
    else
        fits = c == ReadFrame[pos];
    frame_ += c;
    if (!fits) {
        if (zeroPrefix_)
            reportNoise("00", out);
        out.push_back({Event::Kind::Malformed, 0, 0, "#" + frame_});
        inFrame_ = false;
        return;
    }
    if (frame_.size() == FrameLength)
        finishFrame(out);
}

void FrameParser::finishFrame(std::vector<Event>& out) {
    inFrame_ = false;
    if (frame_[0] == '0') {
        out.push_back({Event::Kind::Read, 0, 0, (zeroPrefix_ ? "00#" : "#") + frame_});
        return;
    }
    if (zeroPrefix_)
        reportNoise("00", out);
    uint8_t address = hexByte(frame_, 1);
    uint8_t data = hexByte(frame_, 3);
    auto kind = address <= LastAddress ? Event::Kind::Write : Event::Kind::OutOfRange;
    out.push_back({kind, address, data, "#" + frame_});
}

void FrameParser::reportNoise(std::string bytes, std::vector<Event>& out) {
    if (!bytes.empty())
        out.push_back({Event::Kind::Noise, 0, 0, std::move(bytes)});
}

std::string printable(const std::string& bytes) {
    std::string s;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
            s += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            s += hex;
        }
    }
    return s;
}

std::string describe(const Event& event) {
    char text[64];
    switch (event.kind) {
    case Event::Kind::Write:
        std::snprintf(text, sizeof text, "write %02X %02X", event.address, event.data);
        return text;
    case Event::Kind::Read:
        return "read";
    case Event::Kind::OutOfRange:
        std::snprintf(text, sizeof text, "ignored: address %02X out of range (last is %02X) in ", event.address,
                      FrameParser::LastAddress);
        // Appended, not prepended: g++ 12 warns falsely (-Wrestrict) on
        // const char* + std::string&& in an optimised build.
        return std::string(text) + "\"" + printable(event.bytes) + "\"";
    case Event::Kind::Malformed:
        return "ignored: malformed frame \"" + printable(event.bytes) + "\"";
    case Event::Kind::Noise:
        return "ignored: noise \"" + printable(event.bytes) + "\"";
    }
    return "ignored: unknown event";
}

} // namespace irsim
