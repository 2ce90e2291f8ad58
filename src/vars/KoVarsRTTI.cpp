#include "KoVarsRTTI.h"

#include <mutex>

#include "KoArrays.h"
#include "KoByteArrays.h"
#include "KoDiscreteVars.h"
#include "KoNumVars.h"
#include "KoStringVars.h"
#include "KoVars.h"

const TKoRTTIType* KoRTTIVarPropTypeType() {
    return KoRTTIEnumType<TKoVarPropType>(
        L"TKoVarPropType",
        {L"vpValue", L"vpCaption", L"vpEngUnit", L"vpAlarmState", L"vpAlarmLow", L"vpAlarmHigh", L"vpWarnLow",
         L"vpWarnHigh", L"vpSetpoint", L"vpDiff", L"vpMean", L"vpStdDev", L"vpMin", L"vpMax",
         L"vpDescription", L"vpAlarmText", L"vpAlarmHelp", L"vpOther", L"vpOther2"});
}

const TKoRTTIType* KoRTTIVarQualityType() {
    return KoRTTIEnumType<TKoVarQuality>(L"TKoVarQuality", {L"vpqBad", L"vpqUncertain", L"vpqGood"});
}

const TKoRTTIType* KoRTTIVarAccessType() {
    return KoRTTIEnumType<TKoVarAccess>(L"TKoVarAccess", {L"daNone", L"daFull"});
}

const TKoRTTIType* KoRTTIVarAlarmModeType() {
    return KoRTTIEnumType<TKoVarAlarmMode>(L"TKoVarAlarmMode",
                                           {L"amOff", L"amAlarms", L"amAlarmsAndWarnings"});
}

const TKoRTTIType* KoRTTIVarAlarmStateType() {
    return KoRTTIEnumType<TKoVarAlarmState>(L"TKoVarAlarmState",
                                            {L"asNormal", L"asWarning", L"asAlarm", L"asUnknown"});
}

const TKoRTTIType* KoRTTIVarChangeFilterType() {
    return KoRTTIEnumType<TKoVarChangeFilter>(L"TKoVarChangeFilter",
                                              {L"cfQuality", L"cfQualityValue", L"cfQualityValueTimestamp"});
}

const TKoRTTIType* KoRTTIVarRangeModeType() {
    return KoRTTIEnumType<TKoVarRangeMode>(L"TKoVarRangeMode", {L"rmNone", L"rmException", L"rmUndefine"});
}

const TKoRTTIType* KoRTTIVarStatsModeType() {
    return KoRTTIEnumType<TKoVarStatsMode>(L"TKoVarStatsMode", {L"smNone", L"smSimple"});
}

void KoRegisterTKoVarRTTI() {
    KoRTTIRegister<TKoVar, TKoComponent>(L"TKoVar")
        .Bool(L"Active", &TKoVar::Active, &TKoVar::SetActive)
        .StoredAlways()
        .String(L"AlarmHelp", &TKoVar::AlarmHelp, &TKoVar::SetAlarmHelp)
        .Enum(L"AlarmMode", KoRTTIVarAlarmModeType(), &TKoVar::AlarmMode, &TKoVar::SetAlarmMode)
        .Default(amOff)
        .String(L"AlarmText", &TKoVar::AlarmText, &TKoVar::SetAlarmText)
        .String(L"Caption", &TKoVar::Caption, &TKoVar::SetCaption)
        .Enum(L"ChangeFilter", KoRTTIVarChangeFilterType(), &TKoVar::ChangeFilter, &TKoVar::SetChangeFilter)
        .Default(cfQualityValue)
        .String(L"Description", &TKoVar::Description, &TKoVar::SetDescription)
        .Integer(L"ID", &TKoVar::ID, &TKoVar::SetID)
        .StoredAlways()
        .Bool(L"ReadOnly", &TKoVar::ReadOnly, &TKoVar::SetReadOnly)
        .StoredAlways()
        .Skipped(L"OnChange", tkMethod)
        .Skipped(L"OnChanging", tkMethod)
        .Skipped(L"OnValueChange", tkMethod);
}

