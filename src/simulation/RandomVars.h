#pragma once

#include "SimVars.h"

class TRandom : public TSimulationData {
public:
    explicit TRandom(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TRandom"; }
};

// The module of the process (owned by the application).
extern TRandom* Random;
