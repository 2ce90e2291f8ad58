#include "KoDiscreteVars.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "KoStrings.h"
#include "KoUtils.h"
#include "KoVarsRTTI.h"

namespace {

// A variant that is a reference, resolved; any other copied as it is.
TKoOleVariant Resolved(const VARIANT& V) {
    TKoOleVariant Result;
    KoOleCheck(VariantCopyInd(Result.Receive(), KoIn(V)));
    return Result;
}

std::wstring BstrText(const VARIANT& V) {
    return V.bstrVal ? std::wstring(V.bstrVal, SysStringLen(V.bstrVal)) : std::wstring();
}

// The low 32 bits of an integer or a number truncated towards zero; fails like the platform's
// conversion for anything else.
uint32_t LowWord(const VARIANT& Value) {
    const TKoOleVariant V = Resolved(Value);
    switch (VariantClass(V)) {
    case vcBoolean:
        return V.Get().boolVal != VARIANT_FALSE ? 1 : 0;
    case vcFloat:
    case vcDate: {
        TKoOleVariant D;
        KoOleCheck(VariantChangeTypeEx(D.Receive(), KoIn(V), LOCALE_USER_DEFAULT, 0, VT_R8));
        const double T = std::trunc(D.Get().dblVal);
        if (!(T > -9.3e18 && T < 9.3e18)) throw EKoOleError(DISP_E_OVERFLOW);
        return static_cast<uint32_t>(static_cast<int64_t>(T));
    }
    default: {
        if (V.Type() == VT_UI8) return static_cast<uint32_t>(V.Get().ullVal);
        TKoOleVariant I;
        KoOleCheck(VariantChangeTypeEx(I.Receive(), KoIn(V), LOCALE_USER_DEFAULT, 0, VT_I8));
        return static_cast<uint32_t>(I.Get().llVal);
    }
    }
}

// A bit-name list: comma-separated, blanks around the names ignored.
TKoStringList BitNameList(const std::wstring& Text) {
    TKoStringList List;
    List.SetCSVSeparator(L',');
    List.SetCSVTrimLeft(true);
    List.SetCSVTrimRight(true);
    List.SetAsCSV(Text);
    return List;
}

// A decimal number without sign or blanks, as bit numbers are written.
bool ParseBitNumber(const std::wstring& Text, int& Result) {
    if (Text.empty() || Text.size() > 9) return false;
    int N = 0;
    for (wchar_t C : Text) {
        if (C < L'0' || C > L'9') return false;
        N = N * 10 + (C - L'0');
    }
    Result = N;
    return true;
}

} // namespace

// ---- TKoBool ----

TKoBool::TKoBool(TKoComponent* AOwner) : TKoVar(AOwner) {}

void TKoBool::SetValue(bool Value) {
    SetBoolProp(vpValue, FValue, Value, false);
}

void TKoBool::Toggle() {
    SetValue(IsBad() ? true : !FValue);
}

void TKoBool::SetAlarmStateOf(bool ForValue, TKoVarAlarmState Value) {
    TKoVarAlarmState& Field = FAlarmStates[ForValue ? 1 : 0];
    if (Value == Field) return;
    // The limits of the side concerned mark the change of the alarm configuration, so that the
    // notification recomputes the alarm state.
    const TKoVarPropType Alarm = ForValue ? vpAlarmHigh : vpAlarmLow;
    const TKoVarPropType Warn = ForValue ? vpWarnHigh : vpWarnLow;
    BeginUpdateProp(Alarm);
    BeginUpdateProp(Warn);
    try {
        Field = Value;
        const double Now = NowUTC();
        UpdateProp(Alarm, vpqGood, Now);
        UpdateProp(Warn, vpqGood, Now);
    } catch (...) {
        EndUpdatePropAfterError(Warn);
        EndUpdatePropAfterError(Alarm);
        throw;
    }
    EndUpdateProps(TKoVarPropTypes{Alarm, Warn}, vpqGood, true, 0);
}

