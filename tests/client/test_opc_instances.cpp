// Clients that start the server at the same moment, each in a process of its own: one server
// process serves them all, every activation succeeds, and no server process stays behind.
//
// This executable is also the client program the test starts (kClientSwitch): it waits for the
// common start signal, creates the server by ProgID, reads two items and reports into a shared
// table what it got.

#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "KoOle.h"
#include "KoOpcClientTesting.h"
#include "KoProcessTesting.h"

namespace {

using namespace kotest;

constexpr char kClientSwitch[] = "--ko-instance-client";
constexpr wchar_t kClientSwitchW[] = L"--ko-instance-client";

constexpr int kClients = 8;
constexpr int kRounds = 20;
// A client's whole run: the platform gives up an activation after about 30 s.
constexpr DWORD kClientBoundMs = 90000;
// How long after the last client ended a server process may still be running.
constexpr DWORD kLeftoverBoundMs = 10000;

// What one client reports; the steps in the order it takes them.
enum TStep : LONG { stStarted, stActivated, stStatus, stGroup, stItems, stRead, stDone };
const char* const StepNames[] = {"start", "activation", "GetStatus", "AddGroup", "AddItems", "Read", "done"};

struct TClientRecord {
    LONG Step;            // the step that failed, or stDone
    HRESULT Result;       // its result
    FILETIME ServerStart; // the serving process's start time, from GetStatus
    DWORD ActivationMs;
};

struct TSharedTable {
    TClientRecord Clients[kClients];
};

struct TViewUnmapper {
    void operator()(void* View) const noexcept { UnmapViewOfFile(View); }
};

// The table the test and its clients share, by name.
class TSharedResults {
public:
    bool Open(const std::wstring& Name, bool Create) {
        FMapping.Reset(Create ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                   sizeof(TSharedTable), Name.c_str())
                              : OpenFileMappingW(FILE_MAP_WRITE, FALSE, Name.c_str()));
        if (!FMapping) return false;
        FView.reset(MapViewOfFile(FMapping.Get(), FILE_MAP_WRITE, 0, 0, sizeof(TSharedTable)));
        return FView != nullptr;
    }
    TSharedTable& Table() const { return *static_cast<TSharedTable*>(FView.get()); }

private:
    TKoHandle FMapping;
    std::unique_ptr<void, TViewUnmapper> FView;
};

// ---- the client program ----

void FreeContents(HRESULT&) {}
void FreeContents(OPCITEMRESULT& R) {
    CoTaskMemFree(R.pBlob);
}
void FreeContents(OPCITEMSTATE& S) {
    VariantClear(&S.vDataValue);
}

// A task-allocator array of Count records with what each record owns.
template <class T> class TTaskRecords {
public:
    explicit TTaskRecords(size_t Count) : FCount(Count) {}
    ~TTaskRecords() {
        if (FData)
            for (size_t I = 0; I < FCount; ++I) FreeContents(FData[I]);
        CoTaskMemFree(FData);
    }
    TTaskRecords(const TTaskRecords&) = delete;
    TTaskRecords& operator=(const TTaskRecords&) = delete;
    T** Receive() { return &FData; }
    T* Get() const { return FData; }

private:
    T* FData = nullptr;
    size_t FCount;
};

struct TClientRun {
    TClientRecord& Record;
    bool Fail(TStep Step, HRESULT Result) {
        Record.Step = Step;
        Record.Result = FAILED(Result) || Result == S_FALSE ? Result : E_UNEXPECTED;
        return false;
    }
};

bool RunClientSteps(TClientRecord& Record) {
    TClientRun Run{Record};
    const ULONGLONG Asked = GetTickCount64();
    CLSID ClassID{};
    HRESULT Result = CLSIDFromProgID(kProgID, &ClassID);
    ComPtr<IOPCServer> Server;
    if (SUCCEEDED(Result))
        Result = CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&Server));
    Record.ActivationMs = static_cast<DWORD>(GetTickCount64() - Asked);
    if (Result != S_OK || !Server) return Run.Fail(stActivated, Result);

    ServerStatus Status = StatusOf(Server.Get(), Result);
    if (Result != S_OK || !Status) return Run.Fail(stStatus, Result);
    Record.ServerStart = Status->ftStartTime;

    AddedGroup Group = AddGroup(Server.Get(), L"");
    ComPtr<IOPCItemMgt> Items;
    if (Group.Result == S_OK) Group.Result = Group.Group.As(&Items);
    if (Group.Result != S_OK) return Run.Fail(stGroup, Group.Result);

    const wchar_t* const ItemIDs[] = {L"Random.KoFloat1", L"Sinusoid.KoInteger1"};
    OPCITEMDEF Defs[2] = {};
    for (int I = 0; I < 2; ++I) {
        Defs[I].szAccessPath = const_cast<LPWSTR>(L"");
        Defs[I].szItemID = const_cast<LPWSTR>(ItemIDs[I]);
        Defs[I].bActive = TRUE;
        Defs[I].hClient = static_cast<OPCHANDLE>(I + 1);
    }
    TTaskRecords<OPCITEMRESULT> Added(2);
    TTaskRecords<HRESULT> AddErrors(2);
    Result = Items->AddItems(2, Defs, Added.Receive(), AddErrors.Receive());
    if (Result != S_OK) return Run.Fail(stItems, Result);
    OPCHANDLE Handles[2] = {Added.Get()[0].hServer, Added.Get()[1].hServer};

    ComPtr<IOPCSyncIO> Sync;
    Result = Group.Group.As(&Sync);
    TTaskRecords<OPCITEMSTATE> States(2);
    TTaskRecords<HRESULT> ReadErrors(2);
    if (Result == S_OK)
        Result = Sync->Read(OPC_DS_DEVICE, 2, Handles, States.Receive(), ReadErrors.Receive());
    if (Result != S_OK) return Run.Fail(stRead, Result);
    for (int I = 0; I < 2; ++I)
        if (ReadErrors.Get()[I] != S_OK || States.Get()[I].hClient != Defs[I].hClient ||
            States.Get()[I].vDataValue.vt == VT_EMPTY)
            return Run.Fail(stRead, ReadErrors.Get()[I]);
    Record.Step = stDone;
    Record.Result = S_OK;
    return true;
}

