// Plays the tones given as FREQ:MSECS arguments through SoundTone and prints
// how long each call lasted, in milliseconds, one line per tone. The tone
// tests run it with an ALSA configuration of their own.
#include "Bleeper.h"

#include <chrono>
#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    try {
        for (int i = 1; i < argc; ++i) {
            int freq = 0, msecs = 0;
            if (std::sscanf(argv[i], "%d:%d", &freq, &msecs) != 2) {
                std::fprintf(stderr, "usage: tone_play FREQ:MSECS...\n");
                return 2;
            }
            const auto start = std::chrono::steady_clock::now();
            Bleeper::SoundTone(freq, msecs);
            const auto elapsed = std::chrono::steady_clock::now() - start;
            std::printf("%lld\n", (long long)std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
