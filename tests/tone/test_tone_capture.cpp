// The tone as sound: ALSA is pointed at a configuration whose default PCM
// writes raw samples to a file, so that the wave can be measured without a
// sound card. Each run is a child process, since ALSA reads its
// configuration once per process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr unsigned CaptureRate = 44100;

struct PlayRun {
    std::vector<int> elapsedMs;
    std::string errors;
};

struct Measured {
    double freq = 0;
    double msecs = 0;
};

// Frequency from the rising zero crossings (with a small dead band so that
// the quiet fade edges cannot add crossings), length from the first to the
// last sample that is not silent.
Measured Measure(const std::vector<int16_t>& samples)
{
    Measured m;
    size_t first = samples.size(), last = 0;
    for (size_t i = 0; i < samples.size(); ++i)
        if (samples[i] != 0) {
            first = std::min(first, i);
            last = i;
        }
    if (first > last)
        return m;
    m.msecs = (last - first + 1) * 1000.0 / CaptureRate;

    constexpr int DeadBand = 300;
    int state = 0;
    std::vector<size_t> rising;
    for (size_t i = first; i <= last; ++i) {
        const int s = samples[i];
        if (s > DeadBand && state <= 0) {
            if (state < 0)
                rising.push_back(i);
            state = 1;
        } else if (s < -DeadBand) {
            state = -1;
        }
    }
    if (rising.size() >= 2)
        m.freq = (rising.size() - 1) * double(CaptureRate) / double(rising.back() - rising.front());
    return m;
}

class ToneCaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/tone-capture-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void WriteConfig(const std::string& text) { std::ofstream(dir_ / "asound.conf") << text; }

    void UseCaptureFile()
    {
        WriteConfig("pcm.!default {\n"
                    "  type plug\n"
                    "  slave { pcm \"capture\"; format S16_LE; rate " + std::to_string(CaptureRate) + "; channels 1 }\n"
                    "}\n"
                    "pcm.capture {\n"
                    "  type file\n"
                    "  slave.pcm { type null }\n"
                    "  file \"" + (dir_ / "capture.raw").string() + "\"\n"
                    "  format \"raw\"\n"
                    "}\n");
    }

    PlayRun Play(const std::string& tones)
    {
        PlayRun run;
        const std::string command = "ALSA_CONFIG_PATH='" + (dir_ / "asound.conf").string() + "' '" TONE_PLAY "' " +
                                    tones + " 2>'" + (dir_ / "stderr").string() + "'";
        FILE* out = popen(command.c_str(), "r");
        if (!out)
            return run;
        int ms = 0;
        while (std::fscanf(out, "%d", &ms) == 1)
            run.elapsedMs.push_back(ms);
        EXPECT_EQ(pclose(out), 0);
        std::ostringstream errors;
        errors << std::ifstream(dir_ / "stderr").rdbuf();
        run.errors = errors.str();
        return run;
    }

    std::vector<int16_t> Captured()
    {
        std::ifstream in(dir_ / "capture.raw", std::ios::binary);
        std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
        std::vector<int16_t> samples(bytes.size() / 2);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = int16_t(uint8_t(bytes[2 * i]) | uint8_t(bytes[2 * i + 1]) << 8);
        return samples;
    }

    fs::path dir_;
};

TEST_F(ToneCaptureTest, StartToneHasItsFrequencyAndLength)
{
    UseCaptureFile();
    const PlayRun run = Play("1525:200");
    ASSERT_EQ(run.elapsedMs.size(), 1u) << run.errors;
    EXPECT_GE(run.elapsedMs[0], 200);
    const Measured m = Measure(Captured());
    EXPECT_NEAR(m.freq, 1525, 1525 * 0.02);
    EXPECT_NEAR(m.msecs, 200, 200 * 0.02);
}

TEST_F(ToneCaptureTest, LowToneHasItsFrequencyAndLength)
{
    UseCaptureFile();
    const PlayRun run = Play("125:200");
    ASSERT_EQ(run.elapsedMs.size(), 1u) << run.errors;
    const Measured m = Measure(Captured());
    EXPECT_NEAR(m.freq, 125, 125 * 0.02);
    EXPECT_NEAR(m.msecs, 200, 200 * 0.02);
}

TEST_F(ToneCaptureTest, DeviceFasterThanRealTimeStillTakesEachToneItsDuration)
{
    UseCaptureFile();
    const PlayRun run = Play("125:200 225:200 125:200");
    ASSERT_EQ(run.elapsedMs.size(), 3u) << run.errors;
    for (int ms : run.elapsedMs) {
        EXPECT_GE(ms, 200);
        EXPECT_LT(ms, 350); // not timed twice (400); a busy machine adds some
    }
    EXPECT_NEAR(Measure(Captured()).msecs, 600, 600 * 0.02);
    EXPECT_EQ(run.errors, "");
}

TEST_F(ToneCaptureTest, WithoutDeviceTonesAreSilentButTimedAndReportedOnce)
{
    WriteConfig("# no PCM at all\n");
    const PlayRun run = Play("1525:200 125:100");
    ASSERT_EQ(run.elapsedMs.size(), 2u) << run.errors;
    EXPECT_GE(run.elapsedMs[0], 200);
    EXPECT_GE(run.elapsedMs[1], 100);
    EXPECT_LT(run.elapsedMs[1], 175); // not timed twice (200); a busy machine adds some
    EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
    EXPECT_EQ(run.errors.rfind("Bleeper: ", 0), 0u) << run.errors;
}

} // namespace
