#include "KoOPCItems.h"

#include "KoDiscreteVars.h"
#include "KoNumVars.h"
#include "KoOPCErrors.h"
#include "KoOPCGroup.h"
#include "KoOPCServerObject.h"
#include "KoOPCTransactions.h"
#include "KoUtils.h"
#include "KoVariants.h"
#include "KoVars.h"

// ---- TKoOPCItemLink ----

void TKoOPCItemLink::Changed() {
    try {
        FItem.SetItemState();
    } catch (...) {
        // The refresh takes the place of the link's change handler, and fails as one would.
        RaiseHandlerError(L"OnChange");
    }
    TKoVarLink::Changed();
}

// ---- TKoOPCProviderItem ----

TKoOPCProviderItem::TKoOPCProviderItem(TKoOPCProviderGroup* AGroup) : FGroup(AGroup) {
    if (!AGroup) throw EKoOPCProviderInvalidArg(L"An item needs its group.");
    VariantInit(&FItemState.vDataValue);
    // An item follows completed changes only.
    FVarLink.SetHearsChanging(false);
    FVarLink.OnConfig = [this](TKoPersistentBase*) { Config(); };
}

TKoOPCProviderItem::~TKoOPCProviderItem() {
    std::lock_guard Guard(FLockSection);
    FVarLink.OnConfig = nullptr;
    StoreItemID(nullptr);
    FVarLink.SetActive(false);
    VariantClear(&FItemState.vDataValue);
}

TKoOPCProviderGroup* TKoOPCProviderItem::Group() const {
    std::lock_guard Guard(FLockSection);
    return FGroup;
}

void TKoOPCProviderItem::SetChangeGate(std::shared_ptr<TKoOPCGroupChangeGate> Gate) {
    std::lock_guard Guard(FLockSection);
    FChangeGate = std::move(Gate);
}

void TKoOPCProviderItem::Detach() {
    std::lock_guard Guard(FLockSection);
    // The link is left as it is: connecting and disconnecting it belongs to the main thread,
    // where the item is destroyed. Without its group nothing reaches the group now.
    FOPCItemDef.bActive = FALSE;
    FGroup = nullptr;
}

void TKoOPCGroupChangeGate::Report(TKoOPCProviderItem* Item) {
    std::lock_guard Guard(Lock);
    if (Group) Group->ItemChange(Item);
}

TKoOPCProvider* TKoOPCProviderItem::Provider() const {
    TKoOPCProviderGroup* Owner = Group();
    TKoOPCProviderClient* Client = Owner ? Owner->OwnerClient() : nullptr;
    return Client ? Client->Provider() : nullptr;
}

FILETIME TKoOPCProviderItem::ToFileTime(double DateTime) const {
    return FGroup ? FGroup->ToFileTime(DateTime) : DateTimeToFileTime(DateTime);
}

// ---- definition ----

HRESULT TKoOPCProviderItem::ValidateItemDef(const OPCITEMDEF& Value, TKoVar*& Variable,
                                            TKoVarPropType& Prop) {
    Variable = nullptr;
    Prop = vpValue;
    try {
        if (Value.szItemID) {
            TKoOPCProvider* Owner = Provider();
            if (!Owner) return OPC_E_INVALIDITEMID;
            TKoComponent* Component = nullptr;
            int Kind = 0;
            try {
                Kind = Owner->FindItem(Value.szItemID, Component, Prop);
            } catch (...) {
                // Unknown and malformed IDs alike, whatever the code of the error.
                return OPC_E_INVALIDITEMID;
            }
            if (Kind != 1 && Kind != 2) return OPC_E_UNKNOWNITEMID;
            Variable = dynamic_cast<TKoVar*>(Component);
            if (!Variable) return OPC_E_INVALIDITEMID;
            if (Value.szAccessPath && *Value.szAccessPath) return OPC_E_UNKNOWNPATH;
        }
        if (!Variable) throw EKoOPCProviderInvalidItemID(L"Invalid ItemID");
        Variable->GetPropValue(Prop);
        if (!KoIsValidDataType(Value.vtRequestedDataType)) return OPC_E_BADTYPE;
        return S_OK;
    } catch (...) {
        return OPC_E_INVALIDITEMID;
    }
}

