// irprogrammer-cli: writes, verifies and reads the codes of IR transmitters
// through the programmer device, from scripts and at a production bench.
#include "Arguments.h"
#include "Commands.h"
#include "Output.h"
#include "StandardStreams.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    using namespace ircli;
    irtools::HoldClosedStandardStreams();
    // A reader of the output that went away (a pipe into head) must not kill
    // the program between two commands to the device: the failed write is
    // an output error like any other.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const Arguments a = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
        switch (a.command) {
        case Arguments::Command::Help:
            Print(Usage());
            return Done;
        case Arguments::Command::Version:
            Print(std::string("irprogrammer-cli ") + IRPROGRAMMER_VERSION + "\n");
            return Done;
        case Arguments::Command::Ports:
            return RunPorts(a);
        case Arguments::Command::Read:
            return RunRead(a);
        case Arguments::Command::Write:
            return RunWrite(a);
        }
    } catch (const Failure& f) {
        std::fprintf(stderr, "irprogrammer-cli: %s\n", f.what());
        if (f.status == BadArguments)
            std::fputs("Try 'irprogrammer-cli --help'.\n", stderr);
        return f.status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "irprogrammer-cli: %s\n", e.what());
        return Stopped;
    }
    return Done;
}
