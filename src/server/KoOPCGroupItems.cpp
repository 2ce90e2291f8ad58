// The group's items and its synchronous IO: IOPCItemMgt, IOPCSyncIO and the steps they share
// with the asynchronous calls (the per-handle loop, reads into a transaction, writes handed to
// the main thread).

#include <algorithm>
#include <charconv>
#include <optional>

#include "KoOPCCom.h"
#include "KoOPCErrors.h"
#include "KoOPCGroup.h"
#include "KoOPCServerObject.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "KoVarAccess.h"

namespace {

// A log line lists at most this many handles or codes: the log keeps thousands of lines, and
// lines of whole large requests would fill the memory.
constexpr DWORD KoLogListLimit = 1000;
// ... and at most this many item definitions, each about ten times the text of a handle.
constexpr DWORD KoLogItemDefLimit = KoLogListLimit / 10;
// Items defined under one hold of the variables and the group (a slice takes a few milliseconds).
constexpr DWORD ItemsPerHold = 256;

// The end of a list that shows Shown of its Count entries: ",...(+N)" for the N left out.
std::wstring LeftOut(DWORD Count, DWORD Shown) {
    return Shown < Count ? L",...(+" + std::to_wstring(Count - Shown) + L")" : std::wstring();
}

// "1,2,3" of the handles, or "$0,$C0040001" of result codes; a longer list ends in
// ",...(+N)" for the N entries left out.
template <class T> std::wstring NumberList(const T* Values, DWORD Count, bool Hex) {
    std::string Text;
    const DWORD Shown = std::min(Count, KoLogListLimit);
    Text.reserve(static_cast<size_t>(Shown) * (Hex ? 10 : 6) + 16);
    char Buffer[16];
    for (DWORD I = 0; I < Shown; ++I) {
        if (I > 0) Text += ',';
        if (Hex) Text += '$';
        const auto Value = static_cast<uint32_t>(Values[I]);
        const auto End = Hex ? std::to_chars(Buffer, Buffer + sizeof Buffer, Value, 16)
                             : std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
        // Upper-case digits, as the formatted lines write codes.
        for (char* C = Buffer; C != End.ptr; ++C)
            Text += Hex && *C >= 'a' ? static_cast<char>(*C - 'a' + 'A') : *C;
    }
    return std::wstring(Text.begin(), Text.end()) + LeftOut(Count, Shown);
}

} // namespace

// ---- the item list ----

TKoOPCProviderItem* TKoOPCProviderGroup::FindItem(OPCHANDLE ServerHandle) const {
    std::lock_guard Guard(FLock);
    const auto Found = FItemsByHandle.find(ServerHandle);
    return Found == FItemsByHandle.end() ? nullptr : Found->second;
}

bool TKoOPCProviderGroup::Logging() const noexcept {
    try {
        TKoOPCProviderClient* Client = OwnerClient();
        TKoOPCProvider* Provider = Client ? Client->Provider() : nullptr;
        return Provider && Provider->Logging();
    } catch (...) {
        return false;
    }
}

void TKoOPCProviderGroup::FreeItem(TKoOPCProviderItem* Item) noexcept {
    TKoOPCProviderClient* Client = OwnerClient();
    TKoOPCProvider* Provider = Client ? Client->Provider() : nullptr;
    // Also from the main thread itself it is queued: the caller holds the group lock, which
    // must not be held while waiting for the variables.
    if (Provider && Provider->Handle()) {
        Provider->FreeObject(Item);
        return;
    }
    // No main thread left to hand it to.
    try {
        TKoVarReadAccess Access;
        delete Item;
    } catch (...) {
        // The variables stayed busy: the item is left rather than torn from them unsafely.
    }
}

HRESULT TKoOPCProviderGroup::RemoveItemAsync(TKoOPCProviderItem* Item) {
    std::lock_guard Guard(FLock);
    Item->Detach();
    FItemList.erase(std::find(FItemList.begin(), FItemList.end(), Item));
    FItemsByHandle.erase(Item->ServerHandle());
    if (FDataChangeTransaction) FDataChangeTransaction->RemoveItem(Item);
    FreeItem(Item);
    return S_OK;
}

// ---- the per-handle loop ----

