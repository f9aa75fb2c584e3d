// TvxCustomSerialComm: the stored configuration, the connection test and the
// serial Plug and Play identification read.
#include "vxcomm_config.h"

#include "Exceptions.h"
#include "MainThread.h"
#include "vxcomm_serial.h"

#include <QCoreApplication>

#include <exception>

using namespace vxport;

namespace vxcomm {

namespace {

class ByteWriter {
public:
    explicit ByteWriter(uint8_t* out) : out_(out) {}
    void U8(uint8_t v) { out_[pos_++] = v; }
    void U16(uint16_t v)
    {
        U8(uint8_t(v));
        U8(uint8_t(v >> 8));
    }
    void U32(uint32_t v)
    {
        U16(uint16_t(v));
        U16(uint16_t(v >> 16));
    }

private:
    uint8_t* out_;
    size_t pos_ = 0;
};

class ByteReader {
public:
    explicit ByteReader(const uint8_t* in) : in_(in) {}
    uint8_t U8() { return in_[pos_++]; }
    uint16_t U16()
    {
        const uint16_t lo = U8();
        return uint16_t(lo | uint16_t(U8()) << 8);
    }
    uint32_t U32()
    {
        const uint32_t lo = U16();
        return lo | uint32_t(U16()) << 16;
    }

private:
    const uint8_t* in_;
    size_t pos_ = 0;
};

} // namespace

std::array<uint8_t, ConfigValueSize> EncodeConfigValue(const TCommConfigValue& Value)
{
    std::array<uint8_t, ConfigValueSize> bytes{};
    ByteWriter w(bytes.data());
    const DCB& d = Value.Dcb;
    w.U8(Value.PortNo);
    w.U32(d.DCBlength);
    w.U32(d.BaudRate);
    w.U32(DcbFlags(d));
    w.U16(d.wReserved);
    w.U16(d.XonLim);
    w.U16(d.XoffLim);
    w.U8(d.ByteSize);
    w.U8(d.Parity);
    w.U8(d.StopBits);
    for (char c : {d.XonChar, d.XoffChar, d.ErrorChar, d.EofChar, d.EvtChar})
        w.U8(uint8_t(c));
    w.U16(d.wReserved1);
    const COMMTIMEOUTS& t = Value.Timeouts;
    for (DWORD v : {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                    t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant})
        w.U32(v);
    return bytes;
}

TConfigParseResult ParseConfigValue(const uint8_t* Data, size_t Size)
{
    TConfigParseResult result;
    if (!Data || Size != ConfigValueSize)
        return result;
    ByteReader r(Data);
    TCommConfigValue& v = result.Value;
    DCB& d = v.Dcb;
    v.PortNo = r.U8();
    d.DCBlength = r.U32();
    d.BaudRate = r.U32();
    SetDcbFlags(d, r.U32());
    d.wReserved = r.U16();
    d.XonLim = r.U16();
    d.XoffLim = r.U16();
    d.ByteSize = r.U8();
    d.Parity = r.U8();
    d.StopBits = r.U8();
    for (char* c : {&d.XonChar, &d.XoffChar, &d.ErrorChar, &d.EofChar, &d.EvtChar})
        *c = char(r.U8());
    d.wReserved1 = r.U16();
    COMMTIMEOUTS& t = v.Timeouts;
    for (DWORD* p : {&t.ReadIntervalTimeout, &t.ReadTotalTimeoutMultiplier, &t.ReadTotalTimeoutConstant,
                     &t.WriteTotalTimeoutMultiplier, &t.WriteTotalTimeoutConstant})
        *p = r.U32();

    // Settings no port can use: a value holding them is not loaded.
    result.Status = TConfigParse::BadField;
    if (d.BaudRate == 0)
        result.Error = "baud rate 0";
    else if (d.ByteSize < 4 || d.ByteSize > 8)
        result.Error = "byte size " + std::to_string(d.ByteSize);
    else if (d.Parity > SPACEPARITY)
        result.Error = "parity code " + std::to_string(d.Parity);
    else if (d.StopBits > TWOSTOPBITS)
        result.Error = "stop-bits code " + std::to_string(d.StopBits);
    else
        result.Status = TConfigParse::Ok;
    return result;
}

} // namespace vxcomm

namespace {

constexpr uint32_t kSignalWait = 200;
// A serial Plug and Play identification is at most 256 bytes; a device that
// keeps sending without an end mark cannot hold the read longer than that.
constexpr size_t kMaxDeviceId = 256;

// Waits while the caller's pending messages are handled, as the other waits do.
void Pause(uint32_t ms)
{
    const DWORD deadline = GetTickCount() + ms;
    while (int32_t(GetTickCount() - deadline) < 0) {
        Sleep(1);
        if (MainThread::IsCurrent())
            QCoreApplication::processEvents();
    }
}

} // namespace

