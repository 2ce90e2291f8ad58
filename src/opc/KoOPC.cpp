#include "KoOPC.h"

#include <utility>

#include "KoApplication.h"
#include "KoComObjects.h"
#include "KoOPCCom.h"
#include "KoSignals.h"
#include "KoTimers.h"
#include "KoUtils.h"
#include "KoWindows.h"

using Microsoft::WRL::ComPtr;

namespace {

// The message that carries a shutdown request to the main thread.
constexpr UINT KoShutdownRequestMessage = WM_APP + 1;

bool RunningOrTest(DWORD State) {
    return State == OPC_STATUS_RUNNING || State == OPC_STATUS_TEST;
}

// A copy of Text in task memory (or null for none).
wchar_t* TaskMemText(const wchar_t* Text) {
    if (!Text) return nullptr;
    const size_t Bytes = (wcslen(Text) + 1) * sizeof(wchar_t);
    auto* Copy = static_cast<wchar_t*>(CoTaskMemAlloc(Bytes));
    if (!Copy) throw std::bad_alloc();
    memcpy(Copy, Text, Bytes);
    return Copy;
}

std::wstring BracedGuid(const GUID& Value) {
    wchar_t Text[40] = {};
    StringFromGUID2(Value, Text, 40);
    return Text;
}

} // namespace

// ---- TKoOPCLog ----

TKoOPCLog::TKoOPCLog(TKoOPCServer* AServer) : FServer(AServer) {
    if (!AServer) std::terminate(); // a log of the client components always has its component
}

void TKoOPCLog::AddCall(REFIID AIID, const std::wstring& Method, HRESULT ResultCode) {
    if (!Active()) return;
    Add(KoFormat(L"%s.%s: Result=0x%x (%s)", KoInterfaceName(AIID), Method, static_cast<uint32_t>(ResultCode),
                 OPCErrorText(ResultCode)));
}

// ---- the shutdown sink ----

// The component's IOPCShutdown. It lives as long as the server holds it; once its component is
// gone it answers without passing anything on.
class TKoOPCServer::TShutdownSink : public TKoComObject<IOPCShutdown> {
public:
    explicit TShutdownSink(TKoOPCServer* AOwner) : FOwner(AOwner) {}

    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override {
        return KoComCall([&] {
            std::lock_guard Guard(FLock);
            if (FOwner) FOwner->ShutdownRequest(szReason ? szReason : L"");
        });
    }
    void Forget() {
        std::lock_guard Guard(FLock);
        FOwner = nullptr;
    }

private:
    std::mutex FLock;
    TKoOPCServer* FOwner;
};

// ---- TKoOPCServer ----

TKoOPCServer::TKoOPCServer(TKoComponent* AOwner)
    : TKoComponent(AOwner), FLog(std::make_unique<TKoOPCLog>(this)),
      FConnectSignal(std::make_unique<TKoSignal>(this)),
      FDisconnectSignal(std::make_unique<TKoSignal>(this)) {
    FStatusTimer = new TKoTimer(this);
    FStatusTimer->SetEnabled(false);
    FStatusTimer->SetInterval(FStatusTimerInterval);
    FStatusTimer->SetOnTimer([this](TKoComponent*) { StatusTimerNotify(); });
    *FSink.GetAddressOf() = new TShutdownSink(this);
    FWindow = std::make_unique<TKoMessageWindow>([this](UINT Msg, WPARAM, LPARAM, LRESULT& Result) {
        if (Msg != KoShutdownRequestMessage) return false;
        StatusTimerNotify();
        Result = 0;
        return true;
    });
}

TKoOPCServer::~TKoOPCServer() {
    try {
        Disconnect();
    } catch (...) {
    }
    FSink->Forget();
    FreeVendorInfo();
}

void TKoOPCServer::FreeVendorInfo() noexcept {
    CoTaskMemFree(FStatus.szVendorInfo);
    FStatus.szVendorInfo = nullptr;
}

bool TKoOPCServer::Connected() const {
    std::lock_guard Guard(FLock);
    return FServerIntf != nullptr;
}

void TKoOPCServer::SetConnected(bool Value) {
    if (!Value) Disconnect();
}

void TKoOPCServer::SetStatusInterval(unsigned Value) {
    FStatusTimerInterval = Value;
    FStatusTimer->SetInterval(Value);
}

OPCSERVERSTATUS TKoOPCServer::GetStatus() const {
    std::lock_guard Guard(FLock);
    return FStatus;
}

