#include "vxsysutils.h"

using namespace vxport;

namespace {

// Runs one overlapped transfer; `start` is WriteFile or ReadFile.
template <class Start>
bool TransferWait(HANDLE handle, OVERLAPPED& overlapped, Start start, DWORD* transferred = nullptr)
{
    ClearOverlapped(overlapped);
    DWORD count = 0;
    DWORD error = 0;
    const bool done = start(&count) || WaitOverlappedResult(handle, overlapped, count, error);
    if (transferred)
        *transferred = count;
    return done;
}

} // namespace

std::string ComPortName(uint32_t number)
{
    return "COM" + std::to_string(number);
}

HANDLE OpenComPort(uint32_t number)
{
    const std::string path = "\\\\?\\" + ComPortName(number);
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

bool WaitOverlappedResult(HANDLE handle, OVERLAPPED& overlapped, DWORD& transferred, DWORD& error)
{
    error = GetLastError();
    if (error != ERROR_IO_PENDING)
        return false;
    if (GetOverlappedResult(handle, &overlapped, &transferred, TRUE))
        return true;
    error = GetLastError();
    return false;
}

[[gnu::hot]] bool WriteComWait(HANDLE handle, const void* buffer, DWORD length, OVERLAPPED& overlapped, DWORD* transferred)
{
    return TransferWait(
        handle, overlapped, [&](DWORD* count) { return WriteFile(handle, buffer, length, count, &overlapped); },
        transferred);
}

bool ReadComWait(HANDLE handle, void* buffer, DWORD length, OVERLAPPED& overlapped, DWORD* transferred)
{
    return TransferWait(
        handle, overlapped, [&](DWORD* count) { return ReadFile(handle, buffer, length, count, &overlapped); },
        transferred);
}

bool WriteComNoWait(HANDLE handle, const void* buffer, DWORD length, OVERLAPPED& overlapped)
{
    ClearOverlapped(overlapped);
    DWORD count = 0;
    if (WriteFile(handle, buffer, length, &count, &overlapped))
        return true;
    return GetLastError() == ERROR_IO_PENDING;
}

// The port layer always has CancelIo: there is no entry point to look up.
bool CancelComIo(HANDLE handle)
{
    return CancelIo(handle) != FALSE;
}

std::string LastErrorText()
{
    return SysErrorMessage(GetLastError());
}
