#pragma once
// Helpers for the serial-component tests: pseudo-terminals and virtual pairs
// registered as COM ports in the test's own port map, and waiting while the
// Qt event loop runs.
#include "vxcomm.h"
#include "virtualpair.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
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

} // namespace commtest
