#include "KoOPCGroup.h"

#include <algorithm>

#include "KoOPCCom.h"
#include "KoOPCErrors.h"
#include "KoOPCServerObject.h"
#include "KoStrings.h"
#include "KoGuards.h"
#include "KoUtils.h"
#include "KoVarAccess.h"

namespace {

// Comma-separated entries; an entry holding a blank, a comma or a double quote is put in double
// quotes (with its quotes doubled).
std::wstring CommaText(const std::vector<std::wstring>& Entries) {
    std::wstring Result;
    for (size_t I = 0; I < Entries.size(); ++I) {
        if (I > 0) Result += L',';
        const std::wstring& Entry = Entries[I];
        if (Entry.find_first_of(L" ,\"") == std::wstring::npos) {
            Result += Entry;
            continue;
        }
        Result += L'"';
        for (wchar_t C : Entry) {
            if (C == L'"') Result += L'"';
            Result += C;
        }
        Result += L'"';
    }
    return Result;
}

} // namespace

// ---- construction and destruction ----

TKoOPCProviderGroup::TKoOPCProviderGroup(TKoOPCProviderClient* AClient) : FClient(AClient) {
    FLife->Group = this;
    FChangeGate->Group = this;
    ++FInstanceCount;
    SetLCID(1024);
}

TKoOPCProviderGroup::~TKoOPCProviderGroup() {
    {
        // First of all: enumerators must not reach a group on its way out.
        std::lock_guard Life(FLife->Lock);
        FLife->Group = nullptr;
    }
    {
        // Nor an item's change that the main thread is about to hand over (the gate's lock is
        // the group's).
        std::lock_guard Guard(FLock);
        FChangeGate->Group = nullptr;
        Destroying = true;
        FinishGroup(true);
        FConnectionPoints.reset();
    }
    --FInstanceCount;
}

ULONG TKoOPCProviderGroup::ReleaseFromTwo() noexcept {
    ComPtr<TKoOPCProviderClient> Client = ClientRef();
    if (!Client) return DropReference();
    try {
        // Under the group-list lock, where RemoveGroup weighs the references and marks the group
        // deleted: either RemoveGroup sees this release, or this release sees the deletion.
        std::lock_guard Guard(Client->GroupListLock());
        // Outside the list (being created, or removed) nothing is left to complete.
        if (!Client->HoldsGroup(this)) return DropReference();
        // The list's reference keeps the group alive past this drop.
        const ULONG Left = DropReference();
        // A group its client removed while the OPC client still held it: the reference left is
        // the list's, so the removal completes now.
        if (Left == 1 && FDeleted) Client->RemoveGroup(FServerHandle, TRUE);
        return Left;
    } catch (...) {
        // A release never fails; the lock could not be taken, the reference goes all the same.
        return DropReference();
    }
}

ComPtr<TKoOPCProviderClient> TKoOPCProviderGroup::ClientRef() const {
    std::lock_guard Guard(FLock);
    ComPtr<TKoOPCProviderClient> Result;
    // A client whose destruction has begun detaches its groups shortly: treated as gone already.
    if (FClient && FClient->TryAddRef()) *Result.GetAddressOf() = FClient;
    return Result;
}

IKoOPCProviderClient* TKoOPCProviderGroup::Client() const {
    return OwnerClient();
}

TKoOPCProviderClient* TKoOPCProviderGroup::OwnerClient() const {
    std::lock_guard Guard(FLock);
    return FClient;
}

// ---- log ----

void TKoOPCProviderGroup::LogText(const std::wstring& Text) const noexcept {
    try {
        // The client stays alive while the group is attached: it detaches its groups (under
        // this lock) before it goes. Its log takes only its identity lock.
        std::lock_guard Guard(FLock);
        if (FClient) FClient->LogText(GroupName() + L": " + Text);
    } catch (...) {
        // Logging never fails towards the caller.
    }
}

