#pragma once

#include "SimVars.h"

class TSinusoid : public TSimulationData {
public:
    explicit TSinusoid(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TSinusoid"; }
};

// The module of the process (owned by the application).
extern TSinusoid* Sinusoid;
