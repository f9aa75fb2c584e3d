#include "Simulator.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "Pty.h"
#include "Reply.h"

namespace irsim {

namespace {

// Stray bytes are reported once the line has been quiet this long.
constexpr auto IdleReport = std::chrono::milliseconds(100);
// Replies waiting for a tool that does not read are dropped beyond this.
constexpr size_t OutboxLimit = 64 * 1024;
// How often the port is checked for a tool that ended without giving it back.
constexpr auto PortCheck = std::chrono::milliseconds(200);

} // namespace

Simulator::Simulator(const Options& options, DeviceMemory memory, int master, int slave, std::FILE* log)
    : options_(options), memory_(memory), master_(master), slave_(slave), log_(log) {}

int Simulator::run(const volatile std::sig_atomic_t& stop, const sigset_t* runMask) {
    while (!stop) {
        pollfd fd{master_, POLLIN, 0};
        if (lineFull_)
            fd.events |= POLLOUT;
        int ms = waitMs();
        timespec timeout{ms / 1000, (ms % 1000) * 1'000'000L};
        int n = ::ppoll(&fd, 1, ms < 0 ? nullptr : &timeout, runMask);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "irprogrammer-sim: poll failed: %s\n", std::strerror(errno));
            return 1;
        }
        if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) && !readInput())
            return 1;
        if (fd.revents & POLLOUT)
            lineFull_ = false;
        if (!writeDue())
            return 1;
        if (inputSinceIdle_ && Clock::now() - lastInput_ >= IdleReport) {
            inputSinceIdle_ = false;
            for (const Event& event : parser_.idle())
                handle(event);
        }
        if (Clock::now() >= nextPortCheck_) {
            nextPortCheck_ = Clock::now() + PortCheck;
            if (releaseAbandonedPort(slave_))
                logLine("released: the port was left taken by a tool that ended without closing it");
        }
    }
    return 0;
}

// Milliseconds until something is due, rounded up.
int Simulator::waitMs() const {
    auto now = Clock::now();
    std::optional<Clock::time_point> next;
    if (!outbox_.empty() && !lineFull_)
        next = outbox_.front().due;
    if (inputSinceIdle_ && (!next || lastInput_ + IdleReport < *next))
        next = lastInput_ + IdleReport;
    if (!next || nextPortCheck_ < *next)
        next = nextPortCheck_;
    if (*next <= now)
        return 0;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(*next - now).count();
    return static_cast<int>((us + 999) / 1000);
}

bool Simulator::readInput() {
    char buffer[4096];
    ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0) {
        std::fprintf(stderr, "irprogrammer-sim: the pseudo-terminal failed: %s\n",
                     n < 0 ? std::strerror(errno) : "end of input");
        return false;
    }
    lastInput_ = Clock::now();
    inputSinceIdle_ = true;
    for (const Event& event : parser_.feed(buffer, static_cast<size_t>(n)))
        handle(event);
    return true;
}

bool Simulator::writeDue() {
    while (!lineFull_ && !outbox_.empty() && outbox_.front().due <= Clock::now()) {
        std::string& bytes = outbox_.front().bytes;
        ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            lineFull_ = true; // the tool's input queue is full: wait for room
            return true;
        }
        if (n < 0) {
            std::fprintf(stderr, "irprogrammer-sim: cannot send: %s\n", std::strerror(errno));
            return false;
        }
        bytes.erase(0, static_cast<size_t>(n));
        outboxBytes_ -= static_cast<size_t>(n);
        if (bytes.empty())
            outbox_.pop_front();
    }
    return true;
}

void Simulator::handle(const Event& event) {
    switch (event.kind) {
    case Event::Kind::Write:
        store(event);
        return;
    case Event::Kind::Read:
        if (options_.noReply) {
            logLine("read -> no reply (--no-reply)");
            return;
        }
        {
            std::string reply = buildReply(memory_, options_);
            if (outboxBytes_ + reply.size() > OutboxLimit) {
                logLine("ignored: read, no reply: earlier replies are still waiting to be read");
                return;
            }
            logLine("read -> " + printable(reply));
            queueReply(reply);
        }
        return;
    default:
        logLine(describe(event));
        return;
    }
}

void Simulator::store(const Event& event) {
    const int number = ++writes_;
    const std::string fault = " (write " + std::to_string(number) + ", --" +
                              (number == options_.dropWrite ? "drop" : "corrupt") + "-write)";
    if (number == options_.dropWrite) {
        logLine("ignored: " + describe(event) + fault);
        return;
    }
    Event stored = event;
    if (number == options_.corruptWrite)
        stored.data ^= 0x01;
    if (memory_.set(stored.address, stored.data) && !options_.memoryFile.empty()) {
        if (auto error = memory_.save(options_.memoryFile))
            std::fprintf(stderr, "irprogrammer-sim: %s\n", error->c_str());
    }
    logLine(describe(stored) + (number == options_.corruptWrite ? fault : ""));
}

// A reply that comes while another is still going out follows it.
void Simulator::queueReply(const std::string& reply) {
    Clock::time_point at = outbox_.empty() ? Clock::now() : outbox_.back().due;
    for (Chunk& chunk : scheduleReply(reply, options_)) {
        at += chunk.delay;
        outboxBytes_ += chunk.bytes.size();
        outbox_.push_back({at, std::move(chunk.bytes)});
    }
}

void Simulator::logLine(const std::string& line) {
    if (options_.quiet)
        return;
    std::fprintf(log_, "%s\n", line.c_str());
    std::fflush(log_);
}

} // namespace irsim
