// Cost of IOPCSyncIO::Read on the server against the floor that cross-process COM sets on the
// same machine, measured in one run:
//   (a) a bare call: Read of 1 item on an object that only fills one fixed OPCITEMSTATE (VT_R8),
//       hosted by a second instance of this program;
//   (b) the same bare object returning 10,000 fixed OPCITEMSTATEs;
//   (c) KoOPCServer, started by COM: Read(OPC_DS_CACHE) of 1 item of an active group;
//   (d) KoOPCServer: Read(OPC_DS_CACHE) of the 10,000 items of another active group.
// (c)/(a) and (d)/(b) show what the server adds to the marshalling that every call pays anyway.
// A bare case and its server case run in the same rounds with their calls alternating, so that
// a change in the machine's load (two cores shared with builds) falls on both alike.
//
// Usage: KoBenchSyncRead.exe (the child instance is started by the program itself).

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "KoComObjects.h"
#include "KoOPCCom.h"
#include "KoOPCDA.h"
#include "KoOPCTransactions.h"
#include "KoProcessTesting.h"
#include "KoWindows.h"

namespace {

constexpr char kChildSwitch[] = "--ko-bench-child";
constexpr wchar_t kProgID[] = L"Korvel.OPC.Simulation";
constexpr wchar_t kServerExe[] = L"KoOPCServer.exe";
constexpr DWORD kProgramBoundMs = 60'000;
constexpr DWORD kManyItems = 10'000;
constexpr int kRounds = 7;
constexpr int kCallsOneItem = 300;
constexpr int kCallsManyItems = 20;
constexpr int kWarmUpOneItem = 30;
constexpr int kWarmUpManyItems = 3;

// Items of the large group: the float of every module, cycled (the server accepts an item ID
// more than once in a group).
constexpr const wchar_t* kFloatItems[] = {L"Static.KoFloat1",   L"Random.KoFloat1",   L"SawTooth.KoFloat1",
                                          L"Sinusoid.KoFloat1", L"Triangle.KoFloat1", L"ReadOnly.KoFloat1"};

// A step that failed: the message says which and why.
class EBench : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string Hex(HRESULT Code) {
    char Text[16];
    std::snprintf(Text, sizeof Text, "0x%08lX", static_cast<unsigned long>(Code));
    return Text;
}

void Check(HRESULT Code, const char* What) {
    if (FAILED(Code)) throw EBench(std::string(What) + " failed: " + Hex(Code));
}

class TComApartment {
public:
    TComApartment() { Check(CoInitializeEx(nullptr, COINIT_MULTITHREADED), "CoInitializeEx"); }
    ~TComApartment() { CoUninitialize(); }
    TComApartment(const TComApartment&) = delete;
    TComApartment& operator=(const TComApartment&) = delete;
};

// ---- the arrays an OPC call hands back, freed with what they hold ----

void FreeArray(HRESULT*& P, DWORD) noexcept {
    TKoOPCAlloc::FreeMem(P);
}
void FreeArray(OPCITEMRESULT*& P, DWORD Count) noexcept {
    TKoOPCAlloc::FreeItemResultList(P, Count);
}
void FreeArray(OPCITEMSTATE*& P, DWORD Count) noexcept {
    if (P)
        for (DWORD I = 0; I < Count; ++I) VariantClear(&P[I].vDataValue);
    TKoOPCAlloc::FreeMem(P);
}

// Receives one array of Count elements through an out-parameter.
template <class T> class TReceivedArray {
public:
    explicit TReceivedArray(DWORD ACount) noexcept : FCount(ACount) {}
    ~TReceivedArray() { FreeArray(FData, FCount); }
    TReceivedArray(const TReceivedArray&) = delete;
    TReceivedArray& operator=(const TReceivedArray&) = delete;

    T** Receive() noexcept {
        FreeArray(FData, FCount);
        return &FData;
    }
    T* Get() const noexcept { return FData; }
    T& operator[](DWORD Index) const noexcept { return FData[Index]; }

private:
    T* FData = nullptr;
    DWORD FCount;
};

// ---- the bare object of cases (a) and (b), in the child process ----

// Answers Read with fixed states and does nothing else: the cost of a call on it is what the
// proxies, the channel and the allocation of the result arrays cost.
class TBareSyncIO final : public TKoComObject<IOPCSyncIO> {
public:
    STDMETHODIMP Read(OPCDATASOURCE, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                      HRESULT** ppErrors) override {
        return KoComCall(
            [&]() -> HRESULT {
                if (!ppItemValues || !ppErrors) return E_INVALIDARG;
                *ppItemValues = nullptr;
                *ppErrors = nullptr;
                if (dwCount == 0 || !phServer) return E_INVALIDARG;
                TKoTaskMem<OPCITEMSTATE> States(dwCount);
                TKoTaskMem<HRESULT> Errors(dwCount); // zero-filled: S_OK
                for (DWORD I = 0; I < dwCount; ++I) {
                    States[I].hClient = phServer[I];
                    States[I].ftTimeStamp = kStamp;
                    States[I].wQuality = OPC_QUALITY_GOOD;
                    States[I].vDataValue.vt = VT_R8;
                    States[I].vDataValue.dblVal = 21.5;
                }
                *ppItemValues = States.Release();
                *ppErrors = Errors.Release();
                return S_OK;
            },
            ppItemValues, ppErrors);
    }
    STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT** ppErrors) override {
        if (ppErrors) *ppErrors = nullptr;
        return E_NOTIMPL;
    }

private:
    static constexpr FILETIME kStamp{0xD53E8000u, 0x01D9B3A0u};
};

