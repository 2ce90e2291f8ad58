#include "KoTimers.h"

#include "KoApplication.h"
#include "KoWindows.h"

namespace {
constexpr UINT_PTR KoTimerId = 1;
}

TKoTimer::TKoTimer(TKoComponent* AOwner) : TKoComponent(AOwner) {
    FWindow = std::make_unique<TKoMessageWindow>([this](UINT Msg, WPARAM WParam, LPARAM, LRESULT& Result) {
        if (Msg != WM_TIMER || WParam != KoTimerId) return false;
        Timer();
        Result = 0;
        return true;
    });
}

TKoTimer::~TKoTimer() {
    FEnabled = false;
    UpdateTimer();
}

void TKoTimer::SetInterval(unsigned Value) {
    FInterval = Value;
    UpdateTimer();
}

void TKoTimer::SetEnabled(bool Value) {
    if (Value == FEnabled) return;
    FEnabled = Value;
    UpdateTimer();
}

void TKoTimer::SetOnTimer(TKoNotifyEvent Value) {
    FOnTimer = std::move(Value);
    UpdateTimer();
}

void TKoTimer::UpdateTimer() {
    KillTimer(FWindow->Handle(), KoTimerId);
    FRunning = false;
    if (FEnabled && FInterval > 0 && FOnTimer) {
        if (!SetTimer(FWindow->Handle(), KoTimerId, FInterval, nullptr))
            throw EKoComponentError(L"Not enough timers available");
        FRunning = true;
    }
}

void TKoTimer::Timer() {
    // A tick's error goes to the application's error handling; the timer keeps running.
    try {
        if (FOnTimer) FOnTimer(this);
    } catch (...) {
        Application().HandleException(this);
    }
}
