// The serial component and the serial libraries people use, on pty pairs in
// one run, each against the raw poll/read loop measured in that same run:
// receive throughput, 1-byte echo round trip, and CPU while open and idle.
// Usage: bench_serial [MiB-per-throughput-run] [echoes] [idle-seconds] [peer-name-part]
#include "peers.h"

#include <QApplication>
#include <cstring>

using namespace bench;

namespace {

struct Row {
    const Peer* peer;
    Figures figures;
};

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const size_t volume = size_t(argc > 1 ? std::atoi(argv[1]) : 16) << 20;
    const int echoes = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int idleSeconds = argc > 3 ? std::atoi(argv[3]) : 5;

    std::vector<Row> rows;
    const std::string only = argc > 4 ? argv[4] : "";
    for (const Peer* peer : {&RawPeer, &LayerPeer, &ComponentPeer, &ComponentLargeQueuePeer, &QtPeer, &LibSerialPortPeer, &AsioPeer})
        if (peer == &RawPeer || only.empty() || std::string(peer->name).find(only) != std::string::npos)
            rows.push_back({peer, {}});
    // One measurement at a time, each on a pty pair of its own.
    for (auto& row : rows) {
        Pty pty;
        row.figures.mbps = row.peer->receive(pty, volume);
    }
    for (auto& row : rows) {
        Pty pty;
        row.figures.echoUs = row.peer->echo(pty, echoes);
    }
    for (auto& row : rows) {
        Pty pty;
        row.figures.idleCpuMs = row.peer->idle(pty, idleSeconds);
    }

    const Figures& raw = rows.front().figures;
    std::printf("%zu MiB per throughput run, median of %d echoes, %d idle seconds\n\n", volume >> 20, echoes,
                idleSeconds);
    std::printf("| %-24s | %9s | %6s | %9s | %6s | %8s | %9s | %7s |\n", "pty pair", "rx MB/s", "x raw",
                "echo µs", "x raw", "+µs", "idle ms", "% core");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(26, '-').c_str(), std::string(11, '-').c_str(),
                std::string(8, '-').c_str(), std::string(11, '-').c_str(), std::string(8, '-').c_str(),
                std::string(10, '-').c_str(), std::string(11, '-').c_str(), std::string(9, '-').c_str());
    for (const auto& row : rows) {
        const Figures& f = row.figures;
        std::printf("| %-24s | %9.1f | %6.2f | %9.1f | %6.2f | %8.1f | %9.2f | %7.3f |\n", row.peer->name, f.mbps,
                    f.mbps / raw.mbps, f.echoUs, f.echoUs / raw.echoUs, f.echoUs - raw.echoUs, f.idleCpuMs,
                    f.idleCpuMs / (idleSeconds * 10.0));
    }
    return 0;
}
