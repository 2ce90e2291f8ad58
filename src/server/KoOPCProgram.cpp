#include "KoOPCProgram.h"

#include "KoApplication.h"
#include "KoComObjects.h"
#include "KoOPCAddressSpace.h"
#include "KoOPCClassFactory.h"
#include "KoOPCCommon.h"
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

namespace {

// Every interface the server hands to its clients, held registered for remote calls while the
// program serves (see TKoInterfaceAnchor for why).
std::unique_ptr<TKoInterfaceAnchor>& ServedInterfaces() {
    static std::unique_ptr<TKoInterfaceAnchor> Anchor;
    return Anchor;
}

std::vector<IID> KoServedInterfaceIDs() {
    return {IID_IUnknown,
            IID_IOPCServer,
            IID_IOPCCommon,
            IID_IConnectionPointContainer,
            IID_IConnectionPoint,
            IID_IEnumConnectionPoints,
            IID_IEnumConnections,
            IID_ISupportErrorInfo,
            IID_IOPCItemProperties,
            IID_IOPCBrowseServerAddressSpace,
            IID_IEnumString,
            IID_IEnumUnknown,
            IID_IOPCGroupStateMgt,
            IID_IOPCItemMgt,
            IID_IEnumOPCItemAttributes,
            IID_IOPCSyncIO,
            IID_IOPCAsyncIO2,
            IID_IOPCAsyncIO,
            IID_IDataObject};
}

} // namespace

bool KoStartProgram(const TKoOPCProgramIdentity& Identity) {
    // The persistent classes are known by name before anything is created.
    KoRegisterVarsRTTI();
    Application().Initialize();
    if (!ComServer().Initialize(KoCommandLineArgs(), Identity.SecurityOrder)) return false;
    ServedInterfaces() = std::make_unique<TKoInterfaceAnchor>(KoServedInterfaceIDs());
    return true;
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
    ServedInterfaces().reset();
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
