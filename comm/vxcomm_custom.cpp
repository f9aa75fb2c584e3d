// TvxCustomComm: construction, settings, opening and closing.
#include "vxcomm_custom.h"

#include "vxsysutils.h"

#include <algorithm>

using namespace vxport;

namespace {

// ApplyDCB keeps fParity, fOutxDsrFlow, the high bit of fDtrControl,
// fDsrSensitivity, fTXContinueOnXoff, fErrorChar, fNull and fAbortOnError.
constexpr DWORD kKeptFlags = 0x4CEA;
constexpr DWORD kRs485Flags = 0x3011;   // fBinary, DTR enabled, RTS toggles
constexpr DWORD kNoneFlags = 0x1011;    // fBinary, DTR enabled, RTS enabled
constexpr DWORD kXonXoffFlags = 0x1311; // as none, plus fOutX and fInX
constexpr DWORD kHardwareFlags = 0x2015; // fBinary, CTS flow, DTR enabled, RTS handshake

constexpr size_t kMinReadBuffer = 8192;

// On Linux the port layer toggles RTS for RS485 itself (in the kernel where
// the driver can, else around each transmission).
constexpr bool kPlatformNeedsManualRts = false;

} // namespace

TvxCustomComm::TvxCustomComm(QObject* AOwner) : TvxCustomComm(AOwner, kPlatformNeedsManualRts) {}

TvxCustomComm::TvxCustomComm(QObject* AOwner, bool ManualRts)
    : TvxBaseIO(AOwner), manualRts_(ManualRts), life_(std::make_shared<TCommLife>(this))
{
    timeouts_.WriteTotalTimeoutMultiplier = 100;
    config_.dwSize = sizeof(COMMCONFIG);
    config_.dcb.DCBlength = sizeof(DCB);
    SetBufferSizes(8192, 8192);
}

TvxCustomComm::~TvxCustomComm()
{
    CloseForDestruction();
}

void TvxCustomComm::CloseForDestruction()
{
    // The links go first, so that closing raises no trace event. Closing
    // the port ends a wait for input or a line of a handler on another
    // thread; such a call is then waited for, with OnTraceState still there
    // for it (it may close or reopen the port), and a port it reopened is
    // closed last.
    SetTerminal(nullptr);
    SetDataProcessor(nullptr);
    ClosePort();
    life_->End();
    OnTraceState = nullptr;
    Close();
}

// ---- Settings -----------------------------------------------------------------------

void TvxCustomComm::ApplyDCB()
{
    DCB& dcb = config_.dcb;
    dcb.DCBlength = sizeof(DCB);
    DWORD flags = DcbFlags(dcb) & kKeptFlags;
    if (RS485Mode())
        flags |= kRs485Flags;
    else if (streamProtocol_ == spNone)
        flags |= kNoneFlags;
    else if (streamProtocol_ == spXonXoff)
        flags |= kXonXoffFlags;
    else
        flags |= kHardwareFlags;
    SetDcbFlags(dcb, flags);
    dcb.XonLim = 2048;
    dcb.XoffLim = 2048;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (IsOpen())
        SetCommState(Handle(), &dcb);
}

DWORD TvxCustomComm::EventMask() const
{
    static constexpr struct {
        TTraceState state;
        DWORD event;
    } kEvents[] = {{tsRxFlag, EV_RXFLAG}, {tsTxEmpty, EV_TXEMPTY}, {tsCTS, EV_CTS},       {tsDSR, EV_DSR},
                   {tsRLSD, EV_RLSD},     {tsBreak, EV_BREAK},     {tsErr, EV_ERR},       {tsRing, EV_RING},
                   {tsRx80Full, EV_RX80FULL}, {tsEvent1, EV_EVENT1}, {tsEvent2, EV_EVENT2}};
    const TTraceStates states = TraceStates();
    DWORD mask = EV_RXCHAR;
    for (const auto& e : kEvents)
        if (states.Contains(e.state))
            mask |= e.event;
    if (ManualRtsActive())
        mask |= EV_TXEMPTY;
    return mask;
}

void TvxCustomComm::SetTraceStates(TTraceStates Value)
{
    traceStates_ = Value.ToBits();
    if (IsOpen()) {
        SetCommMask(Handle(), 0);
        SetCommMask(Handle(), EventMask());
    }
}

void TvxCustomComm::SetBufferSizes(uint16_t In, uint16_t Out)
{
    bufferInSize_ = In;
    bufferOutSize_ = Out;
    if (IsOpen())
        SetupComm(Handle(), bufferInSize_, bufferOutSize_);
}

