#include "KoNumVars.h"

#include <cmath>
#include <limits>

#include "KoUtils.h"
#include "KoVariants.h"

namespace {

constexpr TKoVarPropTypes StatProps{vpMean, vpStdDev, vpMin, vpMax};
constexpr TKoVarPropTypes SpecProps{vpAlarmLow, vpAlarmHigh, vpWarnLow, vpWarnHigh, vpSetpoint};

bool IsLimitOrSetpoint(TKoVarPropType Prop) {
    return Prop >= vpAlarmLow && Prop <= vpSetpoint;
}

bool IsStatistic(TKoVarPropType Prop) {
    return Prop >= vpMean && Prop <= vpMax;
}

// The text of a value for a message; a value without text form gives its type.
std::wstring ValueText(const VARIANT& V) {
    try {
        return VariantToText(V, false);
    } catch (...) {
        return VarTypeToText(V.vt);
    }
}

// A value as text: texts as they are, anything else by its text form.
std::wstring VariantAsText(TKoVar& Var, const VARIANT& Value) {
    TKoOleVariant V;
    KoOleCheck(VariantCopyInd(V.Receive(), KoIn(Value)));
    if (V.Type() == VT_BSTR) {
        const BSTR Chars = V.Get().bstrVal;
        return std::wstring(Chars ? Chars : L"", SysStringLen(Chars));
    }
    if (V.Type() == VT_BOOL) return Var.BoolToStr(V.Get().boolVal != VARIANT_FALSE);
    return VariantToText(V, false);
}

// Text read as a date-time with the user's format settings; false when it is none.
bool ReadDate(const std::wstring& Text, double& Result) {
    DATE D = 0;
    if (FAILED(VarDateFromStr(const_cast<wchar_t*>(Text.c_str()), LOCALE_USER_DEFAULT, 0, &D))) return false;
    Result = D;
    return true;
}

// Text read as a number with the user's format settings; fails as the platform's conversion.
double ReadFloat(const std::wstring& Text) {
    double D = 0;
    KoOleCheck(VarR8FromStr(const_cast<wchar_t*>(Text.c_str()), LOCALE_USER_DEFAULT, 0, &D));
    return D;
}

TKoVarQuality Lower(TKoVarQuality A, TKoVarQuality B) {
    return A < B ? A : B;
}

// Whether a pair of limits takes part in the alarm rule: not when both are unset or equal,
// nor when the high one lies below the low one; with one of them unset, the other counts.
bool LimitPairActive(double Low, double High) {
    const bool LowSet = TKoVar::QualityOfFloat(Low) != vpqBad;
    const bool HighSet = TKoVar::QualityOfFloat(High) != vpqBad;
    if (LowSet != HighSet) return true;
    return LowSet && !(High <= Low);
}

} // namespace

// ---- TKoCustomInteger ----

TKoCustomInteger::TKoCustomInteger(TKoComponent* AOwner) : TKoVar(AOwner) {}

void TKoCustomInteger::SetValue(int32_t Value) {
    SetIntegerProp(vpValue, FValue, Value, false);
}

void TKoCustomInteger::AddValue(int32_t AValue) {
    if (Quality() != vpqBad)
        SetValue(static_cast<int32_t>(static_cast<uint32_t>(AValue) + static_cast<uint32_t>(FValue)));
    else
        SetValue(AValue);
}

void TKoCustomInteger::SubtractValue(int32_t AValue) {
    AddValue(static_cast<int32_t>(0u - static_cast<uint32_t>(AValue)));
}

void TKoCustomInteger::SetRangeMax(int32_t Value) {
    if (Value == FRangeMax) return;
    FRangeMax = Value;
    RangeChanged();
}

void TKoCustomInteger::SetRangeMin(int32_t Value) {
    if (Value == FRangeMin) return;
    FRangeMin = Value;
    RangeChanged();
}

TKoVarDataType TKoCustomInteger::GetPropDataType(TKoVarPropType Prop) const {
    return Prop == vpValue ? vdtInteger : TKoVar::GetPropDataType(Prop);
}

