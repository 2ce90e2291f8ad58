#pragma once

#include "SimVars.h"

// A module whose values change only when a client writes them.
class TStatic : public TSimulationData {
public:
    explicit TStatic(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TStatic"; }

    // Leaves every value alone (and skips the base step).
    void Simulate() override;

protected:
    TStatic(TKoComponent* AOwner, const std::wstring& AName);
};

// The module of the process (owned by the application).
extern TStatic* Static;
