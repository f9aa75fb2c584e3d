#pragma once
// The command line of irprogrammer-cli. Every value is checked here, before
// anything is opened or sent: a value out of range is refused, never clamped.
#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace ircli {

// Exit statuses.
enum Status : int {
    Done = 0,
    Stopped = 1,      // the record or the output could not be written, or the batch was stopped at a prompt
    BadArguments = 2, // nothing was sent
    PortFailed = 3,   // the port cannot be opened or was lost
    NotVerified = 4,  // no complete reply in time, a damaged reply, or the read-back differs
    // 128 + the signal's number: a write interrupted by SIGHUP, SIGINT or SIGTERM
};

// What ends the program early: a message for stderr and the exit status.
class Failure : public std::runtime_error {
public:
    Failure(Status status, const std::string& message) : std::runtime_error(message), status(status) {}
    Status status;
};

struct ButtonFields {
    int side = 0;
    int id = 0;
};

struct Arguments {
    enum class Command { Help, Version, Ports, Read, Write };
    Command command = Command::Help;
    bool json = false;
    int port = 0; // COM<port>
    int timeoutMs = 2000;
    // Write: P1, P2, P3.
    std::array<ButtonFields, 3> buttons{};
    int relay = 1;
    bool verify = true;
    int count = 1;
    bool increment = false;
    bool yes = false;
    std::string record;
};

// The arguments after the program name. Throws Failure with BadArguments.
Arguments ParseArguments(const std::vector<std::string>& args);

const char* Usage();

} // namespace ircli