// What parent and child agree on, named after the parent's process id.
std::wstring MarshalFile(DWORD ParentPid) {
    wchar_t Folder[MAX_PATH];
    const DWORD N = GetTempPathW(MAX_PATH, Folder);
    if (N == 0 || N >= MAX_PATH) throw EBench("GetTempPath failed");
    return std::wstring(Folder) + L"KoBenchSyncRead." + std::to_wstring(ParentPid) + L".bin";
}
std::wstring ReadyEventName(DWORD ParentPid) {
    return L"KoBenchSyncRead.Ready." + std::to_wstring(ParentPid);
}
std::wstring DoneEventName(DWORD ParentPid) {
    return L"KoBenchSyncRead.Done." + std::to_wstring(ParentPid);
}

// The child: hosts one bare object in its multi-threaded apartment, marshals it into the file
// the parent named, signals that it is there and serves calls until the parent is done (or has
// gone).
int RunChild(DWORD ParentPid) {
    TComApartment Apartment;
    TKoHandle Ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, ReadyEventName(ParentPid).c_str()));
    TKoHandle Done(OpenEventW(SYNCHRONIZE, FALSE, DoneEventName(ParentPid).c_str()));
    TKoHandle Parent(OpenProcess(SYNCHRONIZE, FALSE, ParentPid));
    if (!Ready || !Done || !Parent) throw EBench("child: the parent's events or process cannot be opened");

    ComPtr<IOPCSyncIO> Object = KoAdopt<IOPCSyncIO>(new TBareSyncIO);
    {
        ComPtr<IStream> Stream;
        Check(SHCreateStreamOnFileEx(MarshalFile(ParentPid).c_str(),
                                     STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, FILE_ATTRIBUTE_NORMAL,
                                     TRUE, nullptr, &Stream),
              "child: SHCreateStreamOnFileEx");
        Check(CoMarshalInterface(Stream.Get(), IID_IOPCSyncIO, Object.Get(), MSHCTX_LOCAL, nullptr,
                                 MSHLFLAGS_NORMAL),
              "child: CoMarshalInterface");
    } // the stream is closed before the parent reads it
    SetEvent(Ready.Get());
    HANDLE Waits[] = {Done.Get(), Parent.Get()};
    WaitForMultipleObjects(2, Waits, FALSE, INFINITE);
    // Drops the stubs (and a reference the parent never unmarshalled) before the object goes.
    CoDisconnectObject(Object.Get(), 0);
    return 0;
}

