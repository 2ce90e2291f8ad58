#pragma once
// The main procedure of the windowed server.

extern const wchar_t KoOPCServerTitle[];

// Everything the main procedure does before the message loop: the application object, its
// title, the modules in their order.
void KoOPCServerCreateObjects();

// The whole main procedure: creates the objects, runs the message loop until the application
// ends, then frees what the application owns. Returns the process exit code.
int KoOPCServerMain();
