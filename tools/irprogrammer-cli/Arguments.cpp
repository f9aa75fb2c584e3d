#include "Arguments.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <string_view>

namespace ircli {

namespace {

constexpr int kMaxSide = 255;
constexpr int kMaxId = 65535;

enum CommandMask : unsigned { kPorts = 1, kRead = 2, kWrite = 4, kAny = 7 };

struct OptionRule {
    std::string_view name;
    bool takesValue;
    unsigned commands;
};

constexpr OptionRule kOptions[] = {
    {"--json", false, kPorts | kRead},  {"--port", true, kRead | kWrite},  {"--timeout", true, kRead | kWrite},
    {"--side", true, kWrite},           {"--id", true, kWrite},            {"--relay", true, kWrite},
    {"--p2", true, kWrite},             {"--p3", true, kWrite},            {"--no-verify", false, kWrite},
    {"--count", true, kWrite},          {"--increment", false, kWrite},    {"--yes", false, kWrite},
    {"--record", true, kWrite},         {"--help", false, kAny},           {"--version", false, kAny},
};

// The rule of the option named by `text`, "--name" or "--name=value".
const OptionRule* RuleOf(std::string_view text)
{
    const std::string_view name = text.substr(0, text.find('='));
    const auto rule = std::find_if(std::begin(kOptions), std::end(kOptions),
                                   [&](const OptionRule& r) { return r.name == name; });
    return rule == std::end(kOptions) ? nullptr : rule;
}

Failure Bad(const std::string& message)
{
    return {BadArguments, message};
}

// A whole decimal number from low to high, digits only.
std::optional<int> Decimal(std::string_view text, int low, int high)
{
    int value = 0;
    const char* end = text.data() + text.size();
    const bool digits = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const auto result = std::from_chars(text.data(), end, value);
    if (!digits || result.ec != std::errc() || result.ptr != end || value < low || value > high)
        return std::nullopt;
    return value;
}

std::string RangeText(int low, int high)
{
    return " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high);
}

// The option's value as a number; `what` names it in the message.
int Number(const std::string& option, const std::string& text, int low, int high, const std::string& what)
{
    if (const std::optional<int> value = Decimal(text, low, high))
        return *value;
    throw Bad(option + " " + text + ": " + what + RangeText(low, high));
}

ButtonFields SideAndId(const std::string& option, const std::string& text)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        throw Bad(option + " " + text + ": expected SIDE:ID, such as 17:4660");
    const std::optional<int> side = Decimal(std::string_view(text).substr(0, colon), 1, kMaxSide);
    const std::optional<int> id = Decimal(std::string_view(text).substr(colon + 1), 1, kMaxId);
    if (!side)
        throw Bad(option + " " + text + ": the side code" + RangeText(1, kMaxSide));
    if (!id)
        throw Bad(option + " " + text + ": the ID" + RangeText(1, kMaxId));
    return {*side, *id};
}

int PortNumber(const std::string& text)
{
    const bool named = text.size() > 3 && std::equal(text.begin(), text.begin() + 3, "COM",
                                                     [](char a, char b) { return (a & ~0x20) == b; });
    const std::optional<int> number = named ? Decimal(std::string_view(text).substr(3), 1, 255) : std::nullopt;
    if (!number)
        throw Bad("--port " + text + ": a port is named COM1 to COM255");
    return *number;
}

Arguments::Command CommandNamed(const std::string& name)
{
    if (name == "ports")
        return Arguments::Command::Ports;
    if (name == "read")
        return Arguments::Command::Read;
    if (name == "write")
        return Arguments::Command::Write;
    throw Bad("unknown command '" + name + "' (ports, read or write)");
}

unsigned MaskOf(Arguments::Command command)
{
    switch (command) {
    case Arguments::Command::Ports:
        return kPorts;
    case Arguments::Command::Read:
        return kRead;
    default:
        return kWrite;
    }
}

class Parser {
public:
    explicit Parser(Arguments& a) : a_(a) {}

    void Take(const std::string& option, const std::string& value)
    {
        if (option == "--json")
            a_.json = true;
        else if (option == "--port")
            a_.port = PortNumber(value);
        else if (option == "--timeout")
            a_.timeoutMs = Number(option, value, 1, 600000, "the time-out in ms");
        else if (option == "--side")
            p1_.side = Number(option, value, 1, kMaxSide, "a side code");
        else if (option == "--id")
            p1_.id = Number(option, value, 1, kMaxId, "an ID");
        else if (option == "--relay")
            a_.relay = Number(option, value, 0, 7, "the relay position");
        else if (option == "--p2")
            p2_ = SideAndId(option, value);
        else if (option == "--p3")
            p3_ = SideAndId(option, value);
        else if (option == "--no-verify")
            a_.verify = false;
        else if (option == "--count")
            a_.count = Number(option, value, 1, kMaxId, "the count");
        else if (option == "--increment")
            a_.increment = true;
        else if (option == "--yes")
            a_.yes = true;
        else if (option == "--record" && value.empty())
            throw Bad("--record needs a file name");
        else if (option == "--record")
            a_.record = value;
    }

