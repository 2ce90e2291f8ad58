// The item properties (IOPCItemProperties of the server object): the table, the values read from
// the variables, and the item IDs under which some of them can be read directly.

#include "KoOPCItemProperties.h"

#include "KoClasses.h"
#include "KoDiscreteVars.h"
#include "KoNumVars.h"
#include "KoOPCCom.h"
#include "KoOPCErrors.h"
#include "KoOPCServerObject.h"
#include "KoOPCTransactions.h"
#include "KoUtils.h"
#include "KoVarAccess.h"
#include "KoVars.h"

namespace {

template <class T> bool IsA(const TKoComponent* Component) {
    return dynamic_cast<const T*>(Component) != nullptr;
}
bool AnyComponent(const TKoComponent*) {
    return true;
}

// Kind 1 uses the first six entries, kind 2 all of them.
constexpr TKoOPCItemProperty KoItemPropertyTable[] = {
    {1, vdtSmallint, L"Canonical Data Type", IsA<TKoVar>, vpOther2},
    {2, vdtDefault, L"Current Value", IsA<TKoVar>, vpValue},
    {3, vdtSmallint, L"Quality", IsA<TKoVar>, vpOther2},
    {4, vdtDate, L"Timestamp", IsA<TKoVar>, vpOther2},
    {5, vdtInteger, L"Access Rights", IsA<TKoVar>, vpOther2},
    {6, vdtSingle, L"Scan Rate", IsA<TKoVar>, vpOther2},
    {100, vdtOleStr, L"Engineering Unit", IsA<TKoCustomFloat>, vpEngUnit},
    {101, vdtOleStr, L"Variable Description", AnyComponent, vpCaption},
    {102, vdtDouble, L"Max. Possible Value", IsA<TKoCustomFloat>, vpOther},
    {103, vdtDouble, L"Min. Possible Value", IsA<TKoCustomFloat>, vpOther},
    {104, vdtDouble, L"Max. Possible Value", IsA<TKoCustomFloat>, vpOther},
    {105, vdtDouble, L"Min. Possible Value", IsA<TKoCustomFloat>, vpOther},
    {106, vdtOleStr, L"Label for closed state", IsA<TKoBool>, vpOther},
    {107, vdtOleStr, L"Label for open state", IsA<TKoBool>, vpOther},
    {108, vdtInteger, L"Timezone difference (minutes)", IsA<TKoVar>, vpOther},
    {300, vdtOleStr, L"Current Alarm State", IsA<TKoVar>, vpAlarmState},
    {301, vdtOleStr, L"Alarm Quick Help", IsA<TKoVar>, vpOther},
    {307, vdtDouble, L"High Alarm Limit", IsA<TKoCustomFloat>, vpAlarmHigh},
    {308, vdtDouble, L"High Warning Limit", IsA<TKoCustomFloat>, vpWarnHigh},
    {309, vdtDouble, L"Low Warning Limit", IsA<TKoCustomFloat>, vpWarnLow},
    {310, vdtDouble, L"Low Alarm Limit", IsA<TKoCustomFloat>, vpAlarmLow},
};
constexpr size_t KoStandardPropertyCount = 6;

EKoOPCProviderError Unsupported(DWORD PropertyID) {
    return EKoOPCProviderError(KoFormat(L"Unsupported ItemProperty, %d", PropertyID), E_INVALIDARG);
}

// Property P of the variable in DataType (vdtDefault: its own type); empty while its quality is
// bad. A property the variable's class does not have fails.
TKoOleVariant ReadProp(TKoVar& Variable, TKoVarPropType P, TKoVarDataType DataType) {
    if (!Variable.PropSupported(P)) throw EKoOPCProviderError(L"Property not supported", E_INVALIDARG);
    if (Variable.GetPropQuality(P) == vpqBad) return {};
    return DataType == vdtDefault ? Variable.GetPropValue(P) : Variable.GetPropAsDataType(P, DataType);
}

// The upper (Max) or lower range limit of a float or integer variable; empty without range.
TKoOleVariant RangeLimit(DWORD PropertyID, TKoVar& Variable, bool Max) {
    if (Variable.RangeMode() == rmNone && (IsA<TKoCustomFloat>(&Variable) || IsA<TKoInteger>(&Variable)))
        return {};
    if (auto* Float = dynamic_cast<TKoCustomFloat*>(&Variable))
        return TKoOleVariant(Max ? Float->RangeMax() : Float->RangeMin());
    if (auto* Integer = dynamic_cast<TKoInteger*>(&Variable))
        return TKoOleVariant(Max ? Integer->RangeMax() : Integer->RangeMin());
    throw Unsupported(PropertyID);
}

TKoOleVariant BoolText(DWORD PropertyID, TKoVar& Variable, bool ForValue) {
    auto* Bool = dynamic_cast<TKoBool*>(&Variable);
    if (!Bool) throw Unsupported(PropertyID);
    return TKoOleVariant(Bool->BoolToStr(ForValue));
}

// The value of property PropertyID of a variable item serving VarProp, before its conversion to
// the entry's type. Every failure of the variable is "Unsupported ItemProperty".
TKoOleVariant VariablePropertyValue(TKoOPCProvider& Provider, DWORD PropertyID, TKoVar& Variable,
                                    TKoVarDataType DataType, TKoVarPropType VarProp) {
    try {
        switch (PropertyID) {
        case 1: {
            VARTYPE Type = Variable.GetPropValue(VarProp).Type();
            if (Type == KoVarString8 || Type == KoVarString16) Type = VT_BSTR;
            return KoVariantOf(static_cast<uint16_t>(Type));
        }
        case 2:
            return ReadProp(Variable, vpValue, DataType);
        case 3:
            return KoVariantOf(
                static_cast<uint16_t>(KoVarQualityToOPCQuality(Variable.GetPropQuality(VarProp))));
        case 4:
            return TKoOleVariant::Date(Variable.GetPropTimestamp(VarProp));
        case 5:
            return TKoOleVariant(static_cast<int32_t>(Provider.GetComponentAccessRights(&Variable, VarProp)));
        case 6:
            return KoVariantOf(0.0f);
        case 100:
            return ReadProp(Variable, vpEngUnit, DataType);
        case 101:
            return ReadProp(Variable, vpCaption, DataType);
        case 102:
        case 104:
            return RangeLimit(PropertyID, Variable, true);
        case 103:
        case 105:
            return RangeLimit(PropertyID, Variable, false);
        case 106:
            return BoolText(PropertyID, Variable, false);
        case 107:
            return BoolText(PropertyID, Variable, true);
        case 108:
            return TKoOleVariant(LocalTimeBias());
        case 300:
            return TKoOleVariant(KoAlarmStateName(Variable.AlarmState()));
        case 301:
            return ReadProp(Variable, vpAlarmHelp, DataType);
        case 307:
            return ReadProp(Variable, vpAlarmHigh, DataType);
        case 308:
            return ReadProp(Variable, vpWarnHigh, DataType);
        case 309:
            return ReadProp(Variable, vpWarnLow, DataType);
        case 310:
            return ReadProp(Variable, vpAlarmLow, DataType);
        default:
            break;
        }
    } catch (const EKoError&) {
        // Out of memory is no property error: it keeps its own code.
    }
    throw Unsupported(PropertyID);
}

// The checks GetItemProperties and LookupItemIDs share: both out-arrays given, at least one and
// not absurdly many IDs, and the IDs themselves. A count the server would only try to allocate
// for and fail is refused at once.
HRESULT CheckPropertyRequest(DWORD dwCount, const DWORD* pdwPropertyIDs, const void* Out1, const void* Out2) {
    if (!Out1 || !Out2 || dwCount == 0 || dwCount > KoOPCMaxPropertyRequest || !pdwPropertyIDs)
        return E_INVALIDARG;
    return S_OK;
}

} // namespace

