#pragma once

#include "SimVars.h"

// Follows a cosine: one period takes 360 degrees of the phase T, which advances by DTFloat
// degrees per tick.
class TSinusoid : public TSimulationData {
public:
    explicit TSinusoid(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TSinusoid"; }

    // Phase step in degrees.
    TKoFloat* DTFloat = nullptr;
    // Kept for clients that know it from the other ramps; the cosine does not use it.
    TKoInteger* DXInteger = nullptr;
    // The phase in degrees.
    double T = 0.0;

    void DataModuleCreate(TKoComponent* Sender) override;
    void Simulate() override;
};

// The module of the process (owned by the application).
extern TSinusoid* Sinusoid;
