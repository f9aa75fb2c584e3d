// irprogrammer-cli: writes, verifies and reads the codes of IR transmitters
// through the programmer device, from scripts and at a production bench.
#include "Arguments.h"
#include "Commands.h"
#include "Output.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A standard stream that was closed (">&-" in a script) must not lend its
// number to the port or the record, or the results would be written into
// them. /dev/null, opened for reading only, holds the number: output sent
// there still fails, and is reported, as output that cannot be written.
void HoldClosedStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    using namespace ircli;
    HoldClosedStandardStreams();
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
