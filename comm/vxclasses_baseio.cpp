#include "vxclasses_baseio.h"

#include "Application.h"
#include "Exceptions.h"
#include "vxclasses_terminal_p.h"

#include <algorithm>
#include <cstdint>

// ---- Construction -----------------------------------------------------------------

TvxBaseIO::TvxBaseIO(QObject* AOwner)
    : TComponent(AOwner), terminalHook_(new TvxTerminalHook(this)), life_(std::make_shared<std::atomic<bool>>(true)),
      handle_(vxport::INVALID_HANDLE_VALUE)
{
    ReadOverlapped.hEvent = vxport::CreateEventA(nullptr, vxport::FALSE, vxport::FALSE, nullptr);
    WriteOverlapped.hEvent = vxport::CreateEventA(nullptr, vxport::FALSE, vxport::FALSE, nullptr);
}

TvxBaseIO::~TvxBaseIO()
{
    life_->store(false);
    // Components linked to this one are told now, while it is still whole:
    // a processor detaching itself calls RemoveNotify here.
    NotifyDestroying();
    TvxBaseIO::StopThreads();
    delete terminalHook_; // unhooks the terminal and drops pending terminal output
    terminalHook_ = nullptr;
    vxport::CloseHandle(WriteOverlapped.hEvent);
    vxport::CloseHandle(ReadOverlapped.hEvent);
    TvxBaseIO::ClearDevices();
}

// ---- Activation ------------------------------------------------------------------------

bool TvxBaseIO::Active() const
{
    if (IsDesigning() || IsLoading())
        return streamedActive_.load(std::memory_order_acquire);
    return IsOpen();
}

void TvxBaseIO::SetActive(bool Value)
{
    if (IsLoading()) {
        streamedActive_.store(Value, std::memory_order_release);
        return;
    }
    const TLifeFlag life = life_; // a handler of the change may destroy this component
    if (Value != Active() || IsDesigning()) {
        if (Value)
            Open();
        else
            Close();
    }
    if (*life && IsDesigning()) {
        streamedActive_.store(IsOpen(), std::memory_order_release);
        if (IsOpen())
            Close();
    }
}

void TvxBaseIO::Loaded()
{
    TComponent::Loaded();
    try {
        SetTerminal(GetTerminal());
        SetTerminalUsage(terminalUsage_);
        SetActive(streamedActive_.load(std::memory_order_acquire));
    } catch (...) {
        Application::ShowMessage("error", "Error", Application::MessageIcon::Error);
    }
}

// ---- Opening and closing --------------------------------------------------------------

[[gnu::hot]] bool TvxBaseIO::IsOpen() const
{
    return Handle() != vxport::INVALID_HANDLE_VALUE;
}

vxport::HANDLE TvxBaseIO::OpenHandle()
{
    return vxport::INVALID_HANDLE_VALUE;
}

void TvxBaseIO::CloseHandle(vxport::HANDLE AHandle)
{
    vxport::CloseHandle(AHandle);
}

[[gnu::hot]] bool TvxBaseIO::HasReceiver() const
{
    return GetTerminal() || OnAfterReceive.Assigned() || GetDataProcessor();
}

void TvxBaseIO::Open()
{
    // An open medium is closed first, so that its handle is not lost.
    if (IsOpen())
        Close();
    handle_.store(OpenHandle(), std::memory_order_release);
    if (!IsOpen())
        return;
    if (UseThread)
        StartThreads();
    RaiseOnOpen();
}

void TvxBaseIO::PutHandle(vxport::HANDLE AHandle)
{
    handle_.store(AHandle, std::memory_order_release);
}

void TvxBaseIO::RaiseOnOpen()
{
    try {
        OnOpen(this);
    } catch (...) {
    }
}

void TvxBaseIO::Close()
{
    // The handle is taken before it is closed, so that of two threads closing
    // at once only one closes it and raises OnClose.
    const vxport::HANDLE handle = TakeHandle();
    if (handle == vxport::INVALID_HANDLE_VALUE)
        return;
    CloseHandle(handle);
    if (UseThread)
        StopThreads();
    RaiseOnClose();
}

vxport::HANDLE TvxBaseIO::TakeHandle()
{
    return handle_.exchange(vxport::INVALID_HANDLE_VALUE, std::memory_order_acq_rel);
}

void TvxBaseIO::RaiseOnClose()
{
    try {
        OnClose(this);
    } catch (...) {
    }
}

// ---- The worker thread ------------------------------------------------------------------

void TvxBaseIO::StartThreads()
{
    if (Thread && Thread->IsCurrent())
        throw Exception("The worker thread cannot restart itself");
    ThreadStopped = false;
    Thread.reset(); // a previous thread is stopped and waited for first
    Thread = std::make_unique<TvxThreadIO>(this);
}

void TvxBaseIO::StopThreads()
{
    if (ThreadStopped || !Thread)
        return;
    ThreadStopped = true;
    Thread->Terminate();
    // The worker cannot wait for itself; its object is released at the next
    // start or with the component.
    if (Thread->IsCurrent())
        return;
    Thread->WaitFor();
    Thread.reset();
}