void KoRegisterTKoStringRTTI() {
    KoRTTIRegister<TKoString, TKoVar>(L"TKoString")
        .Enum(L"InitialQuality", KoRTTIVarQualityType(), &TKoVar::InitialQuality, &TKoVar::SetInitialQuality)
        .Default(vpqBad)
        .String(L"InitialValue", &TKoString::InitialValue, &TKoString::SetInitialValue)
        .Stored([](const TKoString& S) { return S.InitialQuality() != vpqBad; })
        .Skipped(L"OnGetAlarmState", tkMethod);
}

void KoRegisterTKoVariantRTTI() {
    KoRTTIRegister<TKoVariant, TKoVar>(L"TKoVariant")
        .Enum(L"InitialQuality", KoRTTIVarQualityType(), &TKoVar::InitialQuality, &TKoVar::SetInitialQuality)
        .Default(vpqBad)
        .Variant(L"InitialValue", &TKoVariant::InitialValue, &TKoVariant::SetInitialValue)
        .Stored([](const TKoVariant& V) { return V.InitialQuality() != vpqBad; })
        .Skipped(L"OnGetAlarmState", tkMethod);
}

namespace {

// Stored only when it differs from 0.0, the value after construction.
template <class C, double (C::*Get)() const> bool NonZero(const C& Var) {
    return (Var.*Get)() != 0;
}

// An initial value is stored only with an initial quality other than bad.
bool HasInitialValue(const TKoVar& Var) {
    return Var.InitialQuality() != vpqBad;
}

} // namespace

void KoRegisterTKoCustomIntegerRTTI() {
    KoRTTIRegister<TKoCustomInteger, TKoVar>(L"TKoCustomInteger");
}

void KoRegisterTKoIntegerRTTI() {
    KoRTTIRegister<TKoInteger, TKoCustomInteger>(L"TKoInteger")
        .String(L"DisplayFormat", &TKoVar::DisplayFormat, &TKoVar::SetDisplayFormat)
        .String(L"EngUnit", &TKoInteger::EngUnit, &TKoInteger::SetEngUnit)
        .Enum(L"InitialQuality", KoRTTIVarQualityType(), &TKoVar::InitialQuality, &TKoVar::SetInitialQuality)
        .Default(vpqBad)
        .Integer(L"InitialValue", &TKoCustomInteger::InitialValue, &TKoCustomInteger::SetInitialValue)
        .Stored(HasInitialValue)
        .Integer(L"RangeMax", &TKoCustomInteger::RangeMax, &TKoCustomInteger::SetRangeMax)
        .StoredAlways()
        .Integer(L"RangeMin", &TKoCustomInteger::RangeMin, &TKoCustomInteger::SetRangeMin)
        .StoredAlways()
        .Enum(L"RangeMode", KoRTTIVarRangeModeType(), &TKoVar::RangeMode, &TKoVar::SetRangeMode)
        .Default(rmNone)
        .Skipped(L"OnGetAlarmState", tkMethod)
        .Skipped(L"OnRangeChange", tkMethod)
        .Skipped(L"OnRangeError", tkMethod);
}

void KoRegisterTKoCustomFloatRTTI() {
    KoRTTIRegister<TKoCustomFloat, TKoVar>(L"TKoCustomFloat");
}

