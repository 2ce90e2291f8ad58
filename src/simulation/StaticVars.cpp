#include "StaticVars.h"

TStatic* Static = nullptr;

TStatic::TStatic(TKoComponent* AOwner) : TStatic(AOwner, L"Static") {}

TStatic::TStatic(TKoComponent* AOwner, const std::wstring& AName) : TSimulationData(AOwner, AName) {}

void TStatic::Simulate() {}
