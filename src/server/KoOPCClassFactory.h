#pragma once
// The COM class object of the OPC server-object class.
//
// COM asks it for server objects on its worker threads. Until the provider runs, every request
// waits (the thread's COM processing stays alive meanwhile); once the provider has shut down,
// requests create nothing and fail with CO_E_SERVER_STOPPING. It writes and removes the class's
// registry entries, the OPC component categories and the OPC vendor key among them.

#include <windows.h>

#include <functional>
#include <string>

#include "KoComServer.h"
#include "KoOPCProvider.h"
#include "KoWindows.h"

// A new server object: Unknown is its own (non-delegating) IUnknown, Client the same object as
// the provider sees it. The receiver holds the one reference that comes with it.
struct TKoOPCServerObjectRef {
    IUnknown* Unknown = nullptr;
    IKoOPCProviderClient* Client = nullptr;
};

// Makes a server object aggregated under Controller (when given) and attaches it to Provider,
// which lists and names it.
using TKoOPCServerObjectCreator =
    std::function<TKoOPCServerObjectRef(IUnknown* Controller, TKoOPCProvider& Provider)>;

// The programs' server objects (TKoOPCProviderClient); they cannot be aggregated.
TKoOPCServerObjectCreator KoOPCServerObjectCreator();

// How many objects one registration of a class object serves.
enum TKoClassInstancing : int { ciSingleInstance, ciMultiInstance };

class TKoOPCProviderClientFactory final : public IKoComClassObject, public IKoOPCProviderClassObject {
public:
    // Starts with one reference, owned by the caller. A threading model of tmFree or tmBoth
    // makes ComServer initialise COM for the multi-threaded apartment.
    TKoOPCProviderClientFactory(TKoComServer& ComServer, TKoOPCServerObjectCreator Creator,
                                const GUID& ClassID, std::wstring ClassName, std::wstring Description,
                                TKoClassInstancing Instancing, TKoThreadingModel ThreadingModel);

    // The provider new server objects are attached to (not owned).
    void SetProvider(TKoOPCProvider* Value) { FProvider = Value; }
    TKoOPCProvider* Provider() const { return FProvider; }
    // The ProgID: the class name as given (the provider's ServerName).
    std::wstring GetProgID() const { return FClassName; }
    std::wstring Description() const { return FDescription; }
    TKoThreadingModel ThreadingModel() const { return FThreadingModel; }
    bool Activated() const;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID Riid, void** Object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IClassFactory
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* Outer, REFIID Riid, void** Object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL Lock) override;
    // IKoComClassObject
    GUID ClassID() const override { return FClassID; }
    DWORD RegistrationFlags() const override;
    // Also the provider's Register and Unregister. Every entry goes to the current user's class
    // registry when the program was started with a per-user switch, else to the machine's.
    void UpdateRegistry(bool Register) override;
    // IKoOPCProviderClassObject
    void Activate() override;
    IKoOPCProviderClient* CreateClient() override;

protected:
    // Waits until the provider has run or shut down; then a new server object, or none when the
    // provider is suspended.
    virtual TKoOPCServerObjectRef CreateComObject(IUnknown* Controller);

private:
    ~TKoOPCProviderClientFactory() = default;
    void WaitForStartup() const;

    std::atomic<ULONG> FRefCount{1};
    TKoComServer& FComServer;
    TKoOPCServerObjectCreator FCreator;
    GUID FClassID;
    std::wstring FClassName;
    std::wstring FDescription;
    TKoClassInstancing FInstancing;
    TKoThreadingModel FThreadingModel;
    TKoOPCProvider* FProvider = nullptr;
    TKoHandle FStartupCompleteEvent;
};

// A factory of the provider's class object (for TKoOPCProvider::SetClassObjectFactory): makes a
// TKoOPCProviderClientFactory from the provider's identity, hands it to ComServer, which owns it
// from then on, and attaches it to the provider. ComServer must outlive the provider.
TKoOPCProviderClassObjectFactory KoOPCClassObjectFactory(TKoOPCServerObjectCreator Creator,
                                                         TKoComServer& Server = ComServer());
