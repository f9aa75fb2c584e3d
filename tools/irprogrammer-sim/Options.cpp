#include "Options.h"

#include <charconv>

namespace irsim {

namespace {

std::optional<int> toInt(const std::string& text, int low, int high) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

} // namespace

const char* usage() {
    return "Usage: irprogrammer-sim [options]\n"
           "Plays the IR programmer device on a pseudo-terminal (9600 baud, 8N1) and\n"
           "registers it in the per-user port map as COM1 (or COM<n>).\n"
           "\n"
           "  --port N               register as COM<N> (1..255, default 1)\n"
           "  --force                replace a port-map link that points to a live device\n"
           "  --memory FILE          keep the device memory in FILE across restarts\n"
           "  --no-reply             log read requests but never answer them\n"
           "  --noise TEXT           send TEXT before the \"#\" of each reply\n"
           "  --pieces N             send each reply in N pieces (1..100, default 1)\n"
           "  --pause MS             pause between pieces (0..10000 ms, default 50)\n"
           "  --misplace-dollar P    put the \"$\" of each reply at position 97 or 99\n"
           "                         instead of 98\n"
           "  --pace                 send replies at the byte pace of 9600 baud 8N1\n"
           "                         (about 1.04 ms per byte)\n"
           "  --quiet                no log line per command or request\n"
           "  --drop-write N         ignore the Nth write command since the start (a\n"
           "                         command lost on the line)\n"
           "  --corrupt-write N      store the byte of the Nth write command with its\n"
           "                         lowest bit flipped (a byte damaged on the line)\n"
           "  --help                 show this text\n"
           "\n"
           "The reply to \"00#00030\" is \"#\", the 48 hexadecimal digits of the memory,\n"
           "48 \"F\" digits (the erased addresses 18..2F) and \"$\".\n";
}

ParseResult parseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Options& o = result.options;
    auto fail = [&](std::string message) {
        result.error = std::move(message);
        return result;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args[++i];
            return std::nullopt;
        };
        auto flag = [&](bool& target) {
            if (inlineValue)
                return false;
            target = true;
            return true;
        };
        auto number = [&](int& target, int low, int high) -> std::optional<std::string> {
            auto text = value();
            if (!text)
                return "option " + name + " needs a value";
            auto n = toInt(*text, low, high);
            if (!n)
                return "option " + name + ": '" + *text + "' is not a number from " + std::to_string(low) +
                       " to " + std::to_string(high);
            target = *n;
            return std::nullopt;
        };
        std::optional<std::string> error;
        if (name == "--help" || name == "-h") {
            if (!flag(o.help))
                error = "option " + name + " takes no value";
        } else if (name == "--force" || name == "--no-reply" || name == "--pace" || name == "--quiet") {
            bool& target = name == "--force" ? o.force : name == "--no-reply" ? o.noReply
                         : name == "--pace"  ? o.pace  : o.quiet;
            if (!flag(target))
                error = "option " + name + " takes no value";
        } else if (name == "--port") {
            error = number(o.port, 1, 255);
        } else if (name == "--pieces") {
            error = number(o.pieces, 1, 100);
        } else if (name == "--pause") {
            error = number(o.pauseMs, 0, 10000);
        } else if (name == "--drop-write") {
            error = number(o.dropWrite, 1, 1000000);
        } else if (name == "--corrupt-write") {
            error = number(o.corruptWrite, 1, 1000000);
        } else if (name == "--misplace-dollar") {
            error = number(o.dollarPosition, 97, 99);
            if (!error && o.dollarPosition == 98)
                error = "option --misplace-dollar: the position must be 97 or 99";
        } else if (name == "--memory" || name == "--noise") {
            auto text = value();
            if (!text)
                error = "option " + name + " needs a value";
            else if (name == "--memory" && text->empty())
                error = "option --memory needs a file name";
            else
                (name == "--memory" ? o.memoryFile : o.noise) = *text;
        } else {
            error = "unknown option '" + args[i] + "'";
        }
        if (error)
            return fail(*error);
    }
    return result;
}

} // namespace irsim
