#pragma once
// Each peer receives, echoes, idles and takes a paced stream on the slave end
// of a fresh pty pair in its own way; bench_serial drives them all the same
// way from the master.
#include "paced_stream.h"

namespace bench {

struct Peer {
    const char* name;
    // Receives `volume` bytes that a thread blasts into the master; MB/s.
    double (*receive)(Pty& pty, size_t volume);
    // Echoes every byte while EchoClient runs on the master; median µs.
    double (*echo)(Pty& pty, int count);
    // Open and waiting for input, nothing arriving; process CPU ms over `seconds`.
    double (*idle)(Pty& pty, int seconds);
    // Receives a paced stream: opens the port, calls stream.Start() and hands
    // every received piece to stream.Deliver from the callback its users would
    // write, the main thread waiting as theirs would, until stream.Ended().
    void (*stream)(Pty& pty, PacedStream& stream);
};

extern const Peer RawPeer;
extern const Peer HandOffPeer;
extern const Peer BoundedHandOffPeer;
extern const Peer WatchPeer;
extern const Peer NestedWatchPeer;
extern const Peer DirectThreadsWatchPeer;
extern const Peer ThreadsWatchPeer;
extern const Peer DeviceThreadsWatchPeer;
extern const Peer LayerPeer;
extern const Peer ComponentPeer;
extern const Peer ComponentLargeQueuePeer;
extern const Peer QtPeer;
extern const Peer LibSerialPortPeer;
extern const Peer AsioPeer;

} // namespace bench