void TvxBaseIO::ThreadExecute(TvxThreadIO*) {}

// ---- Fatal errors and logging ---------------------------------------------------------------

void TvxBaseIO::FatalError(uint32_t ErrorCode, uint32_t Detail, const std::string& ErrorMsg, bool ShowOnly)
{
    const TLifeFlag life = life_; // the handler may destroy this component
    bool raiseException = true;
    if (OnFatalError)
        OnFatalError(this, ErrorCode, Detail, ErrorMsg, raiseException);
    // A destroyed component has no log any more; the error still reaches the caller.
    const bool alive = *life;
    TvxCustomLogFile* log = alive ? GetLog() : nullptr;
    if (log)
        log->LogFmt(0, "Fatal Error: %u, %u, %s", {ErrorCode, Detail, ErrorMsg});
    if (!raiseException || (alive && IsLoading()))
        return;
    if (ShowOnly)
        Application::ShowMessage(ErrorMsg, "Error", Application::MessageIcon::Error);
    else
        throw Exception(ErrorMsg);
}

std::string TvxBaseIO::LogPrefix() const
{
    return logPrefixSet_ ? logPrefix_ : std::string(metaObject()->className());
}

void TvxBaseIO::SetLogPrefix(const std::string& Prefix)
{
    logPrefix_ = Prefix;
    logPrefixSet_ = true;
}

void TvxBaseIO::Log(uint8_t Level, const std::string& Msg)
{
    TvxCustomLogFile* log = GetLog();
    if (!log)
        return;
    if (Msg.empty())
        log->LogBlank();
    else
        log->Log(Level, LogPrefix() + Msg);
}

void TvxBaseIO::LogFmt(uint8_t Level, const std::string& Fmt, const TVarArgs& Args)
{
    TvxCustomLogFile* log = GetLog();
    if (!log)
        return;
    // The prefix becomes part of the format: a percent sign in it stays text.
    std::string prefix;
    for (char c : LogPrefix()) {
        prefix += c;
        if (c == '%')
            prefix += '%';
    }
    log->LogFmt(Level, prefix + Fmt, Args);
}

// ---- Notification handlers ----------------------------------------------------------------------

void TvxBaseIO::Notify(int32_t Kind)
{
    const TLifeFlag life = life_; // a handler may destroy this component
    NotifyList.Broadcast(this, Kind, [&life] { return bool(*life); });
}

int32_t TvxBaseIO::AddNotify(const TOnNotifyEvent& Handler)
{
    const int32_t index = NotifyList.IndexOf(Handler);
    if (index >= 0)
        return index;
    return NotifyList.Add(Handler);
}

void TvxBaseIO::RemoveNotify(const TOnNotifyEvent& Handler)
{
    const int32_t index = NotifyList.IndexOf(Handler);
    if (index >= 0)
        NotifyList.Delete(index);
}

// ---- Receive path ------------------------------------------------------------------------------

[[gnu::hot]] bool TvxBaseIO::DoAfterReceive(void* Buffer, uint32_t Received)
{
    bool handled = false;
    if (TvxCustomDataProcessor* processor = GetDataProcessor()) {
        const TLifeFlag life = life_; // the processor may destroy this component
        processor->DataReceived(Buffer, Received, handled);
        if (!*life)
            return false;
    }
    if (GetTerminal() && !handled)
        TerminalShow(Buffer, int32_t(std::min<uint32_t>(Received, INT32_MAX)));
    if (OnAfterReceive)
        OnAfterReceive(this, Buffer, Received);
    return false;
}

bool TvxBaseIO::DoTxEmpty()
{
    bool busy = false;
    if (TvxCustomDataProcessor* processor = GetDataProcessor())
        processor->TxEmpty(busy);
    return busy;
}

// ---- Links -------------------------------------------------------------------------------------------

void TvxBaseIO::SetLog(TvxCustomLogFile* Value)
{
    log_.store(Value, std::memory_order_release);
    logObject_ = Value;
    if (Value)
        FreeNotification(Value);
}

void TvxBaseIO::SetDataProcessor(TvxCustomDataProcessor* Value)
{
    TvxCustomDataProcessor* linked = GetDataProcessor();
    if (!Value && linked)
        linked->SetIO(nullptr);
    dataProcessor_.store(Value, std::memory_order_release);
    dataProcessorObject_ = Value;
    if (Value) {
        Value->SetIO(this);
        FreeNotification(Value);
    }
}

void TvxBaseIO::Notification(QObject* AComponent, TOperation Operation)
{
    TComponent::Notification(AComponent, Operation);
    if (Operation != opRemove || !AComponent)
        return;
    // The dying object is only compared, never called: its destructor has
    // run, and a processor detaches itself before it goes.
    if (AComponent == dataProcessorObject_) {
        dataProcessor_.store(nullptr, std::memory_order_release);
        dataProcessorObject_ = nullptr;
    } else if (AComponent == GetTerminal()) {
        DropTerminal();
    } else if (AComponent == logObject_) {
        log_.store(nullptr, std::memory_order_release);
        logObject_ = nullptr;
    }
}
