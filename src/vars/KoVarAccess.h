#pragma once
// The variables have one writer, the main thread: the simulation steps, OPC writes and the
// freeing of removed OPC items all run there. A worker thread that reads variables or connects
// and disconnects links (COM threads serving OPC clients) does so under this process-wide lock,
// which the main thread holds while it changes variables. Without it such a reader could copy a
// string or array value while the main thread frees it.
//
// Lock order: this lock before any OPC group or item lock. A thread that holds a group or item
// lock never waits for this one, so the main thread, which takes item and group locks while it
// holds it, cannot be blocked for long.

#include <mutex>

#include "KoExceptions.h"

// How long a worker thread waits for the main thread to release the variables.
constexpr unsigned KoVarAccessBoundMs = 10000;

std::recursive_timed_mutex& KoVarAccessLock();

// The main thread's hold while it changes variables: waits as long as it takes.
using TKoVarWriteAccess = std::lock_guard<std::recursive_timed_mutex>;

// The variables did not become free within the bound.
class EKoVarAccessTimeout : public EKoException {
public:
    explicit EKoVarAccessTimeout(unsigned BoundMs);
    const wchar_t* ClassName() const noexcept override { return L"EKoVarAccessTimeout"; }
};

// A worker thread's hold (reading variables, connecting links): waits at most BoundMs, then raises
// EKoVarAccessTimeout.
class TKoVarReadAccess {
public:
    explicit TKoVarReadAccess(unsigned BoundMs = KoVarAccessBoundMs);
    ~TKoVarReadAccess() { KoVarAccessLock().unlock(); }
    TKoVarReadAccess(const TKoVarReadAccess&) = delete;
    TKoVarReadAccess& operator=(const TKoVarReadAccess&) = delete;
};
