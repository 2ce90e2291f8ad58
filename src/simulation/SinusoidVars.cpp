#include "SinusoidVars.h"

TSinusoid* Sinusoid = nullptr;

TSinusoid::TSinusoid(TKoComponent* AOwner) : TSimulationData(AOwner, L"Sinusoid") {}
