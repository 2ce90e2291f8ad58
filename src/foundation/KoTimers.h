#pragma once
// A main-thread timer component: its tick runs on the thread that created it, from that
// thread's message loop.

#include <memory>

#include "KoClasses.h"

class TKoMessageWindow;

class TKoTimer : public TKoComponent {
public:
    explicit TKoTimer(TKoComponent* AOwner);
    ~TKoTimer() override;
    const wchar_t* ClassName() const override { return L"TKoTimer"; }

    // Period in milliseconds; 0 means the timer never fires. Setting it restarts the countdown.
    unsigned Interval() const { return FInterval; }
    void SetInterval(unsigned Value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    const TKoNotifyEvent& OnTimer() const { return FOnTimer; }
    void SetOnTimer(TKoNotifyEvent Value);

    // Whether the system timer is set (enabled, a period above 0 and a handler).
    bool Running() const { return FRunning; }

protected:
    virtual void Timer();

private:
    void UpdateTimer();

    unsigned FInterval = 1000;
    bool FEnabled = true;
    bool FRunning = false;
    TKoNotifyEvent FOnTimer;
    std::unique_ptr<TKoMessageWindow> FWindow;
};
