#include "RandomVars.h"

TRandom* Random = nullptr;

TRandom::TRandom(TKoComponent* AOwner) : TSimulationData(AOwner, L"Random") {}
