#include "KoOPCServerSvcProgram.h"

#include "KoApplication.h"
#include "KoOPCProgram.h"
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

bool KoOPCServerSvcCreateObjects() {
    if (!KoStartProgram(Identity)) return false;
    TKoApplication& App = Application();
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
    KoDestroyProgramProvider(Provider);
}

void KoOPCServerSvcDestroyObjects() {
    KoEndProgram(Provider);
}

int KoOPCServerSvcMain() {
    return KoRunProgram(&KoOPCServerSvcCreateProvider, &KoOPCServerSvcCreateObjects,
                        &KoOPCServerSvcDestroyObjects);
}