HRESULT TKoOPCProviderGroup::ForEachItem(DWORD dwCount, const OPCHANDLE* phServer, const std::wstring& Label,
                                         bool PassMissing, const TKoOPCItemStep& Step, HRESULT** ppErrors) {
    HRESULT Result = E_INVALIDARG;
    if (ppErrors) *ppErrors = nullptr;
    if (dwCount > 0 && phServer && ppErrors)
        Result = KoComCall(
            [&] {
                TKoTaskMem<HRESULT> Errors = TKoOPCAlloc::NewArray<HRESULT>(dwCount);
                HRESULT Outcome = S_OK;
                std::lock_guard Guard(FLock);
                for (DWORD I = 0; I < dwCount; ++I) {
                    TKoOPCProviderItem* Item = FindItem(phServer[I]);
                    Errors[I] = Item || PassMissing ? Step(Item, I) : OPC_E_INVALIDHANDLE;
                    if (FAILED(Errors[I])) Outcome = S_FALSE;
                }
                *ppErrors = Errors.Release();
                return Outcome;
            },
            ppErrors);
    // DoRequest: the request's handler, then its log line.
    if (OnRequest) try {
            OnRequest(this, this, dwCount, phServer, ppErrors, Label);
        } catch (...) {
            // The handler's errors do not reach the client.
        }
    if (Logging()) {
        const HRESULT* Errors = ppErrors ? *ppErrors : nullptr;
        Log(L"%s (Handles:[%s], Errors:[%s]) Result=$%x", Label,
            phServer ? NumberList(phServer, dwCount, false) : std::wstring(),
            Errors ? NumberList(Errors, dwCount, true) : std::wstring(), Result);
    }
    return Result;
}

// ---- IOPCItemMgt ----

HRESULT TKoOPCProviderGroup::AddOrValidateItems(DWORD dwCount, const OPCITEMDEF* pItemArray, bool Add,
                                                HRESULT** ppErrors, OPCITEMRESULT** ppResults) {
    if (ppErrors) *ppErrors = nullptr;
    if (ppResults) *ppResults = nullptr;
    if (dwCount == 0 || !pItemArray || !ppErrors || !ppResults) return E_INVALIDARG;
    return KoComCall(
        [&] {
            TKoTaskMem<OPCITEMRESULT> Results = TKoOPCAlloc::NewArray<OPCITEMRESULT>(dwCount);
            TKoTaskMem<HRESULT> Errors = TKoOPCAlloc::NewArray<HRESULT>(dwCount);
            HRESULT Outcome = S_OK;
            for (DWORD First = 0; First < dwCount; First += ItemsPerHold) {
                // The items read their variables while they are defined. The variables and the group
                // are held for a slice of the list at a time: the main thread, which steps the
                // simulation, waits for one slice, not for a list of thousands.
                TKoVarReadAccess Access;
                std::lock_guard Guard(FLock);
                for (DWORD I = First; I < dwCount && I - First < ItemsPerHold; ++I) {
                    auto Item = std::make_unique<TKoOPCProviderItem>(this);
                    Errors[I] = Item->SetOPCItemDef(pItemArray[I]);
                    if (FAILED(Errors[I])) {
                        Outcome = S_FALSE;
                        continue;
                    }
                    if (Add) {
                        TKoOPCProviderClient* Client = OwnerClient();
                        TKoOPCProvider* Provider = Client ? Client->Provider() : nullptr;
                        if (!Provider) throw EKoOPCProviderException(L"The group has no server.");
                        Item->SetServerHandle(Provider->NextHandle());
                    }
                    Item->GetItemResult(Results[I]);
                    if (!Add) continue;
                    // Listed before the handler runs, so nothing is left behind if it fails.
                    // (Room grows by half again, not by one: a list of thousands is not copied each time.)
                    if (FItemList.size() == FItemList.capacity())
                        FItemList.reserve(FItemList.size() + FItemList.size() / 2 + 16);
                    FItemsByHandle.emplace(Item->ServerHandle(), Item.get());
                    FItemList.push_back(Item.get());
                    TKoOPCProviderItem* Added = Item.release();
                    Added->SetChangeGate(FChangeGate);
                    ItemChange(Added);
                }
            }
            *ppResults = Results.Release();
            *ppErrors = Errors.Release();
            return Outcome;
        },
        ppResults, ppErrors);
}

