// The windowed server: a GUI-subsystem program. Run from a shell it still writes to the shell's
// output and ends its message loop on Ctrl-C.
#include <windows.h>

#include "KoApplication.h"
#include "KoOPCServerProgram.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    KoTerminateOnConsoleBreak();
    return KoOPCServerMain();
}
