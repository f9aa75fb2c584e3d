// Sending, purging, error and trace reporting, modem lines and the small waits.
#include "MainThread.h"
#include "vxcomm_custom.h"
#include "vxsysutils.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMetaProperty>
#include <QVariant>

using namespace vxport;

namespace {

// Sets the "checked" property of a monitor control that has one.
void SetMonitorChecked(QObject* monitor, bool checked)
{
    if (!monitor)
        return;
    const int index = monitor->metaObject()->indexOfProperty("checked");
    if (index >= 0 && monitor->metaObject()->property(index).typeId() == QMetaType::Bool)
        monitor->setProperty("checked", checked);
}

bool TickPast(DWORD deadline)
{
    return int32_t(GetTickCount() - deadline) > 0;
}

// A deadline on the wrapping millisecond tick count. Ticks compare by their
// signed difference, so a deadline can lie at most 2^31 - 1 ms ahead; a longer
// time-out (INFINITE among them) would wrap into the past, and waits without one.
class WaitDeadline {
public:
    explicit WaitDeadline(uint32_t timeout) : endless_(timeout > 0x7FFFFFFFu), deadline_(GetTickCount() + timeout) {}
    bool Past() const { return !endless_ && TickPast(deadline_); }
    bool Endless() const { return endless_; }

private:
    bool endless_;
    DWORD deadline_;
};

void ProcessMessages()
{
    if (MainThread::IsCurrent())
        QCoreApplication::processEvents();
}

} // namespace

[[gnu::hot]] void TvxCustomComm::SendChar(char Ch)
{
    sentCount_ = 0;
    if (StartSending("Try to send char %2Xh ...", uint8_t(Ch)))
        WriteWaited(&Ch, 1);
}

void TvxCustomComm::SendString(const std::string& S)
{
    sentCount_ = 0;
    if (!S.empty() && StartSending("Try to send string %s ...", S))
        WriteWaited(S.data(), DWORD(S.size()));
}

// The bytes may go out, and a handler on another thread destroy the component
// (OnAfterSend), before the sending call has left it: its destruction waits
// for the write, which the destruction's close also ends.
[[gnu::hot]] void TvxCustomComm::WriteWaited(const void* Data, DWORD Size)
{
    TCommLife::CallKept(life_, [&](TvxCustomComm&) {
        DWORD written = 0;
        if (WriteComWait(Handle(), Data, Size, WriteOverlapped, &written))
            sentCount_ = written;
        else
            DoCommError(0, GetLastError(), {});
    });
}

void TvxCustomComm::SendData(const void* Data, uint32_t Size)
{
    if (!StartSending("Try to send the data with %d length ...", int32_t(Size)))
        return;
    TCommLife::CallKept(life_, [&](TvxCustomComm&) {
        if (WriteComNoWait(Handle(), Data, Size, SendOverlapped))
            Log(2, "... the data transmittion is OK!");
        else
            DoCommError(0, GetLastError(), {});
    });
}

void TvxCustomComm::Purge(DWORD Flags)
{
    if (!IsOpen())
        return;
    PurgeComm(Handle(), Flags);
    if ((Flags & PURGE_RXABORT) && (Flags & PURGE_TXABORT))
        CancelComIo(Handle());
    if ((Flags & PURGE_TXABORT) && ManualRtsActive())
        SetRTS(false);
}

void TvxCustomComm::PurgeIn()
{
    Purge(PURGE_RXABORT | PURGE_RXCLEAR);
}

void TvxCustomComm::PurgeOut()
{
    Purge(PURGE_TXABORT | PURGE_TXCLEAR);
}