// The client program: Args are the names of the shared table, the start signal and the
// readiness count, and the client's index. Exit code 0 when every step succeeded.
int RunClient(const std::vector<std::wstring>& Args) {
    if (Args.size() != 4) return 3;
    const int Index = std::stoi(Args[3]);
    if (Index < 0 || Index >= kClients) return 3;
    TSharedResults Results;
    if (!Results.Open(Args[0], false)) return 4;
    TClientRecord& Record = Results.Table().Clients[Index];
    Record.Step = stStarted;
    Record.Result = E_UNEXPECTED;
    TKoHandle Go(OpenEventW(SYNCHRONIZE, FALSE, Args[1].c_str()));
    TKoHandle Ready(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, Args[2].c_str()));
    if (!Go || !Ready) return 4;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 5;
    bool Served = false;
    // Every client is ready (COM initialised) before any of them activates.
    if (ReleaseSemaphore(Ready.Get(), 1, nullptr) && WaitForSingleObject(Go.Get(), 60000) == WAIT_OBJECT_0)
        Served = RunClientSteps(Record);
    CoUninitialize();
    if (!Served)
        std::fprintf(stderr, "client %d: %s failed with %s\n", Index, StepNames[Record.Step],
                     Hex(Record.Result).c_str());
    return Served ? 0 : 1;
}

// ---- the test ----

struct TStartedClient {
    TKoHandle Process;
    TKoHandle Thread;
};

// The server processes seen during a round, each opened once, in the order they appeared.
class TServerWatch {
public:
    void Look() {
        for (DWORD Id : ProcessesOf(kServerExe)) {
            if (FIds.count(Id)) continue;
            TKoHandle Process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, Id));
            if (!Process) continue; // ended before it could be opened
            FIds.insert(Id);
            FProcesses.push_back({Id, std::move(Process)});
        }
    }
    struct TEntry {
        DWORD Id;
        TKoHandle Process;
    };
    std::vector<TEntry>& Processes() { return FProcesses; }

private:
    std::set<DWORD> FIds;
    std::vector<TEntry> FProcesses;
};

class OpcInstances : public OpcClient {};

