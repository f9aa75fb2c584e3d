#pragma once
// A paced stream: a child process on the pty master plays a device that
// delivers bytes at a serial line's rate, in the pieces its hardware hands
// over, while the receiver, alone in this process, counts what arrives and
// when. A child rather than a thread, so that the process's CPU time is the
// receiver's alone.
#include "bench_common.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <new>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace bench {

inline int64_t NowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A line rate and the size of the pieces the device writes; 10 bits a byte (8N1).
struct StreamRate {
    const char* name;
    long baud;
    int pieceBytes;
    int64_t PeriodNs() const { return int64_t(pieceBytes) * 10 * 1'000'000'000 / baud; }
};

// One byte at a time as from a UART without FIFO; 32 bytes as a USB
// converter's low-latency polling delivers them; 64 bytes, a full-speed USB packet.
inline constexpr StreamRate kStreamRates[] = {
    {"115200 baud, 1 B / 87 µs", 115200, 1},
    {"921600 baud, 32 B / 347 µs", 921600, 32},
    {"3 Mbaud, 64 B / 213 µs", 3000000, 64},
};

struct StreamFigures {
    double cpuPercent = 0;  // the receiving process, user + system, % of one core
    double p50Us = 0;       // device's write of a piece to the callback that got its last byte
    double p99Us = 0;
    double bytesPerCall = 0;
    double lateP99Us = 0;   // the device's writes behind their deadlines
    double lateMaxUs = 0;
    double othersPercent = 0; // the rest of the machine meanwhile, % of one core
    bool deviceRealtime = false; // the device's wake-ups did not wait for other processes
    std::string error;      // empty when every byte arrived, in order
};

class PacedStream {
public:
    PacedStream(int master, const StreamRate& rate, double seconds)
        : master_(master), pieceBytes_(size_t(rate.pieceBytes)), periodNs_(rate.PeriodNs()),
          pieces_(size_t(seconds * 1e9 / double(periodNs_))), latencyUs_(pieces_)
    {
        mappedBytes_ = kHeaderBytes + pieces_ * sizeof(int64_t);
        void* memory = mmap(nullptr, mappedBytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            std::perror("mmap");
            std::exit(1);
        }
        shared_ = new (memory) Shared{};
        sentNs_ = reinterpret_cast<int64_t*>(static_cast<char*>(memory) + kHeaderBytes);
    }
    ~PacedStream()
    {
        StopDevice(SIGKILL);
        munmap(shared_, mappedBytes_);
    }
    PacedStream(const PacedStream&) = delete;
    PacedStream& operator=(const PacedStream&) = delete;

    size_t TotalBytes() const { return pieces_ * pieceBytes_; }

    // Starts the device; the receiver must be ready to take bytes.
    void Start()
    {
        Settle();
        shared_->startNs = NowNs() + kLeadNs;
        std::fflush(nullptr);
        device_ = fork();
        if (device_ < 0) {
            std::perror("fork");
            std::exit(1);
        }
        if (device_ == 0)
            RunDevice();
        // A receiver that stops taking bytes would otherwise hang the run.
        std::signal(SIGALRM, [](int) {
            const char text[] = "bench_serial: a paced stream stopped; giving up\n";
            [[maybe_unused]] auto w = ::write(2, text, sizeof text - 1);
            _exit(2);
        });
        alarm(unsigned(double(pieces_) * double(periodNs_) / 1e9) + 60);
        cpuStartMs_ = CpuMs();
        hostStartMs_ = HostBusyMs();
    }

    // The receiver's callback: takes bytes as they reach it. True once the
    // stream has ended for the receiver: every byte arrived, a byte was not
    // the one expected, or the device stopped waiting for the rest.
    bool Deliver(const void* data, size_t n)
    {
        if (ended_)
            return true;
        const int64_t now = NowNs();
        const auto* bytes = static_cast<const uint8_t*>(data);
        if (shared_->stalled.load(std::memory_order_acquire))
            return End(now, "stalled: " + std::to_string(got_) + " of " + std::to_string(TotalBytes()) +
                                " bytes arrived");
        calls_ += n > 0;
        for (size_t i = 0; i < n; ++i, ++got_)
            if (got_ >= TotalBytes() || bytes[i] != PatternByte(got_))
                return End(now, "byte " + std::to_string(got_) + " wrong or extra: bytes lost or out of order");
        for (; done_ < pieces_ && (done_ + 1) * pieceBytes_ <= got_; ++done_)
            latencyUs_[done_] = double(now - std::atomic_ref(sentNs_[done_]).load(std::memory_order_acquire)) / 1e3;
        return got_ == TotalBytes() ? End(now, "") : false;
    }
    bool Ended() const { return ended_; }

