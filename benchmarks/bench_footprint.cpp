// What the server costs besides the wire:
//   P4: change propagation in the process: a variable write reaches every item on it, each item
//       refreshes its state and updates its entry of the group's pending data change; item changes
//       per second on the thread that writes (the server's main thread does this work); and item
//       churn: a group of items added and removed, until its items are freed on the main thread;
//   P5: the working set of KoOPCServer per added item, for 1,000, 10,000 and 100,000 items in one
//       group and 100,000 items across 100 groups, each in a fresh server that already holds a
//       first group with one item;
//   P6: the CPU time of an idle KoOPCServer over 10 s: started on its own with no client, and
//       started by COM for one client that holds an inactive group.
//
// Usage: KoBenchFootprint.exe

#include <windows.h>

#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "KoAllocationCounter.h"
#include "KoApplication.h"
#include "KoBenchSupport.h"
#include "KoComObjects.h"
#include "KoComServer.h"
#include "KoMessagePump.h"
#include "KoOPCDA.h"
#include "KoOPCGroup.h"
#include "KoOPCItems.h"
#include "KoOPCProvider.h"
#include "KoOPCServerObject.h"
#include "KoProcessTesting.h"
#include "RandomVars.h"

using namespace kobench;
using namespace std::chrono_literals;

namespace {

// ---- P4: propagation in the process ----

constexpr DWORD kPropagationItems = 10'000;
constexpr int kPropagationRounds = 7;
constexpr int kWritesPerRound = 50;

// Takes the group's callbacks in the process and counts them.
class TInProcessSink final : public TDataChangeSink {
public:
    long Calls() const noexcept { return FCalls.load(); }
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                              FILETIME*, HRESULT*) override {
        ++FCalls;
        return S_OK;
    }

private:
    std::atomic<long> FCalls{0};
};

// The group's connection point with Sink advised.
DWORD Advise(IUnknown& Group, IUnknown* Sink) {
    ComPtr<IConnectionPointContainer> Container;
    ComPtr<IConnectionPoint> Point;
    Check(Group.QueryInterface(IID_PPV_ARGS(&Container)), "the group's IConnectionPointContainer");
    Check(Container->FindConnectionPoint(IID_IOPCDataCallback, &Point), "FindConnectionPoint");
    DWORD Cookie = 0;
    Check(Point->Advise(Sink, &Cookie), "IConnectionPoint::Advise");
    return Cookie;
}

// A client replacing a group: a group of kPropagationItems items on the variable of Signal is added
// and removed, and the time runs until the last of its items has left the variable (removed items
// are freed in batches on the main thread, which is this thread).
void MeasureChurn(IOPCServer& Server, const TKoSignal& Signal) {
    constexpr int kChurnRounds = 5;
    const int Standing = Signal.SlotCount();
    const std::vector<const wchar_t*> IDs(kPropagationItems, L"Random.KoFloat1");
    std::vector<double> Rates;
    for (int Round = 0; Round < kChurnRounds; ++Round) {
        LARGE_INTEGER From, To;
        QueryPerformanceCounter(&From);
        {
            const TServerGroup Group = AddGroup(Server, L"Churn", 2, 1000, IDs);
            Check(Server.RemoveGroup(Group.ServerHandle, FALSE), "IOPCServer::RemoveGroup");
        }
        if (!kotest::PumpUntil([&] { return Signal.SlotCount() == Standing; }, 60s))
            throw EBench("the items of a removed group were not freed within 60 s");
        QueryPerformanceCounter(&To);
        Rates.push_back(2 * static_cast<double>(kPropagationItems) / SecondsBetween(From, To));
    }
    const double Median = MedianOf(Rates);
    std::printf(
        "P4 churn: a group of %lu items added, removed and freed, %d rounds: median %.0f items added or "
        "freed/s (%.2f us per item added and freed)\n",
        static_cast<unsigned long>(kPropagationItems), kChurnRounds, Median, 2e6 / Median);
}

