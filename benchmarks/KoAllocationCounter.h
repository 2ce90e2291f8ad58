#pragma once
// Counts what goes through the global operator new of the program that compiles
// KoAllocationCounter.cpp in: the allocations made, and the bytes of the blocks still allocated.

namespace kobench {

long long HeapAllocations() noexcept;
long long HeapLiveBytes() noexcept;

} // namespace kobench
