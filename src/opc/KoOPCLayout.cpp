// Compiled into ko_opc_idl so that every build checks the structure layouts.
#include "KoOPCLayout.h"
