#pragma once
// The service application framework: a service module that the service control manager runs,
// the installation and removal of its service, and the run of a service program whose main
// thread keeps its message loop while the service control manager talks to the service on
// threads of its own.
//
// Threads of a running service program:
// - the main thread runs the message loop, the start of the service (StartService of the run)
//   and the clean-up after the loop (EndService), as a windowed program would;
// - the dispatcher thread sits in StartServiceCtrlDispatcher and receives the control requests
//   of the service control manager, which it queues for the service's thread;
// - the service's thread (the service control manager's ServiceMain) reports the service's
//   state and runs the stop and shutdown handlers.

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KoClasses.h"
#include "KoWindows.h"

// Owns a handle of the service control manager (CloseServiceHandle).
class TKoServiceHandle {
public:
    TKoServiceHandle() = default;
    explicit TKoServiceHandle(SC_HANDLE Handle) : FHandle(Handle) {}
    ~TKoServiceHandle() { Reset(); }
    TKoServiceHandle(TKoServiceHandle&& Other) noexcept;
    TKoServiceHandle& operator=(TKoServiceHandle&& Other) noexcept;
    TKoServiceHandle(const TKoServiceHandle&) = delete;
    TKoServiceHandle& operator=(const TKoServiceHandle&) = delete;

    SC_HANDLE Get() const { return FHandle; }
    explicit operator bool() const { return FHandle != nullptr; }
    void Reset(SC_HANDLE Handle = nullptr) noexcept;

private:
    SC_HANDLE FHandle = nullptr;
};

// Joins the calling thread to the multi-threaded apartment for its lifetime.
class TKoComThread {
public:
    TKoComThread();
    ~TKoComThread();
    TKoComThread(const TKoComThread&) = delete;
    TKoComThread& operator=(const TKoComThread&) = delete;

private:
    bool FInitialized;
};

// What the service program was started for: the switches "INSTALL" and "UNINSTALL" (with
// "SILENT" suppressing the confirmation), or, without them, to run the service.
enum TKoServiceStartMode : int { ssmRun, ssmInstall, ssmUninstall };

struct TKoServiceSwitches {
    TKoServiceStartMode Mode = ssmRun;
    bool Silent = false;
    // Both "INSTALL" and "UNINSTALL" were given.
    bool Conflict = false;
};

// A switch starts with "/" or "-" and is compared without regard to letter case.
TKoServiceSwitches KoParseServiceSwitches(const std::vector<std::wstring>& Args);

// The exit codes of the service program.
enum : int {
    KoServiceExitOk = 0,
    // The step failed, or the program was not started by the service control manager.
    KoServiceExitFailed = 1,
    // Installing a service that is installed, or removing one that is not: nothing changed.
    KoServiceExitUnchanged = 2,
};

class TKoService;
using TKoServiceStopEvent = std::function<void(TKoService* Sender, bool& Stopped)>;

// A service module: a data module that one service of the program stands for. Its Name is the
// service name.
class TKoService : public TKoDataModule {
public:
    explicit TKoService(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoService"; }

    std::wstring DisplayName;
    bool AllowPause = false;
    bool AllowStop = true;
    bool Interactive = false;
    DWORD ServiceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD StartType = SERVICE_AUTO_START;
    DWORD ErrorSeverity = SERVICE_ERROR_NORMAL;
    // Milliseconds the service control manager is told to wait for the next report of a pending
    // start or stop.
    DWORD WaitHint = 5000;

    // After the service was created with the service control manager; an error undoes the
    // installation.
    TKoNotifyEvent AfterInstall;
    // Before the service is removed from the service control manager; an error keeps it.
    TKoNotifyEvent BeforeUninstall;
    // The stop request; Stopped (true when called) false keeps the service running.
    TKoServiceStopEvent OnStop;
    // The system shuts down: the service stops in every case.
    TKoNotifyEvent OnShutdown;

    // The controls the service takes (SERVICE_ACCEPT_...).
    DWORD AcceptedControls() const;
    // Runs the handler of a stop or shutdown request (SERVICE_CONTROL_STOP or
    // SERVICE_CONTROL_SHUTDOWN) on the calling thread; true when the service is to stop. Any
    // other control changes nothing and gives false.
    bool RunControl(DWORD Control);
};

// Installs Service with the service control manager (the running executable, started without
// arguments) and runs its AfterInstall. Confirmation on standard output unless Silent, errors
// on standard error. Returns the program's exit code.
int KoInstallService(TKoService& Service, bool Silent);
// Stops the service when it runs, runs its BeforeUninstall and removes it from the service
// control manager. Messages and result as KoInstallService.
int KoUninstallService(TKoService& Service, bool Silent);

// Sets the description the service manager shows for the installed service Name; false when the
// service cannot be opened or changed.
bool KoSetServiceDescription(const std::wstring& Name, const std::wstring& Description);

// What a service program does around the service's run, on its main thread.
struct TKoServiceRun {
    // When the service control manager starts the service, inside the message loop: the
    // initialisation that needs the connection to the service control manager. An error fails
    // the start.
    std::function<void()> StartService;
    // After the message loop ended: frees everything the service used. The service reports
    // itself stopped only after this.
    std::function<void()> EndService;
};

// Runs Service under the service control manager: starts the dispatcher thread, runs the main
// thread's message loop until the service stops, then runs EndService. Returns the exit code;
// a program not started by the service control manager says so on standard error and ends
// with KoServiceExitFailed (after EndService). Ending the message loop by other means (a quit
// message) stops the service as a stop request does.
int KoRunService(TKoService& Service, const TKoServiceRun& Run);
