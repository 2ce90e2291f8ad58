#pragma once
// The numeric process variables.
//
//   TKoVar
//   ├─ TKoCustomInteger   a 32-bit signed value with an inclusive range (RangeMin >= RangeMax:
//   │  │                  no range); the discrete variables build on it
//   │  └─ TKoInteger      adds the engineering unit
//   └─ TKoCustomFloat     a double with range, alarm and warning limits, setpoint, the
//      │                  difference to it, and running statistics; float arrays build on it
//      ├─ TKoFloat        adds the initial value
//      └─ TKoDateTime     the value is a UTC date-time, the range the permitted date span
//
// The write path, qualities and notifications are TKoVar's; these classes store their own
// properties and add the range, alarm and statistics rules.

#include <cstdint>
#include <string>

#include "KoVars.h"

// ---- integers ----

class TKoCustomInteger : public TKoVar {
public:
    explicit TKoCustomInteger(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoCustomInteger"; }

    // The stored value, whatever its quality (KoBadInteger until the first write).
    int32_t Value() const { return FValue; }
    virtual void SetValue(int32_t Value);
    // Adds to the current value, or sets AValue when the current value is bad. The sum wraps
    // around at the ends of the 32-bit range; the range rules then decide.
    virtual void AddValue(int32_t AValue);
    void SubtractValue(int32_t AValue);

    int32_t RangeMax() const { return GetRangeMax(); }
    int32_t RangeMin() const { return GetRangeMin(); }
    virtual int32_t GetRangeMax() const { return FRangeMax; }
    virtual int32_t GetRangeMin() const { return FRangeMin; }
    virtual void SetRangeMax(int32_t Value);
    virtual void SetRangeMin(int32_t Value);

    int32_t InitialValue() const { return FInitialValue; }
    void SetInitialValue(int32_t Value) { FInitialValue = Value; }

    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override;

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override;
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) override;
    void SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) override;
    bool InRange(TKoVarPropType Prop, const VARIANT& AValue) override;
    TKoOleVariant GetInitialValue() override;

    int32_t FInitialValue = 0;
    int32_t FRangeMax = -1;
    int32_t FRangeMin = 0;
    int32_t FValue = KoBadInteger;
};

class TKoInteger : public TKoCustomInteger {
public:
    explicit TKoInteger(TKoComponent* AOwner) : TKoCustomInteger(AOwner) {}
    const wchar_t* ClassName() const override { return L"TKoInteger"; }

    const std::wstring& EngUnit() const { return FEngUnit; }
    virtual void SetEngUnit(const std::wstring& Value);

    bool PropSupported(TKoVarPropType Prop) const override;

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override;
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) override;

private:
    std::wstring FEngUnit;
};

// ---- floating point ----

class TKoCustomFloat : public TKoVar {
public:
    explicit TKoCustomFloat(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoCustomFloat"; }

    // The value, or KoBadFloat while its quality is bad.
    double Value() const;
    // Every write of a good value counts in the statistics, also one that repeats the value.
    virtual void SetValue(double AValue);
    // Nothing for a bad AValue; otherwise adds to the current value, or sets AValue when the
    // current value is bad.
    virtual void AddValue(double AValue);
    virtual void SubtractValue(double AValue);
    virtual void Add(TKoCustomFloat& OtherVar);

    // ---- limits and setpoint (subject to the range, like the value) ----

    double AlarmHigh() const { return FAlarmHigh; }
    double AlarmLow() const { return FAlarmLow; }
    double WarnHigh() const { return FWarnHigh; }
    double WarnLow() const { return FWarnLow; }
    double Setpoint() const { return FSetpoint; }
    void SetAlarmHigh(double AValue);
    void SetAlarmLow(double AValue);
    void SetWarnHigh(double AValue);
    void SetWarnLow(double AValue);
    virtual void SetSetpoint(double AValue);
    // Warnings at Setpoint -/+ Warn, alarms at Setpoint -/+ Alarm, told in one notification.
    void SetRelativeAlarmLimits(double Warn, double Alarm);
    // Every limit and the setpoint bad.
    virtual void ClearSpecs();

    // Value - Setpoint, or KoBadFloat while vpDiff is bad. vpDiff becomes valid once it was
    // written itself (SetPropValueAt) and then follows value and setpoint.
    double Diff() const { return GetDiff(); }
    virtual double GetDiff() const;
    virtual void SetDiff(double AValue);

    const std::wstring& EngUnit() const { return FEngUnit; }
    virtual void SetEngUnit(const std::wstring& Value);

    // ---- range: a bound of bad quality (KoBadFloat, NaN) is no bound ----

    double RangeMax() const { return FRangeMax; }
    double RangeMin() const { return FRangeMin; }
    void SetRangeMax(double AValue);
    void SetRangeMin(double AValue);
    void SetRange(double Min, double Max);
    virtual void ClearRange();
    bool IsValueInRange(bool Inclusive) const;
    // Inclusive: out below Min or above Max; exclusive: out at or beyond either bound. A bound
    // of bad quality is ignored; a value that does not compare (NaN) is never out.
    static bool InRange(double AValue, double Min, double Max, bool Inclusive);
    // The alarm rule for a value and the limits given: a pair of limits counts unless both are
    // unset or the high one is not above the low one; with one of a pair unset, the other
    // counts; a value equal to a limit is beyond it. A bad value is normal.
    static TKoVarAlarmState AlarmStateOf(double V, TKoVarAlarmMode Mode, double AlarmLow, double AlarmHigh,
                                         double WarnLow, double WarnHigh);

    // ---- statistics (kept only while StatsMode is smSimple) ----

    TKoVarStatsMode StatsMode() const { return FStatsMode; }
    void SetStatsMode(TKoVarStatsMode Value);
    // The getters fail with EKoStatsError while StatsMode is smNone.
    double Mean() const { return GetMean(); }
    double StdDev() const { return GetStdDev(); }
    double Min() const { return GetMin(); }
    double Max() const { return GetMax(); }
    virtual double GetMean() const;
    virtual double GetStdDev() const;
    virtual double GetMin() const;
    virtual double GetMax() const;
    virtual void AddToStats(double AValue);
    virtual void RemoveFromStats(double AValue);
    virtual void ClearStats(bool InitWithCurrentValue);

    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override;
    bool PropSupported(TKoVarPropType Prop) const override;

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override;
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) override;
    void SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) override;
    bool InRange(TKoVarPropType Prop, const VARIANT& AValue) override;
    std::wstring GetRangeErrorText(TKoVarPropType Prop, const VARIANT& Value) override;
    TKoVarAlarmState DoGetAlarmStateForValue(const VARIANT& Value) override;
    void UpdateProp(TKoVarPropType Prop, TKoVarQuality Quality, double Timestamp) override;
    void InternalInvalidateProp(TKoVarPropType Prop) override;

    // A value of a variant as a double; NaN when it has none.
    double VariantAsDouble(TKoVarPropType Prop, const VARIANT& V);

    double FAlarmHigh = 0;
    double FAlarmLow = 0;
    std::wstring FEngUnit;
    double FRangeMax = 0;
    double FRangeMin = 0;
    double FSetpoint = 0;
    TKoVarStatsMode FStatsMode = smNone;
    double FWarnHigh = 0;
    double FWarnLow = 0;
    double FMax = KoBadFloat;
    double FMin = KoBadFloat;
    double FSquaredSum = 0;
    double FSum = 0;
    int32_t FSumCount = 0;
    double FValue = KoBadFloat;