STDMETHODIMP TKoOPCProviderGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                           OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) {
    const HRESULT Result = AddOrValidateItems(dwCount, pItemArray, true, ppErrors, ppAddResults);
    const bool Produced = ppErrors && *ppErrors && ppAddResults && *ppAddResults;
    if (Logging() && pItemArray) {
        try {
            TKoStringList Entries;
            const DWORD Shown = std::min(dwCount, KoLogItemDefLimit);
            for (DWORD I = 0; I < Shown; ++I)
                Entries.Add(KoFormat(L"%s (ClientHandle=%d ServerHandle=%d)",
                                     KoTextOf(pItemArray[I].szItemID), pItemArray[I].hClient,
                                     Produced ? (*ppAddResults)[I].hServer : 0));
            Log(L"IOPCItemMgt.AddItems(%s): Result=$%x", Entries.AsCSV() + LeftOut(dwCount, Shown), Result);
        } catch (...) {
            // A line that cannot be built is lost.
        }
    }
    if (Produced && OnAddItem && OwnerClient()) {
        try {
            for (DWORD I = 0; I < dwCount; ++I)
                OnAddItem(this, pItemArray[I], (*ppAddResults)[I], (*ppErrors)[I]);
        } catch (...) {
            // The handler's errors do not reach the client.
        }
    }
    return Result;
}

STDMETHODIMP TKoOPCProviderGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL /*bBlobUpdate*/,
                                                OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
    if (FDeleted) {
        KoClearOut(ppValidationResults);
        KoClearOut(ppErrors);
        return E_FAIL;
    }
    return AddOrValidateItems(dwCount, pItemArray, false, ppErrors, ppValidationResults);
}

STDMETHODIMP TKoOPCProviderGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    if (OnRemoveItem && OwnerClient() && phServer) {
        try {
            for (DWORD I = 0; I < dwCount; ++I)
                if (TKoOPCProviderItem* Item = FindItem(phServer[I])) OnRemoveItem(this, Item);
        } catch (...) {
            // The handler's errors do not reach the client.
        }
    }
    const HRESULT Result = ForEachItem(
        dwCount, phServer, L"IOPCItemMgt.RemoveItems", false,
        [this](TKoOPCProviderItem* Item, DWORD) { return RemoveItemAsync(Item); }, ppErrors);
    if (Logging())
        Log(L"IOPCItemMgt.RemoveItems(%d Items [%s]): Result=$%x", dwCount,
            phServer ? NumberList(phServer, dwCount, false) : std::wstring(), Result);
    return Result;
}

STDMETHODIMP TKoOPCProviderGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                                 HRESULT** ppErrors) {
    KoClearOut(ppErrors);
    if (FDeleted) return E_FAIL;
    return KoComCall([&] {
        // Links are connected and the items re-read their variables.
        TKoVarReadAccess Access;
        std::lock_guard Guard(FLock);
        NewItemActiveState = bActive != 0;
        const HRESULT Result = ForEachItem(
            dwCount, phServer, KoFormat(L"IOPCItemMgt.SetActiveState(%d)", bActive), false,
            [this](TKoOPCProviderItem* Item, DWORD) {
                Item->SetActive(NewItemActiveState);
                return S_OK;
            },
            ppErrors);
        UpdateItemsActiveState();
        return Result;
    });
}

STDMETHODIMP TKoOPCProviderGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                                   HRESULT** ppErrors) {
    KoClearOut(ppErrors);
    if (FDeleted) return E_FAIL;
    if (dwCount > 0 && !phClient) return E_INVALIDARG;
    std::lock_guard Guard(FLock);
    NewClientHandles = phClient;
    return ForEachItem(
        dwCount, phServer, L"IOPCItemMgt.SetClientHandles", false,
        [this](TKoOPCProviderItem* Item, DWORD Index) {
            Item->SetClientHandle(NewClientHandles[Index]);
            return S_OK;
        },
        ppErrors);
}

