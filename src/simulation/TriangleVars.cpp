#include "TriangleVars.h"

TTriangle* Triangle = nullptr;

TTriangle::TTriangle(TKoComponent* AOwner) : TSimulationData(AOwner, L"Triangle") {
    ConfigureStates();
    KoState1->Tag = 1;
    DXFloat = CreateStepFloat(L"DXFloat", 10);
    DXInteger = CreateStepInteger(L"DXInteger", 11);
}

void TTriangle::DataModuleCreate(TKoComponent* Sender) {
    TSimulationData::DataModuleCreate(Sender);
    DXFloat->SetValue(KoFloat1->RangeMax() / 34);
    DXInteger->SetValue(1);
}

void TTriangle::RampFloat(TKoCustomFloat* Var) {
    try {
        Var->AddValue(DXFloat->Value());
    } catch (const EKoRangeError&) {
        DXFloat->SetValue(-DXFloat->Value());
        Var->AddValue(DXFloat->Value());
    }
}

void TTriangle::Simulate() {
    ToggleBool();
    RampFloat(KoFloat1);
    try {
        KoInteger1->AddValue(DXInteger->Value());
    } catch (const EKoRangeError&) {
        // Negation that wraps, as the integer arithmetic of the variables does.
        DXInteger->SetValue(static_cast<int32_t>(0u - static_cast<uint32_t>(DXInteger->Value())));
        KoInteger1->AddValue(DXInteger->Value());
    }

    if (KoState1->Tag > 0)
        KoState1->Next();
    else
        KoState1->Prev();
    if (KoState1->Value() == KoState1->RangeMax())
        KoState1->Tag = -1;
    else if (KoState1->Value() == KoState1->RangeMin())
        KoState1->Tag = 1;

    KoBitSet1->AddValue(static_cast<int32_t>(KoBitSet1->Tag));
    const int64_t Bits = KoBitSet1->Value();
    if (int64_t{KoBitSet1->RangeMax()} == Bits)
        KoBitSet1->Tag = -1;
    else if (int64_t{KoBitSet1->RangeMin()} == Bits)
        KoBitSet1->Tag = 1;

    RampFloat(KoDateTime1);
    KoString1->SetValue(KoDateTime1->GetValueAsString());
    KoFloatArray1->FillRandom(KoFloat1->Value(), 0.0);
    const uint8_t Byte = static_cast<uint8_t>(KoState1->Value());
    FillBytes([Byte] { return Byte; });
    TSimulationData::Simulate();
}