    // The buttons, the options every command needs, and the batch's last IDs.
    void Finish(const std::set<std::string>& given)
    {
        const auto require = [&](const char* option) {
            if (!given.contains(option))
                throw Bad(std::string("the command needs ") + option);
        };
        if (a_.command == Arguments::Command::Ports)
            return;
        require("--port");
        if (a_.command != Arguments::Command::Write)
            return;
        require("--side");
        require("--id");
        a_.buttons = {p1_, p2_.side != 0 ? p2_ : p1_, p3_.side != 0 ? p3_ : p1_};
        if (!a_.increment)
            return;
        for (size_t b = 0; b < a_.buttons.size(); ++b) {
            const int last = a_.buttons[b].id + a_.count - 1;
            if (last > kMaxId)
                throw Bad("--count " + std::to_string(a_.count) + " --increment: the ID of P" + std::to_string(b + 1) +
                          " would go from " + std::to_string(a_.buttons[b].id) + " to " + std::to_string(last) +
                          ", past 65535 (a batch hands out no ID twice)");
        }
    }

private:
    Arguments& a_;
    // A side code of 0: not given.
    ButtonFields p1_, p2_, p3_;
};

} // namespace

Arguments ParseArguments(const std::vector<std::string>& args)
{
    Arguments a;
    const auto flagged = [&](std::string_view flag) { return std::find(args.begin(), args.end(), flag) != args.end(); };
    if (flagged("--help")) {
        a.command = Arguments::Command::Help;
        return a;
    }
    if (flagged("--version")) {
        a.command = Arguments::Command::Version;
        return a;
    }
    if (args.empty())
        throw Bad("no command given (ports, read or write)");
    a.command = CommandNamed(args[0]);
    Parser parser(a);
    std::set<std::string> given;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> value;
        if (const size_t eq = option.find('='); option.starts_with("--") && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
        }
        const OptionRule* known = RuleOf(option);
        if (!known)
            throw Bad("unknown option '" + args[i] + "'");
        if (!(known->commands & MaskOf(a.command)))
            throw Bad("option " + option + " does not belong to '" + args[0] + "'");
        if (!given.insert(option).second)
            throw Bad("option " + option + " is given twice");
        if (known->takesValue && !value) {
            // "--record --yes" is an empty value in a script, not a file named --yes.
            if (i + 1 >= args.size() || RuleOf(args[i + 1]))
                throw Bad("option " + option + " needs a value");
            value = args[++i];
        } else if (!known->takesValue && value) {
            throw Bad("option " + option + " takes no value");
        }
        parser.Take(option, value.value_or(""));
    }
    parser.Finish(given);
    return a;
}

const char* Usage()
{
    return "Usage: irprogrammer-cli COMMAND [options]\n"
           "Writes and reads the codes of three-button IR transmitters through the\n"
           "programmer device on a serial port.\n"
           "\n"
           "  ports [--json]                  the COM ports and the device behind each\n"
           "  read --port COMn [--json] [--timeout MS]\n"
           "                                  read the device's codes (time-out default 2000 ms)\n"
           "  write --port COMn --side S --id I [--relay R] [--p2 S:I] [--p3 S:I]\n"
           "        [--no-verify] [--timeout MS]\n"
           "        [--count N --increment [--yes]] [--record FILE]\n"
           "                                  write the codes and read them back; S is 1..255,\n"
           "                                  I is 1..65535, R the relay position 0..7\n"
           "                                  (default 1, relay time R+1 s); P2 and P3 get\n"
           "                                  P1's side code and ID unless given\n"
           "  --count N       program N transmitters one after another, asking for Enter\n"
           "                  before each next one (not with --yes)\n"
           "  --increment     raise every ID by one after each transmitter\n"
           "  --record FILE   append one CSV line per transmitter written\n"
           "  --help, --version\n"
           "\n"
           "Exit status: 0 done (and verified); 1 the record or the output could not be\n"
           "written, or the batch was stopped at a prompt; 2 bad arguments, nothing sent;\n"
           "3 the port cannot be opened or was lost; 4 no complete reply in time, a\n"
           "damaged reply, or the read-back differs; 129, 130 or 143 a write interrupted\n"
           "by SIGHUP, SIGINT or SIGTERM (the transmitter in progress is recorded as not\n"
           "verified).\n";
}

} // namespace ircli
