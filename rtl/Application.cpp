#include "Application.h"

#include "Exceptions.h"
#include "MainThread.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>
#include <cstdio>
#include <mutex>

namespace Application {
namespace {

std::mutex presenterMutex;
MessagePresenter currentPresenter;

thread_local int eventDepth = 0;
thread_local std::exception_ptr pendingError;

// A box needs a widget application that is not ending, and its main thread;
// a message that finds neither goes to standard error instead.
void DefaultPresenter(const std::string& text, const std::string& caption, MessageIcon icon)
{
    if (!MainThread::Exists() || !MainThread::IsCurrent() ||
        !qobject_cast<QApplication*>(QCoreApplication::instance())) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return;
    }
    const QMessageBox::Icon qtIcon = icon == MessageIcon::Error     ? QMessageBox::Critical
                                     : icon == MessageIcon::Warning ? QMessageBox::Warning
                                                                    : QMessageBox::Information;
    QMessageBox box(qtIcon, QString::fromLocal8Bit(caption), QString::fromLocal8Bit(text), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

} // namespace

std::string MessageOf(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

MessagePresenter SetMessagePresenter(MessagePresenter presenter)
{
    std::lock_guard lock(presenterMutex);
    MessagePresenter previous = std::move(currentPresenter);
    currentPresenter = std::move(presenter);
    return previous;
}

void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon)
{
    MessagePresenter presenter;
    {
        std::lock_guard lock(presenterMutex);
        presenter = currentPresenter;
    }
    if (presenter) {
        presenter(text, caption, icon);
        return;
    }
    // A message box belongs to the main thread; a worker thread hands it over
    // without waiting, so that it never waits for a main thread that may be
    // waiting for it.
    // Without an application object the hand-off runs it here at once.
    if (MainThread::IsCurrent())
        DefaultPresenter(text, caption, icon);
    else
        MainThread::Post([=] { DefaultPresenter(text, caption, icon); });
}

void ShowException(std::exception_ptr error)
{
    if (error)
        ShowMessage(MessageOf(error), QCoreApplication::instance()
                                          ? QCoreApplication::applicationName().toStdString()
                                          : std::string("Error"),
                    MessageIcon::Error);
}

void RunEvent(const std::function<void()>& handler)
{
    ++eventDepth;
    try {
        handler();
    } catch (...) {
        if (!pendingError)
            pendingError = std::current_exception();
    }
    if (--eventDepth == 0 && pendingError) {
        std::exception_ptr error = std::exchange(pendingError, nullptr);
        ShowException(error);
    }
}

void RaisePending()
{
    if (pendingError)
        std::rethrow_exception(std::exchange(pendingError, nullptr));
}

bool InEvent()
{
    return eventDepth > 0;
}

} // namespace Application
