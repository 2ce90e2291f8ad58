// Data-change delivery of the server against a bare callback carrying the same payload, measured
// in one run:
//   (a) KoOPCServer, started by COM: one active group, update rate 10 ms, 10,000 active items on
//       Random variables that change on every step, the Random timer at 10 ms;
//   (b1) a second instance of this program calls the same sink's OnDataChange with 10,000 good
//       VT_R8 values and their time stamps, one call after the other;
//   (b2) the same, one call every 10 ms at most (paced as the server paces a group).
// Each case runs alone: a warm-up, then a window in which the sink of this process (MTA) counts
// the values it receives. (b2) is the like-for-like floor of (a): the same update rate.
//
// Usage: KoBenchDataChange.exe (the child instance is started by the program itself).

#include <windows.h>

#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "KoBenchSupport.h"
#include "KoComObjects.h"
#include "KoOPCDA.h"
#include "KoOle.h"

using namespace kobench;

namespace {

constexpr wchar_t kBenchName[] = L"KoBenchDataChange";
constexpr DWORD kItems = 10'000;
constexpr DWORD kUpdateRateMs = 10;
constexpr int32_t kTimerIntervalMs = 10;
constexpr DWORD kWarmUpMs = 2'000;
constexpr DWORD kWindowMs = 10'000;
// The child's argument: its calls paced, or back to back.
constexpr char kPacedArg[] = "paced";
constexpr char kFastArg[] = "fast";

// Random variables whose value differs after every step, cycled over the items (the server
// accepts an item ID more than once in a group). Both carry 8-byte values (VT_R8, VT_DATE),
// as the bare calls do.
constexpr const wchar_t* kChangingItems[] = {L"Random.KoFloat1", L"Random.KoDateTime1"};
constexpr wchar_t kTimerItem[] = L"Random.TimerInterval";

// ---- the sink ----

// Counts what arrives through OnDataChange; entries that are not good 8-byte values without
// error are counted apart, so a case that delivers something else shows it.
class TCountingSink final : public TDataChangeSink {
public:
    struct TCounts {
        uint64_t Values = 0;
        uint64_t Callbacks = 0;
    };

    TCounts Counts() const noexcept { return {FValues.load(), FCallbacks.load()}; }
    uint64_t Odd() const noexcept { return FOdd.load(); }

    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*,
                              VARIANT* pvValues, WORD* pwQualities, FILETIME*, HRESULT* pErrors) override {
        uint64_t Odd = 0;
        for (DWORD I = 0; I < dwCount; ++I) {
            const VARTYPE Type = pvValues ? pvValues[I].vt : VARTYPE{VT_EMPTY};
            if ((Type != VT_R8 && Type != VT_DATE) || !pwQualities || pwQualities[I] != OPC_QUALITY_GOOD ||
                (pErrors && FAILED(pErrors[I])))
                ++Odd;
        }
        FOdd += Odd;
        FValues += dwCount;
        ++FCallbacks;
        return S_OK;
    }

private:
    std::atomic<uint64_t> FValues{0};
    std::atomic<uint64_t> FCallbacks{0};
    std::atomic<uint64_t> FOdd{0};
};

// ---- measurement ----

struct TResult {
    explicit TResult(const char* AName) : Name(AName) {}

    const char* Name;
    double ValuesPerSecond = 0;
    double CallbacksPerSecond = 0;
    double EntriesPerCallback = 0;
    uint64_t Odd = 0;
    std::string Failure; // why the case has no figures

    bool Ran() const { return Failure.empty() && ValuesPerSecond > 0; }
};

// Waits out the warm-up, then counts over the window.
void Measure(const TCountingSink& Sink, TResult& Result) {
    Sleep(kWarmUpMs);
    const TCountingSink::TCounts Before = Sink.Counts();
    LARGE_INTEGER Start, Stop;
    QueryPerformanceCounter(&Start);
    Sleep(kWindowMs);
    QueryPerformanceCounter(&Stop);
    const TCountingSink::TCounts After = Sink.Counts();

    const double Seconds = SecondsBetween(Start, Stop);
    const auto Values = static_cast<double>(After.Values - Before.Values);
    const auto Callbacks = static_cast<double>(After.Callbacks - Before.Callbacks);
    Result.ValuesPerSecond = Values / Seconds;
    Result.CallbacksPerSecond = Callbacks / Seconds;
    Result.EntriesPerCallback = Callbacks > 0 ? Values / Callbacks : 0;
    Result.Odd = Sink.Odd();
    if (Callbacks == 0) Result.Failure = "no OnDataChange arrived in the window";
}

// ---- the bare callback of cases (b1) and (b2) ----

