#include "KoOPCServerSvcProgram.h"

#include "KoApplication.h"
#include "KoVarsRTTI.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"

const wchar_t KoOPCServerSvcTitle[] = L"Korvel OPC Simulation Service";

void KoOPCServerSvcCreateObjects() {
    // The persistent classes are known by name before anything is created.
    KoRegisterVarsRTTI();
    TKoApplication& App = Application();
    App.Initialize();
    App.SetTitle(KoOPCServerSvcTitle);
    // Not the windowed program's order.
    App.CreateForm(Random);
    App.CreateForm(ReadOnly);
    App.CreateForm(SawTooth);
    App.CreateForm(Sinusoid);
    App.CreateForm(Static);
    App.CreateForm(Triangle);
}

int KoOPCServerSvcMain() {
    KoOPCServerSvcCreateObjects();
    Application().Run();
    Application().DestroyComponents();
    return 0;
}
