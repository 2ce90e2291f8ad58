#pragma once
// Scope guards for the bracket operations of the foundation's objects.

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
