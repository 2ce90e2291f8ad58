#include "KoVars.h"

#include <cmath>
#include <cwctype>
#include <limits>
#include <tuple>
#include <typeinfo>
#include <utility>
#include <vector>

#include "KoStrings.h"
#include "KoUtils.h"

// ---- display names ----

const wchar_t* const VarPropNames[KoVarPropTypeCount] = {L"Value",
                                                         L"Caption",
                                                         L"Engineering Unit",
                                                         L"Alarm State",
                                                         L"Low Alarm Limit",
                                                         L"High Alarm Limit",
                                                         L"Low Warning Limit",
                                                         L"High Warning Limit",
                                                         L"Setpoint",
                                                         L"Difference",
                                                         L"Mean",
                                                         L"Standard Deviation",
                                                         L"Minimum",
                                                         L"Maximum",
                                                         L"Description",
                                                         L"Alarm Text",
                                                         L"Alarm Help",
                                                         L"Other",
                                                         L"Other2"};
const wchar_t* const VarQualityNames[3] = {L"Bad", L"Uncertain", L"Good"};
const wchar_t* const VarAccessNames[2] = {L"None", L"Full"};
const wchar_t* const AlarmStateNames[4] = {L"OK", L"Warning", L"Alarm", L"Unkownn"};
const wchar_t* const BoolNames[2] = {L"False", L"True"};

const wchar_t* KoVarPropName(TKoVarPropType Prop) {
    return Prop >= 0 && Prop < KoVarPropTypeCount ? VarPropNames[Prop] : L"";
}

const wchar_t* KoVarQualityName(TKoVarQuality Quality) {
    return Quality >= vpqBad && Quality <= vpqGood ? VarQualityNames[Quality] : L"";
}

const wchar_t* KoAlarmStateName(TKoVarAlarmState State) {
    return State >= asNormal && State <= asUnknown ? AlarmStateNames[State] : L"";
}

namespace {

int32_t GLastID = 0;

constexpr TKoVarPropTypes StatisticProps{vpValue, vpMean, vpStdDev, vpMin, vpMax};
constexpr TKoVarPropTypes LimitProps{vpAlarmLow, vpAlarmHigh, vpWarnLow, vpWarnHigh};
// A handler that keeps changing the variable it is told about must not hold the main thread
// for ever: after this many rounds the rest waits for the next notification.
constexpr int MaxNotifyRounds = 16;

// The text of a value for a message; a value without text form gives its type.
std::wstring ValueText(const VARIANT& V) {
    try {
        return VariantToText(V, false);
    } catch (...) {
        return VarTypeToText(V.vt);
    }
}

// A variant that is a reference, resolved; any other as it is.
class TValue {
public:
    explicit TValue(const VARIANT& V) : FValue(&V) {
        if (V.vt & VT_BYREF) {
            KoOleCheck(VariantCopyInd(FCopy.Receive(), KoIn(V)));
            FValue = &FCopy.Get();
        }
    }
    const VARIANT& operator*() const { return *FValue; }
    const VARIANT* operator->() const { return FValue; }

private:
    TKoOleVariant FCopy;
    const VARIANT* FValue;
};

std::wstring BstrText(const VARIANT& V) {
    return V.bstrVal ? std::wstring(V.bstrVal, SysStringLen(V.bstrVal)) : std::wstring();
}

// The bounds of every dimension of an array, dimension 1 first.
std::vector<std::pair<LONG, LONG>> ArrayBounds(SAFEARRAY* Array) {
    std::vector<std::pair<LONG, LONG>> Bounds(SafeArrayGetDim(Array));
    for (UINT D = 0; D < Bounds.size(); ++D) {
        KoOleCheck(SafeArrayGetLBound(Array, D + 1, &Bounds[D].first));
        KoOleCheck(SafeArrayGetUBound(Array, D + 1, &Bounds[D].second));
    }
    return Bounds;
}

// The element at the lowest index of every dimension.
TKoOleVariant FirstElement(const VARIANT& V) {
    SAFEARRAY* Array = KoVariantArray(V);
    if (!Array) throw EKoOleError(DISP_E_TYPEMISMATCH);
    std::vector<LONG> Indices;
    for (const auto& Bound : ArrayBounds(Array)) Indices.push_back(Bound.first);
    if (Indices.empty()) throw EKoOleError(DISP_E_BADINDEX);
    return KoSafeArrayGetVariant(Array, Indices.data());
}

// A type code a SAFEARRAY can hold as elements; VT_VARIANT for those it cannot.
VARTYPE ArrayElementType(TKoVarDataType DataType) {
    const VARTYPE Type = KoVarDataTypeToVarType(DataType, false);
    switch (Type) {
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_VARIANT:
    case VT_UNKNOWN:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
        return Type;
    default:
        return VT_VARIANT;
    }
}

TKoOleVariant EmptyArray(TKoVarDataType DataType) {
    const VARTYPE Type = ArrayElementType(DataType);
    TKoSafeArray Array(Type, {{0, -1}});
    return TKoOleVariant::TakeArray(Type, Array.Release());
}

// Halves away from zero; a value outside the target type fails as the platform's overflow.
template <class TInt> TInt RoundToInteger(double V) {
    const double Rounded = std::trunc(V > 0 ? V + 0.5 : V - 0.5);
    // The upper limit as a double is 2^n, which itself does not fit.
    if (!(Rounded >= static_cast<double>(std::numeric_limits<TInt>::min()) &&
          Rounded < -static_cast<double>(std::numeric_limits<TInt>::min())))
        throw EKoOleError(DISP_E_OVERFLOW);
    return static_cast<TInt>(Rounded);
}

// Decimal, or hexadecimal after "$" or "0x", with an optional sign; false when the text is no
// such number or does not fit between Min and Max.
bool ParseInteger(const std::wstring& Source, int64_t Min, int64_t Max, int64_t& Result) {
    return KoParseInteger(Source, Min, Max, 0, Result);
}

// Equality of two scalars of one plain numeric type without going through the platform;
// Decided is false when the values need the general comparison.
bool SameScalar(const VARIANT& A, const VARIANT& B, bool& Decided) {
    Decided = A.vt == B.vt;
    if (!Decided) return false;
    switch (A.vt) {
    case VT_R8:
    case VT_DATE:
        return A.dblVal == B.dblVal;
    case VT_I4:
        return A.lVal == B.lVal;
    case VT_UI4:
        return A.ulVal == B.ulVal;
    case VT_I8:
        return A.llVal == B.llVal;
    case VT_BOOL:
        return (A.boolVal != VARIANT_FALSE) == (B.boolVal != VARIANT_FALSE);
    default:
        Decided = false;
        return false;
    }
}

bool ValuesEqual(const VARIANT& A, const VARIANT& B) {
    bool Decided;
    const bool Equal = SameScalar(A, B, Decided);
    return Decided ? Equal : VariantsEqual(A, B, false);
}

} // namespace

TKoOleVariant KoBadValueAsDataType(TKoVarDataType DataType) {
    TKoOleVariant Result;
    switch (DataType) {
    case vdtNull:
        Result = TKoOleVariant::Null();
        break;
    case vdtSmallint:
    case vdtInteger:
    case vdtLongWord:
    case vdtInt64:
        Result = TKoOleVariant(KoBadInteger);
        break;
    case vdtSingle:
        Result = KoVariantOf(KoBadSingle);
        break;
    case vdtDouble:
    case vdtCurrency:
        Result = TKoOleVariant(KoBadFloat);
        break;
    case vdtDate:
        Result = TKoOleVariant::Date(KoBadDateTime);
        break;
    case vdtOleStr:
        Result = TKoOleVariant(KoBadString);
        break;
    case vdtBoolean:
        Result = TKoOleVariant(false);
        break;
    case vdtShortint:
    case vdtByte:
    case vdtWord:
        Result = TKoOleVariant(int32_t{0});
        break;
    default:
        break;
    }
    // An empty value stays empty: no data type has a bad value to convert it to.
    if (DataType != vdtDefault && DataType != vdtVariant && VarHasValue(Result)) {
        const VARTYPE Type = KoVarDataTypeToVarType(DataType, false);
        if (Result.Type() != Type) Result = KoChangeType(Result, Type);
    }
    return Result;
}