STDMETHODIMP TKoOPCProviderGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                               VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) {
    KoClearOut(ppErrors);
    if (FDeleted) return E_FAIL;
    // The requested types are kept in the group's own array: a longer request is refused whole.
    if ((dwCount > 0 && !pRequestedDatatypes) || dwCount > std::tuple_size_v<TVarTypeList>)
        return E_INVALIDARG;
    return KoComCall([&] {
        // The items re-read their variables in the new type.
        TKoVarReadAccess Access;
        std::lock_guard Guard(FLock);
        if (!NewItemDataTypes) NewItemDataTypes = std::make_unique<TVarTypeList>();
        std::copy_n(pRequestedDatatypes, dwCount, NewItemDataTypes->begin());
        return ForEachItem(
            dwCount, phServer, L"IOPCItemMgt.SetDatatypes", false,
            [this](TKoOPCProviderItem* Item, DWORD Index) {
                return KoComCall([&] { Item->SetDataType((*NewItemDataTypes)[Index]); });
            },
            ppErrors);
    });
}

STDMETHODIMP TKoOPCProviderGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
    if (!ppUnk) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (!IsEqualIID(riid, IID_IEnumOPCItemAttributes)) return E_INVALIDARG;
    return KoComCall(
        [&] {
            *ppUnk = new TKoOPCItemAttributesEnumerator(FLife);
            return ItemCount() == 0 ? S_FALSE : S_OK;
        },
        ppUnk);
}

// ---- IOPCSyncIO ----

HRESULT
TKoOPCProviderGroup::ReadOrRefreshSyncOrAsync(DWORD Source, DWORD Count, const OPCHANDLE* Handles, DWORD ID,
                                              DWORD* IDOut, HRESULT** ppErrors, TKoOPCTransactionKind Kind,
                                              bool Async, const std::wstring& Label,
                                              std::unique_ptr<TKoOPCProviderTransaction>& Transaction) {
    if (ppErrors) *ppErrors = nullptr;
    HRESULT Result = KoComCall([&] {
        // A device read re-reads the variables.
        std::optional<TKoVarReadAccess> Access;
        if (Source == OPC_DS_DEVICE) Access.emplace();
        std::lock_guard Guard(FLock);
        Transaction.reset();
        HRESULT Status;
        if (!CheckStatus(Status, Async, Label)) return Status;
        auto Building = std::make_unique<TKoOPCProviderTransaction>(this, Kind, ID);
        Building->Async = Async;
        Building->SetCapacity(static_cast<int32_t>(std::min<DWORD>(Count, KoOPCMaxTransactionCapacity + 1u)));
        Building->DataSource = Source;
        TKoOPCProviderTransaction& Entries = *Building;
        Transaction = std::move(Building);
        return ForEachItem(
            Count, Handles, Label, !Async,
            [&Entries](TKoOPCProviderItem* Item, DWORD) {
                return Entries.Errors(Entries.AckItem(Item, true));
            },
            ppErrors);
    });
    try {
        if (FAILED(Result) || !Transaction || Transaction->Count() == 0) {
            Transaction.reset();
        } else {
            // Synchronous calls have one entry per handle, in request order; asynchronous entries
            // keep their own results.
            if (!Async) Transaction->SetErrorList(*ppErrors, static_cast<int32_t>(Count));
            if (Async) {
                std::lock_guard Guard(FLock);
                if (Transaction->HasOKItems() && FDataCallbackThread)
                    FDataCallbackThread->AddTransaction(std::move(Transaction));
                Transaction.reset();
            }
            if (IDOut) *IDOut = ID;
        }
    } catch (...) {
        Result = KoErrorToHResult();
        TKoOPCAlloc::FreeMem(*ppErrors);
        Transaction.reset();
    }
    if (Logging()) Log(L"%s: Result=$%x", Label, Result);
    return Result;
}

STDMETHODIMP TKoOPCProviderGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                       OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
    KoClearOut(ppItemValues);
    KoClearOut(ppErrors);
    if (dwCount == 0 || !ppItemValues || !ppErrors) return E_INVALIDARG;
    std::unique_ptr<TKoOPCProviderTransaction> Transaction;
    const HRESULT Result =
        ReadOrRefreshSyncOrAsync(static_cast<DWORD>(dwSource), dwCount, phServer, 0, nullptr, ppErrors,
                                 tkRead, false, L"IOPCSyncIO.Read", Transaction);
    if (!Transaction) return Result;
    // The states and errors are copied afresh: the step's error list goes first.
    TKoOPCAlloc::FreeMem(*ppErrors);
    return KoComCall([&] { return Transaction->GetItemStates(ppItemValues, ppErrors); }, ppItemValues,
                     ppErrors);
}

