#pragma once
// Pins the memory layout of the OPC structures as clients and the standard proxies expect it
// (natural alignment; VARIANT is 16 bytes in a 32-bit process, 24 in a 64-bit one). A change
// of a field type or order in KoOPCDA.idl stops the build here. KoOPCLayout.cpp includes this
// header so that every build of ko_opc_idl checks it.

#include <cstddef>

#include "KoOPCDA.h"

#ifdef _WIN64
#define KO_OPC_LAYOUT(x86, x64) (x64)
#else
#define KO_OPC_LAYOUT(x86, x64) (x86)
#endif

#define KO_OPC_FIELD(type, field, x86, x64)                                                                  \
    static_assert(offsetof(type, field) == KO_OPC_LAYOUT(x86, x64), #type "::" #field " moved")
#define KO_OPC_SIZE(type, x86, x64)                                                                          \
    static_assert(sizeof(type) == KO_OPC_LAYOUT(x86, x64), "size of " #type " changed")

static_assert(sizeof(OPCHANDLE) == 4, "OPCHANDLE is a DWORD");
static_assert(sizeof(VARIANT) == KO_OPC_LAYOUT(16, 24), "unexpected VARIANT size");

KO_OPC_FIELD(OPCSERVERSTATUS, ftStartTime, 0, 0);
KO_OPC_FIELD(OPCSERVERSTATUS, ftCurrentTime, 8, 8);
KO_OPC_FIELD(OPCSERVERSTATUS, ftLastUpdateTime, 16, 16);
KO_OPC_FIELD(OPCSERVERSTATUS, dwServerState, 24, 24);
KO_OPC_FIELD(OPCSERVERSTATUS, dwGroupCount, 28, 28);
KO_OPC_FIELD(OPCSERVERSTATUS, dwBandWidth, 32, 32);
KO_OPC_FIELD(OPCSERVERSTATUS, wMajorVersion, 36, 36);
KO_OPC_FIELD(OPCSERVERSTATUS, wMinorVersion, 38, 38);
KO_OPC_FIELD(OPCSERVERSTATUS, wBuildNumber, 40, 40);
KO_OPC_FIELD(OPCSERVERSTATUS, wReserved, 42, 42);
KO_OPC_FIELD(OPCSERVERSTATUS, szVendorInfo, 44, 48);
KO_OPC_SIZE(OPCSERVERSTATUS, 48, 56);

KO_OPC_FIELD(OPCITEMDEF, szAccessPath, 0, 0);
KO_OPC_FIELD(OPCITEMDEF, szItemID, 4, 8);
KO_OPC_FIELD(OPCITEMDEF, bActive, 8, 16);
KO_OPC_FIELD(OPCITEMDEF, hClient, 12, 20);
KO_OPC_FIELD(OPCITEMDEF, dwBlobSize, 16, 24);
KO_OPC_FIELD(OPCITEMDEF, pBlob, 20, 32);
KO_OPC_FIELD(OPCITEMDEF, vtRequestedDataType, 24, 40);
KO_OPC_FIELD(OPCITEMDEF, wReserved, 26, 42);
KO_OPC_SIZE(OPCITEMDEF, 28, 48);

KO_OPC_FIELD(OPCITEMRESULT, hServer, 0, 0);
KO_OPC_FIELD(OPCITEMRESULT, vtCanonicalDataType, 4, 4);
KO_OPC_FIELD(OPCITEMRESULT, wReserved, 6, 6);
KO_OPC_FIELD(OPCITEMRESULT, dwAccessRights, 8, 8);
KO_OPC_FIELD(OPCITEMRESULT, dwBlobSize, 12, 12);
KO_OPC_FIELD(OPCITEMRESULT, pBlob, 16, 16);
KO_OPC_SIZE(OPCITEMRESULT, 20, 24);

KO_OPC_FIELD(OPCITEMATTRIBUTES, szAccessPath, 0, 0);
KO_OPC_FIELD(OPCITEMATTRIBUTES, szItemID, 4, 8);
KO_OPC_FIELD(OPCITEMATTRIBUTES, bActive, 8, 16);
KO_OPC_FIELD(OPCITEMATTRIBUTES, hClient, 12, 20);
KO_OPC_FIELD(OPCITEMATTRIBUTES, hServer, 16, 24);
KO_OPC_FIELD(OPCITEMATTRIBUTES, dwAccessRights, 20, 28);
KO_OPC_FIELD(OPCITEMATTRIBUTES, dwBlobSize, 24, 32);
KO_OPC_FIELD(OPCITEMATTRIBUTES, pBlob, 28, 40);
KO_OPC_FIELD(OPCITEMATTRIBUTES, vtRequestedDataType, 32, 48);
KO_OPC_FIELD(OPCITEMATTRIBUTES, vtCanonicalDataType, 34, 50);
KO_OPC_FIELD(OPCITEMATTRIBUTES, dwEUType, 36, 52);
KO_OPC_FIELD(OPCITEMATTRIBUTES, vEUInfo, 40, 56);
KO_OPC_SIZE(OPCITEMATTRIBUTES, 56, 80);

KO_OPC_FIELD(OPCITEMSTATE, hClient, 0, 0);
KO_OPC_FIELD(OPCITEMSTATE, ftTimeStamp, 4, 4);
KO_OPC_FIELD(OPCITEMSTATE, wQuality, 12, 12);
KO_OPC_FIELD(OPCITEMSTATE, wReserved, 14, 14);
KO_OPC_FIELD(OPCITEMSTATE, vDataValue, 16, 16);
KO_OPC_SIZE(OPCITEMSTATE, 32, 40);

// The DA 1.0 stream headers hold no pointers: the same layout in 32- and 64-bit processes.
KO_OPC_FIELD(OPCGROUPHEADER, dwSize, 0, 0);
KO_OPC_FIELD(OPCGROUPHEADER, dwItemCount, 4, 4);
KO_OPC_FIELD(OPCGROUPHEADER, hClientGroup, 8, 8);
KO_OPC_FIELD(OPCGROUPHEADER, dwTransactionID, 12, 12);
KO_OPC_FIELD(OPCGROUPHEADER, hrStatus, 16, 16);
KO_OPC_SIZE(OPCGROUPHEADER, 20, 20);

KO_OPC_FIELD(OPCITEMHEADER1, hClient, 0, 0);
KO_OPC_FIELD(OPCITEMHEADER1, dwValueOffset, 4, 4);
KO_OPC_FIELD(OPCITEMHEADER1, wQuality, 8, 8);
KO_OPC_FIELD(OPCITEMHEADER1, wReserved, 10, 10);
KO_OPC_FIELD(OPCITEMHEADER1, ftTimeStampItem, 12, 12);
KO_OPC_SIZE(OPCITEMHEADER1, 20, 20);

KO_OPC_FIELD(OPCITEMHEADER2, hClient, 0, 0);
KO_OPC_FIELD(OPCITEMHEADER2, dwValueOffset, 4, 4);
KO_OPC_FIELD(OPCITEMHEADER2, wQuality, 8, 8);
KO_OPC_FIELD(OPCITEMHEADER2, wReserved, 10, 10);
KO_OPC_SIZE(OPCITEMHEADER2, 12, 12);

KO_OPC_FIELD(OPCGROUPHEADERWRITE, dwItemCount, 0, 0);
KO_OPC_FIELD(OPCGROUPHEADERWRITE, hClientGroup, 4, 4);
KO_OPC_FIELD(OPCGROUPHEADERWRITE, dwTransactionID, 8, 8);
KO_OPC_FIELD(OPCGROUPHEADERWRITE, hrStatus, 12, 12);
KO_OPC_SIZE(OPCGROUPHEADERWRITE, 16, 16);

KO_OPC_FIELD(OPCITEMHEADERWRITE, hClient, 0, 0);
KO_OPC_FIELD(OPCITEMHEADERWRITE, dwError, 4, 4);
KO_OPC_SIZE(OPCITEMHEADERWRITE, 8, 8);

#undef KO_OPC_SIZE
#undef KO_OPC_FIELD
#undef KO_OPC_LAYOUT
