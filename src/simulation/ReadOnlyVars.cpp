#include "ReadOnlyVars.h"

TReadOnly* ReadOnly = nullptr;

TReadOnly::TReadOnly(TKoComponent* AOwner) : TStatic(AOwner, L"ReadOnly") {
    Timer1->SetInterval(0);
}