std::span<const TKoOPCItemProperty> KoOPCItemProperties(int ItemKind) {
    const std::span<const TKoOPCItemProperty> All(KoItemPropertyTable);
    if (ItemKind == 1) return All.first(KoStandardPropertyCount);
    if (ItemKind == 2) return All;
    return {};
}

const TKoOPCItemProperty& ItemPropertyByID(DWORD ID, int ItemKind) {
    for (const TKoOPCItemProperty& Entry : KoOPCItemProperties(ItemKind))
        if (Entry.ID == ID) return Entry;
    throw EKoOPCProviderError(KoFormat(L"Invalid property: %d", ID), OPC_E_INVALID_PID);
}

// ---- the server object's part ----

TKoOleVariant TKoOPCProviderClient::GetComponentPropertyValue(DWORD PropertyID, TKoComponent* Component,
                                                              TKoVarDataType DataType,
                                                              TKoVarPropType VarProp) {
    TKoOleVariant Value;
    if (auto* Variable = dynamic_cast<TKoVar*>(Component))
        Value = VariablePropertyValue(RequireProvider(), PropertyID, *Variable, DataType, VarProp);
    else if (Component && PropertyID == 101)
        Value = TKoOleVariant(Component->Name());
    else
        throw Unsupported(PropertyID);
    // An empty value (bad quality, no range) stays empty: converted, it would read as a zero or
    // an empty text, which are values.
    if (DataType != vdtDefault && Value.Type() != VT_EMPTY)
        Value = KoChangeType(Value, KoVarDataTypeToVarType(DataType, false));
    return Value;
}

