#pragma once
// TvxDeviceBox: a drop-down list (no edit field) of the devices of an I/O
// component. Bound through vxComm, its items mirror the component's device
// list, its selection follows the component's current device, and a pick
// makes the component switch to the picked device.
//
// The box registers a notification handler with the bound component and
// re-reads the list on every nkDevicesChanged. It never leaves that handler
// behind: rebinding unregisters it from the previous component, and the
// box's destruction from the current one. When the component is destroyed
// first, the box keeps its items, shows no selection, and ignores picks.
//
// Each item carries its TvxDevice (valid until the component's next change of
// its device list, which the box follows) and a tooltip naming the device.
#include "Events.h"
#include "vxclasses.h"

#include <QComboBox>
#include <QPointer>

#include <string>

class TvxDeviceBoxLink;
class TMailbox;

class TvxDeviceBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(TvxBaseIO* vxComm READ vxComm WRITE SetvxComm)
    Q_PROPERTY(bool ResetOnChanged READ ResetOnChanged WRITE SetResetOnChanged)

public:
    explicit TvxDeviceBox(QWidget* parent = nullptr);
    ~TvxDeviceBox() override;

    TvxBaseIO* vxComm() const { return comm_; }
    // Refills the items from Value's device list (enumerating when it is
    // empty) and selects its current device; nullptr empties the box. Errors
    // of the enumeration reach the caller, and the box is then unbound.
    void SetvxComm(TvxBaseIO* Value);
    // Stored with the layout; the component decides what a change does.
    bool ResetOnChanged() const { return resetOnChanged_; }
    void SetResetOnChanged(bool Value) { resetOnChanged_ = Value; }

    // Hands a device-change message to the bound component; true when the
    // component refreshed its device list. False while unbound.
    virtual bool DeviceChanged(TvxMessage& Message);
    // Binds again to the bound component: the items are read anew.
    void RefreshItems();

    // The device of item Index, or nullptr.
    TvxDevice* ItemDevice(int Index) const;
    // The tooltip of a device: its path, description and manufacturer, each
    // on a line of its own when known.
    static QString DeviceToolTip(const std::string& Path, const std::string& Description,
                                 const std::string& Manufacturer);

    // Fires after a pick has made the component switch.
    TNotifyEvent OnChange;

Q_SIGNALS:
    // After every refill of the items.
    void ItemsRefreshed();

protected:
    // A pick: the component selects the picked device, then OnChange fires.
    // Nothing happens while unbound.
    virtual void Change();
    // opRemove of the bound component: forget it (without calling into it),
    // keep the item texts, drop their records, clear the selection.
    virtual void Notification(QObject* AComponent, TOperation Operation);
    void NotifyHandler(TObject* Sender, int32_t Kind);

private:
    friend class TvxDeviceBoxLink;
    void Picked(int Index);
    void Unlink(TvxBaseIO* Component);
    void ShowIndex(int Index);

    TvxBaseIO* comm_ = nullptr;
    bool resetOnChanged_ = false;
    int shownIndex_ = -1;
    TOnNotifyEvent handler_;
    // Receives the free notifications on the box's behalf.
    TvxDeviceBoxLink* link_;
    // Refills asked for on other threads.
    TMailbox* mail_;
};
