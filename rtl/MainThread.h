#pragma once
// The hand-off from worker threads to the main thread.
//
// A worker calls Synchronize to have a function run in the main thread and
// waits until it has run. The main thread runs such requests from its event
// loop, and also whenever it waits for a worker itself (WaitUntil), so that a
// worker that is waiting for the main thread can never deadlock against a
// main thread that is waiting for the worker.
#include <functional>

namespace MainThread {

// True when a Qt application object exists (the main thread is the thread
// that created it) and its destruction has not begun. Requests still queued
// when it is destroyed run then, in the main thread.
bool Exists();

bool IsCurrent();

// Runs fn in the main thread and returns once it has run there. Called in the
// main thread, or when no application object exists, it runs fn at once. An
// exception thrown by fn is raised again in the caller.
void Synchronize(const std::function<void()>& fn);

// Has fn run in the main thread later, in order with the other requests,
// without waiting for it; an exception it raises is dropped. With no
// application object (or one whose destruction has begun) it runs at once.
void Post(std::function<void()> fn);

// Main thread: runs the requests that are pending now.
void CheckSynchronize();

// Waits until ready() holds, running hand-off requests meanwhile. In the main
// thread the wait is woken by every request and by Wake(); elsewhere by Wake().
// A thread that changes what ready() looks at calls Wake() afterwards.
void WaitUntil(const std::function<bool()>& ready);
void Wake();

} // namespace MainThread
