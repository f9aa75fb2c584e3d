#pragma once
// The pseudo-terminal the simulator answers on. The master side is the
// device's end of the cable; the slave is what the tool opens. The simulator
// holds the slave open as well, so that the master sees no hang-up while the
// tool has the port closed between two exchanges.
#include <optional>
#include <string>

namespace irsim {

class Pty {
public:
    Pty() = default;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty();

    // Opens a raw 9600 8N1 pair; returns an error message on failure.
    std::optional<std::string> open();

    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& slavePath() const { return slavePath_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// A tool takes the port for itself (a flock, then TIOCEXCL) and gives it back
// when it closes it. A tool that is killed loses only the flock: the exclusive
// flag stays on the terminal, which the simulator keeps open, and every later
// open by a normal user fails as busy until the simulator restarts. Clears
// such a flag on the slave; returns true when it did.
bool releaseAbandonedPort(int slave);

} // namespace irsim
