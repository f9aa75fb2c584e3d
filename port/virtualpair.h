#pragma once
// A virtual serial cable inside the process, for tests: two ends that
// CreateFileA opens by the names "\\.\VIRTUAL\<name>-A" and "...-B" (also as
// the target of a port-map link). Bytes written on one end arrive at the
// other. The ends are wired like a null-modem cable: RTS of one end is CTS of
// the other, DTR is DSR and carrier detect, a break sent on one end is
// received on the other. A test drives what a pseudo-terminal cannot show:
// the ring line, line errors, and how long transmitting takes.
#include "vxport.h"

#include <chrono>
#include <memory>
#include <string>

namespace vxport::virtualpair {

enum class End { A, B };

// The name CreateFileA opens for one end.
std::string PortName(const std::string& pair, End end);

// Creates the pair; false if a pair of that name exists.
bool Create(const std::string& pair);
// Removes the pair; ends that are still open see a hang-up.
void Destroy(const std::string& pair);

// The ring indicator as the given end sees it.
void SetRing(const std::string& pair, End end, bool on);
// Receive errors at the given end: any of CE_FRAME, CE_RXPARITY, CE_OVERRUN,
// CE_BREAK, CE_RXOVER.
void InjectLineErrors(const std::string& pair, End end, DWORD errors);
// How long each byte written on the given end takes to leave it; until then
// it counts in the end's output queue. Zero (the default) sends at once.
void SetTransmitTime(const std::string& pair, End end, std::chrono::microseconds perByte);
// The lines the given end drives now: MS_CTS_ON for its RTS, MS_DSR_ON for
// its DTR (as its peer sees them), so a test can watch RTS toggling.
DWORD DrivenLines(const std::string& pair, End end);

} // namespace vxport::virtualpair

namespace vxport::detail {
class Device;
// Opens an end by its CreateFileA name; null with a Win32 error on failure.
std::unique_ptr<Device> OpenVirtualEnd(const std::string& name, DWORD& error);
bool IsVirtualName(const std::string& name);
} // namespace vxport::detail