int TKoOPCProviderClient::FindPropertyItem(LPCWSTR szItemID, TKoComponent*& Component,
                                           TKoVarPropType& VarProp) {
    return RequireProvider().FindItem(KoTextOf(szItemID), Component, VarProp);
}

STDMETHODIMP TKoOPCProviderClient::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                            DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                                            VARTYPE** ppvtDataTypes) {
    return KoComCall(
        [&] {
            KoRequireOut(pdwCount);
            KoRequireOut(ppPropertyIDs);
            KoRequireOut(ppDescriptions);
            KoRequireOut(ppvtDataTypes);
            *ppPropertyIDs = nullptr;
            *ppDescriptions = nullptr;
            *ppvtDataTypes = nullptr;
            TKoVarReadAccess Access;
            TKoComponent* Component = nullptr;
            TKoVarPropType VarProp = vpValue;
            const std::span<const TKoOPCItemProperty> Scope =
                KoOPCItemProperties(FindPropertyItem(szItemID, Component, VarProp));
            TKoTaskMem<DWORD> IDs = TKoOPCAlloc::NewArray<DWORD>(Scope.size());
            TKoTaskArray<LPWSTR> Descriptions = TKoOPCAlloc::NewArray<LPWSTR>(Scope.size());
            TKoTaskMem<VARTYPE> Types = TKoOPCAlloc::NewArray<VARTYPE>(Scope.size());
            auto* Variable = dynamic_cast<TKoVar*>(Component);
            DWORD Stored = 0;
            for (const TKoOPCItemProperty& Entry : Scope) {
                if (!Entry.ClassType(Component)) continue;
                IDs[Stored] = Entry.ID;
                Descriptions[Stored] = KoTaskMemString(Entry.Description);
                // The value's entry is typed as the variable's value, without the array flag.
                Types[Stored] = Entry.DataType == vdtDefault
                                    ? KoVarDataTypeToVarType(Variable->GetPropDataType(Entry.VarProp), false)
                                    : KoVarDataTypeToVarType(Entry.DataType, false);
                ++Stored;
            }
            *pdwCount = Stored;
            *ppPropertyIDs = IDs.Release();
            *ppDescriptions = Descriptions.Release();
            *ppvtDataTypes = Types.Release();
        },
        pdwCount, ppPropertyIDs, ppDescriptions, ppvtDataTypes);
}

