#pragma once
// Each peer receives, echoes and idles on the slave end of a fresh pty pair
// in its own way; bench_serial drives them all the same way from the master.
#include "bench_common.h"

namespace bench {

struct Peer {
    const char* name;
    // Receives `volume` bytes that a thread blasts into the master; MB/s.
    double (*receive)(Pty& pty, size_t volume);
    // Echoes every byte while EchoClient runs on the master; median µs.
    double (*echo)(Pty& pty, int count);
    // Open and waiting for input, nothing arriving; process CPU ms over `seconds`.
    double (*idle)(Pty& pty, int seconds);
};

extern const Peer RawPeer;
extern const Peer LayerPeer;
extern const Peer ComponentPeer;
extern const Peer ComponentLargeQueuePeer;
extern const Peer QtPeer;
extern const Peer LibSerialPortPeer;
extern const Peer AsioPeer;

} // namespace bench
