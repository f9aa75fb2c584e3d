#pragma once
// The data processor: a component attached to an I/O component that sees
// every received block before the terminal and OnAfterReceive, can send
// through the component with a hook (OnBeforeSend) that may change or take
// over each send, hears of the medium opening and closing, owns a timer that
// calls TxEmpty some time after a send it took over, and passes received
// bytes on to a further processor, so that processors form a chain.
//
// This class is the base of all processors; descendants override
// DataReceived, TxEmpty and the notification operations.
//
// Threads: DataReceived runs on the I/O component's receive-path thread,
// HandleNotify on the thread that opens or closes the medium, the timer (and
// the TxEmpty it calls) on the thread that created the processor. The links
// may be read from any of them; they are changed on the creating thread.
#include "Component.h"
#include "Format.h"
#include "vxclasses_types.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class TvxBaseIO;
class TvxCustomLogFile;
class TvxTimer;
class TMailbox;

// (Sender, Data, Size, IsString, Handled): Data may be changed in place
// (Size bytes); setting Handled keeps the data from the I/O component.
using TOnBeforeSendEvent = TMethod<TObject*, void*, uint32_t, bool, bool&>;

class TvxCustomDataProcessor : public TComponent {
    Q_OBJECT
public:
    explicit TvxCustomDataProcessor(QObject* AOwner = nullptr);
    // Detaches from the I/O component while this object is still whole. A
    // descendant with state of its own calls NotifyDestroying() first in its
    // destructor, so that no receive reaches it half destroyed.
    ~TvxCustomDataProcessor() override;

    // ---- Operations, in slot order ----------------------------------------------

    // Registered with the I/O component: nkClosed and nkOpened reach
    // DoMediumClosed and DoMediumOpened, other kinds are ignored.
    virtual void HandleNotify(TObject* Sender, int32_t Kind);
    virtual void DoMediumClosed();
    virtual void DoMediumOpened();
    // Links the next processor and attaches it to this one's I/O component.
    // Nullptr unlinks but leaves the former next processor attached. Linking
    // this processor itself does nothing; a link that would close a loop in
    // the chain raises Exception.
    virtual void SetDataProcessor(TvxCustomDataProcessor* Processor);
    // Attaches to an I/O component or, with nullptr, detaches.
    virtual void SetIO(TvxBaseIO* IO);
    virtual void SetFlag(bool Value);
    // Sends a block through the I/O component after OnBeforeSend. Nothing for
    // a null or empty block; exceptions on the way are discarded.
    virtual void DoDataSend(void* Data, uint32_t Size);
    // As DoDataSend for a string; neither logs nor arms the timer.
    virtual void DoStringSend(const std::string& S);
    virtual void DoTimer(TObject* Sender);
    // Stops the timer; a non-zero Interval (ms) becomes its interval and arms
    // it for one TxEmpty call. Called on another thread than the processor's
    // (as a block taken over there), the processor's thread does it shortly.
    virtual void StartTimer(int32_t Interval);
    // OnFatalError, the log line, then Exception with ErrorMsg unless the
    // handler cleared RaiseException.
    virtual void FatalError(uint32_t ErrorCode, uint32_t Detail, const std::string& ErrorMsg);
    // Received bytes; the base passes them on to the next processor.
    virtual void DataReceived(void* Buffer, uint32_t Received, bool& Handled);
    virtual void DataReceived(void* Buffer, uint32_t Received);
    // Sets Busy while the processor is still sending; the base does nothing.
    virtual void TxEmpty(bool& Busy);

    // ---- Non-virtual operations ----------------------------------------------------

    // LogPrefix followed by Msg, when a log is linked.
    void Log(uint8_t Level, const std::string& Msg);
    void LogFmt(uint8_t Level, const std::string& Fmt, const TVarArgs& Args);

    TvxBaseIO* GetIO() const { return io_.load(std::memory_order_acquire); }
    TvxCustomDataProcessor* GetDataProcessor() const { return dataProcessor_.load(std::memory_order_acquire); }
    TvxCustomLogFile* GetLog() const { return log_.load(std::memory_order_acquire); }
    void SetLog(TvxCustomLogFile* Value);
    bool Flag() const { return flag_; }
    TvxTimer* Timer() const { return timer_.get(); }
    const std::string& LogPrefix() const { return logPrefix_; }
    // Set it before the processor is attached: it is read on other threads.
    void SetLogPrefix(const std::string& Value) { logPrefix_ = Value; }

    // ---- Events ----------------------------------------------------------------------

    TOnFatalErrorEvent OnFatalError;
    TOnBeforeSendEvent OnBeforeSend;

protected:
    void Notification(QObject* AComponent, TOperation Operation) override;
    // The timer ticks no more; a tick that runs on another thread (DoTimer,
    // TxEmpty) ends first.
    void Destroying() override;

private:
    TOnNotifyEvent NotifyHandler();

    std::atomic<TvxBaseIO*> io_{nullptr};
    std::atomic<TvxCustomDataProcessor*> dataProcessor_{nullptr};
    bool flag_ = false;
    std::atomic<TvxCustomLogFile*> log_{nullptr};
    std::unique_ptr<TvxTimer> timer_;
    // Requests for the timer from other threads; goes with the timer.
    TMailbox* timerMail_;
    std::string logPrefix_;
    // Identities of the links, compared when a linked component is destroyed.
    QObject* ioObject_ = nullptr;
    QObject* dataProcessorObject_ = nullptr;
    QObject* logObject_ = nullptr;
};