// The parent's end of the child: the child process and the proxy of its bare object. Ending it
// releases the proxy, lets the child go and waits for it.
class TBareHost {
public:
    TBareHost() {
        const DWORD Pid = GetCurrentProcessId();
        FReady.Reset(CreateEventW(nullptr, TRUE, FALSE, ReadyEventName(Pid).c_str()));
        FDone.Reset(CreateEventW(nullptr, TRUE, FALSE, DoneEventName(Pid).c_str()));
        if (!FReady || !FDone) throw EBench("CreateEvent failed");
        FMarshalFile = MarshalFile(Pid);

        const std::wstring Exe = kotest::ExecutablePath();
        std::wstring CommandLine = L"\"" + Exe + L"\" --ko-bench-child " + std::to_wstring(Pid);
        STARTUPINFOW Startup{};
        Startup.cb = sizeof Startup;
        PROCESS_INFORMATION Info{};
        if (!CreateProcessW(Exe.c_str(), CommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &Startup, &Info))
            throw EBench("the child process cannot be started");
        FChild.Reset(Info.hProcess);
        TKoHandle Thread(Info.hThread);

        HANDLE Waits[] = {FReady.Get(), FChild.Get()};
        if (WaitForMultipleObjects(2, Waits, FALSE, kProgramBoundMs) != WAIT_OBJECT_0)
            throw EBench("the child did not marshal its object");
        ComPtr<IStream> Stream;
        Check(SHCreateStreamOnFileEx(FMarshalFile.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE,
                                     FILE_ATTRIBUTE_NORMAL, FALSE, nullptr, &Stream),
              "SHCreateStreamOnFileEx");
        Check(CoUnmarshalInterface(Stream.Get(), IID_IOPCSyncIO,
                                   reinterpret_cast<void**>(FObject.GetAddressOf())),
              "CoUnmarshalInterface of the bare object");
    }
    ~TBareHost() {
        FObject.Reset();
        if (FDone) SetEvent(FDone.Get());
        if (FChild && WaitForSingleObject(FChild.Get(), kProgramBoundMs) != WAIT_OBJECT_0)
            TerminateProcess(FChild.Get(), 99);
        if (!FMarshalFile.empty()) DeleteFileW(FMarshalFile.c_str());
    }
    TBareHost(const TBareHost&) = delete;
    TBareHost& operator=(const TBareHost&) = delete;

    IOPCSyncIO* Object() const noexcept { return FObject.Get(); }

private:
    TKoHandle FReady, FDone, FChild;
    std::wstring FMarshalFile;
    ComPtr<IOPCSyncIO> FObject;
};

// ---- the server of cases (c) and (d) ----

// Registers the proxy/stub DLL and the server in the prefix, and unregisters the server again.
class TServerRegistration {
public:
    TServerRegistration() {
        const std::wstring Folder = kotest::ExecutableDirectory();
        Check(kotest::RegisterProxyDll(Folder + L"" KO_OPC_PROXY_DLL), "registering the proxy DLL");
        if (!kotest::ProcessesOf(kServerExe).empty())
            throw EBench("a KoOPCServer process is running already");
        if (kotest::RunProgram(Folder + kServerExe, L"/RegServer", kProgramBoundMs) != 0)
            throw EBench("KoOPCServer.exe /RegServer failed");
    }
    ~TServerRegistration() {
        // The server ends by itself once COM's last reference is gone; unregister after that.
        for (int I = 0; I < 300 && !kotest::ProcessesOf(kServerExe).empty(); ++I) Sleep(100);
        if (!kotest::ProcessesOf(kServerExe).empty())
            std::fprintf(stderr, "note: KoOPCServer.exe still runs 30 s after its last release\n");
        if (kotest::RunProgram(kotest::ExecutableDirectory() + kServerExe, L"/UnregServer",
                               kProgramBoundMs) != 0)
            std::fprintf(stderr, "note: KoOPCServer.exe /UnregServer failed\n");
    }
    TServerRegistration(const TServerRegistration&) = delete;
    TServerRegistration& operator=(const TServerRegistration&) = delete;
};