HRESULT TKoOPCProviderItem::SetOPCItemDef(const OPCITEMDEF& Value) {
    TKoVar* NewVariable = nullptr;
    TKoVarPropType NewProp = vpValue;
    const HRESULT Result = ValidateItemDef(Value, NewVariable, NewProp);
    if (FAILED(Result)) return Result;
    {
        std::lock_guard Guard(FLockSection);
        const OPCITEMDEF Old = FOPCItemDef;
        FOPCItemDef = Value;
        FOPCItemDef.szItemID = Old.szItemID;
        FOPCItemDef.szAccessPath = Old.szAccessPath;
        // The client's blob stays with the client: only its size is kept.
        FOPCItemDef.pBlob = nullptr;
        StoreItemID(Value.szItemID);
        SetAccessPath(std::wstring());
        FItemState.hClient = Value.hClient;
        FVarLink.SetActive(false);
        FVarLink.SetVariable(NewVariable);
        FVarLink.SetVarProp(NewProp);
        if (Active()) FVarLink.SetActive(true);
    }
    Config();
    SetItemState();
    return S_OK;
}

void TKoOPCProviderItem::Config() {
    UpdateAccessRights();
}

void TKoOPCProviderItem::UpdateAccessRights() {
    // Found before the item lock is taken: the group's lock comes first.
    TKoOPCProvider* Owner = Provider();
    std::lock_guard Guard(FLockSection);
    if (!FOPCItemDef.szItemID || !FGroup || FGroup->Deleted() || !Variable() || !Owner) return;
    FAccessRights = static_cast<DWORD>(Owner->GetComponentAccessRights(Variable(), VarProp())) & 0x7F;
}

VARTYPE TKoOPCProviderItem::GetCanonicalDataType() {
    std::lock_guard Guard(FLockSection);
    if (FCanonicalDataType == VT_EMPTY || (FCanonicalDataType & VT_TYPEMASK) == VT_VARIANT)
        FCanonicalDataType = KoVarDataTypeToVarType(FVarLink.DataType(), FVarLink.IsArray());
    return FCanonicalDataType;
}

void TKoOPCProviderItem::SetItemActive(bool Value) {
    {
        std::lock_guard Guard(FLockSection);
        FVarLink.SetActive(Value);
    }
    SetItemState();
}

void TKoOPCProviderItem::SetItemClientHandle(OPCHANDLE Value) {
    std::lock_guard Guard(FLockSection);
    FItemState.hClient = Value;
}

void TKoOPCProviderItem::SetItemDataType(VARTYPE Value) {
    GetCanonicalDataType();
    if (!KoIsValidDataType(Value))
        throw EKoOleError(DISP_E_BADVARTYPE,
                          KoFormat(L"DataType %d not supported", static_cast<unsigned>(Value)));
    {
        std::lock_guard Guard(FLockSection);
        FOPCItemDef.vtRequestedDataType = Value;
    }
    SetItemState();
}

// ---- results and attributes ----

void TKoOPCProviderItem::GetItemResult(OPCITEMRESULT& Result) {
    Result.hServer = ServerHandle();
    Result.vtCanonicalDataType = GetCanonicalDataType();
    Result.dwAccessRights = FAccessRights;
    Result.dwBlobSize = 0;
    Result.pBlob = nullptr;
}

void TKoOPCProviderItem::GetItemAttributes(OPCITEMATTRIBUTES& Attr) {
    std::lock_guard Guard(FLockSection);
    // Everything that may fail comes first; the record is filled only once nothing can.
    TKoOleVariant Info = EUInfo();
    const VARTYPE Canonical = GetCanonicalDataType();
    const auto Units = static_cast<OPCEUTYPE>(EUType());
    Attr.szItemID = FOPCItemDef.szItemID ? KoTaskMemString(FOPCItemDef.szItemID) : nullptr;
    Attr.szAccessPath = nullptr;
    Attr.bActive = Active() ? TRUE : FALSE;
    Attr.hClient = ClientHandle();
    Attr.hServer = ServerHandle();
    Attr.dwAccessRights = FAccessRights;
    Attr.dwBlobSize = FOPCItemDef.dwBlobSize;
    Attr.pBlob = nullptr;
    Attr.vtRequestedDataType = FOPCItemDef.vtRequestedDataType;
    Attr.vtCanonicalDataType = Canonical;
    Attr.dwEUType = Units;
    Attr.vEUInfo = Info.Release();
}