void TvxCustomComm::PurgeAll()
{
    Purge(PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
}

void TvxCustomComm::DoCommError(uint32_t CommCode, uint32_t SysError, TComStateFlags State)
{
    if (ManualRtsActive())
        SetRTS(false);
    bool flFlashBuffers = false;
    LogFmt(1, "Communication Error %d:%d", {int32_t(CommCode), int32_t(SysError)});
    const TLifeFlag life = LifeFlag(); // the handler may destroy the component
    if (OnCommError)
        OnCommError(this, CommCode, SysError, State, flFlashBuffers);
    if (flFlashBuffers && *life)
        PurgeAll();
}

TModemSignals TvxCustomComm::ModemSignals()
{
    DWORD status = 0;
    if (!IsOpen() || !GetCommModemStatus(Handle(), &status))
        return {};
    TModemSignals lines;
    static constexpr std::pair<DWORD, TModemSignal> kLines[] = {
        {MS_CTS_ON, msCTS}, {MS_DSR_ON, msDSR}, {MS_RING_ON, msRing}, {MS_RLSD_ON, msRLSD}};
    for (const auto& [bit, signal] : kLines)
        if (status & bit)
            lines.Include(signal);
    return lines;
}

void TvxCustomComm::DoTraceState(TObject* Sender, TTraceStates States)
{
    ShowLines(ModemSignals(), States.Contains(tsRing));
    if (OnTraceState)
        OnTraceState(Sender, States);
}

// The monitors are controls of the main thread, which may destroy them at
// any time: they are only touched there.
void TvxCustomComm::ShowLines(TModemSignals lines, bool ring)
{
    if (MainThread::Exists() && !MainThread::IsCurrent()) {
        MainThread::Post([life = life_, lines, ring] {
            life->Call(nullptr, false, [&](TvxCustomComm& comm) { comm.ShowLines(lines, ring); });
        });
        return;
    }
    SetMonitorChecked(monitorCTS_, lines.Contains(msCTS));
    SetMonitorChecked(monitorDSR_, lines.Contains(msDSR));
    SetMonitorChecked(monitorRLSD_, lines.Contains(msRLSD));
    if (ring)
        SetMonitorChecked(monitorRing_, true);
}

void TvxCustomComm::SetRTS(bool On)
{
    if (!IsOpen())
        return;
    EscapeCommFunction(Handle(), On ? SETRTS : CLRRTS);
    DoTraceState(this, {tsCTS});
}

void TvxCustomComm::SetDTR(bool On)
{
    if (!IsOpen())
        return;
    EscapeCommFunction(Handle(), On ? SETDTR : CLRDTR);
    DoTraceState(this, {tsDSR});
}

COMSTAT TvxCustomComm::QueueState()
{
    DWORD errors = 0;
    COMSTAT stat{};
    ClearCommError(Handle(), &errors, &stat);
    return stat;
}

bool TvxCustomComm::WaitForInput(uint32_t Count, uint32_t Timeout)
{
    if (!IsOpen())
        return false;
    const TTraceStates saved = TraceStates();
    SetTraceStates(saved - TTraceStates{tsRxChar});
    const WaitDeadline deadline(Timeout);
    const TLifeFlag life = LifeFlag(); // a handler run meanwhile may destroy the component
    bool result = false;
    while (!deadline.Past() && IsOpen() && !(result = InQueueCount() >= Count)) {
        Sleep(1);
        ProcessMessages();
        if (!*life)
            return false;
    }
    SetTraceStates(saved);
    return result;
}

bool TvxCustomComm::WaitForModemSignal(uint8_t Signal, uint32_t Timeout)
{
    if (!IsOpen())
        return false;
    const WaitDeadline deadline(Timeout);
    if (Signal > 7 && deadline.Endless())
        return false; // no line has that ordinal: waiting for it would never end
    const TLifeFlag life = LifeFlag();
    while (Signal > 7 || (ModemSignals().ToBits() & (1u << Signal)) == 0) {
        Sleep(1);
        ProcessMessages();
        if (!*life || deadline.Past() || !IsOpen())
            return false;
    }
    return true;
}

bool TvxCustomComm::ReadBytes(void* Buffer, uint32_t Count)
{
    return ReadComWait(Handle(), Buffer, Count, ReadOverlapped);
}
