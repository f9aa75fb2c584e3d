#include "Bleeper.h"
#include "Exceptions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <utility>
#include <vector>

using Tone = std::pair<unsigned, int>;
using Tones = std::vector<Tone>;

class BleeperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ntPlatform_ = Bleeper::IsNTPlatform();
        previous_ = Bleeper::SetToneSink([this](unsigned freq, int msecs) { tones_.emplace_back(freq, msecs); });
    }
    void TearDown() override
    {
        Bleeper::SetToneSink(previous_);
        Bleeper::SetNTPlatformForTesting(ntPlatform_);
    }

    static std::string RangeErrorOf(int freq, int msecs)
    {
        try {
            Bleeper::SoundTone(freq, msecs);
        } catch (const ERangeError& e) {
            return e.Message;
        }
        return "no error";
    }

    Tones tones_;
    bool ntPlatform_ = true;
    Bleeper::ToneSink previous_;
};

TEST_F(BleeperTest, LinuxCountsAsNTFamily) { EXPECT_TRUE(Bleeper::IsNTPlatform()); }

TEST_F(BleeperTest, NTFamilyAcceptsFrom37Hz)
{
    Bleeper::SetNTPlatformForTesting(true);
    Bleeper::SoundTone(37, 10);
    EXPECT_EQ(RangeErrorOf(36, 10), "Bleeper: Freq < 37");
    EXPECT_EQ(RangeErrorOf(20, 10), "Bleeper: Freq < 37");
    EXPECT_EQ(tones_, (Tones{{37, 10}}));
}

TEST_F(BleeperTest, OtherFamilyAcceptsFrom20Hz)
{
    Bleeper::SetNTPlatformForTesting(false);
    Bleeper::SoundTone(20, 10);
    Bleeper::SoundTone(36, 10);
    EXPECT_EQ(RangeErrorOf(19, 10), "Bleeper: Freq < 20");
    EXPECT_EQ(RangeErrorOf(-5, 10), "Bleeper: Freq < 20");
    EXPECT_EQ(tones_, (Tones{{20, 10}, {36, 10}}));
}

TEST_F(BleeperTest, AcceptsUpTo20000Hz)
{
    Bleeper::SoundTone(20000, 10);
    EXPECT_EQ(RangeErrorOf(20001, 10), "Bleeper: Freq > 20000");
    EXPECT_EQ(RangeErrorOf(65536 + 440, 10), "Bleeper: Freq > 20000");
    EXPECT_EQ(tones_, (Tones{{20000, 10}}));
}

TEST_F(BleeperTest, AcceptsDurationsFromMinusOne)
{
    Bleeper::SoundTone(440, -1);
    Bleeper::SoundTone(440, 0);
    EXPECT_EQ(RangeErrorOf(440, -2), "Bleeper: MSecs < -1");
    EXPECT_EQ(tones_, (Tones{{440, -1}, {440, 0}}));
}

TEST_F(BleeperTest, ChecksDurationBeforeFrequency)
{
    EXPECT_EQ(RangeErrorOf(10, -2), "Bleeper: MSecs < -1");
    EXPECT_EQ(RangeErrorOf(30000, -2), "Bleeper: MSecs < -1");
    EXPECT_TRUE(tones_.empty());
}

TEST(SpeakerDivisor, IsTimerClockOverFrequencyRoundedDown)
{
    EXPECT_EQ(Bleeper::SpeakerDivisor(1525), 782);
    EXPECT_EQ(Bleeper::SpeakerDivisor(125), 9545);
    EXPECT_EQ(Bleeper::SpeakerDivisor(20), 59659);
    EXPECT_EQ(Bleeper::SpeakerDivisor(20000), 59);
}

TEST(SpeakerDivisor, SaturatesBelow19Hz)
{
    EXPECT_EQ(Bleeper::SpeakerDivisor(19), 62799);
    EXPECT_EQ(Bleeper::SpeakerDivisor(18), 0xFFFF);
    EXPECT_EQ(Bleeper::SpeakerDivisor(0), 0xFFFF);
}

class RealToneTest : public ::testing::Test {
protected:
    void SetUp() override { previous_ = Bleeper::SetToneSink({}); }
    void TearDown() override { Bleeper::SetToneSink(previous_); }

    static std::chrono::milliseconds TimeOf(int freq, int msecs)
    {
        const auto start = std::chrono::steady_clock::now();
        Bleeper::SoundTone(freq, msecs);
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    }

    Bleeper::ToneSink previous_;
};

TEST_F(RealToneTest, BlocksForItsDuration)
{
    const auto elapsed = TimeOf(440, 200);
    EXPECT_GE(elapsed.count(), 200);
    EXPECT_LT(elapsed.count(), 1000);
}

TEST_F(RealToneTest, EndlessAndEmptyTonesReturnAtOnce)
{
    EXPECT_LT(TimeOf(440, -1).count(), 100);
    EXPECT_LT(TimeOf(440, 0).count(), 100);
}
