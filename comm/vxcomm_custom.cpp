// TvxCustomComm: construction, settings, opening and closing.
#include "vxcomm_custom.h"

#include "MainThread.h"
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

TvxCustomComm::TvxCustomComm(QObject* AOwner) : TvxBaseIO(AOwner)
{
    manualRts_ = kPlatformNeedsManualRts;
    Construct();
}

TvxCustomComm::TvxCustomComm(QObject* AOwner, bool ManualRts) : TvxBaseIO(AOwner)
{
    manualRts_ = ManualRts;
    Construct();
}

void TvxCustomComm::Construct()
{
    timeouts_ = {};
    timeouts_.WriteTotalTimeoutMultiplier = 100;
    useMainThread_ = true;
    traceStates_ = 0;
    config_.dwSize = sizeof(COMMCONFIG);
    config_.dcb.DCBlength = sizeof(DCB);
    SetBufferInSize(8192);
    SetBufferOutSize(8192);
}

TvxCustomComm::~TvxCustomComm()
{
    CloseForDestruction();
    JoinThreads();
    std::lock_guard lock(threadsMutex_);
    for (auto& t : stoppedThreads_)
        RetireThread(std::move(t));
}

void TvxCustomComm::CloseForDestruction()
{
    // The links go first, so that closing raises no trace event.
    SetTerminal(nullptr);
    SetDataProcessor(nullptr);
    OnTraceState = nullptr;
    Close();
}

std::string TvxCustomComm::GetDeviceName()
{
    return "Unknown";
}

// ---- Settings -----------------------------------------------------------------------

void TvxCustomComm::SetBaudRate(uint32_t Value)
{
    config_.dcb.BaudRate = Value;
    ApplyDCB();
}

void TvxCustomComm::SetParity(TParity Value)
{
    config_.dcb.Parity = Value;
    config_.dcb.fParity = Value != pNone;
    ApplyDCB();
}

void TvxCustomComm::SetStopBits(TStopBits Value)
{
    config_.dcb.StopBits = Value;
    ApplyDCB();
}

void TvxCustomComm::SetByteSize(uint8_t Value)
{
    config_.dcb.ByteSize = (Value < 4 || Value > 8) ? 8 : Value;
    ApplyDCB();
}

void TvxCustomComm::SetEventChar(char Value)
{
    config_.dcb.EvtChar = Value;
    ApplyDCB();
}

char TvxCustomComm::GetEventChar() const
{
    return config_.dcb.EvtChar;
}

void TvxCustomComm::SetStreamProtocol(TStreamProtocol Value)
{
    streamProtocol_ = Value;
    ApplyDCB();
}

void TvxCustomComm::SetRS485Mode(bool Value)
{
    rs485Mode_ = Value;
    ApplyDCB();
}

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

void TvxCustomComm::SetBufferInSize(uint16_t Value)
{
    bufferInSize_ = Value;
    if (IsOpen())
        SetupComm(Handle(), bufferInSize_, bufferOutSize_);
}

void TvxCustomComm::SetBufferOutSize(uint16_t Value)
{
    bufferOutSize_ = Value;
    if (IsOpen())
        SetupComm(Handle(), bufferInSize_, bufferOutSize_);
}

void TvxCustomComm::SetTimeouts(const COMMTIMEOUTS& Value)
{
    timeouts_ = Value;
    if (IsOpen())
        SetCommTimeouts(Handle(), &timeouts_);
}

const COMMTIMEOUTS& TvxCustomComm::GetTimeouts()
{
    if (IsOpen())
        GetCommTimeouts(Handle(), &timeouts_);
    return timeouts_;
}

uint32_t TvxCustomComm::TimeoutRead()
{
    return GetTimeouts().ReadTotalTimeoutMultiplier;
}

void TvxCustomComm::SetTimeoutRead(uint32_t Value)
{
    COMMTIMEOUTS t = timeouts_;
    t.ReadTotalTimeoutMultiplier = Value;
    SetTimeouts(t);
}

uint32_t TvxCustomComm::TimeoutWrite()
{
    return GetTimeouts().WriteTotalTimeoutMultiplier;
}

void TvxCustomComm::SetTimeoutWrite(uint32_t Value)
{
    COMMTIMEOUTS t = timeouts_;
    t.WriteTotalTimeoutMultiplier = Value;
    SetTimeouts(t);
}

void TvxCustomComm::SetMonitor(QPointer<QObject>& monitor, QObject* value)
{
    monitor = value;
    if (value)
        FreeNotification(value);
}

