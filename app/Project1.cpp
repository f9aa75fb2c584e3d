// The program: one window, run until it is closed.
#include "DemoDevice.h"
#include "StandardStreams.h"
#include "Unit1.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Options {
    bool demo = false;
};

// --help and --version print and end the program inside the parser. What
// they print is what a script asked for: when it cannot be written (a closed
// or full standard output), the program ends with an error, not a success.
bool checkOutputAtExit = false;

void CheckOutputAtExit()
{
    if (!checkOutputAtExit)
        return;
    errno = 0;
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
    const int error = errno;
    if (!failed)
        return;
    std::fprintf(stderr, "irprogrammer: cannot write the output%s%s\n", error ? ": " : "",
                 error ? std::strerror(error) : "");
    std::_Exit(1);
}

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
    checkOutputAtExit = true;
    std::atexit(CheckOutputAtExit);
    parser.process(core);
    checkOutputAtExit = false;
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
    // Before anything is opened: a port that took the number of a closed
    // error stream would be sent every warning as if it were data.
    irtools::HoldClosedStandardStreams();
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
