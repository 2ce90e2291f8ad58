#pragma once
// The item-ID namespace of the server: a string tree of the program's modules, their variables
// and, optionally, one node per variable property. Item IDs are the tree's paths joined with a
// point ("Random.KoFloat1", "Random.KoFloat1.vpEngUnit").
//
// TKoOPCProviderAddressSpace is the provider's master tree, built from the application's
// components and kept up to date by component notifications. TKoOPCProviderClientAddressSpace is
// one server object's copy of it with a browse position.
//
// Threads: item-ID lookups, client refreshes and browsing run on COM worker threads;
// notifications and the first refresh on the main thread. Everything takes the master tree's
// re-entrant lock. Lock order: a client copy's lock, then the master's; never the other way.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "KoOPCDA.h"
#include "KoOPCProvider.h"
#include "KoStringTree.h"
#include "KoVarTypes.h"

class TKoComponent;
class TKoComponentNexus;

class TKoOPCProviderAddressSpace : public TKoStringTree, public IKoOPCProviderAddressSpace {
public:
    explicit TKoOPCProviderAddressSpace(TKoOPCProvider& AProvider)
        : TKoOPCProviderAddressSpace(AProvider, true) {}
    ~TKoOPCProviderAddressSpace() override;
    const wchar_t* ClassName() const override { return L"TKoOPCProviderAddressSpace"; }

    // ---- configuration ----
    bool AutoAddApplication() const { return FAutoAddApplication; }
    void SetAutoAddApplication(bool Value) { FAutoAddApplication = Value; }
    bool AutoUpdate() const { return FAutoUpdate; }
    // Turning it on marks the tree for refresh.
    void SetAutoUpdate(bool Value);
    TKoVarPropTypes EnabledProps() const { return TKoVarPropTypes::FromBits(FEnabledProps.load()); }
    void SetEnabledProps(TKoVarPropTypes Value) { FEnabledProps.store(Value.Bits()); }
    // Affects variables added from now on; existing variable nodes keep their children.
    bool IncludeProps() const { return FIncludeProps; }
    void SetIncludeProps(bool Value);
    bool IncludeUnnamed() const { return FIncludeUnnamed; }
    void SetIncludeUnnamed(bool Value);
    double ChangeTime() const;
    TKoOPCProvider& Provider() const { return FProvider; }
    TKoNotifyEvent OnInitialized;

    // ---- building ----
    // The node of a module (a data module) under ParentIndex, found by its exact name or made,
    // with its modules and variables when AddChildren; -1 for a component that is no module or
    // has no name, and for a module left without children.
    int AddModule(TKoComponent* AComponent, int ParentIndex, const std::wstring& AName, bool AddChildren);
    void AddModules(TKoComponent* Parent, int ParentIndex);
    // The node of a variable under ParentIndex; -1 when a child of that name exists.
    int AddVariable(int ParentIndex, TKoComponent* AObject, const std::wstring& Name);
    void AddVariables(TKoComponent* Parent, int ParentIndex);

    // Rebuilds (adds what is missing) when forced or marked for refresh.
    void Refresh(bool Force) override;
    virtual bool NeedsRefresh();

    // The component attached to the node whose full path equals Path (letter case ignored), or
    // nullptr.
    TKoComponent* ComponentOfPath(const std::wstring& Path) const;
    // The component attached to node Index (nullptr for a node without one).
    TKoComponent* ComponentAt(int Index) const;

    // The relays' callback: removals delete nodes, insertions mark the tree for refresh.
    virtual void Notification(TKoComponent* AComponent, TKoOperation Operation);

protected:
    // Notified: the tree hears of components created and destroyed (the master tree). A tree
    // that is refreshed only from another tree needs no relay and makes no component, so it may
    // be made and freed on any thread.
    TKoOPCProviderAddressSpace(TKoOPCProvider& AProvider, bool Notified);
    virtual void DoRefresh();
    void DoChange() override;
    // The node name of a component: its name, or "<Class.Name not defined>" for an unnamed one
    // when unnamed components are included.
    std::wstring NodeName(TKoComponent* AComponent) const;
    void SetChangeTime(double Value) { FChangeTime.store(Value); }
    // Now, but always later than the last change time: two changes within one clock tick must
    // still tell a copy taken between them that it is out of date.
    void TouchChangeTime();
    void MarkForRefresh() { FNeedsRefresh.store(true); }

private:
    std::atomic<bool> FAutoAddApplication{true};
    std::atomic<bool> FAutoUpdate{true};
    std::atomic<uint32_t> FEnabledProps;
    std::atomic<bool> FIncludeProps{false};
    std::atomic<bool> FIncludeUnnamed{true};
    std::vector<TKoComponentNexus*> FModuleNexusList; // not owned: each belongs to its module
    std::atomic<bool> FNeedsRefresh{true};
    TKoComponentNexus* FNexus = nullptr; // owned by the application object
    TKoOPCProvider& FProvider;
    std::atomic<double> FChangeTime{0};
};