void KoRegisterTKoFloatRTTI() {
    using F = TKoCustomFloat;
    KoRTTIRegister<TKoFloat, TKoCustomFloat>(L"TKoFloat")
        .Float(L"AlarmHigh", &F::AlarmHigh, &F::SetAlarmHigh)
        .Stored(NonZero<F, &F::AlarmHigh>)
        .Float(L"AlarmLow", &F::AlarmLow, &F::SetAlarmLow)
        .Stored(NonZero<F, &F::AlarmLow>)
        .Float(L"WarnHigh", &F::WarnHigh, &F::SetWarnHigh)
        .Stored(NonZero<F, &F::WarnHigh>)
        .Float(L"WarnLow", &F::WarnLow, &F::SetWarnLow)
        .Stored(NonZero<F, &F::WarnLow>)
        .Float(L"Setpoint", &F::Setpoint, &F::SetSetpoint)
        .Stored(NonZero<F, &F::Setpoint>)
        .String(L"DisplayFormat", &TKoVar::DisplayFormat, &TKoVar::SetDisplayFormat)
        .String(L"EngUnit", &F::EngUnit, &F::SetEngUnit)
        .Enum(L"InitialQuality", KoRTTIVarQualityType(), &TKoVar::InitialQuality, &TKoVar::SetInitialQuality)
        .Default(vpqBad)
        .Float(L"InitialValue", &TKoFloat::InitialValue, &TKoFloat::SetInitialValue)
        .Stored(HasInitialValue)
        .Float(L"RangeMax", &F::RangeMax, &F::SetRangeMax)
        .Stored(NonZero<F, &F::RangeMax>)
        .Float(L"RangeMin", &F::RangeMin, &F::SetRangeMin)
        .Stored(NonZero<F, &F::RangeMin>)
        .Enum(L"RangeMode", KoRTTIVarRangeModeType(), &TKoVar::RangeMode, &TKoVar::SetRangeMode)
        .Default(rmNone)
        .Enum(L"StatsMode", KoRTTIVarStatsModeType(), &F::StatsMode, &F::SetStatsMode)
        .Default(smNone)
        .Skipped(L"OnGetAlarmState", tkMethod)
        .Skipped(L"OnRangeChange", tkMethod)
        .Skipped(L"OnRangeError", tkMethod);
}

void KoRegisterTKoDateTimeRTTI() {
    using D = TKoDateTime;
    KoRTTIRegister<TKoDateTime, TKoCustomFloat>(L"TKoDateTime")
        .Enum(L"InitialQuality", KoRTTIVarQualityType(), &TKoVar::InitialQuality, &TKoVar::SetInitialQuality)
        .Default(vpqBad)
        .DateTime(L"InitialValue", &D::InitialValue, &D::SetInitialValue)
        .Stored(HasInitialValue)
        .DateTime(L"MaxDate", &D::MaxDate, &D::SetMaxDate)
        .Stored(NonZero<D, &D::MaxDate>)
        .DateTime(L"MinDate", &D::MinDate, &D::SetMinDate)
        .Stored(NonZero<D, &D::MinDate>)
        .Enum(L"RangeMode", KoRTTIVarRangeModeType(), &TKoVar::RangeMode, &TKoVar::SetRangeMode)
        .Default(rmNone)
        .Skipped(L"OnGetAlarmState", tkMethod)
        .Skipped(L"OnRangeChange", tkMethod)
        .Skipped(L"OnRangeError", tkMethod);
}

void KoRegisterTKoBoolRTTI() {
    KoRTTIRegister<TKoBool, TKoVar>(L"TKoBool")
        .Enum(L"AlarmStateFalse", KoRTTIVarAlarmStateType(), &TKoBool::AlarmStateFalse,
              &TKoBool::SetAlarmStateFalse)
        .StoredAlways()
        .Enum(L"AlarmStateTrue", KoRTTIVarAlarmStateType(), &TKoBool::AlarmStateTrue,
              &TKoBool::SetAlarmStateTrue)
        .StoredAlways()
        .String(L"StringValueFalse", &TKoBool::StringValueFalse, &TKoBool::SetStringValueFalse)
        .String(L"StringValueTrue", &TKoBool::StringValueTrue, &TKoBool::SetStringValueTrue)
        .Skipped(L"OnFallingEdge", tkMethod)
        .Skipped(L"OnRisingEdge", tkMethod)
        .Enum(L"InitialQuality", KoRTTIVarQualityType(), &TKoVar::InitialQuality, &TKoVar::SetInitialQuality)
        .Default(vpqBad)
        .Bool(L"InitialValue", &TKoBool::InitialValue, &TKoBool::SetInitialValue)
        .Stored(HasInitialValue)
        .Skipped(L"OnGetAlarmState", tkMethod);
}

void KoRegisterTKoCustomStateRTTI() {
    KoRTTIRegister<TKoCustomState, TKoCustomInteger>(L"TKoCustomState");
}

