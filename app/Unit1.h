#pragma once
// The programmer window: three rows of side code and ID, the relay time, the
// resulting transmitter codes and the 24-byte image written to the device.
//
// The controls come from Unit1.ui and are members under their layout names
// (Edit1, Label3, TrackBar1, ...). The field rules live in Unit1.cpp; every
// handler runs inside Application::RunEvent, so an error shows one message
// and the program goes on.
#include "ui_Unit1.h"

#include "Application.h"
#include "Events.h"

#include <QTimer>
#include <QWidget>

#include <string>

class TvxComm;

class TForm1 : public QWidget, public Ui_TForm1 {
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);

    // 48 hexadecimal digits: each button's code followed by "000000".
    // Empty until the first rebuild.
    std::string DeviceImage;

    void RebuildCodes();

    void Edit1Change();
    void Edit2Change();
    void Edit3Change();
    void Edit4Change();
    void Edit5Change();
    void Edit6Change();
    void CheckBox1Click();
    void TrackBar1Change();

    // ---- The write and read exchanges with the programmer device ------------------

    // The serial port of the programmer device, and the write step and read
    // time-out timers; owned by the window.
    TvxComm* RS = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;

    // "zapis1" while a write runs, else empty.
    std::string WriteMode;
    // Commands still to send in the running write, 24 down to 0.
    int WriteCountdown = 0;
    // Received characters not yet taken as a reply.
    std::string ReplyBuffer;

    void BitBtn1Click();
    void Timer1Timer();
    void BitBtn2Click();
    void RSAfterReceive(TObject* Com, void* Buffer, uint32_t Received);
    void Timer2Timer();

protected:
    // Runs `handler` on each emission of `signal`, at the event boundary.
    template <typename Sender, typename Signal>
    void BindEvent(Sender* sender, Signal signal, void (TForm1::*handler)())
    {
        connect(sender, signal, this, [this, handler] { Application::RunEvent([this, handler] { (this->*handler)(); }); });
    }

private:
    // DeviceImage as the running write started: fields changed during the
    // write (typing, a read's reply) must not mix a second image into it.
    std::string writeImage_;
    // The port the running write started on.
    std::string writePort_;

    void CreateComponents();
    void BindExchanges();
    void RunWriteTimer(bool on);
    void RaiseIds();
    void EndFailedWrite(const std::string& what, const std::string& advice);
    void TakeReplies();
    void DecodeReply(const std::string& reply);
    void LoadGlyphs();
    void ColourIdFields();
    void BindFieldRules();
    void SideCodeOrIdChange(QLineEdit* field, int upper, QLineEdit* copyA, QLineEdit* copyB);
    void ShowCode(QLabel* label, const std::string& code);
};
