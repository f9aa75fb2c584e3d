// Soak test of the serial component: open/close cycles while the device side
// keeps sending, a fresh component every tenth cycle. File descriptors and
// threads must be the same at the end as after the first hundred cycles, and
// memory must not keep growing.
// Usage: bench_soak [cycles]   (default 10000); exit status 1 on a leak.
#include "bench_common.h"
#include "com_link.h"
#include "vxcomm.h"

#include <QApplication>
#include <dirent.h>
#include <fstream>
#include <memory>

using namespace bench;

namespace {

constexpr uint16_t kPortNo = 201;

struct Usage {
    int fds = 0;
    int threads = 0;
    long rssKiB = 0;
};

Usage Measure()
{
    Usage u;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* e = readdir(dir))
            u.fds += e->d_name[0] != '.';
        closedir(dir);
        --u.fds; // the listing's own descriptor
    }
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:")
            status >> u.threads;
        else if (key == "VmRSS:")
            status >> u.rssKiB;
    }
    return u;
}

// The device: sends 16 bytes every millisecond and swallows what it gets.
class Device {
public:
    explicit Device(int master) : master_(master)
    {
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] { Run(); });
    }
    ~Device()
    {
        stop_ = true;
        thread_.join();
    }
    size_t Received() const { return received_; }

private:
    void Run()
    {
        const char chunk[] = "#8080008181808000";
        char sink[4096];
        while (!stop_) {
            [[maybe_unused]] auto w = ::write(master_, chunk, 16); // dropped while the pty is full
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 1) > 0 && (p.revents & POLLIN)) {
                const ssize_t n = ::read(master_, sink, sizeof sink);
                if (n > 0)
                    received_ += size_t(n);
            }
        }
    }
    int master_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> received_{0};
    std::thread thread_;
};

// A closed port's threads end on their own, a moment after the close; the
// count is taken once they have (or after 5 s, when a leak keeps them).
Usage Settled(const Usage& base)
{
    const auto limit = Clock::now() + std::chrono::seconds(5);
    Usage u = Measure();
    while ((u.threads > base.threads || u.fds > base.fds) && Clock::now() < limit) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        u = Measure();
    }
    return u;
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 10000;
    Pty pty;
    ComLink link(kPortNo, pty.path);
    Device device(pty.master);
    const Usage base = Measure(); // no port open yet

    std::unique_ptr<TvxComm> rs;
    size_t received = 0;
    int cyclesWithData = 0;
    Usage early{}, late{};
    const auto start = Clock::now();
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        if (cycle % 10 == 1) {
            rs = std::make_unique<TvxComm>();
            rs->SetComPortNo(kPortNo);
            rs->OnAfterReceive = [&](TObject*, void*, uint32_t count) { received += count; };
        }
        const size_t before = received;
        rs->SetActive(true);
        if (!rs->IsOpen()) {
            std::fprintf(stderr, "cycle %d: the port did not open\n", cycle);
            return 1;
        }
        const auto limit = Clock::now() + std::chrono::milliseconds(100);
        while (received == before && Clock::now() < limit)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        cyclesWithData += received > before;
        rs->SendString("00#00030");
        rs->SetActive(false);
        if (cycle % 10 == 0)
            rs.reset();
        if (cycle == 100)
            early = Settled(base);
    }
    const double seconds = Seconds(Clock::now() - start);
    late = Settled(base);

    std::printf("%d open/close cycles in %.1f s (%.2f ms each); %d of them received data; "
                "%zu bytes received, %zu bytes sent to the device\n",
                cycles, seconds, seconds * 1e3 / cycles, cyclesWithData, received, device.Received());
    std::printf("| %-22s | %12s | %12s | %8s |\n", "", "after 100", "at the end", "change");
    std::printf("|%s|%s|%s|%s|\n", std::string(24, '-').c_str(), std::string(14, '-').c_str(),
                std::string(14, '-').c_str(), std::string(10, '-').c_str());
    std::printf("| %-22s | %12d | %12d | %8d |\n", "file descriptors", early.fds, late.fds, late.fds - early.fds);
    std::printf("| %-22s | %12d | %12d | %8d |\n", "threads", early.threads, late.threads,
                late.threads - early.threads);
    std::printf("| %-22s | %12ld | %12ld | %8ld |\n", "resident memory, KiB", early.rssKiB, late.rssKiB,
                late.rssKiB - early.rssKiB);
    // Allocator pages settle during the run; a leak of even one small block a
    // cycle would pass this in 10000 cycles.
    const bool leak = late.fds != early.fds || late.threads != early.threads || late.rssKiB - early.rssKiB > 2048;
    std::printf("%s\n", leak ? "LEAK" : "no leak");
    return leak ? 1 : 0;
}
