#pragma once
// What the serial benchmarks share: a pty pair whose master side plays the
// device, the traffic generators on that side, and the measurements.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// CPU time, user plus system, in milliseconds.
inline double CpuMs(const rusage& u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// This process's.
inline double CpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return CpuMs(u);
}

// CPU time the whole machine spent busy, every core and the hypervisor's
// steal included, in milliseconds.
inline double HostBusyMs()
{
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    if (FILE* stat = std::fopen("/proc/stat", "r")) {
        if (std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait,
                        &irq, &softirq, &steal) != 8)
            user = nice = system = irq = softirq = steal = 0;
        std::fclose(stat);
    }
    return double(user + nice + system + irq + softirq + steal) * 1e3 / double(sysconf(_SC_CLK_TCK));
}

// The value below which the share q of the values lie (q = 1: the largest).
inline double Percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

inline double Median(std::vector<double> v)
{
    return Percentile(std::move(v), 0.5);
}

// With --pin, the device side (the echo client, the blasting writer, the
// paced device) runs on the first CPU and the receiver's threads on the last:
// on a virtual machine the scheduler otherwise puts the two sides on one CPU
// in some rounds and on two in others, and a wake-up of an idle virtual CPU
// costs tens of µs, so the round trip of one run says more about where the
// threads landed than about the receiver.
inline bool& Pinned()
{
    static bool pinned = false;
    return pinned;
}

// The calling thread, and every thread and process that it starts later.
inline void PinTo(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

inline int LastCpu()
{
    return int(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN))) - 1;
}

// With --settle, the echo client, the throughput's writer and the paced
// device wait this long after the receiver has opened the port before their
// first byte. On a small virtual machine, threads that ran a moment ago (the
// receiver's own, started by the open) change where the scheduler wakes the
// two sides for some tenths of a second. A program that keeps its port open
// runs past that; then a tenth or two of a microsecond of work between the
// receiver's write and its next wait decides whether the answer wakes an idle
// CPU.
inline int& SettleMs()
{
    static int ms = 0;
    return ms;
}

inline void Settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(SettleMs()));
}

// The device side for the calling thread, until the object goes.
class DeviceSide {
public:
    DeviceSide()
    {
        sched_getaffinity(0, sizeof saved_, &saved_);
        if (Pinned())
            PinTo(0);
    }
    ~DeviceSide() { sched_setaffinity(0, sizeof saved_, &saved_); }
    DeviceSide(const DeviceSide&) = delete;
    DeviceSide& operator=(const DeviceSide&) = delete;

private:
    cpu_set_t saved_;
};

// The slave end is held open by the pair so that the master never sees a
// hang-up between two openings of the port by a library.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty()
    {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        path = name;
        termios tio;
        tcgetattr(master, &tio);
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
    }
    ~Pty()
    {
        ::close(master);
        ::close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

// Writes `volume` bytes into fd as fast as the reader takes them.
inline void Blast(int fd, size_t volume)
{
    const DeviceSide side;
    std::vector<uint8_t> block(65536);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = uint8_t(i);
    size_t sent = 0;
    while (sent < volume) {
        const ssize_t n = ::write(fd, block.data(), std::min(block.size(), volume - sent));
        if (n > 0)
            sent += size_t(n);
    }
}

// The device side of the echo test: writes one byte on the master, waits for
// it to come back, `count` times; gives the round trips in microseconds.
// A round trip that takes over a second counts as lost and ends the run.
inline std::vector<double> EchoClient(int master, int count)
{
    std::vector<double> us;
    us.reserve(size_t(count));
    const DeviceSide side;
    Settle();
    for (int i = 0; i < count; ++i) {
        const uint8_t b = uint8_t(i);
        uint8_t r = 0;
        const auto start = Clock::now();
        if (::write(master, &b, 1) != 1)
            break;
        bool back = false;
        while (!back) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0)
                return us;
            back = ::read(master, &r, 1) == 1;
        }
        us.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    return us;
}

// MB/s of `volume` bytes blasted into the master while `receive` runs until
// the receiver has them all.
template <class Receive>
double BlastWhile(Pty& pty, size_t volume, Receive receive)
{
    Settle();
    std::thread writer(Blast, pty.master, volume);
    const auto start = Clock::now();
    receive();
    const double mbps = double(volume) / Seconds(Clock::now() - start) / 1e6;
    writer.join();
    return mbps;
}

// The same with `readSome`, which blocks until it can give a count of bytes
// read into the buffer.
template <class ReadSome>
double ReceiveThroughput(Pty& pty, size_t volume, ReadSome readSome)
{
    std::vector<uint8_t> buffer(8192);
    return BlastWhile(pty, volume, [&] {
        for (size_t got = 0; got < volume;)
            got += readSome(buffer);
    });
}

// Median echo round trip against a server thread that runs `serveOnce` (wait
// for input, send it back) until it is told to stop; a last byte from the
// master releases a server that waits without a time limit.
template <class ServeOnce>
double EchoRoundTrip(Pty& pty, int count, ServeOnce serveOnce)
{
    std::atomic<bool> stop{false};
    std::thread server([&] {
        while (!stop)
            serveOnce(stop);
    });
    const double median = Median(EchoClient(pty.master, count));
    stop = true;
    [[maybe_unused]] auto w = ::write(pty.master, "x", 1);
    server.join();
    return median;
}

// Process CPU time over `seconds` while a thread blocks in `wait` until
// input arrives; a byte from the master side then releases it.
template <class Wait>
double IdleCpuWhileWaiting(Pty& pty, int seconds, Wait wait)
{
    std::thread waiter(wait);
    const double before = CpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double used = CpuMs() - before;
    [[maybe_unused]] auto w = ::write(pty.master, "x", 1);
    waiter.join();
    return used;
}

struct Figures {
    double mbps = 0;     // receive throughput
    double echoUs = 0;   // median 1-byte round trip
    double idleCpuMs = 0; // over the idle period
    std::string note;
};

} // namespace bench