HRESULT TKoOPCProviderGroup::WriteSyncOrAsync2(DWORD Count, const OPCHANDLE* Handles,
                                               const std::wstring& Label, bool Async, HRESULT** ppErrors,
                                               DWORD* IDOut, DWORD ID, const VARIANT* Values) {
    if (ppErrors) *ppErrors = nullptr;
    HRESULT Result;
    if (!CheckStatus(Result, Async, Label)) return Result;
    if (Count > 0 && !Values) return E_INVALIDARG;
    std::unique_ptr<TKoOPCProviderWriteTransaction> Transaction;
    Result = KoComCall([&] {
        std::lock_guard Guard(FLock);
        NewItemValues = Values;
        Transaction = std::make_unique<TKoOPCProviderWriteTransaction>(this, ID);
        Transaction->Async = Async;
        Transaction->SetCapacity(
            static_cast<int32_t>(std::min<DWORD>(Count, KoOPCMaxTransactionCapacity + 1u)));
        TKoOPCProviderWriteTransaction& Entries = *Transaction;
        const HRESULT Outcome = ForEachItem(
            Count, Handles, Label, !Async,
            [&](TKoOPCProviderItem* Item, DWORD Index) -> HRESULT {
                // WriteItem: checked here, written on the main thread.
                HRESULT Checked = S_OK;
                TKoOleVariant Value;
                const VARIANT& Requested = NewItemValues[Index];
                if (!Item)
                    Checked = OPC_E_INVALIDHANDLE;
                else if (Item->AccessRights() == arReadOnly)
                    Checked = OPC_E_BADRIGHTS;
                else if (Requested.vt == VT_EMPTY || Requested.vt == VT_NULL)
                    Checked = OPC_E_BADTYPE;
                else
                    Checked = KoComCall([&] { Value = TKoOleVariant(Requested); });
                if (SUCCEEDED(Checked) || !Async) Entries.Add(Item, std::move(Value));
                return Checked;
            },
            ppErrors);
        if (SUCCEEDED(Outcome) && !Async) Entries.SetErrorList(*ppErrors, static_cast<int32_t>(Count));
        if (IDOut) *IDOut = ID;
        return Outcome;
    });
    if (FAILED(Result) || !Transaction || Transaction->Count() == 0) return Result;
    return KoComCall([&] {
        TKoOPCProviderWriteTransaction* Handed = Transaction.get();
        if (Async) {
            // The main thread owns it from here.
            Transaction.release();
            SynchronizeTransaction(Handed);
            return Result;
        }
        if (!SynchronizeTransaction(Handed)) {
            // The main thread did not finish it in time; it frees it when it is done with it.
            Transaction.release();
            TKoOPCAlloc::FreeMem(*ppErrors);
            throw EKoOPCProviderException(Label + L": the server did not finish the write in time.");
        }
        Transaction->GetErrorList(*ppErrors);
        return Transaction->MasterError();
    });
}

STDMETHODIMP TKoOPCProviderGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                        HRESULT** ppErrors) {
    return WriteSyncOrAsync2(dwCount, phServer, L"IOPCSyncIO.Write", false, ppErrors, nullptr, 0,
                             pItemValues);
}

// ---- the main thread's part ----

bool TKoOPCProviderGroup::FinishTransaction(TKoOPCProviderTransaction* Transaction) {
    const bool Writing = Transaction->Kind() == tkWrite;
    for (int32_t I = 0; I < Transaction->Count(); ++I) {
        if (FAILED(Transaction->Errors(I))) continue;
        HRESULT Result;
        try {
            TKoOPCProviderItem* Item = FindItem(Transaction->ServerHandles(I));
            if (!Item) {
                Result = E_INVALIDARG;
            } else if (Writing) {
                Result = Item->SetValue(Transaction->ValueRef(I));
            } else {
                Result = Transaction->ReadEntry(I, *Item);
            }
        } catch (...) {
            Result = KoErrorToHResult();
        }
        Transaction->SetErrors(I, Result);
    }
    if (!Transaction->Async) return false;
    std::lock_guard Guard(FLock);
    if (!FDataCallbackThread) return false;
    FDataCallbackThread->AddTransaction(std::unique_ptr<TKoOPCProviderTransaction>(Transaction));
    return true;
}