ComPtr<IUnknown> TKoOPCServer::GetIntf(IUnknown* Source, REFIID IID) {
    if (!Source) throw EKoIntfCastError(KoFormat(L"Cannot cast nil to %s.", KoInterfaceName(IID)));
    ComPtr<IUnknown> Result;
    const HRESULT Code = Source->QueryInterface(IID, reinterpret_cast<void**>(Result.GetAddressOf()));
    if (FAILED(Code) || !Result)
        throw EKoIntfCastError(
            KoFormat(L"Interface %s not supported: %s", KoInterfaceName(IID), KoSysErrorMessage(Code)));
    return Result;
}

bool TKoOPCServer::CheckResult(REFIID AIID, const wchar_t* Method, HRESULT ResultCode) {
    FLog->AddCall(AIID, Method, ResultCode);
    if (FAILED(ResultCode)) Error(AIID, ResultCode, Method);
    return SUCCEEDED(ResultCode);
}

void TKoOPCServer::Error(REFIID AIID, HRESULT ErrorCode, const wchar_t* Method) {
    std::wstring ServerText;
    ComPtr<IOPCServer> Server;
    {
        std::lock_guard Guard(FLock);
        Server = FServerIntf;
    }
    if (Server) {
        LPWSTR Text = nullptr;
        if (SUCCEEDED(Server->GetErrorString(ErrorCode, FLCID, &Text)) && Text) ServerText = Text;
        CoTaskMemFree(Text);
    }
    EKoOPCError Failure(ErrorCode, AIID, Method, ServerText);
    if (!OnError) throw Failure;
    OnError(this, Failure);
}

void TKoOPCServer::ConnectIntf(IOPCServer* Server) {
    std::lock_guard Guard(FLock);
    if (Connected()) Disconnect();
    if (!Server) throw EKoOPCException(L"No server object to connect to");
    FServerIntf = Server;
    try {
        InitServerCategory();
        DoSetClientName();
        RegisterShutdown();
        if (!IsLoading()) FStatusTimer->SetEnabled(true);
        Sleep(static_cast<DWORD>(FGroupConnectDelay > 0 ? FGroupConnectDelay : 0));
        StatusRefresh();
    } catch (...) {
        try {
            Disconnect();
        } catch (...) {
        }
        throw;
    }
}

void TKoOPCServer::InitServerCategory() {
    if (!FServerIntf || FCategory == opcscDataAccess10) return;
    ComPtr<IConnectionPointContainer> Container;
    FCategory = SUCCEEDED(FServerIntf.As(&Container)) ? opcscDataAccess20 : opcscDataAccess10;
}

void TKoOPCServer::DoSetClientName() {
    if (FClientName.empty())
        FClientName = Name().empty() ? Application().Title() : Application().Title() + L"." + Name();
    if (!FServerIntf) return;
    try {
        ComPtr<IUnknown> Common = GetIntf(FServerIntf.Get(), IID_IOPCCommon);
        wchar_t* Buffer = TaskMemText(FClientName.c_str());
        static_cast<IOPCCommon*>(Common.Get())->SetClientName(Buffer);
        CoTaskMemFree(Buffer);
    } catch (...) {
        // The server goes on without our name.
    }
}

void TKoOPCServer::RegisterShutdown() {
    if (FCategory != opcscDataAccess20) return;
    try {
        ComPtr<IUnknown> Unknown = GetIntf(FServerIntf.Get(), IID_IConnectionPointContainer);
        auto* Container = static_cast<IConnectionPointContainer*>(Unknown.Get());
        ComPtr<IConnectionPoint> Point;
        if (CheckResult(IID_IConnectionPointContainer, L"FindConnectionPoint",
                        Container->FindConnectionPoint(IID_IOPCShutdown, Point.GetAddressOf())) &&
            Point) {
            DWORD Cookie = 0;
            if (CheckResult(IID_IConnectionPoint, L"Advise", Point->Advise(FSink->Unknown(), &Cookie)))
                FShutdownCookie = Cookie;
        }
    } catch (...) {
        // Attaching goes on without the notification.
        FShutdownCookie = 0;
    }
}

void TKoOPCServer::UnRegisterShutdown() {
    if (FShutdownCookie != 0 && !FShutDownRequested && FServerIntf) {
        try {
            ComPtr<IUnknown> Unknown = GetIntf(FServerIntf.Get(), IID_IConnectionPointContainer);
            ComPtr<IConnectionPoint> Point;
            static_cast<IConnectionPointContainer*>(Unknown.Get())
                ->FindConnectionPoint(IID_IOPCShutdown, Point.GetAddressOf());
            if (Point) Point->Unadvise(FShutdownCookie);
        } catch (...) {
        }
    }
    FShutdownCookie = 0;
    FShutDownRequested = false;
}