// ---- IOPCGroupStateMgt ----

STDMETHODIMP TKoOPCProviderGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                           FLOAT* pPercentDeadband, LCID* pLCID, OPCHANDLE* phClientGroup,
                                           OPCHANDLE* phServerGroup) {
    if (ppName) *ppName = nullptr;
    // Every out-parameter is required; a missing one is refused instead of written through.
    if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID || !phClientGroup ||
        !phServerGroup)
        return E_INVALIDARG;
    return KoComCall(
        [&] {
            std::lock_guard Guard(FLock);
            *ppName = KoTaskMemString(GroupName());
            *pUpdateRate = FUpdateRate;
            *pActive = FActive ? TRUE : FALSE;
            *pTimeBias = TimeBias();
            *pPercentDeadband = FPercentDeadband;
            *pLCID = FLCID;
            *phClientGroup = FClientHandle;
            *phServerGroup = FServerHandle;
        },
        ppName);
}

STDMETHODIMP TKoOPCProviderGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                                           BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                           LCID* pLCID, OPCHANDLE* phClientGroup) {
    if (FDeleted) return E_FAIL;
    std::vector<std::wstring> Texts;
    const HRESULT Result = KoComCall([&]() -> HRESULT {
        // Activation and a new time bias make the items re-read their variables.
        TKoVarReadAccess Access;
        std::lock_guard Guard(FLock);
        HRESULT Outcome = S_OK;
        if (pRequestedUpdateRate) {
            Texts.push_back(KoFormat(L"pRequestedUpdateRate=%d", *pRequestedUpdateRate));
            SetUpdateRate(*pRequestedUpdateRate);
            if (pRevisedUpdateRate) *pRevisedUpdateRate = FUpdateRate;
            if (FUpdateRate != *pRequestedUpdateRate) Outcome = OPC_S_UNSUPPORTEDRATE;
        }
        if (pTimeBias) {
            Texts.push_back(KoFormat(L"pTimeBias=%d", *pTimeBias));
            SetTimeBias(*pTimeBias);
        }
        if (pPercentDeadband) {
            Texts.push_back(KoFormat(L"pPercentDeadBand=%g", static_cast<double>(*pPercentDeadband)));
            SetPercentDeadband(*pPercentDeadband);
        }
        if (pLCID) {
            Texts.push_back(KoFormat(L"pLCID=%d", *pLCID));
            SetLCID(*pLCID);
        }
        if (phClientGroup) {
            Texts.push_back(KoFormat(L"phClientGroup=%d", *phClientGroup));
            FClientHandle = *phClientGroup;
        }
        if (pActive) {
            Texts.push_back(KoFormat(L"pActive=%s", BoolToText(*pActive != 0)));
            SetActive(*pActive != 0);
        }
        return Outcome;
    });
    Log(L"IOPCGroupStateMgt.SetState(%s): Result=$%x", CommaText(Texts), Result);
    return Result;
}

STDMETHODIMP TKoOPCProviderGroup::SetName(LPCWSTR szName) {
    if (FDeleted) return E_FAIL;
    Log(L"IOPCGroupStateMgt.SetName(%s)", GroupName());
    return KoComCall([&] { SetGroupName(KoTextOf(szName)); });
}

