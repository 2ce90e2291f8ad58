#include "KoProcessTesting.h"

#include <objbase.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>

#include "KoWindows.h"

namespace kotest {

namespace {

// One thread's work; the thread procedure is a system-convention function, as the 32-bit build
// needs.
struct TMtaWork {
    const std::function<void(int)>* Work;
    int Index;
};

DWORD WINAPI RunMtaWork(void* Arg) {
    const TMtaWork& Work = *static_cast<TMtaWork*>(Arg);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    (*Work.Work)(Work.Index);
    CoUninitialize();
    return 0;
}

[[noreturn]] void EndProcess(const char* Message) {
    std::fprintf(stderr, "%s\n", Message);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    std::abort();
}

} // namespace

bool RunMtaThreads(int N, const std::function<void(int)>& Work, DWORD BoundMs,
                   const std::function<void()>& OnOverdue) {
    std::vector<TMtaWork> Args;
    for (int I = 0; I < N; ++I) Args.push_back({&Work, I});
    std::vector<TKoHandle> Threads;
    std::vector<HANDLE> Raw;
    for (TMtaWork& Arg : Args) {
        Threads.emplace_back(CreateThread(nullptr, 0, &RunMtaWork, &Arg, 0, nullptr));
        if (!Threads.back()) EndProcess("CreateThread failed");
        Raw.push_back(Threads.back().Get());
    }
    const auto AllEnded = [&](DWORD Bound) {
        return WaitForMultipleObjects(static_cast<DWORD>(N), Raw.data(), TRUE, Bound) == WAIT_OBJECT_0;
    };
    if (AllEnded(BoundMs)) return true;
    if (!OnOverdue) EndProcess("worker threads did not end in time: deadlock");
    OnOverdue();
    if (!AllEnded(30000)) EndProcess("worker threads still running after the overdue handling");
    return false;
}

std::wstring ExecutablePath() {
    std::wstring Path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD N = GetModuleFileNameW(nullptr, Path.data(), static_cast<DWORD>(Path.size()));
        if (N == 0) return {};
        if (N < Path.size()) {
            Path.resize(N);
            return Path;
        }
        Path.resize(Path.size() * 2);
    }
}

std::wstring ExecutableDirectory() {
    const std::wstring Path = ExecutablePath();
    return Path.substr(0, Path.find_last_of(L"\\/") + 1);
}

namespace {

// Starts Path with Args; with Startup, its standard handles are inherited. An empty handle when
// the program cannot be started.
TKoHandle Launch(const std::wstring& Path, const std::wstring& Args, STARTUPINFOW* Startup = nullptr) {
    std::wstring CommandLine = L"\"" + Path + L"\" " + Args;
    STARTUPINFOW Plain{};
    Plain.cb = sizeof Plain;
    PROCESS_INFORMATION Info{};
    if (!CreateProcessW(Path.c_str(), CommandLine.data(), nullptr, nullptr, Startup != nullptr, 0, nullptr,
                        nullptr, Startup ? Startup : &Plain, &Info))
        return {};
    TKoHandle Thread(Info.hThread);
    return TKoHandle(Info.hProcess);
}

// The exit code of a started program, or kProgramTimedOut (the program ended by force) when it did
// not end within BoundMs.
DWORD WaitForExit(HANDLE Process, DWORD BoundMs) {
    if (WaitForSingleObject(Process, BoundMs) != WAIT_OBJECT_0) {
        TerminateProcess(Process, 99);
        WaitForSingleObject(Process, 5000);
        return kProgramTimedOut;
    }
    DWORD Code = kProgramNotStarted;
    GetExitCodeProcess(Process, &Code);
    return Code;
}

} // namespace

DWORD RunProgram(const std::wstring& Path, const std::wstring& Args, DWORD BoundMs) {
    const TKoHandle Process = Launch(Path, Args);
    return Process ? WaitForExit(Process.Get(), BoundMs) : kProgramNotStarted;
}

