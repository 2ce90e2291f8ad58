#pragma once
// The main procedure of the windowed server.

class TKoOPCProvider;
class TForm1;

extern const wchar_t KoOPCServerTitle[];

// The process-wide provider: null before KoOPCServerCreateProvider and after
// KoOPCServerDestroyObjects.
TKoOPCProvider* KoOPCServerProvider();

// Before the main procedure: the provider with this program's identity and its class object,
// initialised (its activation waits in the main thread's queue), its activity log active with
// 5000 lines.
void KoOPCServerCreateProvider();

// Everything the main procedure does before the message loop: the application object, the COM
// server support (which handles the registration switches), the title, the modules in their
// order and the main window, shown (when the provider exists). False when the program was started to register
// or unregister and has done so, or was started by COM while another process started by COM serves the class:
// it then ends without running the loop. Registration errors propagate.
bool KoOPCServerCreateObjects();

// The main window, or null when there is none (before the objects were made, after they went).
TForm1* KoOPCServerMainForm();

// Withdraws the class object from COM and frees the provider. The class object itself stays
// with the COM server support until its Finalize.
void KoOPCServerDestroyProvider();

// After the main procedure: frees what the application owns, then the provider, then the class
// objects.
void KoOPCServerDestroyObjects();

// The whole program: creates the provider and the objects, runs the message loop until the
// application ends, then frees everything. Returns the process exit code.
int KoOPCServerMain();
