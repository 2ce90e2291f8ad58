#include "KoOPCServerProgram.h"

#include "KoApplication.h"
#include "KoOPCProgram.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"

const wchar_t KoOPCServerTitle[] = L"Korvel OPC Dadived Simulation Server";

namespace {

const TKoOPCProgramIdentity Identity = {
    L"{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}", L"Korvel.OPC.Simulation", L"Korvel OPC Simulation Server",
    L"Simulation OPC Server by Korvel OPC Ltd", true,
    // Its COM security is asked for once its class objects are registered.
    csAfterRegistration};

std::unique_ptr<TKoOPCProvider> Provider;

} // namespace

TKoOPCProvider* KoOPCServerProvider() {
    return Provider.get();
}

void KoOPCServerCreateProvider() {
    Provider = KoCreateProgramProvider(Identity);
}

bool KoOPCServerCreateObjects() {
    if (!KoStartProgram(Identity)) return false;
    TKoApplication& App = Application();
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
    KoDestroyProgramProvider(Provider);
}

void KoOPCServerDestroyObjects() {
    KoEndProgram(Provider);
}

int KoOPCServerMain() {
    return KoRunProgram(&KoOPCServerCreateProvider, &KoOPCServerCreateObjects, &KoOPCServerDestroyObjects);
}