void TvxCustomSerialComm::SaveConfig(const TvxRootKey& RootKey, const std::string& Key, const std::string& ValueName)
{
    try {
        vxcomm::TCommConfigValue value;
        value.PortNo = uint8_t(ComPortNo());
        value.Dcb = Dcb();
        value.Timeouts = GetTimeouts();
        const auto bytes = vxcomm::EncodeConfigValue(value);
        // The setters take settings no port can use (baud rate 0, codes out of
        // range); stored, they would make the value unloadable, so the value
        // already stored is kept instead.
        const vxcomm::TConfigParseResult check = vxcomm::ParseConfigValue(bytes.data(), bytes.size());
        if (check.Status != vxcomm::TConfigParse::Ok)
            throw Exception("Settings refused: " + check.Error);
        TvxRegistry registry(RootKey);
        if (!registry.OpenKey(Key, true))
            throw Exception("The key cannot be opened");
        registry.WriteBinaryData(ValueName, bytes.data(), uint32_t(bytes.size()));
        registry.CloseKey();
        Log(1, "Configuration was saved");
    } catch (...) {
        FatalError(1, 0, "Error on save config information from registry", false);
    }
}

void TvxCustomSerialComm::LoadConfig(const TvxRootKey& RootKey, const std::string& Key, const std::string& ValueName)
{
    try {
        TvxRegistry registry(RootKey);
        std::array<uint8_t, vxcomm::ConfigValueSize> bytes{};
        uint32_t got = 0;
        if (registry.OpenKey(Key, true) && registry.ValueExists(ValueName) &&
            registry.GetDataSize(ValueName) == int64_t(bytes.size()))
            got = registry.ReadBinaryData(ValueName, bytes.data(), uint32_t(bytes.size()));
        registry.CloseKey();
        const vxcomm::TConfigParseResult parsed = vxcomm::ParseConfigValue(bytes.data(), got);
        // A value with impossible settings is refused whole rather than
        // leaving the component with settings no port accepts.
        if (parsed.Status == vxcomm::TConfigParse::BadField)
            throw Exception("Stored configuration refused: " + parsed.Error);
        if (parsed.Status == vxcomm::TConfigParse::Ok) {
            // A port that is gone fails the reopen on the stored number; the
            // rest of the value is taken all the same, so that the component
            // is left with one configuration, not half of two.
            std::exception_ptr reopenError;
            try {
                SetComPortNo(parsed.Value.PortNo);
            } catch (...) {
                reopenError = std::current_exception();
            }
            Config().dcb = parsed.Value.Dcb;
            ApplyDCB();
            SetTimeouts(parsed.Value.Timeouts);
            if (reopenError)
                std::rethrow_exception(reopenError);
        }
        Log(1, "Configuration was loaded");
    } catch (...) {
        FatalError(1, 0, "Error on load config information from registry", false);
    }
}

void TvxCustomSerialComm::TestConnection()
{
    if (!IsOpen())
        return;
    PurgeAll();
    SetDTR(true);
    SetRTS(false);
    if (!WaitForModemSignal(msDSR, kSignalWait)) {
        FatalError(1, 0, "Device Connect Initialization Error", false);
        return;
    }
    SetRTS(true);
    Log(1, "The device connection was succesful tested");
}

std::string TvxCustomSerialComm::ReadDeviceId()
{
    std::string result;
    const bool wasActive = Active();
    SetActive(true);
    if (!IsOpen())
        return result;
    // The identification is this call's: no receiver takes its bytes.
    HoldReceive();
    struct Release {
        TvxCustomSerialComm& comm;
        ~Release() { comm.ReleaseReceive(); }
    } release{*this};
    PurgeAll();
    SetDTR(true);
    SetRTS(false);
    if (!WaitForModemSignal(msDSR, kSignalWait)) {
        // The port goes back to how the caller had it before the error is raised.
        if (!wasActive)
            SetActive(false);
        FatalError(1, 0, "Device Connect Initialization Error", false);
        return result;
    }

    ApplyDCB();
    const DCB saved = Dcb();
    DCB working = saved;
    const TTraceStates savedTrace = TraceStates();
    auto restore = [&] {
        SetCommState(Handle(), &saved);
        SetTraceStates(savedTrace);
        SetActive(false);
        SetActive(wasActive);
    };

    try {
        working.BaudRate = 1200;
        working.ByteSize = 7;
        working.Parity = NOPARITY;
        working.StopBits = ONESTOPBIT;
        SetCommState(Handle(), &working);
        SetTraceStates({});

        SetDTR(false);
        SetRTS(false);
        Pause(kSignalWait);
        SetDTR(true);
        Pause(kSignalWait);
        SetRTS(true);
        bool arrived = WaitForInput(1, kSignalWait);
        if (!arrived) {
            SetDTR(false);
            SetRTS(false);
            Pause(kSignalWait);
            SetDTR(true);
            SetRTS(true);
            arrived = WaitForInput(1, kSignalWait);
        }

        uint8_t byte = 0;
        if (arrived && ReadBytes(&byte, 1) && (byte == 0x08 || byte == 0x28)) {
            const uint8_t endMark = byte + 1;
            result += char(byte);
            while (result.size() < kMaxDeviceId && WaitForInput(1, kSignalWait) && ReadBytes(&byte, 1)) {
                result += char(byte);
                if (byte == endMark)
                    break;
            }
        }
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return result;
}
