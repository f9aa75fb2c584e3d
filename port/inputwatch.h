#pragma once
// Descriptors of a device's input that a caller's own event loop polls
// (vxport.h, OpenCommInputWatch). They live in one table for the process, so
// that a port that closes and a caller that ends its watch never meet on a
// descriptor number that one of them has already given back.
namespace vxport::detail {

class CommPort;

// A duplicate of deviceFd for `port`, close-on-exec; -1 with errno set.
int OpenInputWatch(const CommPort* port, int deviceFd, void (*letGo)());
// The port is closing: its watch descriptors stop referring to the device
// and never become ready again; then the callers' letGo functions run. The
// device is still open while this runs, so it is released by the port.
void QuietInputWatches(const CommPort* port);
void CloseInputWatch(int fd);

} // namespace vxport::detail