// The child: takes the parent's sink out of the file and calls OnDataChange with the same
// 10,000 entries (fresh values and time stamps each time) until the parent is done. Paced: a
// call starts at most every kUpdateRateMs, counted from the start of the previous one.
int RunChild(DWORD ParentPid, bool Paced) {
    TComApartment Apartment;
    TParentProcess Parent(kBenchName, ParentPid);
    ComPtr<IOPCDataCallback> Sink;
    UnmarshalFromFile(Parent.Names().File, IID_IOPCDataCallback,
                      reinterpret_cast<void**>(Sink.GetAddressOf()));

    std::vector<OPCHANDLE> Handles(kItems);
    std::vector<VARIANT> Values(kItems); // VT_R8 only: nothing to clear
    std::vector<WORD> Qualities(kItems, OPC_QUALITY_GOOD);
    std::vector<FILETIME> Stamps(kItems);
    std::vector<HRESULT> Errors(kItems, S_OK);
    for (DWORD I = 0; I < kItems; ++I) {
        Handles[I] = I + 1;
        VariantInit(&Values[I]);
        Values[I].vt = VT_R8;
    }
    Parent.SignalReady();

    uint64_t LastCall = 0;
    for (DWORD Transaction = 0;; ++Transaction) {
        DWORD WaitMs = 0;
        if (Paced) {
            const uint64_t Due = LastCall + kUpdateRateMs, Now = GetTickCount64();
            if (Due > Now) WaitMs = static_cast<DWORD>(Due - Now);
        }
        if (Parent.Finished(WaitMs)) break;
        LastCall = GetTickCount64();
        FILETIME Now;
        GetSystemTimeAsFileTime(&Now);
        for (DWORD I = 0; I < kItems; ++I) {
            Values[I].dblVal = (Transaction % 1000) * 0.1 + I;
            Stamps[I] = Now;
        }
        const HRESULT Result = Sink->OnDataChange(0, 1, S_OK, S_OK, kItems, Handles.data(), Values.data(),
                                                  Qualities.data(), Stamps.data(), Errors.data());
        if (FAILED(Result)) {
            std::fprintf(stderr, "KoBenchDataChange child: OnDataChange returned %s\n", Hex(Result).c_str());
            return 3;
        }
    }
    return 0;
}

void RunBare(TResult& Result, bool Paced) {
    ComPtr<TCountingSink> Sink = KoAdopt(new TCountingSink);
    try {
        {
            // The sink goes to the file before the child starts and looks for it.
            MarshalToFile(TRendezvous(kBenchName, GetCurrentProcessId()).File, IID_IOPCDataCallback,
                          Sink->Unknown());
            const std::string_view Mode = Paced ? kPacedArg : kFastArg;
            TChildProcess Child(kBenchName, std::wstring(Mode.begin(), Mode.end()));
            Child.WaitReady();
            Measure(*Sink.Get(), Result);
        } // the child is let go and has ended here
    } catch (const EBench& Error) {
        Result.Failure = Error.what();
    }
    // Drops the stub, and the marshalled reference should the child never have taken it.
    CoDisconnectObject(Sink->Unknown(), 0);
}

// ---- the server of case (a) ----

// The sink advised on a group's IOPCDataCallback connection point; unadvised when it goes.
class TAdvise {
public:
    TAdvise(IUnknown& Group, IUnknown* Sink) {
        ComPtr<IConnectionPointContainer> Container;
        Check(Group.QueryInterface(IID_PPV_ARGS(&Container)), "the group's IConnectionPointContainer");
        Check(Container->FindConnectionPoint(IID_IOPCDataCallback, &FPoint), "FindConnectionPoint");
        Check(FPoint->Advise(Sink, &FCookie), "IConnectionPoint::Advise");
    }
    ~TAdvise() {
        if (FCookie) FPoint->Unadvise(FCookie);
    }
    TAdvise(const TAdvise&) = delete;
    TAdvise& operator=(const TAdvise&) = delete;

private:
    ComPtr<IConnectionPoint> FPoint;
    DWORD FCookie = 0;
};

void WriteOne(IOPCSyncIO& Io, OPCHANDLE Handle, TKoOleVariant Value) {
    TReceivedArray<HRESULT> Errors(1);
    const HRESULT Result = Io.Write(1, &Handle, &Value.Get(), Errors.Receive());
    if (Result != S_OK) throw EBench("IOPCSyncIO::Write of the timer returned " + Hex(Result));
}

TKoOleVariant ReadOne(IOPCSyncIO& Io, OPCHANDLE Handle) {
    TReceivedArray<OPCITEMSTATE> States(1);
    TReceivedArray<HRESULT> Errors(1);
    const HRESULT Result = Io.Read(OPC_DS_CACHE, 1, &Handle, States.Receive(), Errors.Receive());
    if (Result != S_OK) throw EBench("IOPCSyncIO::Read of the timer returned " + Hex(Result));
    return TKoOleVariant(States[0].vDataValue);
}

