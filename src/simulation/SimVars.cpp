#include "SimVars.h"

#include "KoApplication.h"
#include "KoOle.h"
#include "KoVarAccess.h"

namespace {

template <class T> T* CreateVar(TKoComponent* AOwner, const wchar_t* AName, int32_t AID) {
    T* Var = new T(AOwner);
    Var->SetName(AName);
    Var->SetID(AID);
    Var->SetCaption(AName);
    return Var;
}

void SetStates(TKoCustomState* Var, int Count) {
    Var->States().Clear();
    for (int i = 0; i < Count; ++i) {
        TKoCustomStateItem* Item = Var->States().AddState(L"State" + std::to_wstring(i), i);
        Item->SetAlarmState(asNormal);
    }
}

// A one-dimensional array of ten empty variants (bounds 0 .. 9).
TKoSafeArray EmptyVariantArray() {
    return TKoSafeArray(VT_VARIANT, {{0, 9}});
}

void PutElement(TKoSafeArray& Array, LONG Index, const VARIANT& Value) {
    KoSafeArrayPutVariant(Array.Get(), &Index, Value);
}

} // namespace

TSimulationData::TSimulationData(TKoComponent* AOwner, const std::wstring& AName) : TKoDataModule(AOwner) {
    SetName(AName);

    KoBool1 = CreateVar<TKoBool>(this, L"KoBool1", 1);
    KoBool1->SetAlarmMode(amAlarmsAndWarnings);
    KoBool1->SetAlarmStateFalse(asNormal);
    KoBool1->SetAlarmStateTrue(asNormal);
    KoBool1->OnChange = [this](TKoVar* Sender, TKoVarPropTypes Props) { KoBool1Change(Sender, Props); };

    KoFloat1 = CreateVar<TKoFloat>(this, L"KoFloat1", 2);
    KoFloat1->SetAlarmMode(amAlarmsAndWarnings);
    KoFloat1->SetRangeMax(100.0);
    KoFloat1->SetAlarmHigh(80.0);
    KoFloat1->SetAlarmLow(20.0);
    KoFloat1->SetWarnHigh(70.0);
    KoFloat1->SetWarnLow(30.0);
    KoFloat1->SetEngUnit(L"\u00B0C");
    KoFloat1->SetRangeMode(rmException);
    KoFloat1->SetStatsMode(smSimple);

    KoInteger1 = CreateVar<TKoInteger>(this, L"KoInteger1", 3);
    KoInteger1->SetAlarmMode(amAlarmsAndWarnings);
    KoInteger1->SetRangeMin(0);
    KoInteger1->SetRangeMax(100);
    KoInteger1->SetRangeMode(rmException);

    KoState1 = CreateVar<TKoState>(this, L"KoState1", 4);
    KoState1->SetAlarmMode(amAlarmsAndWarnings);
    KoState1->SetRangeMin(0);
    KoState1->SetRangeMax(9);
    KoState1->SetRangeMode(rmException);
    SetStates(KoState1, 10);

    KoBitSet1 = CreateVar<TKoBitSet>(this, L"KoBitSet1", 5);
    KoBitSet1->SetAlarmMode(amAlarmsAndWarnings);
    KoBitSet1->SetRangeMode(rmException);
    SetStates(KoBitSet1, 4);

    KoString1 = CreateVar<TKoString>(this, L"KoString1", 6);
    KoString1->SetAlarmMode(amAlarmsAndWarnings);

    KoFloatArray1 = CreateVar<TKoFloatArray>(this, L"KoFloatArray1", 7);
    KoFloatArray1->SetAlarmMode(amAlarmsAndWarnings);
    KoFloatArray1->SetCapacity(10);
    KoFloatArray1->SetCircular(false);
    KoFloatArray1->SetEngUnit(L"\u00B0C");
    KoFloatArray1->SetFirstIndex(0);
    KoFloatArray1->SetMode(amUniformSampleWidth);
    KoFloatArray1->SetPosUnit(L"m");
    KoFloatArray1->SetRangeMax(100.0);
    KoFloatArray1->SetRangeMode(rmException);
    KoFloatArray1->SetStatsMode(smSimple);
    KoFloatArray1->SetUseLabels(false);

    KoByteArray1 = CreateVar<TKoByteArray>(this, L"KoByteArray1", 8);
    KoByteArray1->SetLength(16);
    KoByteArray1->SetOffset(0);

    Timer1 = new TKoTimer(this);
    Timer1->SetName(L"Timer1");
    Timer1->SetInterval(1000);
    Timer1->SetOnTimer([this](TKoComponent* Sender) { Timer1Timer(Sender); });

    TimerInterval = CreateVar<TKoInteger>(this, L"TimerInterval", 9);
    TimerInterval->SetRangeMin(0);
    TimerInterval->SetRangeMax(100000);
    TimerInterval->SetRangeMode(rmException);
    TimerInterval->OnChange = [this](TKoVar* Sender, TKoVarPropTypes Props) {
        TimerIntervalChange(Sender, Props);
    };

    KoVariant1 = CreateVar<TKoVariant>(this, L"KoVariant1", 10);

    KoDateTime1 = CreateVar<TKoDateTime>(this, L"KoDateTime1", 11);
    KoDateTime1->SetRangeMode(rmNone);

    OnCreate = [this](TKoComponent* Sender) { DataModuleCreate(Sender); };
    OnDestroy = [this](TKoComponent* Sender) { DataModuleDestroy(Sender); };
}