// ---- construction ----

TKoVar::TKoVar(TKoComponent* AOwner)
    : TKoComponent(AOwner), FChangeSignal(std::make_unique<TKoVarChangeSignal>(this)) {
    InitID();
    SetCaption(Name());
    FAccess = daFull;
    FChangeFilter = cfQualityValue;
    ResetValidity();
}

TKoVar::~TKoVar() {
    // The slots hear of the variable's end before anything else goes.
    FChangeSignal.reset();
}

void TKoVar::BeforeDestruction() {
    TKoComponent::BeforeDestruction();
    FChangeSignal.reset();
}

size_t TKoVar::Index(TKoVarPropType Prop) {
    if (Prop < 0 || Prop >= KoVarPropTypeCount)
        throw EKoVarException(KoFormat(L"Invalid variable property %d", static_cast<int>(Prop)));
    return static_cast<size_t>(Prop);
}

void TKoVar::InitID() {
    if (Owner() && Owner()->IsLoading()) return; // the definition supplies the identifier
    FID = ++GLastID;
}

int32_t TKoVar::LastID() {
    return GLastID;
}

void TKoVar::SetID(int32_t Value) {
    if (Value == FID) return;
    FID = Value;
    if (Value > GLastID) GLastID = Value;
    ConfigChanged();
}

void TKoVar::Notification(TKoComponent* AComponent, TKoOperation Operation) {
    if (Operation == opInsert && AComponent != this && AComponent && AComponent->Owner() == Owner()) {
        auto* Other = dynamic_cast<TKoVar*>(AComponent);
        if (Other && Other->FID == FID) Other->InitID();
    }
    TKoComponent::Notification(AComponent, Operation);
}

void TKoVar::SetName(const std::wstring& NewName) {
    const bool Follows = FCaption == Name();
    TKoComponent::SetName(NewName);
    if (Follows) SetCaption(NewName);
}

std::wstring TKoVar::VarPath() const {
    return Owner() ? Owner()->Name() + L"." + Name() : Name();
}

void TKoVar::SetActive(bool Value) {
    if (!FChangeSignal || Value == FChangeSignal->Active()) return;
    FChangeSignal->SetActive(Value);
    ConfigChanged();
}

void TKoVar::SetReadOnly(bool Value) {
    if (Value == FReadOnly) return;
    FReadOnly = Value;
    ConfigChanged();
}

void TKoVar::SetDisplayFormat(const std::wstring& Value) {
    if (Value == FDisplayFormat) return;
    FDisplayFormat = Value;
    ConfigChanged();
}

void TKoVar::SetRangeMode(TKoVarRangeMode Value) {
    if (Value == FRangeMode) return;
    FRangeMode = Value;
    RangeChanged();
}

void TKoVar::SetAlarmMode(TKoVarAlarmMode Value) {
    if (Value == FAlarmMode) return;
    Updating([&] {
        FAlarmMode = Value;
        // The limits count as changed so that the alarm state is recomputed at once.
        FChangedProps = FChangedProps + LimitProps;
        ConfigChanged();
    });
}

void TKoVar::Loaded() {
    TKoComponent::Loaded();
    ResetValidity();
    ApplyInitialValue();
    ConfigChanged();
    Changed();
    RangeChanged();
}

// ---- texts ----

void TKoVar::SetCaption(const std::wstring& Value) {
    SetStringProp(vpCaption, FCaption, Value, vpqBad, true);
}

void TKoVar::SetDescription(const std::wstring& Value) {
    SetStringProp(vpDescription, FDescription, Value, vpqGood, true);
}

void TKoVar::SetAlarmText(const std::wstring& Value) {
    SetStringProp(vpAlarmText, FAlarmText, Value, vpqBad, true);
}

void TKoVar::SetAlarmHelp(const std::wstring& Value) {
    SetStringProp(vpAlarmHelp, FAlarmHelp, Value, vpqBad, true);
}

// ---- reading ----

TKoOleVariant TKoVar::GetPropValue(TKoVarPropType Prop) const {
    if (FPropQuality[Index(Prop)] == vpqBad) return TKoOleVariant();
    return GetPropValueGood(Prop);
}

TKoOleVariant TKoVar::GetPropValueGood(TKoVarPropType Prop) const {
    switch (Prop) {
    case vpCaption:
        return TKoOleVariant(FCaption);
    case vpAlarmState:
        return KoVariantOf(static_cast<uint8_t>(FAlarmState));
    case vpDescription:
        return TKoOleVariant(FDescription);
    case vpAlarmText:
        return TKoOleVariant(FAlarmText);
    case vpAlarmHelp:
        return TKoOleVariant(FAlarmHelp);
    default:
        return TKoOleVariant::Null();
    }
}

bool TKoVar::GetPropReadOnly(TKoVarPropType Prop) const {
    switch (Prop) {
    case vpValue:
    case vpDiff:
        return FReadOnly;
    case vpCaption:
    case vpDescription:
    case vpAlarmText:
    case vpAlarmHelp:
        return false;
    case vpEngUnit:
    case vpAlarmLow:
    case vpAlarmHigh:
    case vpWarnLow:
    case vpWarnHigh:
    case vpSetpoint:
        return !PropSupported(Prop);
    default:
        return true;
    }
}

TKoVarDataType TKoVar::GetPropDataType(TKoVarPropType Prop) const {
    switch (Prop) {
    case vpCaption:
    case vpEngUnit:
    case vpDescription:
    case vpAlarmText:
    case vpAlarmHelp:
        return vdtOleStr;
    default:
        return vdtDefault;
    }
}

bool TKoVar::GetPropIsArray(TKoVarPropType /*Prop*/) const {
    return false;
}

bool TKoVar::PropSupported(TKoVarPropType Prop) const {
    switch (Prop) {
    case vpValue:
    case vpCaption:
    case vpAlarmState:
    case vpDescription:
    case vpAlarmText:
    case vpAlarmHelp:
        return true;
    default:
        return false;
    }
}

TKoVarQuality TKoVar::PropQualityOfEmptyString(TKoVarPropType Prop) const {
    switch (Prop) {
    case vpValue:
        return FQualityOfEmptyString;
    case vpDescription:
    case vpAlarmText:
    case vpAlarmHelp:
        return vpqGood;
    default:
        return vpqBad;
    }
}

TKoVarPropType TKoVar::NewestProp(TKoVarPropTypes Props) const {
    if (Props.Empty()) throw EKoException(L"NewestProp cannot be defined when Props is empty");
    int Newest = -1;
    for (int P = 0; P < KoVarPropTypeCount; ++P) {
        if (!Props.Contains(static_cast<TKoVarPropType>(P))) continue;
        if (Newest < 0 || FPropTimestamp[P] > FPropTimestamp[Newest]) Newest = P;
    }
    return static_cast<TKoVarPropType>(Newest);
}

// ---- quality of values ----

TKoVarQuality TKoVar::QualityOfFloat(double AValue) {
    return std::isfinite(AValue) && AValue != KoBadFloat ? vpqGood : vpqBad;
}

TKoVarQuality TKoVar::QualityOfSingle(float AValue) {
    return std::isfinite(AValue) && AValue != KoBadSingle ? vpqGood : vpqBad;
}

TKoVarQuality TKoVar::QualityOfInteger(int32_t AValue) {
    return AValue == KoBadInteger ? vpqBad : vpqGood;
}

TKoVarQuality TKoVar::QualityOfInt64(int64_t AValue) {
    return AValue == KoBadInt64 ? vpqBad : vpqGood;
}

TKoVarQuality TKoVar::QualityOfDateTime(double AValue) {
    if (AValue > -1 && AValue < 0) return vpqBad;
    return AValue >= -657434.0 && AValue <= 2958465.99999 ? vpqGood : vpqBad;
}

TKoVarQuality TKoVar::QualityOfString(std::wstring_view AValue, TKoVarQuality QualityOfEmptyString) {
    if (AValue.empty()) return QualityOfEmptyString;
    return AValue == KoBadString ? vpqBad : vpqGood;
}

