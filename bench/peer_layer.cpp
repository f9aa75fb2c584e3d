// The port layer used the way the serial component uses it, without the
// component: wait for EV_RXCHAR, ask for the input count, read that many.
#include "peers.h"
#include "vxport.h"

using namespace vxport;

namespace bench {
namespace {

struct Port {
    HANDLE handle;
    HANDLE waitEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED waitOv{}, readOv{}, writeOv{};

    explicit Port(const std::string& path)
        : handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr))
    {
        if (handle == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "open %s: %s\n", path.c_str(), SysErrorMessage(GetLastError()).c_str());
            std::exit(1);
        }
        SetupComm(handle, 8192, 8192);
        SetCommMask(handle, EV_RXCHAR);
        waitOv.hEvent = waitEvent;
        readOv.hEvent = readEvent;
        writeOv.hEvent = writeEvent;
    }
    ~Port()
    {
        CloseHandle(handle);
        CloseHandle(waitEvent);
        CloseHandle(readEvent);
        CloseHandle(writeEvent);
    }
    void WaitForInput()
    {
        DWORD mask = 0;
        ClearOverlapped(waitOv);
        if (!WaitCommEvent(handle, &mask, &waitOv))
            WaitForSingleObject(waitEvent, INFINITE);
    }
    // Reads what the input queue holds, up to the buffer's size.
    DWORD ReadQueued(std::vector<uint8_t>& buffer)
    {
        DWORD errors = 0, n = 0;
        COMSTAT stat{};
        ClearCommError(handle, &errors, &stat);
        if (stat.cbInQue == 0)
            return 0;
        ClearOverlapped(readOv);
        if (!ReadFile(handle, buffer.data(), std::min<DWORD>(stat.cbInQue, DWORD(buffer.size())), &n, &readOv))
            GetOverlappedResult(handle, &readOv, &n, TRUE);
        return n;
    }
    size_t WaitAndRead(std::vector<uint8_t>& buffer)
    {
        WaitForInput();
        return ReadQueued(buffer);
    }
    void Write(const void* data, DWORD size)
    {
        DWORD n = 0;
        ClearOverlapped(writeOv);
        if (!WriteFile(handle, data, size, &n, &writeOv))
            GetOverlappedResult(handle, &writeOv, &n, TRUE);
    }
};

double Receive(Pty& pty, size_t volume)
{
    Port port(pty.path);
    return ReceiveThroughput(pty, volume, [&](std::vector<uint8_t>& b) { return port.WaitAndRead(b); });
}

double Echo(Pty& pty, int count)
{
    Port port(pty.path);
    std::vector<uint8_t> buffer(64);
    return EchoRoundTrip(pty, count, [&](const std::atomic<bool>& stop) {
        port.WaitForInput();
        if (const DWORD n = port.ReadQueued(buffer); n > 0 && !stop)
            port.Write(buffer.data(), n);
    });
}

double Idle(Pty& pty, int seconds)
{
    Port port(pty.path);
    return IdleCpuWhileWaiting(pty, seconds, [&] { port.WaitForInput(); });
}

void Stream(Pty& pty, PacedStream& stream)
{
    Port port(pty.path);
    ReceiveStream(stream, [&](std::vector<uint8_t>& b) { return port.WaitAndRead(b); });
}

} // namespace

const Peer LayerPeer{"port layer", Receive, Echo, Idle, Stream};

} // namespace bench