namespace {

// A temporary file deleted with its last handle, inheritable by a child process.
TKoHandle TemporaryFile() {
    wchar_t Folder[MAX_PATH + 1] = {};
    wchar_t Name[MAX_PATH + 1] = {};
    if (!GetTempPathW(MAX_PATH, Folder) || !GetTempFileNameW(Folder, L"kot", 0, Name)) return {};
    SECURITY_ATTRIBUTES Inherit{sizeof Inherit, nullptr, TRUE};
    return TKoHandle(CreateFileW(
        Name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &Inherit,
        CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

std::string ReadAll(HANDLE File) {
    std::string Text;
    SetFilePointer(File, 0, nullptr, FILE_BEGIN);
    char Buffer[4096];
    DWORD Read = 0;
    while (ReadFile(File, Buffer, sizeof Buffer, &Read, nullptr) && Read > 0) Text.append(Buffer, Read);
    return Text;
}

} // namespace

TProgramRun RunCaptured(const std::wstring& Path, const std::wstring& Args, const std::string& Input,
                        DWORD BoundMs) {
    // Files rather than pipes: a child that writes more than a pipe holds cannot block on a
    // parent that waits for its end.
    TProgramRun Run;
    TKoHandle In = TemporaryFile(), Out = TemporaryFile(), Err = TemporaryFile();
    if (!In || !Out || !Err) return Run;
    DWORD Written = 0;
    if (!Input.empty() &&
        !WriteFile(In.Get(), Input.data(), static_cast<DWORD>(Input.size()), &Written, nullptr))
        return Run;
    SetFilePointer(In.Get(), 0, nullptr, FILE_BEGIN);
    STARTUPINFOW Startup{};
    Startup.cb = sizeof Startup;
    Startup.dwFlags = STARTF_USESTDHANDLES;
    Startup.hStdInput = In.Get();
    Startup.hStdOutput = Out.Get();
    Startup.hStdError = Err.Get();
    const TKoHandle Process = Launch(Path, Args, &Startup);
    if (!Process) return Run;
    Run.ExitCode = WaitForExit(Process.Get(), BoundMs);
    Run.Out = ReadAll(Out.Get());
    Run.Err = ReadAll(Err.Get());
    return Run;
}

TKoHandle StartProgram(const std::wstring& Path, const std::wstring& Args) {
    return Launch(Path, Args);
}

bool QuitProgram(DWORD ProcessId) {
    // The class of the main-thread message windows of the programs (the provider's sink among
    // them).
    for (HWND Window = nullptr;
         (Window = FindWindowExW(HWND_MESSAGE, Window, L"TKoMessageWindow", nullptr));) {
        DWORD Owner = 0;
        const DWORD Thread = GetWindowThreadProcessId(Window, &Owner);
        if (Owner == ProcessId) return PostThreadMessageW(Thread, WM_QUIT, 0, 0) != FALSE;
    }
    return false;
}

HRESULT RegisterProxyDll(const std::wstring& Path) {
    HMODULE Dll = LoadLibraryW(Path.c_str());
    if (!Dll) return HRESULT_FROM_WIN32(GetLastError());
    using TRegisterServer = HRESULT(STDAPICALLTYPE*)();
    const auto RegisterServer = reinterpret_cast<TRegisterServer>(
        reinterpret_cast<void (*)()>(GetProcAddress(Dll, "DllRegisterServer")));
    const HRESULT Result = RegisterServer ? RegisterServer() : HRESULT_FROM_WIN32(GetLastError());
    FreeLibrary(Dll);
    return Result;
}

std::vector<DWORD> ProcessesOf(const std::wstring& ExeName) {
    std::vector<DWORD> Ids;
    TKoHandle Snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!Snapshot) return Ids;
    PROCESSENTRY32W Entry{};
    Entry.dwSize = sizeof Entry;
    for (BOOL More = Process32FirstW(Snapshot.Get(), &Entry); More;
         More = Process32NextW(Snapshot.Get(), &Entry))
        if (_wcsicmp(Entry.szExeFile, ExeName.c_str()) == 0) Ids.push_back(Entry.th32ProcessID);
    return Ids;
}

} // namespace kotest
