#pragma once
// TvxCustomSerialComm: a numbered COM port (ComPortNo, ComPort), its default
// settings and its device list by port number.
#include "vxcomm_custom.h"

class TvxCustomSerialComm : public TvxCustomComm {
    Q_OBJECT

public:
    explicit TvxCustomSerialComm(QObject* AOwner = nullptr);
    ~TvxCustomSerialComm() override { CloseForDestruction(); }

    std::string GetDeviceName() override;

    uint16_t ComPortNo() const { return comPortNo_; }
    // Reopens an active port on the new number, then notifies nkDevicesChanged.
    void SetComPortNo(uint16_t Value);
    // cpCOM1..cpCOM8 for ports 1..8, cpCOMxx for any other number.
    TComPort ComPort() const;
    // cpCOMxx changes nothing.
    void SetComPort(TComPort Value);
    TvxEnumPorts EnumPorts() const { return enumPorts_; }
    // The new mode applies at the next build of the device list.
    void SetEnumPorts(TvxEnumPorts Value) { enumPorts_ = Value; }

    // ---- Device list by port number --------------------------------------------------
    void SelectDevice(int32_t Index) override;
    int32_t DeviceIndex() override;
    void EnumDevices() override;
    void RefreshDevices() override;

protected:
    TvxCustomSerialComm(QObject* AOwner, bool ManualRts);
    vxport::HANDLE OpenHandle() override;

private:
    void Construct();

    uint16_t comPortNo_ = 1;
    TvxEnumPorts enumPorts_ = epQuickAll;
};
