#include "KoOPCServerSvcProgram.h"

#include <cstdio>

#include "KoApplication.h"
#include "KoExceptions.h"
#include "KoOPCProgram.h"
#include "KoOPCServices.h"
#include "KoVarsRTTI.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"

const wchar_t KoOPCServerSvcTitle[] = L"Korvel OPC Simulation Service";

namespace {

const TKoOPCProgramIdentity Identity = {L"{8E16B2F0-D473-4A9C-B5E8-0F29A6C31D57}", L"Korvel.OPC.Service",
                                        L"Korvel OPC Service", L"OPC Server as Service by Korvel OPC Ltd",
                                        false,
                                        // The service asks for its COM security before registering.
                                        csBeforeRegistration};

std::unique_ptr<TKoOPCProvider> Provider;

} // namespace

TKoOPCProvider* KoOPCServerSvcProvider() {
    return Provider.get();
}

void KoOPCServerSvcCreateProvider() {
    Provider = KoCreateProgramProvider(Identity);
}

namespace {

// Not the windowed program's order.
void CreateModules() {
    TKoApplication& App = Application();
    App.CreateForm(Random);
    App.CreateForm(ReadOnly);
    App.CreateForm(SawTooth);
    App.CreateForm(Sinusoid);
    App.CreateForm(Static);
    App.CreateForm(Triangle);
}

} // namespace

bool KoOPCServerSvcCreateObjects() {
    if (!KoStartProgram(Identity)) return false;
    Application().SetTitle(KoOPCServerSvcTitle);
    CreateModules();
    return true;
}

void KoOPCServerSvcCreateServiceObjects() {
    // The persistent classes are known by name before anything is created.
    KoRegisterVarsRTTI();
    TKoApplication& App = Application();
    App.SetTitle(KoOPCServerSvcTitle);
    App.CreateForm(KoOPCService, Provider.get());
    CreateModules();
}

bool KoOPCServerSvcStartService() {
    return KoStartComServer(Identity);
}

void KoOPCServerSvcDestroyProvider() {
    KoDestroyProgramProvider(Provider);
}

void KoOPCServerSvcDestroyObjects() {
    KoEndProgram(Provider);
}

int KoOPCServerSvcMain() {
    const std::vector<std::wstring> Args = KoCommandLineArgs();
    // Registered as a plain COM server (or registering as one) rather than installed as the
    // service: the same server without windows, started and ended as COM starts and ends the
    // windowed program.
    if (KoParseStartSwitches(Args).StartMode != smStandalone)
        return KoRunProgram(&KoOPCServerSvcCreateProvider, &KoOPCServerSvcCreateObjects,
                            &KoOPCServerSvcDestroyObjects);

    const TKoServiceSwitches Switches = KoParseServiceSwitches(Args);
    if (Switches.Conflict) {
        std::fprintf(stderr, "Give either /install or /uninstall, not both.\n");
        return KoServiceExitFailed;
    }
    KoOPCServerSvcCreateProvider();
    int ExitCode = KoServiceExitFailed;
    if (Switches.Mode == ssmRun) {
        // The application object and the COM server support are initialised only when the service
        // control manager starts the service; everything goes before it reports itself stopped.
        try {
            KoOPCServerSvcCreateServiceObjects();
            ExitCode =
                KoRunService(*KoOPCService, {[] {
                                                 if (!KoOPCServerSvcStartService())
                                                     throw EKoException(L"The COM server did not start.");
                                             },
                                             &KoOPCServerSvcDestroyObjects});
        } catch (...) {
            Application().HandleException(nullptr);
        }
        KoOPCServerSvcDestroyObjects();
        return ExitCode;
    }
    // Installing or removing: the application object at once, and COM for the registration.
    Application().Initialize();
    {
        // COM on the main thread while the service is installed or removed.
        const TKoComThread Com;
        try {
            KoOPCServerSvcCreateServiceObjects();
            ExitCode = Switches.Mode == ssmInstall ? KoInstallService(*KoOPCService, Switches.Silent)
                                                   : KoUninstallService(*KoOPCService, Switches.Silent);
        } catch (...) {
            Application().HandleException(nullptr);
        }
        KoOPCServerSvcDestroyObjects();
    }
    return ExitCode;
}