TKoOleVariant TKoCustomInteger::GetPropValueGood(TKoVarPropType Prop) const {
    return Prop == vpValue ? TKoOleVariant(FValue) : TKoVar::GetPropValueGood(Prop);
}

void TKoCustomInteger::SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) {
    if (Prop != vpValue) {
        TKoVar::SetPropValueGood(Prop, Value);
        return;
    }
    TKoOleVariant V;
    KoOleCheck(VariantCopyInd(V.Receive(), KoIn(Value)));
    if (V.Type() == VT_BOOL) {
        SetValue(V.Get().boolVal != VARIANT_FALSE ? 1 : 0);
        return;
    }
    TKoOleVariant Converted;
    if (V.Type() == VT_I4)
        Converted = V;
    else if (FAILED(VariantChangeTypeEx(Converted.Receive(), KoIn(V), LOCALE_USER_DEFAULT, 0, VT_I4)))
        throw EKoVarException(KoFormat(L"'%s' is not a valid prop value for %s[%s]", ValueText(V), Name(),
                                       KoVarPropTypeName(Prop)));
    SetValue(Converted.Get().lVal);
}

void TKoCustomInteger::SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) {
    if (Prop == vpValue)
        SetValue(StrToInt(V));
    else
        TKoVar::SetPropAsStringGood(Prop, V);
}

bool TKoCustomInteger::InRange(TKoVarPropType Prop, const VARIANT& AValue) {
    if (Prop != vpValue) return true;
    const int32_t Min = GetRangeMin(), Max = GetRangeMax();
    if (Min >= Max) return true; // no range
    int32_t V;
    if (AValue.vt == VT_I4) {
        V = AValue.lVal;
    } else {
        TKoOleVariant Converted;
        if (FAILED(VariantChangeTypeEx(Converted.Receive(), KoIn(AValue), LOCALE_USER_DEFAULT, 0, VT_I4)))
            return true; // a value that is no integer is not judged here
        V = Converted.Get().lVal;
    }
    if (V == KoBadInteger) return true;
    if (Min != KoBadInteger && V < Min) return false;
    if (Max != KoBadInteger && V > Max) return false;
    return true;
}

TKoOleVariant TKoCustomInteger::GetInitialValue() {
    return TKoOleVariant(FInitialValue);
}

// ---- TKoInteger ----

void TKoInteger::SetEngUnit(const std::wstring& Value) {
    SetStringProp(vpEngUnit, FEngUnit, Value, PropQualityOfEmptyString(vpEngUnit), true);
}

bool TKoInteger::PropSupported(TKoVarPropType Prop) const {
    return Prop == vpEngUnit || TKoCustomInteger::PropSupported(Prop);
}

TKoOleVariant TKoInteger::GetPropValueGood(TKoVarPropType Prop) const {
    return Prop == vpEngUnit ? TKoOleVariant(FEngUnit) : TKoCustomInteger::GetPropValueGood(Prop);
}

void TKoInteger::SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) {
    if (Prop == vpEngUnit)
        SetEngUnit(VariantAsText(*this, Value));
    else
        TKoCustomInteger::SetPropValueGood(Prop, Value);
}

// ---- TKoCustomFloat ----

TKoCustomFloat::TKoCustomFloat(TKoComponent* AOwner) : TKoVar(AOwner) {}

double TKoCustomFloat::Value() const {
    return Quality() != vpqBad ? FValue : KoBadFloat;
}

void TKoCustomFloat::SetValue(double AValue) {
    TKoVarQuality Q = QualityOfFloat(AValue);
    const bool Accepted = CanChangeFloat(vpValue, AValue, Q);
    // The bracket is opened even for a write that changes nothing: the statistics count it.
    BeginUpdateProp(vpValue);
    try {
        if (Accepted) {
            FValue = AValue;
            UpdateProp(vpValue, Q, NowUTC());
        }
        if (GetPropQuality(vpValue) == Q && (Q == vpqBad || FValue == AValue)) AddToStats(AValue);
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, Q, false, 0);
}

