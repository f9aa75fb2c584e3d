// The read exchange's reply gathering and decoding in the programmer window:
// any bytes, in any pieces, through the serial component's after-receive
// handler. The gathered text stays bounded, nothing reaches the user as an
// error, and whatever is decoded leaves the fields within their ranges.
#include "input.h"

#include "Application.h"
#include "Bleeper.h"
#include "SysUtils.h"
#include "Unit1.h"

#include <QApplication>
#include <cstdlib>

using namespace vxfuzz;

namespace {

constexpr size_t kReplyLength = 98; // "#", 96 digits, "$"

struct Window {
    int argc = 1;
    char name[8] = "fuzz";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QApplication> app;
    std::unique_ptr<TForm1> form;
    int messages = 0;

    Window()
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        app = std::make_unique<QApplication>(argc, argv);
        Bleeper::SetToneSink([](unsigned, int) {});
        Application::SetMessagePresenter(
            [this](const std::string&, const std::string&, Application::MessageIcon) { ++messages; });
        form = std::make_unique<TForm1>();
    }
};

void CheckField(QLineEdit* field, int upper)
{
    int32_t value = 0;
    Check(TryStrToInt(field->text().toStdString(), value), "a field is not a number");
    Check(value >= 1 && value <= upper, "a field outside its range");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Window window;
    TForm1& form = *window.form;
    form.ReplyBuffer.clear();
    Input in(data, size);
    const size_t piece = 1 + in.Byte() % 64;
    std::string stream = in.Rest();
    for (size_t at = 0; at < stream.size(); at += piece) {
        std::string chunk = stream.substr(at, piece);
        form.RSAfterReceive(nullptr, chunk.data(), uint32_t(chunk.size()));
        Check(form.ReplyBuffer.size() < kReplyLength, "the reply buffer grows past one reply");
    }
    Check(window.messages == 0, "a reply was reported to the user as an error");
    CheckField(form.Edit1, 255);
    CheckField(form.Edit2, 255);
    CheckField(form.Edit3, 255);
    CheckField(form.Edit4, 65535);
    CheckField(form.Edit5, 65535);
    CheckField(form.Edit6, 65535);
    Check(form.TrackBar1->value() >= form.TrackBar1->minimum() && form.TrackBar1->value() <= form.TrackBar1->maximum(),
          "relay position outside the track bar");
    return 0;
}
