#pragma once
// The simulation module: a named container of process variables and a timer whose tick runs
// one simulation step.
//
// Every module holds the same standard set of twelve components, created in this order (which
// is the order clients see them in): KoBool1, KoFloat1, KoInteger1, KoState1, KoBitSet1,
// KoString1, KoFloatArray1, KoByteArray1, Timer1, TimerInterval, KoVariant1, KoDateTime1.
// Concrete modules adjust the configuration in their constructors (still inside the loading
// phase) and override Simulate with their waveform.

#include <functional>
#include <string>

#include "KoArrays.h"
#include "KoByteArrays.h"
#include "KoClasses.h"
#include "KoDiscreteVars.h"
#include "KoNumVars.h"
#include "KoStringVars.h"
#include "KoTimers.h"

class TSimulationData : public TKoDataModule {
public:
    // AName is the module name, the first segment of its item IDs.
    TSimulationData(TKoComponent* AOwner, const std::wstring& AName);
    const wchar_t* ClassName() const override { return L"TSimulationData"; }

    // ---- the standard set ----

    TKoBitSet* KoBitSet1 = nullptr;
    TKoBool* KoBool1 = nullptr;
    TKoByteArray* KoByteArray1 = nullptr;
    TKoFloat* KoFloat1 = nullptr;
    TKoFloatArray* KoFloatArray1 = nullptr;
    TKoInteger* KoInteger1 = nullptr;
    TKoState* KoState1 = nullptr;
    TKoString* KoString1 = nullptr;
    // Period 1000 ms unless the module's definition says otherwise; 0 = never fires.
    TKoTimer* Timer1 = nullptr;
    // Mirrors Timer1's period; a good value written here becomes the period.
    TKoInteger* TimerInterval = nullptr;
    TKoVariant* KoVariant1 = nullptr;
    TKoDateTime* KoDateTime1 = nullptr;

    // ---- handlers and steps ----

    // Create handler: runs once the definition was applied; sets TimerInterval to the timer's
    // period and runs the first step. Concrete modules call it first from their own handlers.
    virtual void DataModuleCreate(TKoComponent* Sender);
    void DataModuleDestroy(TKoComponent* Sender);
    // One simulation step. The base step composes KoVariant1 from the other variables.
    virtual void Simulate();
    // The timer's tick handler.
    void Timer1Timer(TKoComponent* Sender);
    void TimerIntervalChange(TKoVar* Sender, TKoVarPropTypes Props);
    void KoBool1Change(TKoVar* Sender, TKoVarPropTypes Props);

    // Whether a step of this module is running right now.
    bool Simulating() const { return FSimulating; }

protected:
    // Toggles KoBool1 from its stored value, also while that value is bad.
    void ToggleBool();
    // Gives KoState1 ten states and KoBitSet1 sixteen bits, as every concrete module has them.
    void ConfigureStates();
    // A step variable of the waveform modules, created after the standard set.
    TKoFloat* CreateStepFloat(const wchar_t* AName, int32_t AID);
    TKoInteger* CreateStepInteger(const wchar_t* AName, int32_t AID);
    // Writes every byte of KoByteArray1, in order, inside one update bracket.
    void FillBytes(const std::function<uint8_t()>& NextByte);

private:
    void Step();

    bool FSimulating = false;
};
