#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <windows.h>

#include "KoApplication.h"
#include "KoOPCServerProgram.h"
#include "KoOPCServerSvcProgram.h"
#include "KoUtils.h"
#include "KoMessagePump.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"

namespace {

struct Program {
    const char* Name;
    void (*CreateObjects)();
    const wchar_t* Title;
    std::vector<std::wstring> Modules; // in creation order
};

const Program Programs[] = {
    {"KoOPCServer",
     &KoOPCServerCreateObjects,
     L"Korvel OPC Dadived Simulation Server",
     {L"Static", L"Random", L"SawTooth", L"Sinusoid", L"Triangle", L"ReadOnly"}},
    {"KoOPCServerSvc",
     &KoOPCServerSvcCreateObjects,
     L"Korvel OPC Simulation Service",
     {L"Random", L"ReadOnly", L"SawTooth", L"Sinusoid", L"Static", L"Triangle"}},
};

struct ProgramFixture : ::testing::TestWithParam<Program> {
    void TearDown() override {
        Application().DestroyComponents();
        Application().OnException = nullptr;
    }
};

TEST_P(ProgramFixture, CreatesItsSixModulesInItsOwnOrder) {
    const Program& P = GetParam();
    P.CreateObjects();
    TKoApplication& App = Application();
    EXPECT_EQ(App.Title(), P.Title);
    ASSERT_EQ(App.ComponentCount(), 6);
    for (int I = 0; I < 6; ++I) EXPECT_EQ(App.Components(I)->Name(), P.Modules[static_cast<size_t>(I)]) << I;

    // Found among the application's components by name, whatever the letter case, with the
    // class and the process-wide reference of each module.
    struct Expect {
        const wchar_t* Name;
        const wchar_t* Class;
        TKoComponent* Reference;
    };
    const Expect Expected[] = {
        {L"static", L"TStatic", Static},       {L"RANDOM", L"TRandom", Random},
        {L"SawTooth", L"TSawTooth", SawTooth}, {L"sinusoid", L"TSinusoid", Sinusoid},
        {L"Triangle", L"TTriangle", Triangle}, {L"ReadOnly", L"TReadOnly", ReadOnly},
    };
    for (const Expect& E : Expected) {
        TKoComponent* Found = App.FindComponent(E.Name);
        ASSERT_NE(Found, nullptr) << KoUtf8(E.Name);
        EXPECT_STREQ(Found->ClassName(), E.Class);
        EXPECT_EQ(Found, E.Reference);
    }
    EXPECT_EQ(Static->Timer1->Interval(), 1000u);
    EXPECT_EQ(ReadOnly->Timer1->Interval(), 0u);
}

TEST_P(ProgramFixture, MessageLoopTicksTheModuleTimers) {
    GetParam().CreateObjects();
    TKoApplication& App = Application();
    // Faster ticks than the configured second, counted on the way to the module's handler.
    int Ticks = 0;
    const TKoNotifyEvent Tick = Sinusoid->Timer1->OnTimer();
    Sinusoid->Timer1->SetOnTimer([&](TKoComponent* Sender) {
        if (++Ticks == 3) App.Terminate();
        Tick(Sender);
    });
    Sinusoid->Timer1->SetInterval(10);
    kotest::TLoopWatchdog Watchdog(std::chrono::seconds(10));
    App.Run();
    EXPECT_FALSE(Watchdog.Fired());
    EXPECT_GE(Ticks, 3);
}

TEST_P(ProgramFixture, ModuleReferencesAreClearedWhenTheApplicationFreesThem) {
    GetParam().CreateObjects();
    Application().DestroyComponents();
    EXPECT_EQ(Static, nullptr);
    EXPECT_EQ(Random, nullptr);
    EXPECT_EQ(ReadOnly, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramFixture, ::testing::ValuesIn(Programs),
                         [](const auto& Info) { return std::string(Info.param.Name); });

} // namespace
