#include "BleepInt.h"
#include "Bleeper.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using Tones = std::vector<std::pair<unsigned, int>>;

class PlaySignalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = Bleeper::SetToneSink([this](unsigned freq, int msecs) { tones_.emplace_back(freq, msecs); });
    }
    void TearDown() override { Bleeper::SetToneSink(previous_); }

    Tones Play(uint8_t kind)
    {
        tones_.clear();
        BleepInt::PlaySignal(kind);
        return tones_;
    }

    Tones tones_;
    Bleeper::ToneSink previous_;
};

TEST_F(PlaySignalTest, KindZeroRises)
{
    EXPECT_EQ(Play(0), (Tones{{1047, 100}, {1109, 100}, {1175, 100}}));
}

TEST_F(PlaySignalTest, KindOneFalls)
{
    EXPECT_EQ(Play(1), (Tones{{2093, 100}, {1976, 100}, {1857, 100}}));
}

TEST_F(PlaySignalTest, KindTwoIsOneLowTone) { EXPECT_EQ(Play(2), (Tones{{40, 500}})); }

TEST_F(PlaySignalTest, OtherKindsPlayNothing)
{
    EXPECT_TRUE(Play(3).empty());
    EXPECT_TRUE(Play(255).empty());
}