void TSimulationData::ConfigureStates() {
    SetStates(KoBitSet1, 16);
    SetStates(KoState1, 10);
}

TKoFloat* TSimulationData::CreateStepFloat(const wchar_t* AName, int32_t AID) {
    // The step variables carry the caption "KoFloat1" in every module's definition.
    TKoFloat* Var = CreateVar<TKoFloat>(this, AName, AID);
    Var->SetCaption(L"KoFloat1");
    Var->SetRangeMin(-100.0);
    Var->SetRangeMax(100.0);
    Var->SetRangeMode(rmNone);
    return Var;
}

TKoInteger* TSimulationData::CreateStepInteger(const wchar_t* AName, int32_t AID) {
    TKoInteger* Var = CreateVar<TKoInteger>(this, AName, AID);
    Var->SetRangeMin(0);
    Var->SetRangeMax(-1);
    Var->SetRangeMode(rmNone);
    return Var;
}

void TSimulationData::DataModuleCreate(TKoComponent*) {
    TimerInterval->SetValue(static_cast<int32_t>(Timer1->Interval()));
    Step();
}

void TSimulationData::DataModuleDestroy(TKoComponent*) {}

void TSimulationData::Simulate() {
    // The composite value: the float, an array of the bool, text, date-time, integer and byte
    // array, and the float array, in a ten-element array.
    TKoSafeArray Outer = EmptyVariantArray();
    PutElement(Outer, 0, TKoOleVariant(KoFloat1->Value()));

    TKoSafeArray Inner = EmptyVariantArray();
    PutElement(Inner, 0, TKoOleVariant(KoBool1->Value()));
    PutElement(Inner, 1, TKoOleVariant(KoString1->Value()));
    PutElement(Inner, 2, TKoOleVariant::Date(KoDateTime1->Value()));
    PutElement(Inner, 3, TKoOleVariant(KoInteger1->Value()));
    PutElement(Inner, 4, KoByteArray1->GetPropValue(vpValue));

    PutElement(Outer, 1, TKoOleVariant::TakeArray(VT_VARIANT, Inner.Release()));
    PutElement(Outer, 2, KoFloatArray1->GetPropValue(vpValue));

    KoVariant1->SetValue(TKoOleVariant::TakeArray(VT_VARIANT, Outer.Release()));
}

void TSimulationData::Timer1Timer(TKoComponent*) {
    // The step writes the module's variables: readers on other threads wait for it.
    TKoVarWriteAccess Access(KoVarAccessLock());
    Step();
}

void TSimulationData::TimerIntervalChange(TKoVar*, TKoVarPropTypes) {
    if (TimerInterval->Quality() == vpqGood)
        Timer1->SetInterval(static_cast<unsigned>(TimerInterval->Value()));
}

void TSimulationData::KoBool1Change(TKoVar*, TKoVarPropTypes) {
    KoString1->SetValue(KoBool1->GetValueAsString());
}

void TSimulationData::ToggleBool() {
    KoBool1->SetValue(!KoBool1->Value());
}

void TSimulationData::FillBytes(const std::function<uint8_t()>& NextByte) {
    KoByteArray1->Updating([&] {
        const int32_t First = KoByteArray1->Offset();
        for (int32_t i = 0; i < KoByteArray1->Length(); ++i) KoByteArray1->SetByte(First + i, NextByte());
    });
}

void TSimulationData::Step() {
    // A step that pumps messages (an error report in a dialog, say) must not let the next tick
    // start a second step of the same module inside the first: such a tick is dropped.
    if (FSimulating) return;
    FSimulating = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } Reset{FSimulating};
    // An error other than the range errors a waveform handles ends this step; the next tick
    // runs the next step as usual.
    try {
        Simulate();
    } catch (...) {
        Application().HandleException(this);
    }
}
