#include "Application.h"
#include "Exceptions.h"

#include <gtest/gtest.h>

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
