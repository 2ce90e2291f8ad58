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

#include "KoOPCProvider.h"
#include "KoStringTree.h"
#include "KoVarTypes.h"

class TKoComponent;
class TKoComponentNexus;

class TKoOPCProviderAddressSpace : public TKoStringTree, public IKoOPCProviderAddressSpace {
public:
    explicit TKoOPCProviderAddressSpace(TKoOPCProvider& AProvider);
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

// A server object's copy of the master tree with its browse position. It is refreshed from the
// master tree only.
class TKoOPCProviderClientAddressSpace : public TKoOPCProviderAddressSpace {
public:
    // Master: the provider's tree the copy is taken from; Client: the owning server object.
    TKoOPCProviderClientAddressSpace(TKoOPCProviderAddressSpace& AMaster, IKoOPCProviderClient* AClient);
    const wchar_t* ClassName() const override { return L"TKoOPCProviderClientAddressSpace"; }

    int BrowsePosition() const { return FBrowsePosition; }
    void SetBrowsePosition(int Value) { FBrowsePosition = Value; }
    void ResetBrowsePosition() { FBrowsePosition = -1; }
    IKoOPCProviderClient* Client() const { return FClient; }

    // Deleting the node the client has browsed to moves the position back to the root.
    void Delete(int Index) override;
    // Refreshes the master, then answers whether it changed after this copy was taken.
    bool NeedsRefresh() override;

protected:
    void DoRefresh() override;

private:
    TKoOPCProviderAddressSpace& FMaster;
    int FBrowsePosition = -1;
    IKoOPCProviderClient* FClient;
};

// Makes the provider's master tree (the factory the provider is constructed with).
std::unique_ptr<IKoOPCProviderAddressSpace> KoCreateOPCAddressSpace(TKoOPCProvider& Provider);
