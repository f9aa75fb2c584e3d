// The program: one window, run until it is closed.
#include "DemoDevice.h"
#include "Unit1.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

#include <cstdio>

namespace {

struct Options {
    bool demo = false;
};

void Describe()
{
    QCoreApplication::setApplicationName("irprogrammer");
    QCoreApplication::setApplicationVersion(IRP_VERSION);
}

// --help and --version print and end the program here; so does a wrong
// option, with its message. They need no display: a core application is
// enough to parse, and the window's application comes after it.
Options ParseCommandLine(int argc, char* argv[])
{
    QCoreApplication core(argc, argv);
    Describe();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Writes and reads the codes of a three-button IR key-fob transmitter\n"
        "through a programmer device on serial port COM1 (or the port picked in the window).");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption demo("demo", "Unless a device is registered as COM1, the simulator "
                                          "irprogrammer-sim plays the programmer device as COM1 for this run.");
    parser.addOption(demo);
    parser.process(core);
    return Options{parser.isSet(demo)};
}

QIcon ApplicationIcon()
{
    QIcon icon;
    for (const char* size : {"48", "128", "256"})
        icon.addFile(QString(":/icons/%1/" IRP_APP_ID ".png").arg(size));
    return icon;
}

} // namespace

int main(int argc, char* argv[])
{
    const Options options = ParseCommandLine(argc, argv);
    QApplication application(argc, argv);
    Describe();
    // Desktops match the window to its menu entry by this name.
    QGuiApplication::setDesktopFileName(IRP_APP_ID);
    QApplication::setWindowIcon(ApplicationIcon());

    DemoDevice demo;
    if (options.demo) {
        QString message;
        const bool started = demo.Start(message);
        std::fprintf(stderr, "irprogrammer: %s\n", qPrintable(message));
        if (!started)
            return 1;
    }
    TForm1 Form1;
    Form1.show();
    return application.exec();
}