// Sets the Random module's timer for its lifetime and puts the old interval back at the end.
class TModuleTimer {
public:
    TModuleTimer(IOPCServer& Server, int32_t IntervalMs)
        : FGroup(AddGroup(Server, L"Bench timer", 1, 1000, {kTimerItem})) {
        FOld = ReadOne(*FGroup.SyncIO.Get(), FGroup.Handles[0]);
        WriteOne(*FGroup.SyncIO.Get(), FGroup.Handles[0], TKoOleVariant(IntervalMs));
    }
    ~TModuleTimer() {
        try {
            WriteOne(*FGroup.SyncIO.Get(), FGroup.Handles[0], FOld);
        } catch (const EBench& Error) {
            std::fprintf(stderr, "note: the timer interval was not put back: %s\n", Error.what());
        }
    }
    TModuleTimer(const TModuleTimer&) = delete;
    TModuleTimer& operator=(const TModuleTimer&) = delete;

private:
    TServerGroup FGroup;
    TKoOleVariant FOld;
};

void RunServer(TResult& Result) {
    ComPtr<TCountingSink> Sink = KoAdopt(new TCountingSink);
    try {
        ComPtr<IOPCServer> Server = CreateServer();
        std::vector<const wchar_t*> IDs(kItems);
        for (DWORD I = 0; I < kItems; ++I) IDs[I] = kChangingItems[I % std::size(kChangingItems)];
        TServerGroup Group = AddGroup(*Server.Get(), L"Bench data change", 2, kUpdateRateMs, IDs);
        if (Group.RevisedUpdateRate != kUpdateRateMs)
            std::printf("note: the group's update rate was revised to %lu ms\n",
                        static_cast<unsigned long>(Group.RevisedUpdateRate));
        TModuleTimer Timer(*Server.Get(), kTimerIntervalMs);
        TAdvise Advise(*Group.Unknown.Get(), Sink->Unknown());
        Measure(*Sink.Get(), Result);
        // Unadvised, timer put back, groups and the server released: in reverse order.
    } catch (const EBench& Error) {
        Result.Failure = Error.what();
    }
}

// ---- report ----

void PrintCase(const TResult& Case) {
    if (!Case.Ran()) {
        std::printf("%-46s n/a: %s\n", Case.Name, Case.Failure.c_str());
        return;
    }
    std::printf("%-46s %10.0f %11.1f %10.0f\n", Case.Name, Case.ValuesPerSecond, Case.CallbacksPerSecond,
                Case.EntriesPerCallback);
    if (Case.Odd)
        std::printf("note: %s: %llu entries were not good 8-byte values without error\n", Case.Name,
                    static_cast<unsigned long long>(Case.Odd));
}

void PrintRatio(const char* Name, const TResult& Server, const TResult& Bare, const char* Note) {
    if (!Server.Ran() || !Bare.Ran()) {
        std::printf("%-6s n/a\n", Name);
        return;
    }
    std::printf("%-6s %.3f  %s (aim >= 0.90)\n", Name, Server.ValuesPerSecond / Bare.ValuesPerSecond, Note);
}

int RunParent() {
    TComApartment Apartment;
    TResult Server("(a) server, group 10 ms, Random timer 10 ms");
    TResult Fast("(b1) bare OnDataChange, back to back");
    TResult Paced("(b2) bare OnDataChange, every 10 ms");

    {
        // The proxy DLL must be registered before the sink's interface can cross. The bare cases
        // run before the server starts, so that its simulation does not load the machine then.
        TServerRegistration Registration;
        RunBare(Fast, false);
        RunBare(Paced, true);
        RunServer(Server);
    }

    std::printf("OnDataChange of %lu items across processes: %.0f s counted after %.0f s warm-up per case\n",
                static_cast<unsigned long>(kItems), kWindowMs / 1e3, kWarmUpMs / 1e3);
    std::printf("%-46s %10s %11s %10s\n", "case", "values/s", "callbacks/s", "entries/cb");
    for (const TResult* Case : {&Server, &Fast, &Paced}) PrintCase(*Case);
    PrintRatio("a/b1", Server, Fast, "against the bare callback back to back");
    PrintRatio("a/b2", Server, Paced, "against the bare callback paced at 10 ms (like for like)");
    std::printf("aim: (a) >= 100000 values/s: %s\n",
                Server.Ran() ? (Server.ValuesPerSecond >= 100'000 ? "met" : "not met") : "n/a");
    return Server.Ran() && Fast.Ran() && Paced.Ran() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::strcmp(argv[1], kChildSwitch) == 0)
            return RunChild(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)),
                            std::strcmp(argv[3], kPacedArg) == 0);
        return RunParent();
    } catch (const EBench& Error) {
        std::fprintf(stderr, "KoBenchDataChange: %s\n", Error.what());
        return 2;
    }
}
