#pragma once
// The device's main loop: reads the tool's bytes from the pseudo-terminal,
// keeps the memory, and sends the replies on their schedule, all from one
// thread around ppoll so that input is read while a slow reply goes out.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>

#include "DeviceMemory.h"
#include "FrameParser.h"
#include "Options.h"

namespace irsim {

class Simulator {
public:
    // master: the device's end; slave: the simulator's own handle on the
    // tool's end, watched for a port that a killed tool left taken.
    Simulator(const Options& options, DeviceMemory memory, int master, int slave, std::FILE* log);

    // Runs until stop becomes non-zero (set by a signal handler; the signals
    // in runMask are delivered only while waiting). Returns the exit code.
    int run(const volatile std::sig_atomic_t& stop, const sigset_t* runMask);

    const DeviceMemory& memory() const { return memory_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Clock::time_point due;
        std::string bytes;
    };

    bool readInput();
    bool writeDue();
    void handle(const Event& event);
    void store(const Event& event);
    void queueReply(const std::string& reply);
    void logLine(const std::string& line);
    int waitMs() const;

    Options options_;
    DeviceMemory memory_;
    int master_;
    int slave_;
    std::FILE* log_;
    FrameParser parser_;
    std::deque<Pending> outbox_;
    size_t outboxBytes_ = 0;
    bool lineFull_ = false; // the last write found no room: wait for POLLOUT
    bool inputSinceIdle_ = false;
    int writes_ = 0; // write commands taken since the start, for the fault options
    Clock::time_point lastInput_{};
    Clock::time_point nextPortCheck_{};
};

} // namespace irsim