DWORD TKoOPCProviderItem::EUType() {
    TKoVar* Var = Variable();
    if (dynamic_cast<TKoCustomFloat*>(Var)) return OPC_ANALOG;
    if (auto* Integer = dynamic_cast<TKoInteger*>(Var); Integer && Integer->RangeMode() != rmNone)
        return OPC_ANALOG;
    if (dynamic_cast<TKoCustomState*>(Var)) return OPC_ENUMERATED;
    return OPC_NOENUM;
}

TKoOleVariant TKoOPCProviderItem::EUInfo() {
    TKoVar* Var = Variable();
    auto Pair = [](TKoOleVariant Low, TKoOleVariant High) {
        TKoSafeArray Array(VT_VARIANT, {{0, 1}});
        LONG Index = 0;
        KoSafeArrayPutVariant(Array.Get(), &Index, Low);
        Index = 1;
        KoSafeArrayPutVariant(Array.Get(), &Index, High);
        return TKoOleVariant::TakeArray(VT_VARIANT, Array.Release());
    };
    if (auto* Float = dynamic_cast<TKoCustomFloat*>(Var))
        return Pair(TKoOleVariant(Float->RangeMin()), TKoOleVariant(Float->RangeMax()));
    if (auto* Integer = dynamic_cast<TKoInteger*>(Var); Integer && Integer->RangeMode() != rmNone)
        return Pair(TKoOleVariant(Integer->RangeMin()), TKoOleVariant(Integer->RangeMax()));
    if (auto* State = dynamic_cast<TKoCustomState*>(Var)) {
        const TKoStateItemlist& States = State->States();
        const int Count = States.Count();
        TKoSafeArray Array(VT_BSTR, {{0, Count - 1}});
        for (LONG Index = 0; Index < Count; ++Index)
            KoSafeArrayPutVariant(Array.Get(), &Index, TKoOleVariant(States.Items(Index)->Name()));
        return TKoOleVariant::TakeArray(VT_BSTR, Array.Release());
    }
    return TKoOleVariant();
}

// ---- state ----

void TKoOPCProviderItem::SetItemStateValue(WORD Quality, const VARIANT& Value, HRESULT Error,
                                           double DateTime) {
    FError = Error;
    FItemState.ftTimeStamp = ToFileTime(DateTime);
    FItemState.wQuality = Quality;
    VariantClear(&FItemState.vDataValue);
    // A bad value is not handed out.
    if ((Quality & 0xC0) != 0 && FAILED(VariantCopy(&FItemState.vDataValue, KoIn(Value))))
        VariantInit(&FItemState.vDataValue);
}

void TKoOPCProviderItem::SetItemState() {
    // The gate lives as long as the item (the item holds it), so it may be used after the item
    // lock is released.
    TKoOPCGroupChangeGate* Gate = nullptr;
    {
        std::lock_guard Guard(FLockSection);
        if (Variable()) {
            try {
                const double Stamp = FVarLink.Timestamp();
                const VARTYPE Type = DataType();
                const TKoOleVariant Value =
                    FVarLink.GetAsDataType(VarTypeToKoVarDataType(Type), (Type & VT_ARRAY) != 0);
                SetItemStateValue(KoVarQualityToOPCQuality(FVarLink.Quality()), Value, S_OK, Stamp);
            } catch (...) {
                const HRESULT Code = KoErrorToHResult();
                SetItemStateValue(0, TKoOleVariant(), Code, FVarLink.Timestamp());
            }
        } else {
            VariantClear(&FItemState.vDataValue);
            FItemState = OPCITEMSTATE{};
        }
        if (Active() && FGroup) Gate = FChangeGate.get();
    }
    if (Gate) Gate->Report(this);
}

