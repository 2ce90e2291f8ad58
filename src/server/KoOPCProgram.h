#pragma once
// The steps both server programs take around their main procedures: the provider with the
// program's identity, the COM start-up, and the orderly end.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KoComServer.h"
#include "KoOPCProvider.h"

struct TKoOPCProgramIdentity {
    const wchar_t* ClassID;
    const wchar_t* ProgID;
    const wchar_t* Description;
    const wchar_t* VendorInfo;
    // The activity log records lines (5000 at most) only when active.
    bool LogActive;
    // When the program asks for its process COM security, relative to its class objects.
    TKoComSecurityOrder SecurityOrder;
};

// The provider with the program's identity and its class object, initialised: its activation
// waits in the main thread's queue.
std::unique_ptr<TKoOPCProvider> KoCreateProgramProvider(const TKoOPCProgramIdentity& Identity);

// The fixed seed of the random source the program is asked for: "/seed N" (or "-seed N") among
// its arguments, else the value Seed (a DWORD, a QWORD or decimal text) of
// HKEY_LOCAL_MACHINE\Software\Korvel OPC\<ProgID>, the setting of servers that COM starts;
// none when neither is given or the value is no whole number from 0 to 2^64 - 1.
std::optional<uint64_t> KoProgramSeed(const std::vector<std::wstring>& Args, const wchar_t* ProgID);

// What the main procedure does before it creates its modules: the persistent classes, the
// application object and the COM server support. False when the program was started to register
// or unregister and has done so, or was started by COM while another process that COM started
// serves its class (the program then ends without registering anything).
bool KoStartProgram(const TKoOPCProgramIdentity& Identity);
// Its second half, on the main thread: the application object and the COM server support (the
// class objects registered with COM and the process's COM security). The service runs it only
// once the service control manager starts the service. Result as KoStartProgram's.
bool KoStartComServer(const TKoOPCProgramIdentity& Identity);

// Withdraws the class objects from COM, then frees the provider.
void KoDestroyProgramProvider(std::unique_ptr<TKoOPCProvider>& Provider);

// After the main procedure: withdraws the class objects from COM, frees what the application
// owns, the provider, then the class objects.
void KoEndProgram(std::unique_ptr<TKoOPCProvider>& Provider);

// The whole program around its steps; returns the process exit code. Errors are reported on
// standard error, never in a message box: COM may have started the program.
int KoRunProgram(void (*CreateProvider)(), bool (*CreateObjects)(), void (*DestroyObjects)());
