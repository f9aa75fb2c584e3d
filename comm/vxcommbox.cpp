#include "vxcommbox.h"

#include "Application.h"
#include "Mailbox.h"

#include <QThread>

// Receives the bound component's free notification for the box: the box is
// a widget, not a component, and is told while the component is still whole.
class TvxDeviceBoxLink : public TComponent {
public:
    explicit TvxDeviceBoxLink(TvxDeviceBox* box) : TComponent(box), box_(box) {}

protected:
    void Notification(QObject* AComponent, TOperation Operation) override
    {
        TComponent::Notification(AComponent, Operation);
        box_->Notification(AComponent, Operation);
    }

private:
    TvxDeviceBox* box_;
};

namespace {

// The box's items as the string list that FillDeviceList writes.
class TvxBoxItems : public TvxStrings {
public:
    explicit TvxBoxItems(TvxDeviceBox* box) : box_(box) {}

    void Clear() override { box_->clear(); }
    int32_t AddObject(const std::string& S, TvxDevice* Device) override
    {
        box_->addItem(QString::fromStdString(S), QVariant::fromValue(static_cast<void*>(Device)));
        const int index = box_->count() - 1;
        if (Device)
            box_->setItemData(
                index, TvxDeviceBox::DeviceToolTip(Device->DeviceObject, Device->Description, Device->Manufacturer),
                Qt::ToolTipRole);
        return index;
    }
    int32_t Count() const override { return box_->count(); }
    std::string Strings(int32_t Index) const override { return box_->itemText(Index).toStdString(); }
    TvxDevice* Objects(int32_t Index) const override { return box_->ItemDevice(Index); }

private:
    TvxDeviceBox* box_;
};

} // namespace

TvxDeviceBox::TvxDeviceBox(QWidget* parent)
    : QComboBox(parent), link_(new TvxDeviceBoxLink(this)), mail_(new TMailbox(this))
{
    setEditable(false);
    handler_ = MakeMethod(this, &TvxDeviceBox::NotifyHandler);
    connect(this, &QComboBox::activated, this, &TvxDeviceBox::Picked);
}

TvxDeviceBox::~TvxDeviceBox()
{
    if (comm_)
        Unlink(comm_);
    comm_ = nullptr;
    delete link_; // no notification reaches the box from here on
    link_ = nullptr;
}

void TvxDeviceBox::SetvxComm(TvxBaseIO* Value)
{
    clear();
    ShowIndex(-1);
    TvxBaseIO* previous = comm_;
    if (previous && previous != Value)
        Unlink(previous);
    comm_ = nullptr;
    if (Value) {
        try {
            TvxBoxItems items(this);
            Value->FillDeviceList(&items);
            ShowIndex(Value->DeviceIndex());
        } catch (...) {
            if (previous == Value)
                Unlink(Value);
            emit ItemsRefreshed();
            throw;
        }
        Value->AddNotify(handler_);
        link_->FreeNotification(Value);
        comm_ = Value;
    }
    emit ItemsRefreshed();
}

void TvxDeviceBox::RefreshItems()
{
    SetvxComm(comm_);
}

bool TvxDeviceBox::DeviceChanged(TvxMessage& Message)
{
    return comm_ ? comm_->DeviceChangeMessage(Message) : false;
}

TvxDevice* TvxDeviceBox::ItemDevice(int Index) const
{
    if (Index < 0 || Index >= count())
        return nullptr;
    return static_cast<TvxDevice*>(itemData(Index).value<void*>());
}

QString TvxDeviceBox::DeviceToolTip(const std::string& Path, const std::string& Description,
                                    const std::string& Manufacturer)
{
    QStringList lines;
    if (!Path.empty())
        lines << tr("Device: %1").arg(QString::fromStdString(Path));
    if (!Description.empty())
        lines << tr("Description: %1").arg(QString::fromStdString(Description));
    if (!Manufacturer.empty())
        lines << tr("Manufacturer: %1").arg(QString::fromStdString(Manufacturer));
    return lines.join('\n');
}

void TvxDeviceBox::Change()
{
    if (!comm_)
        return;
    comm_->SelectDevice(currentIndex());
    OnChange(this);
}

void TvxDeviceBox::Notification(QObject* AComponent, TOperation Operation)
{
    if (Operation == opRemove && AComponent == comm_) {
        comm_ = nullptr;
        ShowIndex(-1);
        // The texts stay; the records go with the component.
        for (int i = 0; i < count(); ++i)
            setItemData(i, QVariant(), Qt::UserRole);
    }
}

void TvxDeviceBox::NotifyHandler(TObject*, int32_t Kind)
{
    if (Kind != nkDevicesChanged)
        return;
    if (QThread::currentThread() != thread()) {
        // The items belong to the box's thread; refill there.
        mail_->Post([this] { Application::RunEvent([this] { RefreshItems(); }); });
        return;
    }
    RefreshItems();
}

void TvxDeviceBox::Picked(int Index)
{
    // Picking the entry that is already selected changes nothing.
    if (Index == shownIndex_)
        return;
    shownIndex_ = Index;
    Application::RunEvent([this] { Change(); });
}

void TvxDeviceBox::Unlink(TvxBaseIO* Component)
{
    Component->RemoveNotify(handler_);
    link_->RemoveFreeNotification(Component);
}

void TvxDeviceBox::ShowIndex(int Index)
{
    setCurrentIndex(Index);
    shownIndex_ = currentIndex();
}