// One active group of the server with its items added; Handles are their server handles.
struct TServerGroup {
    ComPtr<IOPCItemMgt> ItemMgt;
    ComPtr<IOPCSyncIO> SyncIO;
    std::vector<OPCHANDLE> Handles;
};

TServerGroup AddGroup(IOPCServer& Server, const wchar_t* Name, OPCHANDLE ClientHandle,
                      const std::vector<const wchar_t*>& ItemIDs) {
    TServerGroup Group;
    OPCHANDLE ServerGroup = 0;
    DWORD RevisedRate = 0;
    ComPtr<IUnknown> Unknown;
    Check(Server.AddGroup(Name, TRUE, 1000, ClientHandle, nullptr, nullptr, LOCALE_USER_DEFAULT, &ServerGroup,
                          &RevisedRate, IID_IOPCGroupStateMgt, Unknown.GetAddressOf()),
          "IOPCServer::AddGroup");
    Check(Unknown.As(&Group.ItemMgt), "the group's IOPCItemMgt");
    Check(Unknown.As(&Group.SyncIO), "the group's IOPCSyncIO");

    const DWORD Count = static_cast<DWORD>(ItemIDs.size());
    wchar_t NoAccessPath[] = L"";
    std::vector<std::wstring> IDs(ItemIDs.begin(), ItemIDs.end());
    std::vector<OPCITEMDEF> Defs(Count);
    for (DWORD I = 0; I < Count; ++I) {
        Defs[I].szAccessPath = NoAccessPath;
        Defs[I].szItemID = IDs[I].data();
        Defs[I].bActive = TRUE;
        Defs[I].hClient = I + 1;
        Defs[I].vtRequestedDataType = VT_EMPTY;
    }
    TReceivedArray<OPCITEMRESULT> Results(Count);
    TReceivedArray<HRESULT> Errors(Count);
    const HRESULT Added = Group.ItemMgt->AddItems(Count, Defs.data(), Results.Receive(), Errors.Receive());
    if (Added != S_OK) throw EBench("IOPCItemMgt::AddItems returned " + Hex(Added));
    Group.Handles.resize(Count);
    for (DWORD I = 0; I < Count; ++I) Group.Handles[I] = Results[I].hServer;
    return Group;
}

// ---- measurement ----

double SecondsBetween(const LARGE_INTEGER& From, const LARGE_INTEGER& To) {
    static const double Frequency = [] {
        LARGE_INTEGER Value;
        QueryPerformanceFrequency(&Value);
        return static_cast<double>(Value.QuadPart);
    }();
    return static_cast<double>(To.QuadPart - From.QuadPart) / Frequency;
}

double MedianOf(std::vector<double> Values) {
    std::sort(Values.begin(), Values.end());
    return Values[Values.size() / 2];
}

// One Read of every handle; anything but S_OK ends the run.
void ReadOnce(IOPCSyncIO& Io, std::vector<OPCHANDLE>& Handles) {
    const DWORD Count = static_cast<DWORD>(Handles.size());
    TReceivedArray<OPCITEMSTATE> States(Count);
    TReceivedArray<HRESULT> Errors(Count);
    const HRESULT Result = Io.Read(OPC_DS_CACHE, Count, Handles.data(), States.Receive(), Errors.Receive());
    if (Result != S_OK) throw EBench("IOPCSyncIO::Read returned " + Hex(Result));
}

