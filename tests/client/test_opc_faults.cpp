// Faults a server meets beside a plant's clients: a client process killed in the middle of its
// work, the server ended while client processes are connected, a client whose callback never
// returns, and a client that lets go of everything without unadvising its sinks. In each the
// other clients must keep being served, on time and without losing a value.
//
// What Wine does with a dead client (Wine 8.0): it never runs down the references the dead
// process held, so the server keeps the dead client's server object and groups. The server can
// only notice the death when a call into the client fails: a callback then fails at once with
// an RPC error and the server drops that sink. The tests measure and print what they see.
//
// This executable is also the client process these tests start (kChildSwitch <role> <event>).

#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "KoOle.h"
#include "KoOpcClientTesting.h"
#include "KoOpcDataChangeTesting.h"
#include "KoProcessTesting.h"

namespace {

using namespace kotest;

constexpr char kChildSwitch[] = "--ko-fault-child";
constexpr wchar_t kChildSwitchW[] = L"--ko-fault-child";

// Exit codes of a child client.
constexpr int kChildToldShutdown = 0;
constexpr int kChildSetupFailed = 3;
constexpr int kChildNotKilled = 4;
constexpr int kChildNotTold = 5;

constexpr DWORD kChildLifeMs = 120000;

// ---- the child clients ----

// A data callback whose data changes never return (until the process ends): the first one tells
// the test through Ready.
class BlockingSink final : public TKoComObject<IOPCDataCallback> {
public:
    explicit BlockingSink(HANDLE AReady)
        : FReady(AReady), FNever(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                              FILETIME*, HRESULT*) override {
        SetEvent(FReady);
        WaitForSingleObject(FNever.Get(), kChildLifeMs);
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                FILETIME*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    HANDLE FReady;
    TKoHandle FNever;
};

// A group of Count items of ItemID, all the same variable; their server handles, or none.
std::vector<OPCHANDLE> ManyItems(IOPCItemMgt* Items, const wchar_t* ItemID, size_t Count) {
    std::vector<OPCITEMDEF> Defs(Count);
    for (size_t I = 0; I < Count; ++I) {
        Defs[I].szAccessPath = const_cast<LPWSTR>(L"");
        Defs[I].szItemID = const_cast<LPWSTR>(ItemID);
        Defs[I].bActive = TRUE;
        Defs[I].hClient = static_cast<OPCHANDLE>(I + 1);
    }
    OPCITEMRESULT* Results = nullptr;
    HRESULT* Errors = nullptr;
    std::vector<OPCHANDLE> Handles;
    if (Items->AddItems(static_cast<DWORD>(Count), Defs.data(), &Results, &Errors) == S_OK && Results)
        for (size_t I = 0; I < Count; ++I) Handles.push_back(Results[I].hServer);
    if (Results)
        for (size_t I = 0; I < Count; ++I) CoTaskMemFree(Results[I].pBlob);
    CoTaskMemFree(Results);
    CoTaskMemFree(Errors);
    return Handles;
}

// What a child client does until it is killed (or, for "shutdown", until the server tells it).
int ChildWork(const std::wstring& Role, HANDLE Ready) {
    CLSID ClassID{};
    ComPtr<IOPCServer> Server;
    if (FAILED(CLSIDFromProgID(kProgID, &ClassID)) ||
        FAILED(CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&Server))))
        return kChildSetupFailed;
    auto Calls = std::make_shared<Journal>();
    const ULONGLONG Deadline = GetTickCount64() + kChildLifeMs;

