#include "KoOPCServerProgram.h"

#include "KoApplication.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"

const wchar_t KoOPCServerTitle[] = L"Korvel OPC Dadived Simulation Server";

void KoOPCServerCreateObjects() {
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
