#pragma once
// The application's default error handling and its message boxes.
//
// An exception that leaves an event handler is shown to the user in a message
// box and the program goes on. Qt does not let an exception cross its signal
// and slot machinery, so every handler that Qt calls runs inside RunEvent:
// the outermost RunEvent of one user action shows the message; a nested one
// (a handler run by a signal that another handler emitted) keeps the
// exception pending, and the code that emitted the signal raises it again with
// RaisePending() once the emitting call has returned. The whole chain of
// nested handlers thus ends at the first error and shows one message.
#include <exception>
#include <functional>
#include <string>

namespace Application {

enum class MessageIcon { Error, Warning, Information };

// Shows a modal message. Tests replace it with a recorder so that nothing blocks.
using MessagePresenter =
    std::function<void(const std::string& text, const std::string& caption, MessageIcon icon)>;

// Installs a presenter and returns the previous one; an empty one restores the
// default (a QMessageBox, or standard error where no QApplication exists).
MessagePresenter SetMessagePresenter(MessagePresenter presenter);

// Shows a message through the installed presenter (called in the caller's
// thread, so it must be thread-safe) or the default one, which a worker thread
// hands to the main thread without waiting for it.
void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon);

// The message an exception carries; "Unknown exception" for one that is no
// std::exception.
std::string MessageOf(std::exception_ptr error);

// The default error handler: the exception's message in an error box.
void ShowException(std::exception_ptr error);

// Runs one event handler at the edge of the event loop (see above).
void RunEvent(const std::function<void()>& handler);

// Raises the exception that a nested handler left pending, if any.
void RaisePending();

// True while a handler runs inside RunEvent on this thread.
bool InEvent();

} // namespace Application
