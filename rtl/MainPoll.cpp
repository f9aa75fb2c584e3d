#include "MainPoll.h"

#include <QAbstractEventDispatcher>

#include <dlfcn.h>

#include <atomic>
#include <cerrno>

namespace {

// glib's main loop is Qt's: it is reached through the copy that Qt loaded,
// so the library asks nothing more of the build or of the system.
using PollFunc = int (*)(void* fds, unsigned count, int timeout);
using ContextFunc = void* (*)();
using GetPollFunc = PollFunc (*)(void* context);
using SetPollFunc = void (*)(void* context, PollFunc poll);
using WakeupFunc = void (*)(void* context);
using IsOwnerFunc = int (*)(void* context);

PollFunc previous = nullptr;
GetPollFunc getPoll = nullptr;
WakeupFunc wakeup = nullptr;
IsOwnerFunc isOwner = nullptr;
std::atomic<void*> hooked{nullptr}; // the context whose polls pass here
// Odd while the main thread polls.
std::atomic<unsigned> polls{0};
std::atomic<int> waiting{0};

int Poll(void* fds, unsigned count, int timeout)
{
    polls.fetch_add(1);
    const int result = previous(fds, count, timeout);
    polls.fetch_add(1);
    if (waiting.load() != 0) {
        const int error = errno; // the loop looks at a failed poll's errno
        polls.notify_all();
        errno = error;
    }
    return result;
}

template <class F>
F Lookup(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_DEFAULT, name));
}

// Once, in the main thread, while it dispatches (the context is not locked
// then), before the first watch: every poll that may hold one passes here.
bool Hook()
{
    const auto defaultContext = Lookup<ContextFunc>("g_main_context_default");
    getPoll = Lookup<GetPollFunc>("g_main_context_get_poll_func");
    const auto setPoll = Lookup<SetPollFunc>("g_main_context_set_poll_func");
    wakeup = Lookup<WakeupFunc>("g_main_context_wakeup");
    isOwner = Lookup<IsOwnerFunc>("g_main_context_is_owner");
    if (!defaultContext || !getPoll || !setPoll || !wakeup || !isOwner)
        return false;
    void* const context = defaultContext();
    previous = getPoll(context);
    if (!previous)
        return false;
    setPoll(context, Poll);
    hooked.store(context);
    return true;
}

} // namespace

bool MainPoll::Observed()
{
    const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || !dispatcher->inherits("QEventDispatcherGlib"))
        return false;
    static const bool done = Hook();
    // A loop of another context never passes here, nor one whose poll
    // function was set after ours. The thread that runs the loop owns its
    // context while it dispatches; the first events may come before a poll.
    void* const context = hooked.load();
    return done && getPoll(context) == Poll && (polls.load() != 0 || isOwner(context));
}

void MainPoll::LetGo()
{
    void* const context = hooked.load();
    const unsigned seen = polls.load();
    if (!context || (seen & 1) == 0)
        return;
    waiting.fetch_add(1);
    wakeup(context);
    polls.wait(seen);
    waiting.fetch_sub(1);
}
