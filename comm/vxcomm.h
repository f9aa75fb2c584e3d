#pragma once
// The serial port component: TvxComm publishes the properties of
// TvxCustomSerialComm, so that a window's stored layout can set them by name.
#include "vxcomm_serial.h"

class TvxComm : public TvxCustomSerialComm {
    Q_OBJECT
    Q_PROPERTY(uint32_t BaudRate READ BaudRate WRITE SetBaudRate)
    Q_PROPERTY(vxcomm::TParity Parity READ Parity WRITE SetParity)
    Q_PROPERTY(vxcomm::TStopBits StopBits READ StopBits WRITE SetStopBits)
    Q_PROPERTY(uint8_t ByteSize READ ByteSize WRITE SetByteSize)
    Q_PROPERTY(uint16_t ComPortNo READ ComPortNo WRITE SetComPortNo)
    Q_PROPERTY(vxcomm::TComPort ComPort READ ComPort WRITE SetComPort STORED false)
    Q_PROPERTY(uint16_t TraceStates READ TraceStateBits WRITE SetTraceStateBits)
    Q_PROPERTY(char EventChar READ GetEventChar WRITE SetEventChar)
    Q_PROPERTY(vxcomm::TStreamProtocol StreamProtocol READ StreamProtocol WRITE SetStreamProtocol)
    Q_PROPERTY(uint16_t BufferInSize READ BufferInSize WRITE SetBufferInSize)
    Q_PROPERTY(uint16_t BufferOutSize READ BufferOutSize WRITE SetBufferOutSize)
    Q_PROPERTY(uint32_t TimeoutRead READ TimeoutRead WRITE SetTimeoutRead)
    Q_PROPERTY(uint32_t TimeoutWrite READ TimeoutWrite WRITE SetTimeoutWrite)
    Q_PROPERTY(bool RS485Mode READ RS485Mode WRITE SetRS485Mode)
    Q_PROPERTY(vxcomm::TvxEnumPorts EnumPorts READ EnumPorts WRITE SetEnumPorts)
    Q_PROPERTY(bool UseMainThread READ UseMainThread WRITE SetUseMainThread)
    Q_PROPERTY(QObject* MonitorCTS READ MonitorCTS WRITE SetMonitorCTS)
    Q_PROPERTY(QObject* MonitorDSR READ MonitorDSR WRITE SetMonitorDSR)
    Q_PROPERTY(QObject* MonitorRLSD READ MonitorRLSD WRITE SetMonitorRLSD)
    Q_PROPERTY(QObject* MonitorRing READ MonitorRing WRITE SetMonitorRing)

public:
    using TvxCustomSerialComm::TvxCustomSerialComm;
    // Closes the port before any part of the object goes: the worker threads
    // call into it until they are joined. A descendant closes in its own
    // destructor for the same reason.
    ~TvxComm() override { CloseForDestruction(); }

    uint16_t TraceStateBits() const { return TraceStates().ToBits(); }
    void SetTraceStateBits(uint16_t Bits) { SetTraceStates(TTraceStates::FromBits(Bits)); }

protected:
    TvxComm(QObject* AOwner, bool ManualRts) : TvxCustomSerialComm(AOwner, ManualRts) {}
};
