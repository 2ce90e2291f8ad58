#pragma once
// The process-wide pseudo-random source of the simulation. It is seeded from the clock when the
// process starts; fixing the seed makes every later draw reproducible (tests, and users who need
// the same values on every run).
//
// The source is meant for the main thread, which runs every simulation step; the draws take a
// lock all the same, so a stray call from another thread cannot corrupt its state.

#include <cstdint>

// Seeds the source; the same seed gives the same sequence of draws.
void KoRandSeed(uint64_t Seed);
// Seeds the source from the clock and the process identity.
void KoRandomize();
// A uniform real in [0, 1).
double KoRandom();
// A uniform integer in 0 .. Range - 1; 0 for a range of 0 or below.
int32_t KoRandom(int32_t Range);
