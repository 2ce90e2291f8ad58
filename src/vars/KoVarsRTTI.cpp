#include "KoVarsRTTI.h"

#include <mutex>

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

void KoRegisterVarsRTTI() {
    static std::once_flag Once;
    std::call_once(Once, [] {
        KoRegisterFoundationRTTI();
        KoRegisterTKoVarRTTI();
        KoRegisterTKoStringRTTI();
        KoRegisterTKoVariantRTTI();
    });
}
