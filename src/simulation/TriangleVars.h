#pragma once

#include "SimVars.h"

class TTriangle : public TSimulationData {
public:
    explicit TTriangle(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TTriangle"; }
};

// The module of the process (owned by the application).
extern TTriangle* Triangle;
