#include "KoOPCServices.h"

#include "KoComServer.h"

TKoOPCService* KoOPCService = nullptr;

namespace {

std::wstring ExecutableName() {
    const std::wstring Path = KoProgramFileName();
    const size_t Slash = Path.find_last_of(L"\\/:");
    return Slash == std::wstring::npos ? Path : Path.substr(Slash + 1);
}

} // namespace

TKoOPCService::TKoOPCService(TKoComponent* AOwner, TKoOPCProvider* Provider)
    : TKoService(AOwner), FProvider(Provider) {
    SetName(KoOPCServiceName);
    DisplayName = L"Korvel OPC Service";
    AllowPause = false;
    OnCreate = [this](TKoComponent* Sender) { ServiceCreate(Sender); };
    AfterInstall = [this](TKoComponent* Sender) { ServiceAfterInstall(Sender); };
    BeforeUninstall = [this](TKoComponent* Sender) { ServiceBeforeUninstall(Sender); };
    OnShutdown = [this](TKoComponent* Sender) { ServiceShutdown(Sender); };
    OnStop = [this](TKoService* Sender, bool& Stopped) { ServiceStop(Sender, Stopped); };
}

void TKoOPCService::ServiceCreate(TKoComponent*) {
    if (FProvider) DisplayName = FProvider->Description();
}

void TKoOPCService::ServiceAfterInstall(TKoComponent*) {
    const TKoClassesRoot Classes = KoClassesRoot(false);
    const std::wstring ClassText = FProvider->CLSID();
    // COM starts this service when a client activates the class.
    KoRegWriteIfOpened(Classes, L"AppID\\" + ClassText, L"", DisplayName);
    KoRegWriteIfOpened(Classes, L"AppID\\" + ClassText, L"LocalService", Name());
    KoRegWriteIfOpened(Classes, L"CLSID\\" + ClassText, L"AppID", ClassText);
    KoRegWriteIfOpened(Classes, L"AppID\\" + ExecutableName(), L"AppID", ClassText);
    // The description the service manager shows; the key exists once the service does. A service
    // control manager that keeps its services' settings in memory learns it through its own call.
    const std::wstring Description = FProvider->VendorInfo();
    TKoRegKey Service;
    if (Service.Open(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\" + Name(), KEY_SET_VALUE))
        Service.WriteString(L"Description", Description);
    KoSetServiceDescription(Name(), Description);
    FProvider->Register();
}

void TKoOPCService::ServiceBeforeUninstall(TKoComponent*) {
    const TKoClassesRoot Classes = KoClassesRoot(false);
    const std::wstring ClassText = FProvider->CLSID();
    for (const std::wstring& Path :
         {L"AppID\\" + ClassText, L"CLSID\\" + ClassText, L"AppID\\" + ExecutableName()})
        KoRegDeleteTree(Classes, Path);
    FProvider->Unregister();
}

void TKoOPCService::ServiceStop(TKoService*, bool& Stopped) {
    FProvider->Shutdown(L"Service stopped");
    Stopped = true;
}

void TKoOPCService::ServiceShutdown(TKoComponent*) {
    FProvider->Shutdown(L"Service shutdown");
}