// The provider of the programs in this process with the Random module (its timer stopped, so
// that only the benchmark's writes change it), one client and one group of 10,000 items on
// Random.KoFloat1 with a sink connected. The group's update rate is an hour: after the first
// callback the pending data change is never taken, so every write updates entries that are
// there, as within one update interval.
double MeasurePropagation() {
    TRandom* Module = KoCreate<TRandom>(&Application());
    Module->Timer1->SetEnabled(false);
    double Best = 0;
    {
        auto Provider = std::make_unique<TKoOPCProvider>();
        Provider->ActivityLog().SetActive(true);
        Provider->Run();
        ComPtr<IOPCServer> Server =
            KoAdopt(static_cast<IOPCServer*>(TKoOPCProviderClient::Create(*Provider)));
        // What the items keep on the C++ heap (the rest of an item's memory is task-allocator text
        // and what Wine's heap adds per block): measured while they are added.
        const long long Live0 = HeapLiveBytes(), Allocations0 = HeapAllocations();
        TServerGroup Group = AddGroup(*Server.Get(), L"Propagation", 1, 3'600'000,
                                      std::vector<const wchar_t*>(kPropagationItems, L"Random.KoFloat1"));
        std::printf(
            "items in the process: %.0f bytes kept on the C++ heap and %.1f allocations made per added item "
            "(sizeof item %u, of which the variable link %u)\n",
            static_cast<double>(HeapLiveBytes() - Live0) / kPropagationItems,
            static_cast<double>(HeapAllocations() - Allocations0) / kPropagationItems,
            static_cast<unsigned>(sizeof(TKoOPCProviderItem)), static_cast<unsigned>(sizeof(TKoVarLink)));
        ComPtr<TInProcessSink> Sink = KoAdopt(new TInProcessSink);
        Advise(*Group.Unknown.Get(), Sink->Unknown());
        // The first callback carries every item; from then on the pending data change holds one
        // entry per item.
        if (!kotest::PumpUntil([&] { return Sink->Calls() > 0; }, 10s)) throw EBench("no first callback");
        Module->KoFloat1->SetValue(0.5);

        std::vector<double> Rates;
        double Value = 1;
        for (int Round = 0; Round < kPropagationRounds; ++Round) {
            LARGE_INTEGER From, To;
            QueryPerformanceCounter(&From);
            for (int W = 0; W < kWritesPerRound; ++W) Module->KoFloat1->SetValue(Value += 0.25);
            QueryPerformanceCounter(&To);
            Rates.push_back(kWritesPerRound * static_cast<double>(kPropagationItems) /
                            SecondsBetween(From, To));
            // What the writes handed to the main thread (log lines) is taken between rounds.
            kotest::PumpFor(20ms);
        }
        Best = *std::max_element(Rates.begin(), Rates.end());
        const double Median = MedianOf(Rates);
        std::printf(
            "P4 propagation: %lu items on one variable, %d writes x %d rounds: median %.0f, best %.0f "
            "item changes/s (%.0f ns per item change)\n",
            static_cast<unsigned long>(kPropagationItems), kWritesPerRound, kPropagationRounds, Median, Best,
            1e9 / Median);
        PublishFigure("P4", "in-process item changes/s (write -> item -> pending data change; median)",
                      Median, "changes/s", "", 0, ">= 2000000 changes/s");
        MeasureChurn(*Server.Get(), *Module->KoFloat1->ChangeSignal());
        Group = TServerGroup();
        Sink.Reset();
        Server.Reset();
        kotest::PumpFor(50ms);
    }
    Application().DestroyComponents();
    return Best;
}

// ---- the server process, seen from outside ----

// Items of the memory cases: the float of every module, cycled.
constexpr const wchar_t* kFloatItems[] = {L"Static.KoFloat1",   L"Random.KoFloat1",   L"SawTooth.KoFloat1",
                                          L"Sinusoid.KoFloat1", L"Triangle.KoFloat1", L"ReadOnly.KoFloat1"};

