#include "KoPersistent.h"

void TKoPersistentBase::Assign(const TKoPersistentBase* Source) {
    if (!Source) AssignError(nullptr);
    Source->AssignTo(this);
}

void TKoPersistentBase::AssignTo(TKoPersistentBase* Dest) const {
    if (!Dest) AssignError(nullptr); // nothing to name as the destination: report this class
    Dest->AssignError(this);
}

void TKoPersistentBase::AssignError(const TKoPersistentBase* Source) const {
    throw EKoAssignError(
        KoFormat(L"Cannot assign a %s to a %s", Source ? Source->ClassName() : L"nil", ClassName()));
}
