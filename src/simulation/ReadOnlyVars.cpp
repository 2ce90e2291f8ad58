#include "ReadOnlyVars.h"

TReadOnly* ReadOnly = nullptr;

TReadOnly::TReadOnly(TKoComponent* AOwner) : TStatic(AOwner, L"ReadOnly") {
    KoFloat1->SetRangeMode(rmNone);
    KoInteger1->SetRangeMode(rmNone);
    KoFloatArray1->SetRangeMode(rmNone);
    Timer1->SetInterval(0);
}

void TReadOnly::DataModuleCreate(TKoComponent* Sender) {
    TStatic::DataModuleCreate(Sender);
    for (int i = 0; i < ComponentCount(); ++i)
        if (auto* Var = dynamic_cast<TKoVar*>(Components(i))) Var->SetReadOnly(true);
}
