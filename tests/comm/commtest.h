#pragma once
// Helpers for the serial-component tests: pseudo-terminals and virtual pairs
// registered as COM ports in the test's own port map, and waiting while the
// Qt event loop runs.
#include "vxcomm.h"
#include "virtualpair.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace commtest {

namespace fs = std::filesystem;

inline fs::path PortFolder()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    fs::path folder = fs::path(config ? config : "/tmp") / "vxcomm" / "ports";
    fs::create_directories(folder);
    return folder;
}

inline void LinkPort(unsigned number, const std::string& target)
{
    const fs::path link = PortFolder() / ("com" + std::to_string(number));
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link);
}

inline void UnlinkPort(unsigned number)
{
    std::error_code ec;
    fs::remove(PortFolder() / ("com" + std::to_string(number)), ec);
}

// Runs the event loop until done() holds or the limit passes.
inline bool Pump(const std::function<bool()>& done, int ms = 3000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void PumpFor(int ms)
{
    Pump([] { return false; }, ms);
}

// A pseudo-terminal registered as COM<number>; the test is the device on the master.
class PtyPort {
public:
    explicit PtyPort(unsigned number) : number_(number)
    {
        int slave = -1;
        char name[128];
        if (openpty(&master_, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        ::close(slave);
        LinkPort(number, name);
    }
    ~PtyPort()
    {
        CloseMaster();
        UnlinkPort(number_);
    }
    void Write(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                throw std::runtime_error("pty write failed");
            done += size_t(n);
        }
    }
    // What the component sent, gathered until `count` bytes or the limit.
    std::string Read(size_t count, int ms = 2000)
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
                char buf[4096];
                const ssize_t n = ::read(master_, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, size_t(n));
            }
        }
        return got;
    }
    void CloseMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }
    unsigned Number() const { return number_; }

private:
    unsigned number_;
    int master_ = -1;
};

// A virtual pair whose end A is registered as COM<number>; the test drives end B.
class VirtualPort {
public:
    VirtualPort(unsigned number, const std::string& name) : number_(number), name_(name)
    {
        vxport::virtualpair::Create(name);
        LinkPort(number, vxport::virtualpair::PortName(name, vxport::virtualpair::End::A));
        peer_ = vxport::CreateFileA(vxport::virtualpair::PortName(name, vxport::virtualpair::End::B).c_str(),
                                    vxport::GENERIC_READ | vxport::GENERIC_WRITE, 0, nullptr, vxport::OPEN_EXISTING,
                                    vxport::FILE_FLAG_OVERLAPPED, nullptr);
        if (peer_ == vxport::INVALID_HANDLE_VALUE)
            throw std::runtime_error("virtual peer open failed");
    }
    ~VirtualPort()
    {
        vxport::CloseHandle(peer_);
        vxport::virtualpair::Destroy(name_);
        UnlinkPort(number_);
    }
    void Write(const std::string& bytes)
    {
        vxport::OVERLAPPED ov{};
        vxport::DWORD written = 0;
        if (!vxport::WriteFile(peer_, bytes.data(), vxport::DWORD(bytes.size()), &written, &ov))
            vxport::GetOverlappedResult(peer_, &ov, &written, vxport::TRUE);
    }
    const std::string& Name() const { return name_; }
    vxport::HANDLE Peer() const { return peer_; }

private:
    unsigned number_;
    std::string name_;
    vxport::HANDLE peer_;
};

// A component that raises and drops RTS itself in RS485 mode.
class TManualRtsComm : public TvxComm {
public:
    explicit TManualRtsComm(QObject* owner = nullptr) : TvxComm(owner, true) {}
    ~TManualRtsComm() override { CloseForDestruction(); }
};

// A serial Plug and Play device on end B: after the host drops DTR and RTS,
// raises DTR and then RTS, it sends its answer once and notes the line
// settings the host used.
class PnpDevice {
public:
    PnpDevice(VirtualPort& port, const TvxComm& host, std::string answer)
        : port_(port), host_(host), answer_(std::move(answer)), thread_([this] { Run(); })
    {
    }
    ~PnpDevice()
    {
        stop_ = true;
        thread_.join();
    }
    std::atomic<int> answers{0};
    std::atomic<uint32_t> baud{0};
    std::atomic<int> byteSize{0}, parity{-1}, stopBits{-1};

private:
    void Run()
    {
        int phase = 0;
        while (!stop_) {
            const vxport::DWORD lines = vxport::virtualpair::DrivenLines(port_.Name(), vxport::virtualpair::End::A);
            const bool dtr = lines & vxport::MS_DSR_ON, rts = lines & vxport::MS_CTS_ON;
            if (phase == 0 && !dtr && !rts) {
                phase = 1;
            } else if (phase == 1 && dtr && !rts) {
                phase = 2;
            } else if (phase == 2 && rts && answers == 0) {
                vxport::DCB dcb{};
                if (vxport::GetCommState(host_.Handle(), &dcb)) {
                    baud = dcb.BaudRate;
                    byteSize = dcb.ByteSize;
                    parity = dcb.Parity;
                    stopBits = dcb.StopBits;
                }
                ++answers; // counted before the host can have read the answer
                port_.Write(answer_);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    VirtualPort& port_;
    const TvxComm& host_;
    std::string answer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};



// Writes a piece into a port every 300 us until it goes.
template <class Port>
class Feeder {
public:
    explicit Feeder(Port& port, std::string piece = "0123456789abcdef")
        : thread_([this, &port, piece] {
              while (!stop_) {
                  try {
                      port.Write(piece);
                  } catch (...) {
                  }
                  std::this_thread::sleep_for(std::chrono::microseconds(300));
              }
          })
    {
    }
    ~Feeder()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Ends the test program when a test has not finished in time, so that a hang
// fails within seconds instead of holding CI until its time-out.
class Watchdog {
public:
    explicit Watchdog(int seconds)
        : thread_([this, seconds] {
              std::unique_lock lock(mutex_);
              if (done_.wait_for(lock, std::chrono::seconds(seconds), [this] { return finished_; }))
                  return;
              const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
              std::fprintf(stderr, "%s.%s hangs: no end after %d s\n", test ? test->test_suite_name() : "?",
                           test ? test->name() : "?", seconds);
              std::abort();
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

} // namespace commtest
