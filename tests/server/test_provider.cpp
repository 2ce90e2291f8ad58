#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KoClasses.h"
#include "KoMessagePump.h"
#include "KoNumVars.h"
#include "KoOPCProvider.h"
#include "KoProcessTesting.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "KoWindows.h"

using namespace std::chrono_literals;

namespace {

// What the test doubles saw, in order.
struct TJournal {
    std::mutex Lock;
    std::vector<std::wstring> Events;
    void Add(const std::wstring& Event) {
        std::lock_guard Guard(Lock);
        Events.push_back(Event);
    }
    std::vector<std::wstring> Snapshot() {
        std::lock_guard Guard(Lock);
        return Events;
    }
};

class TFakeGroup;

// A server object as the provider sees it: counted references (the test's own first), a name,
// groups, and records of what the provider asked of it. It deletes itself at the last release.
class TFakeClient : public IKoOPCProviderClient {
public:
    TFakeClient(TJournal& AJournal, std::wstring ATag) : Journal(AJournal), Tag(std::move(ATag)) {}

    ULONG ObjAddRef() override { return ++Refs; }
    ULONG ObjRelease() override {
        const LONG Left = --Refs;
        if (Left < 0) Journal.Add(Tag + L" over-released");
        if (Left == 0) {
            Journal.Add(Tag + L" destroyed");
            delete this;
        }
        return static_cast<ULONG>(std::max<LONG>(Left, 0));
    }
    std::wstring Name() const override {
        std::lock_guard Guard(Lock);
        return FName;
    }
    void SetName(const std::wstring& Value) override {
        std::lock_guard Guard(Lock);
        FName = Value;
    }
    std::wstring User() const override { return L"DOMAIN\\user"; }
    int GroupCount() const override { return static_cast<int>(GroupList.size()); }
    IKoOPCProviderGroup* Groups(int Index) const override;
    void AssignGroupsTo(TKoStrings& Target) override;
    void Clear() override { Journal.Add(Tag + L" cleared"); }
    void Shutdown(const std::wstring& Reason) override { Journal.Add(Tag + L" shutdown " + Reason); }
    void DetachProvider() override { Journal.Add(Tag + L" detached"); }

    TJournal& Journal;
    std::wstring Tag;
    std::atomic<LONG> Refs{1};
    std::vector<TFakeGroup*> GroupList;

private:
    mutable std::mutex Lock;
    std::wstring FName;
};

class TFakeGroup : public IKoOPCProviderGroup {
public:
    explicit TFakeGroup(IKoOPCProviderClient* AClient, std::wstring AName = L"G")
        : FClient(AClient), Name(AName) {}

    IKoOPCProviderClient* Client() const override { return FClient; }
    OPCHANDLE ServerHandle() const override { return Handle; }
    void SetServerHandle(OPCHANDLE Value) override { Handle = Value; }
    std::wstring GroupName() const override { return Name; }
    bool LocalTimeBias() const override { return UseLocalBias; }
    LONG TimeBias() const override { return Bias; }
    DWORD UpdateRate() const override { return Rate; }
    float PercentDeadband() const override { return Deadband; }
    bool Active() const override { return IsActive; }
    bool CallbackConnected() const override { return HasCallback; }
    int ItemCount() const override { return 7; }
    void AssignItemsTo(TKoStrings& Target) override { Target.Add(L"items of " + Name); }
    void HandleTransactionMessage(TKoOPCTransaction*, bool Perform) noexcept override {
        ++Handed;
        if (Perform) ++Finished;
    }
    int ItemCountOfVariable(const TKoVar* Variable) const override {
        return Variable == WatchedVariable ? ItemsOfVariable : 0;
    }
    void SetOnCreateDataChange(TKoOPCProviderGroupNotifyEvent Handler) override {
        OnCreateDataChange = Handler;
    }
    void Lock() override { ++LockDepth; }
    void Unlock() override { --LockDepth; }