    if (Role == L"subscribe" || Role == L"shutdown") {
        Group G = OpenGroup(Server.Get(), L"Subscribed", true, Role == L"subscribe" ? 10 : 50);
        if (!G.Failure.empty() || ManyItems(G.Items.Get(), L"Random.KoFloat1", 1).size() != 1)
            return kChildSetupFailed;
        Subscription S(G.Container.Get(), Calls);
        if (!S.Connected() || Calls->WaitFor(AnyDataChange, 20000) < 0) return kChildSetupFailed;
        if (Role == L"subscribe") {
            SetEvent(Ready);
            Pause(kChildLifeMs);
            return kChildNotKilled;
        }
        auto Told = std::make_shared<ShutdownJournal>();
        ComPtr<IConnectionPoint> Point = ShutdownPoint(Server.Get());
        ComPtr<ShutdownSink> Sink = KoAdopt(new ShutdownSink(Told, 1));
        DWORD Cookie = 0;
        if (!Point || Point->Advise(Sink->Unknown(), &Cookie) != S_OK) return kChildSetupFailed;
        SetEvent(Ready);
        return Told->WaitFor(1, kChildLifeMs) ? kChildToldShutdown : kChildNotTold;
    }
    if (Role == L"block") {
        Group G = OpenGroup(Server.Get(), L"Blocked", true, 100);
        if (!G.Failure.empty() || ManyItems(G.Items.Get(), L"Random.KoFloat1", 1).size() != 1)
            return kChildSetupFailed;
        ComPtr<IConnectionPoint> Point = DataCallbackPoint(G.Container.Get());
        ComPtr<BlockingSink> Sink = KoAdopt(new BlockingSink(Ready));
        DWORD Cookie = 0;
        if (!Point || Point->Advise(Sink->Unknown(), &Cookie) != S_OK) return kChildSetupFailed;
        Pause(kChildLifeMs);
        return kChildNotKilled;
    }
    // The busy roles call the server without pause, so that the kill lands inside a call.
    Group G = OpenGroup(Server.Get(), L"Busy", false, 1000);
    if (!G.Failure.empty()) return kChildSetupFailed;
    const bool Reads = Role == L"read";
    std::vector<OPCHANDLE> Handles =
        ManyItems(G.Items.Get(), Reads ? L"Static.KoFloat1" : L"Static.KoInteger1", 500);
    if (Handles.size() != 500) return kChildSetupFailed;
    const auto Count = static_cast<DWORD>(Handles.size());
    std::unique_ptr<Subscription> S;
    if (Role == L"asyncwrite") {
        S = std::make_unique<Subscription>(G.Container.Get(), Calls);
        if (!S->Connected()) return kChildSetupFailed;
    }
    for (DWORD Round = 1; GetTickCount64() < Deadline; ++Round) {
        HRESULT Result = E_UNEXPECTED;
        HRESULT* Errors = nullptr;
        if (Reads) {
            OPCITEMSTATE* States = nullptr;
            Result = G.Sync->Read(OPC_DS_DEVICE, Count, Handles.data(), &States, &Errors);
            if (States)
                for (DWORD I = 0; I < Count; ++I) VariantClear(&States[I].vDataValue);
            CoTaskMemFree(States);
        } else {
            std::vector<TKoOleVariant> Values(Count, TKoOleVariant(static_cast<int32_t>(Round % 100)));
            std::vector<VARIANT> Raw;
            for (const TKoOleVariant& V : Values) Raw.push_back(V.Get());
            if (Role == L"write") {
                Result = G.Sync->Write(Count, Handles.data(), Raw.data(), &Errors);
            } else {
                DWORD Cancel = 0;
                const size_t Seen = Calls->Size();
                Result = G.Async->Write(Count, Handles.data(), Raw.data(), Round, &Cancel, &Errors);
                if (Result == S_OK) Calls->WaitFor(Is(CallKind::WriteComplete, Round), 10000, Seen);
            }
        }
        CoTaskMemFree(Errors);
        if (Result != S_OK) return kChildSetupFailed;
        if (Round == 1) SetEvent(Ready);
    }
    return kChildNotKilled;
}

int RunChild(const std::wstring& Role, const wchar_t* ReadyName) {
    TKoHandle Ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, ReadyName));
    if (!Ready) return kChildSetupFailed;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return kChildSetupFailed;
    const int Code = ChildWork(Role, Ready.Get());
    CoUninitialize();
    return Code;
}

// ---- the test's side ----

// A child client process of a role, started and ready.
struct ChildClient {
    TKoHandle Process;
    std::string Failure; // empty when it got ready

