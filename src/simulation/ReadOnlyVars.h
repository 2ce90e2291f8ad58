#pragma once

#include "StaticVars.h"

// The static module whose timer never fires and whose variables all refuse writes.
class TReadOnly : public TStatic {
public:
    explicit TReadOnly(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TReadOnly"; }

    void DataModuleCreate(TKoComponent* Sender) override;
};

// The module of the process (owned by the application).
extern TReadOnly* ReadOnly;