    IKoOPCProviderClient* FClient;
    std::wstring Name;
    OPCHANDLE Handle = 0;
    bool UseLocalBias = false;
    LONG Bias = 0;
    DWORD Rate = 1000;
    float Deadband = 0;
    bool IsActive = true;
    bool HasCallback = true;
    std::atomic<int> Finished{0};
    std::atomic<int> Handed{0};
    const TKoVar* WatchedVariable = nullptr;
    int ItemsOfVariable = 0;
    TKoOPCProviderGroupNotifyEvent OnCreateDataChange;
    int LockDepth = 0;
};

IKoOPCProviderGroup* TFakeClient::Groups(int Index) const {
    return GroupList.at(static_cast<size_t>(Index));
}

void TFakeClient::AssignGroupsTo(TKoStrings& Target) {
    Target.Clear();
    for (TFakeGroup* Group : GroupList) Target.Add(Group->Name);
}

struct TFakeClassObject : IKoOPCProviderClassObject {
    void Activate() override { ++Activated; }
    IKoOPCProviderClient* CreateClient() override { return nullptr; }
    void UpdateRegistry(bool Register) override { Journal.push_back(Register); }
    std::atomic<int> Activated{0};
    std::vector<bool> Journal;
};

struct TFakeAddressSpace : IKoOPCProviderAddressSpace {
    explicit TFakeAddressSpace(std::vector<bool>& ARefreshes) : Refreshes(ARefreshes) {}
    void Refresh(bool Force) override { Refreshes.push_back(Force); }
    std::vector<bool>& Refreshes;
};

// An object that records the thread it is destroyed on.
struct TTrackedObject : TKoMainThreadObject {
    explicit TTrackedObject(std::atomic<DWORD>& AThread) : Thread(AThread) {}
    ~TTrackedObject() override { Thread = GetCurrentThreadId(); }
    std::atomic<DWORD>& Thread;
};

// Runs Work on N threads and waits (bounded, without pumping messages) until all are done: a
// worker that waited for the main thread would make the wait time out (false).
bool RunOnThreads(int N, const std::function<void(int)>& Work, DWORD BoundMs = 10000) {
    return kotest::RunMtaThreads(N, Work, BoundMs, [] {});
}

class ProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        Provider = std::make_unique<TKoOPCProvider>(
            [this](TKoOPCProvider&) { return std::make_unique<TFakeAddressSpace>(Refreshes); });
        Provider->SetClassObjectFactory([this](TKoOPCProvider&) { return &ClassObject; });
        Provider->OnLog = [this](TKoOPCProvider*, const std::wstring& Line) {
            LogThreads.insert(GetCurrentThreadId());
            Lines.push_back(Line);
        };
    }
    void TearDown() override { Provider.reset(); }

    // Lines whose text (after the time stamp) contains Text.
    int CountLines(const std::wstring& Text) const {
        return static_cast<int>(std::count_if(Lines.begin(), Lines.end(),
                                              [&](const std::wstring& L) { return L.find(Text) != L.npos; }));
    }
    void SetIdentity() {
        Provider->SetCLSID(L"{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}");
        Provider->SetServerName(L"Korvel.OPC.Simulation");
        Provider->SetDescription(L"Korvel OPC Simulation Server");
        Provider->SetVendor(L"Korvel OPC Ltd");
        Provider->SetVendorInfo(L"Simulation OPC Server by Korvel OPC Ltd");
        Provider->SetVersion(0);
    }
    void StartLog() {
        Provider->ActivityLog().SetActive(true);
        Provider->ActivityLog().SetMaxLines(100000);
    }

    TJournal Journal;
    std::vector<bool> Refreshes;
    TFakeClassObject ClassObject;
    std::vector<std::wstring> Lines;
    std::set<DWORD> LogThreads;
    std::unique_ptr<TKoOPCProvider> Provider;
};

TEST_F(ProviderTest, NewProviderIsNotConfiguredAndHasNothing) {
    EXPECT_EQ(Provider->State(), OPC_STATUS_NOCONFIG);
    EXPECT_TRUE(Provider->AutoRun());
    EXPECT_EQ(Provider->ClientCount(), 0);
    EXPECT_FALSE(Provider->Connected());
    EXPECT_EQ(Provider->GroupCount(), 0);
    EXPECT_FALSE(Provider->ReadOnly());
    EXPECT_EQ(Provider->ThreadingModel(), tmBoth);
    EXPECT_NE(Provider->Handle(), nullptr);
    EXPECT_NEAR(Provider->StartTime(), NowUTC(), 60.0 / 86400);
    EXPECT_FALSE(Provider->ActivityLog().Active());
    EXPECT_NE(Provider->AddressSpace(), nullptr);
    EXPECT_EQ(Provider->NextHandle(), 1u);
    EXPECT_EQ(Provider->NextHandle(), 2u);
    EXPECT_THROW(Provider->Clients(0), EKoError);
}

TEST_F(ProviderTest, HandlesNeverRepeatAcrossThreads) {
    constexpr int Threads = 4, PerThread = 2000;
    std::vector<std::vector<OPCHANDLE>> Got(Threads);
    ASSERT_TRUE(RunOnThreads(Threads, [&](int T) {
        for (int I = 0; I < PerThread; ++I) Got[static_cast<size_t>(T)].push_back(Provider->NextHandle());
    }));
    std::set<OPCHANDLE> All;
    for (const auto& List : Got) {
        EXPECT_TRUE(std::is_sorted(List.begin(), List.end()));
        All.insert(List.begin(), List.end());
    }
    ASSERT_EQ(All.size(), static_cast<size_t>(Threads * PerThread));
    EXPECT_EQ(*All.begin(), 1u);
    EXPECT_EQ(*All.rbegin(), static_cast<OPCHANDLE>(Threads * PerThread));
}

