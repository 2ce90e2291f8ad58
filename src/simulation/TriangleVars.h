#pragma once

#include "SimVars.h"

// Ramps up and down between the ends of the range. The Tag of KoState1 and of KoBitSet1 holds
// their direction (+1, -1, or 0 for standing still).
class TTriangle : public TSimulationData {
public:
    explicit TTriangle(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TTriangle"; }

    // Step of KoFloat1 and KoDateTime1; its sign turns at the ends of the ramp.
    TKoFloat* DXFloat = nullptr;
    // Step of KoInteger1; its sign turns at the ends of the ramp.
    TKoInteger* DXInteger = nullptr;

    void DataModuleCreate(TKoComponent* Sender) override;
    void Simulate() override;

private:
    // Adds DXFloat to Var; at an end of the range the step turns and is added again.
    void RampFloat(TKoCustomFloat* Var);
};

// The module of the process (owned by the application).
extern TTriangle* Triangle;
