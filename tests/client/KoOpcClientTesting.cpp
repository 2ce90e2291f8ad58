#include "KoOpcClientTesting.h"

#include <winternl.h>

#include <algorithm>
#include <cstdio>

#include "KoProcessTesting.h"

namespace kotest {

std::string Utf8(const std::wstring& Text) {
    if (Text.empty()) return {};
    const int N = WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string Out(static_cast<size_t>(N), '\0');
    WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), Out.data(), N, nullptr,
                        nullptr);
    return Out;
}

std::string Hex(HRESULT Code) {
    char Buffer[16];
    std::snprintf(Buffer, sizeof Buffer, "0x%08lX", static_cast<unsigned long>(Code));
    return Buffer;
}

std::wstring Text(const TaskString& S) {
    return S ? std::wstring(S.get()) : std::wstring(L"<null>");
}

ULONGLONG Ticks(const FILETIME& Time) {
    return (static_cast<ULONGLONG>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime;
}

// ---- the server process ----

bool ServerProcess::AttachNew(const std::vector<DWORD>& Before) {
    for (DWORD Id : ProcessesOf(kServerExe)) {
        if (std::find(Before.begin(), Before.end(), Id) != Before.end()) continue;
        FHandle.Reset(OpenProcess(
            SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE, FALSE, Id));
        if (!FHandle) return false;
        FId = Id;
        return true;
    }
    return false;
}

bool ServerProcess::WaitForEnd(DWORD BoundMs, DWORD& ExitCode) const {
    if (WaitForSingleObject(FHandle.Get(), BoundMs) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(FHandle.Get(), &ExitCode) != 0;
}

bool ServerProcess::Quit() const {
    const std::vector<HWND> Windows = MessageWindows();
    return !Windows.empty() &&
           PostThreadMessageW(GetWindowThreadProcessId(Windows[0], nullptr), WM_QUIT, 0, 0);
}

void ServerProcess::End() const {
    DWORD ExitCode = 0;
    if (Quit() && WaitForEnd(kServerEndBoundMs, ExitCode)) return;
    Terminate();
}

void ServerProcess::Terminate() const {
    TerminateProcess(FHandle.Get(), 98);
    WaitForSingleObject(FHandle.Get(), 10000);
}

std::wstring ServerProcess::CommandLine() const {
    PROCESS_BASIC_INFORMATION Basic{};
    ULONG Length = 0;
    if (NtQueryInformationProcess(FHandle.Get(), ProcessBasicInformation, &Basic, sizeof Basic, &Length) != 0)
        return L"<no process information>";
    PEB Peb{};
    RTL_USER_PROCESS_PARAMETERS Parameters{};
    if (!ReadProcessMemory(FHandle.Get(), Basic.PebBaseAddress, &Peb, sizeof Peb, nullptr) ||
        !ReadProcessMemory(FHandle.Get(), Peb.ProcessParameters, &Parameters, sizeof Parameters, nullptr))
        return L"<unreadable>";
    std::wstring Result(Parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
    if (!ReadProcessMemory(FHandle.Get(), Parameters.CommandLine.Buffer, Result.data(),
                           Parameters.CommandLine.Length, nullptr))
        return L"<unreadable>";
    return Result;
}

std::vector<HWND> ServerProcess::MessageWindows() const {
    std::vector<HWND> Windows;
    for (HWND Window = nullptr;
         (Window = FindWindowExW(HWND_MESSAGE, Window, kMessageWindowClass, nullptr));) {
        DWORD Owner = 0;
        GetWindowThreadProcessId(Window, &Owner);
        if (Owner == FId) Windows.push_back(Window);
    }
    return Windows;
}

// ---- calls the tests repeat ----

AddedGroup AddGroup(IOPCServer* Server, const wchar_t* Name, DWORD Rate) {
    AddedGroup Added;
    IUnknown* Unknown = nullptr;
    Added.Result = Server->AddGroup(Name, TRUE, Rate, 7, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT,
                                    &Added.ServerHandle, &Added.RevisedRate, IID_IOPCGroupStateMgt, &Unknown);
    if (SUCCEEDED(Added.Result))
        *Added.Group.GetAddressOf() = static_cast<IOPCGroupStateMgt*>(Unknown);
    else
        Added.UnknownCleared = Unknown == nullptr;
    return Added;
}

std::pair<std::wstring, OPCHANDLE> StateOf(IOPCGroupStateMgt* Group) {
    DWORD Rate = 0;
    BOOL Active = FALSE;
    LONG Bias = 0;
    FLOAT Deadband = 0;
    DWORD LCID = 0;
    OPCHANDLE ClientHandle = 0;
    OPCHANDLE ServerHandle = 0;
    LPWSTR Name = nullptr;
    const HRESULT Result =
        Group->GetState(&Rate, &Active, &Name, &Bias, &Deadband, &LCID, &ClientHandle, &ServerHandle);
    TaskString Owned(Name);
    if (Result != S_OK) return {L"<GetState " + std::to_wstring(Result) + L">", 0};
    return {Text(Owned), ServerHandle};
}

ServerStatus StatusOf(IOPCServer* Server, HRESULT& Result) {
    OPCSERVERSTATUS* Raw = nullptr;
    Result = Server->GetStatus(&Raw);
    return ServerStatus(Raw);
}

long GroupCount(IOPCServer* Server) {
    HRESULT Result = E_UNEXPECTED;
    ServerStatus Status = StatusOf(Server, Result);
    return Result == S_OK && Status ? static_cast<long>(Status->dwGroupCount) : -1;
}

std::vector<std::wstring> Drain(IEnumString* Strings) {
    std::vector<std::wstring> All;
    for (;;) {
        LPOLESTR Batch[4] = {};
        ULONG Fetched = 0;
        const HRESULT Result = Strings->Next(4, Batch, &Fetched);
        for (ULONG I = 0; I < Fetched; ++I) {
            TaskString Owned(Batch[I]);
            All.push_back(Text(Owned));
        }
        if (Result != S_OK || Fetched == 0) return All;
    }
}

std::vector<ComPtr<IUnknown>> Drain(IEnumUnknown* Unknowns) {
    std::vector<ComPtr<IUnknown>> All;
    for (;;) {
        IUnknown* Batch[4] = {};
        ULONG Fetched = 0;
        const HRESULT Result = Unknowns->Next(4, Batch, &Fetched);
        for (ULONG I = 0; I < Fetched; ++I) All.push_back(KoAdopt(Batch[I]));
        if (Result != S_OK || Fetched == 0) return All;
    }
}

std::vector<std::wstring> EnumeratedNames(IOPCServer* Server, OPCENUMSCOPE Scope, HRESULT& Result) {
    IUnknown* Unknown = nullptr;
    Result = Server->CreateGroupEnumerator(Scope, IID_IEnumString, &Unknown);
    ComPtr<IUnknown> Owned = KoAdopt(Unknown);
    ComPtr<IEnumString> Strings;
    if (!Owned || FAILED(Owned.As(&Strings))) return {L"<no enumerator>"};
    return Drain(Strings.Get());
}

ComPtr<IConnectionPoint> ShutdownPoint(IOPCServer* Server) {
    ComPtr<IConnectionPointContainer> Container;
    ComPtr<IConnectionPoint> Point;
    if (SUCCEEDED(Server->QueryInterface(IID_PPV_ARGS(&Container))))
        Container->FindConnectionPoint(IID_IOPCShutdown, &Point);
    return Point;
}

// ---- the fixture ----

void OpcClient::SetUp() {
    ASSERT_TRUE(ProcessesOf(kServerExe).empty()) << "a server process is running already";
}

void OpcClient::TearDown() {
    if (!Server.Attached()) return;
    // The test released everything it held: the server COM started must end by itself.
    DWORD ExitCode = 0;
    if (!Server.WaitForEnd(kServerEndBoundMs, ExitCode)) {
        ADD_FAILURE() << "the server did not end within " << kServerEndBoundMs << " ms of its last client";
        Server.End();
    } else {
        EXPECT_EQ(ExitCode, 0u) << "the server ended abnormally";
    }
}

void OpcClient::ExpectNoGroupsLeft(std::initializer_list<IOPCServer*> Connections) {
    for (IOPCServer* Each : Connections) {
        HRESULT Result = E_UNEXPECTED;
        EXPECT_EQ(EnumeratedNames(Each, OPC_ENUM_ALL, Result), std::vector<std::wstring>{});
        EXPECT_EQ(Result, S_FALSE);
    }
    EXPECT_EQ(GroupCount(*Connections.begin()), 0);
}

bool OpcClient::RunClientThreads(int N, const std::function<void(int)>& Work, DWORD BoundMs) {
    return RunMtaThreads(N, Work, BoundMs, [&] {
        ADD_FAILURE() << "the client threads did not finish within " << BoundMs << " ms: deadlock";
        // Ending the server makes every call still waiting return, so the threads can end.
        Server.Terminate();
    });
}

ComPtr<IOPCServer> OpcClient::Connect(HRESULT* Result) {
    const std::vector<DWORD> Before = ProcessesOf(kServerExe);
    CLSID ClassID{};
    HRESULT Code = CLSIDFromProgID(kProgID, &ClassID);
    ComPtr<IOPCServer> Object;
    if (SUCCEEDED(Code))
        Code = CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&Object));
    if (Result)
        *Result = Code;
    else
        EXPECT_EQ(Code, S_OK) << "activation of " << Utf8(kProgID) << " failed with " << Hex(Code);
    if (!Server.Attached()) Server.AttachNew(Before);
    return Object;
}

// ---- the run ----

namespace {

class ServerRegistration : public testing::Environment {
public:
    void SetUp() override {
        const std::wstring Directory = ExecutableDirectory();
        ASSERT_EQ(RegisterProxyDll(Directory + L"" KO_OPC_PROXY_DLL), S_OK);
        ASSERT_EQ(RunProgram(Directory + kServerExe, L"/RegServer", kProgramBoundMs), 0u);
    }
    void TearDown() override {
        EXPECT_EQ(RunProgram(ExecutableDirectory() + kServerExe, L"/UnregServer", kProgramBoundMs), 0u);
    }
};

} // namespace

int RunClientTests(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // The client's multi-threaded apartment lasts the whole run.
    const HRESULT Com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(Com)) {
        std::fprintf(stderr, "CoInitializeEx failed: 0x%08lX\n", static_cast<unsigned long>(Com));
        return 2;
    }
    testing::AddGlobalTestEnvironment(new ServerRegistration);
    const int Result = RUN_ALL_TESTS();
    CoUninitialize();
    return Result;
}

} // namespace kotest