void TKoOPCServer::Disconnect() {
    std::lock_guard Guard(FLock);
    if (!FServerIntf || FDisconnecting) return;
    FDisconnecting = true;
    try {
        FStatusTimer->SetEnabled(false);
        UnRegisterShutdown();
        UpdateServerStatus(nullptr);
        // A server that never reported running is let go of here as well.
        FServerIntf.Reset();
        FLog->Add(KoFormat(L"Disconnected from Server '%s' %s", FServerName, BracedGuid(FClassID)));
    } catch (...) {
        FDisconnecting = false;
        throw;
    }
    FDisconnecting = false;
}

void TKoOPCServer::StatusRefresh() {
    ComPtr<IOPCServer> Server;
    {
        std::lock_guard Guard(FLock);
        Server = FServerIntf;
    }
    if (!Server) return;
    OPCSERVERSTATUS* Status = nullptr;
    struct TFreeStatus {
        OPCSERVERSTATUS*& Status;
        ~TFreeStatus() {
            if (Status) CoTaskMemFree(Status->szVendorInfo);
            CoTaskMemFree(Status);
        }
    } Free{Status};
    try {
        const HRESULT Code = Server->GetStatus(&Status);
        UpdateServerStatus(CheckResult(IID_IOPCServer, L"GetStatus", Code) ? Status : nullptr);
    } catch (...) {
        UpdateServerStatus(nullptr);
        throw;
    }
}

void TKoOPCServer::UpdateServerStatus(const OPCSERVERSTATUS* Status) {
    DWORD Old, New;
    bool StateChanged = false;
    {
        std::lock_guard Guard(FLock);
        Old = static_cast<DWORD>(FStatus.dwServerState);
        if (Status) {
            wchar_t* Vendor = TaskMemText(Status->szVendorInfo);
            FreeVendorInfo();
            FStatus = *Status;
            FStatus.szVendorInfo = Vendor;
        } else {
            FStatus.dwServerState = static_cast<OPCSERVERSTATE>(0);
            GetSystemTimeAsFileTime(&FStatus.ftCurrentTime);
        }
        New = static_cast<DWORD>(FStatus.dwServerState);
        if (New != Old) {
            if (RunningOrTest(New) || !RunningOrTest(Old)) {
                if (New == OPC_STATUS_RUNNING) {
                    FailureTime = 0;
                    if (Old == 0) DoConnect();
                }
            } else if (FailureTime == 0 && FFailureDisconnectDelay >= 0) {
                FailureTime = NowUTC();
            }
            FLog->Add(KoFormat(L"Status changed from '%s' to '%s'", OPCServerStateText(Old),
                               OPCServerStateText(New)));
            StateChanged = true;
        }
    }
    if (StateChanged && OnStateChange) OnStateChange(this, Old, New);
    if (FailureTime != 0 && static_cast<int64_t>((NowUTC() - FailureTime) * 86400000.0) >=
                                static_cast<int64_t>(FFailureDisconnectDelay))
        DoDisconnect();
    if (OnStatusChange) OnStatusChange(this);
}

void TKoOPCServer::DoConnect() {
    FConnectSignal->Emit();
    if (OnConnect) OnConnect(this);
}

void TKoOPCServer::DoDisconnect() {
    try {
        FDisconnectSignal->Emit();
    } catch (...) {
    }
    // A failure that led here is dealt with: the next server starts afresh.
    FailureTime = 0;
    struct TRelease {
        TKoOPCServer* Self;
        ~TRelease() {
            std::lock_guard Guard(Self->FLock);
            Self->FServerIntf.Reset();
        }
    } Release{this};
    if (OnDisconnect) OnDisconnect(this);
}

void TKoOPCServer::ShutdownRequest(const std::wstring& Reason) {
    {
        std::lock_guard Guard(FReasonLock);
        FShutDownReason = Reason;
    }
    FShutDownRequested = true;
    // The timer's next turn, on the main thread: its window takes the request at once.
    PostMessageW(FWindow->Handle(), KoShutdownRequestMessage, 0, 0);
}

void TKoOPCServer::StatusTimerNotify() {
    if (!Connected()) return;
    if (FShutDownRequested) {
        DoShutdown();
        FStatusTimer->SetInterval(FStatusTimerInterval);
        return;
    }
    try {
        StatusRefresh();
    } catch (...) {
        // A failed poll counts as status unknown, which the update already recorded.
    }
}

void TKoOPCServer::DoShutdown() {
    std::wstring Reason;
    {
        std::lock_guard Guard(FReasonLock);
        Reason = FShutDownReason;
    }
    Disconnect();
    if (OnShutDown)
        OnShutDown(this, Reason);
    else
        Application().ShowMessage(KoFormat(L"Shutdown from %s.  Reason=%s", FServerName, Reason));
}
