#include "KoVarAccess.h"

#include <chrono>

#include "KoUtils.h"

std::recursive_timed_mutex& KoVarAccessLock() {
    static std::recursive_timed_mutex Lock;
    return Lock;
}

EKoVarAccessTimeout::EKoVarAccessTimeout(unsigned BoundMs)
    : EKoException(KoFormat(L"The variables were busy for more than %d ms.", BoundMs)) {}

TKoVarReadAccess::TKoVarReadAccess(unsigned BoundMs) {
    if (!KoVarAccessLock().try_lock_for(std::chrono::milliseconds(BoundMs)))
        throw EKoVarAccessTimeout(BoundMs);
}
