// The service front end: the service object in the test's own process (its settings, and what its
// stop and shutdown requests do to a running provider with a client), and KoOPCServerSvc as a
// real service of the test's Wine prefix: installed, started by COM, serving clients, stopped and
// removed through the service control manager.
//
// The test process stays alive for the whole run: Wine ends its services a few seconds after the
// last ordinary process of the session has gone.

#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "KoApplication.h"
#include "KoComServer.h"
#include "KoOPCServices.h"
#include "KoOpcClientTesting.h"
#include "KoProcessTesting.h"
#include "KoServerObjectTesting.h"
#include "KoServices.h"

namespace {

using namespace kotest;

// ---- the service object ----

TEST(ServiceSwitches, InstallUninstallAndSilent) {
    struct TCase {
        std::vector<std::wstring> Args;
        TKoServiceStartMode Mode;
        bool Silent;
        bool Conflict;
    } const Cases[] = {
        {{}, ssmRun, false, false},
        {{L"/install"}, ssmInstall, false, false},
        {{L"-INSTALL", L"/Silent"}, ssmInstall, true, false},
        {{L"/silent", L"-uninstall"}, ssmUninstall, true, false},
        {{L"install", L"/installed", L"/"}, ssmRun, false, false},
        {{L"/uninstall", L"/install"}, ssmInstall, false, true},
    };
    for (const TCase& Case : Cases) {
        const TKoServiceSwitches Got = KoParseServiceSwitches(Case.Args);
        SCOPED_TRACE(Case.Args.empty() ? std::string("(none)") : Utf8(Case.Args[0]));
        EXPECT_EQ(Got.Mode, Case.Mode);
        EXPECT_EQ(Got.Silent, Case.Silent);
        EXPECT_EQ(Got.Conflict, Case.Conflict);
    }
}

class OPCServiceObject : public ServerObjectTest {
protected:
    void SetUp() override {
        ServerObjectTest::SetUp();
        Provider->SetDescription(L"A description of the test");
        Service = KoCreate<TKoOPCService>(&Application(), Provider.get());
    }
    void TearDown() override {
        TKoComponent::Free(Service);
        ServerObjectTest::TearDown();
    }
    TKoOPCService* Service = nullptr;
};

TEST_F(OPCServiceObject, IsAnAutomaticOwnProcessServiceWithoutPause) {
    EXPECT_EQ(Service->Name(), L"KoOPCService");
    // Given by the provider when the service object is created.
    EXPECT_EQ(Service->DisplayName, L"A description of the test");
    EXPECT_EQ(Service->ServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(Service->StartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(Service->ErrorSeverity, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_FALSE(Service->Interactive);
    EXPECT_EQ(Service->WaitHint, 5000u);
    EXPECT_EQ(Service->AcceptedControls(), static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
}

// The stop and shutdown requests tell every client their own reason and shut the provider down; a
// pause request (not offered) changes nothing.
TEST_F(OPCServiceObject, StopAndShutdownTellTheClientsAndShutTheProviderDown) {
    struct TCase {
        DWORD Control;
        bool Stops;
        std::vector<std::wstring> Told;
    } const Cases[] = {
        {SERVICE_CONTROL_PAUSE, false, {}},
        {SERVICE_CONTROL_STOP, true, {L"Service stopped"}},
        {SERVICE_CONTROL_SHUTDOWN, true, {L"Service shutdown"}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Control);
        // A provider of its own per case: a shut-down provider stays down.
        Provider = std::make_unique<TKoOPCProvider>();
        Provider->Run();
        TKoComponent::Free(Service);
        Service = KoCreate<TKoOPCService>(&Application(), Provider.get());
        ComPtr<IOPCServer> Client = Connect();
        auto Journal = std::make_shared<ShutdownJournal>();
        ComPtr<IConnectionPoint> Point = ShutdownPoint(Client.Get());
        ASSERT_TRUE(Point);
        ComPtr<ShutdownSink> Sink = KoAdopt(new ShutdownSink(Journal, 1));
        DWORD Cookie = 0;
        ASSERT_EQ(Point->Advise(Sink->Unknown(), &Cookie), S_OK);

        EXPECT_EQ(Service->RunControl(Case.Control), Case.Stops);
        std::vector<std::wstring> Told;
        for (const ShutdownJournal::Entry& E : Journal->Entries()) Told.push_back(E.Reason);
        EXPECT_EQ(Told, Case.Told);
        EXPECT_EQ(Provider->State(), Case.Stops ? OPC_STATUS_SUSPENDED : OPC_STATUS_RUNNING);
        EXPECT_EQ(Provider->ClientCount(), Case.Stops ? 0 : 1);
        if (!Case.Stops) {
            EXPECT_EQ(Point->Unadvise(Cookie), S_OK);
        }
    }
}

// ---- KoOPCServerSvc as a service of the prefix ----

constexpr wchar_t kServiceExe[] = L"KoOPCServerSvc.exe";
constexpr wchar_t kServiceProgID[] = L"Korvel.OPC.Service";
constexpr wchar_t kServiceClassID[] = L"{8E16B2F0-D473-4A9C-B5E8-0F29A6C31D57}";
// A started service serves, a stopped one has ended its process, within these.
constexpr DWORD kServiceStartBoundMs = 30000;
constexpr DWORD kServiceStopBoundMs = 15000;
// A refused activation and a call to a gone server are answered within this.
constexpr DWORD kAnswerBoundMs = 5000;

TProgramRun RunService(const std::wstring& Args) {
    return RunCaptured(ExecutableDirectory() + kServiceExe, Args, {}, kProgramBoundMs);
}

std::optional<SERVICE_STATUS_PROCESS> ServiceStatus() {
    TKoServiceHandle Manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    TKoServiceHandle Service(Manager ? OpenServiceW(Manager.Get(), KoOPCServiceName, SERVICE_QUERY_STATUS)
                                     : nullptr);
    SERVICE_STATUS_PROCESS Status{};
    DWORD Needed = 0;
    if (!Service || !QueryServiceStatusEx(Service.Get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&Status), sizeof Status, &Needed))
        return std::nullopt;
    return Status;
}

struct TServiceConfig {
    std::wstring DisplayName, BinaryPath, Description;
    DWORD Type = 0, StartType = 0, ErrorControl = 0;
};

std::optional<TServiceConfig> ServiceConfig() {
    TKoServiceHandle Manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    TKoServiceHandle Service(Manager ? OpenServiceW(Manager.Get(), KoOPCServiceName, SERVICE_QUERY_CONFIG)
                                     : nullptr);
    if (!Service) return std::nullopt;
    alignas(QUERY_SERVICE_CONFIGW) BYTE Buffer[8192];
    DWORD Needed = 0;
    auto* Config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(Buffer);
    if (!QueryServiceConfigW(Service.Get(), Config, sizeof Buffer, &Needed)) return std::nullopt;
    TServiceConfig Result{Config->lpDisplayName ? Config->lpDisplayName : L"",
                          Config->lpBinaryPathName ? Config->lpBinaryPathName : L"",
                          L"",
                          Config->dwServiceType,
                          Config->dwStartType,
                          Config->dwErrorControl};
    auto* Description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(Buffer);
    if (QueryServiceConfig2W(Service.Get(), SERVICE_CONFIG_DESCRIPTION, Buffer, sizeof Buffer, &Needed) &&
        Description->lpDescription)
        Result.Description = Description->lpDescription;
    return Result;
}

bool KeyExists(HKEY Root, const std::wstring& Path) {
    TKoRegKey Key;
    return Key.Open(Root, Path);
}

std::wstring ReadValue(HKEY Root, const std::wstring& Path, const std::wstring& Name) {
    TKoRegKey Key;
    std::wstring Value;
    if (!Key.Open(Root, Path) || !Key.ReadString(Name, Value)) return L"<missing>";
    return Value;
}

const std::wstring kServiceKey = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + KoOPCServiceName;

// Every key that installing writes (under the classes root unless said otherwise).
std::vector<std::pair<HKEY, std::wstring>> InstalledKeys() {
    return {{HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + kServiceClassID},
            {HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kServiceClassID},
            {HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + kServiceExe},
            {HKEY_CLASSES_ROOT, kServiceProgID},
            {HKEY_LOCAL_MACHINE, kServiceKey}};
}

// A service left behind by an earlier, failed run goes first.
void RemoveLeftoverService() {
    if (ServiceStatus()) RunService(L"/uninstall /silent");
}

ComPtr<IOPCServer> ActivateService(HRESULT& Result) {
    CLSID ClassID{};
    Result = CLSIDFromProgID(kServiceProgID, &ClassID);
    ComPtr<IOPCServer> Server;
    if (SUCCEEDED(Result))
        Result = CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&Server));
    return Server;
}

// Posts WM_QUIT to every thread of the process that has a message queue; how many took it. The
// service's windows live on a desktop of their own, out of the test's sight: its threads do not.
int PostQuitToThreadsOf(DWORD ProcessId) {
    TKoHandle Snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!Snapshot) return 0;
    int Posted = 0;
    THREADENTRY32 Entry{};
    Entry.dwSize = sizeof Entry;
    for (BOOL More = Thread32First(Snapshot.Get(), &Entry); More; More = Thread32Next(Snapshot.Get(), &Entry))
        if (Entry.th32OwnerProcessID == ProcessId && PostThreadMessageW(Entry.th32ThreadID, WM_QUIT, 0, 0))
            ++Posted;
    return Posted;
}

double SecondsSince(ULONGLONG Start) {
    return static_cast<double>(GetTickCount64() - Start) / 1000.0;
}

// Started by hand, the program is no service and says so; the service switches check their
// arguments and that there is something to do.
TEST(ServiceProgram, SwitchesWithoutAnInstalledService) {
    RemoveLeftoverService();
    ASSERT_FALSE(ServiceStatus()) << "the service could not be removed before the test";
    struct TCase {
        const wchar_t* Args;
        DWORD Exit;
        const char* Err;
    } const Cases[] = {
        {L"", 1, "runs only when the service control manager starts it"},
        {L"/install /uninstall", 1, "either /install or /uninstall"},
        {L"/uninstall", 2, "is not installed; nothing was changed"},
        {L"-UNINSTALL -SILENT", 2, "is not installed; nothing was changed"},
    };
    for (const TCase& Case : Cases) {
        const TProgramRun Run = RunService(Case.Args);
        SCOPED_TRACE("KoOPCServerSvc " + Utf8(Case.Args) + "\n--- stdout:\n" + Run.Out + "--- stderr:\n" +
                     Run.Err);
        EXPECT_EQ(Run.ExitCode, Case.Exit);
        EXPECT_NE(Run.Err.find(Case.Err), std::string::npos);
        EXPECT_EQ(Run.Out, "");
        EXPECT_FALSE(ServiceStatus()) << "a service appeared";
    }
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + kServiceClassID));
}