// Makes sure a case reads what it claims to: every item S_OK, good quality, a VT_R8 value.
void CheckStates(const char* Name, IOPCSyncIO& Io, std::vector<OPCHANDLE>& Handles) {
    const DWORD Count = static_cast<DWORD>(Handles.size());
    TReceivedArray<OPCITEMSTATE> States(Count);
    TReceivedArray<HRESULT> Errors(Count);
    Check(Io.Read(OPC_DS_CACHE, Count, Handles.data(), States.Receive(), Errors.Receive()), Name);
    DWORD Odd = 0;
    for (DWORD I = 0; I < Count; ++I)
        if (Errors[I] != S_OK || States[I].wQuality != OPC_QUALITY_GOOD || States[I].vDataValue.vt != VT_R8) {
            if (Odd++ == 0)
                std::printf("note: %s: item %lu has error %s, quality 0x%02X, type %u\n", Name,
                            static_cast<unsigned long>(I), Hex(Errors[I]).c_str(), States[I].wQuality,
                            States[I].vDataValue.vt);
        }
    if (Odd)
        std::printf("note: %s: %lu of %lu states are not good VT_R8 values\n", Name,
                    static_cast<unsigned long>(Odd), static_cast<unsigned long>(Count));
}

struct TCase {
    TCase(const char* AName, int ACalls, int AWarmUp) : Name(AName), Calls(ACalls), WarmUp(AWarmUp) {}

    const char* Name;
    int Calls;
    int WarmUp;
    IOPCSyncIO* Io = nullptr;
    std::vector<OPCHANDLE> Handles;
    std::vector<double> MsPerCall; // one per round
    std::string Failure;           // why the case has no figures

    bool Runs() const { return Io && Failure.empty(); }
    double Best() const { return *std::min_element(MsPerCall.begin(), MsPerCall.end()); }
    double Median() const { return MedianOf(MsPerCall); }
};

// One round of a bare case and its server case, their calls alternating one by one: a change in
// the machine's load meets both alike. Each call is timed on its own.
void Round(TCase& Bare, TCase& Server) {
    TCase* const Pair[] = {&Bare, &Server};
    double Seconds[] = {0, 0};
    for (int I = 0; I < Bare.Calls; ++I)
        for (int K = 0; K < 2; ++K) {
            TCase& Case = *Pair[K];
            if (!Case.Runs()) continue;
            try {
                LARGE_INTEGER Start, Stop;
                QueryPerformanceCounter(&Start);
                ReadOnce(*Case.Io, Case.Handles);
                QueryPerformanceCounter(&Stop);
                Seconds[K] += SecondsBetween(Start, Stop);
            } catch (const EBench& Error) {
                Case.Failure = Error.what();
            }
        }
    for (int K = 0; K < 2; ++K)
        if (Pair[K]->Runs()) Pair[K]->MsPerCall.push_back(Seconds[K] * 1e3 / Bare.Calls);
}

void Prepare(TCase& Case) {
    if (!Case.Runs()) return;
    try {
        CheckStates(Case.Name, *Case.Io, Case.Handles);
        for (int I = 0; I < Case.WarmUp; ++I) ReadOnce(*Case.Io, Case.Handles);
    } catch (const EBench& Error) {
        Case.Failure = Error.what();
    }
}

// The server's case over the bare one: the ratio of the medians and of the best rounds, and the
// median of the ratios of the rounds taken side by side (neighbouring rounds see nearly the same
// load on the machine, so this one varies least from run to run).
void PrintRatio(const char* Name, const TCase& Server, const TCase& Bare, double Aim) {
    if (!Server.Runs() || !Bare.Runs() || Server.MsPerCall.size() != Bare.MsPerCall.size() ||
        Bare.MsPerCall.empty()) {
        std::printf("%-5s n/a\n", Name);
        return;
    }
    std::vector<double> RoundRatios;
    for (size_t R = 0; R < Bare.MsPerCall.size(); ++R)
        RoundRatios.push_back(Server.MsPerCall[R] / Bare.MsPerCall[R]);
    std::printf("%-5s medians %.3f  best %.3f  median of round ratios %.3f  (aim <= %.2f)\n", Name,
                Server.Median() / Bare.Median(), Server.Best() / Bare.Best(), MedianOf(RoundRatios), Aim);
}

