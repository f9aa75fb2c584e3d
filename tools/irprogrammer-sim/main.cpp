// irprogrammer-sim: plays the IR programmer device on a pseudo-terminal.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "DeviceMemory.h"
#include "Options.h"
#include "PortLink.h"
#include "Pty.h"
#include "Simulator.h"
#include "StandardStreams.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

// The stop signals stay blocked except while the loop waits, so that one
// arriving at any other moment is not lost and never interrupts a save.
void blockStopSignals(sigset_t& runMask) {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &action, nullptr);
        sigaddset(&stopSignals, sig);
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &stopSignals, &runMask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&runMask, sig);
}

int fail(const std::string& message, int code) {
    std::fprintf(stderr, "irprogrammer-sim: %s\n", message.c_str());
    return code;
}

} // namespace

int main(int argc, char** argv) {
    irtools::HoldClosedStandardStreams(); // the log goes to stdout, the device to a pty
    auto parsed = irsim::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.error) {
        std::fprintf(stderr, "irprogrammer-sim: %s\nTry 'irprogrammer-sim --help'.\n", parsed.error->c_str());
        return 2;
    }
    const irsim::Options& options = parsed.options;
    if (options.help) {
        // A usage that cannot be written (stdout closed or full) is no success.
        if (std::fputs(irsim::usage(), stdout) == EOF || std::fflush(stdout) != 0)
            return fail(std::string("cannot write the usage: ") + std::strerror(errno), 1);
        return 0;
    }
    sigset_t runMask;
    blockStopSignals(runMask);

    irsim::DeviceMemory memory;
    if (!options.memoryFile.empty()) {
        if (auto error = memory.load(options.memoryFile))
            return fail(*error + " (the file is left as it is)", 1);
        // Create it now, so that a file that cannot be written is known at once.
        if (::access(options.memoryFile.c_str(), F_OK) != 0) {
            if (auto error = memory.save(options.memoryFile))
                return fail(*error, 1);
        }
    }
    irsim::Pty pty;
    if (auto error = pty.open())
        return fail(*error, 1);
    irsim::PortLink link;
    if (auto error = link.create(options.port, pty.slavePath(), options.force))
        return fail(*error, 1);

    std::printf("irprogrammer-sim: COM%d -> %s\n", options.port, pty.slavePath().c_str());
    if (!options.memoryFile.empty())
        std::printf("irprogrammer-sim: memory %s (%s)\n", memory.hex().c_str(), options.memoryFile.c_str());
    std::fflush(stdout);

    irsim::Simulator simulator(options, memory, pty.master(), pty.slave(), stdout);
    int code = simulator.run(stopRequested, &runMask);
    link.remove();
    std::printf("irprogrammer-sim: stopped, COM%d unregistered\n", options.port);
    return code;
}
