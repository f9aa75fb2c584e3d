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
#include "Exceptions.h"
#include "FieldAssign.h"
#include "SysUtils.h"
#include "TransmitterCode.h"
#include "vxcomm.h"

namespace {

constexpr const char* kWriteMode = "zapis1";
constexpr int kImageBytes = 24;
constexpr const char* kReadRequest = "00#00030";
// The reply: "#" at position 1, 96 digits, "$" at position 98.
constexpr size_t kReplyLength = 98;

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

// The reply positions the decoding reads: the first eight digits of each code.
// A character there that is no hexadecimal digit came from a damaged line, and
// decoding it would put made-up values into the fields.
bool CodeDigitsAreHex(const std::string& reply)
{
    for (size_t start : {size_t(1), size_t(17), size_t(33)})
        for (size_t i = start; i < start + 8; ++i)
            if (!((reply[i] >= '0' && reply[i] <= '9') || (reply[i] >= 'A' && reply[i] <= 'F') ||
                  (reply[i] >= 'a' && reply[i] <= 'f')))
                return false;
    return true;
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
    EnableTimer(Timer1, true);
    ProgressBar1->setValue(kImageBytes);
    Bleeper::SoundTone(1525, 200);
}

void TForm1::Timer1Timer()
{
    if (WriteMode != kWriteMode)
        return;
    if (WriteCountdown == 0) {
        EnableTimer(Timer1, false);
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
    const std::string command = "#1" + IntToHex(uint64_t(address), 2) + writeImage_.substr(size_t(2 * address), 2);
    --WriteCountdown;
    RS->SendString(command);
    ProgressBar1->setValue(WriteCountdown);
}

// The write stopped half-way (an adapter pulled out, another port picked):
// the device holds a mix of old and new bytes, which the user must be told.
void TForm1::EndFailedWrite(const std::string& what, const std::string& advice)
{
    EnableTimer(Timer1, false);
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
    RS->SendString(kReadRequest);
    ProgressBar1->setValue(kImageBytes);
}

void TForm1::RSAfterReceive(TObject*, void* Buffer, uint32_t Received)
{
    Application::RunEvent([&] {
        ReplyBuffer.append(static_cast<const char*>(Buffer), Received);
        TakeReplies();
    });
}

// Takes complete replies out of ReplyBuffer. Characters before a "#" are
// noise. A frame that can no longer complete (its first "$" is not at
// position 98, or 98 characters came without one) or that is damaged in the
// digits the decoding reads is dropped up to the next "#", so that one damaged
// reply does not block every later one.
void TForm1::TakeReplies()
{
    for (;;) {
        const size_t hash = ReplyBuffer.find('#');
        if (hash == std::string::npos) {
            ReplyBuffer.clear();
            return;
        }
        ReplyBuffer.erase(0, hash);
        const size_t dollar = ReplyBuffer.find('$');
        if (dollar == kReplyLength - 1 && CodeDigitsAreHex(ReplyBuffer)) {
            const std::string reply = ReplyBuffer.substr(0, kReplyLength);
            ReplyBuffer.clear(); // what follows the "$" goes with it
            DecodeReply(reply);
            return;
        }
        const bool stuck = dollar != std::string::npos || ReplyBuffer.size() >= kReplyLength;
        if (!stuck)
            return; // wait for more
        const size_t next = ReplyBuffer.find('#', 1);
        ReplyBuffer.erase(0, next == std::string::npos ? ReplyBuffer.size() : next);
    }
}

void TForm1::DecodeReply(const std::string& reply)
{
    // Reply position p (from 1) is digit p - 1 of a DeviceImage.
    const std::string p1 = reply.substr(1, 8), p2 = reply.substr(17, 8), p3 = reply.substr(33, 8);
    AssignText(Edit1, DecodeSideCode(p1));
    AssignText(Edit4, DecodeID(p1));
    AssignText(Edit2, DecodeSideCode(p2));
    AssignText(Edit5, DecodeID(p2));
    AssignText(Edit3, DecodeSideCode(p3));
    AssignText(Edit6, DecodeID(p3));
    AssignPosition(TrackBar1, HexByteValue(std::string("0") + reply[8]) & 7);
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