int RunParent() {
    TComApartment Apartment;
    std::vector<OPCHANDLE> ManyHandles(kManyItems);
    for (DWORD I = 0; I < kManyItems; ++I) ManyHandles[I] = I + 1;

    TCase BareOne("(a) bare Read, 1 state", kCallsOneItem, kWarmUpOneItem);
    TCase BareMany("(b) bare Read, 10000 states", kCallsManyItems, kWarmUpManyItems);
    TCase ServerOne("(c) server Read(OPC_DS_CACHE), 1 item", kCallsOneItem, kWarmUpOneItem);
    TCase ServerMany("(d) server Read(OPC_DS_CACHE), 10000 items", kCallsManyItems, kWarmUpManyItems);

    // The proxy DLL must be registered before the bare object's interface can cross.
    TServerRegistration Registration;
    TBareHost Bare;
    BareOne.Io = BareMany.Io = Bare.Object();
    BareOne.Handles = {1};
    BareMany.Handles = ManyHandles;

    ComPtr<IOPCServer> Server;
    TServerGroup OneItem, ManyItems;
    try {
        CLSID ClassID;
        Check(CLSIDFromProgID(kProgID, &ClassID), "CLSIDFromProgID");
        Check(CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                               reinterpret_cast<void**>(Server.GetAddressOf())),
              "CoCreateInstance of the server");
        OneItem = AddGroup(*Server.Get(), L"Bench 1 item", 1, {L"Random.KoFloat1"});
        std::vector<const wchar_t*> IDs(kManyItems);
        for (DWORD I = 0; I < kManyItems; ++I) IDs[I] = kFloatItems[I % std::size(kFloatItems)];
        ManyItems = AddGroup(*Server.Get(), L"Bench 10000 items", 2, IDs);
        ServerOne.Io = OneItem.SyncIO.Get();
        ServerOne.Handles = OneItem.Handles;
        ServerMany.Io = ManyItems.SyncIO.Get();
        ServerMany.Handles = ManyItems.Handles;
    } catch (const EBench& Error) {
        ServerOne.Failure = ServerMany.Failure = Error.what();
    }

    TCase* Cases[] = {&BareOne, &ServerOne, &BareMany, &ServerMany};
    for (TCase* Case : Cases) Prepare(*Case);
    for (int R = 0; R < kRounds; ++R) {
        Round(BareOne, ServerOne);
        Round(BareMany, ServerMany);
    }

    std::printf("IOPCSyncIO::Read across processes, %d rounds each (ms per call)\n", kRounds);
    std::printf("%-44s %6s %10s %10s\n", "case", "calls", "best", "median");
    bool AllRan = true;
    for (const TCase* Case : {&BareOne, &BareMany, &ServerOne, &ServerMany}) {
        if (!Case->Runs() || Case->MsPerCall.empty()) {
            std::printf("%-44s n/a: %s\n", Case->Name, Case->Failure.c_str());
            AllRan = false;
            continue;
        }
        std::printf("%-44s %6d %10.3f %10.3f\n", Case->Name, Case->Calls, Case->Best(), Case->Median());
    }
    PrintRatio("c/a", ServerOne, BareOne, 1.10);
    PrintRatio("d/b", ServerMany, BareMany, 1.20);

    // Everything the server handed out goes before the registration ends.
    ServerOne.Io = ServerMany.Io = nullptr;
    OneItem = {};
    ManyItems = {};
    Server.Reset();
    return AllRan ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::strcmp(argv[1], kChildSwitch) == 0)
            return RunChild(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
        return RunParent();
    } catch (const EBench& Error) {
        std::fprintf(stderr, "KoBenchSyncRead: %s\n", Error.what());
        return 2;
    }
}
