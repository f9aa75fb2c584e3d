#pragma once
// The port layer: the Win32 serial-communication API, its records and its
// constants, for every platform. The serial component above it is written once
// against these calls. The only backend is Linux's, which emulates them over
// termios and tty ioctls. There is no Windows backend yet: one would forward
// these calls to kernel32 and keep the platform code under port/.
//
// Records keep the Win32 memory layout byte for byte: stored configuration
// values are built from them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace vxport {

using DWORD = uint32_t;
using WORD = uint16_t;
using BYTE = uint8_t;
using BOOL = int32_t;
using HANDLE = void*;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t(0));
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// ---- Records ---------------------------------------------------------------

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);
static_assert(offsetof(DCB, BaudRate) == 4);
static_assert(offsetof(DCB, wReserved) == 12);
static_assert(offsetof(DCB, XonLim) == 14);
static_assert(offsetof(DCB, XoffLim) == 16);
static_assert(offsetof(DCB, ByteSize) == 18);
static_assert(offsetof(DCB, Parity) == 19);
static_assert(offsetof(DCB, StopBits) == 20);
static_assert(offsetof(DCB, XonChar) == 21);
static_assert(offsetof(DCB, XoffChar) == 22);
static_assert(offsetof(DCB, ErrorChar) == 23);
static_assert(offsetof(DCB, EofChar) == 24);
static_assert(offsetof(DCB, EvtChar) == 25);
static_assert(offsetof(DCB, wReserved1) == 26);

// The DCB's flag word (offset 8) as one 32-bit value, bit 0 = fBinary.
inline DWORD DcbFlags(const DCB& dcb)
{
    DWORD flags;
    std::memcpy(&flags, reinterpret_cast<const BYTE*>(&dcb) + 8, sizeof flags);
    return flags;
}
inline void SetDcbFlags(DCB& dcb, DWORD flags)
{
    std::memcpy(reinterpret_cast<BYTE*>(&dcb) + 8, &flags, sizeof flags);
}

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
static_assert(sizeof(COMMTIMEOUTS) == 20);

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
static_assert(sizeof(COMSTAT) == 12);
static_assert(offsetof(COMSTAT, cbInQue) == 4);

// The status flags byte of a COMSTAT (its first byte, bit 0 = fCtsHold).
inline BYTE ComStatFlags(const COMSTAT& stat)
{
    return *reinterpret_cast<const BYTE*>(&stat);
}

struct COMMCONFIG {
    DWORD dwSize;
    WORD wVersion;
    WORD wReserved;
    DCB dcb;
    DWORD dwProviderSubType;
    DWORD dwProviderOffset;
    DWORD dwProviderSize;
    char16_t wcProviderData[1];
};
static_assert(sizeof(COMMCONFIG) == 52);
static_assert(offsetof(COMMCONFIG, dcb) == 8);
static_assert(offsetof(COMMCONFIG, dwProviderSubType) == 36);

// An asynchronous transfer's record. The first four words are the status and
// the offsets that every transfer clears; hEvent is the caller's.
struct OVERLAPPED {
    DWORD Internal;
    DWORD InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
static_assert(offsetof(OVERLAPPED, hEvent) >= 16);
inline void ClearOverlapped(OVERLAPPED& ov) { std::memset(&ov, 0, 16); }

// ---- Constants -------------------------------------------------------------

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// Event mask bits (SetCommMask, WaitCommEvent).
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;
constexpr DWORD EV_PERR = 0x0200;
constexpr DWORD EV_RX80FULL = 0x0400;
constexpr DWORD EV_EVENT1 = 0x0800;
constexpr DWORD EV_EVENT2 = 0x1000;

// Communication error bits (ClearCommError).
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;
constexpr DWORD CE_TXFULL = 0x0100;

constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// Modem status bits (GetCommModemStatus).
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

// EscapeCommFunction.
constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

// DCB codes.
constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                RTS_CONTROL_TOGGLE = 3;

// Waits.
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Error codes.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_BAD_COMMAND = 22;

// ---- Last error (per thread) -----------------------------------------------

DWORD GetLastError();
void SetLastError(DWORD code);
// The system's message text for an error code, in words a person can act on.
std::string SysErrorMessage(DWORD code);

// ---- Handles and events ----------------------------------------------------

BOOL CloseHandle(HANDLE handle);
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Releases the threads waiting now (all of them for a manual-reset event, one
// for an auto-reset event) and leaves the event not signalled.
BOOL PulseEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

void Sleep(DWORD milliseconds);
DWORD GetTickCount();

// ---- Serial ports ----------------------------------------------------------

// Opens "\\?\COMn" (through the serial-port map) or a device path.
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL GetDefaultCommConfigA(const char* name, COMMCONFIG* config, DWORD* size);
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
BOOL SetCommState(HANDLE port, const DCB* dcb);
BOOL GetCommState(HANDLE port, DCB* dcb);
BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts);
BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
BOOL SetCommMask(HANDLE port, DWORD mask);
BOOL GetCommMask(HANDLE port, DWORD* mask);
BOOL WaitCommEvent(HANDLE port, DWORD* mask, OVERLAPPED* overlapped);
BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* stat);
// Not a Win32 call: ClearCommError for a caller that looks at the input side
// only. The record's output count is left 0, which spares asking the device
// for it, a system call per received event. A Win32 backend would give
// ClearCommError's whole answer here.
BOOL ClearCommInputError(HANDLE port, DWORD* errors, COMSTAT* stat);
BOOL PurgeComm(HANDLE port, DWORD flags);
BOOL EscapeCommFunction(HANDLE port, DWORD function);
BOOL GetCommModemStatus(HANDLE port, DWORD* modemStatus);
BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
// Cancels the transfers that the calling thread started on the handle.
BOOL CancelIo(HANDLE file);

