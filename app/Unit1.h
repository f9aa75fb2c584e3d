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

#include <QWidget>

#include <string>

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

protected:
    // Runs `handler` on each emission of `signal`, at the event boundary.
    template <typename Sender, typename Signal>
    void BindEvent(Sender* sender, Signal signal, void (TForm1::*handler)())
    {
        connect(sender, signal, this, [this, handler] { Application::RunEvent([this, handler] { (this->*handler)(); }); });
    }

private:
    void LoadGlyphs();
    void BindFieldRules();
    void SideCodeOrIdChange(QLineEdit* field, int upper, QLineEdit* copyA, QLineEdit* copyB);
    void ShowCode(QLabel* label, const std::string& code);
};
