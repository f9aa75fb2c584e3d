// The handling of one port event: errors, received bytes, transmit empty and
// line events.
#include "Exceptions.h"
#include "vxcomm_custom.h"
#include "vxsysutils.h"

#include <algorithm>

using namespace vxport;

namespace {

TTraceStates TraceOf(DWORD mask)
{
    static constexpr struct {
        DWORD event;
        TTraceState state;
    } kReported[] = {{EV_RXFLAG, tsRxFlag}, {EV_CTS, tsCTS},   {EV_DSR, tsDSR},           {EV_RLSD, tsRLSD},
                     {EV_RING, tsRing},     {EV_BREAK, tsBreak}, {EV_ERR, tsErr},        {EV_RX80FULL, tsRx80Full},
                     {EV_EVENT1, tsEvent1}, {EV_EVENT2, tsEvent2}};
    TTraceStates states;
    for (const auto& r : kReported)
        if (mask & r.event)
            states.Include(r.state);
    return states;
}

} // namespace

void TvxCustomComm::HandleComEvent(const TMsg& Msg)
{
    if (Msg.message != ComEventMsg)
        return;
    // An event that was queued while the port closed has nothing to act on.
    if (!IsOpen() || readBuffer_.empty())
        return;
    struct Depth {
        TvxCustomComm& c;
        explicit Depth(TvxCustomComm& comm) : c(comm) { ++c.handlingDepth_; }
        ~Depth()
        {
            if (--c.handlingDepth_ == 0)
                c.retiredBuffers_.clear();
        }
    } depth(*this);
    try {
        DWORD errors = 0;
        ClearCommError(Handle(), &errors, &comStat_);
        if (errors != 0) {
            DoCommError(errors, 0, TComStateFlags::FromBits(ComStatFlags(comStat_)));
            return;
        }
        const DWORD mask = DWORD(Msg.wParam);
        HandleReceive(mask, comStat_);
        if (mask & EV_TXEMPTY)
            HandleTxEmpty();
        const TTraceStates trace = TraceOf(mask);
        if (!trace.Empty())
            DoTraceState(this, trace);
    } catch (const std::exception& e) {
        FatalError(1, GetLastError(), e.what(), true);
    }
}

void TvxCustomComm::HandleReceive(DWORD mask, const COMSTAT& stat)
{
    if (!(mask & EV_RXCHAR) || stat.cbInQue == 0)
        return;
    if (!TraceStates().Contains(tsRxChar) && !HasReceiver())
        return; // the bytes wait in the driver's queue
    const DWORD count = DWORD(std::min<size_t>(stat.cbInQue, readBuffer_.size()));
    if (ReadComWait(Handle(), readBuffer_.data(), count, ReadOverlapped))
        DoAfterReceive(readBuffer_.data(), count);
}

void TvxCustomComm::HandleTxEmpty()
{
    if (ManualRtsActive())
        SetRTS(false);
    const bool busy = DoTxEmpty();
    if (TraceStates().Contains(tsTxEmpty) && !busy && OnAfterSend)
        OnAfterSend(this);
}
