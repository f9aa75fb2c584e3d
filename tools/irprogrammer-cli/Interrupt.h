#pragma once
// Ctrl-C (SIGINT), SIGTERM and a hang-up (SIGHUP) while transmitters are
// written. The transmitter in progress stops before its next command, its
// record line is written (not verified), and the program ends with 128 + the
// signal's number. A second signal ends the program at once, as if no handler
// were there.
#include <string>

namespace ircli {

// Catches the three signals for its life. They are blocked from its start, so
// that the threads started meanwhile (the serial component's) never take
// them; Listen then takes them in the calling thread, whose waits (the pacing,
// the reply, the prompt for the next transmitter) they cut short.
class InterruptCatcher {
public:
    InterruptCatcher();
    ~InterruptCatcher();
    void Listen();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;
};

// Throws Failure with 128 + the signal's number when one came; `when` says
// how far the work had come.
void ThrowIfInterrupted(const std::string& when);

} // namespace ircli
