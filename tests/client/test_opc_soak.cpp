// A long run under load: client processes, each with many groups of many items subscribed at a
// fast rate, add and remove groups and items and write while they run, for a fixed time, in two
// waves. After each wave every client and group goes, and the server process must be back where it
// started: as many handles and threads as before the clients came; and no later wave may grow the
// working set by what a leak of its items would take.
//
// Opt-in (it runs for minutes): the test is skipped unless KO_SOAK_MINUTES is set, e.g.
//   cd build && KO_SOAK_MINUTES=10 flock /tmp/ko-build.lock ctest -L soak --output-on-failure
// KO_SOAK_CLIENTS, KO_SOAK_GROUPS and KO_SOAK_ITEMS change the load (8, 50, 1000).
//
// This executable is also the client processes (kChildSwitch <index> <minutes*1000> <groups>
// <items>).

#include <windows.h>

#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "KoOle.h"
#include "KoOpcClientTesting.h"
#include "KoOpcDataChangeTesting.h"
#include "KoProcessTesting.h"

namespace {

using namespace kotest;

constexpr char kChildSwitch[] = "--ko-soak-client";
constexpr wchar_t kChildSwitchW[] = L"--ko-soak-client";
constexpr DWORD kRate = 100;

// ---- a soak client ----

// Counts what it is told; keeps nothing.
class CountingSink final : public TKoComObject<IOPCDataCallback> {
public:
    explicit CountingSink(std::shared_ptr<std::atomic<long long>> ACount) : FCount(std::move(ACount)) {}
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD Count, OPCHANDLE*, VARIANT*, WORD*,
                              FILETIME*, HRESULT*) override {
        *FCount += Count;
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
    std::shared_ptr<std::atomic<long long>> FCount;
};

const wchar_t* const kItemIDs[] = {L"Random.KoFloat1",  L"Static.KoFloat1", L"Static.KoInteger1",
                                   L"Static.KoString1", L"Static.KoBool1",  L"Sinusoid.KoFloat1"};

struct SoakGroup {
    Group G;
    std::vector<OPCHANDLE> Items;
    std::vector<size_t> Kinds; // each item's entry of kItemIDs
    ComPtr<IConnectionPoint> Point;
    DWORD Cookie = 0;
};

// Adds Count items to the group: S_OK, the call's failure, or the first item's error.
HRESULT AddSoakItems(SoakGroup& S, size_t Count, DWORD& Serial) {
    std::vector<OPCITEMDEF> Defs(Count);
    for (size_t I = 0; I < Count; ++I) {
        Defs[I].szAccessPath = const_cast<LPWSTR>(L"");
        Defs[I].szItemID = const_cast<LPWSTR>(kItemIDs[(Serial + I) % std::size(kItemIDs)]);
        Defs[I].bActive = TRUE;
        Defs[I].hClient = static_cast<OPCHANDLE>(Serial + I);
    }
    Serial += static_cast<DWORD>(Count);
    OPCITEMRESULT* Results = nullptr;
    HRESULT* Errors = nullptr;
    const HRESULT Result = S.G.Items->AddItems(static_cast<DWORD>(Count), Defs.data(), &Results, &Errors);
    if (Results)
        for (size_t I = 0; I < Count; ++I) {
            S.Items.push_back(Results[I].hServer);
            S.Kinds.push_back((Serial - Count + I) % std::size(kItemIDs));
            CoTaskMemFree(Results[I].pBlob);
        }
    HRESULT Outcome = Result;
    if (Result == S_FALSE && Errors)
        for (size_t I = 0; I < Count && Outcome == S_FALSE; ++I)
            if (FAILED(Errors[I])) Outcome = Errors[I];
    CoTaskMemFree(Results);
    CoTaskMemFree(Errors);
    return Outcome;
}

// Empty when the group is open, its items added and its sink advised; else what failed.
std::string OpenSoakGroup(IOPCServer* Server, SoakGroup& S, size_t Items, DWORD& Serial,
                          const std::shared_ptr<std::atomic<long long>>& Count) {
    // Named by the client: the server's default names run out past the alphabet.
    const std::wstring Name = L"Soak" + std::to_wstring(Serial);
    S.G = OpenGroup(Server, Name.c_str(), true, kRate);
    if (!S.G.Failure.empty()) return "AddGroup: " + S.G.Failure;
    if (const HRESULT Added = AddSoakItems(S, Items, Serial); Added != S_OK) return "AddItems: " + Hex(Added);
    S.Point = DataCallbackPoint(S.G.Container.Get());
    if (!S.Point) return "no data callback connection point";
    ComPtr<CountingSink> Sink = KoAdopt(new CountingSink(Count));
    const HRESULT Advised = S.Point->Advise(Sink->Unknown(), &S.Cookie);
    return Advised == S_OK ? std::string() : "Advise: " + Hex(Advised);
}

// The result of the unadvise, or else of the removal.
HRESULT CloseSoakGroup(IOPCServer* Server, SoakGroup& S) {
    const HRESULT Unadvised = S.Point ? S.Point->Unadvise(S.Cookie) : E_POINTER;
    const OPCHANDLE Handle = S.G.ServerHandle;
    S = {};
    const HRESULT Removed = Server->RemoveGroup(Handle, FALSE);
    return Unadvised != S_OK ? Unadvised : Removed;
}

// Exit codes: 0 every call went as it should and data changes arrived; 3 setup failed; 6 a call
// failed during the run; 7 no data change arrived.
int RunSoakClient(DWORD Index, DWORD DurationMs, size_t Groups, size_t Items) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
    int Code = 0;
    {
        CLSID ClassID{};
        ComPtr<IOPCServer> Server;
        if (FAILED(CLSIDFromProgID(kProgID, &ClassID))) return 3;
        if (const HRESULT Created =
                CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&Server));
            FAILED(Created)) {
            std::printf("client %lu: CoCreateInstance failed: %s\n", Index, Hex(Created).c_str());
            return 3;
        }
        auto Count = std::make_shared<std::atomic<long long>>(0);
        DWORD Serial = Index * 10000000;
        std::vector<SoakGroup> All(Groups);
        for (SoakGroup& S : All)
            if (const std::string Why = OpenSoakGroup(Server.Get(), S, Items, Serial, Count); !Why.empty()) {
                std::printf("client %lu: setting up a group failed: %s\n", Index, Why.c_str());
                return 3;
            }
        const ULONGLONG Deadline = GetTickCount64() + DurationMs;
        long Failures = 0;
        HRESULT FirstFailure[3] = {S_OK, S_OK, S_OK};
        auto Failed = [&](int Kind, HRESULT Code) {
            ++Failures;
            if (FirstFailure[Kind] == S_OK) FirstFailure[Kind] = Code == S_OK ? E_UNEXPECTED : Code;
        };
        for (DWORD Round = 0; GetTickCount64() < Deadline; ++Round) {
            SoakGroup& S = All[Round % All.size()];
            if (!S.G.Sync) { // its reopening failed (counted): try again
                if (!OpenSoakGroup(Server.Get(), S, Items, Serial, Count).empty()) Failed(1, E_FAIL);
                Pause(100);
                continue;
            }
            switch (Round % 3) {
            case 0: { // ten items go, ten new ones come
                std::vector<OPCHANDLE> Gone(S.Items.end() - 10, S.Items.end());
                S.Items.resize(S.Items.size() - 10);
                S.Kinds.resize(S.Kinds.size() - 10);
                const PerHandleOutcome Removed = RemoveItems(S.G.Items.Get(), Gone);
                if (Removed.Result != S_OK) Failed(0, Removed.Result);
                if (const HRESULT Added = AddSoakItems(S, 10, Serial); Added != S_OK) Failed(0, Added);
                break;
            }
            case 1: // the group goes and a new one takes its place
                if (const HRESULT Closed = CloseSoakGroup(Server.Get(), S); Closed != S_OK) Failed(1, Closed);
                if (!OpenSoakGroup(Server.Get(), S, Items, Serial, Count).empty()) Failed(1, E_FAIL);
                break;
            default: { // writes into ten items
                std::vector<OPCHANDLE> Written;
                for (size_t I = 0; I < S.Items.size() && Written.size() < 10; ++I)
                    if (S.Kinds[I] == 1) Written.push_back(S.Items[I]); // Static.KoFloat1
                std::vector<TKoOleVariant> Values(Written.size(),
                                                  TKoOleVariant(static_cast<double>(Round % 90)));
                std::vector<VARIANT> Raw;
                for (const TKoOleVariant& V : Values) Raw.push_back(V.Get());
                HRESULT* Errors = nullptr;
                const HRESULT Wrote =
                    S.G.Sync->Write(static_cast<DWORD>(Written.size()), Written.data(), Raw.data(), &Errors);
                if (Wrote != S_OK) Failed(2, Wrote);
                CoTaskMemFree(Errors);
                break;
            }
            }
            Pause(100);
        }
        for (SoakGroup& S : All)
            if (S.G.Sync)
                if (const HRESULT Closed = CloseSoakGroup(Server.Get(), S); Closed != S_OK) Failed(1, Closed);
        std::printf("client %lu: %lld item values reported, %ld failed calls (first: items %s, groups %s, "
                    "writes %s)\n",
                    Index, Count->load(), Failures, Hex(FirstFailure[0]).c_str(),
                    Hex(FirstFailure[1]).c_str(), Hex(FirstFailure[2]).c_str());
        if (Failures > 0)
            Code = 6;
        else if (Count->load() == 0)
            Code = 7;
    }
    CoUninitialize();
    return Code;
}

