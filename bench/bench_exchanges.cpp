// How long the window's exchanges take against the programmer-device
// simulator at the pace of 9600 baud: "Write " from the click until the port
// is closed, and "Read" from the click until the fields hold the decoded
// reply. The tones are real (they block the window for their duration, also
// where no sound device exists).
#include "Unit1.h"
#include "vxcomm.h"

#include <QApplication>
#include <QProgressBar>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool Pump(const std::function<bool()>& done, int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const fs::path home = fs::temp_directory_path() / ("bench-exchanges-" + std::to_string(getpid()));
    fs::create_directories(home);
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    const char* simArgs[] = {IRSIM_EXECUTABLE, "--port", "1", "--pace", "--quiet", nullptr};
    pid_t sim = -1;
    if (posix_spawn(&sim, IRSIM_EXECUTABLE, nullptr, nullptr, const_cast<char**>(simArgs), environ) != 0) {
        std::fprintf(stderr, "bench_exchanges: cannot start the simulator\n");
        return 1;
    }
    const fs::path link = home / "vxcomm" / "ports" / "com1";
    Pump([&] { return fs::exists(link); }, 5000);

    TForm1 form;
    form.show();
    std::vector<double> writes, reads;
    for (int round = 0; round < 5; ++round) {
        auto start = Clock::now();
        form.BitBtn1->click();
        Pump([&] { return form.WriteMode.empty() && !form.RS->IsOpen(); }, 10000);
        writes.push_back(Ms(Clock::now() - start));

        form.Edit1->setText("99"); // changed, so that the read visibly sets it
        start = Clock::now();
        bool decoded = false;
        QObject::connect(form.ProgressBar1, &QProgressBar::valueChanged, &form, [&](int v) {
            if (v == 0 && !decoded) {
                decoded = true;
                reads.push_back(Ms(Clock::now() - start));
            }
        });
        form.BitBtn2->click();
        Pump([&] { return decoded; }, 10000);
        QObject::disconnect(form.ProgressBar1, &QProgressBar::valueChanged, &form, nullptr);
        Pump([] { return false; }, 1100); // let the read's timer end
    }
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    fs::remove_all(home);

    std::printf("| exchange | median of 5, ms | expected from the timers and tones, ms |\n");
    std::printf("|---|---|---|\n");
    std::printf("| Write, click to port closed | %.0f | Timer1 starts before the 200 ms tone, so its first tick comes as the tone ends: 200 + 24 x 50 = 1400 |\n", Median(writes));
    if (!reads.empty())
        std::printf("| Read, click to decoded fields | %.0f | 200 + 8 + 98 bytes at 1.04 ms = 310 |\n", Median(reads));
    return reads.size() == writes.size() ? 0 : 1;
}