STDMETHODIMP TKoOPCProviderClient::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                                     VARIANT** ppvData, HRESULT** ppErrors) {
    if (ppvData) *ppvData = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    if (const HRESULT Refused = CheckPropertyRequest(dwCount, pdwPropertyIDs, ppvData, ppErrors);
        FAILED(Refused))
        return Refused;
    return KoComCall(
        [&] {
            TKoVarReadAccess Access;
            TKoComponent* Component = nullptr;
            TKoVarPropType VarProp = vpValue;
            const int Kind = FindPropertyItem(szItemID, Component, VarProp);
            TKoTaskArray<VARIANT> Values = TKoOPCAlloc::NewArray<VARIANT>(dwCount);
            TKoTaskMem<HRESULT> Errors = TKoOPCAlloc::NewArray<HRESULT>(dwCount);
            HRESULT Outcome = S_OK;
            for (DWORD I = 0; I < dwCount; ++I) {
                try {
                    const TKoOPCItemProperty& Entry = ItemPropertyByID(pdwPropertyIDs[I], Kind);
                    Values[I] =
                        GetComponentPropertyValue(Entry.ID, Component, Entry.DataType, VarProp).Release();
                } catch (...) {
                    Errors[I] = KoErrorToHResult();
                    Outcome = S_FALSE;
                }
            }
            *ppvData = Values.Release();
            *ppErrors = Errors.Release();
            return Outcome;
        },
        ppvData, ppErrors);
}

STDMETHODIMP TKoOPCProviderClient::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                                 LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
    if (ppszNewItemIDs) *ppszNewItemIDs = nullptr;
    if (ppErrors) *ppErrors = nullptr;
    if (const HRESULT Refused = CheckPropertyRequest(dwCount, pdwPropertyIDs, ppszNewItemIDs, ppErrors);
        FAILED(Refused))
        return Refused;
    return KoComCall(
        [&] {
            TKoVarReadAccess Access;
            const std::wstring ItemID = KoTextOf(szItemID);
            TKoComponent* Component = nullptr;
            TKoVarPropType VarProp = vpValue;
            const int Kind = FindPropertyItem(szItemID, Component, VarProp);
            TKoTaskArray<LPWSTR> NewIDs = TKoOPCAlloc::NewArray<LPWSTR>(dwCount);
            TKoTaskMem<HRESULT> Errors = TKoOPCAlloc::NewArray<HRESULT>(dwCount);
            const auto NoItemID = [&](HRESULT Code) {
                return EKoOPCProviderError(KoFormat(L"No ItemID available for \"%s\"", ItemID), Code);
            };
            HRESULT Outcome = S_OK;
            for (DWORD I = 0; I < dwCount; ++I) {
                try {
                    const DWORD ID = pdwPropertyIDs[I];
                    if (ID <= KoStandardPropertyCount)
                        throw EKoOPCProviderError(L"ItemID  not available for standard properties",
                                                  OPC_E_INVALID_PID);
                    const TKoOPCItemProperty& Entry = ItemPropertyByID(ID, Kind);
                    if (Entry.VarProp == vpOther) throw NoItemID(E_FAIL);
                    if (Entry.VarProp == vpOther2) throw NoItemID(OPC_E_INVALID_PID);
                    GetComponentPropertyValue(ID, Component, vdtDefault, VarProp);
                    // Only a variable's properties are items: the description of a module has
                    // no item ID that could be added or read.
                    if (!IsA<TKoVar>(Component)) throw NoItemID(E_FAIL);
                    NewIDs[I] = KoTaskMemString(RequireProvider().VarPropToItemID(Entry.VarProp, Component));
                } catch (...) {
                    Errors[I] = KoErrorToHResult();
                    Outcome = S_FALSE;
                }
            }
            *ppszNewItemIDs = NewIDs.Release();
            *ppErrors = Errors.Release();
            return Outcome;
        },
        ppszNewItemIDs, ppErrors);
}
