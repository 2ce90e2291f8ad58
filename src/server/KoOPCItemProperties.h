#pragma once
// The item properties of the server: one fixed table of 21 entries, of which an item has those
// that its kind (the address space's answer for its item ID) and the class of its component
// allow. The server object answers IOPCItemProperties from it; the values are read from the
// variables at the moment of the call.

#include <windows.h>

#include <span>

#include "KoVarTypes.h"
#include "KoVariants.h"

class TKoComponent;

struct TKoOPCItemProperty {
    DWORD ID;
    // The declared type of the value; vdtDefault: the variable's own type.
    TKoVarDataType DataType;
    const wchar_t* Description;
    // Whether the entry applies to a component of this class (or a descendant).
    bool (*ClassType)(const TKoComponent* Component);
    // The variable property the entry reads; vpOther for values computed otherwise, vpOther2 for
    // the standard properties that follow the item's own property.
    TKoVarPropType VarProp;
};

// The entries an item of kind ItemKind (1: the six standard ones, 2: all 21) may have, in
// table order; none for any other kind.
std::span<const TKoOPCItemProperty> KoOPCItemProperties(int ItemKind);

// The entry with that ID within the kind's scope, whatever its class; EKoOPCProviderError
// "Invalid property: %d" (OPC_E_INVALID_PID) for an ID outside it.
const TKoOPCItemProperty& ItemPropertyByID(DWORD ID, int ItemKind);

// Requests of more property IDs than this are refused before anything is allocated for them:
// far more than any item has, even with every ID asked many times over.
constexpr DWORD KoOPCMaxPropertyRequest = 65536;
