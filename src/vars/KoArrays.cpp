#include "KoArrays.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <utility>

#include "KoExceptions.h"
#include "KoRandom.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "KoVariants.h"

namespace {

constexpr int64_t MaxIndex = std::numeric_limits<int32_t>::max();
// Half a millisecond in days: a sample that early for the next position still counts for it.
constexpr double HalfMillisecond = 5.787037e-9;
constexpr TKoVarPropTypes StatProps{vpMean, vpStdDev, vpMin, vpMax};

bool IsSpec(TKoVarPropType Prop) {
    return Prop >= vpAlarmLow && Prop <= vpSetpoint;
}

bool GoodFloat(double V) {
    return TKoVar::QualityOfFloat(V) == vpqGood;
}

double Clean(double V) {
    return GoodFloat(V) ? V : KoBadFloat;
}

// A number of any variant; KoBadFloat for a bad one or one that is no number.
double ToDouble(const VARIANT& V) {
    if (V.vt == VT_R8) return Clean(V.dblVal);
    if (V.vt == VT_R4) return TKoVar::QualityOfSingle(V.fltVal) == vpqGood ? V.fltVal : KoBadFloat;
    TKoOleVariant Number;
    if (FAILED(VariantChangeTypeEx(Number.Receive(), KoIn(V), LOCALE_USER_DEFAULT, 0, VT_R8)))
        return KoBadFloat;
    return Clean(Number.Get().dblVal);
}

// Text read as a number with the user's format settings; false when it is none.
bool ReadNumber(const std::wstring& Text, double& Result) {
    const std::wstring Trimmed = KoTrim(Text);
    return !Trimmed.empty() &&
           SUCCEEDED(VarR8FromStr(const_cast<wchar_t*>(Trimmed.c_str()), LOCALE_USER_DEFAULT, 0, &Result));
}

// A one-dimensional array of Type holding Numbers, from index Low on (VT_R8, VT_R4 or VT_UI1;
// bad numbers become the bad value of the element type).
TKoOleVariant NumbersArray(VARTYPE Type, LONG Low, const std::vector<double>& Numbers) {
    SAFEARRAYBOUND Bound{static_cast<ULONG>(Numbers.size()), Low};
    TKoSafeArray Array(SafeArrayCreate(Type, 1, &Bound));
    if (!Array.Get()) throw EKoOleError(E_OUTOFMEMORY);
    if (!Numbers.empty()) {
        TKoSafeArrayData Access(Array.Get());
        for (size_t K = 0; K < Numbers.size(); ++K) {
            const double V = Numbers[K];
            switch (Type) {
            case VT_R4:
                static_cast<float*>(Access.Data())[K] = GoodFloat(V) ? static_cast<float>(V) : KoBadSingle;
                break;
            case VT_UI1:
                static_cast<uint8_t*>(Access.Data())[K] = static_cast<uint8_t>(V);
                break;
            default:
                static_cast<double*>(Access.Data())[K] = V;
                break;
            }
        }
    }
    return TKoOleVariant::TakeArray(Type, Array.Release());
}

wchar_t ListSeparator() {
    const std::wstring List = KoListSeparator();
    return List.empty() ? L',' : List[0];
}

} // namespace

// ---- per-slot stores ----

void TKoCustomFloatArray::TSlots::Resize(size_t Count) {
    for (auto* Field : {&Values, &Positions, &AlarmHighs, &AlarmLows, &WarnHighs, &WarnLows, &Setpoints})
        Field->resize(Count, KoBadFloat);
    Statuses.resize(Count, BadStatus);
    Labels.resize(Count);
}

void TKoCustomFloatArray::TSlots::Rotate(size_t First, size_t Middle, size_t Last) {
    for (auto* Field : {&Values, &Positions, &AlarmHighs, &AlarmLows, &WarnHighs, &WarnLows, &Setpoints})
        std::rotate(Field->begin() + First, Field->begin() + Middle, Field->begin() + Last);
    std::rotate(Statuses.begin() + First, Statuses.begin() + Middle, Statuses.begin() + Last);
    std::rotate(Labels.begin() + First, Labels.begin() + Middle, Labels.begin() + Last);
}

// ---- construction and checks ----

TKoCustomFloatArray::TKoCustomFloatArray(TKoComponent* AOwner) : TKoCustomFloat(AOwner) {
    FMode = amUniformSampleWidth;
    FSampleWidth = 1.0;
    FFirstIndex = 0;
}

void TKoCustomFloatArray::IndexError(int64_t Index) const {
    throw EKoRangeError(
        KoFormat(L"Index out of range: %d [%d-%d]", Index, FFirstIndex, int64_t{FFirstIndex} + FLength - 1));
}

size_t TKoCustomFloatArray::SlotOf(int64_t Index) const {
    const int64_t Offset = Index - FFirstIndex;
    if (Offset < 0 || Offset >= FLength) IndexError(Index);
    if (!IsRing()) return static_cast<size_t>(Offset);
    return static_cast<size_t>((Offset + FIndexPointer) % static_cast<int64_t>(FSlots.Values.size()));
}

void TKoCustomFloatArray::CheckIndexSpan(int64_t First, int64_t Count) const {
    if (Count > 0 && First + Count - 1 > MaxIndex)
        throw EKoRangeError(KoFormat(L"%s: %d elements from index %d exceed the highest index %d", VarPath(),
                                     Count, First, MaxIndex));
}

std::vector<double>& TKoCustomFloatArray::SpecField(TKoVarPropType Prop) {
    return const_cast<std::vector<double>&>(std::as_const(*this).SpecField(Prop));
}

const std::vector<double>& TKoCustomFloatArray::SpecField(TKoVarPropType Prop) const {
    switch (Prop) {
    case vpAlarmLow:
        return FSlots.AlarmLows;
    case vpAlarmHigh:
        return FSlots.AlarmHighs;
    case vpWarnLow:
        return FSlots.WarnLows;
    case vpWarnHigh:
        return FSlots.WarnHighs;
    case vpSetpoint:
        return FSlots.Setpoints;
    case vpValue:
        return FSlots.Values;
    default:
        throw EKoArrayPropError(L"Property is not an array");
    }
}

