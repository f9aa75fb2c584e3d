// Port-layer benchmarks on a pseudo-terminal pair, each against a raw
// poll()/read() loop measured in the same run: receive throughput, 1-byte
// echo round trip, and the CPU an idle open port uses.
#include "bench_common.h"
#include "vxport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vxport;
using namespace bench;

namespace {

constexpr size_t kVolume = 32u << 20; // bytes per throughput run
constexpr int kEchoes = 3000;
constexpr int kIdleSeconds = 5;

int OpenRaw(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

HANDLE OpenLayer(const std::string& path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "open %s: %s\n", path.c_str(), SysErrorMessage(GetLastError()).c_str());
        std::exit(1);
    }
    SetupComm(h, 8192, 8192);
    return h;
}

// ---- Receive throughput ----------------------------------------------------

double RawReceive()
{
    Pty pty;
    int fd = OpenRaw(pty.path);
    std::thread writer(Blast, pty.master, kVolume);
    std::vector<uint8_t> buffer(8192);
    size_t got = 0;
    auto start = Clock::now();
    while (got < kVolume) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, -1);
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0)
            got += size_t(n);
    }
    double mbps = kVolume / Seconds(Clock::now() - start) / 1e6;
    writer.join();
    ::close(fd);
    return mbps;
}

// As the serial component receives: wait for EV_RXCHAR, ask for the input
// count, read exactly that many bytes.
double LayerReceive()
{
    Pty pty;
    HANDLE port = OpenLayer(pty.path);
    SetCommMask(port, EV_RXCHAR);
    HANDLE waitEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED waitOv{}, readOv{};
    waitOv.hEvent = waitEvent;
    readOv.hEvent = readEvent;
    std::thread writer(Blast, pty.master, kVolume);
    std::vector<uint8_t> buffer(8192);
    size_t got = 0;
    auto start = Clock::now();
    while (got < kVolume) {
        DWORD mask = 0;
        ClearOverlapped(waitOv);
        if (!WaitCommEvent(port, &mask, &waitOv))
            WaitForSingleObject(waitEvent, INFINITE);
        DWORD errors = 0;
        COMSTAT stat{};
        ClearCommError(port, &errors, &stat);
        if (stat.cbInQue == 0)
            continue;
        DWORD n = 0;
        ClearOverlapped(readOv);
        if (!ReadFile(port, buffer.data(), stat.cbInQue, &n, &readOv))
            GetOverlappedResult(port, &readOv, &n, TRUE);
        got += n;
    }
    double mbps = kVolume / Seconds(Clock::now() - start) / 1e6;
    writer.join();
    CloseHandle(port);
    CloseHandle(waitEvent);
    CloseHandle(readEvent);
    return mbps;
}

// ---- Echo round trip -------------------------------------------------------

// Echoes every byte from the master back until told to stop.
struct Echo {
    std::atomic<bool> stop{false};
    std::thread thread;
    explicit Echo(int fd)
        : thread([this, fd] {
              uint8_t b[64];
              while (!stop) {
                  pollfd p{fd, POLLIN, 0};
                  if (::poll(&p, 1, 50) > 0) {
                      ssize_t n = ::read(fd, b, sizeof b);
                      if (n > 0)
                          [[maybe_unused]] auto w = ::write(fd, b, size_t(n));
                  }
              }
          })
    {
    }
    ~Echo()
    {
        stop = true;
        thread.join();
    }
};

double RawEcho()
{
    Pty pty;
    int fd = OpenRaw(pty.path);
    Echo echo(pty.master);
    std::vector<double> us;
    for (int i = 0; i < kEchoes; ++i) {
        uint8_t b = uint8_t(i), r = 0;
        auto start = Clock::now();
        [[maybe_unused]] auto w = ::write(fd, &b, 1);
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, -1);
            if (::read(fd, &r, 1) == 1)
                break;
        }
        us.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    ::close(fd);
    return Median(us);
}

double LayerEcho()
{
    Pty pty;
    HANDLE port = OpenLayer(pty.path);
    SetCommMask(port, EV_RXCHAR);
    HANDLE waitEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED waitOv{}, readOv{}, writeOv{};
    waitOv.hEvent = waitEvent;
    Echo echo(pty.master);
    std::vector<double> us;
    for (int i = 0; i < kEchoes; ++i) {
        uint8_t b = uint8_t(i), r = 0;
        auto start = Clock::now();
        DWORD n = 0;
        if (!WriteFile(port, &b, 1, &n, &writeOv))
            GetOverlappedResult(port, &writeOv, &n, TRUE);
        for (;;) {
            DWORD mask = 0, errors = 0;
            COMSTAT stat{};
            ClearCommError(port, &errors, &stat);
            if (stat.cbInQue > 0)
                break;
            if (!WaitCommEvent(port, &mask, &waitOv))
                WaitForSingleObject(waitEvent, INFINITE);
        }
        if (!ReadFile(port, &r, 1, &n, &readOv))
            GetOverlappedResult(port, &readOv, &n, TRUE);
        us.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    CloseHandle(port);
    CloseHandle(waitEvent);
    return Median(us);
}

// ---- Idle CPU --------------------------------------------------------------

double RawIdleCpuMs()
{
    Pty pty;
    int fd = OpenRaw(pty.path);
    std::thread waiter([fd] {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, kIdleSeconds * 1000 + 500);
    });
    double before = CpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    double used = CpuMs() - before;
    waiter.join();
    ::close(fd);
    return used;
}

double LayerIdleCpuMs()
{
    Pty pty;
    HANDLE port = OpenLayer(pty.path);
    SetCommMask(port, EV_RXCHAR);
    HANDLE waitEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED waitOv{};
    waitOv.hEvent = waitEvent;
    DWORD mask = 0;
    WaitCommEvent(port, &mask, &waitOv);
    double before = CpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    double used = CpuMs() - before;
    CloseHandle(port);
    CloseHandle(waitEvent);
    return used;
}

} // namespace

int main()
{
    const double rawRx = RawReceive(), layerRx = LayerReceive();
    const double rawEcho = RawEcho(), layerEcho = LayerEcho();
    const double rawIdle = RawIdleCpuMs(), layerIdle = LayerIdleCpuMs();
    std::printf("%-34s %12s %12s %8s\n", "benchmark (pty pair)", "raw", "layer", "ratio");
    std::printf("%-34s %12.1f %12.1f %8.2f\n", "receive throughput, MB/s", rawRx, layerRx, layerRx / rawRx);
    std::printf("%-34s %12.1f %12.1f %8.2f\n", "1-byte echo round trip, median us", rawEcho, layerEcho,
                layerEcho / rawEcho);
    std::printf("%-34s %12.2f %12.2f %8s\n", "CPU over 5 idle seconds, ms", rawIdle, layerIdle, "-");
    return 0;
}
