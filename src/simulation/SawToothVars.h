#pragma once

#include "SimVars.h"

class TSawTooth : public TSimulationData {
public:
    explicit TSawTooth(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TSawTooth"; }
};

// The module of the process (owned by the application).
extern TSawTooth* SawTooth;