TKoVarQuality TKoVar::QualityOfVariant(const VARIANT& AValue, TKoVarQuality QualityOfEmptyString) {
    switch (AValue.vt) { // the frequent cases first
    case VT_R8:
        return QualityOfFloat(AValue.dblVal);
    case VT_I4:
        return QualityOfInteger(AValue.lVal);
    default:
        break;
    }
    const TValue V(AValue);
    if (V->vt & VT_ARRAY) return VarArrayElementCount(*V) > 0 ? vpqGood : vpqBad;
    switch (VariantClass(*V)) {
    case vcNull:
        return vpqBad;
    case vcInteger:
        return QualityOfInteger(KoChangeType(*V, VT_I4).Get().lVal);
    case vcFloat:
        if (V->vt == VT_R4) return QualityOfSingle(V->fltVal);
        return QualityOfFloat(V->vt == VT_R8 ? V->dblVal : KoChangeType(*V, VT_R8).Get().dblVal);
    case vcString:
        return V->vt == VT_BSTR ? QualityOfString(std::wstring_view(V->bstrVal ? V->bstrVal : L"",
                                                                    SysStringLen(V->bstrVal)),
                                                  QualityOfEmptyString)
                                : vpqGood;
    case vcDate:
        return QualityOfDateTime(V->date);
    case vcBigInt:
        return QualityOfInt64(V->vt == VT_UI4 ? static_cast<int64_t>(V->ulVal) : V->llVal);
    default:
        return vpqGood;
    }
}

// ---- the write path ----

bool TKoVar::PropEquals(TKoVarPropType Prop, const VARIANT& AValue, TKoVarQuality AQuality,
                        int ArrayElementIndex, int ArrayLength) {
    const size_t I = Index(Prop);
    if (FPropTimestamp[I] == 0 || FChangeFilter == cfQualityValueTimestamp || FPropQuality[I] != AQuality)
        return false;
    if (FChangeFilter == cfQuality || AQuality == vpqBad) return true;
    const TKoOleVariant Stored = GetPropValueGood(Prop);
    SAFEARRAY* Part = KoVariantArray(AValue);
    SAFEARRAY* Whole = KoVariantArray(Stored);
    if (ArrayElementIndex != 0 && Part && Whole && SafeArrayGetDim(Part) == 1 && GetPropIsArray(Prop)) {
        const int WholeLength = VarArrayLength(Stored);
        if (ArrayLength != WholeLength) {
            // Compare the stretch of the stored array that the partial value would replace.
            try {
                const int Length = ArrayLength != 0 ? ArrayLength : VarArrayLength(AValue);
                LONG PartLow = 0, WholeLow = 0;
                KoOleCheck(SafeArrayGetLBound(Part, 1, &PartLow));
                KoOleCheck(SafeArrayGetLBound(Whole, 1, &WholeLow));
                if (Length > VarArrayLength(AValue) || ArrayElementIndex + Length > WholeLength) return false;
                for (int K = 0; K < Length; ++K) {
                    LONG PartIndex = PartLow + K, WholeIndex = WholeLow + ArrayElementIndex + K;
                    if (!VariantsEqual(KoSafeArrayGetVariant(Part, &PartIndex),
                                       KoSafeArrayGetVariant(Whole, &WholeIndex), false))
                        return false;
                }
                return true;
            } catch (const EKoError&) {
                return false;
            }
        }
    }
    return ValuesEqual(Stored, AValue);
}

bool TKoVar::CanChange(TKoVarPropType Prop, VARIANT& Value, int ArrayElementIndex, int ArrayLength,
                       TKoVarQuality& Quality) {
    if (PropEquals(Prop, Value, Quality, ArrayElementIndex, ArrayLength)) return false;
    if (!IsUpdatingProp(Prop)) {
        if (GetPropReadOnly(Prop)) ReadOnlyError();
        if (DoChanging(Prop, Value, Quality) != crAccept) return false;
    }
    CheckRange(Prop, Value, Quality);
    return true;
}

bool TKoVar::CanChangeFloat(TKoVarPropType Prop, double& Value, TKoVarQuality& Quality) {
    TKoOleVariant V(Value);
    const bool Result = CanChange(Prop, V.Get(), 0, 0, Quality);
    if (V.Type() == VT_R8)
        Value = V.Get().dblVal;
    else if (VarHasValue(V))
        Value = KoChangeType(V, VT_R8).Get().dblVal;
    else
        Quality = vpqBad;
    return Result;
}

bool TKoVar::CanChangeInteger(TKoVarPropType Prop, int32_t& Value, TKoVarQuality& Quality) {
    TKoOleVariant V(Value);
    const bool Result = CanChange(Prop, V.Get(), 0, 0, Quality);
    if (V.Type() == VT_I4)
        Value = V.Get().lVal;
    else if (VarHasValue(V))
        Value = KoChangeType(V, VT_I4).Get().lVal;
    else
        Quality = vpqBad;
    return Result;
}

bool TKoVar::CanChangeString(TKoVarPropType Prop, std::wstring& Value, TKoVarQuality& Quality) {
    TKoOleVariant V(Value);
    const bool Result = CanChange(Prop, V.Get(), 0, 0, Quality);
    if (V.Type() == VT_BSTR)
        Value = BstrText(V);
    else if (VarHasValue(V))
        Value = BstrText(KoChangeType(V, VT_BSTR));
    else
        Quality = vpqBad;
    return Result;
}

template <class THandler, class... TArgs>
void TKoVar::CallHandler(const wchar_t* HandlerName, THandler& Handler, TArgs&&... Args) {
    try {
        Handler(std::forward<TArgs>(Args)...);
    } catch (...) {
        const auto [Class, Message] = KoCurrentErrorInfo();
        throw EKoVarException(KoFormat(L"Exception '%s' in %s handler (Variable=%s): %s", Class, HandlerName,
                                       VarPath(), Message));
    }
}

TKoVarChangingResponse TKoVar::AskChanging(TKoVarPropType Prop, VARIANT& Value, TKoVarQuality& Quality) {
    TKoVarChangingResponse Response = crAccept;
    if (OnChanging) CallHandler(L"OnChanging", OnChanging, this, Prop, Value, Quality, Response);
    if (Response == crAccept && FChangeSignal->SlotCount() > 0)
        FChangeSignal->EmitChanging(Prop, Value, Quality, Response);
    return Response;
}

TKoVarChangingResponse TKoVar::DoChanging(TKoVarPropType Prop, VARIANT& Value, TKoVarQuality& Quality) {
    if (!Active()) return crAccept;
    TKoVarChangingResponse Response = crAccept;
    try {
        Response = AskChanging(Prop, Value, Quality);
    } catch (const EKoVarChangeReject&) {
        throw;
    } catch (...) {
        const auto [Class, Message] = KoCurrentErrorInfo();
        ChangeRejectError(Prop, Value, nullptr, (Class + L": " + Message).c_str(), Quality);
    }
    if (Response == crReject) ChangeRejectError(Prop, Value, nullptr, nullptr, Quality);
    return Response;
}

void TKoVar::ChangeRejectError(TKoVarPropType Prop, const VARIANT& Value, const EKoError* Error,
                               const wchar_t* ErrorClass, TKoVarQuality Quality) {
    std::wstring Cause;
    if (Error)
        Cause = std::wstring(L"; ") + Error->ClassName() + L": " + Error->Message();
    else if (ErrorClass)
        Cause = std::wstring(L"; ") + ErrorClass; // already "class: message"
    throw EKoVarChangeReject(KoFormat(L"VarProp change rejected: %s[%s] Value:%s  Quality:%s%s", Name(),
                                      KoVarPropName(Prop), ValueText(Value), KoVarQualityName(Quality),
                                      Cause));
}

void TKoVar::ReadOnlyError() {
    throw EKoReadOnly(KoFormat(L"%s is read-only", FCaption));
}

void TKoVar::CheckRange(TKoVarPropType Prop, const VARIANT& Value, TKoVarQuality& Quality) {
    if (FRangeMode != rmNone && Quality != vpqBad && !InRange(Prop, Value)) RangeError(Prop, Value, Quality);
}

