#pragma once
// Hand-written COM plumbing shared by the server's objects: the reference-counted object base,
// enumerators over a copy of their entries (IEnumString, IEnumUnknown, IEnumConnections,
// IEnumConnectionPoints) and multi-sink connection points with their container.
//
// Every object here is free-threaded: calls arrive on any worker thread of the multi-threaded
// apartment, several at once.

#include <windows.h>

#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

// A ComPtr that takes over a reference the caller already owns. MinGW's ComPtr differs from the
// documented WRL behaviour: Attach takes a reference of its own (an object handed to it leaks)
// and move assignment copies (the source keeps its reference). Adopt with this, or write into
// an empty ComPtr's GetAddressOf(); move with Swap or move construction.
template <class T> ComPtr<T> KoAdopt(T* Object) noexcept {
    ComPtr<T> Result;
    *Result.GetAddressOf() = Object;
    return Result;
}

// The IUnknown of an object that implements the interfaces TIntf... Created with one reference,
// which the creator holds. The first interface also serves as the object's IUnknown.
template <class TFirst, class... TIntf> class TKoComObject : public TFirst, public TIntf... {
public:
    TKoComObject() = default;
    TKoComObject(const TKoComObject&) = delete;
    TKoComObject& operator=(const TKoComObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        IUnknown* Found = FindInterface(riid);
        if (!Found) return E_NOINTERFACE;
        Found->AddRef();
        *ppv = Found;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++FRefCount; }
    // Takes a reference unless the object is already on its way out (no references left):
    // for holders of a plain pointer that the object's destruction clears.
    bool TryAddRef() noexcept {
        ULONG Current = FRefCount.load();
        while (Current != 0)
            if (FRefCount.compare_exchange_weak(Current, Current + 1)) return true;
        return false;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG Current = FRefCount.load();
        for (;;) {
            if (Current == 2) return ReleaseFromTwo();
            if (Current == 0) return 0; // released once too often: nothing left to free
            if (FRefCount.compare_exchange_weak(Current, Current - 1)) {
                if (Current == 1) delete this;
                return Current - 1;
            }
        }
    }
    IUnknown* Unknown() noexcept { return static_cast<TFirst*>(this); }
    ULONG RefCount() const noexcept { return FRefCount.load(); }

protected:
    virtual ~TKoComObject() = default;

    // The interface pointer for riid, or nullptr (no reference taken). The default answers
    // IUnknown and each of the object's interfaces.
    virtual IUnknown* FindInterface(REFIID riid) {
        if (IsEqualIID(riid, IID_IUnknown)) return Unknown();
        IUnknown* Found = nullptr;
        if (IsEqualIID(riid, __uuidof(TFirst))) Found = static_cast<TFirst*>(this);
        ((Found || !IsEqualIID(riid, __uuidof(TIntf)) ? void() : void(Found = static_cast<TIntf*>(this))),
         ...);
        return Found;
    }
    // A release that would leave exactly one reference (normally that of the object's owner).
    // The default runs ReleasingToOne while the caller's reference is still held, so the object
    // cannot go away under it whatever other threads release meanwhile, then drops it.
    virtual ULONG ReleaseFromTwo() noexcept {
        ReleasingToOne();
        return DropReference();
    }
    virtual void ReleasingToOne() noexcept {}
    // Drops one reference; the last one frees the object.
    ULONG DropReference() noexcept {
        const ULONG Left = --FRefCount;
        if (Left == 0) delete this;
        return Left;
    }

private:
    std::atomic<ULONG> FRefCount{1};
};

// ---- enumerators ----

// A string enumerator over a copy of Entries; the caller holds the one reference.
IEnumString* KoNewEnumString(std::vector<std::wstring> Entries);
// An enumerator of the given objects (it holds a reference on each).
IEnumUnknown* KoNewEnumUnknown(std::vector<ComPtr<IUnknown>> Entries);

// ---- remoting registrations ----

