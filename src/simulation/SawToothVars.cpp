#include "SawToothVars.h"

TSawTooth* SawTooth = nullptr;

TSawTooth::TSawTooth(TKoComponent* AOwner) : TSimulationData(AOwner, L"SawTooth") {}