double TKoCustomFloatArray::ScalarSpec(TKoVarPropType Prop) const {
    if (GetPropQuality(Prop) == vpqBad) return KoBadFloat;
    switch (Prop) {
    case vpAlarmLow:
        return FAlarmLow;
    case vpAlarmHigh:
        return FAlarmHigh;
    case vpWarnLow:
        return FWarnLow;
    case vpWarnHigh:
        return FWarnHigh;
    case vpSetpoint:
        return FSetpoint;
    default:
        return KoBadFloat;
    }
}

double TKoCustomFloatArray::Normalized(double V) const {
    if (!GoodFloat(V)) return KoBadFloat;
    if (FElementType != etSingle) return V;
    // Beyond the range of a single there is no value to round to.
    if (std::fabs(V) > FLT_MAX) return KoBadFloat;
    const auto F = static_cast<float>(V);
    return QualityOfSingle(F) == vpqGood ? static_cast<double>(F) : KoBadFloat;
}

void TKoCustomFloatArray::ResetSlot(size_t Slot) {
    FSlots.Values[Slot] = KoBadFloat;
    FSlots.Positions[Slot] = KoBadFloat;
    for (TKoVarPropType Prop : {vpAlarmLow, vpAlarmHigh, vpWarnLow, vpWarnHigh, vpSetpoint})
        SpecField(Prop)[Slot] = ScalarSpec(Prop);
    FSlots.Statuses[Slot] = BadStatus;
}

void TKoCustomFloatArray::Normalize() {
    if (FIndexPointer == 0) return;
    FSlots.Rotate(0, static_cast<size_t>(FIndexPointer), FSlots.Values.size());
    FIndexPointer = 0;
}

void TKoCustomFloatArray::Touch(TKoVarPropTypes Props, TKoVarQuality Q) {
    BeginUpdate();
    UpdateProps(Props, Q, NowUTC());
    EndUpdate();
}

std::vector<double> TKoCustomFloatArray::InIndexOrder(const std::vector<double>& Field) const {
    std::vector<double> Result(static_cast<size_t>(FLength));
    for (int32_t K = 0; K < FLength; ++K)
        Result[static_cast<size_t>(K)] = Field[SlotOf(int64_t{FFirstIndex} + K)];
    return Result;
}

// ---- configuration ----

void TKoCustomFloatArray::SetCapacity(int32_t Value) {
    if (Value < 0) Value = 0;
    if (Value == Capacity()) return;
    Updating([&] {
        if (Value < FLength)
            SetLength(Value);
        else
            Normalize();
        // Resized as a copy, so that a capacity that cannot be had changes nothing.
        TSlots Resized = FSlots;
        Resized.Resize(static_cast<size_t>(Value));
        const size_t Old = FSlots.Values.size();
        std::swap(FSlots, Resized);
        for (size_t Slot = Old; Slot < FSlots.Values.size(); ++Slot) ResetSlot(Slot);
        FIndexPointer = 0;
        UpdateProp(vpOther, GetPropQuality(vpOther), 0);
    });
}

void TKoCustomFloatArray::SetCircular(bool Value) {
    if (Value == FCircular) return;
    // A wrapped ring's slots are only in index order through IndexPointer.
    if (!Value) Normalize();
    FCircular = Value;
}

void TKoCustomFloatArray::SetElementType(TKoFloatArrayElementType Value) {
    if (Value == FElementType) return;
    if (FLength > 0) throw EKoArrayPropError(L"Cannot change ElementType when the array contains data.");
    FElementType = Value;
}

void TKoCustomFloatArray::SetFirstIndex(int32_t Value) {
    if (Value == FFirstIndex) return;
    CheckIndexSpan(Value, FLength);
    FFirstIndex = Value;
    Touch({vpOther}, vpqGood);
}

void TKoCustomFloatArray::SetMode(TKoFloatArrayMode Value) {
    if (Value == FMode) return;
    BeginUpdateProp(vpOther);
    try {
        ClearValues();
        // The fields directly: the width's setter would switch the mode in turn.
        if (Value == amUniformSampleWidth) {
            FSampleWidth = 1;
            FFirstPos = 0;
        } else {
            FSampleWidth = 0;
            std::fill(FSlots.Positions.begin(), FSlots.Positions.end(), KoBadFloat);
        }
        FMode = Value;
        UpdateProp(vpOther, GetPropQuality(vpOther), NowUTC());
    } catch (...) {
        EndUpdatePropAfterError(vpOther);
        throw;
    }
    EndUpdateProp(vpOther, GetPropQuality(vpOther), false, 0);
}

void TKoCustomFloatArray::SetPosUnit(const std::wstring& Value) {
    if (Value == FPosUnit) return;
    FPosUnit = Value;
    Touch({vpOther}, QualityOfString(Value, PropQualityOfEmptyString(vpEngUnit)));
}

void TKoCustomFloatArray::SetSampleWidth(double Value) {
    if (Value == FSampleWidth) return;
    BeginUpdateProp(vpOther);
    try {
        if (Value != 0 && FMode != amUniformSampleWidth)
            SetMode(amUniformSampleWidth);
        else if (Value == 0 && FMode == amUniformSampleWidth)
            SetMode(amVariableSampleWidth);
        FSampleWidth = Value;
        UpdateProp(vpOther, vpqGood, NowUTC());
    } catch (...) {
        EndUpdatePropAfterError(vpOther);
        throw;
    }
    EndUpdateProp(vpOther, vpqGood, false, 0);
}

void TKoCustomFloatArray::SetUseLabels(bool Value) {
    if (Value == FUseLabels) return;
    FUseLabels = Value;
    // On: Capacity empty labels; off: the labels go.
    std::fill(FSlots.Labels.begin(), FSlots.Labels.end(), std::wstring());
}

// ---- size ----

