#include "vxclasses_processor.h"

#include "Exceptions.h"
#include "Mailbox.h"
#include "vxclasses_baseio.h"
#include "vxclasses_log.h"
#include "vxclasses_timer.h"

#include <QPointer>
#include <QThread>

namespace {

// The timer ticks on the thread that created the processor and is set there
// only; a send or StartTimer on another thread (a processor answering from
// the message thread's receive path) has that thread do it. A request still
// queued when the processor goes is dropped with the timer, whichever thread
// destroys it (the timer's window may outlive it for a while).
template <class Fn>
void OnTimerThread(TvxTimer& timer, TMailbox& mail, Fn fn)
{
    if (timer.thread() == QThread::currentThread())
        fn();
    else
        mail.Post(std::move(fn));
}

} // namespace

TvxCustomDataProcessor::TvxCustomDataProcessor(QObject* AOwner)
    : TComponent(AOwner), timer_(new TvxTimer), timerMail_(new TMailbox(timer_.get()))
{
    timer_->SetEnabled(false);
    // Bound through the virtual table: a descendant's DoTimer is the one called.
    timer_->SetOnTimer(MakeMethod(this, &TvxCustomDataProcessor::DoTimer));
}

TvxCustomDataProcessor::~TvxCustomDataProcessor()
{
    // The I/O component drops its link (and waits for a receive on another
    // thread to leave this object) before anything here goes; then the
    // processor removes its handler itself.
    NotifyDestroying();
    TvxCustomDataProcessor::SetIO(nullptr);
    timer_.reset();
}

void TvxCustomDataProcessor::Destroying()
{
    timer_->EndTicks();
}

TOnNotifyEvent TvxCustomDataProcessor::NotifyHandler()
{
    return MakeMethod(this, &TvxCustomDataProcessor::HandleNotify);
}

// ---- Notifications --------------------------------------------------------------------

void TvxCustomDataProcessor::HandleNotify(TObject*, int32_t Kind)
{
    if (Kind == nkClosed)
        DoMediumClosed();
    else if (Kind == nkOpened)
        DoMediumOpened();
}

void TvxCustomDataProcessor::DoMediumClosed()
{
    Log(2, "Medium Closed");
}

void TvxCustomDataProcessor::DoMediumOpened()
{
    Log(2, "Medium Opened");
}

void TvxCustomDataProcessor::Notification(QObject* AComponent, TOperation Operation)
{
    TComponent::Notification(AComponent, Operation);
    if (Operation != opRemove || !AComponent)
        return;
    if (AComponent == dataProcessorObject_)
        SetDataProcessor(nullptr);
    // An I/O component tells its listeners while it is still whole, so the
    // handler can be removed from it.
    if (AComponent == ioObject_)
        SetIO(nullptr);
    if (AComponent == logObject_) {
        log_.store(nullptr, std::memory_order_release);
        logObject_ = nullptr;
    }
}

// ---- Links ------------------------------------------------------------------------------

void TvxCustomDataProcessor::SetDataProcessor(TvxCustomDataProcessor* Processor)
{
    if (Processor == this)
        return;
    // Received bytes would go round a loop for ever.
    for (TvxCustomDataProcessor* p = Processor; p; p = p->GetDataProcessor())
        if (p == this)
            throw Exception("The data processor chain would form a loop");
    dataProcessor_.store(Processor, std::memory_order_release);
    dataProcessorObject_ = Processor;
    if (Processor) {
        FreeNotification(Processor);
        Processor->SetIO(GetIO());
    }
}

void TvxCustomDataProcessor::SetIO(TvxBaseIO* IO)
{
    TvxBaseIO* attached = GetIO();
    if (attached && attached != IO)
        attached->RemoveNotify(NotifyHandler());
    io_.store(IO, std::memory_order_release);
    ioObject_ = IO;
    if (IO) {
        FreeNotification(IO);
        IO->AddNotify(NotifyHandler());
        // The component hears of the log's end too, so that it can wait for a
        // receive on another thread that logs here.
        if (TvxCustomLogFile* log = GetLog())
            IO->FreeNotification(log);
    }
}