    DWORD ExitCode() const {
        DWORD Code = 0;
        GetExitCodeProcess(Process.Get(), &Code);
        return Code;
    }
    bool Kill() const {
        return TerminateProcess(Process.Get(), 9) &&
               WaitForSingleObject(Process.Get(), 10000) == WAIT_OBJECT_0;
    }
    // Whether it ended within BoundMs.
    bool WaitForEnd(DWORD BoundMs) const {
        return WaitForSingleObject(Process.Get(), BoundMs) == WAIT_OBJECT_0;
    }
    ~ChildClient() {
        if (Process && !WaitForEnd(0)) Kill();
    }
};

std::unique_ptr<ChildClient> StartChild(const std::wstring& Role) {
    static int Serial = 0;
    auto Child = std::make_unique<ChildClient>();
    const std::wstring EventName =
        L"KoFaultChildReady-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++Serial);
    TKoHandle Ready(CreateEventW(nullptr, TRUE, FALSE, EventName.c_str()));
    Child->Process =
        StartProgram(ExecutablePath(), std::wstring(kChildSwitchW) + L" " + Role + L" " + EventName);
    if (!Ready || !Child->Process) {
        Child->Failure = "could not start the child";
        return Child;
    }
    HANDLE Waits[2] = {Ready.Get(), Child->Process.Get()};
    const DWORD Woke = WaitForMultipleObjects(2, Waits, FALSE, 60000);
    if (Woke != WAIT_OBJECT_0)
        Child->Failure = "the child " + Utf8(Role) + " did not get ready (wait result " +
                         std::to_string(Woke) + ", exit code " + std::to_string(Child->ExitCode()) + ")";
    return Child;
}

struct Gaps {
    size_t Count = 0;
    double Mean = 0;
    ULONGLONG Largest = 0;
};

// The intervals between the data changes of the journal from From on.
Gaps GapsOf(const Journal& Calls, size_t From) {
    std::vector<ULONGLONG> Arrivals;
    for (const Callback& C : Calls.Since(From))
        if (C.Kind == CallKind::DataChange) Arrivals.push_back(C.Arrival);
    Gaps G;
    if (Arrivals.size() < 2) return G;
    G.Count = Arrivals.size() - 1;
    G.Mean = static_cast<double>(Arrivals.back() - Arrivals.front()) / static_cast<double>(G.Count);
    for (size_t I = 1; I < Arrivals.size(); ++I)
        G.Largest = std::max(G.Largest, Arrivals[I] - Arrivals[I - 1]);
    return G;
}

class OpcFaults : public OpcDataChange {
protected:
    // Ends the server: by itself once every client let go, or, when a dead client's references
    // keep it (Wine never runs them down), as closing its window would.
    void EndServer(DWORD BoundMs = 5000) {
        Opc.Reset();
        DWORD ExitCode = 0;
        if (Server.Attached() && !Server.WaitForEnd(BoundMs, ExitCode)) {
            std::printf("[ note ] the server outlived its last live client; ended by the test\n");
            Server.End();
        }
    }

    // The survivor's values are never lost: each written value reads back and reaches the
    // survivor's data change.
    void ExpectValuesKept(const Group& G, OPCHANDLE Handle, OPCHANDLE Client) {
        for (double Value : {11.5, 42.25, 99.0}) {
            const size_t From = Calls->Size();
            EXPECT_EQ(Hex(SyncWrite(G.Sync.Get(), Handle, TKoOleVariant(Value))), Hex(S_OK));
            EXPECT_EQ(Describe(SyncRead(G.Sync.Get(), Handle, OPC_DS_DEVICE).Get()),
                      Describe(TKoOleVariant(Value)));
            const long At = Calls->WaitFor(
                [&](const Callback& C) {
                    const Entry* E = C.Kind == CallKind::DataChange ? C.Find(Client) : nullptr;
                    return E && Describe(E->Value.Get()) == Describe(TKoOleVariant(Value).Get());
                },
                kDueMs, From);
            EXPECT_GE(At, 0) << "the data change with " << Value << " did not arrive";
        }
    }
};

// ---- a client killed in the middle of its work ----

class KilledClient : public OpcFaults, public testing::WithParamInterface<const wchar_t*> {};

