#include "SinusoidVars.h"

#include <cmath>
#include <numbers>

TSinusoid* Sinusoid = nullptr;

TSinusoid::TSinusoid(TKoComponent* AOwner) : TSimulationData(AOwner, L"Sinusoid") {
    ConfigureStates();
    KoState1->Tag = 1;
    DTFloat = CreateStepFloat(L"DTFloat", 10);
    DXInteger = CreateStepInteger(L"DXInteger", 11);
}

void TSinusoid::DataModuleCreate(TKoComponent* Sender) {
    TSimulationData::DataModuleCreate(Sender);
    DTFloat->SetValue(KoFloat1->RangeMax() / 34);
}

void TSinusoid::Simulate() {
    ToggleBool();
    const double A = (std::cos(T * std::numbers::pi / 180) + 1) / 2;
    KoFloat1->SetValue((KoFloat1->RangeMax() - KoFloat1->RangeMin()) * A);
    // The span of an integer range is taken as a 32-bit integer: for a 32-bit bit set it wraps
    // to -1, so the bit set reads 0 except at the top of the cosine, where all bits are set.
    for (TKoCustomInteger* Var :
         {static_cast<TKoCustomInteger*>(KoInteger1), static_cast<TKoCustomInteger*>(KoState1),
          static_cast<TKoCustomInteger*>(KoBitSet1)}) {
        const auto Span = static_cast<int32_t>(static_cast<uint32_t>(Var->RangeMax()) -
                                               static_cast<uint32_t>(Var->RangeMin()));
        Var->SetPropAsFloat(vpValue, Span * A);
    }
    KoDateTime1->SetValue((KoDateTime1->MaxDate() - KoDateTime1->MinDate()) * A);
    KoFloatArray1->FillRandom(KoFloat1->Value(), 0.0);
    const uint8_t Byte = static_cast<uint8_t>(KoInteger1->Value());
    FillBytes([Byte] { return Byte; });
    T += DTFloat->Value();
    TSimulationData::Simulate();
}
