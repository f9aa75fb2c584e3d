#pragma once
// What the commands print on standard output: plain lines for people, JSON
// for scripts.
#include "Arguments.h"

#include <array>
#include <string>
#include <vector>

namespace ircli {

struct PortEntry {
    std::string port; // "COM1"
    std::string device;
    std::string description;
    std::string manufacturer;
    std::vector<std::string> notes; // the number follows the socket; no access
};

std::string PortsText(const std::vector<PortEntry>& ports);
std::string PortsJson(const std::vector<PortEntry>& ports);

// A complete reply of the device, decoded.
std::string ReplyText(const std::string& reply);
std::string ReplyJson(const std::string& port, const std::string& reply);

// Writes text to standard output at once. Results are what scripts read: one
// that cannot be written throws Failure with Stopped.
void Print(const std::string& text);

// One transmitter of a write: "COM1  P1 17:4660  P2 17:4660  P3 17:4660  relay 1  verified".
std::string WriteLine(const std::string& port, const std::array<ButtonFields, 3>& buttons, int relay,
                      const std::string& outcome);

} // namespace ircli