// The client process is killed while it is subscribed at 10 ms, in the middle of synchronous
// reads of 500 items, of synchronous writes of 500 items, or of asynchronous writes whose
// completions the server calls back. For 3 s after the kill the other client keeps its data
// changes at its update rate and its answers prompt; its values are written, read and reported
// as before.
TEST_P(KilledClient, TheOtherClientsAreServedAsBefore) {
    FastRandom(20);
    constexpr DWORD kRate = 100;
    Group G = Open(L"Survivor", true, kRate);
    ASSERT_GROUP(G);
    const std::vector<OPCHANDLE> H =
        AddItems(G.Items.Get(), {{L"Random.KoFloat1", 131}, {L"Static.KoFloat1", 132}});
    ASSERT_EQ(H.size(), 2u);
    Subscription S(G.Container.Get(), Calls);
    ASSERT_SUBSCRIBED(S);
    ASSERT_GE(Calls->WaitFor(AnyDataChange, kDueMs), 0);
    const long OwnGroups = GroupCount(Opc.Get());

    std::unique_ptr<ChildClient> Child = StartChild(GetParam());
    ASSERT_EQ(Child->Failure, "");
    // Let the child work through a few of our cycles, then kill it inside whatever call it makes.
    ASSERT_TRUE(Calls->WaitForCount(AnyDataChange, 5, kDueMs, Calls->Size()));
    EXPECT_EQ(GroupCount(Opc.Get()), OwnGroups + 1) << "the child's group";
    const size_t BeforeKill = Calls->Size();
    const ULONGLONG Killed = GetTickCount64();
    ASSERT_TRUE(Child->Kill());

    ULONGLONG SlowestStatus = 0;
    while (GetTickCount64() - Killed < 3000) {
        const ULONGLONG Asked = GetTickCount64();
        HRESULT Result = E_UNEXPECTED;
        ServerStatus Status = StatusOf(Opc.Get(), Result);
        EXPECT_EQ(Hex(Result), Hex(S_OK)) << "GetStatus after the kill";
        SlowestStatus = std::max(SlowestStatus, GetTickCount64() - Asked);
        Pause(200);
    }
    const Gaps After = GapsOf(*Calls, BeforeKill > 0 ? BeforeKill - 1 : 0);
    std::printf(
        "[ note ] after the kill: %zu intervals, mean %.1f ms, largest %llu ms, slowest GetStatus %llu ms\n",
        After.Count, After.Mean, After.Largest, SlowestStatus);
    EXPECT_LT(SlowestStatus, 1000u) << "GetStatus was slow after the kill";
    EXPECT_GE(After.Count, 20u) << "data changes in the 3 s after the kill";
    EXPECT_LE(After.Largest, 2 * kRate) << "the largest gap between data changes after the kill";

    ExpectValuesKept(G, H[1], 132);

    // Whether the server learns that the dead client is gone: its group stays counted until
    // then. Measured, not required (see the top of the file).
    const long Groups = GroupCount(Opc.Get());
    std::printf("[ note ] %lu ms after the kill the dead client's group is %s\n",
                static_cast<unsigned long>(GetTickCount64() - Killed),
                Groups == OwnGroups ? "released" : "still counted");
    S.Close();
    G = {};
    EndServer();
}

INSTANTIATE_TEST_SUITE_P(WhileItWorks, KilledClient,
                         testing::Values(L"subscribe", L"read", L"write", L"asyncwrite"),
                         [](const testing::TestParamInfo<const wchar_t*>& Info) { return Utf8(Info.param); });

// ---- a client whose callback never returns ----

