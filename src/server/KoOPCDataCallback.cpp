#include "KoOPCDataCallback.h"

#include <algorithm>

#include "KoOPCCom.h"
#include "KoOPCGroup.h"
#include "KoUtils.h"

namespace {

// Results of a call into a sink whose process or connection is gone.
bool SinkGone(HRESULT Result) noexcept {
    switch (Result) {
    case RPC_E_DISCONNECTED:
    case RPC_E_SERVER_DIED:
    case RPC_E_SERVER_DIED_DNE:
    case CO_E_OBJNOTCONNECTED:
    case HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE):
    case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED):
    case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE):
        return true;
    default:
        return false;
    }
}

// Whether the calling thread belongs to the multithreaded apartment (an uninitialized thread of
// this process joins it implicitly).
bool InMultithreadedApartment() noexcept {
    const HRESULT Result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(Result)) return false; // a single-threaded apartment
    CoUninitialize();
    return true;
}

// The first data change goes this long after the thread started.
constexpr uint64_t KoFirstDataChangeMs = 100;
// Data changes are examined no more often than this.
constexpr uint64_t KoMinUpdateMs = 10;

} // namespace

TKoOPCProviderDataCallbackThread::TKoOPCProviderDataCallbackThread(std::shared_ptr<TKoOPCGroupLife> AGroup)
    : FGroup(std::move(AGroup)), FSuspendEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!FGroup) throw EKoOPCProviderInvalidArg(L"A callback thread needs its group.");
    if (!FSuspendEvent) throw EKoOleError(HRESULT_FROM_WIN32(GetLastError()), L"CreateEvent failed.");
}

TKoOPCProviderDataCallbackThread::~TKoOPCProviderDataCallbackThread() {
    FTransactionQueue.Clear();
}

void TKoOPCProviderDataCallbackThread::Start(IUnknown* Callback, REFIID AIID) {
    // The thread lives in the multithreaded apartment: a sink handed over from there is used as
    // it is; one from another apartment is marshalled to the thread.
    if (InMultithreadedApartment())
        FCallback = Callback;
    else
        KoOleCheck(CoMarshalInterThreadInterfaceInStream(AIID, Callback, FInterfaceStream.GetAddressOf()));
    FStarted = TickCount64();
    FSelf = shared_from_this();
    TKoHandle Thread(CreateThread(nullptr, 0, &ThreadProc, this, 0, nullptr));
    if (!Thread) {
        const DWORD Error = GetLastError();
        FSelf.reset();
        throw EKoOleError(HRESULT_FROM_WIN32(Error), L"CreateThread failed.");
    }
}

DWORD WINAPI TKoOPCProviderDataCallbackThread::ThreadProc(void* Param) {
    auto* This = static_cast<TKoOPCProviderDataCallbackThread*>(Param);
    // From here the thread's own reference keeps the object; it goes when the loop ends.
    std::shared_ptr<TKoOPCProviderDataCallbackThread> Self = std::move(This->FSelf);
    const HRESULT Com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        Self->Execute();
    } catch (...) {
        // An error escaping the loop ends the thread.
    }
    Self->ReleaseSink();
    Self->FInterfaceStream.Reset();
    Self->FCallback.Reset();
    if (SUCCEEDED(Com)) CoUninitialize();
    return 0;
}

void TKoOPCProviderDataCallbackThread::AddTransaction(
    std::unique_ptr<TKoOPCProviderTransaction> Transaction) {
    FTransactionQueue.Add(std::move(Transaction));
    SetEvent(FSuspendEvent.Get());
}

void TKoOPCProviderDataCallbackThread::RequestDataChange() {
    FDataChangeRequested = true;
    SetEvent(FSuspendEvent.Get());
}

void TKoOPCProviderDataCallbackThread::Wake() noexcept {
    SetEvent(FSuspendEvent.Get());
}

void TKoOPCProviderDataCallbackThread::Terminate() noexcept {
    if (FTerminated.exchange(true)) return;
    FTransactionQueue.Clear();
    SetEvent(FSuspendEvent.Get());
}

uint64_t TKoOPCProviderDataCallbackThread::DataChangeDue() const {
    if (FLastUpdate == 0) return FStarted + KoFirstDataChangeMs;
    DWORD Rate = 0;
    {
        std::lock_guard Life(FGroup->Lock);
        if (FGroup->Group) Rate = FGroup->Group->UpdateRate();
    }
    return FLastUpdate + std::max<uint64_t>(Rate, KoMinUpdateMs);
}

void TKoOPCProviderDataCallbackThread::Execute() {
    {
        ComPtr<IStream> Stream;
        Stream.Swap(FInterfaceStream);
        ComPtr<IUnknown> Callback;
        Callback.Swap(FCallback);
        MarshalCallbackInterface(Stream.Get(), Callback.Get());
    }
    while (!FTerminated) {
        const uint64_t Now = TickCount64();
        const uint64_t Due = DataChangeDue();
        if (Due > Now)
            WaitForSingleObject(FSuspendEvent.Get(),
                                static_cast<DWORD>(std::min<uint64_t>(Due - Now, INFINITE - 1)));
        // Reset before looking: whatever is queued or requested from now on sets it again, so
        // nothing waits a whole interval for the next wake-up.
        ResetEvent(FSuspendEvent.Get());
        if (FDataChangeRequested.exchange(false) || TickCount64() >= DataChangeDue()) DispatchDataChange();
        if (FTerminated) break;
        if (std::unique_ptr<TKoOPCProviderTransaction> Next = FTransactionQueue.Get()) {
            DispatchTransaction(Next.get());
            // One per round: the next round looks again without waiting.
            SetEvent(FSuspendEvent.Get());
        }
    }
}

