#pragma once
// Helpers for tests that need the main thread's message loop.

#include <chrono>
#include <functional>

namespace kotest {

// Dispatches the calling thread's messages until `condition` holds or `bound` has passed.
// Returns whether the condition held. Waits on the message queue, never spins.
bool PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound);

// Dispatches messages for the whole of `span` (for checks that something does NOT happen).
void PumpFor(std::chrono::milliseconds span);

} // namespace kotest

#include <windows.h>

#include "KoWindows.h"

namespace kotest {

// Ends the application's message loop should a test's own end condition not come within
// `bound`; cancelled (and its thread joined) when it goes out of scope.
class TLoopWatchdog {
public:
    explicit TLoopWatchdog(std::chrono::milliseconds bound);
    ~TLoopWatchdog();
    TLoopWatchdog(const TLoopWatchdog&) = delete;
    TLoopWatchdog& operator=(const TLoopWatchdog&) = delete;
    bool Fired() const { return FFired; }

private:
    static DWORD WINAPI Watch(void* Self);
    DWORD FBound;
    TKoHandle FCancel;
    TKoHandle FThread;
    volatile bool FFired = false;
};

} // namespace kotest
