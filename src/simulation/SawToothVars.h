#pragma once

#include "SimVars.h"

// Ramps up by a step per tick and restarts at the bottom of the range.
class TSawTooth : public TSimulationData {
public:
    explicit TSawTooth(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TSawTooth"; }

    // Step of KoFloat1 and KoDateTime1.
    TKoFloat* DXFloat = nullptr;
    // Step of KoInteger1.
    TKoInteger* DXInteger = nullptr;

    void DataModuleCreate(TKoComponent* Sender) override;
    void Simulate() override;
};

// The module of the process (owned by the application).
extern TSawTooth* SawTooth;
