// How long a message waits in the main thread's queue of the windowed server while it works
// hard: the whole program in this process (provider, modules, main window, the monitor window
// open, the activity log active, the Random timer at 10 ms), and one client in a second instance
// of this program, holding a server object of that provider across processes, with one group of
// 10,000 active items on Random variables at an update rate of 10 ms and a data callback. The
// client also reads ten items every 50 ms, so the log and the monitor get a line each time.
//
// A probe thread posts a message stamped with the time to a window of the main thread every
// 10 ms; the main thread notes how long each waited. Three phases are reported apart: the
// client's start until its 10,000 items are added and subscribed; the operator selecting the
// client and its group in the monitor, which lists the 10,000 items; and the steady state that
// follows (10 s).
//
// Usage: KoBenchMainThread.exe [--seconds N] (the child instance is started by the program).

#include <windows.h>

#include <objbase.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KoBenchSupport.h"
#include "KoComObjects.h"
#include "KoForms.h"
#include "KoLogs.h"
#include "KoOPCProvider.h"
#include "KoOPCProviderForms.h"
#include "KoOPCServerProgram.h"
#include "KoProcessTesting.h"
#include "KoTimers.h"
#include "RandomVars.h"
#include "Unit1.h"

using namespace kobench;

namespace {

constexpr wchar_t kBenchName[] = L"KoBenchMainThread";
constexpr DWORD kItems = 10'000;
constexpr DWORD kUpdateRateMs = 10;
constexpr uint32_t kRandomTimerMs = 10;
constexpr DWORD kProbeMs = 10;
constexpr DWORD kReadEveryMs = 50;
constexpr DWORD kDefaultSeconds = 10;
constexpr double kAimMs = 100;
constexpr const wchar_t* kChangingItems[] = {L"Random.KoFloat1", L"Random.KoDateTime1"};

// ---- the client (second instance) ----

class TCountingSink final : public TDataChangeSink {
public:
    uint64_t Values() const noexcept { return FValues.load(); }
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*, VARIANT*, WORD*,
                              FILETIME*, HRESULT*) override {
        FValues += dwCount;
        return S_OK;
    }

private:
    std::atomic<uint64_t> FValues{0};
};

// The file the client leaves its count of received values in, beside the rendezvous file.
std::wstring CountFile(const TRendezvous& Names) {
    return Names.File + L".values";
}

int RunClient(DWORD ParentPid) {
    TComApartment Apartment;
    TParentProcess Parent(kBenchName, ParentPid);
    ComPtr<IOPCServer> Server;
    UnmarshalFromFile(Parent.Names().File, IID_IOPCServer, reinterpret_cast<void**>(Server.GetAddressOf()));

    std::vector<const wchar_t*> IDs(kItems);
    for (DWORD I = 0; I < kItems; ++I) IDs[I] = kChangingItems[I % std::size(kChangingItems)];
    TServerGroup Group = AddGroup(*Server.Get(), L"Subscribed", 1, kUpdateRateMs, IDs);
    ComPtr<TCountingSink> Sink = KoAdopt(new TCountingSink);
    ComPtr<IConnectionPointContainer> Container;
    Check(Group.Unknown.As(&Container), "the group's IConnectionPointContainer");
    ComPtr<IConnectionPoint> Point;
    Check(Container->FindConnectionPoint(IID_IOPCDataCallback, &Point), "FindConnectionPoint");
    DWORD Cookie = 0;
    Check(Point->Advise(Sink->Unknown(), &Cookie), "IConnectionPoint::Advise");
    Parent.SignalReady();

    LARGE_INTEGER Start, Stop;
    QueryPerformanceCounter(&Start);
    const uint64_t Before = Sink->Values();
    while (!Parent.Finished(kReadEveryMs)) {
        OPCITEMSTATE* States = nullptr;
        HRESULT* Errors = nullptr;
        if (SUCCEEDED(Group.SyncIO->Read(OPC_DS_CACHE, 10, Group.Handles.data(), &States, &Errors))) {
            FreeArray(States, 10);
            FreeArray(Errors, 10);
        }
    }
    QueryPerformanceCounter(&Stop);
    const uint64_t Received = Sink->Values() - Before;
    Point->Unadvise(Cookie);
    std::ofstream(CountFile(Parent.Names()).c_str())
        << Received << ' ' << SecondsBetween(Start, Stop) << '\n';
    return 0;
}

// ---- the probe ----

// The phases, in their order.
enum TPhase { phAddItems, phListItems, phSteady, phCount };
const char* const PhaseNames[phCount] = {"client adds, subscribes 10,000 items",
                                         "monitor lists the 10,000 items", "steady state"};

class TProbe {
public:
    static constexpr UINT WM_PROBE = WM_APP + 1;

