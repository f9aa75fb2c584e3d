#pragma once
// TvxCustomSerialComm: a numbered COM port (ComPortNo, ComPort), its default
// settings and its device list by port number.
#include "vxcomm_custom.h"
#include "vxregistry.h"

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

    // ---- Stored configuration, connection test, device identification -------------
    // The port number, DCB and time-outs as one 49-byte value (vxcomm_config.h).
    virtual void SaveConfig(const TvxRootKey& RootKey, const std::string& Key, const std::string& ValueName);
    // A missing value, or one not of 49 bytes, changes nothing.
    virtual void LoadConfig(const TvxRootKey& RootKey, const std::string& Key, const std::string& ValueName);
    // The serial Plug and Play identification, begin and end marks included;
    // empty when the device sent none.
    virtual std::string ReadDeviceId();
    // Raises DTR and waits for DSR; a fatal error when it does not come.
    virtual void TestConnection();

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
