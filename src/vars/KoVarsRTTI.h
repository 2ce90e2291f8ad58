#pragma once
// The published properties of the variable classes for property reflection (KoRTTI.h).
//
// Each class has one registration function of its own; KoRegisterVarsRTTI runs them all once
// and is what a program or test calls before it reflects on variables. A new variable class
// adds its own function (in its own file or in KoVarsRTTI.cpp) and a call to it in
// KoRegisterVarsRTTI; the enumeration types below are shared, so that equal types compare equal.

#include "KoRTTI.h"
#include "KoVarTypes.h"

// The enumeration types of the variable model, with the names of their values.
const TKoRTTIType* KoRTTIVarPropTypeType();     // vpValue ... vpOther2
const TKoRTTIType* KoRTTIVarQualityType();      // vpqBad, vpqUncertain, vpqGood
const TKoRTTIType* KoRTTIVarAccessType();       // daNone, daFull
const TKoRTTIType* KoRTTIVarAlarmModeType();    // amOff, amAlarms, amAlarmsAndWarnings
const TKoRTTIType* KoRTTIVarAlarmStateType();   // asNormal, asWarning, asAlarm, asUnknown
const TKoRTTIType* KoRTTIVarChangeFilterType(); // cfQuality, cfQualityValue, cfQualityValueTimestamp
const TKoRTTIType* KoRTTIVarRangeModeType();    // rmNone, rmException, rmUndefine
const TKoRTTIType* KoRTTIVarStatsModeType();    // smNone, smSimple

// One block per class.
void KoRegisterTKoVarRTTI();
void KoRegisterTKoStringRTTI();
void KoRegisterTKoVariantRTTI();
// Numeric variables: the custom bases publish nothing of their own.
void KoRegisterTKoCustomIntegerRTTI();
void KoRegisterTKoIntegerRTTI();
void KoRegisterTKoCustomFloatRTTI();
void KoRegisterTKoFloatRTTI();
void KoRegisterTKoDateTimeRTTI();
// Discrete variables, their state items and the lists holding them.
void KoRegisterTKoBoolRTTI();
void KoRegisterTKoCustomStateRTTI();
void KoRegisterTKoStateRTTI();
void KoRegisterTKoBitSetRTTI();
void KoRegisterStateItemsRTTI();

// Every registration above (and the foundation's); runs at most once.
void KoRegisterVarsRTTI();
