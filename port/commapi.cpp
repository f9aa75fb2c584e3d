// The Win32 serial calls: opening by name, and forwarding each call to the
// port behind the handle.
#include "commport.h"
#include "events.h"
#include "inputwatch.h"
#include "linux/tty_linux.h"
#include "portmap.h"
#include "virtualpair.h"

namespace vxport {
namespace {

using detail::CommPort;

detail::HandleRef<CommPort> Port(HANDLE handle)
{
    return detail::HandleRef<CommPort>(handle);
}

// "\\?\COMn" and "\\.\COMn" (n from 1 to 255), and the short names COM1 to
// COM9, also with a colon ("COM1:"), go through the port map. Other COM names
// name no port: a number with leading zeros, "COM10" without a prefix (a file
// of that name to the system), a colon after a prefixed name. Anything else
// is a device path or a virtual port name.
std::optional<std::string> DevicePath(const std::string& name)
{
    if (detail::IsVirtualName(name))
        return name;
    std::string rest = name;
    const bool prefixed = rest.rfind("\\\\?\\", 0) == 0 || rest.rfind("\\\\.\\", 0) == 0;
    if (prefixed)
        rest = rest.substr(4);
    bool outOfRange = false;
    unsigned number = PortNameNumber(rest, outOfRange);
    const bool colon = !prefixed && number == 0 && rest.size() == 5 && rest[4] == ':';
    if (colon)
        number = PortNameNumber(rest.substr(0, 4), outOfRange);
    const size_t digits = rest.size() - 3 - (colon ? 1 : 0);
    if (number != 0 && digits == std::to_string(number).size() && (prefixed || number <= 9))
        return ResolveComPort(number, CurrentPortMapConfig());
    if (number != 0 || outOfRange || rest != name)
        return std::nullopt;
    return name;
}

template <class F>
BOOL WithPort(HANDLE handle, F f)
{
    auto port = Port(handle);
    if (!port)
        return detail::InvalidHandle();
    return f(*port);
}

} // namespace

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD, void*, DWORD creationDisposition, DWORD,
                   HANDLE)
{
    if (!fileName || creationDisposition != OPEN_EXISTING ||
        (desiredAccess & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto path = DevicePath(fileName);
    if (!path) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = 0;
    std::unique_ptr<detail::Device> device;
    if (detail::IsVirtualName(*path))
        device = detail::OpenVirtualEnd(*path, error);
    else
        device = detail::TtyDevice::Open(*path, error);
    if (!device) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto port = std::make_shared<CommPort>(std::move(device));
    if (DWORD startError = port->StartError()) {
        SetLastError(startError);
        return INVALID_HANDLE_VALUE;
    }
    return detail::RegisterHandle(std::move(port));
}

BOOL GetDefaultCommConfigA(const char* name, COMMCONFIG* config, DWORD* size)
{
    if (!name || !size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!config || *size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // Linux keeps no per-port defaults: every port starts at 9600 8N1 without
    // flow control, DTR and RTS on.
    std::memset(config, 0, sizeof *config);
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = 1;
    config->dcb = detail::DefaultDcb();
    config->dwProviderSubType = 1; // PST_RS232
    *size = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue)
{
    return WithPort(port, [&](CommPort& p) { return p.SetupComm(inQueue, outQueue); });
}

BOOL SetCommState(HANDLE port, const DCB* dcb)
{
    if (!dcb)
        return (SetLastError(ERROR_INVALID_PARAMETER), FALSE);
    return WithPort(port, [&](CommPort& p) { return p.SetState(*dcb); });
}

BOOL GetCommState(HANDLE port, DCB* dcb)
{
    if (!dcb)
        return (SetLastError(ERROR_INVALID_PARAMETER), FALSE);
    return WithPort(port, [&](CommPort& p) { return p.GetState(*dcb); });
}

BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts)
{
    if (!timeouts)
        return (SetLastError(ERROR_INVALID_PARAMETER), FALSE);
    return WithPort(port, [&](CommPort& p) { return p.SetTimeouts(*timeouts); });
}

BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts)
{
    if (!timeouts)
        return (SetLastError(ERROR_INVALID_PARAMETER), FALSE);
    return WithPort(port, [&](CommPort& p) { return p.GetTimeouts(*timeouts); });
}

BOOL SetCommMask(HANDLE port, DWORD mask)
{
    return WithPort(port, [&](CommPort& p) { return p.SetMask(mask); });
}

BOOL GetCommMask(HANDLE port, DWORD* mask)
{
    if (!mask)
        return (SetLastError(ERROR_INVALID_PARAMETER), FALSE);
    return WithPort(port, [&](CommPort& p) { return p.GetMask(*mask); });
}

BOOL WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped)
{
    return WithPort(port, [&](CommPort& p) { return p.WaitEvent(mask, overlapped); });
}

BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* stat)
{
    return WithPort(port, [&](CommPort& p) { return p.ClearError(errors, stat, true); });
}

BOOL ClearCommInputError(HANDLE port, DWORD* errors, COMSTAT* stat)
{
    return WithPort(port, [&](CommPort& p) { return p.ClearError(errors, stat, false); });
}

BOOL PurgeComm(HANDLE port, DWORD flags)
{
    return WithPort(port, [&](CommPort& p) { return p.Purge(flags); });
}

BOOL EscapeCommFunction(HANDLE port, DWORD function)
{
    return WithPort(port, [&](CommPort& p) { return p.Escape(function); });
}

BOOL GetCommModemStatus(HANDLE port, DWORD* modemStatus)
{
    return WithPort(port, [&](CommPort& p) { return p.ModemStatus(modemStatus); });
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped)
{
    return WithPort(file, [&](CommPort& p) { return p.Read(buffer, toRead, read, overlapped); });
}

[[gnu::hot]] BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped)
{
    return WithPort(file, [&](CommPort& p) { return p.Write(buffer, toWrite, written, overlapped); });
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait)
{
    if (!overlapped)
        return (SetLastError(ERROR_INVALID_PARAMETER), FALSE);
    auto port = Port(file);
    if (port)
        return port->Result(overlapped, transferred, wait);
    // The handle is gone; the transfer was completed (aborted) when it closed.
    if (std::atomic_ref<DWORD>(overlapped->Internal).load(std::memory_order_acquire) == 0x103)
        return detail::InvalidHandle();
    if (transferred)
        *transferred = std::atomic_ref<DWORD>(overlapped->InternalHigh).load(std::memory_order_relaxed);
    DWORD status = std::atomic_ref<DWORD>(overlapped->Internal).load(std::memory_order_acquire);
    if (status != 0)
        return (SetLastError(status), FALSE);
    return TRUE;
}

BOOL CancelIo(HANDLE file)
{
    return WithPort(file, [&](CommPort& p) { return p.Cancel(); });
}

BOOL AddCommInputToEpoll(HANDLE port, int epollFd)
{
    return WithPort(port, [&](CommPort& p) { return p.AddInputToEpoll(epollFd); });
}

int OpenCommInputWatch(HANDLE port, void (*letGo)())
{
    int fd = -1;
    WithPort(port, [&](CommPort& p) { return (fd = p.OpenInputWatch(letGo)) >= 0 ? TRUE : FALSE; });
    return fd;
}

void CloseCommInputWatch(int fd)
{
    detail::CloseInputWatch(fd);
}

BOOL SetCommInputWatched(HANDLE port, BOOL watched)
{
    return WithPort(port, [&](CommPort& p) { return p.SetInputWatched(watched != FALSE); });
}

BOOL TakeCommInput(HANDLE port, DWORD* errors, COMSTAT* stat)
{
    return WithPort(port, [&](CommPort& p) { return p.TakeInput(errors, stat); });
}

[[gnu::hot]] BOOL ReadCommInput(HANDLE port, void* buffer, DWORD size, DWORD* read, DWORD* errors, COMSTAT* stat)
{
    return WithPort(port, [&](CommPort& p) { return p.ReadInput(static_cast<BYTE*>(buffer), size, read, errors, stat); });
}

} // namespace vxport
