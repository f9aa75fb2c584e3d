#pragma once
// The abstract I/O component from which every device component derives.
//
// It holds what all media share: the medium's handle and its activation
// through Active (deferred while the owner reads its stored layout), the links
// to a data processor, a log and a terminal edit control, the receive path
// that hands received bytes to them and to OnAfterReceive, fatal-error
// reporting, the notification handlers told of opening, closing and device
// changes, and the list of devices the medium can be opened on.
//
// Threads: Handle, IsOpen, Active and the links may be read from any thread
// while the main thread opens and closes. Everything else, the terminal and
// the device list above all, belongs to the thread that created the component.
#include "Component.h"
#include "Format.h"
#include "vxclasses_device.h"
#include "vxclasses_log.h"
#include "vxclasses_notify.h"
#include "vxclasses_processor.h"
#include "vxclasses_stringlist.h"
#include "vxclasses_thread.h"
#include "vxclasses_types.h"
#include "vxport.h"

#include <QPointer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class QEvent;
class TvxTerminalHook;

class TvxBaseIO : public TComponent {
    Q_OBJECT
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(vxclasses::TTerminalUsage TerminalUsage READ TerminalUsage WRITE SetTerminalUsage)
    Q_PROPERTY(bool TerminalEcho READ TerminalEcho WRITE SetTerminalEcho)
    Q_PROPERTY(QWidget* Terminal READ GetTerminal WRITE SetTerminal)
    Q_PROPERTY(TvxCustomLogFile* Log READ GetLog WRITE SetLog)
    Q_PROPERTY(TvxCustomDataProcessor* DataProcessor READ GetDataProcessor WRITE SetDataProcessor)

public:
    explicit TvxBaseIO(QObject* AOwner = nullptr);
    // Does not close the medium: a descendant closes it in its own destructor.
    ~TvxBaseIO() override;

    // ---- Properties -----------------------------------------------------------

    // While loading: the value given, applied in Loaded. Otherwise IsOpen.
    bool Active() const;
    // While loading only recorded; otherwise a change opens or closes.
    void SetActive(bool Value);

    TvxCustomLogFile* GetLog() const { return log_.load(std::memory_order_acquire); }
    void SetLog(TvxCustomLogFile* Value);
    TvxCustomDataProcessor* GetDataProcessor() const { return dataProcessor_.load(std::memory_order_acquire); }
    // Nullptr detaches the linked processor; another processor replaces the
    // link but leaves the previous one attached.
    void SetDataProcessor(TvxCustomDataProcessor* Value);
    QWidget* GetTerminal() const { return terminal_.load(std::memory_order_acquire); }
    // A QLineEdit, QPlainTextEdit or QTextEdit, or nullptr; anything else
    // raises Exception and changes nothing.
    void SetTerminal(QWidget* Value);
    TTerminalUsage TerminalUsage() const { return terminalUsage_; }
    void SetTerminalUsage(TTerminalUsage Value);
    bool TerminalEcho() const { return terminalEcho_; }
    void SetTerminalEcho(bool Value) { terminalEcho_ = Value; }

    vxport::HANDLE Handle() const { return handle_.load(std::memory_order_acquire); }
    // False once destruction has begun. A copy taken before a handler runs
    // tells afterwards whether the handler destroyed the component.
    using TLifeFlag = std::shared_ptr<const std::atomic<bool>>;
    TLifeFlag LifeFlag() const { return life_; }
    // Put in front of every log message; the class name unless a descendant
    // sets another in its constructor.
    std::string LogPrefix() const;

    // ---- Events -----------------------------------------------------------------

    TOnFatalErrorEvent OnFatalError;
    TNotifyEvent OnClose;
    TNotifyEvent OnOpen;
    TOnReceived OnAfterReceive;

    // ---- Operations, in slot order ----------------------------------------------