void TvxCustomComm::Notification(QObject* AComponent, TOperation Operation)
{
    TvxBaseIO::Notification(AComponent, Operation);
    if (Operation != opRemove)
        return;
    for (QPointer<QObject>* monitor : {&monitorCTS_, &monitorDSR_, &monitorRLSD_, &monitorRing_})
        if (monitor->data() == AComponent)
            *monitor = nullptr;
}

// ---- Opening and closing ------------------------------------------------------------

// A handler of received bytes may close or reopen the port: the block it was
// given stays valid until the handling returns.
void TvxCustomComm::AllocReadBuffer()
{
    FreeReadBuffer();
    readBuffer_.assign(std::max<size_t>(bufferInSize_, kMinReadBuffer), 0);
}

void TvxCustomComm::FreeReadBuffer()
{
    if (handlingDepth_.load() > 0 && !readBuffer_.empty())
        retiredBuffers_.push_back(std::move(readBuffer_));
    std::vector<uint8_t>().swap(readBuffer_);
}

void TvxCustomComm::ApplySettings()
{
    DWORD errors = 0;
    ClearCommError(Handle(), &errors, nullptr);
    SetupComm(Handle(), bufferInSize_, bufferOutSize_);
    SetTimeouts(timeouts_);
    ApplyDCB();
}

void TvxCustomComm::Open()
{
    Close();
    JoinThreads();
    TvxBaseIO::Open();
    if (!IsOpen()) {
        const std::string reason = LastErrorText();
        FatalError(1, 0, Format("Device \"%s\" Open Error !!!\r%s", {GetDeviceName(), reason}), false);
        return;
    }
    AllocReadBuffer();
    LogFmt(0, "The port %s is opened succesfully", {GetDeviceName()});
    ApplySettings();
    SetTraceStates(TraceStates());
    StartThreads();
    Notify(nkOpened);
}

void TvxCustomComm::Close()
{
    if (IsOpen()) {
        try {
            Shutdown(true);
            Log(0, "The port is closed succesfully");
        } catch (...) {
            TvxBaseIO::Close();
        }
    } else if (shuttingDown_.load()) {
        // The event thread is closing the port itself; the component is
        // closed and consistent once it is done.
        MainThread::WaitUntil([this] { return !shuttingDown_.load(); });
    }
    DoTraceState(this, {tsTxEmpty});
}

void TvxCustomComm::Shutdown(bool Purge)
{
    if (!IsOpen())
        return;
    if (shuttingDown_.exchange(true)) {
        // Another thread is closing the port. The event thread just leaves;
        // any other thread waits until the port is closed.
        if (!TCommThread::IsEventThread())
            MainThread::WaitUntil([this] { return !shuttingDown_.load(); });
        return;
    }
    try {
        StopThreads();
        if (Purge) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (ClearCommError(Handle(), &errors, &stat) && stat.cbOutQue > 0)
                PurgeAll();
            SetCommMask(Handle(), 0);
        }
        JoinThreads();
        FreeReadBuffer();
        TvxBaseIO::Close();
        Notify(nkClosed);
    } catch (...) {
        shuttingDown_ = false;
        MainThread::Wake();
        throw;
    }
    shuttingDown_ = false;
    MainThread::Wake();
}

// ---- Threads ------------------------------------------------------------------------

void TvxCustomComm::StartThreads()
{
    std::lock_guard lock(threadsMutex_);
    if (!msgThread_)
        msgThread_ = std::make_unique<TMsgThread>(this);
    if (!commThread_)
        commThread_ = std::make_unique<TCommThread>(this, msgThread_->Queue());
}

void TvxCustomComm::StopThreads()
{
    std::lock_guard lock(threadsMutex_);
    if (commThread_) {
        commThread_->Stop();
        stoppedThreads_.push_back(std::move(commThread_));
    }
    if (msgThread_) {
        msgThread_->Stop();
        stoppedThreads_.push_back(std::move(msgThread_));
    }
}

void TvxCustomComm::JoinThreads()
{
    // Joins every stopped thread but the calling one and the one whose event
    // the caller is handling; they stay listed until a later call finds them
    // ended.
    std::vector<std::unique_ptr<TWorkerThread>> toJoin;
    {
        std::lock_guard lock(threadsMutex_);
        for (auto& t : stoppedThreads_)
            if (!t->IsCurrent() && !t->IsHandlingOnThisThread())
                toJoin.push_back(std::move(t));
        std::erase(stoppedThreads_, nullptr);
    }
    for (auto& t : toJoin)
        t->WaitFor();
}