void TKoCustomFloatArray::PrepareSlots(int32_t NewLength) {
    const int32_t Old = FLength;
    if (Old > 0 && (FIndexPointer != 0 || NewLength == 1)) {
        // The newest elements stay, in index order from slot 0.
        const int32_t Keep = std::min(NewLength, Old);
        const int32_t Dropped = Old - Keep;
        Normalize();
        if (Dropped > 0) FSlots.Rotate(0, static_cast<size_t>(Dropped), static_cast<size_t>(Old));
        if (FMode == amUniformSampleWidth) FFirstPos += Dropped * FSampleWidth;
        for (int32_t Slot = Keep; Slot < NewLength; ++Slot) ResetSlot(static_cast<size_t>(Slot));
        return;
    }
    if (Old == 0) FIndexPointer = 0;
    for (int32_t Slot = Old; Slot < NewLength; ++Slot) ResetSlot(static_cast<size_t>(Slot));
}

void TKoCustomFloatArray::InvalidateStats() {
    FStatsInvalid = true;
    if (StatsMode() != smNone) UpdateProp(vpMean, vpqBad, NowUTC());
}

void TKoCustomFloatArray::SetLength(int32_t Value) {
    if (Value < 0) Value = 0;
    if (Value == FLength) return;
    CheckIndexSpan(FFirstIndex, Value);
    Updating([&] {
        if (Value > Capacity()) SetCapacity(Value);
        PrepareSlots(Value);
        FLength = Value;
        UpdateProp(vpValue, vpqGood, NowUTC());
        InvalidateStats();
    });
}

double TKoCustomFloatArray::TotalWidth() const {
    return FSampleWidth != 0 ? Capacity() * FSampleWidth : LastPos() - FirstPos();
}

void TKoCustomFloatArray::SetTotalWidth(double Value) {
    if (FSampleWidth == 0) throw EKoException(L"Cannot set TotalWidth when SampleWidth = 0");
    const double Slots = std::trunc(Value / FSampleWidth + 0.999999);
    if (Slots > MaxIndex)
        throw EKoRangeError(
            KoFormat(L"%s: TotalWidth %g needs more than %d samples", VarPath(), Value, MaxIndex));
    SetCapacity(Slots >= 0 ? static_cast<int32_t>(Slots) : 0); // NaN and negative: none
}

void TKoCustomFloatArray::DropValues() {
    FLength = 0;
    FIndexPointer = 0;
    FSum = 0;
    FSquaredSum = 0;
    FSumCount = 0;
    FStatsInvalid = false;
    if (StatsMode() != smNone) UpdateProps(StatProps, vpqBad, NowUTC());
}

void TKoCustomFloatArray::ClearValues() {
    Updating([&] {
        SetLength(0);
        ClearStats(false);
    });
}

void TKoCustomFloatArray::TrimLast(double Reference) {
    const double Ref = Normalized(Reference);
    int32_t Keep = FLength;
    while (Keep > 0) {
        const double V = FSlots.Values[SlotOf(int64_t{FFirstIndex} + Keep - 1)];
        if (GoodFloat(V) && V != Ref) break;
        --Keep;
    }
    if (Keep == 0 || Keep == FLength) return;
    Updating([&] {
        // The first Keep elements stay where they are; a wrapped ring is put in order first.
        Normalize();
        FLength = Keep;
        UpdateProp(vpValue, vpqGood, NowUTC());
        InvalidateStats();
    });
}

// ---- positions ----

double TKoCustomFloatArray::StoredPos(int64_t Index) const {
    const size_t Slot = SlotOf(Index);
    if (FMode == amUniformSampleWidth)
        return FFirstPos + static_cast<double>(Index - FFirstIndex) * FSampleWidth;
    return FSlots.Positions[Slot];
}

double TKoCustomFloatArray::FirstPos() const {
    if (FMode == amUniformSampleWidth) return FFirstPos;
    return FLength == 0 ? KoBadFloat : StoredPos(FFirstIndex);
}

void TKoCustomFloatArray::SetFirstPos(double Value) {
    if (FMode == amUniformSampleWidth) {
        if (Value == FFirstPos) return;
        FFirstPos = Value;
    } else {
        if (FLength == 0) return;
        double& Stored = FSlots.Positions[SlotOf(FFirstIndex)];
        if (Value == Stored) return;
        Stored = Value;
    }
    Touch({vpOther}, vpqGood);
}

double TKoCustomFloatArray::LastPos() const {
    return FLength == 0 ? FirstPos() - FSampleWidth : StoredPos(int64_t{FFirstIndex} + FLength - 1);
}

double TKoCustomFloatArray::MaxPos() const {
    if (FMode != amFreeSamples) return LastPos();
    double Result = KoBadFloat;
    for (const double P : InIndexOrder(FSlots.Positions))
        if (GoodFloat(P) && (!GoodFloat(Result) || P > Result)) Result = P;
    return Result;
}

double TKoCustomFloatArray::MinPos() const {
    if (FMode != amFreeSamples) return FirstPos();
    double Result = KoBadFloat;
    for (const double P : InIndexOrder(FSlots.Positions))
        if (GoodFloat(P) && (!GoodFloat(Result) || P < Result)) Result = P;
    return Result;
}

double TKoCustomFloatArray::PosOfIndex(int32_t Index) const {
    return FirstPos() + static_cast<double>(int64_t{Index} - FFirstIndex) * FSampleWidth;
}

