#include "KoServices.h"

#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <utility>

#include "KoApplication.h"
#include "KoComServer.h"
#include "KoUtils.h"

namespace {

// How long the service's thread waits for the main thread's clean-up, and the main thread for
// the stop handlers, before it goes on regardless.
constexpr DWORD kStopBoundMs = 60000;
// How long removing a service waits for a running one to stop.
constexpr DWORD kUninstallStopBoundMs = 30000;
// How long the main thread waits for the dispatcher thread after the service stopped.
constexpr DWORD kDispatcherEndBoundMs = 10000;

constexpr UINT kStartServiceMessage = WM_APP + 20;

void Say(FILE* Stream, const std::wstring& Text) {
    std::fprintf(Stream, "%s\n", KoUtf8(Text).c_str());
    std::fflush(Stream);
}

std::wstring SystemText(DWORD Code) {
    wchar_t* Buffer = nullptr;
    const DWORD Length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, Code, 0, reinterpret_cast<LPWSTR>(&Buffer), 0, nullptr);
    std::wstring Text = Length ? std::wstring(Buffer, Length) : std::wstring();
    if (Buffer) LocalFree(Buffer);
    while (!Text.empty() && (Text.back() == L'\n' || Text.back() == L'\r' || Text.back() == L' '))
        Text.pop_back();
    wchar_t Number[16];
    std::swprintf(Number, std::size(Number), L"%lu", static_cast<unsigned long>(Code));
    return Text.empty() ? L"error " + std::wstring(Number) : Text + L" (error " + Number + L")";
}

// Reports a failed step on standard error; the program's exit code.
int Failed(const std::wstring& What, DWORD Code) {
    Say(stderr, What + L": " + SystemText(Code));
    return KoServiceExitFailed;
}