void TKoBool::SetAlarmStateFalse(TKoVarAlarmState Value) {
    SetAlarmStateOf(false, Value);
}

void TKoBool::SetAlarmStateTrue(TKoVarAlarmState Value) {
    SetAlarmStateOf(true, Value);
}

void TKoBool::SetStringValueOf(bool ForValue, const std::wstring& Value) {
    std::wstring& Field = FStringValues[ForValue ? 1 : 0];
    if (Value == Field) return;
    Field = Value;
    ConfigChanged();
}

void TKoBool::SetStringValueFalse(const std::wstring& Value) {
    SetStringValueOf(false, Value);
}

void TKoBool::SetStringValueTrue(const std::wstring& Value) {
    SetStringValueOf(true, Value);
}

TKoVarDataType TKoBool::GetPropDataType(TKoVarPropType Prop) const {
    return Prop == vpValue ? vdtBoolean : TKoVar::GetPropDataType(Prop);
}

std::wstring TKoBool::BoolToStr(bool V) {
    const std::wstring& Text = FStringValues[V ? 1 : 0];
    return Text.empty() ? std::wstring(V ? L"True" : L"False") : Text;
}

bool TKoBool::StrToBool(const std::wstring& V) {
    if (V.empty()) throw EKoRangeError(L"Cannot convert empty string to boolean");
    const std::wstring Text = KoLowerCase(V);
    if (Text == KoLowerCase(FStringValues[0]) || Text == L"false") return false;
    if (Text == KoLowerCase(FStringValues[1]) || Text == L"true") return true;
    return TKoVar::StrToBool(V);
}

double TKoBool::GetVarPropValueAsFloat(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue) return TKoVar::GetVarPropValueAsFloat(Prop, V);
    return GetVarPropValueAsBool(Prop, V) ? 1 : 0;
}

int32_t TKoBool::GetVarPropValueAsInteger(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue) return TKoVar::GetVarPropValueAsInteger(Prop, V);
    return GetVarPropValueAsBool(Prop, V) ? 1 : 0;
}

int64_t TKoBool::GetVarPropValueAsInt64(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue) return TKoVar::GetVarPropValueAsInt64(Prop, V);
    return GetVarPropValueAsBool(Prop, V) ? 1 : 0;
}

std::wstring TKoBool::GetVarPropValueAsString(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue || QualityOfVariant(V, vpqBad) == vpqBad)
        return TKoVar::GetVarPropValueAsString(Prop, V);
    return BoolToStr(GetVarPropValueAsBool(Prop, V));
}

TKoOleVariant TKoBool::GetPropValueGood(TKoVarPropType Prop) const {
    return Prop == vpValue ? TKoOleVariant(FValue) : TKoVar::GetPropValueGood(Prop);
}

void TKoBool::SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) {
    if (Prop != vpValue) {
        TKoVar::SetPropValueGood(Prop, Value);
        return;
    }
    const TKoOleVariant V = Resolved(Value);
    if (V.Type() == VT_BSTR) {
        SetValue(StrToBool(BstrText(V)));
        return;
    }
    TKoOleVariant B;
    KoOleCheck(VariantChangeTypeEx(B.Receive(), KoIn(V), LOCALE_USER_DEFAULT, 0, VT_BOOL));
    SetValue(B.Get().boolVal != VARIANT_FALSE);
}

void TKoBool::SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) {
    if (Prop == vpValue)
        SetValue(StrToBool(V));
    else
        TKoVar::SetPropAsStringGood(Prop, V);
}

TKoVarAlarmState TKoBool::DoGetAlarmStateForValue(const VARIANT& Value) {
    return FAlarmStates[GetVarPropValueAsBool(vpValue, Value) ? 1 : 0];
}

