#include "KoMessagePump.h"

#include <windows.h>

namespace kotest {

namespace {

void DispatchPending() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

} // namespace

bool PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(bound.count());
    for (;;) {
        DispatchPending();
        if (condition()) return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return condition();
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

void PumpFor(std::chrono::milliseconds span) {
    PumpUntil([] { return false; }, span);
}

} // namespace kotest

#include "KoApplication.h"

namespace kotest {

TLoopWatchdog::TLoopWatchdog(std::chrono::milliseconds bound)
    : FBound(static_cast<DWORD>(bound.count())), FCancel(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      FThread(CreateThread(nullptr, 0, &TLoopWatchdog::Watch, this, 0, nullptr)) {}

TLoopWatchdog::~TLoopWatchdog() {
    // Once cancelled the watcher returns at once; the bound only guards against a stuck thread.
    SetEvent(FCancel.Get());
    WaitForSingleObject(FThread.Get(), 10000);
}

DWORD WINAPI TLoopWatchdog::Watch(void* Self) {
    auto* This = static_cast<TLoopWatchdog*>(Self);
    if (WaitForSingleObject(This->FCancel.Get(), This->FBound) == WAIT_TIMEOUT) {
        This->FFired = true;
        Application().Terminate();
    }
    return 0;
}

} // namespace kotest
