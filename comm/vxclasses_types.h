#pragma once
// Types shared by the whole component library: the event handlers of the I/O
// components and the terminal usage.
#include "Events.h"

#include <QObject>
#include <cstdint>
#include <string>

// (Sender, ErrorCode, Detail, ErrorMsg, RaiseException): the handler may clear
// RaiseException to stop the exception (or the message) that would follow.
using TOnFatalErrorEvent = TMethod<TObject*, uint32_t, uint32_t, const std::string&, bool&>;
// (Com, Buffer, Received): bytes just received.
using TOnReceived = TMethod<TObject*, void*, uint32_t>;
// (Com): the transmit queue ran empty.
using TOnSent = TMethod<TObject*>;
// (Sender, Kind): one of the notification kinds below.
using TOnNotifyEvent = TMethod<TObject*, int32_t>;

constexpr int32_t nkClosed = 1;         // the medium was closed
constexpr int32_t nkOpened = 2;         // the medium was opened
constexpr int32_t nkDevicesChanged = 3; // the device list changed or a device was selected

namespace vxclasses {
Q_NAMESPACE
// How an I/O component uses its terminal edit control.
enum TTerminalUsage : uint8_t { tuNone = 0, tuSend = 1, tuReceive = 2, tuBoth = 3 };
Q_ENUM_NS(TTerminalUsage)
} // namespace vxclasses

using vxclasses::TTerminalUsage;
using enum vxclasses::TTerminalUsage;