// ---- Linux extension: the caller watches the device's input ----------------
//
// Not Win32. A caller whose own event loop can poll descriptors may watch the
// device's input itself, so that a received piece wakes only that thread.
//
// AddCommInputToEpoll registers the device's descriptor, level-triggered for
// input, in the caller's epoll set. The registration ends by itself when the
// port is closed (the descriptor is never duplicated), so the set never
// watches a closed descriptor or another device that reuses its number.
//
// While SetCommInputWatched is on, received bytes stay in the device until a
// ReadFile asks for them: the layer's own pollers leave the device's input
// alone unless a ReadFile is pending, so no EV_RXCHAR completes a wait for
// them; ClearCommError counts them in cbInQue; a ReadFile takes from the
// device only what it needs. Bytes the layer has taken into its queue are
// announced with EV_RXCHAR as always, and EV_RXFLAG, EV_RX80FULL, line errors
// and the hang-up still reach the pending wait. With NUL stripping on, the
// device's count would not be the bytes a read gets: ClearCommError then takes
// the input in and announces it as when nobody watches. When the watch ends,
// the layer takes in what the device holds and announces it with EV_RXCHAR,
// unless the caller's last ClearCommError counted all of it (less what reads
// took since): the caller has seen those bytes and left them.
//
// OpenCommInputWatch, for a caller whose loop polls the device directly
// rather than through an epoll set: a descriptor of its own that shows the
// device's input, to poll for readability. A poll holds the device it polls
// until it returns, so a port closed on another thread meanwhile would be
// released late, and by the polling thread. So closing the port first makes
// the descriptor one that never becomes ready (its number stays taken), then
// calls letGo, which is to return once every poll of the caller that may have
// begun before has ended, and only then lets go of the device. The caller
// ends the descriptor with CloseCommInputWatch, never with close(). -1 with
// the error set when the port is closed, its device lost, or no descriptor
// is left.
//
// TakeCommInput, for a caller whose watch saw input that it handles at once:
// brings what the device holds into the queue without an event, in one read
// where a count and a read would take two calls. While the queue holds bytes,
// ClearCommError counts those alone; what came after them stays in the device,
// where the watch still sees it. Given a place for them, it then answers as
// ClearCommInputError, in the same call.
//
// ReadCommInput, for a caller that reads such input at once: answers as
// ClearCommInputError and then, when it reported no error, reads what it
// counted, at most `size` bytes, as a ReadFile that completes at once (none
// while another read is pending). What waits in the device goes straight
// into the buffer, without passing through the queue or an OVERLAPPED.
// Bytes that came with an error stay for a later read.
BOOL AddCommInputToEpoll(HANDLE port, int epollFd);
int OpenCommInputWatch(HANDLE port, void (*letGo)());
void CloseCommInputWatch(int fd);
BOOL SetCommInputWatched(HANDLE port, BOOL watched);
BOOL TakeCommInput(HANDLE port, DWORD* errors = nullptr, COMSTAT* stat = nullptr);
BOOL ReadCommInput(HANDLE port, void* buffer, DWORD size, DWORD* read, DWORD* errors, COMSTAT* stat);

} // namespace vxport