void TKoBool::DoChange() {
    // The set is taken first: what the handlers write meanwhile is a change of its own.
    const bool ValueChanged = ChangedProps().Contains(vpValue);
    TKoVar::DoChange();
    if (!Active() || !ValueChanged || Quality() != vpqGood) return;
    const bool Rising = FValue;
    TKoNotifyEvent& Handler = Rising ? OnRisingEdge : OnFallingEdge;
    if (!Handler) return;
    try {
        Handler(this);
    } catch (...) {
        const auto [Class, Message] = KoCurrentErrorInfo();
        throw EKoVarException(KoFormat(L"Exception '%s' in %s handler (Variable=%s): %s", Class,
                                       Rising ? L"OnRisingEdge" : L"OnFallingEdge", VarPath(), Message));
    }
}

TKoOleVariant TKoBool::GetInitialValue() {
    return TKoOleVariant(FInitialValue);
}

// ---- state items ----

TKoCustomStateItem::TKoCustomStateItem() {
    KoRegisterVarsRTTI();
}

const TKoRTTIClass* TKoCustomStateItem::StaticClass() {
    KoRegisterVarsRTTI();
    return KoRTTIClassOf<TKoCustomStateItem>();
}

const TKoRTTIClass* TKoStateItem::StaticClass() {
    KoRegisterVarsRTTI();
    return KoRTTIClassOf<TKoStateItem>();
}

const TKoRTTIClass* TKoBitItem::StaticClass() {
    KoRegisterVarsRTTI();
    return KoRTTIClassOf<TKoBitItem>();
}

void TKoCustomStateItem::Assign(const TKoPersistentBase* Source) {
    if (const auto* Other = dynamic_cast<const TKoCustomStateItem*>(Source)) {
        SetAlarmState(Other->FAlarmState);
        SetName(Other->FName);
        SetStateValue(Other->FStateValue);
        return;
    }
    TKoPersistent::Assign(Source);
}

void TKoCustomStateItem::SetAlarmState(TKoVarAlarmState Value) {
    if (Value == FAlarmState) return;
    FAlarmState = Value;
    DoConfig();
}

void TKoCustomStateItem::SetName(const std::wstring& Value) {
    if (Value == FName) return;
    FName = Value;
    DoConfig();
}

TKoCustomState* TKoCustomStateItem::StateOwner() const {
    return FOwner ? FOwner->StateOwner() : nullptr;
}

TKoComponent* TKoCustomStateItem::LookupContext() const {
    TKoCustomState* Var = StateOwner();
    return Var ? Var->Owner() : nullptr;
}

void TKoCustomStateItem::SetStateValue(int32_t NewValue) {
    const int32_t OldValue = FStateValue;
    if (NewValue == OldValue) return;
    FStateValue = NewValue;
    if (FOwner) {
        const std::wstring OldKey = TKoStateItemlist::KeyOfValue(OldValue);
        try {
            FOwner->UpdateKeyValue(this, OldKey);
        } catch (const EKoPersistentListError&) {
            FStateValue = OldValue;
            throw EKoError(KoFormat(L"Duplicate state value: %d", NewValue));
        } catch (...) {
            FStateValue = OldValue;
            throw;
        }
        // The owner's range grows to hold the new value (a variable without range stays so).
        if (TKoCustomState* Var = StateOwner()) {
            const int32_t Min = Var->GetRangeMin(), Max = Var->GetRangeMax();
            if (Min < Max) {
                if (NewValue < Min)
                    Var->SetRangeMin(NewValue);
                else if (NewValue > Max)
                    Var->SetRangeMax(NewValue);
            }
        }
    }
    DoConfig();
}

uint32_t TKoBitItem::IntValue() const {
    const int32_t N = BitNr();
    return N >= 0 && N < 32 ? uint32_t{1} << N : 0;
}

TKoBitSet* TKoBitItem::BitSet() const {
    return dynamic_cast<TKoBitSet*>(StateOwner());
}

bool TKoBitItem::Value() const {
    const TKoBitSet* Set = BitSet();
    return Set && Set->GetBitValues(BitNr());
}

void TKoBitItem::SetValue(bool Value) {
    if (TKoBitSet* Set = BitSet()) Set->SetBitValues(BitNr(), Value);
}

