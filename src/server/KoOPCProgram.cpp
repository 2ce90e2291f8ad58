#include "KoOPCProgram.h"

#include "KoApplication.h"
#include "KoOPCAddressSpace.h"
#include "KoOPCClassFactory.h"
#include "KoVarsRTTI.h"

std::unique_ptr<TKoOPCProvider> KoCreateProgramProvider(const TKoOPCProgramIdentity& Identity) {
    auto Provider = std::make_unique<TKoOPCProvider>(&KoCreateOPCAddressSpace);
    Provider->SetCLSID(Identity.ClassID);
    Provider->SetServerName(Identity.ProgID);
    Provider->SetDescription(Identity.Description);
    Provider->SetVendor(L"Korvel OPC Ltd");
    Provider->SetVendorInfo(Identity.VendorInfo);
    Provider->SetVersion(0);
    Provider->SetThreadingModel(tmBoth);
    Provider->SetClassObjectFactory(KoOPCClassObjectFactory(KoOPCServerObjectCreator()));
    Provider->Initialize();
    if (Identity.LogActive) {
        Provider->ActivityLog().SetActive(true);
        Provider->ActivityLog().SetMaxLines(5000);
    }
    return Provider;
}

bool KoStartProgram(const TKoOPCProgramIdentity& Identity) {
    // The persistent classes are known by name before anything is created.
    KoRegisterVarsRTTI();
    Application().Initialize();
    return ComServer().Initialize(KoCommandLineArgs(), Identity.SecurityOrder);
}

void KoDestroyProgramProvider(std::unique_ptr<TKoOPCProvider>& Provider) {
    // No activation may reach the class object once its provider is gone.
    ComServer().RevokeClassObjects();
    Provider.reset();
}

void KoEndProgram(std::unique_ptr<TKoOPCProvider>& Provider) {
    // No activation may reach the class object while the modules and the provider go.
    ComServer().RevokeClassObjects();
    Application().DestroyComponents();
    KoDestroyProgramProvider(Provider);
    ComServer().Finalize();
}

int KoRunProgram(void (*CreateProvider)(), bool (*CreateObjects)(), void (*DestroyObjects)()) {
    CreateProvider();
    int ExitCode = 0;
    try {
        if (CreateObjects()) Application().Run();
    } catch (...) {
        Application().HandleException(nullptr);
        ExitCode = 1;
    }
    DestroyObjects();
    return ExitCode;
}