TEST_F(ProviderTest, InitializeQueuesTheActivationAndRunHappensOnce) {
    SetIdentity();
    int Activations = 0;
    Provider->OnActivate = [&](TKoOPCProvider* Sender) {
        // The address space is refreshed and the state is running before the event.
        EXPECT_EQ(Sender->State(), OPC_STATUS_RUNNING);
        EXPECT_EQ(Refreshes.size(), 1u);
        ++Activations;
    };
    Provider->Initialize();
    EXPECT_EQ(Provider->State(), OPC_STATUS_NOCONFIG);
    EXPECT_EQ(ClassObject.Activated.load(), 0);
    EXPECT_EQ(Provider->ObjectFactory(), &ClassObject);

    ASSERT_TRUE(kotest::PumpUntil([&] { return Provider->State() == OPC_STATUS_RUNNING; }, 5s));
    Provider->Run();
    EXPECT_EQ(Activations, 1);
    EXPECT_EQ(ClassObject.Activated.load(), 1);
    EXPECT_EQ(Refreshes, std::vector<bool>{false});
    // The activity log is inactive: OnLog still fires, with an empty entry.
    EXPECT_EQ(Lines, std::vector<std::wstring>{L""});

    Provider->Register();
    Provider->Unregister();
    EXPECT_EQ(ClassObject.Journal, (std::vector<bool>{true, false}));
}

TEST_F(ProviderTest, StartUpLineCarriesTheIdentity) {
    SetIdentity();
    StartLog();
    Provider->Run();
    Provider->Run();
    ASSERT_EQ(CountLines(L"Server started."), 1);
    const std::wstring& Line = Lines[0];
    const std::wstring Expected =
        L" Server started. ProgID=Korvel.OPC.Simulation, "
        L"CLSID={3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}, Version=0, Vendor=Korvel OPC "
        L"Ltd, VendorInfo=Simulation OPC Server by Korvel OPC Ltd, ReadOnly=False";
    ASSERT_GE(Line.size(), Expected.size());
    EXPECT_EQ(Line.substr(Line.size() - Expected.size()), Expected);
    EXPECT_EQ(Line.size(), Expected.size() + 23); // "yyyy/mm/dd hh:nn:ss.zzz"
    EXPECT_EQ(Provider->ActivityLog().Buffer().Count(), 1);
}

TEST_F(ProviderTest, WithoutAutoRunInitializeLeavesTheServerUnconfigured) {
    Provider->SetAutoRun(false);
    Provider->Initialize();
    kotest::PumpFor(200ms);
    EXPECT_EQ(Provider->State(), OPC_STATUS_NOCONFIG);
    EXPECT_EQ(ClassObject.Activated.load(), 0);
    EXPECT_TRUE(Lines.empty());
}

TEST_F(ProviderTest, IdentityIsFixedWhileRunningOrSuspended) {
    const GUID Other = {0x8E16B2F0, 0xD473, 0x4A9C, {0xB5, 0xE8, 0x0F, 0x29, 0xA6, 0xC3, 0x1D, 0x57}};
    SetIdentity();
    // Before running everything may change.
    Provider->SetReadOnly(true);
    Provider->SetReadOnly(false);
    Provider->SetClassID(Other);
    EXPECT_EQ(Provider->CLSID(), L"{8E16B2F0-D473-4A9C-B5E8-0F29A6C31D57}");
    Provider->SetCLSID(L"{3c9a41d7-62b0-4e58-a1f3-5d07c8e2b914}");
    EXPECT_EQ(Provider->CLSID(), L"{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}");
    for (const wchar_t* Bad :
         {L"3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914", L"Korvel.OPC.Simulation", L"{nonsense}", L""})
        EXPECT_THROW(Provider->SetCLSID(Bad), EKoOleError) << Bad;
    EXPECT_EQ(Provider->CLSID(), L"{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}");

    Provider->Run();
    struct TCase {
        const wchar_t* Name;
        std::function<void()> SameValue;
        std::function<void()> OtherValue;
    };
    const TCase Cases[] = {
        {L"ClassID/CLSID", [&] { Provider->SetCLSID(L"{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}"); },
         [&] { Provider->SetClassID(Other); }},
        {L"ClassID/CLSID", [&] { Provider->SetClassID(Provider->ClassID()); },
         [&] { Provider->SetCLSID(L"{8E16B2F0-D473-4A9C-B5E8-0F29A6C31D57}"); }},
        {L"ServerName", [&] { Provider->SetServerName(L"Korvel.OPC.Simulation"); },
         [&] { Provider->SetServerName(L"Korvel.OPC.Other"); }},
        {L"ReadOnly", [&] { Provider->SetReadOnly(false); }, [&] { Provider->SetReadOnly(true); }},
    };
    for (int Round = 0; Round < 2; ++Round) {
        for (const TCase& Case : Cases) {
            EXPECT_NO_THROW(Case.SameValue()) << Case.Name;
            try {
                Case.OtherValue();
                ADD_FAILURE() << "no error for " << Case.Name;
            } catch (const EKoOPCProviderException& E) {
                EXPECT_EQ(E.Message(), KoFormat(L"Cannot change TKoOPCProvider.%s when running.", Case.Name));
            }
        }
        EXPECT_EQ(Provider->CLSID(), L"{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}");
        EXPECT_EQ(Provider->ServerName(), L"Korvel.OPC.Simulation");
        EXPECT_FALSE(Provider->ReadOnly());
        Provider->Shutdown(L"stop"); // suspended: still fixed
        ASSERT_EQ(Provider->State(), OPC_STATUS_SUSPENDED);
    }
    // The other properties are stored without checks.
    Provider->SetVendor(L"v");
    Provider->SetVersion(3);
    EXPECT_EQ(Provider->Vendor(), L"v");
    EXPECT_EQ(Provider->Version(), 3);
}