STDMETHODIMP TKoOPCProviderGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk) *ppUnk = nullptr;
    return KoComCall([&]() -> HRESULT {
        ComPtr<TKoOPCProviderClient> Client = ClientRef();
        // A detached group has no client to hold the copy.
        if (!Client) return E_FAIL;
        DWORD Rate;
        OPCHANDLE Handle;
        LONG Bias;
        FLOAT Deadband;
        LCID Locale;
        {
            std::lock_guard Guard(FLock);
            Rate = FUpdateRate;
            Handle = FClientHandle;
            // The stored bias: the copy never follows the local time zone.
            Bias = FTimeBias;
            Deadband = FPercentDeadband;
            Locale = FLCID;
        }
        OPCHANDLE ServerGroup = 0;
        DWORD Revised = 0;
        const HRESULT Added = Client->AddGroup(szName, FALSE, Rate, Handle, &Bias, &Deadband, Locale,
                                               &ServerGroup, &Revised, riid, ppUnk);
        if (FAILED(Added)) return Added;
        // The items' definitions as they stand, with copies of their item IDs.
        std::vector<std::wstring> IDs;
        std::vector<OPCITEMDEF> Defs;
        ForItems([&](const std::vector<TKoOPCProviderItem*>& Items) {
            IDs.reserve(Items.size());
            for (TKoOPCProviderItem* Item : Items) {
                OPCITEMDEF Def = Item->OPCItemDef();
                Def.szAccessPath = nullptr;
                Def.pBlob = nullptr;
                IDs.push_back(Item->ItemID());
                Defs.push_back(Def);
            }
        });
        if (Defs.empty()) return S_OK;
        for (size_t I = 0; I < Defs.size(); ++I) Defs[I].szItemID = IDs[I].data();
        ComPtr<IOPCItemMgt> Copy;
        KoOleCheck((*ppUnk)->QueryInterface(IID_PPV_ARGS(&Copy)));
        OPCITEMRESULT* Results = nullptr;
        HRESULT* Errors = nullptr;
        const HRESULT Result =
            Copy->AddItems(static_cast<DWORD>(Defs.size()), Defs.data(), &Results, &Errors);
        TKoOPCAlloc::FreeItemResultList(Results, Defs.size());
        TKoOPCAlloc::FreeMem(Errors);
        return Result;
    });
}

// ---- state ----

std::wstring TKoOPCProviderGroup::GroupName() const {
    std::lock_guard Guard(FNameLock);
    return FGroupName;
}

void TKoOPCProviderGroup::StoreName(const std::wstring& Value) {
    std::lock_guard Guard(FNameLock);
    FGroupName = Value;
}

void TKoOPCProviderGroup::SetGroupName(const std::wstring& Value) {
    if (Value == GroupName()) return;
    if (Value.empty()) throw EKoOPCProviderInvalidArg(L"Empty name not allowed.");
    if (ComPtr<TKoOPCProviderClient> Client = ClientRef())
        Client->RenameGroup(*this, Value);
    else
        StoreName(Value);
}

LONG TKoOPCProviderGroup::TimeBias() const {
    return FLocalTimeBias ? static_cast<LONG>(::LocalTimeBias()) : FTimeBias.load();
}

float TKoOPCProviderGroup::PercentDeadband() const {
    std::lock_guard Guard(FLock);
    return FPercentDeadband;
}

void TKoOPCProviderGroup::SetActive(bool Value) {
    std::lock_guard Guard(FLock);
    if (Value == FActive) return;
    FActive = Value;
    UpdateItemsActiveState();
    StateChange();
}

void TKoOPCProviderGroup::SetUpdateRate(DWORD Value) {
    std::lock_guard Guard(FLock);
    if (Value == FUpdateRate) return;
    FUpdateRate = std::max<DWORD>(Value, 10);
    StateChange();
}

void TKoOPCProviderGroup::SetTimeBias(LONG Value) {
    std::lock_guard Guard(FLock);
    if (Value == FTimeBias && !FLocalTimeBias) return;
    FTimeBias = Value;
    FLocalTimeBias = false;
    StateChange();
    UpdateItemStates();
}

void TKoOPCProviderGroup::SetLocalTimeBias(bool Value) {
    std::lock_guard Guard(FLock);
    if (Value == FLocalTimeBias) return;
    FLocalTimeBias = Value;
    StateChange();
    UpdateItemStates();
}

void TKoOPCProviderGroup::SetPercentDeadband(float Value) {
    std::lock_guard Guard(FLock);
    if (Value == FPercentDeadband) return;
    FPercentDeadband = Value;
    StateChange();
}