// Eight client processes activate at the same moment, twenty rounds: each is served (by one
// process; the others that COM started for them leave without registering), each reads, and
// 10 s after the last client ended no server process is left.
TEST_F(OpcInstances, ClientsStartingTogetherAreServedByOneProcessThatEndsAfterThem) {
    const std::wstring Exe = ExecutablePath();
    const std::wstring Tag = std::to_wstring(GetCurrentProcessId());
    int ProcessesStarted = 0;
    // The start time of the process that served the round before: the server of a round has
    // ended, so the next round's activations get a new process.
    ULONGLONG PreviousServer = 0;
    for (int Round = 0; Round < kRounds; ++Round) {
        SCOPED_TRACE("round " + std::to_string(Round));
        const std::wstring Suffix = Tag + L"-" + std::to_wstring(Round);
        const std::wstring TableName = L"KoInstanceResults-" + Suffix;
        const std::wstring GoName = L"KoInstanceGo-" + Suffix;
        const std::wstring ReadyName = L"KoInstanceReady-" + Suffix;
        TSharedResults Results;
        ASSERT_TRUE(Results.Open(TableName, true));
        TKoHandle Go(CreateEventW(nullptr, TRUE, FALSE, GoName.c_str()));
        TKoHandle Ready(CreateSemaphoreW(nullptr, 0, kClients, ReadyName.c_str()));
        ASSERT_TRUE(Go && Ready);

        std::vector<TStartedClient> Clients;
        std::vector<HANDLE> Handles;
        for (int I = 0; I < kClients; ++I) {
            std::wstring CommandLine = L"\"" + Exe + L"\" " + kClientSwitchW + L" " + TableName + L" " +
                                       GoName + L" " + ReadyName + L" " + std::to_wstring(I);
            STARTUPINFOW Startup{};
            Startup.cb = sizeof Startup;
            PROCESS_INFORMATION Info{};
            ASSERT_TRUE(CreateProcessW(Exe.c_str(), CommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                       nullptr, &Startup, &Info))
                << "CreateProcess error " << GetLastError();
            Clients.push_back({TKoHandle(Info.hProcess), TKoHandle(Info.hThread)});
            Handles.push_back(Info.hProcess);
        }
        for (int I = 0; I < kClients; ++I)
            ASSERT_EQ(WaitForSingleObject(Ready.Get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0))
                << "client " << I << " of " << kClients << " never got ready";
        ASSERT_TRUE(SetEvent(Go.Get()));

        // The server processes are counted while the clients run; the clients themselves are
        // waited for, with a bound.
        TServerWatch Servers;
        const ULONGLONG Deadline = GetTickCount64() + kClientBoundMs;
        DWORD Waited = WAIT_TIMEOUT;
        while (Waited == WAIT_TIMEOUT && GetTickCount64() < Deadline) {
            Servers.Look();
            Waited = WaitForMultipleObjects(kClients, Handles.data(), TRUE, 50);
        }
        const ULONGLONG LastClientEnded = GetTickCount64();
        Servers.Look();
        ASSERT_EQ(Waited, static_cast<DWORD>(WAIT_OBJECT_0)) << "the clients did not end within the bound";

        std::set<ULONGLONG> ServingProcesses;
        DWORD SlowestActivation = 0;
        for (int I = 0; I < kClients; ++I) {
            const TClientRecord& R = Results.Table().Clients[I];
            DWORD Code = 99;
            GetExitCodeProcess(Clients[static_cast<size_t>(I)].Process.Get(), &Code);
            EXPECT_EQ(Code, 0u) << "client " << I;
            EXPECT_EQ(R.Step, stDone)
                << "client " << I << ": " << StepNames[std::clamp<LONG>(R.Step, 0, stDone)] << " failed with "
                << Hex(R.Result);
            if (R.Step > stStatus) ServingProcesses.insert(Ticks(R.ServerStart));
            SlowestActivation = std::max(SlowestActivation, R.ActivationMs);
        }
        EXPECT_EQ(ServingProcesses.size(), 1u) << "the clients were served by more than one process";
        EXPECT_EQ(ServingProcesses.count(PreviousServer), 0u) << "served by the process of the round before";
        if (!ServingProcesses.empty()) PreviousServer = *ServingProcesses.begin();

        // Every server process ends by itself, in time.
        int Left = 0;
        for (auto& [Id, Process] : Servers.Processes()) {
            const ULONGLONG Now = GetTickCount64();
            const DWORD Remaining = Now >= LastClientEnded + kLeftoverBoundMs
                                        ? 0
                                        : static_cast<DWORD>(LastClientEnded + kLeftoverBoundMs - Now);
            if (WaitForSingleObject(Process.Get(), Remaining) == WAIT_OBJECT_0) {
                DWORD Code = 99;
                GetExitCodeProcess(Process.Get(), &Code);
                EXPECT_EQ(Code, 0u) << "server process " << Id << " ended abnormally";
                continue;
            }
            ++Left;
            // Ended as closing it would, so that the rounds that follow start clean.
            QuitProgram(Id);
            WaitForSingleObject(Process.Get(), kServerEndBoundMs);
        }
        EXPECT_EQ(Left, 0) << "server processes still running " << kLeftoverBoundMs
                           << " ms after the last client";
        ProcessesStarted += static_cast<int>(Servers.Processes().size());
        std::printf(
            "[ note ] round %d: %d clients served by %zu process(es); %zu server process(es) started; "
            "slowest activation %lu ms\n",
            Round, kClients, ServingProcesses.size(), Servers.Processes().size(),
            static_cast<unsigned long>(SlowestActivation));
        std::fflush(stdout);
        if (HasFatalFailure()) return;
    }
    RecordProperty("ServerProcessesStarted", ProcessesStarted);
}

} // namespace

// This executable is also the client program the test starts; otherwise the client tests' usual
// entry.
int main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == kClientSwitch) {
        int Count = 0;
        std::unique_ptr<LPWSTR, decltype(&LocalFree)> Args(CommandLineToArgvW(GetCommandLineW(), &Count),
                                                           &LocalFree);
        std::vector<std::wstring> Rest;
        for (int I = 2; Args && I < Count; ++I) Rest.emplace_back(Args.get()[I]);
        return RunClient(Rest);
    }
    return kotest::RunClientTests(argc, argv);
}