void TKoCustomFloat::AddValue(double AValue) {
    if (QualityOfFloat(AValue) == vpqBad) return;
    if (Quality() != vpqBad)
        SetValue(AValue + FValue);
    else
        SetValue(AValue);
}

void TKoCustomFloat::SubtractValue(double AValue) {
    AddValue(-AValue);
}

void TKoCustomFloat::Add(TKoCustomFloat& OtherVar) {
    AddValue(OtherVar.Value());
}

void TKoCustomFloat::SetAlarmHigh(double AValue) {
    SetFloatProp(vpAlarmHigh, FAlarmHigh, AValue, true);
}

void TKoCustomFloat::SetAlarmLow(double AValue) {
    SetFloatProp(vpAlarmLow, FAlarmLow, AValue, true);
}

void TKoCustomFloat::SetWarnHigh(double AValue) {
    SetFloatProp(vpWarnHigh, FWarnHigh, AValue, true);
}

void TKoCustomFloat::SetWarnLow(double AValue) {
    SetFloatProp(vpWarnLow, FWarnLow, AValue, true);
}

void TKoCustomFloat::SetSetpoint(double AValue) {
    SetFloatProp(vpSetpoint, FSetpoint, AValue, true);
}

void TKoCustomFloat::SetRelativeAlarmLimits(double Warn, double Alarm) {
    if (GetPropQuality(vpSetpoint) == vpqBad)
        throw EKoException(L"Setpoint must be set before calling SetRelativeAlarmLimits");
    Updating([&] {
        SetWarnHigh(FSetpoint + Warn);
        SetWarnLow(FSetpoint - Warn);
        SetAlarmHigh(FSetpoint + Alarm);
        SetAlarmLow(FSetpoint - Alarm);
    });
}

