#include "DemoDevice.h"

#include "portmap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int StartPolls = 100;
constexpr int PollMs = 50;

bool Unlocked(const fs::path& lock)
{
    const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

// A link that a simulator made and left when it was killed: the lock file
// beside it records the same target and nobody holds its lock. Its
// pseudo-terminal may belong to another program by now.
bool LeftByEndedSimulator(const fs::path& link, const fs::path& lock)
{
    QFile record(QString::fromStdString(lock.string()));
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    if (ec || !record.open(QIODevice::ReadOnly))
        return false;
    // Its first line; a second one names a user's link that the simulator lent.
    return record.readAll().split('\n').value(0).toStdString() == target.string() && Unlocked(lock);
}

// The device registered as COM1, or empty when none is (no link, or one that
// an ended simulator left). A link of the user's may name COM1 in any letter
// case. It keeps the number while its device is unplugged: a simulator started
// then would take the link over and remove it when it ends.
QString RegisteredCom1()
{
    const fs::path folder = vxport::DefaultPortMapConfig().linkFolder;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path link = it->path();
        bool outOfRange = false;
        if (vxport::PortNameNumber(link.filename().string(), outOfRange) != 1)
            continue;
        if (link.filename() == "com1" && LeftByEndedSimulator(link, folder / "com1.lock"))
            continue;
        std::error_code missing;
        if (const fs::path device = fs::canonical(link, missing); !missing)
            return QString::fromStdString(device.string());
        return QString::fromStdString(fs::read_symlink(link, ec).string() + ", which is not connected (" +
                                      link.string() + " registers it)");
    }
    return {};
}

// Beside the tool when installed, in its own folder of the build tree when
// run from there, else on the PATH.
QString FindSimulator()
{
    const QDir here(QCoreApplication::applicationDirPath());
    for (const QString& candidate : {here.filePath("irprogrammer-sim"),
                                     here.filePath("../tools/irprogrammer-sim/irprogrammer-sim")}) {
        if (QFile::exists(candidate))
            return QDir::cleanPath(candidate);
    }
    return QStandardPaths::findExecutable("irprogrammer-sim");
}

// The simulator's memory and log survive the run, like a device's. A
// relative XDG_STATE_HOME is not to be used: it would put them below whatever
// folder the tool was started in.
QString StateFolder()
{
    const QString xdg = qEnvironmentVariable("XDG_STATE_HOME");
    return (xdg.startsWith(u'/') ? xdg : QDir::homePath() + "/.local/state") + "/irprogrammer";
}

QString ReadLog(const QString& path)
{
    QFile log(path);
    return log.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(log.readAll()).trimmed() : QString();
}

} // namespace

DemoDevice::~DemoDevice()
{
    if (simulator_.state() == QProcess::NotRunning)
        return;
    simulator_.terminate();
    if (!simulator_.waitForFinished(3000))
        simulator_.kill();
    simulator_.waitForFinished(1000);
}

bool DemoDevice::Start(QString& message)
{
    if (const QString device = RegisteredCom1(); !device.isEmpty()) {
        message = "COM1 is " + device;
        return true;
    }
    const QString program = FindSimulator();
    if (program.isEmpty()) {
        message = "irprogrammer-sim not found beside the tool or on the PATH";
        return false;
    }
    const QString state = StateFolder();
    if (!QDir().mkpath(state)) {
        message = "cannot create " + state;
        return false;
    }
    const QString log = state + "/simulator.log";
    simulator_.setStandardOutputFile(log);
    simulator_.setProcessChannelMode(QProcess::MergedChannels);
    // The simulator ends with the tool even when the tool is killed.
    simulator_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    simulator_.start(program, {"--port", "1", "--memory", state + "/simulator-memory.hex", "--pace"});
    for (int poll = 0; poll < StartPolls; ++poll) {
        if (ReadLog(log).contains("COM1 -> ")) {
            message = "COM1 is the simulated programmer device (its log: " + log + ")";
            return true;
        }
        if (simulator_.state() == QProcess::NotRunning)
            break;
        simulator_.waitForFinished(PollMs);
    }
    const QString output = ReadLog(log);
    message = "the simulator did not start: " + (output.isEmpty() ? simulator_.errorString() : output);
    return false;
}
