// example_pty_echo PROGRAM: runs the terminal example of examples/ against a
// pseudo-terminal registered as COM9 in a port map of its own, and checks
// that bytes go both ways: what the "device" sends is printed, what is typed
// is sent. Exits 0 when they do, 1 with the reason otherwise.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Port = 9;
constexpr auto Patience = std::chrono::seconds(10);

struct Child {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
};

bool Fail(const std::string& why)
{
    std::fprintf(stderr, "example_pty_echo: %s\n", why.c_str());
    return false;
}

// Reads from fd into seen until it holds text or the patience runs out.
bool AwaitText(int fd, const std::string& text, std::string& seen)
{
    const auto until = Clock::now() + Patience;
    while (seen.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0)
            return false;
        char buffer[512];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        seen.append(buffer, size_t(n));
    }
    return true;
}

bool WriteAll(int fd, const std::string& text)
{
    return ::write(fd, text.data(), text.size()) == ssize_t(text.size());
}

Child Start(const char* program, const fs::path& config)
{
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return {};
    Child child;
    child.pid = ::fork();
    if (child.pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        const std::string port = "COM" + std::to_string(Port);
        ::execl(program, program, port.c_str(), static_cast<char*>(nullptr));
        std::fprintf(stderr, "cannot run %s: %s\n", program, std::strerror(errno));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    child.in = in[1];
    child.out = out[0];
    child.err = err[0];
    return child;
}

bool Ends(const Child& child)
{
    const auto until = Clock::now() + Patience;
    int status = 0;
    while (::waitpid(child.pid, &status, WNOHANG) == 0) {
        if (Clock::now() > until) {
            ::kill(child.pid, SIGKILL);
            ::waitpid(child.pid, &status, 0);
            return Fail("the example did not end at the end of its input");
        }
        ::usleep(20000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return Fail("the example ended with status " + std::to_string(status));
    return true;
}

bool Check(const char* program, int master, const fs::path& config)
{
    const Child child = Start(program, config);
    if (child.pid < 0)
        return Fail("cannot start " + std::string(program));
    std::string banner, printed, sent;
    bool ok = AwaitText(child.err, "is open", banner) || Fail("the example did not open COM9: " + banner);
    ok = ok && WriteAll(master, "from the device\n") &&
         (AwaitText(child.out, "from the device\n", printed) || Fail("not printed, got \"" + printed + "\""));
    ok = ok && WriteAll(child.in, "from the keyboard\n") &&
         (AwaitText(master, "from the keyboard\n", sent) || Fail("not sent, got \"" + sent + "\""));
    ::close(child.in);
    if (!ok) {
        ::kill(child.pid, SIGKILL);
        ::waitpid(child.pid, nullptr, 0);
        return false;
    }
    return Ends(child);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: example_pty_echo PROGRAM\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    int master = -1, slave = -1;
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        Fail(std::string("openpty: ") + std::strerror(errno));
        return 1;
    }

    char folder[] = "/tmp/example-pty-XXXXXX";
    if (!::mkdtemp(folder)) {
        Fail(std::string("mkdtemp: ") + std::strerror(errno));
        return 1;
    }
    const fs::path config = folder;
    std::error_code ec;
    fs::create_directories(config / "vxcomm" / "ports", ec);
    fs::create_symlink(::ptsname(master), config / "vxcomm" / "ports" / ("com" + std::to_string(Port)), ec);

    const bool ok = !ec && Check(argv[1], master, config);
    fs::remove_all(config, ec);
    if (ok)
        std::printf("example_pty_echo: bytes echo both ways over %s as COM%d\n", ::ptsname(master), Port);
    return ok ? 0 : 1;
}