void TKoCustomFloat::ClearSpecs() {
    BeginUpdateProps(SpecProps);
    try {
        UpdateProps(SpecProps, vpqBad, NowUTC());
    } catch (...) {
        for (TKoVarPropType Prop : {vpAlarmLow, vpAlarmHigh, vpWarnLow, vpWarnHigh, vpSetpoint})
            EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProps(SpecProps, vpqBad, true, 0);
}

double TKoCustomFloat::GetDiff() const {
    return GetPropQuality(vpDiff) != vpqBad ? FValue - FSetpoint : KoBadFloat;
}

void TKoCustomFloat::SetDiff(double AValue) {
    if (GetPropQuality(vpSetpoint) != vpqBad)
        SetValue(FSetpoint + AValue);
    else
        SetValue(AValue);
}

void TKoCustomFloat::SetEngUnit(const std::wstring& Value) {
    SetStringProp(vpEngUnit, FEngUnit, Value, PropQualityOfEmptyString(vpEngUnit), true);
}

void TKoCustomFloat::SetRangeMax(double AValue) {
    if (AValue == FRangeMax) return; // a NaN never equals, so it is stored
    FRangeMax = AValue;
    RangeChanged();
}

void TKoCustomFloat::SetRangeMin(double AValue) {
    if (AValue == FRangeMin) return;
    FRangeMin = AValue;
    RangeChanged();
}

void TKoCustomFloat::SetRange(double Min, double Max) {
    FRangeMin = Min;
    FRangeMax = Max;
    RangeChanged();
}

void TKoCustomFloat::ClearRange() {
    SetRange(KoBadFloat, KoBadFloat);
}

bool TKoCustomFloat::IsValueInRange(bool Inclusive) const {
    return InRange(Value(), FRangeMin, FRangeMax, Inclusive);
}

bool TKoCustomFloat::InRange(double AValue, double Min, double Max, bool Inclusive) {
    if (QualityOfFloat(Min) != vpqBad && (Inclusive ? AValue < Min : AValue <= Min)) return false;
    if (QualityOfFloat(Max) != vpqBad && (Inclusive ? AValue > Max : AValue >= Max)) return false;
    return true;
}

// ---- statistics ----

void TKoCustomFloat::StatsError(const wchar_t* What) const {
    throw EKoStatsError(KoFormat(L"%s not available: StatsMode not set for variable \"%s\"", What, Name()));
}

void TKoCustomFloat::SetStatsMode(TKoVarStatsMode Value) {
    if (Value == FStatsMode) return;
    BeginUpdateProps(StatProps);
    try {
        FStatsMode = Value;
        UpdateProps(StatProps, vpqBad, NowUTC());
    } catch (...) {
        for (TKoVarPropType Prop : {vpMean, vpStdDev, vpMin, vpMax}) EndUpdatePropAfterError(Prop);
        throw;
    }
    EndUpdateProps(StatProps, vpqBad, true, 0);
}

double TKoCustomFloat::GetMean() const {
    if (FStatsMode == smNone) StatsError(L"Mean");
    return FSumCount == 0 ? KoBadFloat : FSum / FSumCount;
}

double TKoCustomFloat::GetStdDev() const {
    if (FStatsMode == smNone) StatsError(L"StdDev");
    if (FSumCount <= 1) return KoBadFloat;
    const double N = FSumCount;
    const double SquareOfSumPerN = FSum * FSum / N;
    if (!(SquareOfSumPerN < FSquaredSum)) return KoBadFloat; // no spread, or not a number
    const double Result = std::sqrt((FSquaredSum - SquareOfSumPerN) / (N - 1));
    return std::isfinite(Result) ? Result : KoBadFloat;
}

double TKoCustomFloat::GetMin() const {
    if (FStatsMode == smNone) StatsError(L"Min");
    return FMin;
}

double TKoCustomFloat::GetMax() const {
    if (FStatsMode == smNone) StatsError(L"Max");
    return FMax;
}

void TKoCustomFloat::AddToStats(double AValue) {
    if (FStatsMode != smSimple) return;
    const double T = GetPropTimestamp(vpValue);
    if (QualityOfFloat(AValue) == vpqGood) {
        ++FSumCount;
        FSum += AValue;
        FSquaredSum += AValue * AValue;
        UpdateProp(vpMean, vpqGood, T);
        if (FSumCount > 1) UpdateProp(vpStdDev, vpqGood, T);
        if (GetPropQuality(vpMin) == vpqBad || AValue < FMin) {
            FMin = AValue;
            UpdateProp(vpMin, vpqGood, T);
        }
        if (GetPropQuality(vpMax) == vpqBad || !(AValue <= FMax)) {
            FMax = AValue;
            UpdateProp(vpMax, vpqGood, T);
        }
    } else if (!GetPropIsValid(vpMean)) {
        UpdateProps(StatProps, vpqBad, T);
    }
}

void TKoCustomFloat::RemoveFromStats(double AValue) {
    if (FStatsMode != smSimple || QualityOfFloat(AValue) != vpqGood || FSumCount <= 0) return;
    --FSumCount;
    FSum -= AValue;
    FSquaredSum -= AValue * AValue;
    const double T = GetPropTimestamp(vpValue);
    if (FSumCount == 0) {
        UpdateProps(StatProps, vpqBad, T);
    } else if (FSumCount == 1) {
        UpdateProp(vpMean, vpqGood, T);
        UpdateProp(vpStdDev, vpqBad, T);
        FMin = FSum; // the one value left
        FMax = FSum;
        UpdateProp(vpMin, vpqGood, T);
        UpdateProp(vpMax, vpqGood, T);
    } else {
        UpdateProp(vpMean, vpqGood, T);
        UpdateProp(vpStdDev, vpqGood, T);
        // The true extreme is no longer known.
        if (AValue == FMin) UpdateProp(vpMin, vpqUncertain, T);
        if (AValue == FMax) UpdateProp(vpMax, vpqUncertain, T);
    }
}

void TKoCustomFloat::ClearStats(bool InitWithCurrentValue) {
    Updating([&] {
        FSum = 0;
        FSquaredSum = 0;
        FSumCount = 0;
        UpdateProps(StatProps, vpqBad, NowUTC());
        if (InitWithCurrentValue && Quality() == vpqGood) AddToStats(FValue);
    });
}

// ---- properties ----

TKoVarDataType TKoCustomFloat::GetPropDataType(TKoVarPropType Prop) const {
    if (Prop == vpValue || (Prop >= vpAlarmLow && Prop <= vpMax)) return vdtDouble;
    return TKoVar::GetPropDataType(Prop);
}

bool TKoCustomFloat::PropSupported(TKoVarPropType Prop) const {
    // vpDiff can be read and written but is not offered.
    return Prop == vpEngUnit || IsLimitOrSetpoint(Prop) || IsStatistic(Prop) || TKoVar::PropSupported(Prop);
}

TKoOleVariant TKoCustomFloat::GetPropValueGood(TKoVarPropType Prop) const {
    switch (Prop) {
    case vpValue:
        return TKoOleVariant(FValue);
    case vpEngUnit:
        return TKoOleVariant(FEngUnit);
    case vpAlarmLow:
        return TKoOleVariant(FAlarmLow);
    case vpAlarmHigh:
        return TKoOleVariant(FAlarmHigh);
    case vpWarnLow:
        return TKoOleVariant(FWarnLow);
    case vpWarnHigh:
        return TKoOleVariant(FWarnHigh);
    case vpSetpoint:
        return TKoOleVariant(FSetpoint);
    case vpDiff:
        return TKoOleVariant(GetDiff());
    case vpMean:
    case vpStdDev:
    case vpMin:
    case vpMax:
        try {
            return TKoOleVariant(Prop == vpMean     ? GetMean()
                                 : Prop == vpStdDev ? GetStdDev()
                                 : Prop == vpMin    ? GetMin()
                                                    : GetMax());
        } catch (const EKoStatsError&) {
            return TKoOleVariant(KoBadFloat);
        }
    default:
        return TKoVar::GetPropValueGood(Prop);
    }
}

void TKoCustomFloat::SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) {
    switch (Prop) {
    case vpValue:
        SetValue(GetVarPropValueAsFloat(Prop, Value));
        break;
    case vpEngUnit:
        SetEngUnit(VariantAsText(*this, Value));
        break;
    case vpAlarmLow:
        SetAlarmLow(GetVarPropValueAsFloat(Prop, Value));
        break;
    case vpAlarmHigh:
        SetAlarmHigh(GetVarPropValueAsFloat(Prop, Value));
        break;
    case vpWarnLow:
        SetWarnLow(GetVarPropValueAsFloat(Prop, Value));
        break;
    case vpWarnHigh:
        SetWarnHigh(GetVarPropValueAsFloat(Prop, Value));
        break;
    case vpSetpoint:
        SetSetpoint(GetVarPropValueAsFloat(Prop, Value));
        break;
    case vpDiff:
        SetDiff(GetVarPropValueAsFloat(Prop, Value));
        break;
    case vpMean:
    case vpStdDev:
    case vpMin:
    case vpMax:
        throw EKoReadOnly(L"Statistics cannot be changed with PropValue");
    default:
        TKoVar::SetPropValueGood(Prop, Value);
    }
}

