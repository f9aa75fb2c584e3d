#include "Output.h"

#include "DeviceProtocol.h"
#include "TransmitterCode.h"

#include <QByteArrayView>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ircli {

namespace {

// The length of the well-formed UTF-8 sequence of two to four bytes that
// starts at `at`, or 0.
size_t Utf8Sequence(std::string_view text, size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    return QByteArrayView(text.data() + at, qsizetype(length)).isValidUtf8() ? length : 0;
}

// JSON text is UTF-8: a device path or a description in UTF-8 goes out as it
// is. A byte that is no part of UTF-8 (a name in another encoding) cannot be
// carried; it is shown as the Latin-1 character of its value.
std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (const size_t sequence = c >= 0x80 ? Utf8Sequence(text, i) : 0) {
            out.append(text.substr(i, sequence));
            i += sequence - 1;
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string ButtonName(int button)
{
    return "P" + std::to_string(button);
}

} // namespace

std::string PortsText(const std::vector<PortEntry>& ports)
{
    std::string out;
    for (const PortEntry& p : ports) {
        char name[16];
        std::snprintf(name, sizeof name, "%-6s ", p.port.c_str());
        out += name + p.device;
        if (!p.description.empty())
            out += "  " + p.description;
        if (!p.manufacturer.empty())
            out += " (" + p.manufacturer + ")";
        out += "\n";
        for (const std::string& note : p.notes)
            out += "       " + note + "\n";
    }
    return out;
}

std::string PortsJson(const std::vector<PortEntry>& ports)
{
    std::string out = "[";
    for (const PortEntry& p : ports) {
        out += out.size() > 1 ? ", " : "";
        out += "{\"port\": " + JsonString(p.port) + ", \"device\": " + JsonString(p.device) +
               ", \"description\": " + JsonString(p.description) + ", \"manufacturer\": " + JsonString(p.manufacturer) +
               ", \"notes\": [";
        for (size_t i = 0; i < p.notes.size(); ++i)
            out += (i ? ", " : "") + JsonString(p.notes[i]);
        out += "]}";
    }
    return out + "]\n";
}

std::string ReplyText(const std::string& reply)
{
    std::string out;
    for (int b = 1; b <= 3; ++b) {
        char line[96];
        std::snprintf(line, sizeof line, "%s  side %3s  ID %5s  code %s\n", ButtonName(b).c_str(),
                      DecodeSideCode(ReplySlice(reply, b)).c_str(), DecodeID(ReplySlice(reply, b)).c_str(),
                      std::string(ReplyCode(reply, b)).c_str());
        out += line;
    }
    const int relay = ReplyRelayPosition(reply);
    return out + "relay position " + std::to_string(relay) + " (" + std::to_string(relay + 1) + " s)\n";
}

std::string ReplyJson(const std::string& port, const std::string& reply)
{
    std::string out = "{\"port\": " + JsonString(port) + ", \"relay\": " + std::to_string(ReplyRelayPosition(reply)) +
                      ", \"buttons\": [";
    for (int b = 1; b <= 3; ++b)
        out += std::string(b > 1 ? ", " : "") + "{\"button\": \"" + ButtonName(b) +
               "\", \"side\": " + DecodeSideCode(ReplySlice(reply, b)) + ", \"id\": " + DecodeID(ReplySlice(reply, b)) +
               ", \"code\": " + JsonString(ReplyCode(reply, b)) + "}";
    return out + "]}\n";
}

void Print(const std::string& text)
{
    if (std::fputs(text.c_str(), stdout) == EOF || std::fflush(stdout) != 0)
        throw Failure{Stopped, std::string("cannot write the output: ") + std::strerror(errno)};
}

std::string WriteLine(const std::string& port, const std::array<ButtonFields, 3>& buttons, int relay,
                      const std::string& outcome)
{
    std::string out = port;
    for (size_t b = 0; b < buttons.size(); ++b)
        out += "  " + ButtonName(int(b) + 1) + " " + std::to_string(buttons[b].side) + ":" +
               std::to_string(buttons[b].id);
    return out + "  relay " + std::to_string(relay) + "  " + outcome + "\n";
}

} // namespace ircli
