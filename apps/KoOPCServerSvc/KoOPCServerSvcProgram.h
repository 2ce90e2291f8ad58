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

// The objects of the service's run and of its installation: the persistent classes, the title,
// the service object KoOPCService (given the provider), then the modules in this program's
// order. The application object and the COM server support are left alone.
void KoOPCServerSvcCreateServiceObjects();

// When the service control manager starts the service, on the main thread: the application
// object and the COM server support with the class objects registered. False when the COM
// server support did not start.
bool KoOPCServerSvcStartService();

// Withdraws the class object from COM and frees the provider. The class object itself stays
// with the COM server support until its Finalize.
void KoOPCServerSvcDestroyProvider();

// After the main procedure: frees what the application owns, then the provider, then the class
// objects.
void KoOPCServerSvcDestroyObjects();

// The whole main procedure: installs or removes the service (the switches "INSTALL",
// "UNINSTALL", "SILENT"), runs it under the service control manager, or, started with one of the
// COM server switches, registers, unregisters or serves as a COM server. Returns the process
// exit code (KoServiceExit...).
int KoOPCServerSvcMain();