// A variable whose value is an array of doubles.
class TArrayFloat : public TKoFloat {
public:
    TArrayFloat() : TKoFloat(nullptr) {}
    bool GetPropIsArray(TKoVarPropType Prop) const override { return Prop == vpValue; }
};

TEST_F(ProviderTest, AccessRightsFollowTheVariableTheProviderAndTheEvent) {
    TKoFloat Var(nullptr);
    TKoFloat Locked(nullptr);
    Locked.SetReadOnly(true);
    TKoComponent Module(nullptr);

    int Raised = 0;
    Provider->OnItemAccessRights = [&](TKoOPCProvider*, TKoComponent*, TKoVarPropType, TKoOPCAccessRights&) {
        ++Raised;
    };
    struct TCase {
        TKoComponent* Component;
        TKoVarPropType Prop;
        TKoOPCAccessRights Expected;
        bool EventRaised;
    };
    const TCase Cases[] = {
        {&Var, vpValue, arReadWrite, true},        {&Var, vpSetpoint, arReadWrite, true},
        {&Var, vpAlarmLow, arReadWrite, true},     {&Var, vpWarnHigh, arReadWrite, true},
        {&Var, vpCaption, arReadOnly, true},       {&Var, vpMean, arReadOnly, true},
        {&Var, vpOther2, arReadOnly, true},        {&Locked, vpValue, arReadOnly, true},
        {&Locked, vpAlarmHigh, arReadWrite, true}, {&Module, vpValue, arReadOnly, false},
        {nullptr, vpValue, arReadOnly, false},
    };
    for (const TCase& Case : Cases) {
        Raised = 0;
        EXPECT_EQ(Provider->GetComponentAccessRights(Case.Component, Case.Prop), Case.Expected)
            << KoVarPropTypeName(Case.Prop);
        EXPECT_EQ(Raised, Case.EventRaised ? 1 : 0);
    }

    Provider->OnItemAccessRights = [](TKoOPCProvider*, TKoComponent*, TKoVarPropType Prop,
                                      TKoOPCAccessRights& R) {
        if (Prop == vpCaption) R = arWriteOnly;
    };
    EXPECT_EQ(Provider->GetComponentAccessRights(&Var, vpCaption), arWriteOnly);

    Provider->SetReadOnly(true);
    for (TKoVarPropType Prop : {vpValue, vpSetpoint, vpCaption})
        EXPECT_EQ(Provider->GetComponentAccessRights(&Var, Prop), arReadOnly);
}

TEST_F(ProviderTest, BrowseDataTypesOfVariablesAndOtherComponents) {
    TKoFloat Var(nullptr);
    TArrayFloat Array;
    TKoComponent Module(nullptr);
    EXPECT_EQ(Provider->GetComponentDataType(&Var, vpValue), VT_R8);
    EXPECT_EQ(Provider->GetComponentDataType(&Var, vpCaption), VT_BSTR);
    EXPECT_EQ(Provider->GetComponentDataType(&Array, vpValue), VT_R8 | VT_ARRAY);
    EXPECT_EQ(Provider->GetComponentDataType(&Array, vpEngUnit), VT_BSTR);
    EXPECT_EQ(Provider->GetComponentDataType(&Module, vpValue), VT_EMPTY);

    std::vector<TKoComponent*> Seen;
    Provider->OnGetItemDataType = [&](TKoOPCProvider*, TKoComponent* C, TKoVarPropType, VARTYPE& Type) {
        Seen.push_back(C);
        if (Type == VT_EMPTY) Type = VT_I4;
    };
    EXPECT_EQ(Provider->GetComponentDataType(&Module, vpValue), VT_I4);
    EXPECT_EQ(Provider->GetComponentDataType(&Var, vpValue), VT_R8);
    EXPECT_EQ(Seen, (std::vector<TKoComponent*>{&Module, &Var}));
}

