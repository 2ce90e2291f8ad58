#include "KoApplication.h"
#include "KoOPCServerSvcProgram.h"

int main() {
    KoTerminateOnConsoleBreak();
    return KoOPCServerSvcMain();
}