bool TKoBitItem::ReadDefinedProperty(const std::wstring& Name, const std::wstring& Value) {
    if (!KoSameText(Name, L"Value")) return false;
    SetPropText(L"BitNr", Value);
    return true;
}

// ---- state item lists ----

TKoStateItemlist::TKoStateItemlist(TKoCustomState* AOwner, const TKoRTTIClass* AItemClass)
    : TKoPersistentList(AOwner, true, AItemClass ? AItemClass : TKoStateItem::StaticClass()),
      FStateOwner(AOwner) {
    SetSorted(true);
}

std::wstring TKoStateItemlist::KeyOfValue(int32_t StateValue) {
    return StateValue >= 0 ? KoFormat(L"+%7d", StateValue) : KoFormat(L"%8d", StateValue);
}

std::wstring TKoStateItemlist::GetListKeyValue(const TKoPersistent* Item) const {
    return KeyOfValue(static_cast<const TKoCustomStateItem*>(Item)->StateValue());
}

TKoCustomStateItem* TKoStateItemlist::Items(int Index) const {
    return static_cast<TKoCustomStateItem*>(TKoPersistentList::Items(Index));
}

TKoPersistent* TKoStateItemlist::CreateItem() {
    TKoPersistent* Created = TKoPersistentList::CreateItem();
    auto* Item = dynamic_cast<TKoCustomStateItem*>(Created);
    if (!Item) {
        delete Created;
        throw EKoInvalidCast(L"Invalid class typecast");
    }
    if (Count() > 0) {
        // Wraps at the top of the range rather than overflowing.
        const int32_t Value =
            static_cast<int32_t>(static_cast<uint32_t>(Items(Count() - 1)->StateValue()) + 1u);
        Item->FStateValue = Value;
        if (FStateOwner) {
            const int32_t Min = FStateOwner->GetRangeMin(), Max = FStateOwner->GetRangeMax();
            if (Min < Max && Value > Max) FStateOwner->SetRangeMax(Value);
            if (Min < Max && Value < Min) FStateOwner->SetRangeMin(Value);
        }
    }
    return Item;
}

void TKoStateItemlist::ItemInit(TKoPersistent* Item) {
    static_cast<TKoCustomStateItem*>(Item)->FOwner = this;
    TKoPersistentList::ItemInit(Item);
}

TKoCustomStateItem* TKoStateItemlist::AddState(const std::wstring& StateName, int32_t StateValue) {
    return static_cast<TKoCustomStateItem*>(InsertFilled(Count(), [&](TKoPersistent& P) {
        auto& Item = static_cast<TKoCustomStateItem&>(P);
        Item.SetName(StateName);
        Item.SetStateValue(StateValue);
    }));
}

