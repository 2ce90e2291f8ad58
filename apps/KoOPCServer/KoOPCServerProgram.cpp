#include "KoOPCServerProgram.h"

#include "KoApplication.h"
#include "KoOPCProgram.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"
#include "Unit1.h"

#include <cstdio>

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
    // The main window comes last: its status needs the provider, which runs from the loop.
    if (Provider) {
        auto* Form1 = new TForm1(&App, *Provider, KoCommandLineArgs());
        Form1->SetName(L"Form1");
        Form1->Show();
    }
    if (ComServer().StartMode() == smStandalone) {
        // Run from a shell, the program says what it serves, where COM finds it, and how to end it.
        wchar_t Value[MAX_PATH * 2] = {};
        DWORD Size = sizeof(Value) - sizeof(wchar_t);
        const std::wstring Key = std::wstring(L"CLSID\\") + Identity.ClassID + L"\\LocalServer32";
        const bool Registered = RegGetValueW(HKEY_CLASSES_ROOT, Key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr,
                                             Value, &Size) == ERROR_SUCCESS;
        std::printf("KoOPCServer serves %ls, class %ls; registered for COM as %ls\n"
                    "Ctrl-C or closing its window ends it.\n",
                    Identity.ProgID, Identity.ClassID,
                    Registered ? Value : L"(nothing: run it with /RegServer)");
        std::fflush(stdout);
    }
    return true;
}

TForm1* KoOPCServerMainForm() {
    return dynamic_cast<TForm1*>(Application().FindComponent(L"Form1"));
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
