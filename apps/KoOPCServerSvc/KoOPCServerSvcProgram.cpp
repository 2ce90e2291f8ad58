#include "KoOPCServerSvcProgram.h"

#include <memory>

#include "KoApplication.h"
#include "KoComServer.h"
#include "KoOPCAddressSpace.h"
#include "KoOPCClassFactory.h"
#include "KoOPCProvider.h"
#include "KoVarsRTTI.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"

const wchar_t KoOPCServerSvcTitle[] = L"Korvel OPC Simulation Service";

namespace {
std::unique_ptr<TKoOPCProvider> Provider;
} // namespace

TKoOPCProvider* KoOPCServerSvcProvider() {
    return Provider.get();
}

void KoOPCServerSvcCreateProvider() {
    Provider = std::make_unique<TKoOPCProvider>(&KoCreateOPCAddressSpace);
    Provider->SetCLSID(L"{8E16B2F0-D473-4A9C-B5E8-0F29A6C31D57}");
    Provider->SetServerName(L"Korvel.OPC.Service");
    Provider->SetDescription(L"Korvel OPC Service");
    Provider->SetVendor(L"Korvel OPC Ltd");
    Provider->SetVendorInfo(L"OPC Server as Service by Korvel OPC Ltd");
    Provider->SetVersion(0);
    Provider->SetClassObjectFactory(KoOPCClassObjectFactory(KoOPCServerObjectCreator()));
    Provider->Initialize();
}

bool KoOPCServerSvcCreateObjects() {
    // The persistent classes are known by name before anything is created.
    KoRegisterVarsRTTI();
    TKoApplication& App = Application();
    App.Initialize();
    // The service asks for its COM security before its class objects are registered.
    if (!ComServer().Initialize(KoCommandLineArgs(), csBeforeRegistration)) return false;
    App.SetTitle(KoOPCServerSvcTitle);
    // Not the windowed program's order.
    App.CreateForm(Random);
    App.CreateForm(ReadOnly);
    App.CreateForm(SawTooth);
    App.CreateForm(Sinusoid);
    App.CreateForm(Static);
    App.CreateForm(Triangle);
    return true;
}

void KoOPCServerSvcDestroyProvider() {
    // No activation may reach the class object once its provider is gone.
    ComServer().RevokeClassObjects();
    Provider.reset();
}

void KoOPCServerSvcDestroyObjects() {
    Application().DestroyComponents();
    KoOPCServerSvcDestroyProvider();
    ComServer().Finalize();
}

int KoOPCServerSvcMain() {
    KoOPCServerSvcCreateProvider();
    int ExitCode = 0;
    try {
        if (KoOPCServerSvcCreateObjects()) Application().Run();
    } catch (...) {
        Application().HandleException(nullptr);
        ExitCode = 1;
    }
    KoOPCServerSvcDestroyObjects();
    return ExitCode;
}