    // Waits for the device and gives the figures.
    StreamFigures Finish()
    {
        StreamFigures f;
        if (!ended_)
            End(NowNs(), "the receiver stopped at byte " + std::to_string(got_));
        alarm(0);
        f.error = error_;
        double deviceMs = 0;
        const int status = StopDevice(error_.empty() ? 0 : SIGKILL, &deviceMs);
        if (error_.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
            f.error = "the device failed";
        const double wallMs = double(endNs_ - shared_->startNs) / 1e6;
        f.cpuPercent = (cpuEndMs_ - cpuStartMs_) / wallMs * 100;
        const double othersMs = hostEndMs_ - hostStartMs_ - (cpuEndMs_ - cpuStartMs_) - deviceMs;
        f.othersPercent = std::max(othersMs, 0.0) / wallMs * 100;
        const std::vector<double> latency(latencyUs_.begin(), latencyUs_.begin() + ptrdiff_t(done_));
        f.p50Us = Percentile(latency, 0.5);
        f.p99Us = Percentile(latency, 0.99);
        f.bytesPerCall = calls_ ? double(got_) / double(calls_) : 0;
        std::vector<double> lateUs;
        for (size_t i = 0; i < pieces_ && sentNs_[i] != 0; ++i)
            lateUs.push_back(double(sentNs_[i] - Deadline(i)) / 1e3);
        f.lateP99Us = Percentile(lateUs, 0.99);
        f.lateMaxUs = Percentile(lateUs, 1);
        f.deviceRealtime = shared_->realtime;
        return f;
    }

private:
    struct Shared {
        std::atomic<bool> received{false}; // the receiver is done with the stream
        std::atomic<bool> stalled{false};  // the device gave up waiting for that
        int64_t startNs = 0;               // deadline of the first piece
        bool realtime = false;             // the device runs at real-time priority
    };
    static constexpr size_t kHeaderBytes = 64;
    static_assert(sizeof(Shared) <= kHeaderBytes);
    static constexpr int64_t kLeadNs = 20'000'000;  // between the fork and the first piece
    static constexpr int64_t kGraceNs = 3'000'000'000; // after the last piece

    // Bytes are numbered from the start of the stream; 251 is prime, so no
    // piece size lines up with the pattern and a lost piece shows.
    static uint8_t PatternByte(size_t offset) { return uint8_t(offset % 251); }
    int64_t Deadline(size_t piece) const { return shared_->startNs + int64_t(piece) * periodNs_; }

    bool End(int64_t now, std::string error)
    {
        cpuEndMs_ = CpuMs();
        hostEndMs_ = HostBusyMs();
        endNs_ = now;
        error_ = std::move(error);
        ended_ = true;
        shared_->received.store(true, std::memory_order_release);
        return true;
    }

    int StopDevice(int signal, double* cpuMs = nullptr)
    {
        int status = 0;
        if (device_ > 0) {
            if (signal)
                kill(device_, signal);
            rusage u{};
            wait4(device_, &status, 0, &u);
            device_ = 0;
            if (cpuMs)
                *cpuMs = CpuMs(u);
        }
        return status;
    }

    static void SleepUntil(int64_t ns)
    {
        const timespec t{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
        }
    }

    // The child: only system calls from here on (the parent has threads).
    // Each deadline is the previous one plus the period, so a late write is
    // followed by the next ones at once until the device is back on time.
    [[noreturn]] void RunDevice()
    {
        // Hardware keeps its pace whatever the host does; the closest a
        // process comes is real-time priority, where it is allowed.
        prctl(PR_SET_TIMERSLACK, 1UL);
        if (Pinned())
            PinTo(0);
        const sched_param realtime{1};
        shared_->realtime = sched_setscheduler(0, SCHED_FIFO, &realtime) == 0;
        close_range(3, unsigned(master_) - 1, 0);
        close_range(unsigned(master_) + 1, ~0U, 0);
        uint8_t piece[256];
        size_t offset = 0;
        for (size_t i = 0; i < pieces_ && !shared_->received.load(std::memory_order_acquire); ++i) {
            for (size_t k = 0; k < pieceBytes_; ++k)
                piece[k] = PatternByte(offset + k);
            SleepUntil(Deadline(i));
            std::atomic_ref(sentNs_[i]).store(NowNs(), std::memory_order_release);
            if (!WriteAll(piece, pieceBytes_))
                _exit(1);
            offset += pieceBytes_;
        }
        // A receiver blocked in a wait learns of a stall from a stray byte.
        const int64_t giveUp = NowNs() + kGraceNs;
        while (!shared_->received.load(std::memory_order_acquire) && NowNs() < giveUp)
            SleepUntil(NowNs() + 10'000'000);
        if (!shared_->received.load(std::memory_order_acquire))
            shared_->stalled.store(true, std::memory_order_release);
        for (int nudge = 0; nudge < 100 && !shared_->received.load(std::memory_order_acquire); ++nudge) {
            WriteAll(piece, 1);
            SleepUntil(NowNs() + 100'000'000);
        }
        _exit(0);
    }

    bool WriteAll(const uint8_t* data, size_t n) const
    {
        while (n > 0) {
            const ssize_t w = ::write(master_, data, n);
            if (w > 0) {
                data += w;
                n -= size_t(w);
            } else if (errno != EINTR) {
                return false;
            }
        }
        return true;
    }

    int master_;
    size_t pieceBytes_;
    int64_t periodNs_;
    size_t pieces_;
    size_t mappedBytes_ = 0;
    Shared* shared_ = nullptr;
    int64_t* sentNs_ = nullptr; // in the shared mapping: when the device wrote each piece
    pid_t device_ = 0;
    std::vector<double> latencyUs_;
    size_t got_ = 0;
    size_t done_ = 0; // pieces whose last byte arrived
    size_t calls_ = 0;
    bool ended_ = false;
    std::string error_;
    double cpuStartMs_ = 0, cpuEndMs_ = 0;
    double hostStartMs_ = 0, hostEndMs_ = 0;
    int64_t endNs_ = 0;
};

// The receive loop of a peer that blocks in its own wait: `readSome` waits
// for input and gives the count of bytes it read into the buffer.
template <class ReadSome>
void ReceiveStream(PacedStream& stream, ReadSome readSome)
{
    std::vector<uint8_t> buffer(8192);
    stream.Start();
    while (!stream.Ended())
        stream.Deliver(buffer.data(), readSome(buffer));
}

} // namespace bench
