#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include <comcat.h>
#include <ocidl.h>
#include <wrl/client.h>

#include "KoApplication.h"
#include "KoComServer.h"
#include "KoOPCAddressSpace.h"
#include "KoOPCClassFactory.h"
#include "KoOPCProgram.h"
#include "KoOPCProvider.h"
#include "KoOPCServerProgram.h"
#include "KoOPCServerSvcProgram.h"
#include "KoPersistent.h"
#include "KoUtils.h"
#include "KoMessagePump.h"
#include "KoProcessTesting.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"

namespace {

struct Program {
    const char* Name;
    void (*CreateProvider)();
    TKoOPCProvider* (*Provider)();
    bool (*CreateObjects)();
    void (*DestroyObjects)();
    const wchar_t* Title;
    std::vector<std::wstring> Modules; // in creation order
    const wchar_t* MainWindow;         // made after the modules, or none
};

const Program Programs[] = {
    {"KoOPCServer",
     &KoOPCServerCreateProvider,
     &KoOPCServerProvider,
     &KoOPCServerCreateObjects,
     &KoOPCServerDestroyObjects,
     L"Korvel OPC Dadived Simulation Server",
     {L"Static", L"Random", L"SawTooth", L"Sinusoid", L"Triangle", L"ReadOnly"},
     L"TForm1"},
    {"KoOPCServerSvc",
     &KoOPCServerSvcCreateProvider,
     &KoOPCServerSvcProvider,
     &KoOPCServerSvcCreateObjects,
     &KoOPCServerSvcDestroyObjects,
     L"Korvel OPC Simulation Service",
     {L"Random", L"ReadOnly", L"SawTooth", L"Sinusoid", L"Static", L"Triangle"},
     nullptr},
};

struct ProgramFixture : ::testing::TestWithParam<Program> {
    void TearDown() override {
        GetParam().DestroyObjects();
        Application().OnException = nullptr;
    }
};

TEST_P(ProgramFixture, CreatesItsSixModulesInItsOwnOrder) {
    const Program& P = GetParam();
    P.CreateProvider();
    ASSERT_TRUE(P.CreateObjects());
    TKoApplication& App = Application();
    EXPECT_EQ(App.Title(), P.Title);
    // The program's own components, without the provider's address-space nexus.
    std::vector<TKoComponent*> Own;
    for (int I = 0; I < App.ComponentCount(); ++I)
        if (!dynamic_cast<TKoComponentNexus*>(App.Components(I))) Own.push_back(App.Components(I));
    ASSERT_EQ(Own.size(), P.MainWindow ? 7u : 6u);
    if (P.MainWindow) {
        EXPECT_STREQ(Own[6]->ClassName(), P.MainWindow);
    }
    for (size_t I = 0; I < 6; ++I) EXPECT_EQ(Own[I]->Name(), P.Modules[I]) << I;

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
    ASSERT_TRUE(GetParam().CreateObjects());
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
    ASSERT_TRUE(GetParam().CreateObjects());
    Application().DestroyComponents();
    EXPECT_EQ(Static, nullptr);
    EXPECT_EQ(Random, nullptr);
    EXPECT_EQ(ReadOnly, nullptr);
}

TEST_P(ProgramFixture, ProviderRunsFromTheLoopOnceAllModulesExist) {
    const Program& P = GetParam();
    P.CreateProvider();
    TKoOPCProvider* Provider = P.Provider();
    ASSERT_NE(Provider, nullptr);
    ASSERT_TRUE(P.CreateObjects());
    // Its activation waits in the queue of the main thread until the loop runs.
    EXPECT_EQ(Provider->State(), OPC_STATUS_NOCONFIG);
    ASSERT_TRUE(
        kotest::PumpUntil([&] { return Provider->State() == OPC_STATUS_RUNNING; }, std::chrono::seconds(5)));

    // Its first refresh found every module, in the program's order.
    auto* Space = dynamic_cast<TKoOPCProviderAddressSpace*>(Provider->AddressSpace());
    ASSERT_NE(Space, nullptr);
    std::vector<std::wstring> TopLevel;
    for (int I = 0; I < Space->Count(); ++I)
        if (Space->LevelOf(I) == 0) TopLevel.push_back(Space->Strings(I));
    EXPECT_EQ(TopLevel, P.Modules);
    TKoComponent* Component = nullptr;
    TKoVarPropType Prop = vpMax;
    EXPECT_EQ(Provider->FindItem(L"Random.KoFloat1", Component, Prop), 2);
    EXPECT_EQ(Component, Random->KoFloat1);
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramFixture, ::testing::ValuesIn(Programs),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// ---- identity and registration ----

struct TIdentity {
    const char* Program;
    void (*CreateProvider)();
    void (*DestroyProvider)();
    TKoOPCProvider* (*Provider)();
    const wchar_t* ClassID;
    const wchar_t* ProgID;
    const wchar_t* Description;
    const wchar_t* VendorInfo;
    bool LogActive;
};

const TIdentity Identities[] = {
    {"KoOPCServer", &KoOPCServerCreateProvider, &KoOPCServerDestroyProvider, &KoOPCServerProvider,
     L"{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}", L"Korvel.OPC.Simulation", L"Korvel OPC Simulation Server",
     L"Simulation OPC Server by Korvel OPC Ltd", true},
    {"KoOPCServerSvc", &KoOPCServerSvcCreateProvider, &KoOPCServerSvcDestroyProvider, &KoOPCServerSvcProvider,
     L"{8E16B2F0-D473-4A9C-B5E8-0F29A6C31D57}", L"Korvel.OPC.Service", L"Korvel OPC Service",
     L"OPC Server as Service by Korvel OPC Ltd", false},
};

bool KeyExists(const std::wstring& Path) {
    TKoRegKey Key;
    return Key.Open(HKEY_CLASSES_ROOT, Path);
}

std::wstring ReadValue(const std::wstring& Path, const std::wstring& Name = {}) {
    TKoRegKey Key;
    std::wstring Value;
    if (!Key.Open(HKEY_CLASSES_ROOT, Path) || !Key.ReadString(Name, Value)) return L"<missing>";
    return Value;
}

// Every key the registration of a class writes, except AppID\{class ID}, which unregistration
// keeps.
std::vector<std::wstring> RemovedKeys(const TIdentity& Id, const std::wstring& ExeName) {
    const std::wstring Class = std::wstring(L"CLSID\\") + Id.ClassID;
    return {Class + L"\\LocalServer32",
            Class + L"\\ProgID",
            Class + L"\\Implemented Categories",
            Class,
            std::wstring(Id.ProgID) + L"\\Clsid",
            std::wstring(Id.ProgID) + L"\\OPC\\Vendor",
            Id.ProgID,
            L"AppID\\" + ExeName};
}

void ForgetAppID(const TIdentity& Id) {
    KoRegDeleteTree(KoClassesRoot(false), std::wstring(L"AppID\\") + Id.ClassID);
}

class ComSupport : public ::testing::Test {
protected:
    void SetUp() override {
        // As each program's main thread: the multi-threaded apartment for the whole test.
        Result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override {
        if (SUCCEEDED(Result)) CoUninitialize();
    }
    HRESULT Result = E_FAIL;
};

// Both programs in one process: each gets its own identity and class object, and both register
// side by side without touching each other's entries.
TEST_F(ComSupport, BothProgramsHaveTheirOwnIdentityAndRegisterSideBySide) {
    for (const TIdentity& Id : Identities) Id.CreateProvider();
    const std::wstring Exe = KoProgramFileName();
    const std::wstring ExeName = Exe.substr(Exe.find_last_of(L"\\/") + 1);
    for (const TIdentity& Id : Identities) {
        SCOPED_TRACE(Id.Program);
        TKoOPCProvider* P = Id.Provider();
        ASSERT_NE(P, nullptr);
        EXPECT_EQ(P->CLSID(), Id.ClassID);
        EXPECT_EQ(P->ServerName(), Id.ProgID);
        EXPECT_EQ(P->Description(), Id.Description);
        EXPECT_EQ(P->Vendor(), L"Korvel OPC Ltd");
        EXPECT_EQ(P->VendorInfo(), Id.VendorInfo);
        EXPECT_EQ(P->Version(), 0);
        EXPECT_EQ(P->ThreadingModel(), tmBoth);
        EXPECT_EQ(P->ActivityLog().Active(), Id.LogActive);
        if (Id.LogActive) {
            EXPECT_EQ(P->ActivityLog().MaxLines(), 5000);
        }
        // Initialised, with its run still waiting in the main thread's queue.
        EXPECT_EQ(P->State(), OPC_STATUS_NOCONFIG);
        EXPECT_NE(P->ObjectFactory(), nullptr);
        P->Register();
    }
    EXPECT_EQ(ComServer().CoInitFlags(), static_cast<DWORD>(COINIT_MULTITHREADED));
    for (const TIdentity& Id : Identities) {
        SCOPED_TRACE(Id.Program);
        const std::wstring Class = std::wstring(L"CLSID\\") + Id.ClassID;
        EXPECT_EQ(ReadValue(Class), Id.Description);
        EXPECT_EQ(ReadValue(Class + L"\\LocalServer32"), Exe);
        EXPECT_EQ(ReadValue(std::wstring(Id.ProgID) + L"\\Clsid"), Id.ClassID);
        EXPECT_EQ(ReadValue(std::wstring(Id.ProgID) + L"\\OPC\\Vendor"), L"Korvel OPC Ltd");
    }
    // One program's unregistration leaves the other's entries alone (the executable's AppID key
    // they share aside).
    Identities[0].Provider()->Unregister();
    for (const std::wstring& Key : RemovedKeys(Identities[0], ExeName))
        EXPECT_FALSE(KeyExists(Key)) << KoUtf8(Key);
    for (const std::wstring& Key : RemovedKeys(Identities[1], ExeName)) {
        if (Key != L"AppID\\" + ExeName) {
            EXPECT_TRUE(KeyExists(Key)) << KoUtf8(Key);
        }
    }
    Identities[1].Provider()->Unregister();
    for (const std::wstring& Key : RemovedKeys(Identities[1], ExeName))
        EXPECT_FALSE(KeyExists(Key)) << KoUtf8(Key);

    for (const TIdentity& Id : Identities) {
        Id.DestroyProvider();
        EXPECT_EQ(Id.Provider(), nullptr);
        ForgetAppID(Id);
    }
    ComServer().Finalize();
}

HRESULT IsOPCServerClass(const std::wstring& ClassText) {
    GUID ClassID;
    if (FAILED(IIDFromString(ClassText.c_str(), &ClassID))) return E_INVALIDARG;
    Microsoft::WRL::ComPtr<ICatInformation> Information;
    const HRESULT Created = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_PPV_ARGS(&Information));
    if (FAILED(Created)) return Created;
    CATID Ids[] = {CATID_OPCDAServer10, CATID_OPCDAServer20};
    // No required categories (an empty list, not a null one: the manager rejects null).
    return Information->IsClassOfCategories(ClassID, 2, Ids, 0, Ids);
}

// The programs themselves, started with the registration switches: each ends by itself with
// exit code 0, having written (then removed) its entries.
TEST_F(ComSupport, ProgramsRegisterAndUnregisterFromTheCommandLine) {
    const std::wstring Dir = kotest::ExecutableDirectory();
    for (const TIdentity& Id : Identities) {
        SCOPED_TRACE(Id.Program);
        const std::wstring ExeName = KoWide(Id.Program) + L".exe";
        const std::wstring Exe = Dir + ExeName;
        const std::wstring Class = std::wstring(L"CLSID\\") + Id.ClassID;
        ForgetAppID(Id);

        ASSERT_EQ(kotest::RunProgram(Exe, L"/RegServer", 60000), 0u);
        EXPECT_EQ(ReadValue(Class + L"\\LocalServer32"), Exe);
        EXPECT_EQ(ReadValue(Class + L"\\ProgID"), Id.ProgID);
        EXPECT_EQ(ReadValue(Class, L"AppID"), Id.ClassID);
        EXPECT_EQ(ReadValue(std::wstring(Id.ProgID) + L"\\OPC\\Vendor"), L"Korvel OPC Ltd");
        EXPECT_EQ(ReadValue(L"AppID\\" + ExeName, L"AppID"), Id.ClassID);
        // The program's title is not set yet when it registers: the platform's default title.
        EXPECT_EQ(ReadValue(std::wstring(L"AppID\\") + Id.ClassID), KoWide(Id.Program));
        EXPECT_EQ(IsOPCServerClass(Id.ClassID), S_OK);

        ASSERT_EQ(kotest::RunProgram(Exe, L"-unregserver", 60000), 0u);
        for (const std::wstring& Key : RemovedKeys(Id, ExeName)) EXPECT_FALSE(KeyExists(Key)) << KoUtf8(Key);
        EXPECT_TRUE(KeyExists(std::wstring(L"AppID\\") + Id.ClassID));
        EXPECT_EQ(IsOPCServerClass(Id.ClassID), S_FALSE);
        ForgetAppID(Id);
    }
}

// A program started by COM ends by itself when its last server object is released (one started
// by hand keeps running: the object count decides only in the started-by-COM mode).
TEST_F(ComSupport, StartedByComTheServerEndsWithItsLastClient) {
    const std::wstring Exe = kotest::ExecutableDirectory() + L"KoOPCServer.exe";
    const TIdentity& Id = Identities[0];
    GUID ClassID;
    ASSERT_EQ(IIDFromString(Id.ClassID, &ClassID), S_OK);
    ASSERT_TRUE(kotest::ProcessesOf(L"KoOPCServer.exe").empty()) << "a server of another test is running";
    ASSERT_EQ(kotest::RunProgram(Exe, L"/RegServer", 60000), 0u);

    Microsoft::WRL::ComPtr<IUnknown> Server;
    ASSERT_EQ(CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&Server)), S_OK);
    const std::vector<DWORD> Running = kotest::ProcessesOf(L"KoOPCServer.exe");
    ASSERT_EQ(Running.size(), 1u);
    TKoHandle Process(
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, Running[0]));
    ASSERT_TRUE(Process);
    EXPECT_EQ(WaitForSingleObject(Process.Get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
    Server.Reset();
    const DWORD Ended = WaitForSingleObject(Process.Get(), 30000);
    EXPECT_EQ(Ended, static_cast<DWORD>(WAIT_OBJECT_0));
    if (Ended != WAIT_OBJECT_0) {
        // Not left behind for the tests that follow.
        TerminateProcess(Process.Get(), 99);
        WaitForSingleObject(Process.Get(), 10000);
    } else {
        DWORD Code = 99;
        GetExitCodeProcess(Process.Get(), &Code);
        EXPECT_EQ(Code, 0u);
    }

    EXPECT_EQ(kotest::RunProgram(Exe, L"/UnregServer", 60000), 0u);
    ForgetAppID(Id);
}

// ---- the end of a process started by COM ----

// Made up for these tests: the programs' own classes are never registered from here.
const wchar_t kTestClassID[] = L"{C4E1F6A2-3B57-4D19-9E08-7A6B2D5C41F3}";

// Dispatches the calling thread's messages for at most BoundMs; true once WM_QUIT came (it is
// taken out).
bool PumpUntilQuit(DWORD BoundMs) {
    const ULONGLONG Deadline = GetTickCount64() + BoundMs;
    for (;;) {
        MSG Msg;
        while (PeekMessageW(&Msg, nullptr, 0, 0, PM_REMOVE)) {
            if (Msg.message == WM_QUIT) return true;
            TranslateMessage(&Msg);
            DispatchMessageW(&Msg);
        }
        const ULONGLONG Now = GetTickCount64();
        if (Now >= Deadline) return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(Deadline - Now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

// A running provider with the programs' class object, held by a COM server support of the test's
// own that was started as COM starts the programs. Class-object locks stand for clients.
class EndOfComStartedProcess : public ComSupport {
protected:
    void SetUp() override {
        ComSupport::SetUp();
        // The main thread's queue exists before anything is posted to it.
        MSG Msg;
        PeekMessageW(&Msg, nullptr, 0, 0, PM_NOREMOVE);
        Provider = std::make_unique<TKoOPCProvider>();
        Provider->SetCLSID(kTestClassID);
        Provider->SetServerName(L"Korvel.Test.ComEnd");
        Provider->SetAutoRun(false);
        Provider->SetClassObjectFactory(KoOPCClassObjectFactory(KoOPCServerObjectCreator(), Server));
        Provider->Initialize();
        Provider->Run();
        Factory = dynamic_cast<TKoOPCProviderClientFactory*>(Provider->ObjectFactory());
        ASSERT_NE(Factory, nullptr);
        ASSERT_EQ(IIDFromString(kTestClassID, &ClassID), S_OK);
    }
    void TearDown() override {
        Server.RevokeClassObjects();
        Provider.reset();
        Server.Finalize();
        ComSupport::TearDown();
    }
    // Whether COM hands out a class object of the class in this process.
    bool ClassObjectRegistered() const {
        Microsoft::WRL::ComPtr<IClassFactory> Found;
        return SUCCEEDED(CoGetClassObject(ClassID, CLSCTX_LOCAL_SERVER, nullptr, IID_PPV_ARGS(&Found)));
    }

    // Declared before the provider: it owns the class object, which the provider uses to its end.
    TKoComServer Server;
    std::unique_ptr<TKoOPCProvider> Provider;
    TKoOPCProviderClientFactory* Factory = nullptr;
    GUID ClassID{};
};

// Once the process has decided to end (here at once: no end timer), its class object makes no
// server object and takes no lock: the process is going, whoever still reaches the class object.
TEST_F(EndOfComStartedProcess, AfterTheDecisionTheClassObjectMakesNothing) {
    Server.SetStartSwitches({smAutomation, false});
    ASSERT_EQ(Factory->LockServer(TRUE), S_OK);
    EXPECT_FALSE(Server.Ending());
    ASSERT_EQ(Factory->LockServer(FALSE), S_OK);
    EXPECT_TRUE(Server.Ending());
    EXPECT_TRUE(PumpUntilQuit(0));

    Microsoft::WRL::ComPtr<IUnknown> Object;
    EXPECT_EQ(Factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(Object.GetAddressOf())),
              CO_E_SERVER_STOPPING);
    EXPECT_FALSE(Object);
    EXPECT_EQ(Provider->ClientCount(), 0);
    EXPECT_EQ(Factory->LockServer(TRUE), CO_E_SERVER_STOPPING);
    EXPECT_EQ(Server.ObjectCount(), 0);
    EXPECT_FALSE(PumpUntilQuit(0)) << "told to quit twice";
}

// Started by COM, the process stays KoComServerEndDelayMs after its last object; a client that
// comes meanwhile keeps it. When it ends it withdraws its class object before it quits.
TEST_F(EndOfComStartedProcess, AClientWithinTheEndDelayKeepsTheProcess) {
    ASSERT_TRUE(Server.Initialize({L"-Embedding"}, csAfterRegistration));
    EXPECT_TRUE(ClassObjectRegistered());
    ASSERT_EQ(Factory->LockServer(TRUE), S_OK);
    ASSERT_EQ(Factory->LockServer(FALSE), S_OK);
    EXPECT_FALSE(PumpUntilQuit(KoComServerEndDelayMs * 2 / 3)) << "ended before the end delay";
    ASSERT_EQ(Factory->LockServer(TRUE), S_OK);
    // The delay that began with the last object runs out while this client is there.
    EXPECT_FALSE(PumpUntilQuit(KoComServerEndDelayMs)) << "ended with a client";
    EXPECT_FALSE(Server.Ending());
    EXPECT_TRUE(ClassObjectRegistered());

    ASSERT_EQ(Factory->LockServer(FALSE), S_OK);
    EXPECT_TRUE(PumpUntilQuit(KoComServerEndDelayMs + 10000)) << "did not end after its last client";
    EXPECT_TRUE(Server.Ending());
    EXPECT_FALSE(ClassObjectRegistered()) << "still registered when it quit";
}

// Ends a server process a test left running, so that the tests that follow start clean.
void EndLeftover(HANDLE Process, DWORD Id) {
    if (WaitForSingleObject(Process, 0) == WAIT_OBJECT_0) return;
    if (!kotest::QuitProgram(Id) || WaitForSingleObject(Process, 15000) != WAIT_OBJECT_0) {
        TerminateProcess(Process, 99);
        WaitForSingleObject(Process, 10000);
    }
}

DWORD ExitCodeOf(HANDLE Process) {
    DWORD Code = 99;
    GetExitCodeProcess(Process, &Code);
    return Code;
}

// Sets an environment variable of the test process (inherited by the programs it starts) for as
// long as it lives; null removes it meanwhile.
class TScopedEnvironment {
public:
    TScopedEnvironment(const wchar_t* Name, const wchar_t* Value) : FName(Name) {
        wchar_t Old[64];
        const DWORD Length = GetEnvironmentVariableW(Name, Old, static_cast<DWORD>(std::size(Old)));
        FHadValue = Length > 0 && Length < std::size(Old);
        if (FHadValue) FOldValue = Old;
        SetEnvironmentVariableW(Name, Value);
    }
    ~TScopedEnvironment() { SetEnvironmentVariableW(FName, FHadValue ? FOldValue.c_str() : nullptr); }
    TScopedEnvironment(const TScopedEnvironment&) = delete;
    TScopedEnvironment& operator=(const TScopedEnvironment&) = delete;

private:
    const wchar_t* FName;
    bool FHadValue = false;
    std::wstring FOldValue;
};

// Started with the embedding switch and never reached by a client, the server ends by itself
// within its idle bound (the default one, and one set through the environment), not before.
TEST_F(ComSupport, StartedByComWithoutAClientTheServerEndsWithinItsIdleBound) {
    struct TCase {
        const wchar_t* Setting; // KO_COM_IDLE_BOUND_MS, or none
        DWORD BoundMs;
    };
    const TCase Cases[] = {{nullptr, KoComServerDefaultIdleBoundMs}, {L"4000", 4000}};
    const std::wstring Exe = kotest::ExecutableDirectory() + L"KoOPCServer.exe";
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.BoundMs);
        ASSERT_TRUE(kotest::ProcessesOf(L"KoOPCServer.exe").empty()) << "a server of another test is running";
        TKoHandle Process;
        {
            TScopedEnvironment Bound(L"KO_COM_IDLE_BOUND_MS", Case.Setting);
            Process = kotest::StartProgram(Exe, L"-Embedding");
        }
        ASSERT_TRUE(Process);
        const DWORD Id = GetProcessId(Process.Get());
        // Start-up takes part of the bound: the process must still run well into it.
        EXPECT_EQ(WaitForSingleObject(Process.Get(), Case.BoundMs * 3 / 4), static_cast<DWORD>(WAIT_TIMEOUT))
            << "ended before its idle bound";
        const DWORD Ended = WaitForSingleObject(Process.Get(), Case.BoundMs / 4 + 10000);
        EXPECT_EQ(Ended, static_cast<DWORD>(WAIT_OBJECT_0)) << "still running after its idle bound";
        if (Ended == WAIT_OBJECT_0) {
            EXPECT_EQ(ExitCodeOf(Process.Get()), 0u);
        }
        EndLeftover(Process.Get(), Id);
    }
}

// While a process started by COM serves the class, another one started with the embedding switch
// leaves without serving and the first keeps its clients; one started by hand stays regardless,
// also after the first has ended with its last client, until it is told to end.
TEST_F(ComSupport, OneProcessStartedByComServesAndOneStartedByHandStaysUntilClosed) {
    const std::wstring Exe = kotest::ExecutableDirectory() + L"KoOPCServer.exe";
    const TIdentity& Id = Identities[0];
    GUID ClassID;
    ASSERT_EQ(IIDFromString(Id.ClassID, &ClassID), S_OK);
    ASSERT_TRUE(kotest::ProcessesOf(L"KoOPCServer.exe").empty()) << "a server of another test is running";
    ASSERT_EQ(kotest::RunProgram(Exe, L"/RegServer", 60000), 0u);

    Microsoft::WRL::ComPtr<IUnknown> Client;
    ASSERT_EQ(CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&Client)), S_OK);
    const std::vector<DWORD> Running = kotest::ProcessesOf(L"KoOPCServer.exe");
    ASSERT_EQ(Running.size(), 1u);
    TKoHandle First(
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, Running[0]));
    ASSERT_TRUE(First);

    TKoHandle Later = kotest::StartProgram(Exe, L"-Embedding");
    ASSERT_TRUE(Later);
    const DWORD LaterEnded = WaitForSingleObject(Later.Get(), 15000);
    EXPECT_EQ(LaterEnded, static_cast<DWORD>(WAIT_OBJECT_0)) << "the later process started by COM stayed";
    if (LaterEnded == WAIT_OBJECT_0) {
        EXPECT_EQ(ExitCodeOf(Later.Get()), 0u);
    }
    EndLeftover(Later.Get(), GetProcessId(Later.Get()));
    // The first still serves: a new activation reaches it, and its client is still connected.
    Microsoft::WRL::ComPtr<IUnknown> Second;
    EXPECT_EQ(CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&Second)), S_OK);
    EXPECT_EQ(kotest::ProcessesOf(L"KoOPCServer.exe"), Running);
    Microsoft::WRL::ComPtr<IConnectionPointContainer> Points;
    EXPECT_EQ(Client.As(&Points), S_OK);

    TKoHandle ByHand = kotest::StartProgram(Exe, L"");
    ASSERT_TRUE(ByHand);
    const DWORD ByHandId = GetProcessId(ByHand.Get());
    EXPECT_EQ(WaitForSingleObject(ByHand.Get(), 5000), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the process started by hand ended by itself";

    Points.Reset();
    Second.Reset();
    Client.Reset();
    const DWORD FirstEnded = WaitForSingleObject(First.Get(), 30000);
    EXPECT_EQ(FirstEnded, static_cast<DWORD>(WAIT_OBJECT_0)) << "the server outlived its last client";
    if (FirstEnded == WAIT_OBJECT_0) {
        EXPECT_EQ(ExitCodeOf(First.Get()), 0u);
    }
    EndLeftover(First.Get(), Running[0]);
    EXPECT_EQ(WaitForSingleObject(ByHand.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the process started by hand ended with the other's last client";
    ASSERT_TRUE(kotest::QuitProgram(ByHandId)) << "no main-thread window in the process started by hand";
    const DWORD ByHandEnded = WaitForSingleObject(ByHand.Get(), 15000);
    EXPECT_EQ(ByHandEnded, static_cast<DWORD>(WAIT_OBJECT_0)) << "the process started by hand did not close";
    if (ByHandEnded == WAIT_OBJECT_0) {
        EXPECT_EQ(ExitCodeOf(ByHand.Get()), 0u);
    }
    EndLeftover(ByHand.Get(), ByHandId);

    EXPECT_EQ(kotest::RunProgram(Exe, L"/UnregServer", 60000), 0u);
    ForgetAppID(Id);
}

// The seed a program is asked for: its arguments first, then the registry value that servers
// started by COM read.
TEST(ProgramSeed, FromArgumentsThenRegistry) {
    constexpr wchar_t ProgID[] = L"Ko.Test.SeedProgram";
    const std::wstring Key = std::wstring(L"Software\\Korvel OPC\\") + ProgID;
    struct TCase {
        std::vector<std::wstring> Args;
        std::optional<uint64_t> Seed;
    } const Cases[] = {
        {{}, std::nullopt},
        {{L"/seed", L"42"}, 42},
        {{L"-Embedding", L"-SEED", L"0"}, 0},
        {{L"/seed", L"18446744073709551615"}, UINT64_MAX},
        {{L"/seed", L"18446744073709551616"}, std::nullopt},
        {{L"/seed", L"-1"}, std::nullopt},
        {{L"/seed", L"4x"}, std::nullopt},
        {{L"/seed"}, std::nullopt},
    };
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, Key.c_str());
    for (const TCase& Case : Cases)
        EXPECT_EQ(KoProgramSeed(Case.Args, ProgID), Case.Seed) << Case.Args.size();

    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, Key.c_str(), L"Seed", REG_SZ, L"77", 3 * sizeof(wchar_t)),
              ERROR_SUCCESS);
    EXPECT_EQ(KoProgramSeed({}, ProgID), std::optional<uint64_t>(77));
    EXPECT_EQ(KoProgramSeed({L"/seed", L"5"}, ProgID), std::optional<uint64_t>(5)); // the argument wins
    const DWORD Dword = 9;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, Key.c_str(), L"Seed", REG_DWORD, &Dword, sizeof Dword),
              ERROR_SUCCESS);
    EXPECT_EQ(KoProgramSeed({}, ProgID), std::optional<uint64_t>(9));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Key.c_str()), ERROR_SUCCESS);
}

} // namespace