void TKoStateItemlist::AddEnumValues(const std::vector<std::wstring>& Names) {
    BeginUpdate();
    try {
        for (size_t I = 0; I < Names.size(); ++I) AddState(Names[I], static_cast<int32_t>(I));
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

int TKoStateItemlist::IndexOfName(const std::wstring& AStateName) const {
    for (int I = 0; I < Count(); ++I)
        if (Items(I)->Name() == AStateName) return I;
    return -1;
}

int TKoStateItemlist::IndexOfValue(int32_t StateValue) const {
    return IndexOfKey(KeyOfValue(StateValue));
}

TKoCustomStateItem* TKoStateItemlist::StateByValue(int32_t StateValue) const {
    const int Index = IndexOfValue(StateValue);
    return Index >= 0 ? Items(Index) : nullptr;
}

TKoBitItem* TKoBitItemList::Items(int Index) const {
    return static_cast<TKoBitItem*>(TKoPersistentList::Items(Index));
}

int TKoBitItemList::IndexOfBitNr(int32_t BitNr) const {
    for (int I = 0; I < Count(); ++I)
        if (Items(I)->BitNr() == BitNr) return I;
    return -1;
}

// ---- TKoCustomState ----

TKoCustomState::TKoCustomState(TKoComponent* AOwner, TListFactory CreateList)
    : TKoCustomInteger(AOwner), FStates(CreateList(this)) {
    SetRangeMode(rmException);
    FStates->OnChange = [this](TKoPersistentList*) {
        ConfigChanged();
        RangeChanged();
    };
    FStates->OnItemConfig = [this](TKoPersistentList*, TKoPersistent*) { ConfigChanged(); };
}

TKoCustomState::~TKoCustomState() {
    // The items go with the variable; nobody is to hear of that as a configuration change.
    FStates->OnChange = nullptr;
    FStates->OnItemConfig = nullptr;
}

void TKoCustomState::SetStates(const TKoStateItemlist& Value) {
    FStates->Assign(&Value);
    ConfigChanged();
}

int TKoCustomState::InternalIndex(int Index) {
    const int32_t Min = GetRangeMin(), Max = GetRangeMax();
    if (Index < Min || Index > Max)
        throw EKoRangeError(KoFormat(L"Index out of range: %d [%d-%d]", Index, Min, Max));
    return static_cast<int>(static_cast<int64_t>(Index) - Min);
}

void TKoCustomState::GetStateNames(TKoStrings& AStrings) const {
    AStrings.BeginUpdate();
    AStrings.Clear();
    for (int I = 0; I < FStates->Count(); ++I) AStrings.Add(FStates->Items(I)->Name());
    AStrings.EndUpdate();
}

void TKoCustomState::Notification(TKoComponent* AComponent, TKoOperation Operation) {
    if (Operation == opRemove && AComponent == FImages) FImages = nullptr;
    TKoCustomInteger::Notification(AComponent, Operation);
    if (FStates) FStates->Notification(AComponent, Operation);
}

// ---- TKoState ----

TKoState::TKoState(TKoComponent* AOwner)
    : TKoCustomState(AOwner,
                     [](TKoCustomState* Owner) { return std::make_unique<TKoStateItemlist>(Owner); }) {}

void TKoState::Next() {
    const TKoStateItemlist& List = States();
    if (List.Count() > 0) {
        const int Index = List.IndexOfValue(FValue);
        const int NextIndex = Index < 0 || Index >= List.Count() - 1 ? 0 : Index + 1;
        SetValue(List.Items(NextIndex)->StateValue());
        return;
    }
    const int32_t Min = GetRangeMin(), Max = GetRangeMax();
    if (Min < Max) SetValue(FValue == Max ? Min : static_cast<int32_t>(static_cast<uint32_t>(FValue) + 1u));
}

void TKoState::Prev() {
    const TKoStateItemlist& List = States();
    if (List.Count() > 0) {
        const int Index = List.IndexOfValue(FValue);
        const int PrevIndex = Index <= 0 ? List.Count() - 1 : Index - 1;
        SetValue(List.Items(PrevIndex)->StateValue());
        return;
    }
    const int32_t Min = GetRangeMin(), Max = GetRangeMax();
    if (Min < Max) SetValue(FValue == Min ? Max : static_cast<int32_t>(static_cast<uint32_t>(FValue) - 1u));
}

int TKoState::InternalIndex(int Index) {
    return States().IndexOfValue(Index);
}

bool TKoState::ValueOfStateName(const VARIANT& V, int32_t& Result) const {
    if (V.vt != VT_BSTR) return false;
    const int Index = States().IndexOfName(BstrText(V));
    if (Index < 0) return false;
    Result = States().Items(Index)->StateValue();
    return true;
}

void TKoState::SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) {
    if (Prop != vpValue) {
        TKoCustomState::SetPropAsStringGood(Prop, V);
        return;
    }
    const int Index = States().IndexOfName(V);
    if (Index >= 0) {
        SetValue(States().Items(Index)->StateValue());
        return;
    }
    int32_t Number;
    try {
        Number = StrToInt(V);
    } catch (const EKoConvertError&) {
        throw EKoInvalidValue(KoFormat(L"'%s' is not a valid state", V));
    }
    // A number outside the range is a range error, as for any integer.
    SetValue(Number);
}

int32_t TKoState::GetVarPropValueAsInteger(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop == vpValue) {
        const TKoOleVariant Value = Resolved(V);
        int32_t Result;
        if (ValueOfStateName(Value, Result)) return Result;
    }
    return TKoCustomState::GetVarPropValueAsInteger(Prop, V);
}