void KoRegisterTKoStateRTTI() {
    KoRTTIRegister<TKoState, TKoCustomState>(L"TKoState")
        .Enum(L"InitialQuality", KoRTTIVarQualityType(), &TKoVar::InitialQuality, &TKoVar::SetInitialQuality)
        .Default(vpqBad)
        .Integer(L"InitialValue", &TKoCustomInteger::InitialValue, &TKoCustomInteger::SetInitialValue)
        .Stored(HasInitialValue)
        .Integer(L"RangeMax", &TKoCustomInteger::RangeMax, &TKoCustomInteger::SetRangeMax)
        .StoredAlways()
        .Integer(L"RangeMin", &TKoCustomInteger::RangeMin, &TKoCustomInteger::SetRangeMin)
        .StoredAlways()
        .Enum(L"RangeMode", KoRTTIVarRangeModeType(), &TKoVar::RangeMode, &TKoVar::SetRangeMode)
        .StoredAlways()
        // The list itself; its items are stored as the list's streamed Items.
        .Object(
            L"States", [](const TKoState& S) { return &S.States(); },
            [](TKoState& S, TKoStateItemlist* List) {
                if (List) S.SetStates(*List);
            })
        .Skipped(L"OnGetAlarmState", tkMethod)
        .Skipped(L"OnRangeChange", tkMethod);
}

void KoRegisterTKoBitSetRTTI() {
    KoRTTIRegister<TKoBitSet, TKoCustomState>(L"TKoBitSet")
        .Integer(L"BitCount", &TKoBitSet::BitCount, &TKoBitSet::SetBitCount)
        .Range(0, 65535)
        .Default(32)
        .Enum(L"InitialQuality", KoRTTIVarQualityType(), &TKoVar::InitialQuality, &TKoVar::SetInitialQuality)
        .Default(vpqBad)
        // A 32-bit word: it reads as the signed number of the same bits ("$" hexadecimal text
        // writes any word).
        .Integer(
            L"InitialValue", [](const TKoBitSet& B) { return static_cast<int32_t>(B.InitialValue()); },
            [](TKoBitSet& B, int32_t V) { B.SetInitialValue(static_cast<uint32_t>(V)); })
        .Stored(HasInitialValue)
        .Enum(L"RangeMode", KoRTTIVarRangeModeType(), &TKoVar::RangeMode, &TKoVar::SetRangeMode)
        .StoredAlways()
        .Object(
            L"States", [](const TKoBitSet& B) { return &B.States(); },
            [](TKoBitSet& B, TKoBitItemList* List) {
                if (List) B.SetStates(*List);
            })
        .Bool(L"StrictStates", &TKoBitSet::StrictStates, &TKoBitSet::SetStrictStates)
        .Default(0)
        .Skipped(L"OnGetAlarmState", tkMethod);
}

void KoRegisterStateItemsRTTI() {
    using I = TKoCustomStateItem;
    KoRTTIRegister<TKoCustomStateItem, TKoPersistent>(L"TKoCustomStateItem")
        .Enum(L"AlarmState", KoRTTIVarAlarmStateType(), &I::AlarmState, &I::SetAlarmState)
        .String(L"Name", &I::Name, &I::SetName);
    KoRTTIRegister<TKoStateItem, TKoCustomStateItem>(L"TKoStateItem")
        .Integer(L"Value", &TKoStateItem::Value, &TKoStateItem::SetValue);
    KoRTTIRegister<TKoBitItem, TKoCustomStateItem>(L"TKoBitItem")
        .Integer(L"BitNr", &TKoBitItem::BitNr, &TKoBitItem::SetBitNr);
    KoRTTIRegister<TKoStateItemlist, TKoPersistentList>(L"TKoStateItemlist");
    KoRTTIRegister<TKoBitItemList, TKoStateItemlist>(L"TKoBitItemList");
}

