// The tone output comes back after a failed open and after a failed write.
// The output is a recorder that stands for the sound device, so these tests
// see which tones reached it.
#include "Bleeper.h"
#include "ToneOutput.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using Bleeper::detail::Clock;

namespace {

using Tones = std::vector<std::pair<unsigned, int>>;

struct Recorded {
    std::mutex mutex;
    Tones tones;
    int failNextPlays = 0;
    std::atomic<int> opens{0};
    std::atomic<int> opensEnded{0}; // opens that have returned, failed or not

    Tones Played()
    {
        std::lock_guard lock(mutex);
        return tones;
    }
};

class RecordingOutput : public Bleeper::detail::ToneOutput {
public:
    explicit RecordingOutput(Recorded& recorded) : recorded_(recorded) {}
    bool Play(unsigned freq, int msecs, Clock::time_point, std::string& error) override
    {
        std::lock_guard lock(recorded_.mutex);
        if (recorded_.failNextPlays > 0) {
            --recorded_.failNextPlays;
            error = "server gone";
            return false;
        }
        recorded_.tones.emplace_back(freq, msecs);
        return true;
    }

private:
    Recorded& recorded_;
};

class ToneReopenTest : public ::testing::Test {
protected:
    void SetUp() override { previousSink_ = Bleeper::SetToneSink({}); }
    void TearDown() override
    {
        Bleeper::detail::SetOutputOpenerForTesting({}, 3s);
        Bleeper::SetToneSink(previousSink_);
    }

    // Opens fail while failOpens is set, and each open first takes openTime.
    void UseRecorder(Clock::duration retry, Clock::duration openTime = 0ms)
    {
        Bleeper::detail::SetOutputOpenerForTesting(
            [this, openTime](std::string& note) -> std::unique_ptr<Bleeper::detail::ToneOutput> {
                ++recorded_.opens;
                std::this_thread::sleep_for(openTime);
                if (failOpens_) {
                    note = "no sound device";
                    ++recorded_.opensEnded;
                    return nullptr;
                }
                ++recorded_.opensEnded;
                return std::make_unique<RecordingOutput>(recorded_);
            },
            retry);
    }

    // The open runs on a thread of its own, which a busy machine may start late.
    bool OpensEnded(int count)
    {
        for (const auto end = Clock::now() + 5s; recorded_.opensEnded < count; std::this_thread::sleep_for(1ms))
            if (Clock::now() > end)
                return false;
        return true;
    }

    static long long TimeOf(int freq, int msecs)
    {
        const auto start = Clock::now();
        Bleeper::SoundTone(freq, msecs);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }

    Recorded recorded_;
    std::atomic<bool> failOpens_{false};
    Bleeper::ToneSink previousSink_;
};

TEST_F(ToneReopenTest, ToneAfterFailedOpenPlaysOnceTheOutputOpens)
{
    UseRecorder(1s);
    failOpens_ = true;
    EXPECT_GE(TimeOf(1525, 30), 30);
    const auto firstToneEnded = Clock::now(); // after the failed attempt began
    ASSERT_TRUE(OpensEnded(1));
    failOpens_ = false;
    Bleeper::SoundTone(125, 30); // within the retry interval: no new open
    EXPECT_EQ(recorded_.opens, 1);
    EXPECT_TRUE(recorded_.Played().empty());

    std::this_thread::sleep_until(firstToneEnded + 1s);
    Bleeper::SoundTone(225, 300); // the open, beside it, has the tone's time to finish
    Bleeper::SoundTone(125, 50); // the output stays open
    EXPECT_EQ(recorded_.opens, 2);
    const Tones played = recorded_.Played();
    ASSERT_EQ(played.size(), 2u);
    EXPECT_EQ(played[0].first, 225u);
    EXPECT_EQ(played[0].second, 300);
    EXPECT_EQ(played[1].first, 125u);
}

TEST_F(ToneReopenTest, WriteErrorReopensTheOutputForTheNextTone)
{
    UseRecorder(10s);
    Bleeper::SoundTone(1047, 300); // long enough for the open beside it on a busy machine
    {
        std::lock_guard lock(recorded_.mutex);
        recorded_.failNextPlays = 1;
    }
    Bleeper::SoundTone(1109, 20); // fails: the sound server went away
    Bleeper::SoundTone(1175, 300); // reopened at once, despite the long interval
    EXPECT_EQ(recorded_.opens, 2);
    const Tones played = recorded_.Played();
    ASSERT_EQ(played.size(), 2u);
    EXPECT_EQ(played[0].first, 1047u);
    EXPECT_EQ(played[1].first, 1175u);
}

TEST_F(ToneReopenTest, SlowOpenNeverHoldsATonePastItsTime)
{
    UseRecorder(10s, 1s);
    const long long first = TimeOf(1525, 100);
    EXPECT_GE(first, 100);
    EXPECT_LT(first, 700); // held until the open ended, it would take a second
    ASSERT_TRUE(OpensEnded(1));
    Bleeper::SoundTone(440, 200); // the open has finished meanwhile
    EXPECT_EQ(recorded_.opens, 1);
    const Tones played = recorded_.Played();
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0].first, 440u);
}

} // namespace
