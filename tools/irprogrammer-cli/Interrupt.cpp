#include "Interrupt.h"

#include "Arguments.h"

#include <csignal>
#include <iterator>
#include <pthread.h>

namespace ircli {

namespace {

volatile std::sig_atomic_t caught = 0;
// SIGHUP: the session of a bench run over ssh dropped.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int sig)
{
    if (caught != 0) {
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    caught = sig;
}

sigset_t Signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals)
        sigaddset(&set, sig);
    return set;
}

struct sigaction previous[std::size(kSignals)];

} // namespace

InterruptCatcher::InterruptCatcher()
{
    const sigset_t set = Signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no restart: a read of the prompt ends with EINTR
    for (size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &action, &previous[i]);
}

void InterruptCatcher::Listen()
{
    const sigset_t set = Signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

InterruptCatcher::~InterruptCatcher()
{
    Listen(); // a signal still pending is taken by the handler, not lost
    for (size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &previous[i], nullptr);
}

void ThrowIfInterrupted(const std::string& when)
{
    if (const int sig = caught)
        throw Failure{Status(128 + sig), "interrupted " + when};
}

} // namespace ircli
