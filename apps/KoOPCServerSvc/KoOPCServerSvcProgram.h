#pragma once
// The main procedure of the service program.

class TKoOPCProvider;

extern const wchar_t KoOPCServerSvcTitle[];

// The process-wide provider: null before KoOPCServerSvcCreateProvider and after
// KoOPCServerSvcDestroyObjects.
TKoOPCProvider* KoOPCServerSvcProvider();

// Before the main procedure: the provider with this program's identity and its class object,
// initialised; its activity log stays inactive.
void KoOPCServerSvcCreateProvider();

// Everything the main procedure does before it runs the application: the COM server support
// (which handles the registration switches), the title and the modules in this program's own
// order. False when the program was started to register or unregister and has done so.
// Registration errors propagate.
bool KoOPCServerSvcCreateObjects();

// Withdraws the class object from COM and frees the provider. The class object itself stays
// with the COM server support until its Finalize.
void KoOPCServerSvcDestroyProvider();

// After the main procedure: frees what the application owns, then the provider, then the class
// objects.
void KoOPCServerSvcDestroyObjects();

// The whole main procedure. Returns the process exit code.
int KoOPCServerSvcMain();
