#pragma once
// A program run by a test with the test's own config folder as
// XDG_CONFIG_HOME, its output captured in files in that folder.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace spawned {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The folder that stands for the user's config folder in one test.
inline fs::path freshConfigHome(const std::string& prefix = "program-") {
    const char* base = std::getenv("XDG_CONFIG_HOME");
    fs::path root = base && *base ? fs::path(base) : fs::temp_directory_path();
    auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path home = root / (prefix + std::string(info->name()));
    fs::remove_all(home);
    fs::create_directories(home);
    return home;
}

class Spawned {
public:
    // Standard input is /dev/null.
    Spawned(const fs::path& home, const std::string& program, std::vector<std::string> args, const std::string& tag)
        : home_(home), out_(home / (tag + ".out")), err_(home / (tag + ".err")) {
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env{"XDG_CONFIG_HOME=" + home.string()};
        for (char** e = environ; *e; ++e)
            if (!std::string(*e).starts_with("XDG_CONFIG_HOME="))
                env.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            pid_ = -1;
    }
    ~Spawned() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    // Waits for the program to end; its exit code, or -1 on time-out or a signal.
    std::optional<int> exitCode(std::chrono::milliseconds timeout = 5s) {
        if (!exited(timeout))
            return std::nullopt;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    void signal(int sig) { ::kill(pid_, sig); }
    pid_t pid() const { return pid_; }
    std::string out() const { return readFile(out_); }
    std::string err() const { return readFile(err_); }

    // Waits until the output shows text.
    bool outShows(const std::string& text, std::chrono::milliseconds timeout = 3s) {
        for (auto end = Clock::now() + timeout; Clock::now() < end; std::this_thread::sleep_for(10ms))
            if (out().find(text) != std::string::npos)
                return true;
        return false;
    }

protected:
    bool exited(std::chrono::milliseconds timeout) {
        if (pid_ <= 0)
            return true;
        for (auto end = Clock::now() + timeout;; std::this_thread::sleep_for(5ms)) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            if (Clock::now() >= end)
                return false;
        }
    }

    fs::path home_, out_, err_;
    pid_t pid_ = -1;
    int status_ = 0;
};

#ifdef IRSIM_EXECUTABLE
// One run of the simulator.
class Sim : public Spawned {
public:
    Sim(const fs::path& home, std::vector<std::string> args, std::string tag = "sim")
        : Spawned(home, IRSIM_EXECUTABLE, std::move(args), tag) {}

    fs::path link(int port = 1) const { return home_ / "vxcomm/ports" / ("com" + std::to_string(port)); }

    // Waits for the port-map link; false when the program ended or took too long.
    bool waitForLink(int port = 1) {
        for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(10ms)) {
            if (fs::is_symlink(link(port)) && readFile(out_).find(" -> ") != std::string::npos)
                return true;
            if (exited(0ms))
                return false;
        }
        return false;
    }

    // Processor time used so far, from /proc.
    std::chrono::milliseconds cpuTime() const {
        std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i >= 14)
                ticks += std::stol(field);
        return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
    }

    // Waits until the log shows text.
    bool logShows(const std::string& text, std::chrono::milliseconds timeout = 3s) { return outShows(text, timeout); }
};
#endif

} // namespace spawned
