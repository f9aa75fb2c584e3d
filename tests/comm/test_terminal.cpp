#include "Exceptions.h"
#include "vxclasses_medium.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <gtest/gtest.h>

#include <thread>

namespace {

// A medium with a line-edit terminal that counts the edits made to it.
struct TTerminalFixture : ::testing::Test {
    TTestMedium io;
    QLineEdit terminal;
    int changes = 0;

    void SetUp() override
    {
        QObject::connect(&terminal, &QLineEdit::textChanged, [this] { ++changes; });
        io.SetTerminal(&terminal);
        io.SetTerminalUsage(tuBoth);
    }
    void Show(std::initializer_list<unsigned char> bytes)
    {
        std::string data(bytes.begin(), bytes.end());
        io.TerminalShow(data.data(), int32_t(data.size()));
    }
};

} // namespace

// ---- Showing received bytes -----------------------------------------------------------

TEST_F(TTerminalFixture, TwoBytesAreInsertedAsOneText)
{
    Show({0x41, 0x42});
    EXPECT_EQ(terminal.text(), "AB");
    EXPECT_EQ(changes, 1);
}

TEST_F(TTerminalFixture, ZeroBytesCutTheBlockIntoPieces)
{
    Show({0x41, 0x42, 0x00, 0x43, 0x44});
    EXPECT_EQ(terminal.text(), "ABCD");
    EXPECT_EQ(changes, 2);

    terminal.clear();
    changes = 0;
    Show({0x41, 0x00, 0x00, 0x42});
    EXPECT_EQ(terminal.text(), "AB");
    EXPECT_EQ(changes, 2);
}

TEST_F(TTerminalFixture, OnlyZeroBytesOrNothingShowNothing)
{
    Show({0x00, 0x00});
    io.TerminalShow("A", 0);
    io.TerminalShow(nullptr, 5);
    EXPECT_EQ(terminal.text(), "");
    EXPECT_EQ(changes, 0);
}

TEST_F(TTerminalFixture, OneByteActsAsATypedKey)
{
    terminal.setText("AB");
    changes = 0;
    Show({0x43});
    EXPECT_EQ(terminal.text(), "ABC");
    Show({0x08}); // a backspace erases
    EXPECT_EQ(terminal.text(), "AB");
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(io.sent, ""); // nothing shown is sent back, though the usage includes sending
    EXPECT_FALSE(io.InTerminalShow);
}

TEST_F(TTerminalFixture, TextReplacesTheSelectionAtTheCaret)
{
    terminal.setText("hello");
    terminal.setSelection(1, 3);
    Show({'X', 'Y'});
    EXPECT_EQ(terminal.text(), "hXYo");
    EXPECT_EQ(terminal.cursorPosition(), 3);
}

TEST_F(TTerminalFixture, NothingIsShownWithoutReceiveUsage)
{
    io.SetTerminalUsage(tuSend);
    EXPECT_TRUE(io.TerminalHandle.isNull());
    Show({'A', 'B'});
    EXPECT_EQ(terminal.text(), "");
    io.SetTerminalUsage(tuReceive);
    EXPECT_EQ(io.TerminalHandle.data(), &terminal);
}

TEST_F(TTerminalFixture, BytesFromAnotherThreadAreShownOnTheTerminalsThread)
{
    std::thread worker([this] { Show({'h', 'i'}); });
    worker.join();
    EXPECT_EQ(terminal.text(), ""); // not from the worker itself
    EXPECT_TRUE(ProcessEventsUntil([this] { return terminal.text() == "hi"; }, 2000));
}

TEST(Terminal, MultiLineControlTakesCrLfAsOneLineBreak)
{
    TTestMedium io;
    QPlainTextEdit terminal;
    terminal.setReadOnly(true);
    io.SetTerminal(&terminal);
    io.SetTerminalUsage(tuReceive);
    const std::string reply = "#0030\r\nOK";
    io.TerminalShow(reply.data(), int32_t(reply.size()));
    EXPECT_EQ(terminal.toPlainText(), "#0030\nOK");
    io.TerminalShow("\b", 1);
    EXPECT_EQ(terminal.toPlainText(), "#0030\nOK"); // read-only: typed keys change nothing
}

TEST(Terminal, OnlyEditControlsCanBeTerminals)
{
    TTestMedium io;
    QLineEdit edit;
    io.SetTerminal(&edit);
    QCheckBox box;
    EXPECT_THROW(io.SetTerminal(&box), Exception);
    EXPECT_EQ(io.GetTerminal(), &edit);
}

// ---- Typed keys --------------------------------------------------------------------------

TEST_F(TTerminalFixture, TypedKeysWithSendUsageAndNoEchoAreSentAndNotShown)
{
    io.SetTerminalUsage(tuSend);
    io.SetTerminalEcho(false);
    QTest::keyClicks(&terminal, "at");
    QTest::keyClick(&terminal, Qt::Key_Return);
    QTest::keyClick(&terminal, Qt::Key_Backspace);
    EXPECT_EQ(io.sent, "at\r\b");
    EXPECT_EQ(terminal.text(), "");
}

TEST_F(TTerminalFixture, TypedKeysWithEchoAreSentAndShown)
{
    io.SetTerminalEcho(true);
    QTest::keyClicks(&terminal, "abc");
    QTest::keyClick(&terminal, Qt::Key_Backspace);
    EXPECT_EQ(io.sent, "abc\b");
    EXPECT_EQ(terminal.text(), "ab");
}

TEST_F(TTerminalFixture, TypedKeysWithReceiveUsageAreShownAndNotSent)
{
    io.SetTerminalUsage(tuReceive);
    io.SetTerminalEcho(false);
    QTest::keyClicks(&terminal, "ab");
    EXPECT_EQ(io.sent, "");
    EXPECT_EQ(terminal.text(), "ab");
}

TEST_F(TTerminalFixture, KeysThatTypeNothingReachTheControl)
{
    io.SetTerminalEcho(false);
    terminal.setText("ab");
    terminal.setCursorPosition(2);
    QTest::keyClick(&terminal, Qt::Key_Left);
    EXPECT_EQ(terminal.cursorPosition(), 1);
    EXPECT_EQ(io.sent, "");
}

TEST_F(TTerminalFixture, AnUnhookedTerminalIsAPlainControlAgain)
{
    io.SetTerminalEcho(false);
    io.SetTerminal(nullptr);
    QTest::keyClicks(&terminal, "x");
    EXPECT_EQ(io.sent, "");
    EXPECT_EQ(terminal.text(), "x");
}

TEST(Terminal, MultiLineControlSendsTypedKeysToo)
{
    TTestMedium io;
    QPlainTextEdit terminal;
    io.SetTerminal(&terminal);
    io.SetTerminalUsage(tuSend);
    QTest::keyClicks(&terminal, "ok");
    QTest::keyClick(&terminal, Qt::Key_Return);
    EXPECT_EQ(io.sent, "ok\r");
    EXPECT_EQ(terminal.toPlainText(), "");
}

TEST(Terminal, LoadedHooksTheTerminalGivenWhileLoading)
{
    QObject owner;
    QLineEdit terminal;
    TLayoutReading reading(&owner);
    auto* io = new TTestMedium(&owner);
    io->setProperty("Terminal", QVariant::fromValue<QWidget*>(&terminal));
    io->setProperty("TerminalUsage", "tuBoth");
    reading.Finish();
    EXPECT_EQ(io->TerminalHandle.data(), &terminal);
    QTest::keyClicks(&terminal, "q");
    EXPECT_EQ(io->sent, "q");
}
