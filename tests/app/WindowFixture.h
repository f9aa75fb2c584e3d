#pragma once
// A programmer window shown off screen, with the message boxes recorded
// instead of shown, and the keystrokes a user would type.
#include "Application.h"
#include "Unit1.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Runs the event loop until done() holds or the limit passes.
inline bool Pump(const std::function<bool()>& done, int ms = 3000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterComOne();
        previous = Application::SetMessagePresenter(
            [this](const std::string& text, const std::string&, Application::MessageIcon) { messages.push_back(text); });
        form = std::make_unique<TForm1>();
        form->show();
        QApplication::processEvents();
    }

    void TearDown() override
    {
        form.reset();
        Application::SetMessagePresenter(previous);
    }

    // The window lists the ports of the port map; COM1 is there on every
    // machine, as the layout expects (tests that need a device replace it).
    static void RegisterComOne()
    {
        const char* config = std::getenv("XDG_CONFIG_HOME");
        const std::filesystem::path folder = std::filesystem::path(config ? config : "/tmp") / "vxcomm" / "ports";
        std::filesystem::create_directories(folder);
        std::error_code ec;
        if (!std::filesystem::exists(folder / "com1", ec)) {
            std::filesystem::remove(folder / "com1", ec);
            std::filesystem::create_symlink("/dev/null", folder / "com1", ec);
        }
    }

    // Selects the whole field and types `text` over it, key by key.
    static void TypeOver(QLineEdit* field, const QString& text)
    {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, text);
    }

    static void TypeAtEnd(QLineEdit* field, const QString& text)
    {
        QTest::keyClick(field, Qt::Key_End);
        QTest::keyClicks(field, text);
    }

    static void Backspace(QLineEdit* field)
    {
        QTest::keyClick(field, Qt::Key_End);
        QTest::keyClick(field, Qt::Key_Backspace);
    }

    QStringList Codes() const { return {form->Label3->text(), form->Label4->text(), form->Label5->text()}; }

    std::unique_ptr<TForm1> form;
    std::vector<std::string> messages;
    Application::MessagePresenter previous;
};
