#pragma once
// Scope guards for the bracket operations of the foundation's objects, and an in-place lock.

#include <windows.h>

// Holds an update bracket (BeginUpdate .. EndUpdate) of a list, a tree or a variable for as long
// as it lives, so that the bracket closes also when the update fails half-way.
template <class T> class TKoUpdateGuard {
public:
    explicit TKoUpdateGuard(T& AObject) : FObject(AObject) { FObject.BeginUpdate(); }
    ~TKoUpdateGuard() { FObject.EndUpdate(); }
    TKoUpdateGuard(const TKoUpdateGuard&) = delete;
    TKoUpdateGuard& operator=(const TKoUpdateGuard&) = delete;

private:
    T& FObject;
};

// Holds an object's own lock (Lock .. Unlock) for as long as it lives.
template <class T> class TKoLockGuard {
public:
    explicit TKoLockGuard(const T& AObject) : FObject(AObject) { FObject.Lock(); }
    ~TKoLockGuard() { FObject.Unlock(); }
    TKoLockGuard(const TKoLockGuard&) = delete;
    TKoLockGuard& operator=(const TKoLockGuard&) = delete;

private:
    const T& FObject;
};

// A recursive lock kept inside its owner: a Win32 critical section without debug information.
// Unlike the standard mutexes of this tool chain it needs no memory of its own, so taking it
// touches only the owner's memory (an item of tens of thousands takes its lock on every change).
// Use it with std::lock_guard like any standard lock.
class TKoCriticalSection {
public:
    TKoCriticalSection() noexcept {
        InitializeCriticalSectionEx(&FSection, 0, CRITICAL_SECTION_NO_DEBUG_INFO);
    }
    ~TKoCriticalSection() { DeleteCriticalSection(&FSection); }
    TKoCriticalSection(const TKoCriticalSection&) = delete;
    TKoCriticalSection& operator=(const TKoCriticalSection&) = delete;

    void lock() noexcept { EnterCriticalSection(&FSection); }
    bool try_lock() noexcept { return TryEnterCriticalSection(&FSection) != FALSE; }
    void unlock() noexcept { LeaveCriticalSection(&FSection); }

private:
    CRITICAL_SECTION FSection;
};
