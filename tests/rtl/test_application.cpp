#include "Application.h"
#include "Exceptions.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct Recorder {
    std::vector<std::string> shown;
    Application::MessagePresenter previous;
    Recorder()
    {
        previous = Application::SetMessagePresenter(
            [this](const std::string& text, const std::string&, Application::MessageIcon) { shown.push_back(text); });
    }
    ~Recorder() { Application::SetMessagePresenter(previous); }
};

} // namespace

TEST(RunEvent, ShowsAnEscapingErrorAndGoesOn)
{
    Recorder messages;
    Application::RunEvent([] { throw EConvertError("'x' is not a valid integer value"); });
    Application::RunEvent([] {});
    EXPECT_EQ(messages.shown, std::vector<std::string>{"'x' is not a valid integer value"});
}

TEST(RunEvent, NestedErrorEndsTheWholeChainWithOneMessage)
{
    Recorder messages;
    bool outerContinued = false;
    Application::RunEvent([&] {
        // A signal emitted here runs a nested handler that fails.
        Application::RunEvent([] { throw Exception("inner"); });
        EXPECT_TRUE(Application::InEvent());
        Application::RaisePending();
        outerContinued = true;
    });
    EXPECT_FALSE(outerContinued);
    EXPECT_EQ(messages.shown, std::vector<std::string>{"inner"});
}

TEST(RunEvent, PendingErrorIsShownEvenWhenTheOuterHandlerDoesNotAsk)
{
    Recorder messages;
    Application::RunEvent([] {
        Application::RunEvent([] { throw Exception("first"); });
        Application::RunEvent([] { throw Exception("second"); });
    });
    EXPECT_EQ(messages.shown, std::vector<std::string>{"first"});
    EXPECT_FALSE(Application::InEvent());
}

// A box made on a worker thread would crash Qt; the worker hands the message
// to the main thread and goes on without waiting for the user.
TEST(ShowMessage, AWorkersMessageIsABoxOfTheMainThread)
{
    std::thread([] {
        Application::ShowMessage("The device did not answer", "IR programmer", Application::MessageIcon::Warning);
    }).join();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    QString shown;
    bool onMainThread = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            onMainThread = box->thread() == qApp->thread();
            box->reject();
        }
    });
    closer.start(10);
    QElapsedTimer waited;
    waited.start();
    while (shown.isEmpty() && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(shown, "The device did not answer");
    EXPECT_TRUE(onMainThread);
}