std::wstring TKoState::GetVarPropValueAsString(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue || QualityOfVariant(V, PropQualityOfEmptyString(Prop)) == vpqBad)
        return TKoCustomState::GetVarPropValueAsString(Prop, V);
    const TKoOleVariant Value = Resolved(V);
    int32_t Named;
    if (ValueOfStateName(Value, Named)) return BstrText(Value);
    int32_t Number;
    try {
        Number = TKoCustomState::GetVarPropValueAsInteger(Prop, Value);
    } catch (const EKoError&) {
        return TKoCustomState::GetVarPropValueAsString(Prop, Value);
    }
    if (const TKoCustomStateItem* Item = States().StateByValue(Number))
        return Item->Name().empty() ? std::to_wstring(Number) : Item->Name();
    return TKoCustomState::GetVarPropValueAsString(Prop, Value);
}

TKoVarAlarmState TKoState::DoGetAlarmStateForValue(const VARIANT& Value) {
    if (QualityOfVariant(Value, PropQualityOfEmptyString(vpValue)) == vpqBad) return asUnknown;
    const TKoCustomStateItem* Item = States().StateByValue(GetVarPropValueAsInteger(vpValue, Value));
    return Item ? Item->AlarmState() : asUnknown;
}

// ---- TKoBitSet ----

TKoBitSet::TKoBitSet(TKoComponent* AOwner)
    : TKoCustomState(AOwner, [](TKoCustomState* Owner) -> std::unique_ptr<TKoStateItemlist> {
          return std::make_unique<TKoBitItemList>(Owner);
      }) {
    SetQualityOfEmptyString(vpqGood); // an empty text is the empty set of bits
}

void TKoBitSet::SetBitCount(uint16_t Value) {
    if (Value == FBitCount) return;
    const uint16_t Old = FBitCount;
    FBitCount = Value;
    if (FStrictStates) {
        try {
            InitStates();
        } catch (...) {
            FBitCount = Old;
            throw;
        }
    }
    ConfigChanged();
}

void TKoBitSet::SetStrictStates(bool Value) {
    if (Value == FStrictStates) return;
    FStrictStates = Value;
    if (FStrictStates) InitStates();
    ConfigChanged();
}

void TKoBitSet::InitStates() {
    TKoBitItemList& List = States();
    List.BeginUpdate();
    try {
        if (FBitCount > 32) throw EKoException(L"Max BitCount is 32");
        while (List.Count() < FBitCount) {
            const int Position = List.Count();
            List.InsertFilled(Position, [Position](TKoPersistent& P) {
                static_cast<TKoBitItem&>(P).SetName(L"Bit" + std::to_wstring(Position));
            });
        }
        while (List.Count() > FBitCount) List.Delete(List.Count() - 1);
    } catch (...) {
        List.EndUpdate();
        throw;
    }
    List.EndUpdate();
}

uint32_t TKoBitSet::BitMask() const {
    if (FStrictStates) {
        uint32_t Mask = 0;
        for (int I = 0; I < States().Count(); ++I) Mask |= States().Items(I)->IntValue();
        return Mask;
    }
    return FBitCount >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << FBitCount) - 1;
}

int32_t TKoBitSet::GetRangeMax() const {
    return FBitCount > 30 ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(BitMask());
}

int32_t TKoBitSet::GetRangeMin() const {
    return FBitCount >= 32 ? std::numeric_limits<int32_t>::min() : 0;
}

void TKoBitSet::SetRangeMax(int32_t Value) {
    // log2 of nothing above 0 has no whole number; such a range is one bit wide.
    const double Bits = Value >= 1 ? std::ceil(std::log2(static_cast<double>(Value))) : 0;
    SetBitCount(static_cast<uint16_t>(Bits + 1));
}

