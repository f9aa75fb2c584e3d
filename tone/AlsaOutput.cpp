// Tones through ALSA's "default" PCM.
//
// The wave is a band-limited square (odd harmonics below the Nyquist limit),
// close to the PC speaker's sound yet audible on small speakers at low
// frequencies, with a raised-cosine fade at both ends so that it does not
// click. The PCM is non-blocking so that a stalled sound server can never
// hold a tone past its deadline.
#include "ToneOutput.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace Bleeper::detail {
namespace {

constexpr unsigned PreferredRate = 48000;
constexpr unsigned LatencyUs = 50000;
constexpr double Amplitude = 0.3 * 32767;
constexpr int MaxHarmonics = 9;
constexpr unsigned FadeMSecs = 5;

class ToneWave {
public:
    ToneWave(unsigned freq, unsigned rate, long frames)
        : step_(2 * std::numbers::pi * freq / rate),
          frames_(frames),
          fade_(std::min<long>(rate * FadeMSecs / 1000, frames / 2))
    {
        // A fundamental the rate cannot carry would alias; it stays silent.
        harmonics_ = 2 * freq < rate ? 1 : 0;
        while (harmonics_ > 0 && harmonics_ < MaxHarmonics && (2 * harmonics_ + 1) * double(freq) < 0.45 * rate)
            ++harmonics_;
    }

    void Fill(int16_t* out, long count)
    {
        for (long i = 0; i < count; ++i, ++pos_) {
            double sum = 0;
            for (int h = 0; h < harmonics_; ++h) {
                const int k = 2 * h + 1;
                sum += std::sin(k * phase_) / k;
            }
            out[i] = static_cast<int16_t>(std::lround(Amplitude * Envelope() * sum * 4 / std::numbers::pi));
            phase_ = std::fmod(phase_ + step_, 2 * std::numbers::pi);
        }
    }

private:
    double Envelope() const
    {
        const long edge = std::min(pos_, frames_ - 1 - pos_);
        return edge >= fade_ ? 1.0 : 0.5 * (1 - std::cos(std::numbers::pi * edge / fade_));
    }

    double step_;
    double phase_ = 0;
    long pos_ = 0;
    long frames_;
    long fade_;
    int harmonics_ = 0;
};

enum class WriteResult { Written, Late, Failed };

class AlsaOutput : public ToneOutput {
public:
    AlsaOutput(snd_pcm_t* pcm, unsigned rate) : pcm_(pcm), rate_(rate) {}
    ~AlsaOutput() override { snd_pcm_close(pcm_); }

    bool Play(unsigned freq, int msecs, Clock::time_point deadline, std::string& error) override
    {
        const long frames = long(msecs) * rate_ / 1000;
        ToneWave wave(freq, rate_, frames);
        int16_t chunk[1024];
        for (long done = 0; done < frames;) {
            const long n = std::min<long>(std::size(chunk), frames - done);
            wave.Fill(chunk, n);
            const WriteResult result = Write(chunk, n, deadline, error);
            if (result == WriteResult::Failed)
                return false;
            if (result == WriteResult::Late)
                break;
            done += n;
        }
        return true;
    }

private:
    WriteResult Write(const int16_t* data, long n, Clock::time_point deadline, std::string& error)
    {
        while (n > 0) {
            snd_pcm_sframes_t r = snd_pcm_writei(pcm_, data, n);
            if (r == -EAGAIN) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                if (left <= 0)
                    return WriteResult::Late;
                snd_pcm_wait(pcm_, int(std::min<long long>(left, 1000)));
                continue;
            }
            if (r < 0) {
                // An underrun between two tones lands here and is recovered.
                r = snd_pcm_recover(pcm_, int(r), 1);
                if (r < 0) {
                    error = snd_strerror(int(r));
                    return WriteResult::Failed;
                }
                continue;
            }
            data += r;
            n -= long(r);
        }
        return WriteResult::Written;
    }

    snd_pcm_t* pcm_;
    unsigned rate_;
};

// ALSA reports through its own error lines otherwise; the caller reports once.
void SilentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

// Mono 16-bit at a rate the device takes without resampling in this process:
// a rate converter would hold back the last frames of each tone until the
// next one comes. Format and channel conversions keep no frames back.
int Configure(snd_pcm_t* pcm, unsigned& rate)
{
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    unsigned latency = LatencyUs;
    int r = snd_pcm_hw_params_any(pcm, hw);
    if (r >= 0)
        r = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (r >= 0)
        r = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16);
    if (r >= 0)
        r = snd_pcm_hw_params_set_channels(pcm, hw, 1);
    if (r >= 0)
        r = snd_pcm_hw_params_set_rate_resample(pcm, hw, 0);
    if (r >= 0)
        r = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr);
    if (r >= 0)
        r = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &latency, nullptr);
    if (r >= 0)
        r = snd_pcm_hw_params(pcm, hw);
    return r;
}

} // namespace

std::unique_ptr<ToneOutput> OpenAlsaOutput(std::string& error)
{
    snd_lib_error_set_handler(SilentAlsaErrors);
    snd_pcm_t* pcm = nullptr;
    unsigned rate = PreferredRate;
    int r = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (r >= 0)
        r = Configure(pcm, rate);
    if (r < 0) {
        error = snd_strerror(r);
        if (pcm)
            snd_pcm_close(pcm);
        return nullptr;
    }
    return std::make_unique<AlsaOutput>(pcm, rate);
}

} // namespace Bleeper::detail
