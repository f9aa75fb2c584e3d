#pragma once
// TvxCustomComm: everything a communication port adds to the base I/O
// component: the port settings (DCB), queue sizes and time-outs, the event
// mask taken from TraceStates, the two worker threads that turn port events
// into calls on the component, sending, error and trace reporting and the
// modem-line monitors. The lifecycle of an open port: vxcomm_connection.h.
#include "vxclasses.h"
#include "vxcomm_connection.h"
#include "vxcomm_types.h"

#include <QPointer>
#include <memory>
#include <mutex>

class TvxCustomComm : public TvxBaseIO {
    Q_OBJECT

public:
    explicit TvxCustomComm(QObject* AOwner = nullptr);
    ~TvxCustomComm() override;

    // ---- Overrides of the base ---------------------------------------------------
    void Open() override;
    void Close() override;
    void SendChar(char Ch) override;
    void SendString(const std::string& S) override;
    void SendData(const void* Data, uint32_t Size) override;
    void PurgeIn() override;
    void PurgeOut() override;
    void PurgeAll() override;

protected:
    void Notification(QObject* AComponent, TOperation Operation) override;
    // Start and stop the threads of the current connection; stopping never waits.
    void StartThreads() override;
    void StopThreads() override;

public:
    // ---- New operations, in slot order -------------------------------------------
    virtual std::string GetDeviceName() { return "Unknown"; }
    virtual void ApplySettings();
    virtual void SetEventChar(char Value) { config_.dcb.EvtChar = Value; ApplyDCB(); }
    virtual char GetEventChar() const { return config_.dcb.EvtChar; }
    virtual void DoCommError(uint32_t CommCode, uint32_t SysError, TComStateFlags State);

    // ---- Settings ------------------------------------------------------------------
    uint32_t BaudRate() const { return config_.dcb.BaudRate; }
    void SetBaudRate(uint32_t Value) { config_.dcb.BaudRate = Value; ApplyDCB(); }
    TParity Parity() const { return TParity(config_.dcb.Parity); }
    void SetParity(TParity Value) { config_.dcb.Parity = Value; config_.dcb.fParity = Value != pNone; ApplyDCB(); }
    TStopBits StopBits() const { return TStopBits(config_.dcb.StopBits); }
    void SetStopBits(TStopBits Value) { config_.dcb.StopBits = Value; ApplyDCB(); }
    uint8_t ByteSize() const { return config_.dcb.ByteSize; }
    // Below 4 or above 8 is stored as 8.
    void SetByteSize(uint8_t Value) { config_.dcb.ByteSize = (Value < 4 || Value > 8) ? 8 : Value; ApplyDCB(); }
    TStreamProtocol StreamProtocol() const { return streamProtocol_; }
    void SetStreamProtocol(TStreamProtocol Value) { streamProtocol_ = Value; ApplyDCB(); }
    bool RS485Mode() const { return rs485Mode_.load(); }
    void SetRS485Mode(bool Value) { rs485Mode_ = Value; ApplyDCB(); }
    TTraceStates TraceStates() const { return TTraceStates::FromBits(traceStates_.load()); }
    void SetTraceStates(TTraceStates Value);
    uint16_t BufferInSize() const { return bufferInSize_; }
    void SetBufferInSize(uint16_t Value) { SetBufferSizes(Value, bufferOutSize_); }
    uint16_t BufferOutSize() const { return bufferOutSize_; }
    void SetBufferOutSize(uint16_t Value) { SetBufferSizes(bufferInSize_, Value); }
    uint32_t TimeoutRead() { return GetTimeouts().ReadTotalTimeoutMultiplier; }
    void SetTimeoutRead(uint32_t Value) { SetTimeout(&vxport::COMMTIMEOUTS::ReadTotalTimeoutMultiplier, Value); }
    uint32_t TimeoutWrite() { return GetTimeouts().WriteTotalTimeoutMultiplier; }
    void SetTimeoutWrite(uint32_t Value) { SetTimeout(&vxport::COMMTIMEOUTS::WriteTotalTimeoutMultiplier, Value); }
    bool UseMainThread() const { return life_->MainThreadWanted(); }
    void SetUseMainThread(bool Value) { life_->SetMainThreadWanted(Value); }
    bool ManualRts() const { return manualRts_; }

