#include "KoOPCServerProgram.h"

#include "KoApplication.h"
#include "KoVarsRTTI.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"

const wchar_t KoOPCServerTitle[] = L"Korvel OPC Dadived Simulation Server";

void KoOPCServerCreateObjects() {
    // The persistent classes are known by name before anything is created.
    KoRegisterVarsRTTI();
    TKoApplication& App = Application();
    App.Initialize();
    App.SetTitle(KoOPCServerTitle);
    App.CreateForm(Static);
    App.CreateForm(Random);
    App.CreateForm(SawTooth);
    App.CreateForm(Sinusoid);
    App.CreateForm(Triangle);
    App.CreateForm(ReadOnly);
}

int KoOPCServerMain() {
    KoOPCServerCreateObjects();
    Application().Run();
    Application().DestroyComponents();
    return 0;
}