// ---- P5 ----

struct TMemoryCase {
    int Groups;
    DWORD ItemsPerGroup;
};

constexpr DWORD kItemsPerCall = 1'000;

// Adds Count more active items to the group, kItemsPerCall per call: the server's buffers of
// one call stay small against what the items themselves keep.
void AddItemsInSlices(IOPCItemMgt& Items, DWORD Count) {
    for (DWORD Done = 0; Done < Count; Done += kItemsPerCall) {
        const DWORD N = std::min(kItemsPerCall, Count - Done);
        std::vector<OPCITEMDEF> Defs(N);
        for (DWORD I = 0; I < N; ++I) {
            Defs[I].szAccessPath = const_cast<LPWSTR>(L"");
            Defs[I].szItemID = const_cast<LPWSTR>(kFloatItems[(Done + I) % std::size(kFloatItems)]);
            Defs[I].bActive = TRUE;
            Defs[I].hClient = Done + I + 1;
            Defs[I].vtRequestedDataType = VT_EMPTY;
        }
        TReceivedArray<OPCITEMRESULT> Results(N);
        TReceivedArray<HRESULT> Errors(N);
        const HRESULT Added = Items.AddItems(N, Defs.data(), Results.Receive(), Errors.Receive());
        if (Added != S_OK) throw EBench("IOPCItemMgt::AddItems returned " + Hex(Added));
    }
}

// A fresh server (started by COM for this client): its working set with the connection and a
// first group of one item, then with the case's groups and their active items added (update
// rate 1000 ms, no callback). What the first group and item bring into a server stays for its
// life whatever it holds (the code of the item path, the marshalling of a group's interfaces);
// it is printed apart, not spread over the items.
void MeasureMemory(const TMemoryCase& Case) {
    const DWORD Items = Case.ItemsPerGroup * static_cast<DWORD>(Case.Groups);
    {
        ComPtr<IOPCServer> Server = CreateServer();
        const TUnixServerProcess Process;
        // Settled: the server's start-up work is done.
        Sleep(1000);
        const double Connected = Process.WorkingSet();
        const TServerGroup First = AddGroup(*Server.Get(), L"First", 0, 1000, {kFloatItems[0]});
        Sleep(1000);
        const double Before = Process.WorkingSet();
        std::printf("P5 first group with one item, once per server: working set %.1f -> %.1f MB\n",
                    Connected / 1048576, Before / 1048576);
        std::vector<TServerGroup> Groups;
        for (int G = 0; G < Case.Groups; ++G) {
            Groups.push_back(AddGroup(*Server.Get(), (L"Memory " + std::to_wstring(G)).c_str(),
                                      static_cast<OPCHANDLE>(G + 1), 1000, {}));
            AddItemsInSlices(*Groups.back().ItemMgt.Get(), Case.ItemsPerGroup);
        }
        Sleep(1000);
        const double After = Process.WorkingSet();
        const double WorkingSetPerItem = (After - Before) / Items;
        std::printf("P5 %3d group(s) x %6lu items: working set %.1f -> %.1f MB (%.0f B/item)\n", Case.Groups,
                    static_cast<unsigned long>(Case.ItemsPerGroup), Before / 1048576, After / 1048576,
                    WorkingSetPerItem);
        const std::string Shape = std::to_string(Case.Groups) +
                                  (Case.Groups == 1 ? " group x " : " groups x ") +
                                  std::to_string(Case.ItemsPerGroup) + " items";
        PublishFigure("P5", "working set per added item: " + Shape, WorkingSetPerItem, "B/item", "", 0,
                      "<= 1024 B/item");
        std::fflush(stdout);
    }
    if (!WaitForServerToEnd()) throw EBench("the server did not end after its last release");
}

// ---- P6 ----

constexpr DWORD kIdleWindowMs = 10'000;