void TKoOPCProviderDataCallbackThread::DispatchDataChange() {
    std::unique_ptr<TKoOPCProviderTransaction> Pending;
    {
        // The interval restarts also when there was nothing to send (or no group any more).
        FLastUpdate = TickCount64();
        std::lock_guard Life(FGroup->Lock);
        if (!FGroup->Group || FTerminated) return;
        Pending = FGroup->Group->GetDataChangeTransaction();
    }
    if (!Pending) return;
    DispatchTransaction(Pending.get());
    // Emptied before the group's life lock is taken: its values may be many.
    Pending->Clear();
    std::lock_guard Life(FGroup->Lock);
    if (FGroup->Group && !FTerminated) FGroup->Group->RecycleDataChangeTransaction(std::move(Pending));
}

HRESULT TKoOPCProviderDataCallbackThread::DispatchTransaction(TKoOPCProviderTransaction* Transaction) {
    if (!Transaction || FTerminated) return S_FALSE;
    {
        std::lock_guard Life(FGroup->Lock);
        if (!FGroup->Group || FTerminated) return S_FALSE;
        Transaction->GroupClientHandle = FGroup->Group->ClientHandle();
    }
    HRESULT Result;
    try {
        if (FSinkLost) {
            Result = RPC_E_DISCONNECTED;
        } else {
            // No lock is held: the client may call back into the group from its callback.
            Result = SendTransaction(*Transaction);
            if (SinkGone(Result)) {
                FSinkLost = true;
                ReleaseSink();
            }
        }
        std::lock_guard Life(FGroup->Lock);
        if (FGroup->Group && !FTerminated) FGroup->Group->LogTransaction(*Transaction, Result);
    } catch (...) {
        Result = KoErrorToHResult();
        if (OnError) try {
                OnError(this);
            } catch (...) {
            }
    }
    return Result;
}

void TKoOPCProviderDataCallbackThread::LogDeliveryError(const std::wstring& Text) noexcept {
    std::lock_guard Life(FGroup->Lock);
    if (FGroup->Group && !FTerminated) FGroup->Group->Log(L"Delivery failed: %s", Text);
}

// ---- TKoOPCProviderOPCDataCallbackThread ----

std::shared_ptr<TKoOPCProviderDataCallbackThread>
TKoOPCProviderOPCDataCallbackThread::Create(std::shared_ptr<TKoOPCGroupLife> AGroup,
                                            IOPCDataCallback* Callback) {
    std::shared_ptr<TKoOPCProviderOPCDataCallbackThread> Thread(
        new TKoOPCProviderOPCDataCallbackThread(std::move(AGroup)));
    Thread->Start(Callback, IID_IOPCDataCallback);
    return Thread;
}

namespace {

// The sink as the thread uses it: Callback's interface when it was handed over as it is, else
// unmarshalled from Stream. A sink that cannot be had leaves the thread without one: its
// deliveries then fail.
template <class TSink> void TakeSink(IStream* Stream, IUnknown* Callback, ComPtr<TSink>& Sink) {
    HRESULT Result = E_NOINTERFACE;
    if (Callback)
        Result = Callback->QueryInterface(IID_PPV_ARGS(&Sink));
    else if (Stream)
        Result = CoUnmarshalInterface(Stream, __uuidof(TSink), reinterpret_cast<void**>(Sink.GetAddressOf()));
    if (FAILED(Result)) Sink.Reset();
}

} // namespace

void TKoOPCProviderOPCDataCallbackThread::MarshalCallbackInterface(IStream* Stream, IUnknown* Callback) {
    TakeSink(Stream, Callback, FOPCCallbackSink);
}

HRESULT TKoOPCProviderOPCDataCallbackThread::SendTransaction(TKoOPCProviderTransaction& Transaction) {
    if (!FOPCCallbackSink) return E_FAIL;
    return Transaction.DispatchToOPCDataCallback(FOPCCallbackSink.Get());
}

// ---- TKoOPCProviderAdviseCallbackThread ----

std::shared_ptr<TKoOPCProviderDataCallbackThread>
TKoOPCProviderAdviseCallbackThread::Create(std::shared_ptr<TKoOPCGroupLife> AGroup, IAdviseSink* Sink,
                                           CLIPFORMAT AdviseFormat) {
    std::shared_ptr<TKoOPCProviderAdviseCallbackThread> Thread(
        new TKoOPCProviderAdviseCallbackThread(std::move(AGroup), AdviseFormat));
    Thread->Start(Sink, IID_IAdviseSink);
    return Thread;
}

void TKoOPCProviderAdviseCallbackThread::MarshalCallbackInterface(IStream* Stream, IUnknown* Callback) {
    TakeSink(Stream, Callback, FAdviseSink);
}

HRESULT TKoOPCProviderAdviseCallbackThread::SendTransaction(TKoOPCProviderTransaction& Transaction) {
    if (!FAdviseSink) return E_FAIL;
    std::wstring Error;
    const HRESULT Result = Transaction.DispatchToAdviseSink(FAdviseSink.Get(), FAdviseFormat, &Error);
    if (FAILED(Result)) LogDeliveryError(Error);
    return Result;
}