    virtual bool IsOpen() const;

protected:
    // Opens the medium; INVALID_HANDLE_VALUE when it cannot be opened.
    virtual vxport::HANDLE OpenHandle();
    virtual void CloseHandle(vxport::HANDLE AHandle);

public:
    // True when a terminal, OnAfterReceive or a data processor takes received bytes.
    virtual bool HasReceiver() const;
    virtual void Open();
    virtual void Close();

protected:
    virtual void StartThreads();
    // Stops the worker thread and waits for it; nothing when none runs.
    virtual void StopThreads();
    // The worker thread's body; it returns once AThread->Terminated().
    virtual void ThreadExecute(TvxThreadIO* AThread);

public:
    // OnFatalError, the log line, then (unless the handler declined, and never
    // while loading) an Exception with ErrorMsg or, with ShowOnly, ErrorMsg
    // shown to the user.
    virtual void FatalError(uint32_t ErrorCode, uint32_t Detail, const std::string& ErrorMsg, bool ShowOnly = false);
    virtual void Notify(int32_t Kind);
    // The receive path: processor, terminal (unless handled), OnAfterReceive.
    // Exceptions reach the caller. The result is always False.
    virtual bool DoAfterReceive(void* Buffer, uint32_t Received);
    // True while the data processor is still sending.
    virtual bool DoTxEmpty();
    virtual void SelectDevice(int32_t Index);
    virtual int32_t DeviceIndex() = 0;
    // Appends the device to the list, which owns it from now on.
    virtual void AddDevice(std::unique_ptr<TvxDevice> Device);
    // Builds the list with AddDevice.
    virtual void EnumDevices() = 0;
    virtual void ClearDevices();
    // Shows received bytes in the terminal: one byte as a typed key, more as
    // text inserted at the caret, cut at zero bytes. From another thread the
    // bytes are copied and shown later on the terminal's thread.
    virtual void TerminalShow(const void* Buffer, int32_t Count);
    virtual void RefreshDevices();
    // Registers a handler once; returns its index.
    virtual int32_t AddNotify(const TOnNotifyEvent& Handler);
    virtual void RemoveNotify(const TOnNotifyEvent& Handler);
    virtual void SendChar(char Ch) = 0;
    virtual void SendString(const std::string& S) = 0;
    virtual void SendData(const void* Data, uint32_t Size) = 0;
    virtual void PurgeIn() = 0;
    virtual void PurgeOut() = 0;
    virtual void PurgeAll() = 0;
    // Builds the list when it is empty, then, when Strings is given, fills it
    // with the device texts and records (which stay owned by this component).
    virtual void FillDeviceList(TvxStrings* Strings);
    // WM_DEVICECHANGE for ports (or any device-node change) refreshes the list.
    virtual bool DeviceChangeMessage(TvxMessage& Msg);

    // ---- Non-virtual operations ---------------------------------------------------

    // Empty Msg: a blank log line.
    void Log(uint8_t Level, const std::string& Msg);
    void LogFmt(uint8_t Level, const std::string& Fmt, const TVarArgs& Args);

    // The device of entry Index; nullptr outside the list.
    TvxDevice* Device(int32_t Index) const;
    int32_t DeviceCount() const;
    // The first entry whose PortNo is PortNo, or -1.
    int32_t IndexOfPort(int32_t PortNo) const;

    void Loaded() override;

protected:
    void Notification(QObject* AComponent, TOperation Operation) override;

    void SetLogPrefix(const std::string& Prefix);
    // Marks the medium open with a handle, or closed and returns the handle
    // it had (invalid when it was closed already; of two threads only one
    // gets the handle).
    void PutHandle(vxport::HANDLE AHandle);
    vxport::HANDLE TakeHandle();
    // OnOpen and OnClose, with an exception they raise discarded.
    void RaiseOnOpen();
    void RaiseOnClose();
    // The terminal's key handling; true when the event goes no further.
    bool TerminalWindowProc(QEvent* Event);

    // ---- Fields, in declaration order ----------------------------------------------

    TvxNotifyList NotifyList;

private:
    std::atomic<TvxCustomLogFile*> log_{nullptr};
    std::atomic<TvxCustomDataProcessor*> dataProcessor_{nullptr};

protected:
    TvxStringList Devices;
    // The control that shows received bytes: the terminal when its usage
    // includes receiving, else none.
    QPointer<QWidget> TerminalHandle;

private:
    TTerminalUsage terminalUsage_ = tuNone;
    std::atomic<QWidget*> terminal_{nullptr};
    bool terminalEcho_ = false;
    // The hook on the terminal (an event filter), and the control it is on.
    TvxTerminalHook* terminalHook_;
    QWidget* hookedTerminal_ = nullptr;

protected:
    bool InTerminalShow = false;
    std::unique_ptr<TvxThreadIO> Thread;

private:
    std::shared_ptr<std::atomic<bool>> life_;
    std::atomic<bool> streamedActive_{false};
    std::atomic<vxport::HANDLE> handle_;
    std::string logPrefix_;
    bool logPrefixSet_ = false;
    // Identities of the linked log and processor, compared when one is destroyed.
    QObject* logObject_ = nullptr;
    QObject* dataProcessorObject_ = nullptr;

protected:
    vxport::OVERLAPPED ReadOverlapped{};
    vxport::OVERLAPPED WriteOverlapped{};
    vxport::OVERLAPPED SendOverlapped{};
    // Open and Close start and stop the worker thread.
    bool UseThread = false;
    bool ThreadStopped = false;

private:
    friend class TvxThreadIO;
    friend class TvxTerminalHook;
    void ShowInTerminal(const std::string& Bytes);
    void DropTerminal();
};