    QObject* MonitorCTS() const { return monitorCTS_; }
    void SetMonitorCTS(QObject* Value) { SetMonitor(monitorCTS_, Value); }
    QObject* MonitorDSR() const { return monitorDSR_; }
    void SetMonitorDSR(QObject* Value) { SetMonitor(monitorDSR_, Value); }
    QObject* MonitorRLSD() const { return monitorRLSD_; }
    void SetMonitorRLSD(QObject* Value) { SetMonitor(monitorRLSD_, Value); }
    QObject* MonitorRing() const { return monitorRing_; }
    void SetMonitorRing(QObject* Value) { SetMonitor(monitorRing_, Value); }

    const vxport::DCB& Dcb() const { return config_.dcb; }
    const vxport::COMMCONFIG& CommConfig() const { return config_; }
    // The size of the block received bytes are read into; 0 while closed.
    size_t ReadBufferSize() const;

    // ---- Sending, errors and trace -------------------------------------------------
    TModemSignals ModemSignals();
    void DoTraceState(TObject* Sender, TTraceStates States);
    void SetRTS(bool On);
    void SetDTR(bool On);
    uint32_t InQueueCount() { return QueueState().cbInQue; }
    uint32_t OutQueueCount() { return QueueState().cbOutQue; }
    // The bytes the last SendChar or SendString got out: fewer than it was
    // given when the device stopped taking them and the write ran out of
    // time, which counts as done; 0 when nothing was written.
    uint32_t SentCount() const { return sentCount_.load(std::memory_order_relaxed); }
    // Waits until Count bytes are in the input queue; the receive path leaves
    // them there meanwhile unless a receiver takes them.
    bool WaitForInput(uint32_t Count, uint32_t Timeout);
    // Signal is the ordinal of a TModemSignal; the signal is tested at least once.
    bool WaitForModemSignal(uint8_t Signal, uint32_t Timeout);
    bool ReadBytes(void* Buffer, uint32_t Count);

    // The closing work: Purge from Close, no purge from the event thread when
    // its wait failed.
    void Shutdown(bool Purge) { ShutdownConnection(nullptr, Purge); }
    void ApplyDCB();
    // Copies the record and, when open, gives it to the driver.
    void SetTimeouts(const vxport::COMMTIMEOUTS& Value)
    {
        timeouts_ = Value;
        if (IsOpen())
            vxport::SetCommTimeouts(Handle(), &timeouts_);
    }
    // When open, refreshes the record from the driver first.
    const vxport::COMMTIMEOUTS& GetTimeouts()
    {
        if (IsOpen())
            vxport::GetCommTimeouts(Handle(), &timeouts_);
        return timeouts_;
    }

    // ---- Events ----------------------------------------------------------------------
    TOnSent OnAfterSend;
    TOnTraceEvent OnTraceState;
    TOnCommErrorEvent OnCommError;

protected:
    // For tests and for platforms whose driver cannot toggle RTS: the
    // component raises and drops RTS itself in RS485 mode.
    TvxCustomComm(QObject* AOwner, bool ManualRts);
    vxport::COMMCONFIG& Config() { return config_; }
    // The first steps of destruction: drop the links, close the port, and let
    // no worker thread call into the object any more (waiting for calls in
    // progress on other threads). Every class that can be the most derived
    // one calls this first in its destructor, while the object is whole.
    void CloseForDestruction();

    // While held (ReadDeviceId), received bytes wait in the driver's queue
    // whoever takes them otherwise; holding waits for a receive in progress.
    void HoldReceive();
    void ReleaseReceive() { --receiveHeld_; }

private:
    // Whether the rest of an event is still to be handled after a handler.
    using TGoesOn = TFunctionRef<bool()>;