TEST_F(ProviderTest, WorkerLinesArriveOnTheMainThreadCompleteAndInOrder) {
    StartLog();
    constexpr int Threads = 4, PerThread = 250;
    // The workers finish before the main thread handles any message: logging never waits.
    ASSERT_TRUE(RunOnThreads(Threads, [&](int T) {
        for (int I = 0; I < PerThread; ++I) Provider->Log(L"worker %d line %d", T, I);
        Provider->Log(L"bad %d", L"text"); // a line that cannot be formatted is dropped
    }));
    EXPECT_TRUE(Lines.empty());
    ASSERT_TRUE(kotest::PumpUntil([&] { return Lines.size() >= Threads * PerThread; }, 10s)) << Lines.size();
    kotest::PumpFor(50ms);
    ASSERT_EQ(Lines.size(), static_cast<size_t>(Threads * PerThread));
    EXPECT_EQ(LogThreads, std::set<DWORD>{GetCurrentThreadId()});

    std::map<int, int> Next;
    for (const std::wstring& Line : Lines) {
        int T = -1, I = -1;
        ASSERT_EQ(swscanf(Line.c_str() + 24, L"worker %d line %d", &T, &I), 2) << Line;
        EXPECT_EQ(Line.substr(24), KoFormat(L"worker %d line %d", T, I));
        EXPECT_EQ(I, Next[T]++) << "thread " << T;
    }
    for (int T = 0; T < Threads; ++T) EXPECT_EQ(Next[T], PerThread);
    EXPECT_EQ(Provider->ActivityLog().Buffer().Count(), Threads * PerThread);
}

TEST_F(ProviderTest, WorkerLinesBeyondTheQueuedTextAreDroppedAndCounted) {
    StartLog();
    // Lines of a million characters each (a data change of 100,000 items logs about that much):
    // the queue keeps 7 of them (16 MB) while the main thread does not run, then drops and counts
    // every line until the main thread has taken the queue.
    const std::wstring Long(1u << 20, L'7');
    ASSERT_TRUE(RunOnThreads(1, [&](int) {
        for (int I = 0; I < 20; ++I) Provider->Log(L"%d %s", I, Long);
        Provider->Log(L"short");
    }));
    ASSERT_TRUE(kotest::PumpUntil([&] { return !Lines.empty(); }, 10s));
    kotest::PumpFor(50ms);
    ASSERT_EQ(Lines.size(), 8u);
    for (int I = 0; I < 7; ++I) EXPECT_EQ(Lines[I].substr(24, 3), std::to_wstring(I) + L" 7") << I;
    EXPECT_EQ(Lines.back().substr(24),
              L"14 log lines of other threads were dropped: the main thread did not keep up.");
    // Room again once the main thread has taken the queue.
    Lines.clear();
    ASSERT_TRUE(RunOnThreads(1, [&](int) { Provider->Log(L"after"); }));
    ASSERT_TRUE(kotest::PumpUntil([&] { return !Lines.empty(); }, 10s));
    EXPECT_EQ(Lines.back().substr(24), L"after");
}

TEST_F(ProviderTest, ClientsGetPositionNamesAndLeaveThroughTheMainThread) {
    StartLog();
    std::vector<std::wstring> Connects, Disconnects;
    Provider->OnConnect = [&](TKoOPCProvider*, IKoOPCProviderClient* C) { Connects.push_back(C->Name()); };
    Provider->OnDisconnect = [&](TKoOPCProvider* P, IKoOPCProviderClient* C) {
        EXPECT_EQ(P->IndexOfClient(C), -1); // already out of the list
        Disconnects.push_back(C->Name());
    };
    auto* First = new TFakeClient(Journal, L"first");
    auto* Second = new TFakeClient(Journal, L"second");
    auto* Third = new TFakeClient(Journal, L"third");
    auto* Named = new TFakeClient(Journal, L"named");
    Named->SetName(L"Mine");

    EXPECT_EQ(Provider->AddClient(First), 0);
    EXPECT_EQ(Provider->AddClient(Second), 1);
    EXPECT_EQ(First->Refs.load(), 2);
    EXPECT_EQ(First->Name(), L"Client 0");
    EXPECT_EQ(Second->Name(), L"Client 1");
    EXPECT_TRUE(Provider->Connected());

    // On the main thread the disconnection runs at once.
    EXPECT_EQ(Provider->RemoveClient(First), 0);
    EXPECT_EQ(Provider->ClientCount(), 1);
    EXPECT_EQ(First->Refs.load(), 1);
    EXPECT_EQ(Journal.Snapshot(), (std::vector<std::wstring>{L"first cleared", L"first detached"}));
    EXPECT_EQ(Provider->RemoveClient(First), -1);

    // Positions are reused, and so are default names.
    EXPECT_EQ(Provider->AddClient(Third), 1);
    EXPECT_EQ(Third->Name(), L"Client 1");
    EXPECT_EQ(Provider->AddClient(Named), 2);
    EXPECT_EQ(Named->Name(), L"Mine");
    EXPECT_EQ(Connects, (std::vector<std::wstring>{L"Client 0", L"Client 1", L"Client 1", L"Mine"}));
    EXPECT_EQ(Disconnects, std::vector<std::wstring>{L"Client 0"});
    EXPECT_EQ(CountLines(L" Client 'Client 1' connected."), 2);
    EXPECT_EQ(CountLines(L" Client 'Client 0' disconnected."), 1);

    TKoStringList List;
    Provider->AssignClientsTo(List);
    EXPECT_EQ(List.Lines(), (std::vector<std::wstring>{L"Client 1", L"Client 1", L"Mine"}));
    EXPECT_EQ(List.Objects<IKoOPCProviderClient>(2), Named);

    First->ObjRelease();
    EXPECT_EQ(Journal.Snapshot().back(), L"first destroyed");
    Provider.reset(); // shuts down: the rest leave too
    for (TFakeClient* C : {Second, Third, Named}) EXPECT_EQ(C->Refs.load(), 1) << C->Tag;
    for (TFakeClient* C : {Second, Third, Named}) C->ObjRelease();
    for (const std::wstring& Event : Journal.Snapshot())
        EXPECT_EQ(Event.find(L"over-released"), std::wstring::npos);
}