void TvxCustomComm::Notification(QObject* AComponent, TOperation Operation)
{
    // Not only the linked ones: a processor further down the chain, or one
    // unlinked a moment ago, may be what a receive on another thread is in.
    const bool used = AComponent == GetDataProcessor() || AComponent == GetLog() ||
                      qobject_cast<TvxCustomDataProcessor*>(AComponent) || qobject_cast<TvxCustomLogFile*>(AComponent);
    TvxBaseIO::Notification(AComponent, Operation);
    if (Operation != opRemove)
        return;
    // A processor or log going away may be in use by a receive on another
    // thread; once that has returned, nothing reaches it any more.
    if (used)
        life_->Quiesce();
    for (QPointer<QObject>* monitor : {&monitorCTS_, &monitorDSR_, &monitorRLSD_, &monitorRing_})
        if (monitor->data() == AComponent)
            *monitor = nullptr;
}

// ---- Opening and closing ------------------------------------------------------------

void TvxCustomComm::ApplySettings()
{
    DWORD errors = 0;
    ClearCommError(Handle(), &errors, nullptr);
    SetupComm(Handle(), bufferInSize_, bufferOutSize_);
    SetTimeouts(timeouts_);
    ApplyDCB();
}

std::shared_ptr<TCommConnection> TvxCustomComm::Current() const
{
    std::lock_guard lock(portMutex_);
    return conn_;
}

size_t TvxCustomComm::ReadBufferSize() const
{
    const auto conn = Current();
    return conn ? conn->ReadBufferSize() : 0;
}

void TvxCustomComm::Open()
{
    const TLifeFlag life = LifeFlag();
    Close(); // waits, too, until a close on another thread has shut its handle
    if (!*life)
        return;
    std::shared_ptr<TCommConnection> conn;
    {
        std::lock_guard lock(portMutex_);
        if (IsOpen())
            return; // another thread opened it meanwhile
        const HANDLE handle = OpenHandle();
        if (handle != INVALID_HANDLE_VALUE) {
            conn_ = conn = std::make_shared<TCommConnection>(life_, handle,
                                                             std::max<size_t>(bufferInSize_, kMinReadBuffer));
            PutHandle(handle);
        }
    }
    if (!conn) {
        const std::string reason = LastErrorText();
        FatalError(1, 0, Format("Device \"%s\" Open Error !!!\r%s", {GetDeviceName(), reason}), false);
        return;
    }
    RaiseOnOpen();
    if (!*life || conn->Stopped())
        return; // OnOpen closed the port, or destroyed the component
    try {
        LogFmt(0, "The port %s is opened succesfully", {GetDeviceName()});
        ApplySettings();
        SetTraceStates(TraceStates());
        // Bytes that came in before the mask was set raised no event.
        conn->Start(InQueueCount() > 0 ? EV_RXCHAR : 0);
    } catch (...) {
        // A port that cannot be set up (say, the log cannot be written) is
        // closed again; it was never announced open, so no close is either.
        Detach(conn.get(), false);
        throw;
    }
    Notify(nkOpened);
}

void TvxCustomComm::Close()
{
    const TLifeFlag life = LifeFlag();
    ClosePort();
    if (*life)
        DoTraceState(this, {tsTxEmpty});
}

void TvxCustomComm::ClosePort()
{
    const TLifeFlag life = LifeFlag();
    try {
        if (ShutdownConnection(nullptr, true) && *life)
            Log(0, "The port is closed succesfully");
    } catch (...) {
        // The port is closed all the same: its handle was shut first.
    }
}

int TvxCustomComm::Detach(const TCommConnection* expected, bool purge)
{
    std::lock_guard lock(portMutex_);
    if (expected && conn_.get() != expected)
        return kNotOpen;
    const std::shared_ptr<TCommConnection> conn = std::move(conn_);
    const HANDLE handle = TakeHandle();
    if (conn)
        conn->Stop();
    if (handle == INVALID_HANDLE_VALUE)
        return kNotOpen;
    int result = kDetached;
    DWORD errors = 0;
    COMSTAT stat{};
    if (purge && ClearCommError(handle, &errors, &stat) && stat.cbOutQue > 0) {
        PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
        CancelComIo(handle);
        if (ManualRtsActive() && EscapeCommFunction(handle, CLRRTS))
            result = kRtsDropped;
    }
    if (purge)
        SetCommMask(handle, 0); // completes the event thread's pending wait
    CloseHandle(handle);
    return result;
}

bool TvxCustomComm::ShutdownConnection(const TCommConnection* expected, bool purge)
{
    const int detached = Detach(expected, purge);
    const TLifeFlag life = LifeFlag();
    if (detached == kRtsDropped)
        DoTraceState(this, {tsCTS});
    if (detached != kNotOpen && *life)
        RaiseOnClose();
    if (detached != kNotOpen && *life)
        Notify(nkClosed);
    return detached != kNotOpen;
}

// ---- Threads ------------------------------------------------------------------------

void TvxCustomComm::StartThreads()
{
    if (const auto conn = Current())
        conn->Start();
}

void TvxCustomComm::StopThreads()
{
    if (const auto conn = Current())
        conn->Stop();
}

void TvxCustomComm::HoldReceive()
{
    ++receiveHeld_;
    life_->Quiesce();
}
