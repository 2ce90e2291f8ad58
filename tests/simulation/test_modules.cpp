#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include <windows.h>

#include "KoApplication.h"
#include "KoMessagePump.h"
#include "ReadOnlyVars.h"
#include "SimVars.h"

using namespace std::chrono_literals;

namespace {

// Counts its steps and checks how they run.
template <class TBase> class TCounting : public TBase {
public:
    template <class... A> explicit TCounting(A&&... Args) : TBase(std::forward<A>(Args)...) {}

    void Simulate() override {
        ++Steps;
        if (GetCurrentThreadId() != MainThread) ++OffThread;
        if (++Depth > MaxDepth) MaxDepth = Depth;
        if (this->IsLoading()) ++WhileLoading;
        if (Pump) {
            // A step that dispatches messages for longer than a period (as a dialog would).
            Pump = false;
            kotest::PumpFor(100ms);
        }
        if (Fail) throw std::runtime_error("step failed");
        TBase::Simulate();
        --Depth;
    }

    DWORD MainThread = GetCurrentThreadId();
    int Steps = 0, OffThread = 0, Depth = 0, MaxDepth = 0, WhileLoading = 0;
    bool Pump = false, Fail = false;
};

// A module with the base step and a timer period of its own.
class TTestModule : public TCounting<TSimulationData> {
public:
    TTestModule(TKoComponent* AOwner, unsigned Period) : TCounting(AOwner, L"Test") {
        Timer1->SetInterval(Period);
    }
};

// Counts the module's timer ticks on their way to its tick handler.
void CountTicks(TSimulationData* M, int& Ticks) {
    const TKoNotifyEvent Tick = M->Timer1->OnTimer();
    M->Timer1->SetOnTimer([&Ticks, Tick](TKoComponent* Sender) {
        ++Ticks;
        Tick(Sender);
    });
}

struct ModuleFixture : ::testing::Test {
    TKoComponent Owner{nullptr};
};

TEST_F(ModuleFixture, PeriodZeroRunsTheStepOnceFromTheCreateHandler) {
    auto* M = KoCreate<TTestModule>(&Owner, 0u);
    EXPECT_EQ(M->Steps, 1);
    EXPECT_EQ(M->WhileLoading, 0);
    EXPECT_FALSE(M->Timer1->Running());
    kotest::PumpFor(200ms);
    EXPECT_EQ(M->Steps, 1);
}

TEST_F(ModuleFixture, ReadOnlyModuleNeverTicks) {
    auto* M = KoCreate<TCounting<TReadOnly>>(&Owner);
    EXPECT_EQ(M->Name(), L"ReadOnly");
    EXPECT_EQ(M->Timer1->Interval(), 0u);
    kotest::PumpFor(200ms);
    EXPECT_EQ(M->Steps, 1);
}

TEST_F(ModuleFixture, DefaultPeriodIsOneSecond) {
    auto* M = KoCreate<TTestModule>(&Owner, 1000u);
    TSimulationData Plain(nullptr, L"Plain");
    EXPECT_EQ(Plain.Timer1->Interval(), 1000u);
    EXPECT_TRUE(Plain.Timer1->Enabled());
    EXPECT_EQ(M->Timer1->Owner(), M);
    EXPECT_EQ(M->FindComponent(L"Timer1"), M->Timer1);
}

TEST_F(ModuleFixture, ShortPeriodRunsOneStepPerTickOnTheMainThread) {
    auto* M = KoCreate<TTestModule>(&Owner, 10u);
    int Ticks = 0;
    CountTicks(M, Ticks);
    ASSERT_TRUE(kotest::PumpUntil([&] { return Ticks >= 5; }, 5s));
    EXPECT_EQ(M->Steps, 1 + Ticks); // the create handler's step and one per tick
    EXPECT_EQ(M->OffThread, 0);
    EXPECT_EQ(M->MaxDepth, 1);
}

TEST_F(ModuleFixture, TickDuringARunningStepDoesNotStartASecondStep) {
    auto* M = KoCreate<TTestModule>(&Owner, 10u);
    int Ticks = 0;
    CountTicks(M, Ticks);
    M->Pump = true;
    ASSERT_TRUE(kotest::PumpUntil([&] { return Ticks >= 15; }, 10s));
    EXPECT_EQ(M->MaxDepth, 1);
    EXPECT_LT(M->Steps, 1 + Ticks); // ticks inside the pumping step were dropped
    EXPECT_GT(M->Steps, 2);         // and the module went on stepping afterwards
}

TEST_F(ModuleFixture, FailingStepIsReportedAndTheTimerKeepsRunning) {
    auto* M = KoCreate<TTestModule>(&Owner, 10u);
    int Reported = 0;
    Application().OnException = [&](TKoComponent*, std::exception_ptr) { ++Reported; };
    M->Fail = true;
    const bool Kept = kotest::PumpUntil([&] { return Reported >= 3; }, 5s);
    Application().OnException = nullptr;
    EXPECT_TRUE(Kept);
    M->Fail = false;
    M->Depth = 0;
    const int Before = M->Steps;
    EXPECT_TRUE(kotest::PumpUntil([&] { return M->Steps > Before; }, 5s));
}

} // namespace
