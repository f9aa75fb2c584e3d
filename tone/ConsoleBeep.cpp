// Tones through the console's keyboard-beep device, which programs the PC
// speaker's timer with the same divisor as direct port access. It exists on
// machines with a speaker and a virtual console the process may drive.
#include "Bleeper.h"
#include "ToneOutput.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/kd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace Bleeper::detail {
namespace {

class ConsoleBeep : public ToneOutput {
public:
    explicit ConsoleBeep(int fd) : fd_(fd) {}
    ~ConsoleBeep() override { close(fd_); }

    bool Play(unsigned freq, int, Clock::time_point deadline, std::string& error) override
    {
        if (ioctl(fd_, KIOCSOUND, SpeakerDivisor(freq)) != 0) {
            error = std::strerror(errno);
            return false;
        }
        std::this_thread::sleep_until(deadline);
        ioctl(fd_, KIOCSOUND, 0);
        return true;
    }

private:
    int fd_;
};

} // namespace

std::unique_ptr<ToneOutput> OpenConsoleBeep(std::string& error)
{
    for (const char* path : {"/dev/tty0", "/dev/console"}) {
        const int fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            error = std::string(path) + ": " + std::strerror(errno);
            continue;
        }
        if (ioctl(fd, KIOCSOUND, 0) == 0)
            return std::make_unique<ConsoleBeep>(fd);
        error = std::string(path) + ": " + std::strerror(errno);
        close(fd);
    }
    return nullptr;
}

} // namespace Bleeper::detail