void TKoCustomFloat::SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) {
    if (Prop == vpValue && !V.empty())
        SetValue(ReadFloat(V));
    else
        TKoVar::SetPropAsStringGood(Prop, V);
}

double TKoCustomFloat::VariantAsDouble(TKoVarPropType Prop, const VARIANT& V) {
    if (V.vt == VT_R8) return V.dblVal;
    if (V.vt == VT_DATE) return V.date;
    try {
        return GetVarPropValueAsFloat(Prop, V);
    } catch (const EKoError&) {
        return std::numeric_limits<double>::quiet_NaN();
    }
}

bool TKoCustomFloat::InRange(TKoVarPropType Prop, const VARIANT& AValue) {
    if (Prop != vpValue && !IsLimitOrSetpoint(Prop)) return true;
    return InRange(VariantAsDouble(Prop, AValue), FRangeMin, FRangeMax, true);
}

std::wstring TKoCustomFloat::GetRangeErrorText(TKoVarPropType Prop, const VARIANT& Value) {
    return KoFormat(L"Value %s out of range Variable=%s, VarProp=%s, Valid range = [%g,%g]", ValueText(Value),
                    Name(), KoVarPropName(Prop), FRangeMin, FRangeMax);
}

TKoVarAlarmState TKoCustomFloat::AlarmStateOf(double V, TKoVarAlarmMode Mode, double AlarmLow,
                                              double AlarmHigh, double WarnLow, double WarnHigh) {
    if (QualityOfFloat(V) == vpqBad) return asNormal;
    if (Mode != amOff && LimitPairActive(AlarmLow, AlarmHigh) && !InRange(V, AlarmLow, AlarmHigh, false))
        return asAlarm;
    if (Mode == amAlarmsAndWarnings && LimitPairActive(WarnLow, WarnHigh) &&
        !InRange(V, WarnLow, WarnHigh, false))
        return asWarning;
    return asNormal;
}

