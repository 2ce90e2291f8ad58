#include "RandomVars.h"

#include "KoRandom.h"

TRandom* Random = nullptr;

TRandom::TRandom(TKoComponent* AOwner) : TSimulationData(AOwner, L"Random") {
    ConfigureStates();
    KoDateTime1->SetMinDate(25569.0); // 1970-01-01
    KoDateTime1->SetMaxDate(49674.0); // 2035-12-31
}

void TRandom::Simulate() {
    ToggleBool();
    KoFloat1->SetValue(KoFloat1->RangeMin() + KoRandom() * (KoFloat1->RangeMax() - KoFloat1->RangeMin()));
    KoInteger1->SetValue(KoInteger1->RangeMin() + KoRandom(KoInteger1->RangeMax() - KoInteger1->RangeMin()));
    KoState1->Next();
    KoBitSet1->SetValue(static_cast<uint32_t>(KoRandom(KoBitSet1->RangeMax())));
    KoDateTime1->SetValue(KoDateTime1->MinDate() +
                          KoRandom() * (KoDateTime1->MaxDate() - KoDateTime1->MinDate()));
    KoString1->SetValue(KoDateTime1->GetValueAsString());
    KoFloatArray1->FillRandom(50.0, 10.0);
    FillBytes([] { return static_cast<uint8_t>(KoRandom(256)); });
    TSimulationData::Simulate();
}
