// The write and read exchanges of the programmer window.
//
// A write sends the 24 bytes of DeviceImage as 24 commands "#1aadd", one per
// 50 ms tick of Timer1, and closes the port on the 25th tick. A read sends
// "00#00030" and gathers the reply "#", 96 hexadecimal digits, "$" from the
// pieces OnAfterReceive delivers; Timer2 sounds the time-out tones when no
// reply has come a second after the click.
#include "Unit1.h"

#include "BleepInt.h"
#include "Bleeper.h"
#include "DeviceProtocol.h"
#include "Exceptions.h"
#include "FieldAssign.h"
#include "SysUtils.h"
#include "TransmitterCode.h"
#include "vxcomm.h"

namespace {

constexpr const char* kWriteMode = "zapis1";
constexpr int kImageBytes = DeviceImageBytes;

// Starts a timer unless it runs already (a running timer keeps its phase).
void EnableTimer(QTimer* timer, bool enabled)
{
    if (!enabled)
        timer->stop();
    else if (!timer->isActive())
        timer->start();
}

std::string Decimal(int32_t value)
{
    return IntToStr(value);
}

} // namespace

void TForm1::CreateComponents()
{
    // The serial component comes from the stored layout: created loading,
    // its stored properties set, activated (here: left closed) in Loaded.
    // Typed setters, so that a wrong name or type does not build.
    TLayoutReading reading(this);
    RS = new TvxComm(this);
    RS->setObjectName("RS");
    RS->SetActive(false);
    RS->SetBaudRate(9600);
    RS->SetParity(vxcomm::pNone);
    RS->SetStopBits(vxcomm::sbOne);
    RS->SetByteSize(8);
    RS->SetComPortNo(1);
    RS->SetTraceStates({});
    RS->SetEventChar(0);
    RS->SetStreamProtocol(vxcomm::spNone);
    RS->SetBufferInSize(8192);
    RS->SetBufferOutSize(8192);
    RS->SetTimeoutRead(0);
    RS->SetTimeoutWrite(100);
    RS->SetRS485Mode(false);
    RS->SetEnumPorts(vxcomm::epQuickAll);
    RS->SetUseMainThread(true);
    RS->SetTerminalUsage(vxclasses::tuBoth);
    RS->SetTerminalEcho(true);
    RS->OnAfterReceive = TOnReceived::Bind(this, &TForm1::RSAfterReceive);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(50);
    Timer2 = new QTimer(this);
    Timer2->setObjectName("Timer2");
    Timer2->setInterval(1000);
    reading.Finish();
}

void TForm1::BindExchanges()
{
    BindEvent(BitBtn1, &QPushButton::clicked, &TForm1::BitBtn1Click);
    BindEvent(BitBtn2, &QPushButton::clicked, &TForm1::BitBtn2Click);
    BindEvent(Timer1, &QTimer::timeout, &TForm1::Timer1Timer);
    BindEvent(Timer2, &QTimer::timeout, &TForm1::Timer2Timer);
}

// ---- Write --------------------------------------------------------------------------

void TForm1::BitBtn1Click()
{
    WriteMode = kWriteMode;
    WriteCountdown = kImageBytes;
    RebuildCodes();
    writeImage_ = DeviceImage;
    writePort_ = RS->GetDeviceName();
    RS->SetActive(true);
    RunWriteTimer(true);
    ProgressBar1->setValue(kImageBytes);
    Bleeper::SoundTone(1525, 200);
}

void TForm1::Timer1Timer()
{
    if (WriteMode != kWriteMode)
        return;
    if (WriteCountdown == 0) {
        RunWriteTimer(false);
        WriteMode.clear();
        if (CheckBox2->isChecked())
            RaiseIds();
        RS->SetActive(false);
        ProgressBar1->setValue(0);
        return;
    }
    // A write belongs to the port it started on: another pick in the port
    // box must not send the rest of the image to a second device.
    const std::string port = RS->GetDeviceName();
    if (port != writePort_) {
        RS->SetActive(false);
        EndFailedWrite("the port was changed from " + writePort_ + " to " + port,
                       "Nothing was sent to " + port + ": choose the port of the device to program and write again.");
        return;
    }
    if (!RS->Active()) {
        EndFailedWrite("the port " + port + " was closed", "Write again once the device is connected.");
        return;
    }
    const int address = kImageBytes - WriteCountdown;
    const std::string command = WriteCommand(address, writeImage_);
    --WriteCountdown;
    RS->SendString(command);
    // A write that runs out of time counts as done for the component: the
    // bytes it got out tell whether the device took the command.
    if (RS->SentCount() < command.size()) {
        ++WriteCountdown;
        RS->SetActive(false);
        EndFailedWrite("the device on " + port + " stopped taking data",
                       "Check the device and its cable, and write again.");
        return;
    }
    ProgressBar1->setValue(WriteCountdown);
}