int32_t TKoCustomFloatArray::IndexOfPos(double APos) const {
    const int64_t Last = int64_t{FFirstIndex} + FLength - 1;
    if (FLength > 0) {
        switch (FMode) {
        case amUniformSampleWidth: {
            const double Steps = std::trunc((APos - FFirstPos) / FSampleWidth);
            // Compared as doubles first: a NaN or a huge quotient must not become an index.
            if (Steps >= 0)
                return Steps > static_cast<double>(Last - FFirstIndex)
                           ? static_cast<int32_t>(Last)
                           : static_cast<int32_t>(FFirstIndex + static_cast<int64_t>(Steps));
            break;
        }
        case amVariableSampleWidth: {
            if (APos >= StoredPos(Last)) return static_cast<int32_t>(Last);
            for (int64_t I = FFirstIndex; I < Last; ++I)
                if (StoredPos(I) <= APos && StoredPos(I + 1) > APos) return static_cast<int32_t>(I);
            break;
        }
        case amFreeSamples:
            for (int64_t I = FFirstIndex; I <= Last; ++I)
                if (StoredPos(I) == APos) return static_cast<int32_t>(I);
            break;
        }
    }
    throw EKoRangeError(KoFormat(L"No sample for position %g found (FirstPos = %g)", APos, FirstPos()));
}

double TKoCustomFloatArray::Positions(int32_t Index) const {
    return StoredPos(Index);
}

void TKoCustomFloatArray::SetPositions(int32_t Index, double Value) {
    if (FMode == amUniformSampleWidth)
        throw EKoException(L"Positions is readonly when Mode = amUniformSampleWidth!");
    const size_t Slot = SlotOf(Index);
    if (FMode == amVariableSampleWidth) {
        // Neighbours without a position yet do not bind, so the positions can be filled in
        // any order.
        const int64_t Last = int64_t{FFirstIndex} + FLength - 1;
        const bool Below = Index > FFirstIndex && GoodFloat(StoredPos(int64_t{Index} - 1)) &&
                           Value < StoredPos(int64_t{Index} - 1);
        const bool Above =
            Index < Last && GoodFloat(StoredPos(int64_t{Index} + 1)) && Value > StoredPos(int64_t{Index} + 1);
        if (Below || Above) throw EKoException(L"Positions must grow when Mode = amVariableSampleWidth!");
    }
    FSlots.Positions[Slot] = Value;
    Touch({vpValue, vpOther}, vpqGood);
}

// ---- values ----

double TKoCustomFloatArray::Values(int32_t Index) const {
    const size_t Slot = SlotOf(Index);
    return Quality() == vpqBad ? KoBadFloat : FSlots.Values[Slot];
}

void TKoCustomFloatArray::SetValues(int32_t Index, double Value) {
    SetElement(vpValue, Index, Value);
}

std::wstring TKoCustomFloatArray::ValuesAsString(int32_t Index) {
    const size_t Slot = SlotOf(Index);
    if (Quality() == vpqBad) return KoBadString;
    const double V = FSlots.Values[Slot];
    // A single shows as the single it is, not as the double nearest to it.
    const TKoOleVariant Element =
        FElementType == etSingle && GoodFloat(V) ? TKoOleVariant::OfType(VT_R4, V) : TKoOleVariant(V);
    return VarToDisplayString(Element, vpqGood);
}

void TKoCustomFloatArray::SetValuesAsString(int32_t Index, const std::wstring& Value) {
    if (QualityOfString(Value, QualityOfEmptyString()) != vpqGood) {
        SetValues(Index, KoBadFloat);
        return;
    }
    double D = 0;
    const std::wstring Trimmed = KoTrim(Value);
    KoOleCheck(VarR8FromStr(const_cast<wchar_t*>(Trimmed.c_str()), LOCALE_USER_DEFAULT, 0, &D));
    SetValues(Index, D);
}

double TKoCustomFloatArray::LastValue() const {
    return FLength == 0 ? KoBadFloat : Values(LastIndex());
}

bool TKoCustomFloatArray::GateElement(TKoVarPropType Prop, double& Value, TKoVarQuality& Quality) {
    TKoOleVariant V(Value);
    if (!IsUpdatingProp(Prop)) {
        if (GetPropReadOnly(Prop)) ReadOnlyError();
        if (DoChanging(Prop, V.Get(), Quality) != crAccept) return false;
    }
    CheckRange(Prop, V, Quality);
    // A handler may have replaced the value.
    if (V.Type() == VT_R8)
        Value = V.Get().dblVal;
    else if (VarHasValue(V))
        Value = ToDouble(V);
    else
        Quality = vpqBad;
    if (Quality == vpqBad || !GoodFloat(Value)) {
        Quality = vpqBad;
        Value = KoBadFloat;
    }
    return true;
}

bool TKoCustomFloatArray::CanChangeElement(TKoVarPropType Prop, size_t Slot, double& Value,
                                           TKoVarQuality& Quality) {
    // The element alone is compared: the stored array never equals a single number.
    if (ChangeFilter() != cfQualityValueTimestamp && GetPropQuality(Prop) != vpqBad) {
        const double Old = SpecField(Prop)[Slot];
        const double New = Prop == vpValue ? Normalized(Value) : Clean(Value);
        if (QualityOfFloat(Old) == Quality && (Quality == vpqBad || Old == New)) return false;
    }
    return GateElement(Prop, Value, Quality);
}