double IdleCpuShare() {
    const TUnixServerProcess Process;
    const double Cpu0 = Process.CpuSeconds();
    LARGE_INTEGER From, To;
    QueryPerformanceCounter(&From);
    Sleep(kIdleWindowMs);
    QueryPerformanceCounter(&To);
    return (Process.CpuSeconds() - Cpu0) / SecondsBetween(From, To);
}

void PublishIdle(const char* What, double Share) {
    std::printf("P6 idle server, %s: %.2f %% of one core over %.0f s\n", What, Share * 100,
                kIdleWindowMs / 1e3);
    PublishFigure("P6", std::string("idle server CPU: ") + What, Share * 100, "% of a core", "", 0, "< 1 %");
    std::fflush(stdout);
}

void MeasureIdle() {
    {
        // The windowed program as a user starts it, with no client.
        TKoHandle Started = kotest::StartProgram(kotest::ExecutableDirectory() + kServerExe, L"");
        if (!Started) throw EBench("KoOPCServer.exe cannot be started");
        Sleep(3000);
        const std::vector<DWORD> Ids = kotest::ProcessesOf(kServerExe);
        if (Ids.size() != 1) throw EBench("expected one KoOPCServer process");
        PublishIdle("started on its own with no client", IdleCpuShare());
        if (!kotest::QuitProgram(Ids[0]) || WaitForSingleObject(Started.Get(), 30'000) != WAIT_OBJECT_0) {
            TerminateProcess(Started.Get(), 99);
            throw EBench("KoOPCServer did not end when told to");
        }
    }
    {
        ComPtr<IOPCServer> Server = CreateServer();
        std::vector<const wchar_t*> IDs(std::begin(kFloatItems), std::end(kFloatItems));
        TServerGroup Group = AddGroup(*Server.Get(), L"Idle", 1, 1000, IDs);
        ComPtr<IOPCGroupStateMgt> State;
        Check(Group.Unknown.As(&State), "the group's IOPCGroupStateMgt");
        BOOL Inactive = FALSE;
        DWORD Revised = 0;
        Check(State->SetState(nullptr, &Revised, &Inactive, nullptr, nullptr, nullptr, nullptr), "SetState");
        Sleep(3000);
        PublishIdle("one client holding an inactive group", IdleCpuShare());
    }
    if (!WaitForServerToEnd()) throw EBench("the server did not end after its last release");
}

} // namespace

int main(int argc, char** argv) {
    // The parts to run ("P4 P5 P6" by default).
    const auto Runs = [&](const char* Part) {
        if (argc < 2) return true;
        for (int I = 1; I < argc; ++I)
            if (std::strcmp(argv[I], Part) == 0) return true;
        return false;
    };
    int Failures = 0;
    try {
        TComApartment Apartment;
        if (Runs("P4")) try {
                MeasurePropagation();
            } catch (const EBench& Error) {
                std::fprintf(stderr, "KoBenchFootprint: P4: %s\n", Error.what());
                ++Failures;
            }
        TServerRegistration Registration;
        if (Runs("P5"))
            for (const TMemoryCase& Case : {TMemoryCase{1, 1'000}, TMemoryCase{1, 10'000},
                                            TMemoryCase{1, 100'000}, TMemoryCase{100, 1'000}}) {
                try {
                    MeasureMemory(Case);
                } catch (const EBench& Error) {
                    std::fprintf(stderr, "KoBenchFootprint: P5: %s\n", Error.what());
                    ++Failures;
                }
            }
        if (Runs("P6")) try {
                MeasureIdle();
            } catch (const EBench& Error) {
                std::fprintf(stderr, "KoBenchFootprint: P6: %s\n", Error.what());
                ++Failures;
            }
    } catch (const EBench& Error) {
        std::fprintf(stderr, "KoBenchFootprint: %s\n", Error.what());
        return 2;
    }
    return Failures ? 1 : 0;
}