HRESULT TKoOPCProviderItem::GetItemState(VARIANT& Value, WORD& Quality, FILETIME& TimeStamp, DWORD Source) {
    // The refresh reports to the group, which must not be reached under the item lock.
    if (Source == OPC_DS_DEVICE) SetItemState();
    std::lock_guard Guard(FLockSection);
    if (Source == OPC_DS_CACHE && (!Active() || !FGroup || !FGroup->Active())) {
        TimeStamp = ToFileTime(NowUTC());
        Quality = OPC_QUALITY_OUT_OF_SERVICE;
        VariantClear(&Value);
        Value.vt = VT_NULL;
    } else {
        TimeStamp = FItemState.ftTimeStamp;
        Quality = FItemState.wQuality;
        const HRESULT Copied = VariantCopy(&Value, &FItemState.vDataValue);
        if (FAILED(Copied)) throw EKoOleError(Copied, L"The item's value could not be copied.");
    }
    return FError;
}

HRESULT TKoOPCProviderItem::SetValue(const VARIANT& AValue) {
    TKoVarDataType Type;
    bool AsArray;
    {
        std::lock_guard Guard(FLockSection);
        Type = VarTypeToKoVarDataType(DataType());
        AsArray = IsArrayDataType();
    }
    try {
        // Outside the item lock: the write comes back as a change, which reaches the group.
        FVarLink.SetAsDataType(AValue, Type, AsArray, false);
        return S_OK;
    } catch (...) {
        return KoErrorToHResult();
    }
}

// ---- TKoOPCItemAttributesEnumerator ----

ComPtr<TKoOPCProviderGroup> TKoOPCItemAttributesEnumerator::LiveGroup() const {
    std::lock_guard Guard(FGroup->Lock);
    ComPtr<TKoOPCProviderGroup> Result;
    if (FGroup->Group && FGroup->Group->TryAddRef()) *Result.GetAddressOf() = FGroup->Group;
    return Result;
}

STDMETHODIMP TKoOPCItemAttributesEnumerator::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
                                                  ULONG* pceltFetched) {
    if (ppItemArray) *ppItemArray = nullptr;
    if (pceltFetched) *pceltFetched = 0;
    if (!ppItemArray || !pceltFetched) return E_INVALIDARG;
    try {
        ComPtr<TKoOPCProviderGroup> Group = LiveGroup();
        if (!Group) return E_FAIL;
        TKoTaskMem<OPCITEMATTRIBUTES> Array = TKoOPCAlloc::NewArray<OPCITEMATTRIBUTES>(celt);
        ULONG Fetched = 0;
        try {
            Group->ForItems([&](const std::vector<TKoOPCProviderItem*>& Items) {
                ULONG Index = FIndex;
                for (; Fetched < celt && Index < Items.size(); ++Fetched, ++Index)
                    Items[Index]->GetItemAttributes(Array[Fetched]);
                FIndex = Index;
            });
        } catch (...) {
            OPCITEMATTRIBUTES* Filled = Array.Release();
            TKoOPCAlloc::FreeItemAttributesArray(Filled, Fetched);
            throw;
        }
        *ppItemArray = Array.Release();
        *pceltFetched = Fetched;
        return Fetched == celt ? S_OK : S_FALSE;
    } catch (...) {
        const HRESULT Code = KoErrorToHResult();
        return Code == E_OUTOFMEMORY ? E_OUTOFMEMORY : E_FAIL;
    }
}

STDMETHODIMP TKoOPCItemAttributesEnumerator::Skip(ULONG celt) {
    ComPtr<TKoOPCProviderGroup> Group = LiveGroup();
    if (!Group) return E_FAIL;
    const ULONG Count = static_cast<ULONG>(Group->ItemCount());
    if (static_cast<ULONGLONG>(FIndex) + celt > Count) {
        FIndex = Count;
        return S_FALSE;
    }
    FIndex += celt;
    return S_OK;
}

STDMETHODIMP TKoOPCItemAttributesEnumerator::Reset() {
    FIndex = 0;
    return S_OK;
}

STDMETHODIMP TKoOPCItemAttributesEnumerator::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) {
    if (!ppEnumItemAttributes) return E_INVALIDARG;
    *ppEnumItemAttributes = nullptr;
    try {
        *ppEnumItemAttributes = new TKoOPCItemAttributesEnumerator(FGroup);
        return S_OK;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