void TKoVar::RangeError(TKoVarPropType Prop, const VARIANT& Value, TKoVarQuality& Quality) {
    switch (FRangeMode) {
    case rmException: {
        std::wstring Msg = GetRangeErrorText(Prop, Value);
        bool Raise = true;
        if (OnRangeError) {
            TKoOleVariant Copy(Value);
            OnRangeError(this, Prop, Copy.Get(), Msg, Raise);
        }
        if (Raise) throw EKoRangeError(Msg);
        break;
    }
    case rmUndefine:
        Quality = vpqBad;
        break;
    default:
        break;
    }
}

bool TKoVar::InRange(TKoVarPropType /*Prop*/, const VARIANT& /*AValue*/) {
    return true;
}

std::wstring TKoVar::GetRangeErrorText(TKoVarPropType Prop, const VARIANT& Value) {
    return KoFormat(L"Value %s out of range Variable=%s, VarProp=%s", ValueText(Value), Name(),
                    KoVarPropName(Prop));
}

void TKoVar::SetFloatProp(TKoVarPropType Prop, double& Field, double Value, bool CallChanging) {
    TKoVarQuality Q = QualityOfFloat(Value);
    if (!CanChangeFloat(Prop, Value, Q)) return;
    BeginUpdateProp(Prop);
    try {
        Field = Value;
        UpdateProp(Prop, Q, NowUTC());
    } catch (...) {
        EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProp(Prop, Q, CallChanging, 0);
}

void TKoVar::SetIntegerProp(TKoVarPropType Prop, int32_t& Field, int32_t Value, bool CallChanging) {
    TKoVarQuality Q = QualityOfInteger(Value);
    if (!CanChangeInteger(Prop, Value, Q)) return;
    BeginUpdateProp(Prop);
    try {
        Field = Value;
        UpdateProp(Prop, Q, NowUTC());
    } catch (...) {
        EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProp(Prop, Q, CallChanging, 0);
}

void TKoVar::SetStringProp(TKoVarPropType Prop, std::wstring& Field, std::wstring Value,
                           TKoVarQuality EmptyQuality, bool CallChanging) {
    TKoVarQuality Q = QualityOfString(Value, EmptyQuality);
    if (!CanChangeString(Prop, Value, Q)) return;
    BeginUpdateProp(Prop);
    try {
        Field = std::move(Value);
        UpdateProp(Prop, Q, NowUTC());
    } catch (...) {
        EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProp(Prop, Q, CallChanging, 0);
}

void TKoVar::SetBoolProp(TKoVarPropType Prop, bool& Field, bool Value, bool CallChanging) {
    TKoVarQuality Q = vpqGood;
    TKoOleVariant V(Value);
    if (!CanChange(Prop, V.Get(), 0, 0, Q)) return;
    BeginUpdateProp(Prop);
    try {
        Field = Value; // the value given, whatever a handler made of it
        UpdateProp(Prop, Q, NowUTC());
    } catch (...) {
        EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProp(Prop, Q, CallChanging, 0);
}

// ---- writing ----

void TKoVar::SetPropValue(TKoVarPropType Prop, const VARIANT& AValue) {
    if (QualityOfVariant(AValue, PropQualityOfEmptyString(Prop)) != vpqBad)
        SetPropValueGood(Prop, AValue);
    else
        Undefine(Prop, 0);
}

namespace {
// A value as text: texts as they are, Booleans by name, anything else by its text form.
std::wstring VariantAsText(TKoVar& Var, const VARIANT& Value) {
    const TValue V(Value);
    if (V->vt == VT_BSTR) return BstrText(*V);
    if (V->vt == VT_BOOL) return Var.BoolToStr(V->boolVal != VARIANT_FALSE);
    return VariantToText(*V, false);
}
} // namespace

void TKoVar::SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) {
    switch (Prop) {
    case vpCaption:
        SetCaption(VariantAsText(*this, Value));
        break;
    case vpDescription:
        SetDescription(VariantAsText(*this, Value));
        break;
    case vpAlarmText:
        SetAlarmText(VariantAsText(*this, Value));
        break;
    case vpAlarmHelp:
        SetAlarmHelp(VariantAsText(*this, Value));
        break;
    default:
        throw EKoReadOnly(std::wstring(KoVarPropName(Prop)) + L" cannot be changed for " + ClassName());
    }
}

void TKoVar::SetPropValueAt(TKoVarPropType Prop, const VARIANT& AValue, TKoVarQuality AQuality,
                            double ATimeStamp, bool DoChangingEvents, TKoVarDataType DataType, bool IsArray) {
    const size_t I = Index(Prop);
    if (ATimeStamp <= 0) return;
    const TKoVarQuality EmptyQuality = PropQualityOfEmptyString(Prop);
    TKoOleVariant Value(AValue);
    if (AQuality != vpqBad && QualityOfVariant(Value, EmptyQuality) == vpqBad) AQuality = vpqBad;
    TKoVarChangingResponse Response = DoChanging(Prop, Value.Get(), AQuality);
    if (!DoChangingEvents) Response = crAccept;
    if (Response != crAccept) return;
    if (AQuality != vpqBad && QualityOfVariant(Value, EmptyQuality) == vpqBad) AQuality = vpqBad;

    const bool Valid = FPropTimestamp[I] != 0;
    if (Valid) {
        bool Changes = FChangeFilter == cfQualityValueTimestamp && ATimeStamp != FPropTimestamp[I];
        if (!Changes) {
            if (FPropQuality[I] != AQuality)
                Changes = true;
            else if (FChangeFilter == cfQuality || AQuality == vpqBad)
                return;
            else
                Changes = !ValuesEqual(GetPropValueGood(Prop), Value);
        }
        if (!Changes) return;
    }

    BeginUpdateProp(Prop);
    try {
        if (FPropQuality[I] != AQuality || !Valid) UpdateProp(Prop, AQuality, ATimeStamp);
        if (AQuality != vpqBad) {
            try {
                if (IsArray || (DataType == vdtDefault && GetPropIsArray(Prop) && (Value.Type() & VT_ARRAY)))
                    SetPropAsArray(Prop, Value, DataType);
                else
                    SetPropAsDataType(Prop, Value, DataType);
                if (FChangeFilter == cfQualityValueTimestamp) IncludeChanged(Prop);
            } catch (...) {
                AQuality = vpqBad;
            }
        }
    } catch (...) {
        EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProp(Prop, AQuality, false, ATimeStamp);
}

void TKoVar::SetPropQuality(TKoVarPropType Prop, TKoVarQuality AQuality) {
    TKoOleVariant V = AQuality != vpqBad ? GetPropValue(Prop) : TKoOleVariant();
    if (!CanChange(Prop, V.Get(), 0, 0, AQuality)) return;
    BeginUpdateProp(Prop);
    try {
        // A handler may have replaced the value.
        if (AQuality != vpqBad && VarHasValue(V) && !ValuesEqual(V, GetPropValue(Prop)))
            SetPropValue(Prop, V);
        UpdateProp(Prop, AQuality, NowUTC());
    } catch (...) {
        EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProp(Prop, AQuality, true, 0);
}

void TKoVar::Undefine(TKoVarPropType Prop, double ATimestamp) {
    SetPropValueAt(Prop, TKoOleVariant::Null(), vpqBad, ATimestamp == 0 ? NowUTC() : ATimestamp, true,
                   vdtDefault, false);
}

void TKoVar::UndefineProps(TKoVarPropTypes Props, double ATimestamp) {
    const double T = ATimestamp == 0 ? NowUTC() : ATimestamp;
    Updating([&] {
        for (int P = 0; P < KoVarPropTypeCount; ++P)
            if (Props.Contains(static_cast<TKoVarPropType>(P))) Undefine(static_cast<TKoVarPropType>(P), T);
    });
}

void TKoVar::Invalidate(TKoVarPropType Prop) {
    BeginUpdateProp(Prop);
    try {
        InternalInvalidateProp(Prop);
    } catch (...) {
        EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProp(Prop, vpqBad, true, 0);
}

void TKoVar::InvalidateProps(TKoVarPropTypes Props) {
    Updating([&] {
        for (int P = 0; P < KoVarPropTypeCount; ++P)
            if (Props.Contains(static_cast<TKoVarPropType>(P))) Invalidate(static_cast<TKoVarPropType>(P));
    });
}

void TKoVar::Clear() {
    Updating([&] {
        for (int P = 0; P < KoVarPropTypeCount; ++P) UpdateProp(static_cast<TKoVarPropType>(P), vpqBad, 0);
    });
}

void TKoVar::Assign(TKoComponent* Source) {
    if (auto* Var = dynamic_cast<TKoVar*>(Source)) {
        CopyProps(KoAllVarProps, Var);
        return;
    }
    throw EKoAssignError(
        KoFormat(L"Cannot assign a %s to a %s", Source ? Source->ClassName() : L"nil", ClassName()));
}

void TKoVar::CopyProps(TKoVarPropTypes Props, TKoVar* Source) {
    if (!Source) return;
    BeginUpdate();
    for (int P = 0; P < KoVarPropTypeCount; ++P) {
        const auto Prop = static_cast<TKoVarPropType>(P);
        if (!Props.Contains(Prop)) continue;
        try {
            SetPropValue(Prop, Source->GetPropValue(Prop));
        } catch (const EKoError&) {
            // This property stays as it was; the others are still copied.
        }
    }
    EndUpdate();
}

// ---- update brackets ----

void TKoVar::EndUpdate() {
    if (--FUpdateCount < 0) {
        // Leave the counter usable: the next bracket must still notify.
        FUpdateCount = 0;
        throw EKoException(std::wstring(ClassName()) + L".EndUpdate: no matching BeginUpdate!");
    }
    if (FUpdateCount == 0) Changed();
}

void TKoVar::EndUpdateAfterError() noexcept {
    try {
        EndUpdate();
    } catch (...) {
        // The error that ended the bracket is the one to report.
    }
}

void TKoVar::BeginUpdateProp(TKoVarPropType Prop) {
    const size_t I = Index(Prop);
    BeginUpdate();
    ++FUpdatingProps[I];
}

void TKoVar::BeginUpdateProps(TKoVarPropTypes Props) {
    for (int P = 0; P < KoVarPropTypeCount; ++P)
        if (Props.Contains(static_cast<TKoVarPropType>(P))) BeginUpdateProp(static_cast<TKoVarPropType>(P));
}

void TKoVar::EndUpdateProp(TKoVarPropType Prop, TKoVarQuality Quality, bool CallChanging, double Timestamp) {
    uint8_t& Count = FUpdatingProps[Index(Prop)];
    if (Count > 0) --Count;
    try {
        if (Count == 0 && FChangedProps.Contains(Prop)) {
            if (CallChanging) {
                // The handlers see the stored change once more and may still lower the
                // quality; their answer no longer matters.
                TKoOleVariant Current = GetPropValue(Prop);
                try {
                    DoChanging(Prop, Current.Get(), Quality);
                } catch (const EKoVarChangeReject&) {
                }
            }
            UpdateProp(Prop, Quality, Timestamp);
        }
    } catch (...) {
        EndUpdateAfterError();
        throw;
    }
    EndUpdate();
}

void TKoVar::EndUpdatePropAfterError(TKoVarPropType Prop) noexcept {
    uint8_t& Count = FUpdatingProps[static_cast<size_t>(Prop)];
    if (Count > 0) --Count;
    EndUpdateAfterError();
}

void TKoVar::EndUpdateProps(TKoVarPropTypes Props, TKoVarQuality Quality, bool CallChanging,
                            double Timestamp) {
    for (int P = 0; P < KoVarPropTypeCount; ++P)
        if (Props.Contains(static_cast<TKoVarPropType>(P)))
            EndUpdateProp(static_cast<TKoVarPropType>(P), Quality, CallChanging, Timestamp);
}

// ---- bookkeeping ----

void TKoVar::UpdateProp(TKoVarPropType Prop, TKoVarQuality Quality, double Timestamp) {
    const size_t I = Index(Prop);
    FPropQuality[I] = Quality;
    if (Timestamp < 0)
        FPropTimestamp[I] = 0;
    else if (Timestamp != 0) // positive or not a number
        FPropTimestamp[I] = Timestamp;
    FChangedProps.Include(Prop);
    if (FNotifying) FLateProps.Include(Prop);
}

void TKoVar::UpdateProps(TKoVarPropTypes Props, TKoVarQuality Quality, double Timestamp) {
    for (int P = 0; P < KoVarPropTypeCount; ++P)
        if (Props.Contains(static_cast<TKoVarPropType>(P)))
            UpdateProp(static_cast<TKoVarPropType>(P), Quality, Timestamp);
}

void TKoVar::InternalInvalidateProp(TKoVarPropType Prop) {
    UpdateProp(Prop, vpqBad, -1.0);
    if (Prop == vpValue && GetPropIsValid(vpAlarmState)) InternalInvalidateProp(vpAlarmState);
}

void TKoVar::ResetValidity() {
    const TKoVarPropTypes Saved = FChangedProps;
    for (int P = 0; P < KoVarPropTypeCount; ++P)
        if (FPropQuality[P] == vpqBad) InternalInvalidateProp(static_cast<TKoVarPropType>(P));
    FChangedProps = Saved;
}

// ---- notification ----

void TKoVar::Changed() {
    for (int Round = 0; Round < MaxNotifyRounds; ++Round) {
        if (FUpdateCount > 1 || FChangedProps.Empty() || IsLoading() || IsDestroying()) return;
        ++FUpdateCount;
        try {
            if (!(FChangedProps * StatisticProps).Empty()) Update();
            UpdateAlarmState();
            // What the handlers change from here on is a change of its own, told next round.
            FNotifying = true;
            FLateProps = TKoVarPropTypes();
            DoChange();
        } catch (...) {
            --FUpdateCount;
            FNotifying = false;
            FChangedProps = FLateProps;
            throw;
        }
        --FUpdateCount;
        FNotifying = false;
        FChangedProps = FLateProps;
    }
}

void TKoVar::UpdateAlarmState() {
    const TKoVarQuality Q = FAlarmMode != amOff ? FPropQuality[vpValue] : vpqBad;
    TKoVarAlarmState NewState = FAlarmState;
    if (Q != vpqBad) {
        try {
            NewState = GetAlarmStateForValue(GetPropValue(vpValue));
        } catch (...) {
            NewState = asUnknown;
        }
    }
    if (FPropQuality[vpAlarmState] != Q || NewState != FAlarmState) {
        FAlarmState = NewState;
        const TKoVarPropType Cause = NewestProp(LimitProps + TKoVarPropTypes{vpValue});
        UpdateProp(vpAlarmState, Q, FPropTimestamp[Cause]);
    }
}

void TKoVar::DoChange() {
    if (!Active()) return;
    const TKoVarPropTypes Props = FChangedProps;
    if (FChangeSignal->SlotCount() > 0) FChangeSignal->EmitChange(Props);
    if (OnChange) CallHandler(L"OnChange", OnChange, this, Props);
    if (OnValueChange && Props.Contains(vpValue)) CallHandler(L"OnValueChange", OnValueChange, this);
}

void TKoVar::ConfigChanged() {
    if (FChangeSignal) FChangeSignal->EmitConfigChange();
}

void TKoVar::RangeChanged() {
    if (!IsLoading()) DoRangeChange();
}

void TKoVar::DoRangeChange() {
    if (!Active()) return;
    FChangeSignal->EmitRangeChange();
    if (OnRangeChange) OnRangeChange(this);
}

TKoVarAlarmState TKoVar::GetAlarmStateForValue(const VARIANT& AValue) {
    TKoVarAlarmState State;
    if (QualityOfVariant(AValue, PropQualityOfEmptyString(vpValue)) == vpqBad)
        State = asUnknown;
    else
        State = FAlarmMode != amOff ? DoGetAlarmStateForValue(AValue) : asNormal;
    if (OnGetAlarmState) OnGetAlarmState(this, State);
    return State;
}

// ---- values ----

void TKoVar::ApplyInitialValue() {
    if (FInitialQuality == vpqBad) return;
    SetPropValueAt(vpValue, GetInitialValue(), FInitialQuality, NowUTC(), true, vdtDefault, false);
}

TKoOleVariant TKoVar::GetInitialValue() {
    return TKoOleVariant::Null();
}

// ---- typed reads ----

bool TKoVar::GetPropAsBool(TKoVarPropType Prop) {
    if (GetPropQuality(Prop) == vpqBad) throw EKoException(L"Bad Quality");
    return GetPropAsBoolGood(Prop);
}

double TKoVar::GetPropAsDateTime(TKoVarPropType Prop) {
    return GetPropQuality(Prop) == vpqBad ? KoBadDateTime : GetPropAsDateTimeGood(Prop);
}

double TKoVar::GetPropAsFloat(TKoVarPropType Prop) {
    return GetPropQuality(Prop) == vpqBad ? KoBadFloat : GetPropAsFloatGood(Prop);
}

int64_t TKoVar::GetPropAsInt64(TKoVarPropType Prop) {
    return GetPropQuality(Prop) == vpqBad ? KoBadInt64 : GetPropAsInt64Good(Prop);
}

int32_t TKoVar::GetPropAsInteger(TKoVarPropType Prop) {
    return GetPropQuality(Prop) == vpqBad ? KoBadInteger : GetPropAsIntegerGood(Prop);
}

uint32_t TKoVar::GetPropAsLongWord(TKoVarPropType Prop) {
    return GetPropQuality(Prop) == vpqBad ? static_cast<uint32_t>(KoBadInteger) : GetPropAsLongWordGood(Prop);
}

std::wstring TKoVar::GetPropAsString(TKoVarPropType Prop) {
    return GetPropQuality(Prop) == vpqBad ? std::wstring(KoBadString) : GetPropAsStringGood(Prop);
}

bool TKoVar::GetPropAsBoolGood(TKoVarPropType Prop) {
    return GetVarPropValueAsBool(Prop, GetPropValue(Prop));
}

double TKoVar::GetPropAsDateTimeGood(TKoVarPropType Prop) {
    return GetVarPropValueAsDateTime(Prop, GetPropValue(Prop));
}

double TKoVar::GetPropAsFloatGood(TKoVarPropType Prop) {
    return GetVarPropValueAsFloat(Prop, GetPropValue(Prop));
}

int64_t TKoVar::GetPropAsInt64Good(TKoVarPropType Prop) {
    return GetVarPropValueAsInt64(Prop, GetPropValue(Prop));
}

uint32_t TKoVar::GetPropAsLongWordGood(TKoVarPropType Prop) {
    return GetVarPropValueAsLongWord(Prop, GetPropValue(Prop));
}

int32_t TKoVar::GetPropAsIntegerGood(TKoVarPropType Prop) {
    return GetVarPropValueAsInteger(Prop, GetPropValue(Prop));
}

std::wstring TKoVar::GetPropAsStringGood(TKoVarPropType Prop) {
    return GetVarPropValueAsString(Prop, GetPropValue(Prop));
}

namespace {
// Converts a non-array value to the variant type of DataType when that differs.
TKoOleVariant VarToDataType(TKoOleVariant V, TKoVarDataType DataType) {
    if (V.Type() & VT_ARRAY) return V;
    if (DataType == vdtDefault || DataType == vdtVariant) return V;
    const VARTYPE Type = KoVarDataTypeToVarType(DataType, false);
    return V.Type() == Type ? V : KoChangeType(V, Type);
}

bool IsIntegerType(TKoVarDataType T) {
    return T == vdtSmallint || T == vdtInteger || T == vdtShortint || T == vdtByte || T == vdtWord;
}

bool IsFloatType(TKoVarDataType T) {
    return T == vdtSingle || T == vdtDouble || T == vdtCurrency;
}
} // namespace

TKoOleVariant TKoVar::GetPropAsDataType(TKoVarPropType Prop, TKoVarDataType DataType) {
    if (DataType == vdtDefault) DataType = GetPropDataType(Prop);
    if (GetPropQuality(Prop) == vpqBad) return KoBadValueAsDataType(DataType);
    TKoOleVariant Result = GetPropAsDataTypeGood(Prop, DataType);
    if (QualityOfVariant(Result, PropQualityOfEmptyString(Prop)) == vpqBad)
        throw EKoOverflow(L"Value cannot be converted to a valid value");
    return Result;
}

TKoOleVariant TKoVar::GetPropAsDataTypeGood(TKoVarPropType Prop, TKoVarDataType DataType) {
    TKoOleVariant V;
    if (DataType == vdtDefault || DataType == vdtVariant)
        V = GetPropValue(Prop);
    else if (DataType == vdtNull)
        V = TKoOleVariant::Null();
    else if (IsIntegerType(DataType))
        V = TKoOleVariant(GetPropAsInteger(Prop));
    else if (IsFloatType(DataType))
        V = TKoOleVariant(GetPropAsFloat(Prop));
    else if (DataType == vdtDate)
        V = TKoOleVariant::Date(GetPropAsDateTime(Prop));
    else if (DataType == vdtOleStr)
        V = TKoOleVariant(GetPropAsString(Prop));
    else if (DataType == vdtBoolean)
        V = TKoOleVariant(GetPropAsBool(Prop));
    else if (DataType == vdtLongWord)
        V = KoVariantOf(GetPropAsLongWord(Prop));
    else if (DataType == vdtInt64)
        V = KoVariantOf(GetPropAsInt64(Prop));
    else
        return GetVarPropValueAsDataTypeGood(Prop, GetPropValue(Prop), DataType);
    return VarToDataType(std::move(V), DataType);
}

TKoOleVariant TKoVar::GetVarPropValueAsDataType(TKoVarPropType Prop, const VARIANT& V,
                                                TKoVarDataType DataType) {
    if (V.vt == KoVarDataTypeToVarType(DataType, false)) return TKoOleVariant(V);
    if (QualityOfVariant(V, PropQualityOfEmptyString(Prop)) != vpqBad)
        return GetVarPropValueAsDataTypeGood(Prop, V, DataType);
    return KoBadValueAsDataType(DataType);
}

TKoOleVariant TKoVar::GetVarPropValueAsDataTypeGood(TKoVarPropType Prop, const VARIANT& V,
                                                    TKoVarDataType DataType) {
    TKoOleVariant R;
    if (DataType == vdtNull)
        R = TKoOleVariant::Null();
    else if (IsIntegerType(DataType))
        R = TKoOleVariant(GetVarPropValueAsInteger(Prop, V));
    else if (IsFloatType(DataType))
        R = TKoOleVariant(GetVarPropValueAsFloat(Prop, V));
    else if (DataType == vdtDate)
        R = TKoOleVariant::Date(GetVarPropValueAsDateTime(Prop, V));
    else if (DataType == vdtOleStr)
        R = TKoOleVariant(GetVarPropValueAsString(Prop, V));
    else if (DataType == vdtBoolean)
        R = TKoOleVariant(GetVarPropValueAsBool(Prop, V));
    else if (DataType == vdtLongWord)
        R = KoVariantOf(GetVarPropValueAsLongWord(Prop, V));
    else if (DataType == vdtInt64)
        R = KoVariantOf(GetVarPropValueAsInt64(Prop, V));
    else
        R = TKoOleVariant(V);
    return VarToDataType(std::move(R), DataType);
}

TKoOleVariant TKoVar::GetPropAsArray(TKoVarPropType Prop, TKoVarDataType DataType) {
    if (DataType == vdtDefault) DataType = GetPropDataType(Prop);
    if (GetPropQuality(Prop) == vpqBad) return EmptyArray(DataType);
    return GetVarPropValueAsArray(Prop, GetPropValue(Prop), DataType);
}

TKoOleVariant TKoVar::GetVarPropValueAsArray(TKoVarPropType Prop, const VARIANT& Value,
                                             TKoVarDataType DataType) {
    const TValue V(Value);
    if (SAFEARRAY* Source = KoVariantArray(*V)) {
        if (VarTypeToKoVarDataType(static_cast<VARTYPE>(V->vt & ~(VT_ARRAY | VT_BYREF))) == DataType)
            return TKoOleVariant(*V);
        const auto Bounds = ArrayBounds(Source);
        if (Bounds.empty()) return EmptyArray(DataType);
        const VARTYPE Type = ArrayElementType(DataType);
        TKoSafeArray Result(Type, {Bounds[0]});
        std::vector<LONG> Indices;
        for (const auto& Bound : Bounds) Indices.push_back(Bound.first);
        for (LONG I = Bounds[0].first; I <= Bounds[0].second; ++I) {
            Indices[0] = I;
            const TKoOleVariant Element = KoSafeArrayGetVariant(Source, Indices.data());
            KoSafeArrayPutVariant(Result.Get(), &I, GetVarPropValueAsDataType(Prop, Element, DataType));
        }
        return TKoOleVariant::TakeArray(Type, Result.Release());
    }
    if (V->vt == VT_BSTR) {
        std::wstring Text = BstrText(*V);
        if (Text.size() >= 2 && Text.front() == L'[' && Text.back() == L']')
            Text = Text.substr(1, Text.size() - 2);
        if (Text.empty()) return EmptyArray(DataType);
        TKoStringList List;
        List.SetAsCSV(Text);
        const VARTYPE Type = ArrayElementType(DataType);
        TKoSafeArray Result(Type, {{0, List.Count() - 1}});
        for (LONG I = 0; I < List.Count(); ++I)
            KoSafeArrayPutVariant(Result.Get(), &I,
                                  GetVarPropValueAsDataType(Prop, TKoOleVariant(List.Strings(I)), DataType));
        return TKoOleVariant::TakeArray(Type, Result.Release());
    }
    const VARTYPE Type = ArrayElementType(DataType);
    TKoSafeArray Result(Type, {{0, 0}});
    LONG Zero = 0;
    KoSafeArrayPutVariant(Result.Get(), &Zero, GetVarPropValueAsDataType(Prop, *V, DataType));
    return TKoOleVariant::TakeArray(Type, Result.Release());
}

bool TKoVar::GetVarPropValueAsBool(TKoVarPropType Prop, const VARIANT& Value) {
    const TValue Ref(Value);
    if (Ref->vt & VT_ARRAY) return GetVarPropValueAsBool(Prop, FirstElement(*Ref));
    const VARIANT& V = *Ref;
    switch (VariantClass(V)) {
    case vcNull:
        throw EKoException(L"Bad Quality");
    case vcBoolean:
        return V.boolVal != VARIANT_FALSE;
    case vcString:
        return StrToBool(BstrText(KoChangeType(V, VT_BSTR)));
    case vcInteger:
    case vcBigInt:
        return KoChangeType(V, VT_I8).Get().llVal != 0;
    case vcFloat:
    case vcDate:
        return KoChangeType(V, VT_R8).Get().dblVal != 0;
    default:
        throw EKoException(L"Cannot convert Value to Boolean");
    }
}

double TKoVar::GetVarPropValueAsFloat(TKoVarPropType Prop, const VARIANT& Value) {
    const TValue Ref(Value);
    if (Ref->vt & VT_ARRAY) {
        SAFEARRAY* Array = KoVariantArray(*Ref);
        const UINT Dims = Array ? SafeArrayGetDim(Array) : 0;
        if (Dims >= 1 && Dims <= 3) return GetVarPropValueAsFloat(Prop, FirstElement(*Ref));
    }
    if (Ref->vt == VT_R8) return Ref->dblVal;
    if (Ref->vt == VT_BOOL) return Ref->boolVal != VARIANT_FALSE ? 1 : 0;
    return KoChangeType(*Ref, VT_R8).Get().dblVal;
}

double TKoVar::GetVarPropValueAsDateTime(TKoVarPropType Prop, const VARIANT& Value) {
    const TValue Ref(Value);
    if (Ref->vt == VT_BSTR) {
        DATE Result = 0;
        std::wstring Text = BstrText(*Ref);
        KoOleCheck(VarDateFromStr(Text.data(), LOCALE_USER_DEFAULT, 0, &Result));
        return Result;
    }
    return GetVarPropValueAsFloat(Prop, *Ref);
}

int32_t TKoVar::GetVarPropValueAsInteger(TKoVarPropType Prop, const VARIANT& Value) {
    const TValue Ref(Value);
    if (Ref->vt & VT_ARRAY) return GetVarPropValueAsInteger(Prop, FirstElement(*Ref));
    const VARIANT& V = *Ref;
    switch (VariantClass(V)) {
    case vcBoolean:
        return V.boolVal != VARIANT_FALSE ? 1 : 0;
    case vcFloat:
    case vcDate:
        return RoundToInteger<int32_t>(KoChangeType(V, VT_R8).Get().dblVal);
    case vcString:
        return StrToInt(BstrText(KoChangeType(V, VT_BSTR)));
    default:
        return KoChangeType(V, VT_I4).Get().lVal;
    }
}

int64_t TKoVar::GetVarPropValueAsInt64(TKoVarPropType Prop, const VARIANT& Value) {
    const TValue Ref(Value);
    if (Ref->vt & VT_ARRAY) return GetVarPropValueAsInt64(Prop, FirstElement(*Ref));
    const VARIANT& V = *Ref;
    switch (VariantClass(V)) {
    case vcBoolean:
        return V.boolVal != VARIANT_FALSE ? 1 : 0;
    case vcFloat:
    case vcDate:
        return RoundToInteger<int64_t>(KoChangeType(V, VT_R8).Get().dblVal);
    case vcString:
        return StrToInt64(BstrText(KoChangeType(V, VT_BSTR)));
    default:
        return KoChangeType(V, VT_I8).Get().llVal;
    }
}

uint32_t TKoVar::GetVarPropValueAsLongWord(TKoVarPropType Prop, const VARIANT& Value) {
    const TValue Ref(Value);
    if (Ref->vt & VT_ARRAY) return GetVarPropValueAsLongWord(Prop, FirstElement(*Ref));
    const VARIANT& V = *Ref;
    switch (VariantClass(V)) {
    case vcBoolean:
        return V.boolVal != VARIANT_FALSE ? 1 : 0;
    case vcInteger: {
        const int64_t N = KoChangeType(V, VT_I8).Get().llVal;
        if (N < 0) throw EKoIntOverflow(KoFormat(L"Cannot convert value %d to LongWord", N));
        return static_cast<uint32_t>(N);
    }
    case vcFloat:
    case vcDate: {
        const double D = KoChangeType(V, VT_R8).Get().dblVal;
        // Beyond the 32-bit range the number fails the same way as below it.
        if (D < 0 || !(D < 4294967295.5))
            throw EKoIntOverflow(KoFormat(L"Cannot convert value %g to LongWord", D));
        return static_cast<uint32_t>(RoundToInteger<int64_t>(D));
    }
    case vcString: {
        const int64_t N = StrToInt64(BstrText(KoChangeType(V, VT_BSTR)));
        if (N < 0) throw EKoIntOverflow(KoFormat(L"Cannot convert value %d to LongWord", N));
        return static_cast<uint32_t>(N);
    }
    default:
        return static_cast<uint32_t>(KoChangeType(V, VT_I8).Get().llVal);
    }
}

std::wstring TKoVar::VarToDisplayString(const VARIANT& Value, TKoVarQuality QualityOfEmptyString) {
    const TValue V(Value);
    if (QualityOfVariant(*V, QualityOfEmptyString) == vpqBad) return KoBadString;
    if (V->vt == VT_DATE) return DateTimeToStr(V->date);
    if (V->vt == VT_BOOL) return BoolToStr(V->boolVal != VARIANT_FALSE);
    return VariantToText(*V, false);
}

std::wstring TKoVar::GetVarPropValueAsString(TKoVarPropType Prop, const VARIANT& Value) {
    const TValue V(Value);
    if (SAFEARRAY* Array = KoVariantArray(*V)) {
        const auto Bounds = ArrayBounds(Array);
        if (Bounds.size() == 1) {
            TKoStringList List;
            for (LONG I = Bounds[0].first; I <= Bounds[0].second; ++I)
                List.Add(VarToDisplayString(KoSafeArrayGetVariant(Array, &I), vpqGood));
            return BracketText(List.AsCSV());
        }
        if (Bounds.size() == 2) {
            // A table: one line per first index, its cells along the second index.
            std::wstring Text;
            for (LONG I = Bounds[0].first; I <= Bounds[0].second; ++I) {
                TKoStringList Row;
                for (LONG J = Bounds[1].first; J <= Bounds[1].second; ++J) {
                    LONG Indices[2] = {I, J};
                    Row.Add(VarToDisplayString(KoSafeArrayGetVariant(Array, Indices), vpqGood));
                }
                Text += Row.AsCSV() + L"\r\n";
            }
            return BracketText(Text);
        }
        return KoFormat(L"%d-dim array of Variant", static_cast<int>(Bounds.size()));
    }
    if (Prop == vpAlarmState) {
        try {
            if (V->vt == VT_BSTR) {
                const std::wstring Text = BstrText(*V);
                for (const wchar_t* Name : AlarmStateNames)
                    if (Text == Name) return Text;
            } else if (VariantClass(*V) == vcInteger || VariantClass(*V) == vcBigInt) {
                const int64_t N = KoChangeType(*V, VT_I8).Get().llVal;
                if (N >= asNormal && N <= asUnknown) return AlarmStateNames[N];
            }
        } catch (const EKoError&) {
            // reported below like any other value that names no state
        }
        throw EKoRangeError(KoFormat(L"Value <%s> is not a proper alarm state", ValueText(*V)));
    }
    return VarToDisplayString(*V, PropQualityOfEmptyString(Prop));
}

// ---- typed writes ----

void TKoVar::SetPropAsBool(TKoVarPropType Prop, bool V) {
    SetPropAsBoolGood(Prop, V);
}

void TKoVar::SetPropAsDateTime(TKoVarPropType Prop, double V) {
    if (QualityOfFloat(V) == vpqBad)
        Undefine(Prop, 0);
    else
        SetPropAsDateTimeGood(Prop, V);
}

void TKoVar::SetPropAsFloat(TKoVarPropType Prop, double V) {
    if (QualityOfFloat(V) == vpqBad)
        Undefine(Prop, 0);
    else
        SetPropAsFloatGood(Prop, V);
}

void TKoVar::SetPropAsInt64(TKoVarPropType Prop, int64_t V) {
    if (QualityOfInt64(V) == vpqBad)
        Undefine(Prop, 0);
    else
        SetPropAsInt64Good(Prop, V);
}

void TKoVar::SetPropAsInteger(TKoVarPropType Prop, int32_t V) {
    if (QualityOfInteger(V) == vpqBad)
        Undefine(Prop, 0);
    else
        SetPropAsIntegerGood(Prop, V);
}

void TKoVar::SetPropAsLongWord(TKoVarPropType Prop, uint32_t V) {
    if (static_cast<int32_t>(V) == KoBadInteger)
        Undefine(Prop, 0);
    else
        SetPropAsLongWordGood(Prop, V);
}

void TKoVar::SetPropAsString(TKoVarPropType Prop, const std::wstring& V) {
    if (QualityOfString(V, PropQualityOfEmptyString(Prop)) == vpqBad)
        Undefine(Prop, 0);
    else
        SetPropAsStringGood(Prop, V);
}

void TKoVar::SetPropAsBoolGood(TKoVarPropType Prop, bool V) {
    SetPropValueGood(Prop, TKoOleVariant(V));
}

void TKoVar::SetPropAsDateTimeGood(TKoVarPropType Prop, double V) {
    if (GetPropDataType(Prop) == vdtOleStr)
        SetPropAsStringGood(Prop, DateTimeToStr(V));
    else
        SetPropAsFloatGood(Prop, V); // a date-time travels as a double
}

void TKoVar::SetPropAsFloatGood(TKoVarPropType Prop, double V) {
    SetPropValueGood(Prop, TKoOleVariant(V));
}

void TKoVar::SetPropAsInt64Good(TKoVarPropType Prop, int64_t V) {
    if (QualityOfInt64(V) == vpqBad)
        Undefine(Prop, 0);
    else
        SetPropValueGood(Prop, KoVariantOf(V));
}

void TKoVar::SetPropAsLongWordGood(TKoVarPropType Prop, uint32_t V) {
    SetPropValueGood(Prop, KoVariantOf(V));
}

void TKoVar::SetPropAsIntegerGood(TKoVarPropType Prop, int32_t V) {
    if (QualityOfInteger(V) == vpqBad)
        Undefine(Prop, 0);
    else
        SetPropValueGood(Prop, TKoOleVariant(V));
}

void TKoVar::SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) {
    SetPropValueGood(Prop, TKoOleVariant(V));
}

void TKoVar::SetPropAsDataType(TKoVarPropType Prop, const VARIANT& Value, TKoVarDataType DataType) {
    if (QualityOfVariant(Value, PropQualityOfEmptyString(Prop)) == vpqBad) {
        SetPropQuality(Prop, vpqBad);
        return;
    }
    switch (GetPropDataType(Prop)) {
    case vdtOleStr:
        SetPropAsString(Prop, VariantAsText(*this, Value));
        return;
    case vdtBoolean:
        SetPropAsBool(Prop, KoChangeType(Value, VT_BOOL).Get().boolVal != VARIANT_FALSE);
        return;
    default:
        break;
    }
    if (IsIntegerType(DataType))
        SetPropAsInteger(Prop, KoChangeType(Value, VT_I4).Get().lVal);
    else if (IsFloatType(DataType))
        SetPropAsFloat(Prop, KoChangeType(Value, VT_R8).Get().dblVal);
    else if (DataType == vdtDate)
        SetPropAsDateTime(Prop, KoChangeType(Value, VT_DATE).Get().date);
    else if (DataType == vdtOleStr)
        SetPropAsString(Prop, VariantAsText(*this, Value));
    else if (DataType == vdtBoolean)
        SetPropAsBool(Prop, KoChangeType(Value, VT_BOOL).Get().boolVal != VARIANT_FALSE);
    else if (DataType == vdtLongWord)
        SetPropAsLongWord(Prop, static_cast<uint32_t>(KoChangeType(Value, VT_I8).Get().llVal));
    else if (DataType == vdtInt64)
        SetPropAsInt64(Prop, KoChangeType(Value, VT_I8).Get().llVal);
    else
        SetPropValue(Prop, Value);
}

void TKoVar::SetPropAsArray(TKoVarPropType Prop, const VARIANT& Value, TKoVarDataType DataType) {
    if (!KoVariantArray(Value)) throw EKoException(L"SetPropAsArray: the value is no array");
    if (GetPropIsArray(Prop))
        SetPropValue(Prop, Value);
    else if (GetPropDataType(Prop) == vdtOleStr)
        SetPropAsStringGood(Prop, ArrayToText(Value, L'\0', L'\r'));
    else
        SetPropAsDataType(Prop, FirstElement(Value), DataType);
}

// ---- text conversions ----

std::wstring TKoVar::BoolToStr(bool V) {
    return BoolNames[V ? 1 : 0];
}

std::wstring TKoVar::DateTimeToStr(double V) {
    return KoLocaleDateTimeText(V, false, true);
}

bool TKoVar::StrToBool(const std::wstring& V) {
    const std::wstring Text = KoTrim(V);
    if (KoSameText(Text, BoolNames[1])) return true;
    if (KoSameText(Text, BoolNames[0])) return false;
    int64_t N = 0;
    if (ParseInteger(Text, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), N))
        return N != 0;
    double D = 0;
    if (!Text.empty() &&
        SUCCEEDED(VarR8FromStr(const_cast<wchar_t*>(Text.c_str()), LOCALE_USER_DEFAULT, 0, &D)))
        return D != 0;
    throw EKoConvertError(KoFormat(L"'%s' is not a Boolean", V));
}

int32_t TKoVar::StrToInt(const std::wstring& V) {
    int64_t N = 0;
    if (!ParseInteger(V, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), N))
        throw EKoConvertError(KoFormat(L"'%s' is not an integer", V));
    return static_cast<int32_t>(N);
}

int64_t TKoVar::StrToInt64(const std::wstring& V) {
    int64_t N = 0;
    if (!ParseInteger(V, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), N))
        throw EKoConvertError(KoFormat(L"'%s' is not an integer", V));
    return N;
}
