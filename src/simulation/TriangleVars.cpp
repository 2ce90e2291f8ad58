#include "TriangleVars.h"

TTriangle* Triangle = nullptr;

TTriangle::TTriangle(TKoComponent* AOwner) : TSimulationData(AOwner, L"Triangle") {}
