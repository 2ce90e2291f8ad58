#pragma once
// What every OPC item is, on either side of the wire: the client's definition of it (item ID,
// client handle, requested type, active flag), its server handle, access rights and canonical
// type. Server items add the link to their variable and their cached state.

#include <windows.h>

#include <string>

#include "KoOPCCom.h"
#include "KoOPCDA.h"

// Whether an item may be asked for in type T: every code from VT_EMPTY (the canonical type) to
// VT_UI8 (VT_ARRAY and VT_BYREF ignored) and the string codes, except VT_NULL.
bool KoIsValidDataType(VARTYPE T) noexcept;

class TKoOPCCustomItem {
public:
    // No item ID or access path, active, client handle 0, no requested type, server handle
    // 0xFFFFFFFF, error 0.
    TKoOPCCustomItem() noexcept;
    virtual ~TKoOPCCustomItem() = default;
    TKoOPCCustomItem(const TKoOPCCustomItem&) = delete;
    TKoOPCCustomItem& operator=(const TKoOPCCustomItem&) = delete;

    // The setters below do nothing when the value is the current one.
    std::wstring AccessPath() const;
    void SetAccessPath(const std::wstring& Value);
    std::wstring ItemID() const;
    virtual void SetItemID(const std::wstring& Value);
    int AccessRights() const noexcept { return static_cast<int>(FAccessRights & 0xFF); }
    bool Active() const noexcept { return FOPCItemDef.bActive != 0; }
    void SetActive(bool Value);
    DWORD BlobSize() const noexcept { return FOPCItemDef.dwBlobSize; }
    VARTYPE CanonicalDataType() { return GetCanonicalDataType(); }
    OPCHANDLE ClientHandle() const noexcept { return FOPCItemDef.hClient; }
    void SetClientHandle(OPCHANDLE Value);
    // The requested type when one was requested, else the canonical type.
    VARTYPE DataType();
    void SetDataType(VARTYPE Value);
    HRESULT Error() const noexcept { return FError; }
    // The stored definition; its strings belong to the item.
    const OPCITEMDEF& OPCItemDef() const noexcept { return FOPCItemDef; }
    VARTYPE RequestedDataType() const noexcept { return FOPCItemDef.vtRequestedDataType; }
    // SetItemDataType may refuse the type by raising; nothing is stored then.
    void SetRequestedDataType(VARTYPE Value);
    OPCHANDLE ServerHandle() const noexcept { return FServerHandle; }
    void SetServerHandle(OPCHANDLE Value) noexcept { FServerHandle = Value; }

protected:
    // The definition changed.
    virtual void Config() {}
    virtual VARTYPE GetCanonicalDataType() { return FCanonicalDataType; }
    // Hooks called after the new value was stored.
    virtual void SetItemActive(bool /*Value*/) {}
    virtual void SetItemClientHandle(OPCHANDLE /*Value*/) {}
    // Called before a new requested type is stored; may refuse it by raising.
    virtual void SetItemDataType(VARTYPE /*Value*/) {}
    // Stores the item ID (a copy in task memory, none for an empty text) without Config.
    void StoreItemID(const wchar_t* Value);

    DWORD FAccessRights = 0;
    VARTYPE FCanonicalDataType = 0;
    HRESULT FError = 0;
    // szItemID and szAccessPath point into FItemIDText and FAccessPathText (or are null).
    OPCITEMDEF FOPCItemDef{};
    OPCHANDLE FServerHandle = 0xFFFFFFFF;

private:
    TKoTaskMem<wchar_t> FAccessPathText;
    TKoTaskMem<wchar_t> FItemIDText;
};