    vxport::DWORD EventMask() const;
    // Logs the attempt and, where the component drives RTS itself, raises it;
    // false while the port is closed. The log line is formatted only when a
    // log is linked: a byte sent from a receive handler should not pay for
    // text nobody reads.
    template <class... Arg>
    bool StartSending(const char* Fmt, const Arg&... Args)
    {
        if (!IsOpen())
            return false;
        if (GetLog())
            LogFmt(2, Fmt, {TVarRec(Args)...});
        if (ManualRtsActive())
            SetRTS(true);
        return true;
    }
    void Purge(vxport::DWORD Flags);
    // The write of SendChar and SendString; a failed one is a communication error.
    void WriteWaited(const void* Data, vxport::DWORD Size);
    // The queue counts; zeros when the port is closed.
    vxport::COMSTAT QueueState();
    bool ManualRtsActive() const { return RS485Mode() && manualRts_; }
    void SetMonitor(QPointer<QObject>& monitor, QObject* value) { monitor = value; FreeNotification(value); }
    void SetBufferSizes(uint16_t In, uint16_t Out);
    void SetTimeout(vxport::DWORD vxport::COMMTIMEOUTS::*field, uint32_t Value)
    {
        vxport::COMMTIMEOUTS t = timeouts_;
        t.*field = Value;
        SetTimeouts(t);
    }
    void ShowLines(TModemSignals lines, bool ring);
    std::shared_ptr<TCommConnection> Current() const;
    // Lets the current connection (only `expected` when given) go and shuts
    // its handle; no user code runs here.
    enum { kNotOpen, kDetached, kRtsDropped };
    int Detach(const TCommConnection* expected, bool purge);
    // Detach, then OnClose and nkClosed; false when nothing was open.
    bool ShutdownConnection(const TCommConnection* expected, bool purge);
    // Close without the trace event that follows it.
    void ClosePort();
    // Handles one port event (a ComEventMsg) of a connection.
    void HandleComEvent(TCommConnection& conn, const TMsg& Msg);
    // Reads `count` bytes that wait in the queue and delivers them.
    bool Receive(TCommConnection& conn, vxport::DWORD count, const TGoesOn& goesOn);
    bool Deliver(TCommConnection& conn, vxport::DWORD count, const TGoesOn& goesOn);
    // After a read of a kilobyte or more, reads on in the same event while
    // the reads are as large; false when the event ends there.
    bool ReadBurst(TCommConnection& conn, vxport::DWORD& got, const TGoesOn& goesOn);
    // A receive event would read the bytes now: somebody takes them, and
    // receiving is not held.
    bool ReadsInput() const
    {
        return receiveHeld_.load() == 0 && (TraceStates().Contains(tsRxChar) || HasReceiver());
    }
    bool TxEmpty(const TGoesOn& goesOn);

    friend struct TCommThread;
    friend class TCommConnection;
    friend class TInputWatcher;

    mutable vxport::COMMTIMEOUTS timeouts_{};
    vxport::COMSTAT comStat_{};
    std::atomic<uint16_t> traceStates_{0};
    uint16_t bufferOutSize_ = 0;
    uint16_t bufferInSize_ = 0;
    std::atomic<int> receiveHeld_{0};
    std::atomic<bool> rs485Mode_{false};
    std::atomic<uint32_t> sentCount_{0};
    QPointer<QObject> monitorRLSD_, monitorRing_, monitorCTS_, monitorDSR_;
    bool manualRts_ = false;
    TStreamProtocol streamProtocol_ = spHardware;
    vxport::COMMCONFIG config_{};

    // The component as its threads reach it, and the open port's connection;
    // the lock is held while a connection is attached or detached and its
    // handle shut, never while user code runs.
    const std::shared_ptr<TCommLife> life_;
    mutable std::mutex portMutex_;
    std::shared_ptr<TCommConnection> conn_;
};
