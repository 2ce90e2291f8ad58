#include "KoOPCServerProgram.h"

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

const wchar_t KoOPCServerTitle[] = L"Korvel OPC Dadived Simulation Server";

namespace {
std::unique_ptr<TKoOPCProvider> Provider;
} // namespace

TKoOPCProvider* KoOPCServerProvider() {
    return Provider.get();
}

void KoOPCServerCreateProvider() {
    Provider = std::make_unique<TKoOPCProvider>(&KoCreateOPCAddressSpace);
    Provider->SetCLSID(L"{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}");
    Provider->SetServerName(L"Korvel.OPC.Simulation");
    Provider->SetDescription(L"Korvel OPC Simulation Server");
    Provider->SetVendor(L"Korvel OPC Ltd");
    Provider->SetVendorInfo(L"Simulation OPC Server by Korvel OPC Ltd");
    Provider->SetVersion(0);
    Provider->SetThreadingModel(tmBoth);
    Provider->SetClassObjectFactory(KoOPCClassObjectFactory(KoOPCServerObjectCreator()));
    Provider->Initialize();
    Provider->ActivityLog().SetActive(true);
    Provider->ActivityLog().SetMaxLines(5000);
}

bool KoOPCServerCreateObjects() {
    // The persistent classes are known by name before anything is created.
    KoRegisterVarsRTTI();
    TKoApplication& App = Application();
    App.Initialize();
    // The windowed program asks for its COM security once its class objects are registered.
    if (!ComServer().Initialize(KoCommandLineArgs(), csAfterRegistration)) return false;
    App.SetTitle(KoOPCServerTitle);
    App.CreateForm(Static);
    App.CreateForm(Random);
    App.CreateForm(SawTooth);
    App.CreateForm(Sinusoid);
    App.CreateForm(Triangle);
    App.CreateForm(ReadOnly);
    return true;
}

void KoOPCServerDestroyProvider() {
    // No activation may reach the class object once its provider is gone.
    ComServer().RevokeClassObjects();
    Provider.reset();
}

void KoOPCServerDestroyObjects() {
    Application().DestroyComponents();
    KoOPCServerDestroyProvider();
    ComServer().Finalize();
}

int KoOPCServerMain() {
    KoOPCServerCreateProvider();
    int ExitCode = 0;
    try {
        if (KoOPCServerCreateObjects()) Application().Run();
    } catch (...) {
        // Reported on standard error, never in a message box: COM may have started the program.
        Application().HandleException(nullptr);
        ExitCode = 1;
    }
    KoOPCServerDestroyObjects();
    return ExitCode;
}
