#include <gtest/gtest.h>

#include <chrono>

#include <windows.h>

#include "KoApplication.h"
#include "KoMessagePump.h"
#include "KoTimers.h"
#include "KoWindows.h"

using namespace std::chrono_literals;

namespace {

DWORD WINAPI TerminateApplication(void*) {
    Application().Terminate();
    return 0;
}

struct TimerFixture : ::testing::Test {
    TKoComponent Owner{nullptr};
    TKoTimer* Timer = new TKoTimer(&Owner);
    int Ticks = 0;
    DWORD TickThread = 0;

    void Count() {
        Timer->SetOnTimer([this](TKoComponent* Sender) {
            EXPECT_EQ(Sender, Timer);
            ++Ticks;
            TickThread = GetCurrentThreadId();
        });
    }
};

TEST_F(TimerFixture, TicksOnTheCreatingThreadFromItsMessageLoop) {
    Timer->SetInterval(10);
    Count();
    EXPECT_TRUE(Timer->Running());
    EXPECT_EQ(Ticks, 0); // nothing happens until messages are dispatched
    ASSERT_TRUE(kotest::PumpUntil([&] { return Ticks >= 3; }, 5s));
    EXPECT_EQ(TickThread, GetCurrentThreadId());
}

TEST_F(TimerFixture, StoppedStatesNeverFire) {
    struct Case {
        const char* What;
        unsigned Interval;
        bool Enabled;
        bool Handler;
    };
    const Case Cases[] = {
        {"period 0", 0, true, true},
        {"disabled", 10, false, true},
        {"no handler", 10, true, false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        Ticks = 0;
        Timer->SetOnTimer(nullptr);
        Timer->SetInterval(C.Interval);
        Timer->SetEnabled(C.Enabled);
        if (C.Handler) Count();
        EXPECT_FALSE(Timer->Running());
        kotest::PumpFor(100ms);
        EXPECT_EQ(Ticks, 0);
    }
}

TEST_F(TimerFixture, PeriodZeroStopsARunningTimerAndAPeriodRestartsIt) {
    Timer->SetInterval(10);
    Count();
    ASSERT_TRUE(kotest::PumpUntil([&] { return Ticks >= 1; }, 5s));
    Timer->SetInterval(0);
    const int Before = Ticks;
    kotest::PumpFor(100ms);
    EXPECT_EQ(Ticks, Before);
    Timer->SetInterval(10);
    EXPECT_TRUE(kotest::PumpUntil([&] { return Ticks > Before; }, 5s));
}

TEST_F(TimerFixture, FreedTimerNoLongerFires) {
    Timer->SetInterval(10);
    Count();
    TKoComponent::Free(Timer);
    kotest::PumpFor(100ms);
    EXPECT_EQ(Ticks, 0);
}

TEST_F(TimerFixture, FailingTickGoesToTheApplicationAndTheTimerKeepsRunning) {
    int Reported = 0;
    Application().OnException = [&](TKoComponent* Sender, std::exception_ptr Error) {
        EXPECT_EQ(Sender, Timer);
        EXPECT_TRUE(Error);
        ++Reported;
    };
    Timer->SetInterval(10);
    Timer->SetOnTimer([&](TKoComponent*) {
        ++Ticks;
        throw std::runtime_error("tick failed");
    });
    EXPECT_TRUE(kotest::PumpUntil([&] { return Ticks >= 3; }, 5s));
    Application().OnException = nullptr;
    EXPECT_EQ(Reported, Ticks);
}

TEST(ApplicationLoop, TerminateFromAnotherThreadEndsRun) {
    TKoApplication& App = Application();
    App.Initialize();
    TKoHandle Thread(CreateThread(nullptr, 0, &TerminateApplication, nullptr, 0, nullptr));
    ASSERT_TRUE(Thread);
    App.Run(); // returns once the other thread has asked it to
    EXPECT_TRUE(App.Terminated());
    EXPECT_EQ(WaitForSingleObject(Thread.Get(), 5000), WAIT_OBJECT_0);
}

} // namespace