private:
    [[noreturn]] void StatsError(const wchar_t* What) const;
};

class TKoFloat : public TKoCustomFloat {
public:
    explicit TKoFloat(TKoComponent* AOwner) : TKoCustomFloat(AOwner) {}
    const wchar_t* ClassName() const override { return L"TKoFloat"; }

    double InitialValue() const { return FInitialValue; }
    void SetInitialValue(double Value) { FInitialValue = Value; }

protected:
    TKoOleVariant GetInitialValue() override;

private:
    double FInitialValue = 0;
};

// ---- date-time ----

// A UTC date-time (days since 1899-12-30). A value outside 0100-01-01 .. 9999-12-31, or
// strictly between -1 and 0, is bad. No unit, limits or statistics are offered.
class TKoDateTime : public TKoCustomFloat {
public:
    explicit TKoDateTime(TKoComponent* AOwner) : TKoCustomFloat(AOwner) {}
    const wchar_t* ClassName() const override { return L"TKoDateTime"; }

    // The value, or KoBadDateTime while its quality is bad.
    double Value() const;
    // A date-time of bad quality undefines the value.
    void SetValue(double AValue) override;

    double MaxDate() const { return RangeMax(); }
    double MinDate() const { return RangeMin(); }
    void SetMaxDate(double Value) { SetRangeMax(Value); }
    void SetMinDate(double Value) { SetRangeMin(Value); }

    // The whole days and the time of day of the value (KoBadDateTime while it is bad).
    // Writing one keeps the other (0 when the value is bad).
    double Date() const;
    double Time() const;
    void SetDate(double D);
    void SetTime(double T);
    // The value in the platform's local time zone; writing converts back to UTC.
    double LocalDateTime() const;
    void SetLocalDateTime(double Value);

    // The pattern DateTimeToStr formats with (KoFormatDateTime); empty: the locale's format.
    const std::wstring& DateTimeFormat() const { return FDateTimeFormat; }
    void SetDateTimeFormat(const std::wstring& Value);

    double InitialValue() const { return FInitialValue; }
    void SetInitialValue(double Value) { FInitialValue = Value; }

    std::wstring DateTimeToStr(double V) override;
    // The day number of a date-time text; other text by the integer rule.
    int32_t StrToInt(const std::wstring& V) override;
    std::wstring GetVarPropValueAsString(TKoVarPropType Prop, const VARIANT& V) override;

    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override;
    bool PropSupported(TKoVarPropType Prop) const override;

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override;
    void SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) override;
    void SetPropAsInt64Good(TKoVarPropType Prop, int64_t V) override;
    void SetPropAsLongWordGood(TKoVarPropType Prop, uint32_t V) override;
    std::wstring GetRangeErrorText(TKoVarPropType Prop, const VARIANT& Value) override;
    TKoVarAlarmState DoGetAlarmStateForValue(const VARIANT& /*Value*/) override { return asNormal; }
    TKoOleVariant GetInitialValue() override;

private:
    std::wstring FDateTimeFormat;
    double FInitialValue = 0;
};
