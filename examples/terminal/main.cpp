// vxterminal COMn: prints what arrives on the port and sends what is typed,
// until the end of input (Ctrl-D).
#include <vxcomm/vxcomm.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <exception>
#include <string>
#include <unistd.h>

namespace {

// "COM3", "com3" or "3".
int PortNumber(std::string name)
{
    if (name.size() > 3 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0))
        name.erase(0, 3);
    try {
        size_t used = 0;
        const int n = std::stoi(name, &used);
        return used == name.size() && n >= 1 && n <= 255 ? n : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const int port = argc == 2 ? PortNumber(argv[1]) : 0;
    if (port == 0) {
        std::fprintf(stderr, "usage: vxterminal COMn   (n from 1 to 255)\n");
        return 2;
    }

    TvxComm com;
    com.SetComPortNo(uint16_t(port));
    com.SetBaudRate(9600);
    com.SetStreamProtocol(vxcomm::spNone);
    com.OnAfterReceive = [](TObject*, void* buffer, uint32_t count) {
        std::fwrite(buffer, 1, count, stdout);
        std::fflush(stdout);
    };
    try {
        com.SetActive(true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vxterminal: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "vxterminal: COM%d is open; what you type is sent, Ctrl-D ends\n", port);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        com.SendData(buffer, uint32_t(n));
    });
    return QCoreApplication::exec();
}