bool TKoBitSet::GetBitValues(int BitNr) const {
    return BitNr >= 0 && BitNr < 32 && ((static_cast<uint32_t>(FValue) >> BitNr) & 1u) != 0;
}

void TKoBitSet::SetBitValues(int BitNr, bool BitValue) {
    if (IsBad())
        throw EKoVarException(
            L"Individual BitValues cannot be changed, when the variable Quality is bad. Use "
            L"Value first to set the default for all BitValues.");
    if (BitNr < 0 || BitNr >= 32) throw EKoVarException(KoFormat(L"Not a valid bit name: %d", BitNr));
    const uint32_t Bit = uint32_t{1} << BitNr;
    const uint32_t Word = static_cast<uint32_t>(FValue);
    SetValue(BitValue ? Word | Bit : Word & ~Bit);
}

void TKoBitSet::ToggleBit(int BitNr) {
    SetBitValues(BitNr, IsBad() ? true : !GetBitValues(BitNr));
}

TKoOleVariant TKoBitSet::GetPropValueGood(TKoVarPropType Prop) const {
    return Prop == vpValue ? KoVariantOf(static_cast<uint32_t>(FValue))
                           : TKoCustomState::GetPropValueGood(Prop);
}

TKoVarDataType TKoBitSet::GetPropDataType(TKoVarPropType Prop) const {
    return Prop == vpValue ? vdtLongWord : TKoCustomState::GetPropDataType(Prop);
}

bool TKoBitSet::InRange(TKoVarPropType Prop, const VARIANT& AValue) {
    if (Prop != vpValue) return true;
    uint32_t Word;
    try {
        Word = LowWord(AValue);
    } catch (const EKoError&) {
        return true; // a value that is no number is not judged here
    }
    return (Word & ~BitMask()) == 0;
}

void TKoBitSet::SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) {
    if (Prop != vpValue) {
        TKoCustomState::SetPropValueGood(Prop, Value);
        return;
    }
    const TKoOleVariant V = Resolved(Value);
    if (SAFEARRAY* Array = KoVariantArray(V); Array && SafeArrayGetDim(Array) == 1) {
        LONG Low = 0, High = -1;
        KoOleCheck(SafeArrayGetLBound(Array, 1, &Low));
        KoOleCheck(SafeArrayGetUBound(Array, 1, &High));
        std::vector<bool> Bits;
        bool AllBoolean = true;
        for (LONG I = Low; I <= High && AllBoolean; ++I) {
            const TKoOleVariant Element = KoSafeArrayGetVariant(Array, &I);
            AllBoolean = Element.Type() == VT_BOOL;
            if (AllBoolean) Bits.push_back(Element.Get().boolVal != VARIANT_FALSE);
        }
        if (AllBoolean) {
            uint32_t Word = 0;
            for (size_t I = 0; I < Bits.size() && I < 32; ++I)
                if (Bits[I]) Word |= uint32_t{1} << I;
            Updating([&] {
                SetBitCount(static_cast<uint16_t>(std::min<size_t>(Bits.size(), 0xFFFF)));
                SetValue(Word);
            });
            return;
        }
    }
    switch (VariantClass(V)) {
    case vcInteger:
    case vcBigInt:
    case vcFloat:
    case vcDate:
        SetValue(LowWord(V));
        return;
    case vcString:
        SetPropAsStringGood(Prop, BstrText(V.Type() == VT_BSTR ? V : Resolved(V)));
        return;
    default:
        TKoCustomState::SetPropValueGood(Prop, V);
    }
}