bool TKoOPCProviderGroup::SynchronizeTransaction(TKoOPCProviderTransaction* Transaction) {
    HWND Sink = nullptr;
    DWORD Bound = 0;
    {
        std::lock_guard Guard(FLock);
        TKoOPCProvider* Provider = FClient ? FClient->Provider() : nullptr;
        Sink = Provider ? Provider->Handle() : nullptr;
        Bound = Provider ? Provider->SyncWriteBound() : 0;
    }
    if (!Sink) {
        if (Transaction->Async) delete Transaction;
        return true;
    }
    if (GetWindowThreadProcessId(Sink, nullptr) == GetCurrentThreadId()) {
        // Called on the main thread itself: performed at once.
        TKoVarWriteAccess Access(KoVarAccessLock());
        AddRef();
        HandleTransactionMessage(Transaction, true);
        return true;
    }
    if (!Transaction->Async) Transaction->Wait = std::make_unique<TKoOPCMainThreadWait>();
    // The message holds a reference on the group until the main thread is done with it.
    AddRef();
    if (!PostMessageW(Sink, PM_FINISHTRANSACTION,
                      reinterpret_cast<WPARAM>(static_cast<IKoOPCProviderGroup*>(this)),
                      reinterpret_cast<LPARAM>(Transaction))) {
        Release();
        if (Transaction->Async) delete Transaction;
        Transaction->Wait.reset();
        return true;
    }
    if (Transaction->Async) return true;
    TKoOPCMainThreadWait& Wait = *Transaction->Wait;
    if (WaitForSingleObject(Wait.Finished.Get(), Bound) == WAIT_OBJECT_0) return true;
    int Expected = TKoOPCMainThreadWait::Pending;
    // Not taken yet: it will not be performed at all.
    if (Wait.State.compare_exchange_strong(Expected, TKoOPCMainThreadWait::Abandoned)) return false;
    // The main thread is performing it: one more bound for that, then the caller leaves it too.
    if (WaitForSingleObject(Wait.Finished.Get(), Bound) == WAIT_OBJECT_0) return true;
    Expected = TKoOPCMainThreadWait::Running;
    return !Wait.State.compare_exchange_strong(Expected, TKoOPCMainThreadWait::Abandoned);
}

void TKoOPCProviderGroup::HandleTransactionMessage(TKoOPCTransaction* Transaction, bool Perform) noexcept {
    // The message's reference on the group goes last.
    ComPtr<TKoOPCProviderGroup> MessageReference = KoAdopt(this);
    auto* Handed = static_cast<TKoOPCProviderTransaction*>(Transaction);
    if (Handed->Wait) {
        TKoOPCMainThreadWait& Wait = *Handed->Wait;
        int Expected = TKoOPCMainThreadWait::Pending;
        if (!Wait.State.compare_exchange_strong(Expected, TKoOPCMainThreadWait::Running)) {
            // The caller stopped waiting before this ran: nobody reads the results.
            delete Handed;
            return;
        }
        try {
            if (Perform) FinishTransaction(Handed);
        } catch (...) {
            // The entries keep the results they had.
        }
        Expected = TKoOPCMainThreadWait::Running;
        if (!Wait.State.compare_exchange_strong(Expected, TKoOPCMainThreadWait::Done)) {
            // The caller gave up while this ran.
            delete Handed;
            return;
        }
        SetEvent(Wait.Finished.Get());
        return;
    }
    bool HandedOn = false;
    try {
        if (Perform) HandedOn = FinishTransaction(Handed);
    } catch (...) {
    }
    // A synchronous transaction performed on the main thread itself stays with its caller.
    if (!HandedOn && Handed->Async) delete Handed;
}

void TKoOPCProviderGroup::LogTransaction(const TKoOPCProviderTransaction& Transaction, HRESULT /*Result*/) {
    if (!Logging()) return;
    static const wchar_t* const Kinds[] = {L"DataChange", L"Read", L"Write"};
    const DWORD N = static_cast<DWORD>(Transaction.Count());
    const int Kind = static_cast<int>(Transaction.Kind());
    Log(L"Transaction ID=%d Kind=%s (Handles:[%s], Errors[%s])", Transaction.ID(),
        Kind >= 0 && Kind < 3 ? Kinds[Kind] : L"?", NumberList(Transaction.ServerHandleArray(), N, false),
        NumberList(Transaction.ErrorArray(), N, true));
}