// Another client's data callback never returns. Our group's data changes keep their update
// rate: their mean interval stays within 20 % of the rate, as it was before; the server keeps
// answering and adding and removing groups. Ending the server is not held up by the blocked
// callback either.
TEST_F(OpcFaults, ACallbackThatNeverReturnsDelaysNobodyElse) {
    FastRandom(20);
    constexpr DWORD kRate = 100;
    constexpr size_t kIntervals = 30;
    Group G = Open(L"OnTime", true, kRate);
    ASSERT_GROUP(G);
    AddItems(G.Items.Get(), {{L"Random.KoFloat1", 141}});
    Subscription S(G.Container.Get(), Calls);
    ASSERT_SUBSCRIBED(S);
    ASSERT_GE(Calls->WaitFor(AnyDataChange, kDueMs), 0);

    size_t From = Calls->Size();
    ASSERT_TRUE(Calls->WaitForCount(AnyDataChange, kIntervals + 1, kIntervals * kRate * 3, From));
    const Gaps Before = GapsOf(*Calls, From);

    std::unique_ptr<ChildClient> Child = StartChild(L"block");
    ASSERT_EQ(Child->Failure, ""); // its first data change is blocked now
    From = Calls->Size();
    ULONGLONG SlowestCall = 0;
    for (int Round = 0; Round < 10; ++Round) {
        const ULONGLONG Asked = GetTickCount64();
        AddedGroup Extra = AddGroup(Opc.Get(), L"");
        EXPECT_EQ(Hex(Extra.Result), Hex(S_OK));
        Extra.Group.Reset();
        EXPECT_EQ(Hex(Opc->RemoveGroup(Extra.ServerHandle, FALSE)), Hex(S_OK));
        SlowestCall = std::max(SlowestCall, GetTickCount64() - Asked);
    }
    ASSERT_TRUE(Calls->WaitForCount(AnyDataChange, kIntervals + 1, kIntervals * kRate * 3, From));
    const Gaps During = GapsOf(*Calls, From);
    std::printf("[ note ] mean interval %.1f ms before, %.1f ms while another client's callback is blocked "
                "(largest %llu ms); slowest AddGroup+RemoveGroup %llu ms\n",
                Before.Mean, During.Mean, During.Largest, SlowestCall);
    EXPECT_NEAR(Before.Mean, kRate, kRate * 0.2);
    EXPECT_NEAR(During.Mean, kRate, kRate * 0.2);
    EXPECT_NEAR(During.Mean, Before.Mean, Before.Mean * 0.2);
    EXPECT_LT(SlowestCall, 1000u);
    EXPECT_FALSE(Child->WaitForEnd(0)) << "the blocked client ended, exit code " << Child->ExitCode();

    // The program is ended while the callback is still blocked: it must end all the same.
    S.Close();
    G = {};
    Opc.Reset();
    ASSERT_TRUE(Server.Quit());
    DWORD ExitCode = 99;
    const ULONGLONG Quit = GetTickCount64();
    const bool Ended = Server.WaitForEnd(kServerEndBoundMs, ExitCode);
    std::printf("[ note ] the server %s %llu ms after it was told to quit\n", Ended ? "ended" : "still ran",
                GetTickCount64() - Quit);
    EXPECT_TRUE(Ended) << "a blocked callback kept the server from ending";
    if (Ended) {
        EXPECT_EQ(ExitCode, 0u);
    }
    Child->Kill();
    if (!Ended) Server.End();
}

// ---- the server ended while client processes are connected ----

// Three client processes and this one are connected and subscribed when the program is ended:
// every one of them is told through its shutdown sink, and the process then ends normally.
TEST_F(OpcFaults, EndingTheServerTellsEveryClientProcess) {
    Group G = Open(L"Here", true, 50);
    ASSERT_GROUP(G);
    AddItems(G.Items.Get(), {{L"Random.KoFloat1", 151}});
    Subscription S(G.Container.Get(), Calls);
    ASSERT_SUBSCRIBED(S);
    auto Told = std::make_shared<ShutdownJournal>();
    ComPtr<IConnectionPoint> Point = ShutdownPoint(Opc.Get());
    ASSERT_TRUE(Point);
    ComPtr<ShutdownSink> Sink = KoAdopt(new ShutdownSink(Told, 0));
    DWORD Cookie = 0;
    ASSERT_EQ(Point->Advise(Sink->Unknown(), &Cookie), S_OK);

    std::vector<std::unique_ptr<ChildClient>> Children;
    for (int I = 0; I < 3; ++I) {
        Children.push_back(StartChild(L"shutdown"));
        ASSERT_EQ(Children.back()->Failure, "");
    }
    EXPECT_EQ(GroupCount(Opc.Get()), 4);

    const ULONGLONG Quit = GetTickCount64();
    ASSERT_TRUE(Server.Quit());
    EXPECT_TRUE(Told->WaitFor(1, kShutdownBoundMs)) << "this client was not told";
    for (size_t I = 0; I < Children.size(); ++I) {
        ASSERT_TRUE(Children[I]->WaitForEnd(kShutdownBoundMs)) << "client process " << I << " did not end";
        EXPECT_EQ(Children[I]->ExitCode(), static_cast<DWORD>(kChildToldShutdown))
            << "client process " << I << " (5: not told)";
    }
    S.Close();
    Point.Reset();
    G = {};
    Opc.Reset();
    DWORD ExitCode = 99;
    ASSERT_TRUE(Server.WaitForEnd(kServerEndBoundMs, ExitCode)) << "the server did not end";
    EXPECT_EQ(ExitCode, 0u);
    std::printf("[ note ] every client told and the server ended %llu ms after it was told to quit\n",
                GetTickCount64() - Quit);
}