uint32_t TKoBitSet::BitsOfNames(const std::wstring& Text) const {
    const TKoStringList Names = BitNameList(Text);
    uint32_t Bits = 0;
    for (int I = 0; I < Names.Count(); ++I) {
        const std::wstring& Entry = Names.Strings(I);
        if (Entry.empty()) continue;
        const int Named = States().IndexOfName(Entry);
        if (Named >= 0) {
            Bits |= States().Items(Named)->IntValue();
            continue;
        }
        int BitNr = -1;
        if (!ParseBitNumber(Entry, BitNr) && Entry.size() > 3 && KoSameText(Entry.substr(0, 3), L"Bit"))
            ParseBitNumber(Entry.substr(3), BitNr);
        // A word has 32 bits; a larger number names none of them.
        if (BitNr < 0 || BitNr >= 32) throw EKoVarException(L"Not a valid bit name: " + Entry);
        // The same bit named twice is still one bit.
        Bits |= uint32_t{1} << BitNr;
    }
    return Bits;
}

void TKoBitSet::SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) {
    if (Prop != vpValue) {
        TKoCustomState::SetPropAsStringGood(Prop, V);
        return;
    }
    int64_t Number;
    try {
        Number = StrToInt64(V);
    } catch (const EKoError&) {
        SetValue(BitsOfNames(V));
        return;
    }
    SetValue(static_cast<uint32_t>(Number));
}

uint32_t TKoBitSet::GetVarPropValueAsLongWord(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue) return TKoCustomState::GetVarPropValueAsLongWord(Prop, V);
    const TKoOleVariant Value = Resolved(V);
    if (Value.Type() == VT_BSTR) {
        const TKoStringList Names = BitNameList(BstrText(Value));
        uint32_t Bits = 0;
        for (int I = 0; I < States().Count(); ++I) {
            const TKoBitItem* Item = States().Items(I);
            if ((!Item->Name().empty() && Names.IndexOf(Item->Name()) >= 0) ||
                Names.IndexOf(std::to_wstring(Item->IntValue())) >= 0)
                Bits |= Item->IntValue();
        }
        return Bits;
    }
    return LowWord(Value) & BitMask();
}

int32_t TKoBitSet::GetVarPropValueAsInteger(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue) return TKoCustomState::GetVarPropValueAsInteger(Prop, V);
    return static_cast<int32_t>(GetVarPropValueAsLongWord(Prop, V));
}

int64_t TKoBitSet::GetVarPropValueAsInt64(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue) return TKoCustomState::GetVarPropValueAsInt64(Prop, V);
    return GetVarPropValueAsLongWord(Prop, V);
}

std::wstring TKoBitSet::GetVarPropValueAsString(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue || QualityOfVariant(V, PropQualityOfEmptyString(Prop)) == vpqBad)
        return TKoCustomState::GetVarPropValueAsString(Prop, V);
    const TKoOleVariant Value = Resolved(V);
    if (Value.Type() == VT_BSTR) return BstrText(Value);
    const uint32_t Word = LowWord(Value);
    TKoStringList Names;
    Names.SetCSVSeparator(L',');
    for (int BitNr = 0; BitNr < 32; ++BitNr) {
        if (((Word >> BitNr) & 1u) == 0) continue;
        const int Index = States().IndexOfBitNr(BitNr);
        if (Index >= 0 && !States().Items(Index)->Name().empty())
            Names.Add(States().Items(Index)->Name());
        else if (!FStrictStates)
            Names.Add(L"Bit" + std::to_wstring(BitNr));
    }
    return Names.Count() == 0 ? std::wstring() : Names.AsCSV();
}

TKoVarAlarmState TKoBitSet::DoGetAlarmStateForValue(const VARIANT& /*Value*/) {
    // The stored word decides.
    TKoVarAlarmState Result = asNormal;
    for (int I = 0; I < States().Count(); ++I) {
        const TKoBitItem* Item = States().Items(I);
        if (!GetBitValues(Item->BitNr())) continue;
        if (Item->AlarmState() == asAlarm) return asAlarm;
        if (Item->AlarmState() == asWarning) Result = asWarning;
    }
    return Result;
}

TKoOleVariant TKoBitSet::GetInitialValue() {
    TKoOleVariant Result;
    VARIANT* Slot = Result.Receive();
    Slot->ulVal = static_cast<uint32_t>(FInitialValue);
    Slot->vt = VT_UI4;
    return Result;
}