// ---- the server process's resources ----

struct Resources {
    DWORD Handles = 0;
    DWORD Threads = 0;
    SIZE_T WorkingSet = 0;
};

Resources ResourcesOf(HANDLE Process, DWORD ProcessId) {
    Resources R;
    GetProcessHandleCount(Process, &R.Handles);
    TKoHandle Snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 Entry{};
    Entry.dwSize = sizeof Entry;
    if (Snapshot && Thread32First(Snapshot.Get(), &Entry)) do {
            if (Entry.th32OwnerProcessID == ProcessId) ++R.Threads;
        } while (Thread32Next(Snapshot.Get(), &Entry));
    PROCESS_MEMORY_COUNTERS Memory{};
    Memory.cb = sizeof Memory;
    if (GetProcessMemoryInfo(Process, &Memory, sizeof Memory)) R.WorkingSet = Memory.WorkingSetSize;
    return R;
}

DWORD Setting(const char* Name, DWORD Default) {
    const char* Text = std::getenv(Name);
    return Text && *Text ? static_cast<DWORD>(std::strtoul(Text, nullptr, 10)) : Default;
}

class OpcSoak : public OpcDataChange {};

// What one wave of clients did to the server.
struct Wave {
    Resources Peak;
    Resources End; // once every client had gone and the threads had returned (or 60 s passed)
    long PeakGroups = 0;
    ULONGLONG SlowestStatus = 0;
    ULONGLONG Settled = 0; // ms from the last client leaving to End
};

