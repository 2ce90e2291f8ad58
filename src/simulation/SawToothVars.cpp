#include "SawToothVars.h"

TSawTooth* SawTooth = nullptr;

TSawTooth::TSawTooth(TKoComponent* AOwner) : TSimulationData(AOwner, L"SawTooth") {
    ConfigureStates();
    KoState1->Tag = 1;
    DXFloat = CreateStepFloat(L"DXFloat", 10);
    DXInteger = CreateStepInteger(L"DXInteger", 11);
}

void TSawTooth::DataModuleCreate(TKoComponent* Sender) {
    TSimulationData::DataModuleCreate(Sender);
    DXFloat->SetValue(KoFloat1->RangeMax() / 34);
    DXInteger->SetValue(1);
}

void TSawTooth::Simulate() {
    ToggleBool();
    try {
        KoFloat1->AddValue(DXFloat->Value());
    } catch (const EKoRangeError&) {
        KoFloat1->SetValue(KoFloat1->RangeMin());
    }
    try {
        KoInteger1->AddValue(DXInteger->Value());
    } catch (const EKoRangeError&) {
        KoInteger1->SetValue(KoInteger1->RangeMin());
    }
    KoState1->Next();
    try {
        KoBitSet1->AddValue(static_cast<int32_t>(KoBitSet1->Tag));
    } catch (const EKoRangeError&) {
        KoBitSet1->SetValue(0u);
    }
    try {
        KoDateTime1->AddValue(DXFloat->Value());
    } catch (const EKoError&) {
        KoDateTime1->SetValue(KoDateTime1->RangeMin());
    }
    KoString1->SetValue(KoFloat1->GetValueAsString());
    KoFloatArray1->FillRandom(KoFloat1->Value(), 0.0);
    const uint8_t Byte = static_cast<uint8_t>(KoInteger1->Value());
    FillBytes([Byte] { return Byte; });
    TSimulationData::Simulate();
}
