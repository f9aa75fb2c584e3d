// The serial component and the serial libraries people use, on pty pairs in
// one run, each against the raw poll/read loop measured in that same run:
// receive throughput, 1-byte echo round trip, CPU while open and idle, and
// CPU and delivery latency while a device streams at real line rates.
// Usage: bench_serial [MiB-per-throughput-run] [echoes] [idle-seconds] [peer-name-parts,...] [--stream=seconds]
//                     [--rounds=N] [--baud=rate] [--pin] [--settle=ms]
// "0 0 0" leaves the first three measurements out, --stream=0 the streams.
// --pin puts the device side on the first CPU and the receivers on the last.
// The echoes and each stream's seconds are shared out over the N rounds (5);
// --baud picks one of the streams; --settle has each run wait that long after
// the open before its first byte.
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

// A pty's throughput and round trip drift by a third from one second to the
// next on a virtual machine, so each measurement runs in interleaved rounds
// (every peer once per round, on a fresh pty pair) and the median round counts.
template <class Measure>
std::vector<double> Interleaved(const std::vector<Row>& rows, int rounds, Measure measure)
{
    std::vector<std::vector<double>> values(rows.size());
    for (int round = 0; round < rounds; ++round)
        for (size_t i = 0; i < rows.size(); ++i) {
            Pty pty;
            values[i].push_back(measure(*rows[i].peer, pty));
        }
    std::vector<double> medians;
    for (auto& v : values)
        medians.push_back(Median(std::move(v)));
    return medians;
}

