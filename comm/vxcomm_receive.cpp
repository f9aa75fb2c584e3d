// The handling of one port event: errors, received bytes, transmit empty and
// line events.
#include "Application.h"
#include "vxcomm_custom.h"
#include "vxsysutils.h"

#include <algorithm>
#include <chrono>

using namespace vxport;

namespace {

constexpr struct {
    DWORD event;
    TTraceState state;
} kReported[] = {{EV_RXFLAG, tsRxFlag}, {EV_CTS, tsCTS},   {EV_DSR, tsDSR},           {EV_RLSD, tsRLSD},
                 {EV_RING, tsRing},     {EV_BREAK, tsBreak}, {EV_ERR, tsErr},        {EV_RX80FULL, tsRx80Full},
                 {EV_EVENT1, tsEvent1}, {EV_EVENT2, tsEvent2}};

constexpr DWORD kReportedEvents = [] {
    DWORD events = 0;
    for (const auto& r : kReported)
        events |= r.event;
    return events;
}();

TTraceStates TraceOf(DWORD mask)
{
    TTraceStates states;
    for (const auto& r : kReported)
        if (mask & r.event)
            states.Include(r.state);
    return states;
}

// See ReadBurst.
constexpr DWORD kBurstRead = 1024;
constexpr int kReadRoundsPerEvent = 8;
constexpr auto kReadTimePerEvent = std::chrono::milliseconds(1);

} // namespace

// What every received piece runs, here and in the port layer, is marked hot:
// the linker puts it side by side, so a wake-up after a long sleep loads a
// few pages of code rather than one per source file. At 921600 baud that was
// a tenth of the stream's CPU.
[[gnu::hot]] void TvxCustomComm::HandleComEvent(TCommConnection& conn, const TMsg& Msg)
{
    if (Msg.message != ComEventMsg)
        return;
    // A handler may destroy the component or close the port; the rest of the
    // event is then left alone. The destruction ends the component's life
    // first, which the connection outlives.
    const TCommLife& life = conn.Life();
    const auto goesOn = [&] { return !life.Ended() && !conn.Stopped(); };
    try {
        DWORD errors = 0;
        DWORD got = 0;
        // The event needs the errors and the input count; the output count
        // would cost the device a question after every write. The watch's
        // own event reads the input within the same call.
        std::vector<uint8_t>& buffer = conn.ReadBuffer();
        if (Msg.lParam == kTakeInput && ReadsInput())
            ReadCommInput(conn.Handle(), buffer.data(), DWORD(buffer.size()), &got, &errors, &comStat_);
        else if (Msg.lParam == kTakeInput)
            TakeCommInput(conn.Handle(), &errors, &comStat_);
        else
            ClearCommInputError(conn.Handle(), &errors, &comStat_);
        if (errors != 0) {
            DoCommError(errors, 0, TComStateFlags::FromBits(ComStatFlags(comStat_)));
            return;
        }
        const DWORD mask = DWORD(Msg.wParam);
        if (got > 0 && !Deliver(conn, got, goesOn))
            return;
        if (got >= kBurstRead && !ReadBurst(conn, got, goesOn))
            return;
        // Bytes still in the queue (as a rule none after the watch's own read).
        const DWORD left = comStat_.cbInQue - std::min(got, comStat_.cbInQue);
        if ((mask & EV_RXCHAR) && left > 0 && !Receive(conn, left, goesOn))
            return;
        if ((mask & EV_TXEMPTY) && !TxEmpty(goesOn))
            return;
        if (mask & kReportedEvents)
            DoTraceState(this, TraceOf(mask));
    } catch (...) {
        if (!life.Ended())
            FatalError(1, GetLastError(), Application::MessageOf(std::current_exception()), true);
    }
}

// A read of a kilobyte or more came from a burst, which as a rule goes on:
// reading again within the event saves a pass through the event loop for
// each piece of it (a tty's read hands over what its 4 KiB line buffer holds,
// as a rule). A short read ends the burst, so a slow stream pays no extra
// read; so do a few rounds or a millisecond, so that the loop's other work
// does not wait behind a long burst or a slow receiver, and a receiver that
// held receiving or went away. `got` is the last read's count.
bool TvxCustomComm::ReadBurst(TCommConnection& conn, DWORD& got, const TGoesOn& goesOn)
{
    const auto start = std::chrono::steady_clock::now();
    for (int round = 2; got >= kBurstRead && round <= kReadRoundsPerEvent && ReadsInput() &&
                        std::chrono::steady_clock::now() - start < kReadTimePerEvent;
         ++round) {
        DWORD errors = 0;
        got = 0;
        std::vector<uint8_t>& buffer = conn.ReadBuffer();
        ReadCommInput(conn.Handle(), buffer.data(), DWORD(buffer.size()), &got, &errors, &comStat_);
        if (errors != 0) {
            DoCommError(errors, 0, TComStateFlags::FromBits(ComStatFlags(comStat_)));
            return false;
        }
        if (got > 0 && !Deliver(conn, got, goesOn))
            return false;
    }
    return true;
}

bool TvxCustomComm::Receive(TCommConnection& conn, DWORD count, const TGoesOn& goesOn)
{
    if (!ReadsInput())
        return true; // the bytes wait in the driver's queue
    // The queue can hold more than the buffer (BufferInSize raised on an open
    // port): what the event found is read in as many rounds as it takes.
    std::vector<uint8_t>& buffer = conn.ReadBuffer();
    for (DWORD want = 0, got = 0; count > 0; count -= got) {
        want = DWORD(std::min<size_t>(count, buffer.size()));
        const bool read = ReadComWait(conn.Handle(), buffer.data(), want, ReadOverlapped, &got);
        if (got > 0 && !Deliver(conn, got, goesOn))
            return false;
        if (!read || got < want)
            break;
    }
    return true;
}

// The first `count` bytes of the connection's buffer go to the receivers.
[[gnu::hot]] bool TvxCustomComm::Deliver(TCommConnection& conn, DWORD count, const TGoesOn& goesOn)
{
    conn.CountReceived(count);
    DoAfterReceive(conn.ReadBuffer().data(), count);
    return goesOn();
}

bool TvxCustomComm::TxEmpty(const TGoesOn& goesOn)
{
    if (ManualRtsActive() && (SetRTS(false), !goesOn()))
        return false;
    const bool busy = DoTxEmpty();
    if (goesOn() && TraceStates().Contains(tsTxEmpty) && !busy && OnAfterSend)
        OnAfterSend(this);
    return goesOn();
}