// A read during a write would put its request between the commands and show
// the device half written, and the IDs raised at the end would be those of
// its reply: "Read" waits for the write to end.
void TForm1::RunWriteTimer(bool on)
{
    EnableTimer(Timer1, on);
    BitBtn2->setEnabled(!on);
}

// The write stopped half-way (an adapter pulled out, another port picked):
// the device holds a mix of old and new bytes, which the user must be told.
void TForm1::EndFailedWrite(const std::string& what, const std::string& advice)
{
    RunWriteTimer(false);
    WriteMode.clear();
    const int written = kImageBytes - WriteCountdown;
    WriteCountdown = 0;
    ProgressBar1->setValue(0);
    throw Exception("The write did not complete: " + what + " after " + Decimal(written) + " of 24 bytes. " + advice);
}

void TForm1::RaiseIds()
{
    if (CheckBox1->isChecked()) {
        AssignText(Edit4, Decimal(StrToInt(TextOf(Edit4)) + 1));
        AssignText(Edit5, Decimal(StrToInt(TextOf(Edit5))));
        AssignText(Edit6, Decimal(StrToInt(TextOf(Edit6))));
    } else {
        AssignText(Edit4, Decimal(StrToInt(TextOf(Edit4)) + 1));
        AssignText(Edit5, Decimal(StrToInt(TextOf(Edit5)) + 1));
        AssignText(Edit6, Decimal(StrToInt(TextOf(Edit6)) + 1));
    }
}

// ---- Read ---------------------------------------------------------------------------

void TForm1::BitBtn2Click()
{
    Bleeper::SoundTone(1525, 200);
    EnableTimer(Timer2, true);
    AssignChecked(CheckBox1, false);
    RS->SetActive(false);
    RS->SetActive(true);
    RS->SendString(ReadRequest);
    ProgressBar1->setValue(kImageBytes);
}

void TForm1::RSAfterReceive(TObject*, void* Buffer, uint32_t Received)
{
    Application::RunEvent([&] {
        ReplyBuffer.append(static_cast<const char*>(Buffer), Received);
        TakeReplies();
    });
}

// Takes a complete reply out of ReplyBuffer, noise and damaged frames
// dropped (TakeReply), and decodes it. A reply that completes while a write
// runs answers a read clicked before it: it shows the device as it was before
// the write, and decoded it would put those old codes into the fields, so
// that "Increment ID" raised them instead of the written ones. It is dropped.
void TForm1::TakeReplies()
{
    const std::optional<std::string> reply = TakeReply(ReplyBuffer);
    if (reply && WriteMode != kWriteMode)
        DecodeReply(*reply);
}

void TForm1::DecodeReply(const std::string& reply)
{
    const std::string_view p1 = ReplySlice(reply, 1), p2 = ReplySlice(reply, 2), p3 = ReplySlice(reply, 3);
    // "Read" unchecked the same-code box; a reply that comes after the user
    // checked it again would set P2 and P3 under it, and the box would claim
    // one code for rows that differ.
    AssignChecked(CheckBox1, false);
    AssignText(Edit1, DecodeSideCode(p1));
    AssignText(Edit4, DecodeID(p1));
    AssignText(Edit2, DecodeSideCode(p2));
    AssignText(Edit5, DecodeID(p2));
    AssignText(Edit3, DecodeSideCode(p3));
    AssignText(Edit6, DecodeID(p3));
    AssignPosition(TrackBar1, ReplyRelayPosition(reply));
    ProgressBar1->setValue(0);
    BleepInt::PlaySignal(0);
}

void TForm1::Timer2Timer()
{
    if (ProgressBar1->value() == kImageBytes) {
        Bleeper::SoundTone(125, 200);
        Bleeper::SoundTone(225, 200);
        Bleeper::SoundTone(125, 200);
    }
    EnableTimer(Timer2, false);
}