TEST_F(ProviderTest, RemovalFromWorkersIsQueuedAndHappensOnce) {
    auto* Client = new TFakeClient(Journal, L"c");
    Provider->AddClient(Client);
    DWORD DisconnectThread = 0;
    int Disconnects = 0;
    Provider->OnDisconnect = [&](TKoOPCProvider*, IKoOPCProviderClient*) {
        DisconnectThread = GetCurrentThreadId();
        ++Disconnects;
    };
    std::atomic<int> Positions{0};
    // Two removals of the same client race: both queue, one disconnects.
    ASSERT_TRUE(RunOnThreads(2, [&](int) { Positions += Provider->RemoveClient(Client) + 1; }));
    EXPECT_EQ(Positions.load(), 2);
    EXPECT_EQ(Provider->ClientCount(), 1); // nothing happened before the main thread got to it
    ASSERT_TRUE(kotest::PumpUntil([&] { return Client->Refs == 1; }, 5s)) << Client->Refs;
    EXPECT_EQ(Provider->ClientCount(), 0);
    EXPECT_EQ(Disconnects, 1);
    EXPECT_EQ(DisconnectThread, GetCurrentThreadId());
    Provider.reset();
    Client->ObjRelease();
    const auto Events = Journal.Snapshot();
    EXPECT_EQ(std::count(Events.begin(), Events.end(), L"c destroyed"), 1);
    EXPECT_EQ(std::count(Events.begin(), Events.end(), L"c over-released"), 0);
}

TEST_F(ProviderTest, ShutdownTellsTheLastClientFirstAndDisconnectsAll) {
    std::wstring ShutdownReason;
    Provider->OnShutdown = [&](TKoOPCProvider* P, const std::wstring& Reason) {
        EXPECT_EQ(P->ClientCount(), 0);
        ShutdownReason = Reason;
    };
    Provider->SetAutoRun(false);
    Provider->Initialize();
    Provider->Run();
    auto* First = new TFakeClient(Journal, L"first");
    auto* Second = new TFakeClient(Journal, L"second");
    Provider->AddClient(First);
    Provider->AddClient(Second);
    First->ObjRelease(); // only the provider holds the first one now

    Provider->Shutdown(L"Service stopped");
    EXPECT_EQ(Journal.Snapshot(),
              (std::vector<std::wstring>{L"second shutdown Service stopped", L"second cleared",
                                         L"second detached", L"first shutdown Service stopped",
                                         L"first cleared", L"first detached", L"first destroyed"}));
    EXPECT_EQ(Provider->ClientCount(), 0);
    EXPECT_EQ(Provider->State(), OPC_STATUS_SUSPENDED);
    EXPECT_FALSE(Provider->AutoRun());
    EXPECT_EQ(ShutdownReason, L"Service stopped");
    EXPECT_EQ(ClassObject.Activated.load(), 2); // by Run, and again to release waiting creations
    EXPECT_EQ(Second->Refs.load(), 1);

    // A second shutdown finds nobody and does the rest again.
    Provider->Shutdown(L"again");
    EXPECT_EQ(ShutdownReason, L"again");
    EXPECT_EQ(ClassObject.Activated.load(), 3);
    Provider.reset(); // before the handlers' captures go
    Second->ObjRelease();
}

TEST_F(ProviderTest, DisabledSinkShutsDownAndActivationRespectsAutoRun) {
    auto* Client = new TFakeClient(Journal, L"c");
    Provider->AddClient(Client);
    SendMessageW(Provider->Handle(), WM_ENABLE, FALSE, 0);
    EXPECT_EQ(Provider->State(), OPC_STATUS_SUSPENDED);
    EXPECT_EQ(Provider->ClientCount(), 0);
    SendMessageW(Provider->Handle(), WM_ACTIVATEAPP, TRUE, 0); // AutoRun is off now
    EXPECT_EQ(Provider->State(), OPC_STATUS_SUSPENDED);
    EXPECT_EQ(SendMessageW(Provider->Handle(), WM_USER + 2, 0, 0), -1);
    Client->ObjRelease();
}

