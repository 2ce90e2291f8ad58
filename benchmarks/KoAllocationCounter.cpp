#include "KoAllocationCounter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long long> GHeapAllocations{0};
std::atomic<long long> GHeapLiveBytes{0};
} // namespace

namespace kobench {

long long HeapAllocations() noexcept {
    return GHeapAllocations.load();
}

long long HeapLiveBytes() noexcept {
    return GHeapLiveBytes.load();
}

} // namespace kobench

void* operator new(std::size_t Size) {
    ++GHeapAllocations;
    if (void* P = std::malloc(Size ? Size : 1)) {
        GHeapLiveBytes += static_cast<long long>(_msize(P));
        return P;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t Size) {
    return operator new(Size);
}
void operator delete(void* P) noexcept {
    if (!P) return;
    GHeapLiveBytes -= static_cast<long long>(_msize(P));
    std::free(P);
}
void operator delete[](void* P) noexcept {
    operator delete(P);
}
void operator delete(void* P, std::size_t) noexcept {
    operator delete(P);
}
void operator delete[](void* P, std::size_t) noexcept {
    operator delete(P);
}
