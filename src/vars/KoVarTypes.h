#pragma once
// The small value types of the variable model that layers above the variables name without
// needing the variable classes themselves (the signals, the OPC result texts).

#include <cstdint>
#include <initializer_list>

// Quality of one property of a variable.
enum TKoVarQuality : int { vpqBad, vpqUncertain, vpqGood };

// One property of a variable; an OPC item serves one of them.
enum TKoVarPropType : int {
    vpValue,
    vpCaption,
    vpEngUnit,
    vpAlarmState,
    vpAlarmLow,
    vpAlarmHigh,
    vpWarnLow,
    vpWarnHigh,
    vpSetpoint,
    vpDiff,
    vpMean,
    vpStdDev,
    vpMin,
    vpMax,
    vpDescription,
    vpAlarmText,
    vpAlarmHelp,
    vpOther,
    vpOther2,
};
constexpr int KoVarPropTypeCount = vpOther2 + 1;

// A set of properties: bit n stands for the property of ordinal n.
class TKoVarPropTypes {
public:
    constexpr TKoVarPropTypes() = default;
    constexpr TKoVarPropTypes(std::initializer_list<TKoVarPropType> Props) {
        for (TKoVarPropType Prop : Props) Include(Prop);
    }
    static constexpr TKoVarPropTypes FromBits(uint32_t ABits) {
        TKoVarPropTypes Result;
        Result.FBits = ABits & AllBits;
        return Result;
    }

    constexpr uint32_t Bits() const { return FBits; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool Contains(TKoVarPropType Prop) const { return (FBits & Bit(Prop)) != 0; }
    constexpr void Include(TKoVarPropType Prop) { FBits |= Bit(Prop); }
    constexpr void Exclude(TKoVarPropType Prop) { FBits &= ~Bit(Prop); }

    friend constexpr bool operator==(TKoVarPropTypes, TKoVarPropTypes) = default;
    friend constexpr TKoVarPropTypes operator+(TKoVarPropTypes A, TKoVarPropTypes B) {
        return FromBits(A.FBits | B.FBits);
    }
    friend constexpr TKoVarPropTypes operator*(TKoVarPropTypes A, TKoVarPropTypes B) {
        return FromBits(A.FBits & B.FBits);
    }
    friend constexpr TKoVarPropTypes operator-(TKoVarPropTypes A, TKoVarPropTypes B) {
        return FromBits(A.FBits & ~B.FBits);
    }

private:
    static constexpr uint32_t AllBits = (uint32_t{1} << KoVarPropTypeCount) - 1;
    // A value outside the enumeration selects nothing rather than an arbitrary bit.
    static constexpr uint32_t Bit(TKoVarPropType Prop) {
        return Prop >= 0 && Prop < KoVarPropTypeCount ? uint32_t{1} << Prop : 0;
    }
    uint32_t FBits = 0;
};

// The answer of the changing handlers and slots to an intended change.
enum TKoVarChangingResponse : int { crAccept, crReject, crRequested };

// Access level of a variable, offered to the windows.
enum TKoVarAccess : int { daNone, daFull };

// Which limits take part in the alarm state.
enum TKoVarAlarmMode : int { amOff, amAlarms, amAlarmsAndWarnings };

// The alarm state of a variable (the value of vpAlarmState).
enum TKoVarAlarmState : int { asNormal, asWarning, asAlarm, asUnknown };

// Which differences of a write count as a change: the quality only; quality or value; or
// every write with a new time stamp.
enum TKoVarChangeFilter : int { cfQuality, cfQualityValue, cfQualityValueTimestamp };

// What happens to a value outside the range: nothing, an error, or bad quality.
enum TKoVarRangeMode : int { rmNone, rmException, rmUndefine };

// Whether a floating-point variable keeps running statistics of its values.
enum TKoVarStatsMode : int { smNone, smSimple };

// The identifier of a property as item IDs spell it ("vpValue" ... "vpOther2"); empty for a
// value outside the enumeration.
constexpr const wchar_t* KoVarPropTypeName(TKoVarPropType Prop) {
    constexpr const wchar_t* Names[KoVarPropTypeCount] = {
        L"vpValue",     L"vpCaption",   L"vpEngUnit",  L"vpAlarmState", L"vpAlarmLow",
        L"vpAlarmHigh", L"vpWarnLow",   L"vpWarnHigh", L"vpSetpoint",   L"vpDiff",
        L"vpMean",      L"vpStdDev",    L"vpMin",      L"vpMax",        L"vpDescription",
        L"vpAlarmText", L"vpAlarmHelp", L"vpOther",    L"vpOther2"};
    return Prop >= 0 && Prop < KoVarPropTypeCount ? Names[Prop] : L"";
}

// Every property.
constexpr TKoVarPropTypes KoAllVarProps = TKoVarPropTypes::FromBits((uint32_t{1} << KoVarPropTypeCount) - 1);
