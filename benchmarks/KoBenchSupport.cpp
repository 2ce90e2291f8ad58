#include "KoBenchSupport.h"

#include <oleauto.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <iterator>

#include "KoOPCTransactions.h"
#include "KoProcessTesting.h"

namespace kobench {

std::string Hex(HRESULT Code) {
    char Text[16];
    std::snprintf(Text, sizeof Text, "0x%08lX", static_cast<unsigned long>(Code));
    return Text;
}

void Check(HRESULT Code, const char* What) {
    if (FAILED(Code)) throw EBench(std::string(What) + " failed: " + Hex(Code));
}

TComApartment::TComApartment() {
    Check(CoInitializeEx(nullptr, COINIT_MULTITHREADED), "CoInitializeEx");
}

TComApartment::~TComApartment() {
    CoUninitialize();
}

// ---- arrays ----

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

// ---- a second instance of the program ----

TRendezvous::TRendezvous(const wchar_t* Bench, DWORD ParentPid) {
    wchar_t Folder[MAX_PATH];
    const DWORD N = GetTempPathW(MAX_PATH, Folder);
    if (N == 0 || N >= MAX_PATH) throw EBench("GetTempPath failed");
    const std::wstring Stem = std::wstring(Bench) + L"." + std::to_wstring(ParentPid);
    File = std::wstring(Folder) + Stem + L".bin";
    ReadyEvent = std::wstring(Bench) + L".Ready." + std::to_wstring(ParentPid);
    DoneEvent = std::wstring(Bench) + L".Done." + std::to_wstring(ParentPid);
}

void MarshalToFile(const std::wstring& File, REFIID Iid, IUnknown* Object) {
    ComPtr<IStream> Stream;
    Check(SHCreateStreamOnFileEx(File.c_str(), STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE,
                                 FILE_ATTRIBUTE_NORMAL, TRUE, nullptr, &Stream),
          "SHCreateStreamOnFileEx (write)");
    Check(CoMarshalInterface(Stream.Get(), Iid, Object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL),
          "CoMarshalInterface");
    // The stream closes here, before the other process reads the file.
}

void UnmarshalFromFile(const std::wstring& File, REFIID Iid, void** Object) {
    ComPtr<IStream> Stream;
    Check(SHCreateStreamOnFileEx(File.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE, FILE_ATTRIBUTE_NORMAL,
                                 FALSE, nullptr, &Stream),
          "SHCreateStreamOnFileEx (read)");
    Check(CoUnmarshalInterface(Stream.Get(), Iid, Object), "CoUnmarshalInterface");
}

TChildProcess::TChildProcess(const wchar_t* Bench, const std::wstring& Args)
    : FNames(Bench, GetCurrentProcessId()) {
    FReady.Reset(CreateEventW(nullptr, TRUE, FALSE, FNames.ReadyEvent.c_str()));
    FDone.Reset(CreateEventW(nullptr, TRUE, FALSE, FNames.DoneEvent.c_str()));
    if (!FReady || !FDone) throw EBench("CreateEvent failed");

    const std::wstring Exe = kotest::ExecutablePath();
    const std::wstring Switch(std::begin(kChildSwitch), std::end(kChildSwitch) - 1);
    std::wstring CommandLine = L"\"" + Exe + L"\" " + Switch + L" " + std::to_wstring(GetCurrentProcessId());
    if (!Args.empty()) CommandLine += L" " + Args;
    STARTUPINFOW Startup{};
    Startup.cb = sizeof Startup;
    PROCESS_INFORMATION Info{};
    if (!CreateProcessW(Exe.c_str(), CommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &Startup, &Info))
        throw EBench("the child process cannot be started");
    FChild.Reset(Info.hProcess);
    TKoHandle Thread(Info.hThread);
}

TChildProcess::~TChildProcess() {
    if (FDone) SetEvent(FDone.Get());
    if (FChild && WaitForSingleObject(FChild.Get(), kProgramBoundMs) != WAIT_OBJECT_0)
        TerminateProcess(FChild.Get(), 99);
    DeleteFileW(FNames.File.c_str());
}

void TChildProcess::WaitReady() const {
    HANDLE Waits[] = {FReady.Get(), FChild.Get()};
    if (WaitForMultipleObjects(2, Waits, FALSE, kProgramBoundMs) != WAIT_OBJECT_0)
        throw EBench("the child did not get ready");
}

TParentProcess::TParentProcess(const wchar_t* Bench, DWORD ParentPid) : FNames(Bench, ParentPid) {
    FReady.Reset(OpenEventW(EVENT_MODIFY_STATE, FALSE, FNames.ReadyEvent.c_str()));
    FDone.Reset(OpenEventW(SYNCHRONIZE, FALSE, FNames.DoneEvent.c_str()));
    FParent.Reset(OpenProcess(SYNCHRONIZE, FALSE, ParentPid));
    if (!FReady || !FDone || !FParent) throw EBench("child: the parent's events or process cannot be opened");
}

void TParentProcess::SignalReady() const {
    SetEvent(FReady.Get());
}

bool TParentProcess::Finished(DWORD TimeoutMs) const {
    HANDLE Waits[] = {FDone.Get(), FParent.Get()};
    return WaitForMultipleObjects(2, Waits, FALSE, TimeoutMs) != WAIT_TIMEOUT;
}

// ---- the server ----

TServerRegistration::TServerRegistration() {
    const std::wstring Folder = kotest::ExecutableDirectory();
    Check(kotest::RegisterProxyDll(Folder + L"" KO_OPC_PROXY_DLL), "registering the proxy DLL");
    if (!kotest::ProcessesOf(kServerExe).empty()) throw EBench("a KoOPCServer process is running already");
    if (kotest::RunProgram(Folder + kServerExe, L"/RegServer", kProgramBoundMs) != 0)
        throw EBench("KoOPCServer.exe /RegServer failed");
}

bool WaitForServerToEnd() {
    const ULONGLONG Deadline = GetTickCount64() + 30'000;
    for (;;) {
        const std::vector<DWORD> Ids = kotest::ProcessesOf(kServerExe);
        if (Ids.empty()) return true;
        const ULONGLONG Now = GetTickCount64();
        if (Now >= Deadline) return false;
        // Waits on the processes themselves; one that cannot be opened is looked for again later.
        std::vector<TKoHandle> Processes;
        std::vector<HANDLE> Raw;
        for (DWORD Id : Ids)
            if (TKoHandle Process(OpenProcess(SYNCHRONIZE, FALSE, Id)); Process) {
                Raw.push_back(Process.Get());
                Processes.push_back(std::move(Process));
            }
        const DWORD Bound = static_cast<DWORD>(Deadline - Now);
        if (Raw.size() == Ids.size() && Raw.size() <= MAXIMUM_WAIT_OBJECTS)
            WaitForMultipleObjects(static_cast<DWORD>(Raw.size()), Raw.data(), TRUE, Bound);
        else
            Sleep(std::min<DWORD>(Bound, 100));
    }
}

TServerRegistration::~TServerRegistration() {
    // Unregistered once the server has ended.
    if (!WaitForServerToEnd())
        std::fprintf(stderr, "note: KoOPCServer.exe still runs 30 s after its last release\n");
    if (kotest::RunProgram(kotest::ExecutableDirectory() + kServerExe, L"/UnregServer", kProgramBoundMs) != 0)
        std::fprintf(stderr, "note: KoOPCServer.exe /UnregServer failed\n");
}

// ---- the server process, seen from outside ----

namespace {

std::string ReadUnixFile(const std::wstring& Path) {
    TKoHandle File(CreateFileW(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string Text;
    if (!File) return Text;
    char Buffer[4096];
    DWORD Read = 0;
    while (ReadFile(File.Get(), Buffer, sizeof Buffer, &Read, nullptr) && Read > 0) Text.append(Buffer, Read);
    return Text;
}

// User and system time of a stat file (fields 14 and 15, in ticks of 1/100 s), in seconds.
double CpuSecondsIn(const std::wstring& StatFile) {
    const std::string Stat = ReadUnixFile(StatFile);
    const size_t At = Stat.rfind(')');
    if (At == std::string::npos) throw EBench("the server's stat cannot be read");
    // Fields from the third on follow the command's closing parenthesis.
    const char* P = Stat.c_str() + At + 2;
    for (int Field = 3; Field < 14; ++Field) {
        P = std::strchr(P, ' ');
        if (!P) throw EBench("the server's stat is short");
        ++P;
    }
    char* End = nullptr;
    const double User = std::strtod(P, &End);
    const double System = std::strtod(End, nullptr);
    return (User + System) / 100;
}

} // namespace

TUnixServerProcess::TUnixServerProcess() {
    WIN32_FIND_DATAW Entry;
    HANDLE Find = FindFirstFileW(L"Z:\\proc\\*", &Entry);
    if (Find == INVALID_HANDLE_VALUE) throw EBench("Z:\\proc cannot be listed");
    std::vector<std::wstring> Found;
    do {
        const std::wstring Name = Entry.cFileName;
        if (Name.empty() || Name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
        std::string CommandLine = ReadUnixFile(L"Z:\\proc\\" + Name + L"\\cmdline");
        std::replace(CommandLine.begin(), CommandLine.end(), '\0', ' ');
        if (CommandLine.find("KoOPCServer.exe") != std::string::npos &&
            CommandLine.find("/RegServer") == std::string::npos)
            Found.push_back(Name);
    } while (FindNextFileW(Find, &Entry));
    FindClose(Find);
    if (Found.size() != 1)
        throw EBench("expected one Unix process of KoOPCServer, found " + std::to_string(Found.size()));
    FFolder = L"Z:\\proc\\" + Found[0] + L"\\";
    FMainThread = FFolder + L"task\\" + Found[0] + L"\\stat";
}

double TUnixServerProcess::WorkingSet() const {
    const std::string Status = ReadUnixFile(FFolder + L"status");
    const size_t At = Status.find("VmRSS:");
    if (At == std::string::npos) throw EBench("no VmRSS in the server's status");
    return std::strtod(Status.c_str() + At + 6, nullptr) * 1024;
}

double TUnixServerProcess::CpuSeconds() const {
    return CpuSecondsIn(FFolder + L"stat");
}

double TUnixServerProcess::MainThreadCpuSeconds() const {
    return CpuSecondsIn(FMainThread);
}

ComPtr<IOPCServer> CreateServer() {
    CLSID ClassID;
    Check(CLSIDFromProgID(kProgID, &ClassID), "CLSIDFromProgID");
    ComPtr<IOPCServer> Server;
    Check(CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                           reinterpret_cast<void**>(Server.GetAddressOf())),
          "CoCreateInstance of the server");
    return Server;
}

TServerGroup AddGroup(IOPCServer& Server, const wchar_t* Name, OPCHANDLE ClientHandle, DWORD UpdateRate,
                      const std::vector<const wchar_t*>& ItemIDs) {
    TServerGroup Group;
    Check(Server.AddGroup(Name, TRUE, UpdateRate, ClientHandle, nullptr, nullptr, LOCALE_USER_DEFAULT,
                          &Group.ServerHandle, &Group.RevisedUpdateRate, IID_IUnknown,
                          Group.Unknown.GetAddressOf()),
          "IOPCServer::AddGroup");
    Check(Group.Unknown.As(&Group.ItemMgt), "the group's IOPCItemMgt");
    Check(Group.Unknown.As(&Group.SyncIO), "the group's IOPCSyncIO");

    const DWORD Count = static_cast<DWORD>(ItemIDs.size());
    if (Count == 0) return Group;
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

// ---- timing ----

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

// ---- a child that hosts a bare object ----

int HostForParent(const wchar_t* Bench, DWORD ParentPid, REFIID Iid, IUnknown* Object) {
    TParentProcess Parent(Bench, ParentPid);
    MarshalToFile(Parent.Names().File, Iid, Object);
    Parent.SignalReady();
    Parent.Finished(INFINITE);
    CoDisconnectObject(Object, 0);
    return 0;
}

TBareHost::TBareHost(const wchar_t* Bench, REFIID Iid) : FChild(Bench, L"") {
    FChild.WaitReady();
    UnmarshalFromFile(FChild.Names().File, Iid, reinterpret_cast<void**>(FObject.GetAddressOf()));
}

// ---- measured cases ----

void WarmUp(TTimedCase& Case) {
    if (!Case.Runs()) return;
    try {
        for (int I = 0; I < Case.WarmUp; ++I) Case.Call();
    } catch (const EBench& Error) {
        Case.Failure = Error.what();
    }
}

void Round(TTimedCase& Bare, TTimedCase& Server) {
    TTimedCase* const Pair[] = {&Bare, &Server};
    double Seconds[] = {0, 0};
    for (int I = 0; I < Bare.Calls; ++I)
        for (int K = 0; K < 2; ++K) {
            TTimedCase& Case = *Pair[K];
            if (!Case.Runs()) continue;
            try {
                LARGE_INTEGER Start, Stop;
                QueryPerformanceCounter(&Start);
                Case.Call();
                QueryPerformanceCounter(&Stop);
                Seconds[K] += SecondsBetween(Start, Stop);
            } catch (const EBench& Error) {
                Case.Failure = Error.what();
            }
        }
    for (int K = 0; K < 2; ++K)
        if (Pair[K]->Runs()) Pair[K]->MsPerCall.push_back(Seconds[K] * 1e3 / Bare.Calls);
}

bool PrintCases(const std::vector<const TTimedCase*>& Cases) {
    std::printf("%-48s %6s %10s %10s\n", "case", "calls", "best", "median");
    bool AllRan = true;
    for (const TTimedCase* Case : Cases) {
        if (!Case->Runs() || Case->MsPerCall.empty()) {
            std::printf("%-48s n/a: %s\n", Case->Name, Case->Failure.c_str());
            AllRan = false;
            continue;
        }
        std::printf("%-48s %6d %10.3f %10.3f\n", Case->Name, Case->Calls, Case->Best(), Case->Median());
    }
    return AllRan;
}

void PrintRatio(const char* Name, const TTimedCase& Server, const TTimedCase& Bare, double Aim) {
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

// ---- published figures ----

void PublishFigure(const char* Id, const std::string& Measure, double Value, const char* Unit,
                   const std::string& Baseline, double BaselineValue, const std::string& Aim) {
    std::printf("figure,%s,%s,%.6g,%s,%s,", Id, Measure.c_str(), Value, Unit, Baseline.c_str());
    if (!Baseline.empty() && BaselineValue > 0)
        std::printf("%.6g,%.4g,", BaselineValue, Value / BaselineValue);
    else
        std::printf(",,");
    std::printf("%s\n", Aim.c_str());
    std::fflush(stdout);
}

} // namespace kobench
