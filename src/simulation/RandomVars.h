#pragma once

#include "SimVars.h"

// Draws new random values on every tick.
class TRandom : public TSimulationData {
public:
    explicit TRandom(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TRandom"; }

    void Simulate() override;
};

// The module of the process (owned by the application).
extern TRandom* Random;