TEST_F(ProviderTest, GroupsAreCountedAndGetHandlesFromTheSharedCounter) {
    auto* Client = new TFakeClient(Journal, L"c");
    Provider->AddClient(Client);
    TFakeGroup A(Client, L"A"), B(Client, L"B");
    std::vector<std::wstring> Events;
    Provider->OnAddGroup = [&](TKoOPCProvider* P, IKoOPCProviderClient* C, IKoOPCProviderGroup* G) {
        EXPECT_EQ(C, Client);
        Events.push_back(L"add " + G->GroupName() + L" " + std::to_wstring(G->ServerHandle()) + L" " +
                         std::to_wstring(P->GroupCount()));
    };
    Provider->OnRemoveGroup = [&](TKoOPCProvider* P, IKoOPCProviderClient*, IKoOPCProviderGroup* G) {
        Events.push_back(L"remove " + G->GroupName() + L" " + std::to_wstring(P->GroupCount()));
    };
    Provider->AddGroup(&A);
    EXPECT_EQ(Provider->NextHandle(), 2u); // an item handle in between
    Provider->AddGroup(&B);
    Provider->RemoveGroup(&A);
    EXPECT_EQ(Provider->GroupCount(), 1);
    EXPECT_EQ(Events, (std::vector<std::wstring>{L"add A 1 1", L"add B 3 2", L"remove A 2"}));
    Provider->RemoveGroup(&B);
    Client->ObjRelease();
}

TEST_F(ProviderTest, ReportsOfListedClientsAndTheirGroups) {
    auto* Client = new TFakeClient(Journal, L"c");
    auto* Stranger = new TFakeClient(Journal, L"s");
    Provider->AddClient(Client);
    TFakeGroup Local(Client, L"Local"), Biased(Client, L"Biased"), Foreign(Stranger, L"Foreign");
    Local.UseLocalBias = true;
    Local.Deadband = 0.1f;
    Local.Rate = 250;
    Biased.Bias = -60;
    Biased.Deadband = 12.5f;
    Biased.IsActive = false;
    Client->GroupList = {&Local, &Biased};

    TKoStringList Info{L"Keep=1", L"Name=old"};
    Provider->GetClientInfo(Client, Info);
    EXPECT_EQ(Info.Lines(), (std::vector<std::wstring>{L"Keep=1", L"Name=Client 0", L"User=DOMAIN\\user",
                                                       L"GroupCount=2"}));
    TKoStringList GroupInfo;
    Provider->GetGroupInfo(&Local, GroupInfo);
    EXPECT_EQ(GroupInfo.Lines(),
              (std::vector<std::wstring>{L"Name=Local", L"Time Bias=Local", L"Update Rate=250",
                                         L"Percent Deadband=0.1", L"Active=True", L"Callback Connected=True",
                                         L"ItemCount=7"}));
    Provider->GetGroupInfo(&Biased, GroupInfo);
    EXPECT_EQ(GroupInfo.Strings(1), L"Time Bias=-60");
    EXPECT_EQ(GroupInfo.Strings(3), L"Percent Deadband=12.5");
    EXPECT_EQ(GroupInfo.Strings(4), L"Active=False");

    TKoStringList Groups, Items;
    Provider->GetClientGroups(Client, Groups);
    EXPECT_EQ(Groups.Lines(), (std::vector<std::wstring>{L"Local", L"Biased"}));
    Provider->GetGroupItems(&Biased, Items);
    EXPECT_EQ(Items.Lines(), std::vector<std::wstring>{L"items of Biased"});

    // Nothing is reported of a client that is not listed.
    TKoStringList Untouched{L"x"};
    Provider->GetClientInfo(Stranger, Untouched);
    Provider->GetClientGroups(Stranger, Untouched);
    Provider->GetGroupInfo(&Foreign, Untouched);
    Provider->GetGroupItems(&Foreign, Untouched);
    EXPECT_EQ(Untouched.Lines(), std::vector<std::wstring>{L"x"});

    Provider.reset();
    Client->ObjRelease();
    Stranger->ObjRelease();
}

TEST_F(ProviderTest, WriteTransactionsArePerformedOnlyForRunningListedClients) {
    auto* Client = new TFakeClient(Journal, L"c");
    auto* Stranger = new TFakeClient(Journal, L"s");
    Provider->AddClient(Client);
    TFakeGroup Mine(Client), Foreign(Stranger);
    std::atomic<DWORD> FreedOn{0};

    // Posted messages are handled in order: a freed marker posted last shows that the ones before
    // it were handled.
    auto PostAndDrain = [&](TFakeGroup& Group) {
        ASSERT_TRUE(
            PostMessageW(Provider->Handle(), PM_FINISHTRANSACTION, reinterpret_cast<WPARAM>(&Group), 0));
        FreedOn = 0;
        Provider->FreeObject(new TTrackedObject(FreedOn));
        ASSERT_TRUE(kotest::PumpUntil([&] { return FreedOn != 0; }, 5s));
    };
    PostAndDrain(Mine);
    EXPECT_EQ(Mine.Finished.load(), 0) << "not running yet";
    Provider->Run();
    PostAndDrain(Mine);
    PostAndDrain(Foreign);
    EXPECT_EQ(Mine.Finished.load(), 1);
    EXPECT_EQ(Foreign.Finished.load(), 0);
    // Every hand-over reaches its group, performed or not, so that the group can release a
    // waiting caller and free what it handed over.
    EXPECT_EQ(Mine.Handed.load(), 2);
    EXPECT_EQ(Foreign.Handed.load(), 1);

    // Objects freed from a worker are destroyed on the main thread.
    FreedOn = 0;
    ASSERT_TRUE(RunOnThreads(1, [&](int) { Provider->FreeObject(new TTrackedObject(FreedOn)); }));
    ASSERT_TRUE(kotest::PumpUntil([&] { return FreedOn != 0; }, 5s));
    EXPECT_EQ(FreedOn.load(), GetCurrentThreadId());

    Provider.reset();
    Client->ObjRelease();
    Stranger->ObjRelease();
}