TKoVarAlarmState TKoCustomFloat::DoGetAlarmStateForValue(const VARIANT& Value) {
    return AlarmStateOf(VariantAsDouble(vpValue, Value), AlarmMode(), GetPropAsFloat(vpAlarmLow),
                        GetPropAsFloat(vpAlarmHigh), GetPropAsFloat(vpWarnLow), GetPropAsFloat(vpWarnHigh));
}

void TKoCustomFloat::UpdateProp(TKoVarPropType Prop, TKoVarQuality Quality, double Timestamp) {
    TKoVar::UpdateProp(Prop, Quality, Timestamp);
    if (Prop != vpValue && Prop != vpSetpoint) return;
    if (GetPropIsValid(vpValue) && GetPropIsValid(vpDiff))
        TKoVar::UpdateProp(vpDiff, Lower(GetPropQuality(vpValue), GetPropQuality(vpSetpoint)), Timestamp);
    else if (GetPropIsValid(vpDiff))
        InternalInvalidateProp(vpDiff);
}

void TKoCustomFloat::InternalInvalidateProp(TKoVarPropType Prop) {
    TKoVar::InternalInvalidateProp(Prop);
    if ((Prop == vpValue || Prop == vpSetpoint) && GetPropIsValid(vpDiff)) InternalInvalidateProp(vpDiff);
}

// ---- TKoFloat ----

TKoOleVariant TKoFloat::GetInitialValue() {
    return TKoOleVariant(FInitialValue);
}

// ---- TKoDateTime ----

double TKoDateTime::Value() const {
    return Quality() != vpqBad ? TKoCustomFloat::Value() : KoBadDateTime;
}

void TKoDateTime::SetValue(double AValue) {
    if (QualityOfDateTime(AValue) == vpqGood)
        TKoCustomFloat::SetValue(AValue);
    else
        Undefine(vpValue, 0);
}

namespace {
// Days since 1899-12-30 and the time of day; before that day the time still counts forward
// from midnight (-1.25 is the day -1 at 06:00).
double WholeDays(double V) {
    return std::trunc(V);
}
double DayFraction(double V) {
    return std::fabs(V - std::trunc(V));
}
double Combine(double Days, double Fraction) {
    return Days < 0 ? Days - Fraction : Days + Fraction;
}
} // namespace

double TKoDateTime::Date() const {
    return Quality() != vpqBad ? WholeDays(FValue) : KoBadDateTime;
}

double TKoDateTime::Time() const {
    return Quality() != vpqBad ? DayFraction(FValue) : KoBadDateTime;
}

void TKoDateTime::SetDate(double D) {
    SetValue(Combine(WholeDays(D), Quality() != vpqBad ? DayFraction(FValue) : 0));
}

void TKoDateTime::SetTime(double T) {
    SetValue(Combine(Quality() != vpqBad ? WholeDays(FValue) : 0, DayFraction(T)));
}

double TKoDateTime::LocalDateTime() const {
    return Quality() != vpqBad ? UTCToLocal(FValue) : KoBadDateTime;
}

