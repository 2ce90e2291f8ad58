#pragma once
// The server's OPC items and the enumerator of a group's items.
//
// An item names one property of one process variable. It keeps the client's definition, its
// server handle, access rights and canonical type, and a cached state (value in the item's data
// type, quality, time stamp, error) that it refreshes from the variable through its link.
//
// Locks: the item lock guards the definition and the cached state. It is taken after the group
// lock, never before: an item reports a refreshed state to its group only after it released its
// own lock. Items are destroyed on the main thread (TKoMainThreadObject), which
// also disconnects their links from the variables.

#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>

#include "KoComObjects.h"
#include "KoGuards.h"
#include "KoOPCCustomItem.h"
#include "KoOPCDA.h"
#include "KoOPCProvider.h"
#include "KoOle.h"
#include "KoVarLinks.h"

class TKoOPCProviderGroup;
class TKoOPCProviderItem;
class TKoVar;

// The group's lock, and what an item keeps of its group to report its changes. The main thread
// reports an item's change, and a worker may destroy the group meanwhile (the item itself goes
// later, on the main thread): the group clears Group under the lock first when it is destroyed,
// and a report reaches the group only under it. Being the group's own lock, it is the only lock a
// report takes.
struct TKoOPCGroupChangeGate {
    TKoCriticalSection Lock;
    TKoOPCProviderGroup* Group = nullptr;

    // Hands Item's refreshed state to the group, if it is still there.
    void Report(TKoOPCProviderItem* Item);
};

// An item's link to its variable: a completed change refreshes the item directly, without a
// handler that every one of thousands of items would keep in a block of its own.
class TKoOPCItemLink final : public TKoVarLink {
public:
    explicit TKoOPCItemLink(TKoOPCProviderItem& AItem) : FItem(AItem) {}

protected:
    // Refreshes the item, then raises the link's events.
    void Changed() override;

private:
    TKoOPCProviderItem& FItem;
};

class TKoOPCProviderItem : public TKoOPCCustomItem, public TKoMainThreadObject {
public:
    // An item of AGroup (which must be given), with an unbound link.
    explicit TKoOPCProviderItem(TKoOPCProviderGroup* AGroup);
    ~TKoOPCProviderItem() override;

    // Resolves the definition's item ID to a variable and property: S_OK, OPC_E_INVALIDITEMID,
    // OPC_E_UNKNOWNITEMID, OPC_E_UNKNOWNPATH or OPC_E_BADTYPE. Never raises.
    HRESULT ValidateItemDef(const OPCITEMDEF& Value, TKoVar*& Variable, TKoVarPropType& Prop);
    // Validates and takes over the definition (the item keeps copies of what it keeps), binds
    // the link and reads the variable. A failed validation leaves the item as it was.
    HRESULT SetOPCItemDef(const OPCITEMDEF& Value);
    // hServer, canonical type and access rights; wReserved is left alone.
    void GetItemResult(OPCITEMRESULT& Result);
    // Attr gets task-memory copies (item ID, EU information) that the caller owns.
    void GetItemAttributes(OPCITEMATTRIBUTES& Attr);
    // Copies the state: Value is replaced (a failed copy leaves it empty and raises). OPC_DS_DEVICE
    // re-reads the variable first, OPC_DS_CACHE of an inactive item or group reports it out of
    // service. Returns the error of the last refresh.
    HRESULT GetItemState(VARIANT& Value, WORD& Quality, FILETIME& TimeStamp, DWORD Source);
    // Writes the variable property through the link in the item's data type; S_OK or the
    // mapped code of the variable's refusal.
    HRESULT SetValue(const VARIANT& AValue);
    // Re-reads the variable into the cached state, then reports it (OnChange) when active.
    void SetItemState();
    bool IsArrayDataType() { return (DataType() & VT_ARRAY) != 0; }

    void Lock() { FLockSection.lock(); }
    void UnLock() { FLockSection.unlock(); }

    // OPC_ANALOG for float variables and range-checked integers, OPC_ENUMERATED for state
    // variables, OPC_NOENUM otherwise.
    DWORD EUType();
    // [RangeMin, RangeMax] of an analog item, the state names of an enumerated one, else empty.
    TKoOleVariant EUInfo();

    TKoVar* Variable() const { return FVarLink.Variable(); }
    TKoVarPropType VarProp() const { return FVarLink.VarProp(); }
    TKoOPCProviderGroup* Group() const;
    // From now on the refreshed state of the active item is reported through Gate (the group
    // collects it).
    void SetChangeGate(std::shared_ptr<TKoOPCGroupChangeGate> Gate);
    // The item leaves its group: inactive, no more reports, no group. Its link stays connected
    // until the item is destroyed on the main thread.
    void Detach();

protected:
    // Access rights from the provider.
    void Config() override;
    // Computed afresh from the link while unknown or variant-typed.
    VARTYPE GetCanonicalDataType() override;
    void SetItemActive(bool Value) override;
    void SetItemClientHandle(OPCHANDLE Value) override;
    // Refuses an invalid type ("DataType %d not supported"), else stores it and re-reads.
    void SetItemDataType(VARTYPE Value) override;

private:
    void UpdateAccessRights();
    void SetItemStateValue(WORD Quality, const VARIANT& Value, HRESULT Error, double DateTime);
    FILETIME ToFileTime(double DateTime) const;
    TKoOPCProvider* Provider() const;

    OPCITEMSTATE FItemState{};
    mutable TKoCriticalSection FLockSection;
    TKoOPCItemLink FVarLink{*this};
    TKoOPCProviderGroup* FGroup;
    // Kept until the item is destroyed, so that a report never outlives it; reports go through
    // it only while the item has its group.
    std::shared_ptr<TKoOPCGroupChangeGate> FChangeGate;
};

// What an enumerator keeps of its group: the group while it lives. The group clears it when it
// is destroyed, so an enumerator that outlives its group fails cleanly instead of reaching it.
struct TKoOPCGroupLife {
    std::mutex Lock;
    TKoOPCProviderGroup* Group = nullptr;
};

// IEnumOPCItemAttributes over the items of one group, in list order.
class TKoOPCItemAttributesEnumerator : public TKoComObject<IEnumOPCItemAttributes> {
public:
    explicit TKoOPCItemAttributesEnumerator(std::shared_ptr<TKoOPCGroupLife> AGroup)
        : FGroup(std::move(AGroup)) {}

    STDMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

private:
    // The group with a counted reference, or empty once it is gone.
    ComPtr<TKoOPCProviderGroup> LiveGroup() const;

    std::shared_ptr<TKoOPCGroupLife> FGroup;
    std::atomic<ULONG> FIndex{0};
};
