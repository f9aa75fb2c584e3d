#pragma once
// Enumerations, sets and event types of the serial port component.
#include "Sets.h"
#include "vxclasses_types.h"

#include <QObject>
#include <cstdint>

namespace vxcomm {
Q_NAMESPACE

enum TComPort : uint8_t { cpCOM1, cpCOM2, cpCOM3, cpCOM4, cpCOM5, cpCOM6, cpCOM7, cpCOM8, cpCOMxx };
Q_ENUM_NS(TComPort)

// The ordinal is the DCB parity code.
enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
Q_ENUM_NS(TParity)

// The ordinal is the DCB stop-bits code.
enum TStopBits : uint8_t { sbOne, sbOneAndHalf, sbTwo };
Q_ENUM_NS(TStopBits)

enum TStreamProtocol : uint8_t { spNone, spXonXoff, spHardware };
Q_ENUM_NS(TStreamProtocol)

enum TModemSignal : uint8_t { msCTS, msDSR, msRing, msRLSD };
Q_ENUM_NS(TModemSignal)

enum TTraceState : uint8_t {
    tsRxChar,
    tsRxFlag,
    tsTxEmpty,
    tsCTS,
    tsDSR,
    tsRLSD,
    tsBreak,
    tsErr,
    tsRing,
    tsRx80Full,
    tsEvent1,
    tsEvent2
};
Q_ENUM_NS(TTraceState)

enum TvxEnumPorts : uint8_t { epQuickAll, epFullInfo, epFullPresent };
Q_ENUM_NS(TvxEnumPorts)

// The status flags in the first byte of a COMSTAT record.
enum TComStateFlag : uint8_t { csCtsHold, csDsrHold, csRlsdHold, csXoffHold, csXoffSent, csEof, csTxim };
Q_ENUM_NS(TComStateFlag)

} // namespace vxcomm

using namespace vxcomm;

using TModemSignals = TSet<TModemSignal, uint8_t>;
using TTraceStates = TSet<TTraceState, uint16_t>;
using TComStateFlags = TSet<TComStateFlag, uint8_t>;

// (Com, Event)
using TOnTraceEvent = TMethod<TObject*, TTraceStates>;
// (Com, CommCode, SysError, State, flFlashBuffers): the handler may set
// flFlashBuffers to have both driver queues discarded.
using TOnCommErrorEvent = TMethod<TObject*, uint32_t, uint32_t, TComStateFlags, bool&>;
