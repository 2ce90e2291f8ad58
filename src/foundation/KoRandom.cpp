#include "KoRandom.h"

#include <mutex>

#include <windows.h>

namespace {

// splitmix64: small, fast, and every seed (0 included) gives a full-period sequence.
class TKoRandomSource {
public:
    TKoRandomSource() { Randomize(); }

    void Seed(uint64_t Value) {
        std::lock_guard Lock(FMutex);
        FState = Value;
    }

    void Randomize() {
        LARGE_INTEGER Counter{};
        QueryPerformanceCounter(&Counter);
        FILETIME Now{};
        GetSystemTimeAsFileTime(&Now);
        const uint64_t Clock = (static_cast<uint64_t>(Now.dwHighDateTime) << 32) | Now.dwLowDateTime;
        Seed(Clock ^ static_cast<uint64_t>(Counter.QuadPart) ^
             (static_cast<uint64_t>(GetCurrentProcessId()) << 40));
    }

    uint64_t Next() {
        std::lock_guard Lock(FMutex);
        uint64_t Z = (FState += 0x9E3779B97F4A7C15ull);
        Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ull;
        Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBull;
        return Z ^ (Z >> 31);
    }

private:
    std::mutex FMutex;
    uint64_t FState = 0;
};

TKoRandomSource& Source() {
    static TKoRandomSource Instance;
    return Instance;
}

} // namespace

void KoRandSeed(uint64_t Seed) {
    Source().Seed(Seed);
}

void KoRandomize() {
    Source().Randomize();
}

double KoRandom() {
    // The top 53 bits as a fraction: exactly representable, never 1.0.
    return static_cast<double>(Source().Next() >> 11) * 0x1.0p-53;
}

int32_t KoRandom(int32_t Range) {
    if (Range <= 0) return 0;
    // Multiply-shift maps 32 random bits onto 0 .. Range - 1 without a modulo's wrap bias
    // worth mentioning at these ranges.
    const uint64_t Bits = Source().Next() >> 32;
    return static_cast<int32_t>((Bits * static_cast<uint64_t>(Range)) >> 32);
}
