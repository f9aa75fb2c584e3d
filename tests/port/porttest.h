#pragma once
// Helpers shared by the port-layer tests: a pseudo-terminal whose slave the
// layer opens by path, and waiting with a limit.
#include "cputime.h"
#include "vxport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace porttest {

using namespace vxport;

inline bool WaitUntil(const std::function<bool()>& done, int ms = 3000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline HANDLE OpenPath(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

// A pseudo-terminal: the test talks through the master, the layer opens the
// slave by its path. The test keeps its own slave descriptor to read termios.
class Pty {
public:
    Pty()
    {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        path = name;
        termios tio;
        tcgetattr(master, &tio);
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty()
    {
        CloseMaster();
        ::close(slave);
    }
    void CloseMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    void Send(const std::vector<uint8_t>& bytes) const
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += size_t(n);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void Send(const std::string& text) const { Send(std::vector<uint8_t>(text.begin(), text.end())); }
    // Reads until `count` bytes came or the time is up.
    std::vector<uint8_t> Receive(size_t count, int ms = 3000) const
    {
        std::vector<uint8_t> got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0)
                continue;
            uint8_t buffer[4096];
            ssize_t n = ::read(master, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    int master = -1;
    int slave = -1;
    std::string path;
};

// The character whose arrival raises EV_RXFLAG.
inline bool SetEventChar(HANDLE port, char c)
{
    DCB dcb{};
    if (!GetCommState(port, &dcb))
        return false;
    dcb.EvtChar = c;
    return SetCommState(port, &dcb) != FALSE;
}

inline DWORD InQueue(HANDLE port)
{
    DWORD errors = 0;
    COMSTAT stat{};
    ClearCommError(port, &errors, &stat);
    return stat.cbInQue;
}

} // namespace porttest
