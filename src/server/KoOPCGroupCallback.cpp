// The group's data callback: the connection point for IOPCDataCallback, the pending data change
// that collects the items' changes between two callbacks, and IOPCAsyncIO2, whose results reach
// the client through the callback thread.

#include "KoOPCCom.h"
#include "KoOPCErrors.h"
#include "KoOPCGroup.h"
#include "KoOPCServerObject.h"
#include "KoUtils.h"

// ---- the pending data change ----

void TKoOPCProviderGroup::CreateDataChangeTransaction() {
    std::lock_guard Guard(FLock);
    if (FDataChangeTransaction) return;
    std::unique_ptr<TKoOPCProviderTransaction> Fresh = std::move(FSpareDataChange);
    if (!Fresh) Fresh = std::make_unique<TKoOPCProviderTransaction>(this, tkDataChange, 0);
    // Large enough for every item, so collecting changes allocates nothing.
    const auto Needed = static_cast<int32_t>(FItemList.size());
    if (Fresh->Capacity() < Needed) Fresh->SetCapacity(Needed);
    FDataChangeTransaction = std::move(Fresh);
    if (OnCreateDataChange) OnCreateDataChange(this);
}

void TKoOPCProviderGroup::RecycleDataChangeTransaction(
    std::unique_ptr<TKoOPCProviderTransaction> Delivered) noexcept {
    if (!Delivered || Delivered->Kind() != tkDataChange || Delivered->Group() != this ||
        Delivered->Count() != 0)
        return;
    std::lock_guard Guard(FLock);
    if (!Destroying && FCallbackConnected && !FSpareDataChange) FSpareDataChange = std::move(Delivered);
}

void TKoOPCProviderGroup::ClearDataChangeTransaction() {
    std::lock_guard Guard(FLock);
    if (FDataChangeTransaction) FDataChangeTransaction->Clear();
}

void TKoOPCProviderGroup::FreeDataChangeTransaction() {
    std::lock_guard Guard(FLock);
    FDataChangeTransaction.reset();
    FSpareDataChange.reset();
}

void TKoOPCProviderGroup::AckAllItems() {
    std::lock_guard Guard(FLock);
    if (!FCallbackConnected || !FEnabled || !FActive) return;
    CreateDataChangeTransaction();
    for (TKoOPCProviderItem* Item : FItemList)
        if (Item->Active()) FDataChangeTransaction->AckItem(Item, false);
}

void TKoOPCProviderGroup::ItemChange(TKoOPCProviderItem* Item) {
    if (Destroying) return;
    if (!FCallbackConnected || !FActive || !FEnabled) return;
    if (!FDataChangeTransaction) CreateDataChangeTransaction();
    const auto Needed = static_cast<int32_t>(FItemList.size());
    if (FDataChangeTransaction->Capacity() < Needed) FDataChangeTransaction->SetCapacity(Needed);
    FDataChangeTransaction->AckItem(Item, false);
}

std::unique_ptr<TKoOPCProviderTransaction> TKoOPCProviderGroup::GetDataChangeTransaction() {
    if (Destroying) return nullptr;
    std::unique_ptr<TKoOPCProviderTransaction> Taken;
    TKoOPCProviderClient* Client = nullptr;
    {
        std::lock_guard Guard(FLock);
        if (!FDataChangeTransaction || FDataChangeTransaction->Count() == 0) return nullptr;
        Taken = std::move(FDataChangeTransaction);
        CreateDataChangeTransaction();
        Client = FClient;
        // The client's update time is a leaf lock; the client outlives its attached groups.
        if (Client) Client->ClientUpdated();
    }
    return Taken;
}

bool TKoOPCProviderGroup::CallbackAlive() const {
    std::lock_guard Guard(FLock);
    return FDataCallbackThread && !FDataCallbackThread->SinkLost();
}

// ---- connection point ----

TKoConnectionPoints& TKoOPCProviderGroup::ConnectionPoints() {
    std::lock_guard Guard(FLock);
    if (!FConnectionPoints) {
        auto Points =
            std::make_unique<TKoConnectionPoints>(*Unknown(), *static_cast<IConnectionPointContainer*>(this));
        FDataCallbacks = &Points->Add(
            IID_IOPCDataCallback,
            [this](IUnknown* Sink, bool Connected) { OnRegisterCallback(Sink, Connected); }, 1);
        FConnectionPoints = std::move(Points);
    }
    return *FConnectionPoints;
}

STDMETHODIMP TKoOPCProviderGroup::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum) *ppEnum = nullptr;
    return KoComCall([&] { return ConnectionPoints().EnumConnectionPoints(ppEnum); }, ppEnum);
}

STDMETHODIMP TKoOPCProviderGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (ppCP) *ppCP = nullptr;
    return KoComCall([&] { return ConnectionPoints().FindConnectionPoint(riid, ppCP); }, ppCP);
}

