// The serial component and the serial libraries people use, on pty pairs in
// one run, each against the raw poll/read loop measured in that same run:
// receive throughput, 1-byte echo round trip, CPU while open and idle, and
// CPU and delivery latency while a device streams at real line rates.
// Usage: bench_serial [MiB-per-throughput-run] [echoes] [idle-seconds] [peer-name-part] [--stream=seconds]
// "0 0 0" leaves the first three measurements out, --stream=0 the streams.
#include "peers.h"

#include <QApplication>
#include <cstring>

using namespace bench;

namespace {

struct Row {
    const Peer* peer;
    Figures figures;
};

// Pads to a width in characters, not bytes: the names hold a "µ".
std::string Padded(const char* text, size_t width)
{
    std::string s = text;
    const auto lead = [](char c) { return (uint8_t(c) & 0xC0) != 0x80; };
    const auto chars = size_t(std::count_if(s.begin(), s.end(), lead));
    return s + std::string(width - std::min(width, chars), ' ');
}

std::string Dashes(std::initializer_list<int> widths)
{
    std::string line = "|";
    for (const int w : widths)
        line += std::string(size_t(w), '-') + "|";
    return line + "\n";
}

void MeasureFirst(std::vector<Row>& rows, size_t volume, int echoes, int idleSeconds)
{
    // One measurement at a time, each on a pty pair of its own; a count of 0
    // leaves that measurement out.
    for (auto& row : rows) {
        Pty pty;
        row.figures.mbps = volume > 0 ? row.peer->receive(pty, volume) : 0;
    }
    for (auto& row : rows) {
        Pty pty;
        row.figures.echoUs = echoes > 0 ? row.peer->echo(pty, echoes) : 0;
    }
    for (auto& row : rows) {
        Pty pty;
        row.figures.idleCpuMs = idleSeconds > 0 ? row.peer->idle(pty, idleSeconds) : 0;
    }

    const Figures& raw = rows.front().figures;
    std::printf("%zu MiB per throughput run, median of %d echoes, %d idle seconds\n\n", volume >> 20, echoes,
                idleSeconds);
    std::printf("| %-24s | %9s | %6s | %9s | %6s | %8s | %9s | %7s |\n", "pty pair", "rx MB/s", "x raw",
                "echo µs", "x raw", "+µs", "idle ms", "% core");
    std::printf("%s", Dashes({26, 11, 8, 11, 8, 10, 11, 9}).c_str());
    for (const auto& row : rows) {
        const Figures& f = row.figures;
        std::printf("| %-24s | %9.1f | %6.2f | %9.1f | %6.2f | %8.1f | %9.2f | %7.3f |\n", row.peer->name, f.mbps,
                    f.mbps / raw.mbps, f.echoUs, f.echoUs / raw.echoUs, f.echoUs - raw.echoUs, f.idleCpuMs,
                    f.idleCpuMs / (idleSeconds * 10.0));
    }
    std::printf("\n");
}

// Rows go out as they are measured; the raw loop comes first at each rate.
void MeasureStreams(const std::vector<Row>& rows, double seconds)
{
    std::printf("Paced streams, %.0f s each: CPU of the receiving process (%% of one core), latency from the "
                "device's write of a piece to the callback that got its last byte, the device's writes behind "
                "their deadlines, and the CPU that the rest of the machine used meanwhile (other processes, the "
                "kernel's workers, the hypervisor's steal)\n\n",
                seconds);
    std::printf("| %-27s | %-24s | %6s | %5s | %8s | %5s | %8s | %5s | %6s | %16s | %8s | %s |\n", "stream",
                "pty pair", "CPU %", "x raw", "p50 µs", "x raw", "p99 µs", "x raw", "B/call", "late µs p99/max",
                "others %", "check");
    std::printf("%s", Dashes({29, 26, 8, 7, 9, 7, 9, 7, 8, 17, 10, 7}).c_str());
    bool realtime = true;
    for (const StreamRate& rate : kStreamRates) {
        StreamFigures raw;
        for (const auto& row : rows) {
            Pty pty;
            PacedStream stream(pty.master, rate, seconds);
            row.peer->stream(pty, stream);
            const StreamFigures f = stream.Finish();
            if (row.peer == &RawPeer)
                raw = f;
            realtime = realtime && f.deviceRealtime;
            std::printf("| %s | %-24s | %6.2f | %5.2f | %7.1f | %5.2f | %7.1f | %5.2f | %6.1f | %6.0f / %6.0f | %8.1f | %s |\n",
                        Padded(rate.name, 27).c_str(), row.peer->name, f.cpuPercent, f.cpuPercent / raw.cpuPercent,
                        f.p50Us, f.p50Us / raw.p50Us, f.p99Us, f.p99Us / raw.p99Us, f.bytesPerCall, f.lateP99Us,
                        f.lateMaxUs, f.othersPercent, f.error.empty() ? "ok" : f.error.c_str());
            std::fflush(stdout);
        }
    }
    std::printf(realtime ? "\nThe device ran at real-time priority (SCHED_FIFO).\n"
                         : "\nThe device ran at normal priority (no permission for SCHED_FIFO): its lateness includes "
                           "waiting for the other processes of the host.\n");
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::vector<std::string> args;
    double streamSeconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--stream=", 9) == 0)
            streamSeconds = std::atof(argv[i] + 9);
        else
            args.emplace_back(argv[i]);
    }
    const auto arg = [&](size_t i, int fallback) { return i < args.size() ? std::atoi(args[i].c_str()) : fallback; };
    const size_t volume = size_t(arg(0, 16)) << 20;
    const int echoes = arg(1, 2000);
    const int idleSeconds = arg(2, 5);
    const std::string only = args.size() > 3 ? args[3] : "";

    std::vector<Row> rows;
    for (const Peer* peer : {&RawPeer, &HandOffPeer, &LayerPeer, &ComponentPeer, &ComponentLargeQueuePeer, &QtPeer, &LibSerialPortPeer, &AsioPeer})
        if (peer == &RawPeer || only.empty() || std::string(peer->name).find(only) != std::string::npos)
            rows.push_back({peer, {}});
    if (volume > 0 || echoes > 0 || idleSeconds > 0)
        MeasureFirst(rows, volume, echoes, idleSeconds);
    if (streamSeconds > 0)
        MeasureStreams(rows, streamSeconds);
    return 0;
}