void MeasureFirst(std::vector<Row>& rows, size_t volume, int echoes, int idleSeconds, int rounds)
{
    // A count of 0 leaves that measurement out.
    if (volume > 0) {
        const auto mbps = Interleaved(rows, rounds, [&](const Peer& p, Pty& pty) { return p.receive(pty, volume); });
        for (size_t i = 0; i < rows.size(); ++i)
            rows[i].figures.mbps = mbps[i];
    }
    const int perRound = std::max(1, echoes / rounds);
    if (echoes > 0) {
        const auto us = Interleaved(rows, rounds, [&](const Peer& p, Pty& pty) { return p.echo(pty, perRound); });
        for (size_t i = 0; i < rows.size(); ++i)
            rows[i].figures.echoUs = us[i];
    }
    for (auto& row : rows) {
        Pty pty;
        row.figures.idleCpuMs = idleSeconds > 0 ? row.peer->idle(pty, idleSeconds) : 0;
    }

    const Figures& raw = rows.front().figures;
    std::printf("Medians of %d interleaved rounds: %zu MiB per throughput run, the median of %d echoes per round; "
                "%d idle seconds%s\n\n",
                rounds, volume >> 20, perRound, idleSeconds,
                SettleMs() > 0 ? ("; echoes and throughput " + std::to_string(SettleMs()) + " ms after the open").c_str() : "");
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

// Each figure is the median over the rounds; a failed check in any round
// shows.
StreamFigures MedianOf(const std::vector<StreamFigures>& rounds)
{
    const auto median = [&](double StreamFigures::*field) {
        std::vector<double> v;
        for (const auto& f : rounds)
            v.push_back(f.*field);
        return Median(std::move(v));
    };
    StreamFigures m;
    for (double StreamFigures::*field : {&StreamFigures::cpuPercent, &StreamFigures::p50Us, &StreamFigures::p99Us,
                                          &StreamFigures::bytesPerCall, &StreamFigures::lateP99Us,
                                          &StreamFigures::othersPercent})
        m.*field = median(field);
    m.deviceRealtime = true;
    for (const auto& f : rounds) {
        m.lateMaxUs = std::max(m.lateMaxUs, f.lateMaxUs);
        m.deviceRealtime = m.deviceRealtime && f.deviceRealtime;
        if (m.error.empty())
            m.error = f.error;
    }
    return m;
}

void MeasureStreams(const std::vector<Row>& rows, double seconds, int rounds, int onlyBaud)
{
    std::printf("Paced streams, %d interleaved rounds of %.1f s, medians over the rounds (the maximum lateness is "
                "the largest): CPU of the receiving process (%% of one core), latency from the device's write of a "
                "piece to the callback that got its last byte, the device's writes behind their deadlines, and the "
                "CPU that the rest of the machine used meanwhile (other processes, the kernel's workers, the "
                "hypervisor's steal)%s\n\n",
                rounds, seconds / rounds,
                SettleMs() > 0 ? ("; each stream " + std::to_string(SettleMs()) + " ms after the open").c_str() : "");
    std::printf("| %-27s | %-24s | %6s | %5s | %8s | %5s | %8s | %5s | %6s | %16s | %8s | %s |\n", "stream",
                "pty pair", "CPU %", "x raw", "p50 µs", "x raw", "p99 µs", "x raw", "B/call", "late µs p99/max",
                "others %", "check");
    std::printf("%s", Dashes({29, 26, 8, 7, 9, 7, 9, 7, 8, 17, 10, 7}).c_str());
    bool realtime = true;
    for (const StreamRate& rate : kStreamRates) {
        if (onlyBaud != 0 && rate.baud != onlyBaud)
            continue;
        std::vector<std::vector<StreamFigures>> figures(rows.size());
        for (int round = 0; round < rounds; ++round)
            for (size_t i = 0; i < rows.size(); ++i) {
                Pty pty;
                PacedStream stream(pty.master, rate, seconds / rounds);
                rows[i].peer->stream(pty, stream);
                figures[i].push_back(stream.Finish());
            }
        const StreamFigures raw = MedianOf(figures.front());
        for (size_t i = 0; i < rows.size(); ++i) {
            const StreamFigures f = MedianOf(figures[i]);
            realtime = realtime && f.deviceRealtime;
            std::printf("| %s | %-24s | %6.2f | %5.2f | %7.1f | %5.2f | %7.1f | %5.2f | %6.1f | %6.0f / %6.0f | %8.1f | %s |\n",
                        Padded(rate.name, 27).c_str(), rows[i].peer->name, f.cpuPercent, f.cpuPercent / raw.cpuPercent,
                        f.p50Us, f.p50Us / raw.p50Us, f.p99Us, f.p99Us / raw.p99Us, f.bytesPerCall, f.lateP99Us,
                        f.lateMaxUs, f.othersPercent, f.error.empty() ? "ok" : f.error.c_str());
        }
        std::fflush(stdout);
    }
    std::printf(realtime ? "\nThe device ran at real-time priority (SCHED_FIFO).\n"
                         : "\nThe device ran at normal priority (no permission for SCHED_FIFO): its lateness includes "
                           "waiting for the other processes of the host.\n");
}

// `only` holds parts of peer names, separated by commas.
bool Chosen(const std::string& name, const std::string& only)
{
    for (size_t from = 0; from <= only.size();) {
        const size_t comma = std::min(only.find(',', from), only.size());
        if (comma > from && name.find(only.substr(from, comma - from)) != std::string::npos)
            return true;
        from = comma + 1;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::vector<std::string> args;
    double streamSeconds = 10;
    int rounds = 5;
    int onlyBaud = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--stream=", 9) == 0)
            streamSeconds = std::atof(argv[i] + 9);
        else if (std::strncmp(argv[i], "--baud=", 7) == 0)
            onlyBaud = std::atoi(argv[i] + 7);
        else if (std::strcmp(argv[i], "--pin") == 0)
            Pinned() = LastCpu() > 0;
        else if (std::strncmp(argv[i], "--settle=", 9) == 0)
            SettleMs() = std::max(0, std::atoi(argv[i] + 9));
        else if (std::strncmp(argv[i], "--rounds=", 9) == 0)
            rounds = std::max(1, std::atoi(argv[i] + 9));
        else
            args.emplace_back(argv[i]);
    }
    const auto arg = [&](size_t i, int fallback) { return i < args.size() ? std::atoi(args[i].c_str()) : fallback; };
    const size_t volume = size_t(arg(0, 16)) << 20;
    const int echoes = arg(1, 2000);
    const int idleSeconds = arg(2, 5);
    const std::string only = args.size() > 3 ? args[3] : "";

    if (Pinned()) {
        PinTo(LastCpu());
        std::printf("Pinned: the device side on CPU 0, the receivers on CPU %d.\n\n", LastCpu());
    }
    std::vector<Row> rows;
    for (const Peer* peer : {&RawPeer, &HandOffPeer, &BoundedHandOffPeer, &WatchPeer, &NestedWatchPeer,
                             &DirectThreadsWatchPeer, &ThreadsWatchPeer, &DeviceThreadsWatchPeer, &LayerPeer,
                             &ComponentPeer, &ComponentLargeQueuePeer, &QtPeer, &LibSerialPortPeer, &AsioPeer})
        if (peer == &RawPeer || only.empty() || Chosen(peer->name, only))
            rows.push_back({peer, {}});
    if (volume > 0 || echoes > 0 || idleSeconds > 0)
        MeasureFirst(rows, volume, echoes, idleSeconds, rounds);
    if (streamSeconds > 0)
        MeasureStreams(rows, streamSeconds, rounds, onlyBaud);
    return 0;
}