    TProbe()
        : FWindow([this](UINT Msg, WPARAM WParam, LPARAM, LRESULT& Result) {
              if (Msg != WM_PROBE) return false;
              Taken(static_cast<size_t>(WParam));
              Result = 0;
              return true;
          }) {
        FStamps.resize(1 << 16);
        FStop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        FThread = std::thread([this] { Post(); });
    }
    ~TProbe() {
        SetEvent(FStop.Get());
        FThread.join();
    }
    TProbe(const TProbe&) = delete;
    TProbe& operator=(const TProbe&) = delete;

    // Main thread: the waits from now on count for that phase.
    void Enter(TPhase Phase) { FPhase = Phase; }
    // The waits of the probe messages the main thread took in that phase, in milliseconds.
    const std::vector<double>& Waits(TPhase Phase) const { return FWaits[Phase]; }
    // Probes posted that the main thread has not taken yet.
    size_t Outstanding() const { return FPosted.load() - FTaken; }

private:
    void Post() {
        // A periodic waitable timer keeps the 10 ms beat whatever each post costs.
        TKoHandle Timer(CreateWaitableTimerW(nullptr, FALSE, nullptr));
        LARGE_INTEGER Due;
        Due.QuadPart = -static_cast<LONGLONG>(kProbeMs) * 10'000;
        SetWaitableTimer(Timer.Get(), &Due, static_cast<LONG>(kProbeMs), nullptr, nullptr, FALSE);
        HANDLE Waits[] = {FStop.Get(), Timer.Get()};
        while (WaitForMultipleObjects(2, Waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            const size_t Index = FPosted.load() % FStamps.size();
            QueryPerformanceCounter(&FStamps[Index]);
            ++FPosted;
            PostMessageW(FWindow.Handle(), WM_PROBE, Index, 0);
        }
    }
    void Taken(size_t Index) {
        LARGE_INTEGER Now;
        QueryPerformanceCounter(&Now);
        const double Ms = SecondsBetween(FStamps[Index], Now) * 1000;
        FWaits[FPhase].push_back(Ms);
        ++FTaken;
    }

    TKoMessageWindow FWindow;
    std::vector<LARGE_INTEGER> FStamps;
    std::atomic<size_t> FPosted{0};
    size_t FTaken = 0;
    TPhase FPhase = phAddItems;
    std::vector<double> FWaits[phCount];
    TKoHandle FStop;
    std::thread FThread;
};

// Runs a message loop like the program's own (GetMessage, TranslateMessage, DispatchMessage)
// until Done holds, checked every 10 ms, or BoundMs passed; false on the bound.
template <class TDone> bool RunLoopUntil(TDone Done, DWORD BoundMs) {
    const ULONGLONG Deadline = GetTickCount64() + BoundMs;
    bool Held = false, Over = false;
    TKoMessageWindow Check([&](UINT Msg, WPARAM, LPARAM, LRESULT& Result) {
        if (Msg != WM_TIMER) return false;
        Held = Done();
        Over = Held || GetTickCount64() >= Deadline;
        Result = 0;
        return true;
    });
    SetTimer(Check.Handle(), 1, 10, nullptr);
    MSG Msg;
    while (!Over && GetMessageW(&Msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&Msg);
        DispatchMessageW(&Msg);
    }
    KillTimer(Check.Handle(), 1);
    return Held;
}

struct TStats {
    size_t Count = 0;
    double Median = 0, P99 = 0, Max = 0;
};

TStats StatsOf(std::vector<double> Waits) {
    TStats S;
    S.Count = Waits.size();
    if (Waits.empty()) return S;
    std::sort(Waits.begin(), Waits.end());
    S.Median = Waits[Waits.size() / 2];
    S.P99 = Waits[std::min(Waits.size() - 1, Waits.size() * 99 / 100)];
    S.Max = Waits.back();
    return S;
}

void PrintPhase(const char* Name, const TStats& S) {
    std::printf("%-38s %8zu %10.2f %10.2f %10.2f\n", Name, S.Count, S.Median, S.P99, S.Max);
}

int RunServer(DWORD Seconds) {
    // The client's calls cross processes through the OPC interfaces' proxies.
    Check(kotest::RegisterProxyDll(kotest::ExecutableDirectory() + L"" KO_OPC_PROXY_DLL),
          "registering the proxy DLL");
    KoOPCServerCreateProvider();
    if (!KoOPCServerCreateObjects()) throw EBench("the program's objects cannot be made");
    TKoOPCProvider* Provider = KoOPCServerProvider();
    TForm1* Form = KoOPCServerMainForm();
    if (!Provider || !Form) throw EBench("no provider or main window");
    if (!RunLoopUntil([&] { return Provider->State() == OPC_STATUS_RUNNING; }, 10'000))
        throw EBench("the provider did not reach the running state");

    Provider->ActivityLog().SetActive(true);
    Random->Timer1->SetInterval(kRandomTimerMs);
    SendMessageW(Form->Handle(), WM_COMMAND, TForm1::cmClientConnections, 0);
    TKoOPCProviderForm* Monitor = Form->Monitor();
    if (!Monitor) throw EBench("the monitor window did not open");

    // The client's server object goes to the file before the child starts and looks for it.
    ComPtr<IOPCServer> Server;
    {
        IKoOPCProviderClient* Client = Provider->GetNewClient();
        if (!Client) throw EBench("the provider made no server object");
        Client->ObjQueryInterface(IID_IOPCServer, reinterpret_cast<void**>(Server.GetAddressOf()));
        Client->ObjRelease();
    }
    const TRendezvous Names(kBenchName, GetCurrentProcessId());
    MarshalToFile(Names.File, IID_IOPCServer, Server.Get());
    Server.Reset();

    TProbe Probe;
    double ValuesPerSecond = 0;
    {
        TChildProcess Child(kBenchName, L"");
        // The set-up: the child adds its items and subscribes while the loop runs.
        HANDLE Ready = OpenEventW(SYNCHRONIZE, FALSE, Names.ReadyEvent.c_str());
        TKoHandle ReadyOwner(Ready);
        if (!RunLoopUntil([&] { return WaitForSingleObject(Ready, 0) == WAIT_OBJECT_0; }, kProgramBoundMs))
            throw EBench("the client did not get ready");
        Probe.Enter(phListItems);
        // The operator selects the client and its group: the monitor lists the 10,000 items.
        const HWND Window = Monitor->Handle();
        const auto Select = [&](int ListId) {
            const HWND List = GetDlgItem(Window, ListId);
            SendMessageW(List, LB_SETCURSEL, 0, 0);
            SendMessageW(Window, WM_COMMAND, MAKEWPARAM(ListId, LBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(List));
        };
        Select(TKoOPCProviderForm::idClientList);
        Select(TKoOPCProviderForm::idGroupList);
        const LRESULT Listed =
            SendMessageW(GetDlgItem(Window, TKoOPCProviderForm::idItemList), LB_GETCOUNT, 0, 0);
        if (Listed != static_cast<LRESULT>(kItems))
            throw EBench("the monitor lists " + std::to_string(Listed) + " items, not 10000");
        // Whatever the set-up left queued is taken before the steady state starts.
        RunLoopUntil([&] { return Probe.Outstanding() == 0; }, 5'000);

        Probe.Enter(phSteady);
        const ULONGLONG End = GetTickCount64() + Seconds * 1000ull;
        RunLoopUntil([&] { return GetTickCount64() >= End; }, Seconds * 1000 + 1000);
    } // the client is let go and has ended here
    {
        std::ifstream Count(CountFile(Names).c_str());
        uint64_t Values = 0;
        double Over = 0;
        if (Count >> Values >> Over && Over > 0) ValuesPerSecond = static_cast<double>(Values) / Over;
        DeleteFileW(CountFile(Names).c_str());
    }
    TStats Stats[phCount];
    for (int Phase = 0; Phase < phCount; ++Phase)
        Stats[Phase] = StatsOf(Probe.Waits(static_cast<TPhase>(Phase)));
    const TStats& Steady = Stats[phSteady];
    KoOPCServerDestroyObjects();

    std::printf("Main-thread message wait of KoOPCServer (probe every %lu ms)\n", kProbeMs);
    std::printf("load: 1 client, 1 group, %lu items at %lu ms, Random timer %u ms, monitor open with the "
                "client's items listed, activity log active\n",
                kItems, kUpdateRateMs, kRandomTimerMs);
    std::printf("%-38s %8s %10s %10s %10s\n", "phase", "probes", "median ms", "p99 ms", "max ms");
    for (int Phase = 0; Phase < phCount; ++Phase) PrintPhase(PhaseNames[Phase], Stats[Phase]);
    std::printf("values delivered to the client: %.0f/s\n", ValuesPerSecond);
    std::printf("aim: no wait above %.0f ms in the steady state: %s\n", kAimMs,
                Steady.Count && Steady.Max <= kAimMs ? "met" : "MISSED");
    return Steady.Count && Steady.Max <= kAimMs && ValuesPerSecond > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc >= 3 && std::strcmp(argv[1], kChildSwitch) == 0)
            return RunClient(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
        DWORD Seconds = kDefaultSeconds;
        if (argc == 3 && std::strcmp(argv[1], "--seconds") == 0) {
            Seconds = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
            if (Seconds == 0 || Seconds > 3600) {
                std::fprintf(stderr, "KoBenchMainThread: --seconds takes 1 to 3600\n");
                return 2;
            }
        } else if (argc != 1) {
            std::fprintf(stderr, "usage: KoBenchMainThread.exe [--seconds N]\n");
            return 2;
        }
        return RunServer(Seconds);
    } catch (const EBench& Error) {
        std::fprintf(stderr, "KoBenchMainThread: %s\n", Error.what());
        return 3;
    }
}