// A server object's copy of the master tree with its browse position, and the browse interface
// of that server object. It is refreshed from the master tree only: when the server object is
// asked for the browse interface, and when a browse call starts or ends at the root.
//
// Its COM face belongs to the server object: reference counting and interface queries go to the
// server object, so the copy lives exactly as long as it. Browse calls hold the copy's lock for
// their whole work (the position is consistent for each call); a refresh takes the master's lock
// inside it. Calls whose filters read variables take the variable access first (before either
// tree lock), as every reader of variables does.
class TKoOPCProviderClientAddressSpace : public TKoOPCProviderAddressSpace,
                                         public IOPCBrowseServerAddressSpace {
public:
    // Master: the provider's tree the copy is taken from; Client: the owning server object.
    TKoOPCProviderClientAddressSpace(TKoOPCProviderAddressSpace& AMaster, IKoOPCProviderClient* AClient);
    const wchar_t* ClassName() const override { return L"TKoOPCProviderClientAddressSpace"; }

    int BrowsePosition() const { return FBrowsePosition; }
    void SetBrowsePosition(int Value) { FBrowsePosition = Value; }
    void ResetBrowsePosition() { FBrowsePosition = -1; }
    IKoOPCProviderClient* Client() const { return FClient; }
    // The server object lost its provider: the master tree may go with it, so the copy no longer
    // refreshes and its filters no longer resolve item IDs (they fail). Waits for a browse call
    // in progress.
    void DetachMaster();

    // Deleting the node the client has browsed to moves the position back to the root.
    void Delete(int Index) override;
    // Refreshes the master, then answers whether it changed after this copy was taken.
    bool NeedsRefresh() override;

    // ---- IUnknown: the server object's ----
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // ---- IOPCBrowseServerAddressSpace ----
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                  VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                  LPENUMSTRING* ppIEnumString) override;
    STDMETHODIMP GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    STDMETHODIMP BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) override;

    // The browse list of the current position (the filter types of BrowseOPCItemIDs), with the
    // name, access-rights and data-type filters applied. Under the copy's lock.
    std::vector<std::wstring> Browse(OPCBROWSETYPE FilterType, const std::wstring& Criteria, VARTYPE DataType,
                                     DWORD AccessRights);

protected:
    void DoRefresh() override;

private:
    // Refreshes the copy when the position is the root.
    void RefreshAtRoot();
    TKoOPCProvider& MasterProvider() const;

    TKoOPCProviderAddressSpace* FMaster;
    int FBrowsePosition = -1;
    IKoOPCProviderClient* FClient;
};

// The name filter of a browse. Letter case is ignored and "[" and "]" are dropped; then "*"
// alone matches everything, a text without "*" must equal the entry, "text*" must begin it,
// "*text" must end it (judged at the first place the text occurs), "*text*" must occur in it, and
// a "*" anywhere else matches nothing. An empty filter matches everything.
class TKoBrowseNameFilter {
public:
    explicit TKoBrowseNameFilter(const std::wstring& Criteria);
    bool Matches(const std::wstring& Entry) const;

private:
    enum TForm { bfAll, bfEqual, bfPrefix, bfSuffix, bfContains, bfNone };
    TForm FForm = bfAll;
    std::wstring FText;
};

// Makes the provider's master tree (the factory the provider is constructed with).
std::unique_ptr<IKoOPCProviderAddressSpace> KoCreateOPCAddressSpace(TKoOPCProvider& Provider);
