#pragma once
// The client side of an OPC Data Access server connection: TKoOPCServer holds a server object's
// IOPCServer, names itself to it, registers for its shutdown notification and polls its status
// on a main-thread timer. The windowed program's keep-open option attaches one to a server
// object of its own provider.
//
// Threads: attaching, detaching and the status timer run on the main thread (the thread that
// created the component). The server's shutdown notification may arrive on any thread; it only
// records the request and hands the detaching to the main thread.
//
// Lock: FLock (re-entrant) guards the server interface and the last status; the state-change
// and status-change events run outside it.

#include <windows.h>

#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "KoClasses.h"
#include "KoLogs.h"
#include "KoOPCCommon.h"
#include "KoOPCDA.h"
#include "KoOPCErrors.h"

class TKoOPCServer;
class TKoSignal;
class TKoTimer;
class TKoMessageWindow;

// A log of the client components: records checked server calls besides plain lines.
class TKoOPCLog : public TKoLog {
public:
    explicit TKoOPCLog(TKoOPCServer* AServer);
    const wchar_t* ClassName() const override { return L"TKoOPCLog"; }

    TKoOPCServer* Server() const { return FServer; }
    // "<interface>.<method>: Result=0x<code> (<text of the code>)".
    void AddCall(REFIID AIID, const std::wstring& Method, HRESULT ResultCode);

private:
    TKoOPCServer* FServer;
};

// Which OPC Data Access generation the attached server speaks.
enum TKoOPCServerCategory : int { opcscAutomatic, opcscDataAccess10, opcscDataAccess20 };

using TKoOPCServerStateChange = std::function<void(TKoOPCServer* Sender, DWORD OldState, DWORD NewState)>;
using TKoOPCShutDownEvent = std::function<void(TKoOPCServer* Sender, const std::wstring& Reason)>;
using TKoOPCErrorEvent = std::function<void(TKoOPCServer* Sender, const EKoOPCError& ErrorObject)>;
using TKoOPCServerNotifyEvent = std::function<void(TKoOPCServer* Sender)>;

class TKoOPCServer : public TKoComponent {
public:
    explicit TKoOPCServer(TKoComponent* AOwner);
    // Detaches (errors ignored).
    ~TKoOPCServer() override;
    const wchar_t* ClassName() const override { return L"TKoOPCServer"; }

    // Attaches to Server (detaching from a previous one first): names the client, registers the
    // shutdown sink of a DA 2.0 server, starts polling and reads the status once. A null server
    // fails with EKoOPCException and leaves the component detached. Any error from the category
    // check on is raised after the component has detached again.
    void ConnectIntf(IOPCServer* Server);
    // Detaches: stops polling, unregisters the shutdown sink (unless the server asked to be let
    // go), and lets go of the server object. Nothing when detached or already detaching.
    void Disconnect();
    // Asks the server for its status now (main thread).
    void StatusRefresh();
    OPCSERVERSTATUS GetStatus() const;
    void Lock() const { FLock.lock(); }
    void Unlock() const { FLock.unlock(); }

    bool Connected() const;
    // False detaches.
    void SetConnected(bool Value);
    TKoOPCServerCategory Category() const { return FCategory; }
    void SetCategory(TKoOPCServerCategory Value) { FCategory = Value; }
    const std::wstring& Host() const { return FHost; }
    void SetHost(const std::wstring& Value) { FHost = Value; }
    LCID GetLCID() const { return FLCID; }
    void SetLCID(LCID Value) { FLCID = Value; }
    TKoOPCLog& Log() { return *FLog; }
    const std::wstring& ServerName() const { return FServerName; }
    void SetServerName(const std::wstring& Value) { FServerName = Value; }
    const std::wstring& ClientName() const { return FClientName; }
    unsigned StatusInterval() const { return FStatusTimerInterval; }
    void SetStatusInterval(unsigned Value);
    int FailureDisconnectDelay() const { return FFailureDisconnectDelay; }
    void SetFailureDisconnectDelay(int Value) { FFailureDisconnectDelay = Value; }
    bool ShutDownRequested() const { return FShutDownRequested; }
    DWORD ShutdownCookie() const { return FShutdownCookie; }
    TKoSignal& ConnectSignal() const { return *FConnectSignal; }
    TKoSignal& DisconnectSignal() const { return *FDisconnectSignal; }

    // Interface IID of Source; "Cannot cast nil to %s." without a source, "Interface %s not
    // supported: %s" when it refuses (EKoIntfCastError).
    static Microsoft::WRL::ComPtr<IUnknown> GetIntf(IUnknown* Source, REFIID IID);

    TKoOPCServerNotifyEvent OnConnect;
    TKoOPCServerNotifyEvent OnDisconnect;
    TKoOPCServerStateChange OnStateChange;
    TKoOPCServerNotifyEvent OnStatusChange;
    TKoOPCShutDownEvent OnShutDown;
    TKoOPCErrorEvent OnError;

    // The server's notification (any thread): records the request and hands the detaching to
    // the main thread.
    void ShutdownRequest(const std::wstring& Reason);

private:
    class TShutdownSink;

    // Logs the call; a failure goes to Error. Whether the call succeeded.
    bool CheckResult(REFIID AIID, const wchar_t* Method, HRESULT ResultCode);
    void Error(REFIID AIID, HRESULT ErrorCode, const wchar_t* Method);
    void InitServerCategory();
    void DoSetClientName();
    void RegisterShutdown();
    void UnRegisterShutdown();
    // Status, or none (state unknown).
    void UpdateServerStatus(const OPCSERVERSTATUS* Status);
    void DoConnect();
    void DoDisconnect();
    void StatusTimerNotify();
    void DoShutdown();
    void FreeVendorInfo() noexcept;

    mutable std::recursive_mutex FLock;
    Microsoft::WRL::ComPtr<IOPCServer> FServerIntf;
    OPCSERVERSTATUS FStatus{};
    TKoOPCServerCategory FCategory = opcscAutomatic;
    std::wstring FClientName;
    DWORD FShutdownCookie = 0;
    std::atomic<bool> FShutDownRequested{false};
    std::mutex FReasonLock;
    std::wstring FShutDownReason;
    double FailureTime = 0;
    int FFailureDisconnectDelay = 0;
    int FGroupConnectDelay = 0;
    bool FDisconnecting = false;
    TKoTimer* FStatusTimer;
    unsigned FStatusTimerInterval = 30000;
    std::unique_ptr<TKoOPCLog> FLog;
    std::unique_ptr<TKoSignal> FConnectSignal;
    std::unique_ptr<TKoSignal> FDisconnectSignal;
    LCID FLCID = 1024;
    std::wstring FHost = L"localhost";
    std::wstring FServerName;
    GUID FClassID{};
    // The component's own IOPCShutdown; it forgets the component when the component goes.
    Microsoft::WRL::ComPtr<TShutdownSink> FSink;
    // Where the shutdown notification hands its work to the main thread.
    std::unique_ptr<TKoMessageWindow> FWindow;
};