void TKoDateTime::SetLocalDateTime(double Value) {
    // A bad date-time stays bad: shifting it by the zone could make it look valid.
    SetValue(QualityOfDateTime(Value) == vpqGood ? LocalToUTC(Value) : Value);
}

void TKoDateTime::SetDateTimeFormat(const std::wstring& Value) {
    if (Value == FDateTimeFormat) return;
    FDateTimeFormat = Value;
    ConfigChanged();
}

std::wstring TKoDateTime::DateTimeToStr(double V) {
    return FDateTimeFormat.empty() ? TKoCustomFloat::DateTimeToStr(V) : KoFormatDateTime(FDateTimeFormat, V);
}

int32_t TKoDateTime::StrToInt(const std::wstring& V) {
    double D = 0;
    if (ReadDate(V, D)) return static_cast<int32_t>(WholeDays(D));
    return TKoCustomFloat::StrToInt(V);
}

std::wstring TKoDateTime::GetVarPropValueAsString(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue || (V.vt & VT_ARRAY) || QualityOfVariant(V, PropQualityOfEmptyString(Prop)) == vpqBad)
        return TKoCustomFloat::GetVarPropValueAsString(Prop, V);
    if (V.vt == VT_BSTR) return VariantAsText(*this, V);
    const double D = VariantAsDouble(Prop, V);
    return QualityOfDateTime(D) == vpqGood ? DateTimeToStr(D) : std::wstring(KoBadString);
}

TKoVarDataType TKoDateTime::GetPropDataType(TKoVarPropType Prop) const {
    return Prop == vpValue ? vdtDate : TKoCustomFloat::GetPropDataType(Prop);
}

bool TKoDateTime::PropSupported(TKoVarPropType Prop) const {
    return TKoVar::PropSupported(Prop);
}

TKoOleVariant TKoDateTime::GetPropValueGood(TKoVarPropType Prop) const {
    return Prop == vpValue ? TKoOleVariant::Date(FValue) : TKoCustomFloat::GetPropValueGood(Prop);
}

void TKoDateTime::SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) {
    if (Prop != vpValue || V.empty()) {
        TKoCustomFloat::SetPropAsStringGood(Prop, V);
        return;
    }
    double D = 0;
    if (!ReadDate(V, D)) D = ReadFloat(V);
    SetValue(D);
}

void TKoDateTime::SetPropAsInt64Good(TKoVarPropType Prop, int64_t V) {
    if (V == KoBadInt64 || QualityOfDateTime(static_cast<double>(V)) == vpqBad) {
        Undefine(Prop, 0);
        return;
    }
    TKoOleVariant Value;
    VARIANT* Slot = Value.Receive();
    Slot->vt = VT_I8;
    Slot->llVal = V;
    SetPropValueGood(Prop, Value);
}

void TKoDateTime::SetPropAsLongWordGood(TKoVarPropType Prop, uint32_t V) {
    if (static_cast<int32_t>(V) == KoBadInteger || QualityOfDateTime(static_cast<double>(V)) == vpqBad) {
        Undefine(Prop, 0);
        return;
    }
    TKoOleVariant Value;
    VARIANT* Slot = Value.Receive();
    Slot->vt = VT_UI4;
    Slot->ulVal = V;
    SetPropValueGood(Prop, Value);
}

std::wstring TKoDateTime::GetRangeErrorText(TKoVarPropType Prop, const VARIANT& Value) {
    const double D = VariantAsDouble(Prop, Value);
    const std::wstring Text = std::isnan(D) ? ValueText(Value) : DateTimeToStr(D);
    return KoFormat(L"Date '%s' out of range, Variable=%s, VarProp=%s, Valid range=[%s,%s]", Text, Name(),
                    KoVarPropName(Prop), DateTimeToStr(MinDate()), DateTimeToStr(MaxDate()));
}

TKoOleVariant TKoDateTime::GetInitialValue() {
    return TKoOleVariant::Date(FInitialValue);
}