// ---- a client that lets go without unadvising ----

// A client advises a data callback and a shutdown sink and then releases
// every interface without unadvising or removing its groups. The server drops the client's
// groups at once, lets go of the client's sinks and calls them no more; another client goes on.
TEST_F(OpcFaults, ReleasingEverythingWithoutUnadvising) {
    ComPtr<IOPCServer> Other = Connect();
    ASSERT_TRUE(Other);
    AddedGroup Kept = AddGroup(Other.Get(), L"Kept");
    ASSERT_EQ(Kept.Result, S_OK);

    FastRandom(20);
    ComPtr<DataSink> Data = KoAdopt(new DataSink(Calls));
    ComPtr<ShutdownSink> Shutdown = KoAdopt(new ShutdownSink(std::make_shared<ShutdownJournal>(), 1));
    {
        Group G = Open(L"Forgotten", true, 50);
        ASSERT_GROUP(G);
        AddItems(G.Items.Get(), {{L"Random.KoFloat1", 161}});
        ComPtr<IConnectionPoint> Point = DataCallbackPoint(G.Container.Get());
        DWORD Cookie = 0;
        ASSERT_EQ(Point->Advise(Data->Unknown(), &Cookie), S_OK);
        ComPtr<IConnectionPoint> ShutdownAt = ShutdownPoint(Opc.Get());
        ASSERT_EQ(ShutdownAt->Advise(Shutdown->Unknown(), &Cookie), S_OK);
        ASSERT_GE(Calls->WaitFor(AnyDataChange, kDueMs), 0);
        // Everything of this client goes here: the group, the connection points, the server object.
    }
    Opc.Reset();

    // Our sinks' references held by the server go with it.
    auto References = [](IUnknown* Object) {
        Object->AddRef();
        return Object->Release();
    };
    const ULONGLONG Released = GetTickCount64();
    while ((References(Data->Unknown()) > 1 || References(Shutdown->Unknown()) > 1) &&
           GetTickCount64() - Released < kDueMs)
        Pause(50);
    std::printf("[ note ] the server let go of the client's sinks %llu ms after the client released it\n",
                GetTickCount64() - Released);
    EXPECT_EQ(References(Data->Unknown()), 1u) << "the server kept the data callback";
    EXPECT_EQ(References(Shutdown->Unknown()), 1u) << "the server kept the shutdown sink";
    EXPECT_EQ(GroupCount(Other.Get()), 1) << "the released client's group stayed";
    const size_t Seen = Calls->Size();
    EXPECT_LT(Calls->WaitFor(AnyDataChange, kQuietMs, Seen), 0) << "the released sink was still called";

    HRESULT Result = E_UNEXPECTED;
    StatusOf(Other.Get(), Result);
    EXPECT_EQ(Hex(Result), Hex(S_OK));
    Kept.Group.Reset();
    EXPECT_EQ(Hex(Other->RemoveGroup(Kept.ServerHandle, FALSE)), Hex(S_OK));
    Other.Reset();
}

} // namespace

// This executable is also the client processes the tests start; otherwise the client tests'
// usual entry.
int main(int argc, char** argv) {
    if (argc >= 4 && std::string_view(argv[1]) == kChildSwitch) {
        int Count = 0;
        LPWSTR* Args = CommandLineToArgvW(GetCommandLineW(), &Count);
        const int Code = Args && Count == 4 ? RunChild(Args[2], Args[3]) : kChildSetupFailed;
        LocalFree(Args);
        return Code;
    }
    return kotest::RunClientTests(argc, argv);
}
