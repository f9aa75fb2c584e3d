#pragma once
// The main thread's poll, as a thread that closes a device sees it.
//
// A poll holds every descriptor it polls until it returns. A device that the
// main thread's event loop watches, closed on another thread while the loop
// sleeps, would stay open until the main thread next wakes, and would then be
// released by the main thread, which may have to wait for its output to
// drain. Where the loop's polls pass through here, such a thread takes the
// device out of the loop's reach first and then calls LetGo.
namespace MainPoll {

// Main thread: true when its event loop's polls pass through here (glib's
// main loop, which Qt runs unless told otherwise). The first call puts the
// hook in; called while the loop dispatches, it is true from then on.
bool Observed();

// Any thread: returns once no poll of the main thread that began before the
// call is still running. It wakes such a poll and waits only for its return.
void LetGo();

} // namespace MainPoll
