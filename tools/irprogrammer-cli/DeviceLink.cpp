#include "DeviceLink.h"

#include "DeviceProtocol.h"
#include "Exceptions.h"
#include "Interrupt.h"
#include "vxcomm.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

namespace ircli {

namespace {

using Clock = std::chrono::steady_clock;

// The window's write timer: one command per tick.
constexpr auto kTick = std::chrono::milliseconds(50);
// How often a wait for the reply looks whether the port is still open.
constexpr auto kPortCheck = std::chrono::milliseconds(50);

// The component's open error reads "Device "COM9" Open Error !!!" and, after
// a carriage return, the system's reason.
std::string OpenErrorReason(const std::string& message)
{
    const size_t cr = message.find('\r');
    return cr == std::string::npos ? message : message.substr(cr + 1);
}

} // namespace

// The component with its input discarded on demand. Holding the receive
// waits for a delivery under way, so that no byte read before the purge
// reaches the link after it.
class DeviceLink::Port : public TvxComm {
public:
    ~Port() override { CloseForDestruction(); }
    void DiscardInput(const std::function<void()>& dropDelivered)
    {
        HoldReceive();
        PurgeIn();
        dropDelivered();
        ReleaseReceive();
    }
};

DeviceLink::DeviceLink(int portNo) : rs_(std::make_unique<Port>())
{
    rs_->SetComPortNo(uint16_t(portNo));
    portName_ = rs_->GetDeviceName();
    rs_->SetBaudRate(9600);
    rs_->SetParity(vxcomm::pNone);
    rs_->SetStopBits(vxcomm::sbOne);
    rs_->SetByteSize(8);
    rs_->SetStreamProtocol(vxcomm::spNone);
    rs_->SetBufferInSize(8192);
    rs_->SetBufferOutSize(8192);
    rs_->SetTimeoutRead(0);
    rs_->SetTimeoutWrite(100);
    rs_->SetUseMainThread(false);
    rs_->OnAfterReceive = TOnReceived(
        [this](TObject*, void* buffer, uint32_t count) { Received(static_cast<const char*>(buffer), count); }, this);
    // A failed send reports the system's error with no line-error code.
    rs_->OnCommError = TOnCommErrorEvent(
        [this](TObject*, uint32_t commCode, uint32_t sysError, TComStateFlags, bool&) {
            if (commCode == 0)
                sendError_.store(sysError != 0 ? sysError : vxport::ERROR_GEN_FAILURE);
        },
        this);
    try {
        rs_->SetActive(true);
    } catch (const Exception& e) {
        throw Failure{PortFailed, "cannot open " + portName_ + ": " + OpenErrorReason(e.Message)};
    }
}

DeviceLink::~DeviceLink()
{
    try {
        rs_->SetActive(false);
    } catch (...) { // closing a port that is gone reports nothing useful here
    }
}

void DeviceLink::WriteImage(const std::string& image)
{
    // Each command a full tick after the one before, counted from when that
    // one started: a late command is not made up for by a quick next one.
    Clock::time_point due = Clock::now() + kTick;
    for (int address = 0; address < DeviceImageBytes; ++address) {
        std::this_thread::sleep_until(due);
        due = Clock::now() + kTick;
        Send(WriteCommand(address, image),
             address == 0 ? "before the first byte"
                          : "after " + std::to_string(address) + " of 24 bytes: the device holds old and new bytes");
    }
    std::this_thread::sleep_until(due);
}

std::optional<std::string> DeviceLink::Read(int timeoutMs)
{
    // Nothing received before the request counts: a late reply to an earlier
    // request (one that timed out, in this run or the one before) may still
    // wait in the port and would be taken for the answer.
    rs_->DiscardInput([this] {
        std::lock_guard lock(mutex_);
        buffer_.clear();
        reply_.reset();
    });
    Send(ReadRequest, "before the read request");
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(mutex_);
    while (!reply_) {
        if (!rs_->IsOpen())
            throw Failure{PortFailed, "the port " + portName_ + " was lost while waiting for the reply"};
        ThrowIfInterrupted("while waiting for the reply");
        if (Clock::now() >= deadline)
            return std::nullopt;
        replied_.wait_until(lock, std::min(deadline, Clock::now() + kPortCheck));
    }
    return reply_;
}

// On the component's message thread.
void DeviceLink::Received(const char* bytes, uint32_t count)
{
    std::lock_guard lock(mutex_);
    buffer_.append(bytes, count);
    std::optional<std::string> reply = TakeReply(buffer_);
    if (reply && !reply_) {
        reply_ = std::move(reply);
        replied_.notify_all();
    }
}

void DeviceLink::Send(const std::string& text, const std::string& when)
{
    ThrowIfInterrupted(when);
    sendError_.store(0);
    if (rs_->IsOpen())
        rs_->SendString(text);
    if (!rs_->IsOpen())
        throw Failure{PortFailed, "the port " + portName_ + " was lost " + when};
    if (const uint32_t error = sendError_.load())
        throw Failure{PortFailed, "cannot send to " + portName_ + " " + when + ": " + vxport::SysErrorMessage(error)};
}

} // namespace ircli