// The whole life of the service: installed (twice: the second changes nothing), started by COM
// for a client although the class is also registered as a plain local server, serving clients of
// other processes, stopped with two clients connected (each told, a client activating meanwhile
// refused at once, the process gone within the bound), started again and ended by a quit message,
// started once more and removed while running, with every entry it wrote.
TEST(ServiceProgram, InstalledStartedByComServingStoppedAndRemoved) {
    RemoveLeftoverService();
    ASSERT_FALSE(ServiceStatus()) << "the service could not be removed before the test";
    ASSERT_TRUE(ProcessesOf(kServiceExe).empty()) << "a KoOPCServerSvc process is running already";
    const std::wstring Exe = ExecutableDirectory() + kServiceExe;
    const std::wstring AppIDKey = std::wstring(L"AppID\\") + kServiceClassID;

    // ---- installed ----
    {
        const TProgramRun Run = RunService(L"/install /silent");
        ASSERT_EQ(Run.ExitCode, 0u) << Run.Err;
        EXPECT_EQ(Run.Out, "") << "silent, yet it spoke";
    }
    const std::optional<TServiceConfig> Config = ServiceConfig();
    ASSERT_TRUE(Config);
    EXPECT_EQ(Config->DisplayName, L"Korvel OPC Service");
    EXPECT_EQ(Config->Description, L"OPC Server as Service by Korvel OPC Ltd");
    EXPECT_EQ(Config->Type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(Config->StartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(Config->ErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(Config->BinaryPath, L"\"" + Exe + L"\"");
    struct TValue {
        HKEY Root;
        std::wstring Path, Name, Value;
    };
    const std::wstring ClassKey = std::wstring(L"CLSID\\") + kServiceClassID;
    const TValue Values[] = {
        {HKEY_CLASSES_ROOT, AppIDKey, L"LocalService", KoOPCServiceName},
        // The registration that follows writes the program's title over the display name.
        {HKEY_CLASSES_ROOT, AppIDKey, L"", L"Korvel OPC Simulation Service"},
        {HKEY_CLASSES_ROOT, ClassKey, L"AppID", kServiceClassID},
        {HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + kServiceExe, L"AppID", kServiceClassID},
        {HKEY_CLASSES_ROOT, ClassKey + L"\\ProgID", L"", kServiceProgID},
        // Both ways of starting are registered; COM starts the service (see below).
        {HKEY_CLASSES_ROOT, ClassKey + L"\\LocalServer32", L"", Exe},
        {HKEY_CLASSES_ROOT, std::wstring(kServiceProgID) + L"\\Clsid", L"", kServiceClassID},
        {HKEY_CLASSES_ROOT, std::wstring(kServiceProgID) + L"\\OPC\\Vendor", L"", L"Korvel OPC Ltd"},
        {HKEY_LOCAL_MACHINE, kServiceKey, L"Description", L"OPC Server as Service by Korvel OPC Ltd"},
    };
    for (const TValue& V : Values)
        EXPECT_EQ(ReadValue(V.Root, V.Path, V.Name), V.Value) << Utf8(V.Path) << " " << Utf8(V.Name);

    // Installing again says so and writes nothing: a value changed meanwhile stays as it is.
    {
        TKoRegKey AppID;
        ASSERT_TRUE(AppID.Create(HKEY_CLASSES_ROOT, AppIDKey));
        ASSERT_TRUE(AppID.WriteString(L"", L"changed by the test"));
        const TProgramRun Run = RunService(L"/install");
        EXPECT_EQ(Run.ExitCode, 2u);
        EXPECT_NE(Run.Err.find("KoOPCService is installed already; nothing was changed"), std::string::npos)
            << Run.Err;
        EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, AppIDKey, L""), L"changed by the test");
        ASSERT_TRUE(AppID.WriteString(L"", L"Korvel OPC Simulation Service"));
    }

    // ---- started by COM: the service, not a process with the embedding switch ----
    std::optional<SERVICE_STATUS_PROCESS> Status = ServiceStatus();
    ASSERT_TRUE(Status);
    EXPECT_EQ(Status->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    const ULONGLONG ActivationStart = GetTickCount64();
    HRESULT Result = E_UNEXPECTED;
    ComPtr<IOPCServer> First = ActivateService(Result);
    ASSERT_EQ(Hex(Result), Hex(S_OK)) << "activation by ProgID failed";
    std::printf("[ figures  ] activation that started the service: %.2f s\n", SecondsSince(ActivationStart));
    Status = ServiceStatus();
    ASSERT_TRUE(Status);
    EXPECT_EQ(Status->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Status->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    EXPECT_EQ(ProcessesOf(kServiceExe), std::vector<DWORD>{Status->dwProcessId})
        << "the class was served by another process than the service's";
    TKoHandle Process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, Status->dwProcessId));
    ASSERT_TRUE(Process);

    // ---- clients of other processes read, write and subscribe ----
    struct TClientRun {
        const wchar_t* Args;
        std::vector<const char*> Out;
        size_t Lines; // of standard output, 0: not counted
    } const ClientRuns[] = {
        {L"info", {"Running", "OPC Server as Service by Korvel OPC Ltd"}, 0},
        {L"write Static.KoFloat1=42.5", {}, 0},
        {L"read Static.KoFloat1 --format csv", {"Static.KoFloat1,42.5,"}, 0},
        {L"watch SawTooth.KoFloat1 --rate 100 --count 3 --format csv", {"SawTooth.KoFloat1,"}, 4},
    };
    for (const TClientRun& C : ClientRuns) {
        const TProgramRun Run =
            RunCaptured(ExecutableDirectory() + L"koopc.exe",
                        std::wstring(C.Args) + L" --progid " + kServiceProgID, {}, kProgramBoundMs);
        SCOPED_TRACE("koopc " + Utf8(C.Args) + "\n--- stdout:\n" + Run.Out + "--- stderr:\n" + Run.Err);
        EXPECT_EQ(Run.ExitCode, 0u);
        for (const char* Text : C.Out)
            EXPECT_NE(Run.Out.find(Text), std::string::npos) << "missing: " << Text;
        if (C.Lines) {
            EXPECT_EQ(static_cast<size_t>(std::count(Run.Out.begin(), Run.Out.end(), '\n')), C.Lines);
        }
    }
    // Their leaving does not end the service.
    Status = ServiceStatus();
    ASSERT_TRUE(Status);
    EXPECT_EQ(Status->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(WaitForSingleObject(Process.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // ---- stopped with two clients connected ----
    ComPtr<IOPCServer> Second = ActivateService(Result);
    ASSERT_EQ(Hex(Result), Hex(S_OK));
    AddedGroup Group = AddGroup(First.Get(), L"Held");
    ASSERT_EQ(Group.Result, S_OK);
    auto Journal = std::make_shared<ShutdownJournal>();
    // The second client tries to connect again as soon as it is told, while the service stops.
    HRESULT Refused = S_OK;
    double RefusedAfter = -1;
    const auto Reconnect = [&] {
        const ULONGLONG Start = GetTickCount64();
        HRESULT Code = E_UNEXPECTED;
        ComPtr<IOPCServer> Again = ActivateService(Code);
        Refused = Code;
        RefusedAfter = SecondsSince(Start);
    };
    std::vector<std::pair<ComPtr<IConnectionPoint>, DWORD>> Cookies;
    for (auto [Server, Id] : {std::pair{First.Get(), 1}, std::pair{Second.Get(), 2}}) {
        ComPtr<IConnectionPoint> Point = ShutdownPoint(Server);
        ASSERT_TRUE(Point);
        ComPtr<ShutdownSink> Sink =
            KoAdopt(new ShutdownSink(Journal, Id, Id == 2 ? std::function<void()>(Reconnect) : nullptr));
        DWORD Cookie = 0;
        ASSERT_EQ(Point->Advise(Sink->Unknown(), &Cookie), S_OK);
        Cookies.emplace_back(Point, Cookie);
    }
    Cookies.clear();

    const ULONGLONG StopStart = GetTickCount64();
    FILETIME StopRequested{};
    GetSystemTimeAsFileTime(&StopRequested);
    {
        TKoServiceHandle Manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        TKoServiceHandle Service(Manager ? OpenServiceW(Manager.Get(), KoOPCServiceName, SERVICE_STOP)
                                         : nullptr);
        ASSERT_TRUE(Service);
        SERVICE_STATUS Stopping{};
        ASSERT_TRUE(ControlService(Service.Get(), SERVICE_CONTROL_STOP, &Stopping)) << GetLastError();
    }
    ASSERT_TRUE(Journal->WaitFor(2, kServiceStopBoundMs)) << "shutdown requests missing";
    std::vector<std::pair<int, std::wstring>> Told;
    for (const ShutdownJournal::Entry& E : Journal->Entries()) Told.emplace_back(E.Sink, E.Reason);
    const std::vector<std::pair<int, std::wstring>> Expected = {{2, L"Service stopped"},
                                                                {1, L"Service stopped"}};
    EXPECT_EQ(Told, Expected);
    EXPECT_EQ(Hex(Refused), Hex(CO_E_SERVER_STOPPING)) << "an activation while the service stops";
    EXPECT_LT(RefusedAfter, kAnswerBoundMs / 1000.0) << "the refused activation took too long";
    std::printf("[ figures  ] activation refused while stopping: %s after %.2f s\n", Hex(Refused).c_str(),
                RefusedAfter);

    // The service reports itself stopped only once everything it used is gone, its class object
    // included: a client activating the class at that very moment starts the service anew instead
    // of reaching the ending process.
    for (const ULONGLONG Deadline = GetTickCount64() + kServiceStopBoundMs;;) {
        Status = ServiceStatus();
        ASSERT_TRUE(Status);
        if (Status->dwCurrentState == SERVICE_STOPPED) break;
        ASSERT_LT(GetTickCount64(), Deadline) << "the service did not report itself stopped";
        // The service control manager tells no one: its state is asked for again.
        Sleep(5);
    }
    std::printf("[ figures  ] stop request to the stopped state: %.2f s\n", SecondsSince(StopStart));
    EXPECT_EQ(Status->dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    // By then the clients' server objects are gone, not merely detached (a detached one would
    // answer E_FAIL): a call fails at once instead of waiting.
    const ULONGLONG CallStart = GetTickCount64();
    HRESULT CallResult = S_OK;
    ServerStatus Gone = StatusOf(First.Get(), CallResult);
    EXPECT_TRUE(FAILED(CallResult)) << Hex(CallResult);
    EXPECT_NE(Hex(CallResult), Hex(E_FAIL)) << "the server object still existed when the service was stopped";
    EXPECT_LT(SecondsSince(CallStart), kAnswerBoundMs / 1000.0);
    std::printf("[ figures  ] a call on a server object of the stopped service: %s\n",
                Hex(CallResult).c_str());
    ComPtr<IOPCServer> Restarted = ActivateService(Result);
    EXPECT_EQ(Hex(Result), Hex(S_OK)) << "an activation right after the stop";

    const DWORD Ended = WaitForSingleObject(Process.Get(), kServiceStopBoundMs);
    ASSERT_EQ(Ended, static_cast<DWORD>(WAIT_OBJECT_0)) << "the service process did not end after the stop";
    FILETIME Created{}, Exited{}, Kernel{}, User{};
    if (GetProcessTimes(Process.Get(), &Created, &Exited, &Kernel, &User))
        std::printf("[ figures  ] stop request to the end of the service's process: %.2f s\n",
                    static_cast<double>(static_cast<LONGLONG>(Ticks(Exited) - Ticks(StopRequested))) / 1e7);
    DWORD ExitCode = 99;
    EXPECT_TRUE(GetExitCodeProcess(Process.Get(), &ExitCode));
    EXPECT_EQ(ExitCode, 0u);
    Group = {};
    First.Reset();
    Second.Reset();

    // ---- the new instance ended by its main thread's quit message, another by the removal ----
    // A quit message to its main thread (as a console break gives) ends the service as a stop
    // request does; removing a running service stops it first.
    for (const bool Remove : {false, true}) {
        SCOPED_TRACE(Remove ? "removed while running" : "quit message");
        ComPtr<IOPCServer> Client = Remove ? ActivateService(Result) : std::move(Restarted);
        ASSERT_TRUE(Client) << "the service did not start again: " << Hex(Result);
        Status = ServiceStatus();
        ASSERT_TRUE(Status);
        ASSERT_EQ(Status->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        TKoHandle Again(OpenProcess(SYNCHRONIZE, FALSE, Status->dwProcessId));
        ASSERT_TRUE(Again);
        auto Told = std::make_shared<ShutdownJournal>();
        ComPtr<IConnectionPoint> Point = ShutdownPoint(Client.Get());
        ASSERT_TRUE(Point);
        DWORD Cookie = 0;
        ASSERT_EQ(Point->Advise(KoAdopt(new ShutdownSink(Told, 1))->Unknown(), &Cookie), S_OK);
        Point.Reset();
        if (Remove) {
            const TProgramRun Run = RunService(L"/uninstall");
            EXPECT_EQ(Run.ExitCode, 0u) << Run.Err;
            EXPECT_NE(Run.Out.find("The service KoOPCService was removed."), std::string::npos) << Run.Out;
        } else {
            ASSERT_GT(PostQuitToThreadsOf(Status->dwProcessId), 0) << "no thread took the quit message";
        }
        ASSERT_TRUE(Told->WaitFor(1, kServiceStopBoundMs)) << "no shutdown request";
        EXPECT_EQ(Told->Entries()[0].Reason, L"Service stopped");
        EXPECT_EQ(WaitForSingleObject(Again.Get(), kServiceStopBoundMs), static_cast<DWORD>(WAIT_OBJECT_0))
            << "the service process did not end";
        Status = ServiceStatus();
        if (Remove) {
            EXPECT_FALSE(Status) << "the service is still there";
        } else {
            ASSERT_TRUE(Status);
            EXPECT_EQ(Status->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        }
    }
    for (const auto& [Root, Path] : InstalledKeys()) EXPECT_FALSE(KeyExists(Root, Path)) << Utf8(Path);
}

} // namespace

int main(int argc, char** argv) {
    return kotest::RunClientTests(argc, argv);
}
