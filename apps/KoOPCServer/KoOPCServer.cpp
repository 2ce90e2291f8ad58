#include "KoApplication.h"
#include "KoOPCServerProgram.h"

int main() {
    KoTerminateOnConsoleBreak();
    return KoOPCServerMain();
}