// Keeps the process's remoting registration of each of the given interfaces for as long as it
// lives, by holding one stub of each on an anchor object that no client can reach.
//
// Why: COM registers an interface for remote calls while at least one stub of it exists in the
// process, and unregisters it when the last such stub goes, waiting for the calls on it to end.
// Under Wine that wait races with the call that has just been answered (its reply goes out
// before the call is counted as ended), and when it loses, the releasing thread waits for ever:
// the client's Release never returns and, since the wait holds COM's registration lock, neither
// does any later marshalling in the server. A client that releases an enumerator, a group or the
// server object right after its last call hits it. With one stub of each interface always
// present, the registration never ends while the process serves. On Windows it costs one idle
// stub per interface.
//
// The anchor answers QueryInterface for every listed interface with its IUnknown: its marshal
// data never leaves this object, so no call can ever reach those stubs, and only the IUnknown
// methods are ever used. Create it in the apartment that serves the clients, after COM is
// initialised; destroy it before COM is uninitialised.
class TKoInterfaceAnchor {
public:
    explicit TKoInterfaceAnchor(std::vector<IID> Interfaces);
    ~TKoInterfaceAnchor();
    TKoInterfaceAnchor(const TKoInterfaceAnchor&) = delete;
    TKoInterfaceAnchor& operator=(const TKoInterfaceAnchor&) = delete;

    // The interfaces that are held (those whose marshalling succeeded).
    int Count() const noexcept { return static_cast<int>(FStreams.size()); }

private:
    ComPtr<IUnknown> FObject;
    std::vector<ComPtr<IStream>> FStreams;
};

// ---- connection points ----

class TKoConnectionPoints;

// Told after a sink was advised (true) or unadvised (false), with that sink. A handler that
// raises on advising refuses the sink: the advise fails and the sink is dropped again.
using TKoConnectEvent = std::function<void(IUnknown* Sink, bool Connected)>;

// A connection point for one sink interface, accepting any number of sinks or at most MaxSinks
// (CONNECT_E_ADVISELIMIT beyond). It lives inside its
// owner's connection-point list and counts its references on the owner, so a client that holds
// it keeps the owner alive. Cookies are never reused: cookie N names the N-th advise.
class TKoConnectionPoint : public IConnectionPoint {
public:
    TKoConnectionPoint(TKoConnectionPoints& AContainer, REFIID ASinkIID, TKoConnectEvent AOnConnect,
                       size_t AMaxSinks = 0);
    TKoConnectionPoint(const TKoConnectionPoint&) = delete;
    TKoConnectionPoint& operator=(const TKoConnectionPoint&) = delete;
    virtual ~TKoConnectionPoint();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetConnectionInterface(IID* pIID) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

    const IID& SinkIID() const noexcept { return FSinkIID; }
    // The connected sinks (as queried for the sink interface), most recently advised first.
    std::vector<ComPtr<IUnknown>> SinksNewestFirst() const;
    int SinkCount() const;
    // Drops every sink (the owner is going away).
    void Clear();

private:
    // Without the lock (the caller holds it).
    int CountSinks() const noexcept;

    TKoConnectionPoints& FContainer;
    IID FSinkIID;
    TKoConnectEvent FOnConnect;
    size_t FMaxSinks;
    mutable std::mutex FLock;
    // Slot N-1 holds the sink of cookie N; an unadvised slot is empty.
    std::vector<ComPtr<IUnknown>> FSinks;
};

// The connection points of one object, which answers IConnectionPointContainer through it.
class TKoConnectionPoints {
public:
    // Owner: the object's IUnknown; Container: the object's own IConnectionPointContainer.
    TKoConnectionPoints(IUnknown& AOwner, IConnectionPointContainer& AContainer);
    TKoConnectionPoints(const TKoConnectionPoints&) = delete;
    TKoConnectionPoints& operator=(const TKoConnectionPoints&) = delete;

    // MaxSinks 0: any number.
    TKoConnectionPoint& Add(REFIID SinkIID, TKoConnectEvent OnConnect = {}, size_t MaxSinks = 0);
    // nullptr when there is none for the interface.
    TKoConnectionPoint* Find(REFIID SinkIID) const;

    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum);
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP);

    IUnknown& Owner() const noexcept { return FOwner; }
    IConnectionPointContainer& Container() const noexcept { return FContainer; }

private:
    IUnknown& FOwner;
    IConnectionPointContainer& FContainer;
    std::vector<std::unique_ptr<TKoConnectionPoint>> FPoints;
};