void TKoOPCProviderGroup::SetLCID(LCID Value) {
    std::lock_guard Guard(FLock);
    if (Value == FLCID) return;
    FLCID = Value;
    StateChange();
}

void TKoOPCProviderGroup::StateChange() {
    {
        // The callback thread's next wait uses the current update rate.
        std::lock_guard Guard(FLock);
        if (FDataCallbackThread && FActive) FDataCallbackThread->Wake();
    }
    if (OnStateChange) OnStateChange(this);
}

void TKoOPCProviderGroup::UpdateItemsActiveState() {
    std::lock_guard Guard(FLock);
    // The changes collected so far are dropped; one data change with every active item is sent
    // at once instead.
    ClearDataChangeTransaction();
    UpdateItemStates();
    AckAllItems();
    if (FDataCallbackThread) FDataCallbackThread->RequestDataChange();
}

void TKoOPCProviderGroup::UpdateItemStates() {
    std::lock_guard Guard(FLock);
    for (TKoOPCProviderItem* Item : FItemList) Item->SetItemState();
}

FILETIME TKoOPCProviderGroup::ToFileTime(double DateTime) const {
    if (DateTime == 0) return FILETIME{};
    if (FLocalTimeBias) return DateTimeToFileTime(UTCToLocal(DateTime));
    return DateTimeToFileTime(DateTime + FTimeBias / 1440.0);
}

bool TKoOPCProviderGroup::CheckStatus(HRESULT& Result, bool NeedsCallback, const std::wstring& Label) {
    if (FDeleted)
        Result = E_FAIL;
    else if (NeedsCallback && !FCallbackConnected) {
        Result = CONNECT_E_NOCONNECTION;
        Log(L"%s: No callback!", Label);
    } else
        Result = S_OK;
    return SUCCEEDED(Result);
}

// ---- items and transactions ----

int TKoOPCProviderGroup::ItemCount() const {
    std::lock_guard Guard(FLock);
    return static_cast<int>(FItemList.size());
}

void TKoOPCProviderGroup::AssignItemsTo(TKoStrings& Target) {
    TKoUpdateGuard Update(Target);
    std::lock_guard Guard(FLock);
    Target.Clear();
    for (TKoOPCProviderItem* Item : FItemList) Target.AddObject(Item->ItemID(), Item);
}

int TKoOPCProviderGroup::ItemCountOfVariable(const TKoVar* Variable) const {
    std::lock_guard Guard(FLock);
    return static_cast<int>(std::count_if(FItemList.begin(), FItemList.end(), [&](TKoOPCProviderItem* Item) {
        return Item->Variable() == Variable;
    }));
}

void TKoOPCProviderGroup::SetOnCreateDataChange(TKoOPCProviderGroupNotifyEvent Handler) {
    std::lock_guard Guard(FLock);
    OnCreateDataChange = Handler ? [Handler](TKoOPCProviderGroup* Sender) { Handler(Sender); }
                                 : TKoOPCProviderNotifyGroupEvent();
}

// ---- removal ----

void TKoOPCProviderGroup::DisconnectCallback() {
    std::lock_guard Guard(FLock);
    FCallbackConnected = false;
    if (!FDataCallbackThread) return;
    FDataCallbackThread->Terminate();
    FDataCallbackThread.reset();
    FreeDataChangeTransaction();
    Log(L"Callback Disconnected");
}

void TKoOPCProviderGroup::FinishGroup(bool ClearClient) {
    std::lock_guard Guard(FLock);
    DisconnectCallback();
    FDeleted = true;
    Clear();
    if (ClearClient) FClient = nullptr;
}

void TKoOPCProviderGroup::Clear() {
    std::lock_guard Guard(FLock);
    while (!FItemList.empty()) RemoveItemAsync(FItemList.front());
}
