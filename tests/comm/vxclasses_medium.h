#pragma once
// A small medium for testing the base I/O component: its handle is a port
// layer event, and what it sends is recorded.
#include "Exceptions.h"
#include "vxclasses.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>
#include <string>
#include <vector>

class TTestMedium : public TvxBaseIO {
    Q_OBJECT
public:
    using TvxBaseIO::TvxBaseIO;
    ~TTestMedium() override { Close(); }

    bool failOpen = false;
    bool throwOnOpen = false;
    int opens = 0;
    int enums = 0;
    std::string sent;
    std::vector<std::string> strings;
    std::vector<std::pair<int32_t, std::string>> toEnumerate; // (PortNo, DisplayName)
    std::function<void(TvxThreadIO*)> body;

    using TvxBaseIO::Devices;
    using TvxBaseIO::InTerminalShow;
    using TvxBaseIO::NotifyList;
    using TvxBaseIO::ReadOverlapped;
    using TvxBaseIO::SendOverlapped;
    using TvxBaseIO::SetLogPrefix;
    using TvxBaseIO::StartThreads;
    using TvxBaseIO::StopThreads;
    using TvxBaseIO::TerminalHandle;
    using TvxBaseIO::Thread;
    using TvxBaseIO::ThreadStopped;
    using TvxBaseIO::UseThread;
    using TvxBaseIO::WriteOverlapped;

    int32_t DeviceIndex() override { return -1; }
    void EnumDevices() override
    {
        ++enums;
        for (const auto& [port, name] : toEnumerate) {
            auto device = std::make_unique<TvxDevice>();
            device->PortNo = port;
            device->DisplayName = name;
            AddDevice(std::move(device));
        }
    }
    void SendChar(char Ch) override { sent += Ch; }
    void SendString(const std::string& S) override { strings.push_back(S); }
    void SendData(const void* Data, uint32_t Size) override { sent.append(static_cast<const char*>(Data), Size); }
    void PurgeIn() override {}
    void PurgeOut() override {}
    void PurgeAll() override {}

protected:
    vxport::HANDLE OpenHandle() override
    {
        ++opens;
        if (throwOnOpen)
            throw Exception("cannot open");
        if (failOpen)
            return vxport::INVALID_HANDLE_VALUE;
        return vxport::CreateEventA(nullptr, vxport::TRUE, vxport::FALSE, nullptr);
    }
    void ThreadExecute(TvxThreadIO* AThread) override
    {
        if (body)
            body(AThread);
    }
};

// A data processor that writes what it is given into a trace.
class TTraceProcessor : public TvxCustomDataProcessor {
    Q_OBJECT
public:
    explicit TTraceProcessor(std::vector<std::string>* trace = nullptr, QObject* owner = nullptr)
        : TvxCustomDataProcessor(owner), trace_(trace)
    {
    }

    TvxBaseIO* io = nullptr;
    std::vector<TvxBaseIO*> setIOCalls;
    bool handles = false;
    bool busy = false;

    void SetIO(TvxBaseIO* IO) override
    {
        io = IO;
        setIOCalls.push_back(IO);
    }
    void DataReceived(void* Buffer, uint32_t Received, bool& Handled) override
    {
        if (trace_)
            trace_->push_back("processor " + std::string(static_cast<const char*>(Buffer), Received));
        if (handles)
            Handled = true;
    }
    void TxEmpty(bool& Busy) override
    {
        if (busy)
            Busy = true;
    }

private:
    std::vector<std::string>* trace_;
};

// Runs the event loop until `ready` holds or `ms` have passed.
inline bool ProcessEventsUntil(const std::function<bool()>& ready, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!ready()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

inline void ProcessEventsFor(int ms)
{
    ProcessEventsUntil([] { return false; }, ms);
}