void TKoCustomFloatArray::SetElement(TKoVarPropType Prop, int32_t Index, double Value) {
    if (Prop != vpValue && !FArraySpecs) throw EKoArrayPropError(L"Property is not an AnArray: AlarmHigh");
    const size_t Slot = SlotOf(Index);
    TKoVarQuality Q = QualityOfFloat(Value);
    if (!CanChangeElement(Prop, Slot, Value, Q)) return;
    std::vector<double>& Field = SpecField(Prop);
    BeginUpdateProp(Prop);
    try {
        if (Prop == vpValue) RemoveFromStats(Field[Slot]);
        Field[Slot] = Prop == vpValue ? Normalized(Value) : Clean(Value);
        UpdateProp(Prop, vpqGood, NowUTC());
        if (Prop != vpSetpoint) FSlots.Statuses[Slot] = BadStatus;
        if (Prop == vpValue) AddToStats(Field[Slot]);
    } catch (...) {
        EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProp(Prop, vpqGood, true, NowUTC());
}

void TKoCustomFloatArray::SetValue(double AValue) {
    Updating([&] {
        SetLength(1);
        SetValues(FFirstIndex, AValue);
    });
}

double* TKoCustomFloatArray::Lock() {
    BeginUpdateProp(vpValue);
    return FSlots.Values.empty() ? nullptr : FSlots.Values.data();
}

void TKoCustomFloatArray::Unlock() {
    try {
        for (double& V : FSlots.Values) V = Normalized(V);
        std::fill(FSlots.Statuses.begin(), FSlots.Statuses.end(), BadStatus);
        UpdateProp(vpValue, vpqGood, NowUTC());
        UpdateStats();
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, vpqGood, false, 0);
}

void TKoCustomFloatArray::AddValue(double AValue) {
    if (!GoodFloat(AValue) || FSlots.Values.empty()) return;
    double* Slots = Lock();
    for (int32_t K = 0; K < FLength; ++K) {
        double& V = Slots[SlotOf(int64_t{FFirstIndex} + K)];
        if (GoodFloat(V)) V += AValue;
    }
    Unlock();
}

void TKoCustomFloatArray::Add(TKoCustomFloat& OtherVar) {
    auto* Other = dynamic_cast<TKoCustomFloatArray*>(&OtherVar);
    if (!Other) {
        AddValue(OtherVar.Value());
        return;
    }
    const int64_t First = std::max(FFirstIndex, Other->FFirstIndex);
    const int64_t Last =
        std::min(int64_t{FFirstIndex} + FLength, int64_t{Other->FFirstIndex} + Other->FLength) - 1;
    if (First > Last) return;
    double* Slots = Lock();
    for (int64_t I = First; I <= Last; ++I) {
        const double O = Other->Values(static_cast<int32_t>(I));
        if (!GoodFloat(O)) continue;
        double& V = Slots[SlotOf(I)];
        V = GoodFloat(V) ? V + O : O;
    }
    Unlock();
}

void TKoCustomFloatArray::AssignArray(const double* AValues, int32_t HighIndex) {
    const int64_t Count = std::max<int64_t>(int64_t{HighIndex} + 1, 0);
    if (Count > 0 && !AValues) throw EKoException(VarPath() + L": AssignArray without values");
    CheckIndexSpan(FFirstIndex, Count);
    BeginUpdateProp(vpValue);
    try {
        SetLength(static_cast<int32_t>(Count));
        for (int64_t K = 0; K < Count; ++K) {
            double V = AValues[K];
            TKoVarQuality Q = QualityOfFloat(V);
            if (GateElement(vpValue, V, Q)) FSlots.Values[SlotOf(FFirstIndex + K)] = Normalized(V);
        }
        std::fill(FSlots.Statuses.begin(), FSlots.Statuses.end(), BadStatus);
        UpdateProp(vpValue, vpqGood, NowUTC());
        InvalidateStats();
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, vpqGood, false, 0);
}

void TKoCustomFloatArray::FillRandom(double Mean, double StdDev) {
    if (FSlots.Values.empty()) return;
    CheckIndexSpan(FFirstIndex, Capacity());
    double* Slots = Lock();
    // A random walk that keeps pulling back towards the first value.
    Slots[0] = KoRandom() * StdDev + Mean - StdDev / 2;
    for (size_t K = 1; K < FSlots.Values.size(); ++K)
        Slots[K] = KoRandom() * StdDev / 2 + (4 * Slots[K - 1] + Slots[0]) / 5 - StdDev / 4;
    FLength = Capacity();
    FIndexPointer = 0;
    Unlock();
}

// ---- appending ----

int32_t TKoCustomFloatArray::AppendValueAt(double AValue, double APosition, double ATimestamp) {
    if (FCircular && FSlots.Values.empty()) return LastIndex();
    const TKoVarPropTypes Brackets{vpValue, vpOther};
    BeginUpdateProps(Brackets);
    try {
        const double Before = LastPos();
        double Pos = APosition;
        if (!GoodFloat(Pos))
            Pos = Before + FSampleWidth;
        else if (FMode != amFreeSamples && Pos < Before)
            throw EKoRangeError(L"Cannot Append values before LastPos.");

        int64_t Steps = 1;
        if (FMode == amUniformSampleWidth) {
            const double D = Pos - Before + HalfMillisecond;
            if (!(D > TotalWidth())) {
                const double Q = std::trunc(D / FSampleWidth);
                // A NaN or negative quotient is no step; D <= TotalWidth bounds it by Capacity.
                Steps = Q >= 0 ? static_cast<int64_t>(std::min(Q, static_cast<double>(MaxIndex))) : 0;
            }
        }
        const double PreviousLast = LastValue();
        const int64_t Cap = static_cast<int64_t>(FSlots.Values.size());
        if (Steps > 0 || FLength == 0) {
            if (FLength == 0 || (IsRing() && Steps >= Cap)) {
                SetLength(1);
                if (FMode == amUniformSampleWidth) SetFirstPos(Pos);
                Steps = 0;
            } else if (IsRing() && FLength + Steps > Cap) {
                // The oldest elements make room; their slots take the newest ones.
                const int64_t Drop = FLength + Steps - Cap;
                const int64_t OldLength = FLength;
                for (int64_t K = 0; K < Drop; ++K) {
                    const size_t Slot = SlotOf(FFirstIndex + K);
                    RemoveFromStats(FSlots.Values[Slot]);
                    ResetSlot(Slot);
                }
                FLength = static_cast<int32_t>(Cap);
                FIndexPointer = static_cast<int32_t>((FIndexPointer + Drop) % Cap);
                // Slots past the old length may still hold what a shorter array left there.
                for (int64_t K = OldLength - Drop; K < Cap; ++K) ResetSlot(SlotOf(FFirstIndex + K));
                if (FMode == amUniformSampleWidth) FFirstPos += static_cast<double>(Drop) * FSampleWidth;
                UpdateProp(vpValue, vpqGood, NowUTC());
            } else {
                CheckIndexSpan(FFirstIndex, FLength + Steps);
                SetLength(static_cast<int32_t>(FLength + Steps));
            }
            // A gap of several sample widths repeats the last value.
            for (int64_t K = FLength - Steps; K < FLength - 1; ++K) {
                const size_t Slot = SlotOf(FFirstIndex + K);
                FSlots.Values[Slot] = Normalized(PreviousLast);
                AddToStats(FSlots.Values[Slot]);
            }
        }
        SetValues(LastIndex(), AValue);
        if (FMode != amUniformSampleWidth) {
            FSlots.Positions[SlotOf(LastIndex())] = Pos;
            UpdateProp(vpOther, vpqGood, NowUTC());
        }
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        EndUpdatePropAfterError(vpOther);
        throw;
    }
    EndUpdateProps(Brackets, vpqGood, false, ATimestamp);
    return LastIndex();
}

int32_t TKoCustomFloatArray::AppendValue(double AValue) {
    return AppendValueAt(AValue, KoBadFloat, NowUTC());
}

void TKoCustomFloatArray::AppendAt(TKoVar& OtherVar, double APosition, double ATimestamp) {
    if (dynamic_cast<TKoCustomFloatArray*>(&OtherVar))
        throw EKoNotImplemented(L"TKoCustomFloatArray.AppendAt");
    double V = KoBadFloat;
    try {
        V = OtherVar.GetPropAsFloat(vpValue);
    } catch (const EKoError&) {
        // a value that is no number is appended as a bad one
    }
    AppendValueAt(V, APosition, ATimestamp);
}

void TKoCustomFloatArray::Append(TKoVar& OtherVar) {
    AppendAt(OtherVar, KoBadFloat, OtherVar.TimeStamp());
}

// ---- per-element limits, states and labels ----

double TKoCustomFloatArray::ElementSpec(TKoVarPropType Prop, int32_t Index) const {
    const size_t Slot = SlotOf(Index);
    return FArraySpecs ? SpecField(Prop)[Slot] : ScalarSpec(Prop);
}

TKoVarAlarmState TKoCustomFloatArray::ElementAlarmState(size_t Slot) const {
    return TKoCustomFloat::AlarmStateOf(FSlots.Values[Slot], AlarmMode(), FSlots.AlarmLows[Slot],
                                        FSlots.AlarmHighs[Slot], FSlots.WarnLows[Slot],
                                        FSlots.WarnHighs[Slot]);
}

TKoVarAlarmState TKoCustomFloatArray::Statuses(int32_t Index) const {
    const size_t Slot = SlotOf(Index);
    if (FArraySpecs) {
        const int8_t Stored = FSlots.Statuses[Slot];
        return Stored == BadStatus ? ElementAlarmState(Slot) : static_cast<TKoVarAlarmState>(Stored);
    }
    return TKoCustomFloat::AlarmStateOf(Values(Index), AlarmMode(), ScalarSpec(vpAlarmLow),
                                        ScalarSpec(vpAlarmHigh), ScalarSpec(vpWarnLow),
                                        ScalarSpec(vpWarnHigh));
}

std::wstring TKoCustomFloatArray::Labels(int32_t Index) const {
    if (!FUseLabels)
        throw EKoException(L"TKoCustomFloatArray.Labels: Cannot access when UseLabels is False.");
    return FSlots.Labels[SlotOf(Index)];
}

void TKoCustomFloatArray::SetLabels(int32_t Index, const std::wstring& Value) {
    if (!FUseLabels)
        throw EKoException(L"TKoCustomFloatArray.Labels: Cannot access when UseLabels is False.");
    std::wstring& Label = FSlots.Labels[SlotOf(Index)];
    if (Label == Value) return;
    Label = Value;
    Touch({vpOther}, vpqGood);
}

double TKoCustomFloatArray::GetPropElement(TKoVarPropType Prop, int32_t Index) const {
    switch (Prop) {
    case vpValue:
        return Values(Index);
    case vpOther:
        return Positions(Index);
    case vpAlarmState:
        return Statuses(Index);
    default:
        if (IsSpec(Prop)) return ElementSpec(Prop, Index);
        throw EKoArrayPropError(L"Property is not an array");
    }
}

// ---- statistics ----

void TKoCustomFloatArray::AddToStats(double AValue) {
    if (!FStatsInvalid) TKoCustomFloat::AddToStats(AValue);
}

void TKoCustomFloatArray::RemoveFromStats(double AValue) {
    if (!FStatsInvalid) TKoCustomFloat::RemoveFromStats(AValue);
}

void TKoCustomFloatArray::UpdateStats() {
    if (StatsMode() == smNone) return;
    Updating([&] {
        FStatsInvalid = false;
        ClearStats(false);
        for (const double V : InIndexOrder(FSlots.Values)) AddToStats(V);
    });
}

void TKoCustomFloatArray::Update() {
    if (StatsMode() == smNone) return;
    if (FStatsInvalid || GetPropQuality(vpMean) != vpqGood) {
        UpdateStats();
        return;
    }
    const bool NeedMin = GetPropQuality(vpMin) != vpqGood, NeedMax = GetPropQuality(vpMax) != vpqGood;
    if (!NeedMin && !NeedMax) return;
    double Min = KoBadFloat, Max = KoBadFloat;
    for (const double V : InIndexOrder(FSlots.Values)) {
        if (!GoodFloat(V)) continue;
        if (!GoodFloat(Min) || V < Min) Min = V;
        if (!GoodFloat(Max) || V > Max) Max = V;
    }
    if (NeedMin) {
        FMin = Min;
        UpdateProp(vpMin, QualityOfFloat(Min), TimeStamp());
    }
    if (NeedMax) {
        FMax = Max;
        UpdateProp(vpMax, QualityOfFloat(Max), TimeStamp());
    }
}

// ---- alarm states ----

TKoVarAlarmState TKoCustomFloatArray::GetAlarmStateForValue(const VARIANT& /*AValue*/) {
    return asNormal;
}

void TKoCustomFloatArray::UpdateAlarmState() {
    if (!FArraySpecs) {
        TKoCustomFloat::UpdateAlarmState();
        return;
    }
    // A new alarm mode changes every element's state.
    const bool All = GetPropQuality(vpAlarmState) == vpqBad || FStatusAlarmMode != AlarmMode();
    FStatusAlarmMode = AlarmMode();
    bool Any = false;
    for (int32_t K = 0; K < FLength; ++K) {
        const size_t Slot = SlotOf(int64_t{FFirstIndex} + K);
        if (!All && FSlots.Statuses[Slot] != BadStatus) continue;
        FSlots.Statuses[Slot] = static_cast<int8_t>(ElementAlarmState(Slot));
        Any = true;
    }
    if (All || Any) {
        const TKoVarPropType Cause = NewestProp({vpValue, vpAlarmLow, vpAlarmHigh, vpWarnLow, vpWarnHigh});
        UpdateProp(vpAlarmState, vpqGood, GetPropTimestamp(Cause));
    }
}

// ---- properties ----

TKoVarDataType TKoCustomFloatArray::GetPropDataType(TKoVarPropType Prop) const {
    if (Prop == vpValue) return FElementType == etSingle ? vdtSingle : vdtDouble;
    if (Prop == vpOther) return vdtDouble;
    return TKoCustomFloat::GetPropDataType(Prop);
}

bool TKoCustomFloatArray::GetPropIsArray(TKoVarPropType Prop) const {
    if (Prop == vpValue) return true;
    if (Prop == vpOther) return FMode != amUniformSampleWidth;
    if (FArraySpecs && (Prop == vpAlarmState || IsSpec(Prop))) return true;
    return TKoCustomFloat::GetPropIsArray(Prop);
}

bool TKoCustomFloatArray::PropSupported(TKoVarPropType Prop) const {
    return Prop == vpOther || TKoCustomFloat::PropSupported(Prop);
}

TKoOleVariant TKoCustomFloatArray::GetPropValueGood(TKoVarPropType Prop) const {
    if (Prop == vpValue)
        return NumbersArray(FElementType == etSingle ? VT_R4 : VT_R8, FFirstIndex,
                            InIndexOrder(FSlots.Values));
    if (Prop == vpOther) {
        if (FMode == amUniformSampleWidth) return TKoOleVariant(FFirstPos);
        return NumbersArray(VT_R8, FFirstIndex, InIndexOrder(FSlots.Positions));
    }
    if (FArraySpecs && IsSpec(Prop)) return NumbersArray(VT_R8, FFirstIndex, InIndexOrder(SpecField(Prop)));
    if (FArraySpecs && Prop == vpAlarmState) {
        std::vector<double> States(static_cast<size_t>(FLength));
        for (int32_t K = 0; K < FLength; ++K) States[static_cast<size_t>(K)] = Statuses(FFirstIndex + K);
        return NumbersArray(VT_UI1, FFirstIndex, States);
    }
    return TKoCustomFloat::GetPropValueGood(Prop);
}

std::vector<double> TKoCustomFloatArray::ArrayNumbers(const VARIANT& V, LONG& Low) const {
    TKoOleVariant Value;
    KoOleCheck(VariantCopyInd(Value.Receive(), KoIn(V)));
    SAFEARRAY* Array = KoVariantArray(Value);
    if (!Array) throw EKoArrayPropError(L"Property is not an array");
    if (SafeArrayGetDim(Array) != 1) throw EKoOleError(DISP_E_BADINDEX);
    LONG High = 0;
    KoOleCheck(SafeArrayGetLBound(Array, 1, &Low));
    KoOleCheck(SafeArrayGetUBound(Array, 1, &High));
    const int64_t Count = std::max<int64_t>(int64_t{High} - Low + 1, 0);
    CheckIndexSpan(Low, Count);
    VARTYPE Type = VT_EMPTY;
    KoOleCheck(SafeArrayGetVartype(Array, &Type));
    std::vector<double> Result(static_cast<size_t>(Count));
    if (Count == 0) return Result;
    if (Type == VT_R8 || Type == VT_R4) {
        TKoSafeArrayData Access(Array);
        for (size_t K = 0; K < Result.size(); ++K)
            Result[K] = Type == VT_R8
                            ? Clean(static_cast<const double*>(Access.Data())[K])
                            : (QualityOfSingle(static_cast<const float*>(Access.Data())[K]) == vpqGood
                                   ? static_cast<const float*>(Access.Data())[K]
                                   : KoBadFloat);
        return Result;
    }
    for (int64_t K = 0; K < Count; ++K) {
        LONG I = static_cast<LONG>(Low + K);
        Result[static_cast<size_t>(K)] = ToDouble(KoSafeArrayGetVariant(Array, &I));
    }
    return Result;
}

void TKoCustomFloatArray::StoreValues(const VARIANT& V) {
    LONG Low = 0;
    const std::vector<double> Numbers = ArrayNumbers(V, Low);
    const auto Count = static_cast<int32_t>(Numbers.size());
    // The written array's indices unless it starts at 0, whatever its element type.
    const int32_t First = Low != 0 ? Low : FFirstIndex;
    CheckIndexSpan(First, Count);
    // In the order that keeps FirstIndex + Length within 32 bits at every step.
    if (int64_t{First} + FLength - 1 <= MaxIndex) {
        SetFirstIndex(First);
        SetLength(Count);
    } else {
        SetLength(Count);
        SetFirstIndex(First);
    }
    for (int32_t K = 0; K < Count; ++K)
        FSlots.Values[SlotOf(int64_t{FFirstIndex} + K)] = Normalized(Numbers[static_cast<size_t>(K)]);
    std::fill(FSlots.Statuses.begin(), FSlots.Statuses.end(), BadStatus);
    InvalidateStats();
    UpdateProp(vpValue, vpqGood, NowUTC());
}

void TKoCustomFloatArray::StoreElements(std::vector<double>& Field, const VARIANT& V) {
    LONG Low = 0;
    const std::vector<double> Numbers = ArrayNumbers(V, Low);
    // Element by element from FirstIndex on; what lies beyond the last element is not stored.
    const size_t Count = std::min(Numbers.size(), static_cast<size_t>(FLength));
    for (size_t K = 0; K < Count; ++K)
        Field[SlotOf(int64_t{FFirstIndex} + static_cast<int64_t>(K))] = Numbers[K];
}

void TKoCustomFloatArray::SetPropValueGood(TKoVarPropType Prop, const VARIANT& AValue) {
    const bool ElementArray = (Prop == vpValue || (FArraySpecs && IsSpec(Prop))) && KoVariantArray(AValue);
    if (Prop != vpValue && Prop != vpOther && !ElementArray) {
        TKoCustomFloat::SetPropValueGood(Prop, AValue);
        return;
    }
    TKoOleVariant Value;
    KoOleCheck(VariantCopyInd(Value.Receive(), KoIn(AValue)));
    if (Prop == vpOther) {
        if (FMode == amUniformSampleWidth) {
            SetFirstPos(GetVarPropValueAsFloat(vpOther, Value));
            return;
        }
        // The positions of the elements from FirstIndex on; a single number is the first one's.
        if (!KoVariantArray(Value)) Value = NumbersArray(VT_R8, 0, {ToDouble(Value)});
        StoreElements(FSlots.Positions, Value);
        Touch({vpValue, vpOther}, vpqGood);
        return;
    }
    if (KoVariantArray(Value)) {
        // Judged as the numbers that would be stored, so the range rule can mark single elements.
        LONG Low = 0;
        const std::vector<double> Numbers = ArrayNumbers(Value, Low);
        Value = NumbersArray(VT_R8, Low, Numbers);
    }
    TKoVarQuality Q = QualityOfVariant(Value, PropQualityOfEmptyString(Prop));
    if (!CanChange(Prop, Value.Get(), 0, 0, Q)) return;
    BeginUpdateProp(Prop);
    try {
        if (Prop != vpValue) {
            if (Q != vpqBad) {
                StoreElements(SpecField(Prop), Value);
                std::fill(FSlots.Statuses.begin(), FSlots.Statuses.end(), BadStatus);
                UpdateProp(Prop, vpqGood, NowUTC());
                // Every element's state is recomputed.
                UpdateProp(vpAlarmState, vpqBad, NowUTC());
            }
        } else if (Q == vpqBad) {
            ClearValues();
            UpdateProp(vpValue, vpqBad, NowUTC());
        } else if (KoVariantArray(Value)) {
            StoreValues(Value);
        } else if (Value.Type() == VT_BSTR) {
            SetPropAsStringGood(vpValue, Value.Get().bstrVal ? std::wstring(Value.Get().bstrVal,
                                                                            SysStringLen(Value.Get().bstrVal))
                                                             : std::wstring());
        } else if (const TKoVariantClass Class = VariantClass(Value); Class == vcInteger ||
                                                                      Class == vcFloat || Class == vcBigInt ||
                                                                      Class == vcBoolean || Class == vcDate) {
            SetValue(GetVarPropValueAsFloat(vpValue, Value));
        } else {
            ClearValues();
        }
    } catch (...) {
        EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProp(Prop, Q, false, 0);
}

void TKoCustomFloatArray::SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) {
    if (Prop != vpValue && Prop != vpOther) {
        TKoCustomFloat::SetPropAsStringGood(Prop, V);
        return;
    }
    TKoStringList List;
    List.SetCSVSeparator(ListSeparator());
    List.SetAsCSV(V);
    std::vector<double> Numbers(static_cast<size_t>(List.Count()));
    for (int I = 0; I < List.Count(); ++I) {
        double D = KoBadFloat;
        if (!ReadNumber(List.Strings(I), D)) D = KoBadFloat;
        Numbers[static_cast<size_t>(I)] = D;
    }
    const VARTYPE Type = Prop == vpValue && FElementType == etSingle ? VT_R4 : VT_R8;
    SetPropValueGood(Prop, NumbersArray(Type, 0, Numbers));
}

bool TKoCustomFloatArray::InRange(TKoVarPropType Prop, const VARIANT& AValue) {
    if (!KoVariantArray(AValue)) return TKoCustomFloat::InRange(Prop, AValue);
    if (Prop != vpValue && !IsSpec(Prop)) return true;
    LONG Low = 0;
    for (const double V : ArrayNumbers(AValue, Low))
        if (GoodFloat(V) && !TKoCustomFloat::InRange(V, FRangeMin, FRangeMax, true)) return false;
    return true;
}

void TKoCustomFloatArray::RangeError(TKoVarPropType Prop, const VARIANT& Value, TKoVarQuality& Quality) {
    SAFEARRAY* Array = KoVariantArray(Value);
    if (!Array || RangeMode() != rmUndefine || !GetPropIsArray(Prop) || SafeArrayGetDim(Array) != 1) {
        TKoCustomFloat::RangeError(Prop, Value, Quality);
        return;
    }
    // Only the elements outside the range become bad; the array keeps its quality. The value
    // is the gate's own copy, so its elements may be replaced in place.
    LONG Low = 0, High = -1;
    KoOleCheck(SafeArrayGetLBound(Array, 1, &Low));
    KoOleCheck(SafeArrayGetUBound(Array, 1, &High));
    const TKoOleVariant Bad(KoBadFloat);
    for (int64_t I64 = Low; I64 <= High; ++I64) {
        LONG I = static_cast<LONG>(I64);
        const double V = ToDouble(KoSafeArrayGetVariant(Array, &I));
        if (GoodFloat(V) && !TKoCustomFloat::InRange(V, FRangeMin, FRangeMax, true))
            KoSafeArrayPutVariant(Array, &I, Bad);
    }
}

void TKoCustomFloatArray::UpdateProp(TKoVarPropType Prop, TKoVarQuality Quality, double Timestamp) {
    // A value that turns bad from outside (Undefine, Clear) takes the elements with it.
    if (Prop == vpValue && Quality == vpqBad && FLength > 0 && !IsUpdatingProp(vpValue)) DropValues();
    TKoCustomFloat::UpdateProp(Prop, Quality, Timestamp);
}
