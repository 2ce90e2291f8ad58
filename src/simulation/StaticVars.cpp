#include "StaticVars.h"

TStatic* Static = nullptr;

TStatic::TStatic(TKoComponent* AOwner) : TStatic(AOwner, L"Static") {}

TStatic::TStatic(TKoComponent* AOwner, const std::wstring& AName) : TSimulationData(AOwner, AName) {
    ConfigureStates();
    KoFloat1->SetInitialQuality(vpqGood); // initial value 0.0
    KoFloat1->SetRangeMode(rmNone);
    KoInteger1->SetRangeMode(rmNone);
    KoBitSet1->SetInitialQuality(vpqGood);
    KoBitSet1->SetInitialValue(0xFFFFFFFFu);
    KoString1->SetInitialQuality(vpqGood);
    KoString1->SetInitialValue(L"test");
    KoFloatArray1->SetRangeMode(rmNone);
    KoVariant1->SetInitialQuality(vpqGood);
    KoVariant1->SetInitialValue(TKoOleVariant(int32_t{34}));
    KoDateTime1->SetInitialQuality(vpqGood);
    KoDateTime1->SetInitialValue(25569.5); // 1970-01-01 12:00
}

void TStatic::Simulate() {}