void TKoOPCProviderGroup::OnRegisterCallback(IUnknown* Sink, bool Connecting) {
    if (!Connecting) {
        // One sink at most: the one being removed was it.
        DisconnectCallback();
        return;
    }
    try {
        ComPtr<IOPCDataCallback> Callback;
        if (!Sink) throw EKoOPCProviderInvalidArg(L"No callback.");
        KoOleCheck(Sink->QueryInterface(IID_PPV_ARGS(&Callback)));
        ConnectCallback([&] { return TKoOPCProviderOPCDataCallbackThread::Create(FLife, Callback.Get()); });
        Log(L"Callback Connected");
    } catch (...) {
        Log(L"Callback connection failed: %s", KoCurrentErrorInfo().second);
        throw;
    }
}

void TKoOPCProviderGroup::ConnectCallback(
    const std::function<std::shared_ptr<TKoOPCProviderDataCallbackThread>()>& StartThread) {
    // One callback at a time, of either kind: an advise sink or a connection-point sink.
    std::lock_guard Guard(FLock);
    if (FCallbackConnected.exchange(true))
        throw EKoOleError(CONNECT_E_ADVISELIMIT, L"The group has a callback connected already.");
    try {
        // The first data change takes every active item's cached state (no variable is read).
        CreateDataChangeTransaction();
        AckAllItems();
        FDataCallbackThread = StartThread();
    } catch (...) {
        FCallbackConnected = false;
        FreeDataChangeTransaction();
        throw;
    }
}

// ---- IOPCAsyncIO2 ----

STDMETHODIMP TKoOPCProviderGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                                       DWORD* pdwCancelID, HRESULT** ppErrors) {
    KoClearOut(ppErrors);
    if (dwCount == 0 || !ppErrors) return E_INVALIDARG;
    std::unique_ptr<TKoOPCProviderTransaction> Transaction;
    return ReadOrRefreshSyncOrAsync(OPC_DS_DEVICE, dwCount, phServer, dwTransactionID, pdwCancelID, ppErrors,
                                    tkRead, true, L"IOPCAsyncIO2.Read", Transaction);
}

STDMETHODIMP TKoOPCProviderGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                        DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) {
    return WriteSyncOrAsync2(dwCount, phServer, L"IOPCAsyncIO2.Write", true, ppErrors, pdwCancelID,
                             dwTransactionID, pItemValues);
}

HRESULT TKoOPCProviderGroup::Refresh1or2(DWORD Source, DWORD ID, const std::wstring& Label, DWORD* IDOut) {
    const HRESULT Result = KoComCall([&]() -> HRESULT {
        std::vector<OPCHANDLE> Handles;
        {
            std::lock_guard Guard(FLock);
            if (!FActive || FItemList.empty()) return E_FAIL;
            for (TKoOPCProviderItem* Item : FItemList)
                if (Item->Active() && Handles.size() < 65536) Handles.push_back(Item->ServerHandle());
            if (Handles.empty()) return E_FAIL;
            // The refresh carries the current state instead of the changes collected so far.
            ClearDataChangeTransaction();
        }
        HRESULT* RawErrors = nullptr;
        std::unique_ptr<TKoOPCProviderTransaction> Transaction;
        const HRESULT Outcome =
            ReadOrRefreshSyncOrAsync(Source, static_cast<DWORD>(Handles.size()), Handles.data(), ID, IDOut,
                                     &RawErrors, tkDataChange, true, Label, Transaction);
        CoTaskMemFree(RawErrors);
        return Outcome;
    });
    if (FAILED(Result)) Log(L"%s: Result=$%x", Label, Result);
    return Result;
}

STDMETHODIMP TKoOPCProviderGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                           DWORD* pdwCancelID) {
    return Refresh1or2(static_cast<DWORD>(dwSource), dwTransactionID, L"IOPCAsyncIO2.Refresh2", pdwCancelID);
}

STDMETHODIMP TKoOPCProviderGroup::Cancel2(DWORD /*dwCancelID*/) {
    // Transactions run to completion; none can be cancelled.
    return E_FAIL;
}

void TKoOPCProviderGroup::SetEnabled(bool Value) {
    std::lock_guard Guard(FLock);
    if (Value == FEnabled) return;
    FEnabled = Value;
    if (Value)
        CreateDataChangeTransaction();
    else
        ClearDataChangeTransaction();
}

STDMETHODIMP TKoOPCProviderGroup::SetEnable(BOOL bEnable) {
    const std::wstring Label = KoFormat(L"IOPCGroupStateMgt.SetEnable(%d)", bEnable);
    return KoComCall([&] {
        HRESULT Status;
        if (!CheckStatus(Status, true, Label)) return Status;
        SetEnabled(bEnable != 0);
        Log(L"%s: OK", Label);
        return S_OK;
    });
}

STDMETHODIMP TKoOPCProviderGroup::GetEnable(BOOL* pbEnable) {
    if (!pbEnable) return E_INVALIDARG;
    if (!FCallbackConnected) return CONNECT_E_NOCONNECTION;
    *pbEnable = FEnabled ? TRUE : FALSE;
    return S_OK;
}