// Removing groups of thousands of items hands thousands of objects to the main thread at once:
// every one is destroyed there, once, whether the main thread takes them in its message loop or
// the provider goes first.
TEST_F(ProviderTest, ObjectsFreedByWorkersInBulkAreDestroyedOnTheMainThread) {
    // Counts its destructions, and those that ran on another thread than the main one.
    struct TCountedObject : TKoMainThreadObject {
        TCountedObject(std::atomic<int>& ACount, std::atomic<int>& AElsewhere, DWORD AMainThread)
            : Count(ACount), Elsewhere(AElsewhere), MainThread(AMainThread) {}
        ~TCountedObject() override {
            ++Count;
            if (GetCurrentThreadId() != MainThread) ++Elsewhere;
        }
        std::atomic<int>& Count;
        std::atomic<int>& Elsewhere;
        DWORD MainThread;
    };
    const DWORD MainThread = GetCurrentThreadId();
    constexpr int kThreads = 4, kPerThread = 2500;
    // First taken by the message loop, then left queued for the provider's end.
    for (const bool Pump : {true, false}) {
        SCOPED_TRACE(Pump ? "message loop" : "provider's end");
        std::atomic<int> Count{0}, Elsewhere{0};
        ASSERT_TRUE(RunOnThreads(kThreads, [&](int) {
            for (int I = 0; I < kPerThread; ++I)
                Provider->FreeObject(new TCountedObject(Count, Elsewhere, MainThread));
        }));
        if (Pump) {
            EXPECT_TRUE(kotest::PumpUntil([&] { return Count == kThreads * kPerThread; }, 10s));
        } else {
            Provider.reset();
        }
        EXPECT_EQ(Count.load(), kThreads * kPerThread);
        EXPECT_EQ(Elsewhere.load(), 0);
    }
}

TEST_F(ProviderTest, SynchronizedDataChangeLocksCountsAndReleasesTheGroups) {
    TKoFloat Var(nullptr);
    auto* Client = new TFakeClient(Journal, L"c");
    Provider->AddClient(Client);
    TFakeGroup Two(Client, L"two"), One(Client, L"one"), Idle(Client, L"idle"), Slow(Client, L"slow"),
        Silent(Client, L"silent");
    for (TFakeGroup* G : {&Two, &One, &Idle, &Slow, &Silent}) {
        G->WatchedVariable = &Var;
        G->ItemsOfVariable = 1;
    }
    Two.ItemsOfVariable = 2;
    Idle.IsActive = false;
    Slow.Rate = 5000;
    Silent.HasCallback = false;
    Client->GroupList = {&Two, &One, &Idle, &Slow, &Silent};

    EXPECT_THROW(Provider->BeginSynchronizedDataChange(&Var, nullptr, 1000), EKoOPCProviderInvalidArg);
    std::vector<IKoOPCProviderGroup*> Groups;
    Provider->BeginSynchronizedDataChange(&Var, &Groups, -1);
    EXPECT_TRUE(Groups.empty());
    Provider->BeginSynchronizedDataChange(&Var, &Groups, 1000);
    EXPECT_EQ(Groups, (std::vector<IKoOPCProviderGroup*>{&Two, &Two, &One}));
    EXPECT_EQ(Two.LockDepth, 2);
    EXPECT_EQ(One.LockDepth, 1);
    EXPECT_FALSE(Slow.OnCreateDataChange);

    // Each entry reports one data change.
    Two.OnCreateDataChange(&Two);
    Two.OnCreateDataChange(&Two);
    One.OnCreateDataChange(&One);
    EXPECT_TRUE(Provider->WaitForSynchronizedDataChange(&Var, &Groups, 1000));
    EXPECT_EQ(Two.LockDepth, 2);
    // The count starts again: without new reports the wait times out, the groups locked again.
    One.OnCreateDataChange(&One);
    EXPECT_FALSE(Provider->WaitForSynchronizedDataChange(&Var, &Groups, 30));
    EXPECT_EQ(One.LockDepth, 1);

    Provider->EndSynchronizedDataChange(&Groups);
    EXPECT_TRUE(Groups.empty());
    EXPECT_EQ(Two.LockDepth, 0);
    EXPECT_FALSE(Two.OnCreateDataChange);
    EXPECT_TRUE(Provider->WaitForSynchronizedDataChange(&Var, &Groups, 10000));

    Provider.reset();
    Client->ObjRelease();
}

} // namespace
