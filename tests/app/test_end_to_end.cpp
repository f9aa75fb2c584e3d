// The real simulator program and the real window: values written by one
// window are read back by a fresh one.
#include "WindowFixture.h"

#include "Bleeper.h"
#include "vxcomm.h"

#include <QProgressBar>
#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;
namespace fs = std::filesystem;

namespace {

class Simulator {
public:
    Simulator()
    {
        const char* config = std::getenv("XDG_CONFIG_HOME");
        link_ = fs::path(config ? config : "/tmp") / "vxcomm" / "ports" / "com1";
        std::error_code ec;
        fs::remove(link_, ec);
        const char* argv[] = {IRSIM_EXECUTABLE, "--port", "1", "--pace", "--quiet", nullptr};
        if (posix_spawn(&pid_, IRSIM_EXECUTABLE, nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
            pid_ = -1;
    }
    ~Simulator()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool Ready() const
    {
        return Pump([&] { return fs::exists(link_); }, 5000);
    }

private:
    pid_t pid_ = -1;
    fs::path link_;
};

} // namespace

class EndToEnd : public WindowTest {
protected:
    void SetUp() override
    {
        previousSink = Bleeper::SetToneSink([](unsigned, int) {});
        WindowTest::SetUp();
    }
    void TearDown() override
    {
        WindowTest::TearDown();
        Bleeper::SetToneSink(previousSink);
    }
    Bleeper::ToneSink previousSink;
};

TEST_F(EndToEnd, ValuesWrittenAreReadBackByAFreshWindow)
{
    Simulator simulator;
    ASSERT_TRUE(simulator.Ready());
    form->CheckBox1->setChecked(false);
    TypeOver(form->Edit1, "77");
    TypeOver(form->Edit4, "30000");
    TypeOver(form->Edit2, "1");
    TypeOver(form->Edit5, "65535");
    TypeOver(form->Edit3, "255");
    TypeOver(form->Edit6, "12");
    form->TrackBar1->setValue(6);
    const auto start = std::chrono::steady_clock::now();
    QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(Pump([&] { return form->WriteMode.empty() && !form->RS->IsOpen(); }, 5000));
    const auto writeTime = std::chrono::steady_clock::now() - start;
    // 25 ticks of 50 ms after the tone (recorded here, so it takes no time).
    EXPECT_GE(writeTime, std::chrono::milliseconds(24 * 50));
    ASSERT_TRUE(messages.empty()) << messages[0];

    auto fresh = std::make_unique<TForm1>();
    fresh->show();
    QTest::mouseClick(fresh->BitBtn2, Qt::LeftButton);
    ASSERT_TRUE(Pump([&] { return fresh->ProgressBar1->value() == 0; }, 3000));
    EXPECT_EQ(fresh->Edit1->text(), "77");
    EXPECT_EQ(fresh->Edit4->text(), "30000");
    EXPECT_EQ(fresh->Edit2->text(), "1");
    EXPECT_EQ(fresh->Edit5->text(), "65535");
    EXPECT_EQ(fresh->Edit3->text(), "255");
    EXPECT_EQ(fresh->Edit6->text(), "12");
    EXPECT_EQ(fresh->TrackBar1->value(), 6);
    EXPECT_EQ(fresh->DeviceImage, form->DeviceImage);
}
