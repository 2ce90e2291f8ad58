// The server as an OPC client on the same machine sees it: KoOPCServer.exe registered in this
// test's Wine prefix, started by COM on activation by ProgID and reached across the process
// boundary through KoOPCProxy.dll. The test process is that client, in the multi-threaded
// apartment; incoming calls (shutdown requests) arrive on its RPC threads.
//
// Every test starts without a server process and ends with none: the server was started by COM,
// so releasing the test's last server object must end it, which the fixture waits for.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "KoOpcClientTesting.h"
#include "KoProcessTesting.h"

namespace {

using namespace kotest;

// COM starts the registered program with its embedding switch; the program serves every client of
// the machine from one process and ends once the last server object is released.
TEST_F(OpcClient, ActivationStartsTheServerByComUntilItsLastClientLeaves) {
    ComPtr<IOPCServer> First = Connect();
    ASSERT_TRUE(First);
    ASSERT_TRUE(Server.Attached()) << "activation started no KoOPCServer process";
    std::wstring CommandLine = Server.CommandLine();
    std::transform(CommandLine.begin(), CommandLine.end(), CommandLine.begin(),
                   [](wchar_t C) { return static_cast<wchar_t>(std::towlower(C)); });
    EXPECT_TRUE(CommandLine.find(L"-embedding") != std::wstring::npos ||
                CommandLine.find(L"/embedding") != std::wstring::npos)
        << Utf8(CommandLine);

    ComPtr<IOPCServer> Second = Connect();
    ASSERT_TRUE(Second);
    EXPECT_EQ(kotest::ProcessesOf(kServerExe), std::vector<DWORD>{Server.Id()}) << "one process serves both";

    First.Reset();
    // The second client still reaches the same, running server.
    HRESULT Result = E_UNEXPECTED;
    ServerStatus Status = StatusOf(Second.Get(), Result);
    ASSERT_EQ(Result, S_OK);
    EXPECT_EQ(Status->dwServerState, OPC_STATUS_RUNNING);

    Second.Reset();
    DWORD ExitCode = 99;
    ASSERT_TRUE(Server.WaitForEnd(kServerEndBoundMs, ExitCode)) << "the server outlived its last client";
    EXPECT_EQ(ExitCode, 0u);
}

TEST_F(OpcClient, StatusOfAFreshConnection) {
    ComPtr<IOPCServer> Opc = Connect();
    ASSERT_TRUE(Opc);
    FILETIME Before{};
    GetSystemTimeAsFileTime(&Before);
    HRESULT Result = E_UNEXPECTED;
    ServerStatus Status = StatusOf(Opc.Get(), Result);
    FILETIME After{};
    GetSystemTimeAsFileTime(&After);
    ASSERT_EQ(Result, S_OK);
    ASSERT_TRUE(Status);

    EXPECT_EQ(Status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(Status->dwGroupCount, 0u);
    EXPECT_EQ(Status->dwBandWidth, 0u);
    ASSERT_NE(Status->szVendorInfo, nullptr);
    EXPECT_EQ(std::wstring(Status->szVendorInfo), kVendorInfo);
    // From the program's version resource, file version 1.8.0.0.
    EXPECT_EQ(Status->wMajorVersion, 1);
    EXPECT_EQ(Status->wMinorVersion, 8);
    EXPECT_EQ(Status->wBuildNumber, 0);
    // No data change has reached this client yet.
    EXPECT_EQ(Ticks(Status->ftLastUpdateTime), 0u);
    // UTC times of the same machine: the server started before it answered, and it answered
    // within the call (a second's slack for clock granularity).
    constexpr ULONGLONG Second = 10'000'000;
    EXPECT_NE(Ticks(Status->ftStartTime), 0u);
    EXPECT_LE(Ticks(Status->ftStartTime), Ticks(Status->ftCurrentTime));
    EXPECT_GE(Ticks(Status->ftCurrentTime) + Second, Ticks(Before));
    EXPECT_LE(Ticks(Status->ftCurrentTime), Ticks(After) + Second);
}

TEST_F(OpcClient, LocaleIsTheSystemDefaultOnly) {
    ComPtr<IOPCServer> Opc = Connect();
    ASSERT_TRUE(Opc);
    ComPtr<IOPCCommon> Common;
    ASSERT_EQ(Opc.As(&Common), S_OK);

    EXPECT_EQ(Common->SetLocaleID(1033), E_INVALIDARG);
    EXPECT_EQ(Common->SetLocaleID(LOCALE_SYSTEM_DEFAULT), S_OK);
    LCID Locale = 0;
    EXPECT_EQ(Common->GetLocaleID(&Locale), S_OK);
    EXPECT_EQ(Locale, static_cast<LCID>(LOCALE_SYSTEM_DEFAULT));

    DWORD Count = 0;
    LCID* Raw = nullptr;
    EXPECT_EQ(Common->QueryAvailableLocaleIDs(&Count, &Raw), S_OK);
    std::unique_ptr<LCID, TaskMemFreer> Locales(Raw);
    ASSERT_EQ(Count, 1u);
    ASSERT_TRUE(Locales);
    EXPECT_EQ(Locales.get()[0], static_cast<LCID>(LOCALE_SYSTEM_DEFAULT));
}

// The short texts through both interfaces (the string crosses the wire through the mended proxy
// code); the locale argument is not looked at.
TEST_F(OpcClient, ErrorStrings) {
    struct Case {
        HRESULT Code;
        const wchar_t* Text;
    };
    const Case Cases[] = {
        {S_OK, L"OK"},
        {OPC_E_DUPLICATENAME, L"Duplicate name"},
        {OPC_E_UNKNOWNITEMID, L"Unknown ItemID"},
        {OPC_E_INVALID_PID, L"Invalid Property ID"},
        // No table entry and no text of the system's: the generic form.
        {static_cast<HRESULT>(0xE0001234L), L"OLE error E0001234"},
    };
    ComPtr<IOPCServer> Opc = Connect();
    ASSERT_TRUE(Opc);
    ComPtr<IOPCCommon> Common;
    ASSERT_EQ(Opc.As(&Common), S_OK);
    for (const Case& C : Cases) {
        SCOPED_TRACE(Hex(C.Code));
        for (LCID Locale : {LCID(1033), LCID(0x0407)}) {
            LPWSTR Raw = nullptr;
            EXPECT_EQ(Opc->GetErrorString(C.Code, Locale, &Raw), S_OK);
            EXPECT_EQ(Text(TaskString(Raw)), C.Text);
        }
        LPWSTR Raw = nullptr;
        EXPECT_EQ(Common->GetErrorString(C.Code, &Raw), S_OK);
        EXPECT_EQ(Text(TaskString(Raw)), C.Text);
    }
}

// Default names take the letter after the count of groups and skip names in use: with GroupA
// removed the count is 1, GroupB is taken, so the next is GroupC.
TEST_F(OpcClient, DefaultGroupNamesSkipNamesInUse) {
    ComPtr<IOPCServer> Opc = Connect();
    ASSERT_TRUE(Opc);
    AddedGroup A = AddGroup(Opc.Get(), L"");
    AddedGroup B = AddGroup(Opc.Get(), L"");
    ASSERT_EQ(A.Result, S_OK);
    ASSERT_EQ(B.Result, S_OK);
    EXPECT_EQ(StateOf(A.Group.Get()).first, L"GroupA");
    EXPECT_EQ(StateOf(B.Group.Get()).first, L"GroupB");
    EXPECT_NE(A.ServerHandle, B.ServerHandle);
    // The update rate is taken as requested, without revision.
    EXPECT_EQ(A.RevisedRate, 1000u);

    A.Group.Reset();
    EXPECT_EQ(Opc->RemoveGroup(A.ServerHandle, FALSE), S_OK);
    AddedGroup C = AddGroup(Opc.Get(), L"");
    ASSERT_EQ(C.Result, S_OK);
    EXPECT_EQ(StateOf(C.Group.Get()).first, L"GroupC");

    // Default names are per connection.
    ComPtr<IOPCServer> Other = Connect();
    ASSERT_TRUE(Other);
    AddedGroup OtherA = AddGroup(Other.Get(), L"");
    ASSERT_EQ(OtherA.Result, S_OK);
    EXPECT_EQ(StateOf(OtherA.Group.Get()).first, L"GroupA");
}

TEST_F(OpcClient, GroupNamesAreUniqueAndCaseSensitive) {
    ComPtr<IOPCServer> Opc = Connect();
    ASSERT_TRUE(Opc);
    AddedGroup Tank = AddGroup(Opc.Get(), L"Tank");
    ASSERT_EQ(Tank.Result, S_OK);

    AddedGroup Again = AddGroup(Opc.Get(), L"Tank");
    EXPECT_EQ(Again.Result, OPC_E_DUPLICATENAME);
    EXPECT_TRUE(Again.UnknownCleared) << "a failed AddGroup must leave ppUnk empty";
    EXPECT_EQ(GroupCount(Opc.Get()), 1);

    AddedGroup Lower = AddGroup(Opc.Get(), L"tank");
    ASSERT_EQ(Lower.Result, S_OK);
    EXPECT_NE(Lower.ServerHandle, Tank.ServerHandle);

    struct Lookup {
        const wchar_t* Name;
        HRESULT Result;
        OPCHANDLE ServerHandle;
    };
    const Lookup Lookups[] = {
        {L"Tank", S_OK, Tank.ServerHandle},
        {L"tank", S_OK, Lower.ServerHandle},
        {L"TANK", E_INVALIDARG, 0},
        {L"", E_INVALIDARG, 0},
    };
    for (const Lookup& Item : Lookups) {
        SCOPED_TRACE(Utf8(Item.Name));
        IUnknown* Unknown = reinterpret_cast<IUnknown*>(1);
        EXPECT_EQ(Opc->GetGroupByName(Item.Name, IID_IOPCGroupStateMgt, &Unknown), Item.Result);
        ComPtr<IUnknown> Found = KoAdopt(SUCCEEDED(Item.Result) ? Unknown : nullptr);
        if (FAILED(Item.Result)) {
            EXPECT_EQ(Unknown, nullptr);
            continue;
        }
        ComPtr<IOPCGroupStateMgt> State;
        ASSERT_EQ(Found.As(&State), S_OK);
        EXPECT_EQ(StateOf(State.Get()), std::make_pair(std::wstring(Item.Name), Item.ServerHandle));
    }
}

// A group the client still holds is only marked removed; it goes with the client's last
// reference, or at once when forced.
TEST_F(OpcClient, RemovingAGroupTheClientStillHolds) {
    ComPtr<IOPCServer> Opc = Connect();
    ASSERT_TRUE(Opc);

    for (const bool Forced : {true, false}) {
        SCOPED_TRACE(Forced ? "forced" : "released");
        AddedGroup Held = AddGroup(Opc.Get(), L"Held");
        ASSERT_EQ(Held.Result, S_OK);
        EXPECT_EQ(Opc->RemoveGroup(Held.ServerHandle, FALSE), OPC_S_INUSE);

        // No longer found or listed, but still counted, and no longer usable.
        IUnknown* Unknown = nullptr;
        EXPECT_EQ(Opc->GetGroupByName(L"Held", IID_IUnknown, &Unknown), E_INVALIDARG);
        ComPtr<IUnknown> Ignored = KoAdopt(Unknown);
        HRESULT Listed = E_UNEXPECTED;
        EXPECT_EQ(EnumeratedNames(Opc.Get(), OPC_ENUM_ALL, Listed), std::vector<std::wstring>{});
        EXPECT_EQ(Listed, S_FALSE);
        EXPECT_EQ(GroupCount(Opc.Get()), 1);
        DWORD Revised = 0;
        DWORD Rate = 500;
        EXPECT_EQ(Held.Group->SetState(&Rate, &Revised, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
        // Its name is free again.
        AddedGroup Successor = AddGroup(Opc.Get(), L"Held");
        EXPECT_EQ(Successor.Result, S_OK);
        Successor.Group.Reset();
        EXPECT_EQ(Opc->RemoveGroup(Successor.ServerHandle, FALSE), S_OK);

        EXPECT_EQ(Opc->RemoveGroup(Held.ServerHandle, FALSE), E_INVALIDARG);
        if (Forced) {
            EXPECT_EQ(Opc->RemoveGroup(Held.ServerHandle, TRUE), S_OK);
            EXPECT_EQ(GroupCount(Opc.Get()), 0);
            Held.Group.Reset();
        } else {
            Held.Group.Reset();
            EXPECT_EQ(GroupCount(Opc.Get()), 0);
            EXPECT_EQ(Opc->RemoveGroup(Held.ServerHandle, TRUE), E_INVALIDARG);
        }
    }
}

TEST_F(OpcClient, GroupEnumeratorsListThePrivateGroups) {
    ComPtr<IOPCServer> Opc = Connect();
    ASSERT_TRUE(Opc);
    HRESULT Result = E_UNEXPECTED;
    EXPECT_EQ(EnumeratedNames(Opc.Get(), OPC_ENUM_ALL, Result), std::vector<std::wstring>{});
    EXPECT_EQ(Result, S_FALSE) << "an empty enumerator is still handed out";

    AddedGroup One = AddGroup(Opc.Get(), L"One");
    AddedGroup Two = AddGroup(Opc.Get(), L"Two");
    ASSERT_EQ(One.Result, S_OK);
    ASSERT_EQ(Two.Result, S_OK);
    // Another client's groups are not this client's.
    ComPtr<IOPCServer> Other = Connect();
    ASSERT_TRUE(Other);
    AddedGroup Foreign = AddGroup(Other.Get(), L"Foreign");
    ASSERT_EQ(Foreign.Result, S_OK);

    struct Case {
        OPCENUMSCOPE Scope;
        bool Lists;
    };
    const Case Cases[] = {
        {OPC_ENUM_PRIVATE_CONNECTIONS, true},
        {OPC_ENUM_PUBLIC_CONNECTIONS, false},
        {OPC_ENUM_ALL_CONNECTIONS, true},
        {OPC_ENUM_PRIVATE, true},
        {OPC_ENUM_PUBLIC, false},
        {OPC_ENUM_ALL, true},
        {static_cast<OPCENUMSCOPE>(0), false},
        {static_cast<OPCENUMSCOPE>(99), false},
    };
    const std::vector<std::wstring> Names = {L"One", L"Two"};
    for (const Case& C : Cases) {
        SCOPED_TRACE(static_cast<int>(C.Scope));
        EXPECT_EQ(EnumeratedNames(Opc.Get(), C.Scope, Result), C.Lists ? Names : std::vector<std::wstring>{});
        EXPECT_EQ(Result, C.Lists ? S_OK : S_FALSE);

        IUnknown* Unknown = nullptr;
        EXPECT_EQ(Opc->CreateGroupEnumerator(C.Scope, IID_IEnumUnknown, &Unknown), C.Lists ? S_OK : S_FALSE);
        ComPtr<IUnknown> Owned = KoAdopt(Unknown);
        ComPtr<IEnumUnknown> Groups;
        ASSERT_TRUE(Owned && SUCCEEDED(Owned.As(&Groups)));
        std::vector<std::wstring> Listed;
        for (const ComPtr<IUnknown>& Group : Drain(Groups.Get())) {
            ComPtr<IOPCGroupStateMgt> State;
            ASSERT_EQ(Group.As(&State), S_OK);
            Listed.push_back(StateOf(State.Get()).first);
        }
        EXPECT_EQ(Listed, C.Lists ? Names : std::vector<std::wstring>{});
    }

    IUnknown* Unknown = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(Opc->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IDispatch, &Unknown), E_NOINTERFACE);
    EXPECT_EQ(Unknown, nullptr);
}

// The container offers one connection point, for the shutdown sink.
TEST_F(OpcClient, ShutdownIsTheOnlyConnectionPoint) {
    ComPtr<IOPCServer> Opc = Connect();
    ASSERT_TRUE(Opc);
    ComPtr<IConnectionPointContainer> Container;
    ASSERT_EQ(Opc.As(&Container), S_OK);
    ComPtr<IConnectionPoint> Point;
    EXPECT_EQ(Container->FindConnectionPoint(IID_IOPCDataCallback, &Point), CONNECT_E_NOCONNECTION);

    ComPtr<IEnumConnectionPoints> Points;
    ASSERT_EQ(Container->EnumConnectionPoints(&Points), S_OK);
    std::vector<IID> Interfaces;
    for (;;) {
        IConnectionPoint* Raw = nullptr;
        ULONG Fetched = 0;
        if (Points->Next(1, &Raw, &Fetched) != S_OK || Fetched != 1) break;
        ComPtr<IConnectionPoint> Each = KoAdopt(Raw);
        IID Interface{};
        ASSERT_EQ(Each->GetConnectionInterface(&Interface), S_OK);
        Interfaces.push_back(Interface);
    }
    ASSERT_EQ(Interfaces.size(), 1u);
    EXPECT_TRUE(IsEqualIID(Interfaces[0], IID_IOPCShutdown));
}

// Ending the program (its main thread's loop told to quit, as closing it does) tells every
// connected sink, the last client first and each client's newest sink first, then the process
// ends normally.
TEST_F(OpcClient, EndingTheServerTellsEveryShutdownSink) {
    auto Journal = std::make_shared<ShutdownJournal>();
    ComPtr<IOPCServer> First = Connect();
    ComPtr<IOPCServer> Second = Connect();
    ASSERT_TRUE(First && Second);
    ASSERT_TRUE(Server.Attached());

    struct Advised {
        IOPCServer* Server;
        int Sink;
    };
    const Advised Sinks[] = {{First.Get(), 1}, {Second.Get(), 2}, {Second.Get(), 3}, {Second.Get(), 4}};
    std::vector<std::pair<ComPtr<IConnectionPoint>, DWORD>> Cookies;
    for (const Advised& A : Sinks) {
        ComPtr<IConnectionPoint> Point = ShutdownPoint(A.Server);
        ASSERT_TRUE(Point);
        ComPtr<ShutdownSink> Sink = KoAdopt(new ShutdownSink(Journal, A.Sink));
        DWORD Cookie = 0;
        ASSERT_EQ(Point->Advise(Sink->Unknown(), &Cookie), S_OK);
        Cookies.emplace_back(Point, Cookie);
    }
    // An unadvised sink is no longer told.
    EXPECT_EQ(Cookies[2].first->Unadvise(Cookies[2].second), S_OK);
    Cookies.clear();

    ASSERT_TRUE(Server.Quit()) << "no main-thread window found in the server process";

    ASSERT_TRUE(Journal->WaitFor(3, kShutdownBoundMs)) << "shutdown requests missing";
    DWORD ExitCode = 99;
    ASSERT_TRUE(Server.WaitForEnd(kServerEndBoundMs, ExitCode)) << "the server did not end";
    EXPECT_EQ(ExitCode, 0u);
    std::vector<std::pair<int, std::wstring>> Told;
    for (const ShutdownJournal::Entry& E : Journal->Entries()) Told.emplace_back(E.Sink, E.Reason);
    const std::vector<std::pair<int, std::wstring>> Expected = {{4, L""}, {2, L""}, {1, L""}};
    EXPECT_EQ(Told, Expected);
}

// Disabling the server's main window (the provider's sink receives WM_ENABLE with 0) shuts the
// provider down while the process goes on: clients are told and detached, new activations get
// no server object, and the process still ends with the last released server object.
TEST_F(OpcClient, ShutDownServerRefusesNewClients) {
    auto Journal = std::make_shared<ShutdownJournal>();
    ComPtr<IOPCServer> Opc = Connect();
    ASSERT_TRUE(Opc);
    AddedGroup Group = AddGroup(Opc.Get(), L"Kept");
    ASSERT_EQ(Group.Result, S_OK);
    ComPtr<IConnectionPoint> Point = ShutdownPoint(Opc.Get());
    ASSERT_TRUE(Point);
    ComPtr<ShutdownSink> Sink = KoAdopt(new ShutdownSink(Journal, 1));
    DWORD Cookie = 0;
    ASSERT_EQ(Point->Advise(Sink->Unknown(), &Cookie), S_OK);

    const std::vector<HWND> Windows = Server.MessageWindows();
    ASSERT_FALSE(Windows.empty()) << "no main-thread window found in the server process";
    // Only the provider's sink takes the message; the timers' windows ignore it.
    for (HWND Window : Windows) PostMessageW(Window, WM_ENABLE, FALSE, 0);

    ASSERT_TRUE(Journal->WaitFor(1, kShutdownBoundMs)) << "no shutdown request";
    EXPECT_EQ(Journal->Entries()[0].Reason, L"");

    // The server detaches the client right after telling it; until then the status it still
    // reports is the suspended one. A detached server object has no status.
    const ULONGLONG Deadline = GetTickCount64() + kShutdownBoundMs;
    HRESULT Result = E_UNEXPECTED;
    for (;;) {
        ServerStatus Status = StatusOf(Opc.Get(), Result);
        if (Result != S_OK) {
            EXPECT_FALSE(Status);
            break;
        }
        ASSERT_EQ(Status->dwServerState, OPC_STATUS_SUSPENDED);
        if (GetTickCount64() >= Deadline) break;
        DWORD ExitCode = 0;
        if (Server.WaitForEnd(10, ExitCode)) break; // ended instead: fails below
    }
    EXPECT_EQ(Result, E_FAIL) << "the server object was not detached";

    HRESULT Refused = S_OK;
    ComPtr<IOPCServer> Late = Connect(&Refused);
    EXPECT_TRUE(FAILED(Refused)) << Hex(Refused);
    EXPECT_FALSE(Late);
    EXPECT_EQ(kotest::ProcessesOf(kServerExe), std::vector<DWORD>{Server.Id()});

    Point.Reset();
    Group.Group.Reset();
    Opc.Reset();
    DWORD ExitCode = 99;
    ASSERT_TRUE(Server.WaitForEnd(kServerEndBoundMs, ExitCode)) << "the server outlived its last client";
    EXPECT_EQ(ExitCode, 0u);
}

// Several client threads add and remove groups at once, some sharing one server object, some on
// server objects of their own. Nothing may deadlock, fail or stay behind.
TEST_F(OpcClient, ConcurrentClientsAddAndRemoveGroups) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 30;
    ComPtr<IOPCServer> Shared = Connect();
    ComPtr<IOPCServer> Own1 = Connect();
    ComPtr<IOPCServer> Own2 = Connect();
    ASSERT_TRUE(Shared && Own1 && Own2);
    IOPCServer* const Objects[kThreads] = {Shared.Get(), Shared.Get(), Own1.Get(), Own2.Get()};

    struct Work {
        IOPCServer* Server;
        int Index;
        std::vector<std::string> Failures;
    };
    std::vector<Work> Works;
    for (int I = 0; I < kThreads; ++I) Works.push_back({Objects[I], I, {}});

    const auto Run = [](Work& W) {
        const auto Check = [&W](int Round, const char* What, HRESULT Got, HRESULT Want) {
            if (Got != Want)
                W.Failures.push_back("thread " + std::to_string(W.Index) + " round " + std::to_string(Round) +
                                     ": " + What + " gave " + Hex(Got) + ", expected " + Hex(Want));
        };
        for (int Round = 0; Round < kRounds; ++Round) {
            // Threads that share a server object ask for default names half the time; those must
            // not collide either.
            const std::wstring Name =
                Round % 2 ? std::wstring() : L"T" + std::to_wstring(W.Index) + L"-" + std::to_wstring(Round);
            AddedGroup Added = AddGroup(W.Server, Name.c_str());
            Check(Round, "AddGroup", Added.Result, S_OK);
            if (FAILED(Added.Result)) continue;
            const std::wstring Actual = StateOf(Added.Group.Get()).first;
            IUnknown* Unknown = nullptr;
            Check(Round, "GetGroupByName", W.Server->GetGroupByName(Actual.c_str(), IID_IUnknown, &Unknown),
                  S_OK);
            ComPtr<IUnknown> Found = KoAdopt(Unknown);
            Unknown = nullptr;
            // Names only: an enumerator of the group objects would hold the other thread's
            // groups, which then could not be removed (OPC_S_INUSE, rightly).
            Check(Round, "CreateGroupEnumerator",
                  W.Server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, &Unknown), S_OK);
            ComPtr<IUnknown> Enumerator = KoAdopt(Unknown);
            Found.Reset();
            if (Round % 3 == 0) {
                // Removed while held: the release completes the removal.
                Check(Round, "RemoveGroup (held)", W.Server->RemoveGroup(Added.ServerHandle, FALSE),
                      OPC_S_INUSE);
                Enumerator.Reset();
                Added.Group.Reset();
            } else {
                Enumerator.Reset();
                Added.Group.Reset();
                Check(Round, "RemoveGroup", W.Server->RemoveGroup(Added.ServerHandle, FALSE), S_OK);
            }
        }
    };

    if (!RunClientThreads(
            kThreads, [&](int I) { Run(Works[static_cast<size_t>(I)]); }, kStressBoundMs))
        return;
    for (const Work& W : Works)
        for (const std::string& F : W.Failures) ADD_FAILURE() << F;

    // Every group is gone, on every connection, and the server still serves.
    ExpectNoGroupsLeft({Shared.Get(), Own1.Get(), Own2.Get()});
}

} // namespace

int main(int argc, char** argv) {
    return kotest::RunClientTests(argc, argv);
}
