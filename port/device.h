#pragma once
// The narrow interface between the Win32 serial semantics (CommPort) and one
// kind of device: a Linux tty, or an end of the in-process virtual pair. A
// device is used only under its port's lock, except where noted.
#include "vxport.h"

#include <functional>

namespace vxport::detail {

// Cumulative line-error counters of the receiver, as the kernel keeps them.
struct LineCounters {
    uint32_t frame = 0;
    uint32_t parity = 0;
    uint32_t overrun = 0;
    uint32_t brk = 0;
    uint32_t bufOverrun = 0;
};

struct DeviceCaps {
    bool modemLines = false;    // ModemStatus works
    bool modemNotifies = false; // line changes call the watcher; otherwise the port polls
    bool counters = false;      // Counters works
    bool countersNotify = false;
};

class Device {
public:
    virtual ~Device() = default;

    // Readable when bytes arrive, writable when output has room, POLLHUP when
    // the device is gone.
    virtual int PollFd() const = 0;
    // Bytes read (> 0), 0 when nothing is there now, -1 when the device is gone.
    virtual long Read(BYTE* buffer, size_t size) = 0;
    // Bytes accepted (>= 0), -1 when the device is gone.
    virtual long Write(const BYTE* data, size_t size) = 0;
    // Bytes accepted by Write but not yet on the wire.
    virtual DWORD OutQueue() = 0;
    // How long to wait before looking at OutQueue again while it is not empty.
    virtual int DrainDelayMs() = 0;
    virtual void Flush(bool input, bool output) = 0;

    // Applies the line settings; 0 or a Win32 error code.
    virtual DWORD Configure(const DCB& dcb) = 0;
    // Fills the fields of the DCB that the device itself keeps (speed, framing,
    // flow control).
    virtual void ReadState(DCB& dcb) = 0;
    // True when the device toggles RTS around transmissions by itself (RS485).
    virtual bool TogglesRts() const = 0;

    // May change while the port is open (a modem-change wait turns out not to
    // be supported by the driver, and the port falls back to polling).
    virtual DeviceCaps Caps() const = 0;
    virtual bool ModemStatus(DWORD& status) = 0;
    // SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK, SETXON, SETXOFF;
    // 0 or a Win32 error code.
    virtual DWORD Escape(DWORD function) = 0;
    virtual bool Counters(LineCounters& counters) = 0;

    // Called from any thread, without the port's lock, when modem lines or
    // counters may have changed. Set before use, cleared by Close.
    virtual void SetWatcher(std::function<void()> watcher) = 0;
    // Modem-line changes are wanted (the mask holds such events) or not.
    virtual void WatchModem(bool on) = 0;
    virtual void Close() = 0;
};

// 9600 baud, 8 data bits, no parity, one stop bit, no flow control, DTR and
// RTS on: what a port starts with when nothing else is known.
inline DCB DefaultDcb()
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fTXContinueOnXoff = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// Settings every device refuses; 0 or ERROR_INVALID_PARAMETER.
inline DWORD CheckDcb(const DCB& dcb)
{
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS)
        return ERROR_INVALID_PARAMETER;
    // A UART sends 1.5 stop bits only after 5 data bits and 2 only after 6 to
    // 8: asked for the other combinations it would send the other length.
    if ((dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) || (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5))
        return ERROR_INVALID_PARAMETER;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar)
        return ERROR_INVALID_PARAMETER;
    return 0;
}

} // namespace vxport::detail
