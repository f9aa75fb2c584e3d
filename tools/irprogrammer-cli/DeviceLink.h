#pragma once
// The programmer device on a serial port, through the serial component.
//
// The program has no event loop: its one thread paces the write commands and
// waits for the reply. So the component runs with UseMainThread false, and its
// message thread hands received bytes to Received, which gathers the reply
// under the lock and wakes the waiting thread.
#include "Arguments.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TvxComm;

namespace ircli {

class DeviceLink {
public:
    // Opens COM<portNo> with the line settings of the window (9600 baud, 8N1,
    // no flow control). Throws Failure with PortFailed when it cannot.
    explicit DeviceLink(int portNo);
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    const std::string& PortName() const { return portName_; }

    // Sends the 24 write commands of the 48-digit image as the window does:
    // one every 50 ms (never sooner after the one before), the first 50 ms
    // from now, and returns 50 ms after the last, when the window's write
    // would close the port. Throws Failure with PortFailed when the port is
    // lost or a command cannot be sent.
    void WriteImage(const std::string& image);

    // Sends the read request and waits up to timeoutMs for a complete reply;
    // nothing when none came. Throws Failure with PortFailed when the port is
    // lost meanwhile.
    std::optional<std::string> Read(int timeoutMs);

private:
    class Port;
    void Received(const char* bytes, uint32_t count);
    void Send(const std::string& text, const std::string& what);

    std::string portName_;
    std::unique_ptr<Port> rs_;
    std::mutex mutex_;
    std::condition_variable replied_;
    std::string buffer_;                // received characters not yet taken as a reply
    std::optional<std::string> reply_;  // the first complete reply since the request
    std::atomic<uint32_t> sendError_{0}; // the system error of the last failed send
};

} // namespace ircli