namespace {

const TKoRTTIType* KoRTTIEndianType() {
    return KoRTTIEnumType<TKoEndian>(L"TKoEndian", {L"enBigEndian", L"enLittleEndian"});
}

const TKoRTTIType* KoRTTIFloatArrayModeType() {
    return KoRTTIEnumType<TKoFloatArrayMode>(
        L"TKoFloatArrayMode", {L"amUniformSampleWidth", L"amVariableSampleWidth", L"amFreeSamples"});
}

void KoRegisterTKoByteArrayRTTI() {
    using B = TKoByteArray;
    KoRTTIRegister<TKoByteArray, TKoVar>(L"TKoByteArray")
        .Enum(L"BitOrder", KoRTTIEndianType(), &B::BitOrder, &B::SetBitOrder)
        .Default(enBigEndian)
        .Enum(L"ByteOrder", KoRTTIEndianType(), &B::ByteOrder, &B::SetByteOrder)
        .Default(enLittleEndian)
        .Integer(L"Length", &B::Length, &B::SetLength)
        .Default(0)
        .Integer(L"Offset", &B::Offset, &B::SetOffset)
        .Default(0);
}

void KoRegisterFloatArraysRTTI() {
    using A = TKoCustomFloatArray;
    using F = TKoCustomFloat;
    KoRTTIRegister<TKoCustomFloatArray, TKoCustomFloat>(L"TKoCustomFloatArray");
    // Capacity and Mode come before what they reset: the mode clears the values and resets the
    // first position and the width.
    KoRTTIRegister<TKoFloatArray, TKoCustomFloatArray>(L"TKoFloatArray")
        .Bool(L"ArraySpecs", &A::ArraySpecs, &A::SetArraySpecs)
        .Default(0)
        .Integer(L"Capacity", &A::Capacity, &A::SetCapacity)
        .Default(0)
        .Bool(L"Circular", &A::Circular, &A::SetCircular)
        .Default(0)
        .String(L"DisplayFormat", &TKoVar::DisplayFormat, &TKoVar::SetDisplayFormat)
        .String(L"EngUnit", &F::EngUnit, &F::SetEngUnit)
        .Integer(L"FirstIndex", &A::FirstIndex, &A::SetFirstIndex)
        .Default(0)
        .Enum(L"Mode", KoRTTIFloatArrayModeType(), &A::Mode, &A::SetMode)
        .Default(amUniformSampleWidth)
        .Float(L"FirstPos", &A::FirstPos, &A::SetFirstPos)
        .Stored([](const A& Var) { return Var.Mode() == amUniformSampleWidth && Var.FirstPos() != 0; })
        .String(L"PosUnit", &A::PosUnit, &A::SetPosUnit)
        .Float(L"RangeMax", &F::RangeMax, &F::SetRangeMax)
        .Stored(NonZero<F, &F::RangeMax>)
        .Float(L"RangeMin", &F::RangeMin, &F::SetRangeMin)
        .Stored(NonZero<F, &F::RangeMin>)
        .Enum(L"RangeMode", KoRTTIVarRangeModeType(), &TKoVar::RangeMode, &TKoVar::SetRangeMode)
        .Default(rmNone)
        .Float(L"SampleWidth", &A::SampleWidth, &A::SetSampleWidth)
        .Stored([](const A& Var) { return Var.Mode() == amUniformSampleWidth && Var.SampleWidth() != 1; })
        .Float(L"Setpoint", &F::Setpoint, &F::SetSetpoint)
        .Stored(NonZero<F, &F::Setpoint>)
        .Enum(L"StatsMode", KoRTTIVarStatsModeType(), &F::StatsMode, &F::SetStatsMode)
        .Default(smNone)
        .Bool(L"UseLabels", &A::UseLabels, &A::SetUseLabels)
        .Default(0)
        .Skipped(L"OnGetAlarmState", tkMethod)
        .Skipped(L"OnRangeChange", tkMethod);
}

} // namespace

void KoRegisterVarsRTTI() {
    static std::once_flag Once;
    std::call_once(Once, [] {
        KoRegisterFoundationRTTI();
        KoRegisterTKoVarRTTI();
        KoRegisterTKoStringRTTI();
        KoRegisterTKoVariantRTTI();
        KoRegisterTKoCustomIntegerRTTI();
        KoRegisterTKoIntegerRTTI();
        KoRegisterTKoCustomFloatRTTI();
        KoRegisterTKoFloatRTTI();
        KoRegisterTKoDateTimeRTTI();
        KoRegisterTKoBoolRTTI();
        KoRegisterTKoCustomStateRTTI();
        KoRegisterTKoStateRTTI();
        KoRegisterTKoBitSetRTTI();
        KoRegisterStateItemsRTTI();
        KoRegisterTKoByteArrayRTTI();
        KoRegisterFloatArraysRTTI();
    });
}