// Waits for Handle while the calling thread handles its messages; false when BoundMs passed.
bool WaitHandlingMessages(HANDLE Handle, DWORD BoundMs) {
    const ULONGLONG Deadline = GetTickCount64() + BoundMs;
    for (;;) {
        const ULONGLONG Now = GetTickCount64();
        if (Now >= Deadline) return WaitForSingleObject(Handle, 0) == WAIT_OBJECT_0;
        const DWORD Result = MsgWaitForMultipleObjectsEx(1, &Handle, static_cast<DWORD>(Deadline - Now),
                                                         QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (Result == WAIT_OBJECT_0) return true;
        if (Result != WAIT_OBJECT_0 + 1) return WaitForSingleObject(Handle, 0) == WAIT_OBJECT_0;
        MSG Msg;
        while (PeekMessageW(&Msg, nullptr, 0, 0, PM_REMOVE)) {
            // The loop is over already: a late quit changes nothing.
            if (Msg.message == WM_QUIT) continue;
            TranslateMessage(&Msg);
            DispatchMessageW(&Msg);
        }
    }
}

// One run of the service: the state the three threads share.
class TServiceRunner {
public:
    TServiceRunner(TKoService& Service, const TKoServiceRun& Run) : FService(Service), FRun(Run) {}
    int Run();

    static void WINAPI ServiceMain(DWORD Argc, LPWSTR* Argv);
    // The dispatcher thread.
    static DWORD WINAPI Dispatch(void* Context);
    static DWORD WINAPI Handler(DWORD Control, DWORD EventType, void* EventData, void* Context);

private:
    // The service's thread.
    void Serve();
    // Reports State (a pending state with the next check point) to the service control manager.
    void Report(DWORD State, DWORD ExitCode = NO_ERROR);
    void Interrogate();
    void PostControl(DWORD Control);
    DWORD WaitControl();
    bool StartOnMainThread();

    TKoService& FService;
    const TKoServiceRun& FRun;
    // Copied at the start: the service object goes with the clean-up, before the service reports
    // itself stopped.
    std::wstring FName;
    DWORD FType = 0;
    DWORD FAccepted = 0;
    DWORD FWaitHint = 0;
    bool FAllowStop = true;
    std::unique_ptr<TKoMessageWindow> FWindow;
    // Kept apart from the window, which the main thread frees while the service's thread may still
    // send to it.
    HWND FWindowHandle = nullptr;

    std::mutex FStatusLock;
    SERVICE_STATUS_HANDLE FStatusHandle = nullptr;
    SERVICE_STATUS FStatus{};

    std::mutex FControlLock;
    std::condition_variable FControlChanged;
    std::deque<DWORD> FControls;

    // Set by the service's thread: it began, its stop handlers are done; by the main thread: the
    // clean-up is done.
    TKoHandle FServing{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    TKoHandle FHandlersDone{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    TKoHandle FCleanedUp{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    DWORD FDispatchError = NO_ERROR;
    bool FStartFailed = false;
};

// The service control manager calls ServiceMain without a context: the one run of the process.
TServiceRunner* Runner = nullptr;

void WINAPI TServiceRunner::ServiceMain(DWORD, LPWSTR*) {
    if (Runner) Runner->Serve();
}

DWORD WINAPI TServiceRunner::Dispatch(void* Context) {
    auto* Self = static_cast<TServiceRunner*>(Context);
    SERVICE_TABLE_ENTRYW Table[] = {{Self->FName.data(), &TServiceRunner::ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(Table)) Self->FDispatchError = GetLastError();
    // Returns once the service reported itself stopped, or at once when the process was not started
    // by the service control manager.
    Application().Terminate();
    return 0;
}

DWORD WINAPI TServiceRunner::Handler(DWORD Control, DWORD, void*, void* Context) {
    auto* Self = static_cast<TServiceRunner*>(Context);
    switch (Control) {
    case SERVICE_CONTROL_INTERROGATE:
        Self->Interrogate();
        return NO_ERROR;
    case SERVICE_CONTROL_STOP:
        if (!Self->FAllowStop) return ERROR_CALL_NOT_IMPLEMENTED;
        Self->PostControl(Control);
        return NO_ERROR;
    case SERVICE_CONTROL_SHUTDOWN:
        Self->PostControl(Control);
        return NO_ERROR;
    default:
        // Pause and continue among them: the service offers neither.
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void TServiceRunner::Report(DWORD State, DWORD ExitCode) {
    std::lock_guard Guard(FStatusLock);
    if (!FStatusHandle) return;
    FStatus.dwServiceType = FType;
    FStatus.dwCurrentState = State;
    FStatus.dwControlsAccepted = State == SERVICE_RUNNING ? FAccepted : 0;
    FStatus.dwWin32ExitCode = ExitCode;
    FStatus.dwServiceSpecificExitCode = ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? KoServiceExitFailed : 0;
    const bool Pending = State == SERVICE_START_PENDING || State == SERVICE_STOP_PENDING;
    FStatus.dwCheckPoint = Pending ? FStatus.dwCheckPoint + 1 : 0;
    FStatus.dwWaitHint = Pending ? FWaitHint : 0;
    SetServiceStatus(FStatusHandle, &FStatus);
}

void TServiceRunner::Interrogate() {
    std::lock_guard Guard(FStatusLock);
    if (FStatusHandle) SetServiceStatus(FStatusHandle, &FStatus);
}

void TServiceRunner::PostControl(DWORD Control) {
    {
        std::lock_guard Guard(FControlLock);
        FControls.push_back(Control);
    }
    FControlChanged.notify_all();
}

DWORD TServiceRunner::WaitControl() {
    std::unique_lock Guard(FControlLock);
    FControlChanged.wait(Guard, [this] { return !FControls.empty(); });
    const DWORD Control = FControls.front();
    FControls.pop_front();
    return Control;
}

bool TServiceRunner::StartOnMainThread() {
    // A window gone with the main thread's loop answers 0: the start failed.
    return SendMessageW(FWindowHandle, kStartServiceMessage, 0, 0) == 1;
}

void TServiceRunner::Serve() {
    {
        std::lock_guard Guard(FStatusLock);
        FStatusHandle = RegisterServiceCtrlHandlerExW(FName.c_str(), &TServiceRunner::Handler, this);
    }
    SetEvent(FServing.Get());
    if (!FStatusHandle) {
        // Without its handler the service could never be stopped: it does not start.
        FStartFailed = true;
        SetEvent(FHandlersDone.Get());
        Application().Terminate();
        return;
    }
    DWORD ExitCode = NO_ERROR;
    {
        // The stop handlers call the clients, from this thread.
        const TKoComThread Com;
        Report(SERVICE_START_PENDING);
        if (!StartOnMainThread()) {
            FStartFailed = true;
            ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        } else {
            Report(SERVICE_RUNNING);
            for (;;) {
                const DWORD Control = WaitControl();
                Report(SERVICE_STOP_PENDING);
                bool Stop = true;
                try {
                    Stop = FService.RunControl(Control);
                } catch (...) {
                    // The service stops all the same.
                    Application().HandleException(&FService);
                }
                if (Stop) break;
                Report(SERVICE_RUNNING);
            }
        }
        SetEvent(FHandlersDone.Get());
        Application().Terminate();
        // The service is stopped only once everything it used is freed: a service started again
        // right after must not meet the remains of this one.
        const DWORD Slice = FWaitHint > 2 ? FWaitHint / 2 : 1;
        for (DWORD Waited = 0; Waited < kStopBoundMs; Waited += Slice) {
            if (WaitForSingleObject(FCleanedUp.Get(), Slice) == WAIT_OBJECT_0) break;
            Report(SERVICE_STOP_PENDING);
        }
    }
    Report(SERVICE_STOPPED, ExitCode);
}

int TServiceRunner::Run() {
    FName = FService.Name();
    FType = FService.ServiceType | (FService.Interactive ? SERVICE_INTERACTIVE_PROCESS : 0);
    FAccepted = FService.AcceptedControls();
    FWaitHint = FService.WaitHint;
    FAllowStop = FService.AllowStop;
    FWindow = std::make_unique<TKoMessageWindow>([this](UINT Msg, WPARAM, LPARAM, LRESULT& Result) {
        if (Msg != kStartServiceMessage) return false;
        Result = 0;
        try {
            if (FRun.StartService) FRun.StartService();
            Result = 1;
        } catch (...) {
            Application().HandleException(&FService);
        }
        return true;
    });
    FWindowHandle = FWindow->Handle();
    if (!FWindowHandle) {
        const DWORD Error = GetLastError();
        if (FRun.EndService) FRun.EndService();
        return Failed(L"The service " + FName + L" cannot run", Error);
    }
    Runner = this;
    TKoHandle Dispatcher(CreateThread(nullptr, 0, &TServiceRunner::Dispatch, this, 0, nullptr));
    if (!Dispatcher) {
        const DWORD Error = GetLastError();
        Runner = nullptr;
        if (FRun.EndService) FRun.EndService();
        return Failed(L"The service " + FName + L" cannot run", Error);
    }

    Application().Run();

    // Ended by other means than the service's stop (a quit message): stopped as by a request, so
    // that the clients are told before anything goes.
    if (WaitForSingleObject(FServing.Get(), 0) == WAIT_OBJECT_0) {
        if (WaitForSingleObject(FHandlersDone.Get(), 0) != WAIT_OBJECT_0) PostControl(SERVICE_CONTROL_STOP);
        WaitHandlingMessages(FHandlersDone.Get(), kStopBoundMs);
    }
    try {
        if (FRun.EndService) FRun.EndService();
    } catch (...) {
        // The service object may be gone already.
        Application().HandleException(nullptr);
    }
    FWindow.reset();
    SetEvent(FCleanedUp.Get());
    WaitForSingleObject(Dispatcher.Get(), kDispatcherEndBoundMs);
    Runner = nullptr;

    if (FDispatchError == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        Say(stderr, L"The service " + FName +
                        L" runs only when the service control manager starts it. Install it with /install, "
                        L"then start it (net start " +
                        FName + L") or let COM start it.");
        return KoServiceExitFailed;
    }
    if (FDispatchError != NO_ERROR)
        return Failed(L"The service " + FName + L" cannot connect to the service control manager",
                      FDispatchError);
    return FStartFailed ? KoServiceExitFailed : KoServiceExitOk;
}

// Stops the service when it runs; false when it did not stop within the bound.
bool StopAndWait(SC_HANDLE Service, DWORD& Error) {
    SERVICE_STATUS_PROCESS Status{};
    DWORD Needed = 0;
    const auto Query = [&] {
        return QueryServiceStatusEx(Service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&Status),
                                    sizeof Status, &Needed) != 0;
    };
    if (!Query()) {
        Error = GetLastError();
        return false;
    }
    if (Status.dwCurrentState == SERVICE_STOPPED) return true;
    TKoHandle Process(OpenProcess(SYNCHRONIZE, FALSE, Status.dwProcessId));
    SERVICE_STATUS Ignored{};
    if (Status.dwCurrentState != SERVICE_STOP_PENDING &&
        !ControlService(Service, SERVICE_CONTROL_STOP, &Ignored) &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        Error = GetLastError();
        return false;
    }
    // The service's process ends right after the service reported itself stopped.
    if (Process) WaitForSingleObject(Process.Get(), kUninstallStopBoundMs);
    const ULONGLONG Deadline = GetTickCount64() + kUninstallStopBoundMs;
    while (Query() && Status.dwCurrentState != SERVICE_STOPPED) {
        if (GetTickCount64() >= Deadline) {
            Error = ERROR_SERVICE_REQUEST_TIMEOUT;
            return false;
        }
        // A process shared with other services (or none found): ask again.
        Sleep(100);
    }
    return true;
}

} // namespace

// ---- handles ----

TKoServiceHandle::TKoServiceHandle(TKoServiceHandle&& Other) noexcept
    : FHandle(std::exchange(Other.FHandle, nullptr)) {}

TKoServiceHandle& TKoServiceHandle::operator=(TKoServiceHandle&& Other) noexcept {
    if (this != &Other) Reset(std::exchange(Other.FHandle, nullptr));
    return *this;
}

void TKoServiceHandle::Reset(SC_HANDLE Handle) noexcept {
    if (FHandle) CloseServiceHandle(FHandle);
    FHandle = Handle;
}

TKoComThread::TKoComThread() : FInitialized(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}

TKoComThread::~TKoComThread() {
    if (FInitialized) CoUninitialize();
}

// ---- switches ----

TKoServiceSwitches KoParseServiceSwitches(const std::vector<std::wstring>& Args) {
    TKoServiceSwitches Switches;
    bool Install = false;
    bool Uninstall = false;
    for (const std::wstring& Arg : Args) {
        if (Arg.size() < 2 || (Arg[0] != L'/' && Arg[0] != L'-')) continue;
        const std::wstring Name = Arg.substr(1);
        if (KoSameText(Name, L"INSTALL")) Install = true;
        if (KoSameText(Name, L"UNINSTALL")) Uninstall = true;
        if (KoSameText(Name, L"SILENT")) Switches.Silent = true;
    }
    Switches.Conflict = Install && Uninstall;
    Switches.Mode = Install ? ssmInstall : Uninstall ? ssmUninstall : ssmRun;
    return Switches;
}

// ---- the service module ----

TKoService::TKoService(TKoComponent* AOwner) : TKoDataModule(AOwner) {}

DWORD TKoService::AcceptedControls() const {
    DWORD Accepted = SERVICE_ACCEPT_SHUTDOWN;
    if (AllowStop) Accepted |= SERVICE_ACCEPT_STOP;
    if (AllowPause) Accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
    return Accepted;
}

bool TKoService::RunControl(DWORD Control) {
    if (Control == SERVICE_CONTROL_STOP) {
        bool Stopped = true;
        if (OnStop) OnStop(this, Stopped);
        return Stopped;
    }
    if (Control == SERVICE_CONTROL_SHUTDOWN) {
        if (OnShutdown) OnShutdown(this);
        return true;
    }
    return false;
}

// ---- installing and removing ----

int KoInstallService(TKoService& Service, bool Silent) {
    const std::wstring& Name = Service.Name();
    TKoServiceHandle Manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!Manager) return Failed(L"Cannot install the service " + Name, GetLastError());
    const std::wstring Command = L"\"" + KoProgramFileName() + L"\"";
    const DWORD Type = Service.ServiceType | (Service.Interactive ? SERVICE_INTERACTIVE_PROCESS : 0);
    TKoServiceHandle Created(CreateServiceW(
        Manager.Get(), Name.c_str(), Service.DisplayName.c_str(), SERVICE_ALL_ACCESS, Type, Service.StartType,
        Service.ErrorSeverity, Command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!Created) {
        const DWORD Error = GetLastError();
        if (Error == ERROR_SERVICE_EXISTS) {
            Say(stderr, L"The service " + Name + L" is installed already; nothing was changed.");
            return KoServiceExitUnchanged;
        }
        return Failed(L"Cannot install the service " + Name, Error);
    }
    try {
        if (Service.AfterInstall) Service.AfterInstall(&Service);
    } catch (...) {
        const std::wstring Text = KoCurrentExceptionText();
        // Half an installation is worse than none: the entries written so far and the service go.
        try {
            if (Service.BeforeUninstall) Service.BeforeUninstall(&Service);
        } catch (...) {
            // What could not be removed stays; the error below is the one that matters.
        }
        DeleteService(Created.Get());
        Say(stderr, L"Cannot install the service " + Name + L": " + Text + L" The installation was undone.");
        return KoServiceExitFailed;
    }
    if (!Silent) Say(stdout, L"The service " + Name + L" (" + Service.DisplayName + L") was installed.");
    return KoServiceExitOk;
}

int KoUninstallService(TKoService& Service, bool Silent) {
    const std::wstring& Name = Service.Name();
    TKoServiceHandle Manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!Manager) return Failed(L"Cannot remove the service " + Name, GetLastError());
    TKoServiceHandle Handle(
        OpenServiceW(Manager.Get(), Name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!Handle) {
        const DWORD Error = GetLastError();
        if (Error == ERROR_SERVICE_DOES_NOT_EXIST) {
            Say(stderr, L"The service " + Name + L" is not installed; nothing was changed.");
            return KoServiceExitUnchanged;
        }
        return Failed(L"Cannot remove the service " + Name, Error);
    }
    DWORD Error = NO_ERROR;
    if (!StopAndWait(Handle.Get(), Error))
        return Failed(L"Cannot stop the service " + Name + L"; it stays installed", Error);
    try {
        if (Service.BeforeUninstall) Service.BeforeUninstall(&Service);
    } catch (...) {
        Say(stderr, L"Cannot remove the service " + Name + L": " + KoCurrentExceptionText() +
                        L" The service stays installed.");
        return KoServiceExitFailed;
    }
    if (!DeleteService(Handle.Get())) return Failed(L"Cannot remove the service " + Name, GetLastError());
    if (!Silent) Say(stdout, L"The service " + Name + L" was removed.");
    return KoServiceExitOk;
}

bool KoSetServiceDescription(const std::wstring& Name, const std::wstring& Description) {
    TKoServiceHandle Manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    TKoServiceHandle Service(Manager ? OpenServiceW(Manager.Get(), Name.c_str(), SERVICE_CHANGE_CONFIG)
                                     : nullptr);
    if (!Service) return false;
    SERVICE_DESCRIPTIONW Info{const_cast<LPWSTR>(Description.c_str())};
    return ChangeServiceConfig2W(Service.Get(), SERVICE_CONFIG_DESCRIPTION, &Info) != 0;
}

// ---- running ----

int KoRunService(TKoService& Service, const TKoServiceRun& Run) {
    TServiceRunner Instance(Service, Run);
    return Instance.Run();
}
