#pragma once
// The main procedure of the service program.

extern const wchar_t KoOPCServerSvcTitle[];

// Everything the main procedure does before it runs the application: the title and the
// modules in this program's own order.
void KoOPCServerSvcCreateObjects();

// The whole main procedure. Returns the process exit code.
int KoOPCServerSvcMain();
