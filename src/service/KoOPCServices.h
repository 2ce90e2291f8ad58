#pragma once
// The service object of KoOPCServerSvc: connects the OPC provider to the service control
// manager. It names the service, writes (and removes) the registry entries through which COM
// starts the server as this service, and shuts the provider down, telling its clients, when the
// service stops or the system shuts down.

#include <string>

#include "KoOPCProvider.h"
#include "KoServices.h"

// The service name.
inline constexpr wchar_t KoOPCServiceName[] = L"KoOPCService";

class TKoOPCService : public TKoService {
public:
    // Provider (not owned) must outlive the service object.
    TKoOPCService(TKoComponent* AOwner, TKoOPCProvider* Provider);
    const wchar_t* ClassName() const override { return L"TKoOPCService"; }

    TKoOPCProvider* Provider() const { return FProvider; }

    // The display name is the provider's description.
    void ServiceCreate(TKoComponent* Sender);
    // The COM entries that make COM start this service for the provider's class, the service's
    // description, then the provider's own registration. Keys that cannot be opened are skipped;
    // errors of the provider's registration propagate.
    void ServiceAfterInstall(TKoComponent* Sender);
    // Removes the entries of the installation and the provider's registration.
    void ServiceBeforeUninstall(TKoComponent* Sender);
    // On the service's thread: the provider tells its clients "Service stopped" and shuts down.
    void ServiceStop(TKoService* Sender, bool& Stopped);
    // On the service's thread: the provider tells its clients "Service shutdown" and shuts down.
    void ServiceShutdown(TKoComponent* Sender);

private:
    TKoOPCProvider* FProvider;
};

// The process-wide reference to the service object; null before it is created and after it is
// freed.
extern TKoOPCService* KoOPCService;
