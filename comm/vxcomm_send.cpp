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

void ProcessMessages()
{
    if (MainThread::IsCurrent())
        QCoreApplication::processEvents();
}

} // namespace

void TvxCustomComm::SendChar(char Ch)
{
    if (!IsOpen())
        return;
    LogFmt(2, "Try to send char %2Xh ...", {uint8_t(Ch)});
    if (ManualRtsActive())
        SetRTS(true);
    if (!WriteComWait(Handle(), &Ch, 1, WriteOverlapped))
        DoCommError(0, GetLastError(), {});
}

void TvxCustomComm::SendString(const std::string& S)
{
    if (!IsOpen() || S.empty())
        return;
    LogFmt(2, "Try to send string %s ...", {S});
    if (ManualRtsActive())
        SetRTS(true);
    if (!WriteComWait(Handle(), S.data(), DWORD(S.size()), WriteOverlapped))
        DoCommError(0, GetLastError(), {});
}

void TvxCustomComm::SendData(const void* Data, uint32_t Size)
{
    if (!IsOpen())
        return;
    LogFmt(2, "Try to send the data with %d length ...", {int32_t(Size)});
    if (ManualRtsActive())
        SetRTS(true);
    if (WriteComNoWait(Handle(), Data, Size, SendOverlapped))
        Log(2, "... the data transmittion is OK!");
    else
        DoCommError(0, GetLastError(), {});
}

void TvxCustomComm::PurgeIn()
{
    if (IsOpen())
        PurgeComm(Handle(), PURGE_RXABORT | PURGE_RXCLEAR);
}

void TvxCustomComm::PurgeOut()
{
    if (!IsOpen())
        return;
    PurgeComm(Handle(), PURGE_TXABORT | PURGE_TXCLEAR);
    if (ManualRtsActive())
        SetRTS(false);
}

void TvxCustomComm::PurgeAll()
{
    if (!IsOpen())
        return;
    PurgeComm(Handle(), PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
    CancelComIo(Handle());
    if (ManualRtsActive())
        SetRTS(false);
}

void TvxCustomComm::DoCommError(uint32_t CommCode, uint32_t SysError, TComStateFlags State)
{
    if (ManualRtsActive())
        SetRTS(false);
    bool flFlashBuffers = false;
    LogFmt(1, "Communication Error %d:%d", {int32_t(CommCode), int32_t(SysError)});
    if (OnCommError)
        OnCommError(this, CommCode, SysError, State, flFlashBuffers);
    if (flFlashBuffers)
        PurgeAll();
}

TModemSignals TvxCustomComm::ModemSignals()
{
    DWORD status = 0;
    if (!IsOpen() || !GetCommModemStatus(Handle(), &status))
        return {};
    TModemSignals lines;
    if (status & MS_CTS_ON)
        lines.Include(msCTS);
    if (status & MS_DSR_ON)
        lines.Include(msDSR);
    if (status & MS_RING_ON)
        lines.Include(msRing);
    if (status & MS_RLSD_ON)
        lines.Include(msRLSD);
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

uint32_t TvxCustomComm::InQueueCount()
{
    DWORD errors = 0;
    COMSTAT stat{};
    return ClearCommError(Handle(), &errors, &stat) ? stat.cbInQue : 0;
}

uint32_t TvxCustomComm::OutQueueCount()
{
    DWORD errors = 0;
    COMSTAT stat{};
    return ClearCommError(Handle(), &errors, &stat) ? stat.cbOutQue : 0;
}

bool TvxCustomComm::WaitForInput(uint32_t Count, uint32_t Timeout)
{
    if (!IsOpen())
        return false;
    const TTraceStates saved = TraceStates();
    SetTraceStates(saved - TTraceStates{tsRxChar});
    const DWORD deadline = GetTickCount() + Timeout;
    bool result = false;
    while (!TickPast(deadline) && IsOpen()) {
        if (InQueueCount() >= Count) {
            result = true;
            break;
        }
        Sleep(1);
        ProcessMessages();
    }
    SetTraceStates(saved);
    return result;
}

bool TvxCustomComm::WaitForModemSignal(uint8_t Signal, uint32_t Timeout)
{
    if (!IsOpen())
        return false;
    const DWORD deadline = GetTickCount() + Timeout;
    for (;;) {
        const bool on = Signal <= 7 && (ModemSignals().ToBits() & (1u << Signal)) != 0;
        if (on)
            return true;
        Sleep(1);
        ProcessMessages();
        if (TickPast(deadline) || !IsOpen())
            return false;
    }
}

bool TvxCustomComm::ReadBytes(void* Buffer, uint32_t Count)
{
    return ReadComWait(Handle(), Buffer, Count, ReadOverlapped);
}