// KO_SOAK_CLIENTS client processes (8) with KO_SOAK_GROUPS groups (50) of KO_SOAK_ITEMS items
// (1000) each at 100 ms, for KO_SOAK_MINUTES, in KO_SOAK_WAVES waves (2, at least 2) sharing that
// time. After each wave the server's handles and threads are back to their starting values (within
// 60 s of the last client leaving), and the working set grows by no more over a later wave than
// the bound below.
TEST_F(OpcSoak, ClientsComeGoAndWriteForMinutes) {
    const DWORD Minutes = Setting("KO_SOAK_MINUTES", 0);
    if (Minutes == 0) GTEST_SKIP() << "opt-in: set KO_SOAK_MINUTES";
    const DWORD Clients = Setting("KO_SOAK_CLIENTS", 8);
    const DWORD Groups = Setting("KO_SOAK_GROUPS", 50);
    const DWORD Items = Setting("KO_SOAK_ITEMS", 1000);
    const DWORD Waves = std::max<DWORD>(Setting("KO_SOAK_WAVES", 2), 2);
    const DWORD WaveMs = Minutes * 60000 / Waves;
    // The heap keeps what a wave's peak took (Wine's heap returns no freed memory to the system),
    // and a later wave adds what of its peak did not fit into the free pieces the earlier ones
    // left: the working set after a wave is not expected back at its start, and may grow a little
    // from wave to wave. What a leak would add is of another size: an item alone (object, link,
    // slot and index entries) takes over 600 bytes, and a wave adds the standing items many times
    // over as its clients replace groups. A later wave may end at most 400 bytes per standing item
    // above the wave before it.
    const SIZE_T GrowthBound = static_cast<SIZE_T>(Clients) * Groups * Items * 400;

    Opc = Connect();
    ASSERT_TRUE(Opc);
    TKoHandle Process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, Server.Id()));
    ASSERT_TRUE(Process);
    const Resources Start = ResourcesOf(Process.Get(), Server.Id());

    auto RunWave = [&](DWORD Number) {
        Wave W;
        W.Peak = Start;
        const ULONGLONG Began = GetTickCount64();
        std::vector<TKoHandle> Children;
        for (DWORD I = 0; I < Clients; ++I) {
            Children.push_back(StartProgram(
                ExecutablePath(), std::wstring(kChildSwitchW) + L" " + std::to_wstring(Number * 100 + I) +
                                      L" " + std::to_wstring(WaveMs) + L" " + std::to_wstring(Groups) + L" " +
                                      std::to_wstring(Items)));
            EXPECT_TRUE(Children.back()) << "wave " << Number << ": client " << I << " did not start";
        }
        std::vector<HANDLE> Raw;
        for (const TKoHandle& C : Children)
            if (C) Raw.push_back(C.Get());
        const DWORD Bound = WaveMs + 300000; // the run, then setting up and closing down
        while (!Raw.empty() && WaitForMultipleObjects(static_cast<DWORD>(Raw.size()), Raw.data(), TRUE,
                                                      5000) == WAIT_TIMEOUT) {
            const ULONGLONG Asked = GetTickCount64();
            const long Count = GroupCount(Opc.Get());
            W.SlowestStatus = std::max(W.SlowestStatus, GetTickCount64() - Asked);
            EXPECT_GE(Count, 0) << "GetStatus failed during the run";
            W.PeakGroups = std::max(W.PeakGroups, Count);
            const Resources Now = ResourcesOf(Process.Get(), Server.Id());
            W.Peak.Handles = std::max(W.Peak.Handles, Now.Handles);
            W.Peak.Threads = std::max(W.Peak.Threads, Now.Threads);
            W.Peak.WorkingSet = std::max(W.Peak.WorkingSet, Now.WorkingSet);
            if (GetTickCount64() - Began > Bound) {
                ADD_FAILURE() << "wave " << Number << ": the clients did not finish within " << Bound
                              << " ms";
                for (const TKoHandle& C : Children) TerminateProcess(C.Get(), 9);
                break;
            }
        }
        for (DWORD I = 0; I < Clients; ++I) {
            DWORD Code = 99;
            GetExitCodeProcess(Children[I].Get(), &Code);
            EXPECT_EQ(Code, 0u) << "wave " << Number << ": client " << I
                                << " (3 setup, 6 a call failed, 7 no data change)";
        }
        EXPECT_EQ(GroupCount(Opc.Get()), 0);

        // Every client is gone: the server's handles and threads return to their starting values.
        const ULONGLONG Left = GetTickCount64();
        W.End = ResourcesOf(Process.Get(), Server.Id());
        while ((W.End.Handles > Start.Handles || W.End.Threads > Start.Threads) &&
               GetTickCount64() - Left < 60000) {
            Pause(1000);
            W.End = ResourcesOf(Process.Get(), Server.Id());
        }
        W.Settled = GetTickCount64() - Left;
        std::printf(
            "[ note ] wave %lu: %lu clients x %lu groups x %lu items for %lu s: peak %ld groups, slowest "
            "GetStatus %llu ms\n",
            Number, Clients, Groups, Items, WaveMs / 1000, W.PeakGroups, W.SlowestStatus);
        std::printf(
            "[ note ] wave %lu: handles %lu -> peak %lu -> %lu; threads %lu -> peak %lu -> %lu; working set "
            "%.1f MB -> peak %.1f MB -> %.1f MB (settled %llu ms after the last client)\n",
            Number, Start.Handles, W.Peak.Handles, W.End.Handles, Start.Threads, W.Peak.Threads,
            W.End.Threads, Start.WorkingSet / 1048576.0, W.Peak.WorkingSet / 1048576.0,
            W.End.WorkingSet / 1048576.0, W.Settled);
        // Wine reports no handle count (GetProcessHandleCount gives 0): then only threads and memory
        // are checked.
        if (Start.Handles > 0) {
            EXPECT_LE(W.End.Handles, Start.Handles) << "wave " << Number;
        }
        EXPECT_LE(W.End.Threads, Start.Threads) << "wave " << Number;
        return W;
    };

    Wave Before = RunWave(1);
    for (DWORD Number = 2; Number <= Waves; ++Number) {
        const Wave Later = RunWave(Number);
        EXPECT_LE(Later.End.WorkingSet, Before.End.WorkingSet + GrowthBound)
            << "the working set grew by "
            << (static_cast<double>(Later.End.WorkingSet) - Before.End.WorkingSet) / 1048576.0
            << " MB over wave " << Number << " (bound " << GrowthBound / 1048576.0 << " MB)";
        Before = Later;
    }
    if (Start.Handles == 0) std::printf("[ note ] the server's handle count is not available here\n");
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::string_view(argv[1]) == kChildSwitch)
        return RunSoakClient(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)),
                             static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)),
                             std::strtoul(argv[4], nullptr, 10), std::strtoul(argv[5], nullptr, 10));
    return kotest::RunClientTests(argc, argv);
}