void TvxCustomDataProcessor::SetLog(TvxCustomLogFile* Value)
{
    log_.store(Value, std::memory_order_release);
    logObject_ = Value;
    if (Value) {
        FreeNotification(Value);
        if (TvxBaseIO* io = GetIO())
            io->FreeNotification(Value);
    }
}

void TvxCustomDataProcessor::SetFlag(bool Value)
{
    flag_ = Value;
}

// ---- Sending -------------------------------------------------------------------------------

void TvxCustomDataProcessor::DoDataSend(void* Data, uint32_t Size)
{
    if (Size == 0 || !Data)
        return;
    try {
        const QPointer<TvxCustomDataProcessor> self(this); // the hook may destroy the processor
        bool handled = false;
        if (OnBeforeSend)
            OnBeforeSend(this, Data, Size, false, handled);
        if (!self)
            return;
        if (handled) {
            OnTimerThread(*timer_, *timerMail_, [timer = timer_.get()] {
                timer->SetEnabled(false);
                timer->SetEnabled(true);
            });
        } else if (TvxBaseIO* io = GetIO()) {
            io->SendData(Data, Size);
        } else {
            return;
        }
        LogFmt(2, "DoDataSend: %u bytes", {Size});
    } catch (...) {
    }
}

void TvxCustomDataProcessor::DoStringSend(const std::string& S)
{
    if (S.empty())
        return;
    try {
        std::string text = S; // the hook's changes stay in this copy
        const QPointer<TvxCustomDataProcessor> self(this);
        bool handled = false;
        if (OnBeforeSend)
            OnBeforeSend(this, text.data(), uint32_t(text.size()), true, handled);
        if (handled || !self)
            return;
        if (TvxBaseIO* io = GetIO())
            io->SendString(text);
    } catch (...) {
    }
}

// ---- Timer ------------------------------------------------------------------------------------

void TvxCustomDataProcessor::StartTimer(int32_t Interval)
{
    OnTimerThread(*timer_, *timerMail_, [timer = timer_.get(), Interval] {
        timer->SetEnabled(false);
        if (Interval != 0) {
            timer->Interval = uint32_t(Interval);
            timer->SetEnabled(true);
        }
    });
}

void TvxCustomDataProcessor::DoTimer(TObject*)
{
    timer_->SetEnabled(false);
    bool busy = false;
    TxEmpty(busy);
}

void TvxCustomDataProcessor::TxEmpty(bool&) {}

// ---- Receiving ----------------------------------------------------------------------------------

void TvxCustomDataProcessor::DataReceived(void* Buffer, uint32_t Received, bool& Handled)
{
    if (TvxCustomDataProcessor* next = GetDataProcessor())
        next->DataReceived(Buffer, Received, Handled);
}

void TvxCustomDataProcessor::DataReceived(void* Buffer, uint32_t Received)
{
    bool handled = false;
    DataReceived(Buffer, Received, handled);
}

// ---- Errors and logging ---------------------------------------------------------------------------

void TvxCustomDataProcessor::FatalError(uint32_t ErrorCode, uint32_t Detail, const std::string& ErrorMsg)
{
    const QPointer<TvxCustomDataProcessor> self(this); // the handler may destroy the processor
    bool raiseException = true;
    if (OnFatalError)
        OnFatalError(this, ErrorCode, Detail, ErrorMsg, raiseException);
    if (TvxCustomLogFile* log = self ? GetLog() : nullptr)
        log->LogFmt(0, "Fatal Error: %u, %u, %s", {ErrorCode, Detail, ErrorMsg});
    if (raiseException)
        throw Exception(ErrorMsg);
}

void TvxCustomDataProcessor::Log(uint8_t Level, const std::string& Msg)
{
    if (TvxCustomLogFile* log = GetLog())
        log->Log(Level, logPrefix_ + Msg);
}

void TvxCustomDataProcessor::LogFmt(uint8_t Level, const std::string& Fmt, const TVarArgs& Args)
{
    TvxCustomLogFile* log = GetLog();
    if (!log)
        return;
    // A percent sign in the prefix stays text.
    std::string prefix;
    for (char c : logPrefix_) {
        prefix += c;
        if (c == '%')
            prefix += '%';
    }
    log->LogFmt(Level, prefix + Fmt, Args);
}
