#pragma once
// The server object: the COM object an OPC client gets when it creates the server class, one per
// connection. It offers IOPCServer, IOPCCommon, IConnectionPointContainer (one connection point,
// for IOPCShutdown), ISupportErrorInfo and IOPCItemProperties, lends its COM face to its copy of
// the address space for IOPCBrowseServerAddressSpace, and owns the client's groups.
//
// Lifetime: created with one reference (the creator's); SetProvider lists it with the provider,
// whose client list holds one more. When a release leaves only that list reference, the object
// asks the provider to disconnect it (on the main thread), which drops the last reference. A
// server object that COM clients still hold when the provider shuts down is detached: it lives on
// without provider until released.
//
// Locks: the group-list lock (re-entrant) guards the group list; AddGroup, GetGroupByName,
// RemoveGroup and CreateGroupEnumerator hold it across their work, and while holding it the object
// may take a group's lock and call the provider's group counting. The identity lock guards the
// name, user and provider and is a leaf: logging takes only that lock, so a group may log while
// holding its own lock and a thread holding the group-list lock may log. FLastUpdateLock is a leaf
// too (the groups' callback threads set the time, GetStatus reads it). FAddressSpaceLock guards
// the making and detaching of the browse copy and is taken before the copy's own tree lock.

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "KoComObjects.h"
#include "KoOPCCommon.h"
#include "KoOPCDA.h"
#include "KoOPCProvider.h"
#include "KoOle.h"
#include "KoVariants.h"

class TKoComponent;
class TKoOPCProviderClientAddressSpace;
class TKoOPCProviderGroup;

class TKoOPCProviderClient : public TKoComObject<IOPCServer, IOPCCommon, IConnectionPointContainer,
                                                 ISupportErrorInfo, IOPCItemProperties>,
                             public IKoOPCProviderClient {
public:
    // A new server object connected to Provider; the caller holds the one reference returned.
    static TKoOPCProviderClient* Create(TKoOPCProvider& Provider);

    // ---- IOPCServer ----
    STDMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                          DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    STDMETHODIMP GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override;

    // ---- IOPCCommon ----
    STDMETHODIMP SetLocaleID(LCID dwLcid) override;
    STDMETHODIMP GetLocaleID(LCID* pdwLcid) override;
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    STDMETHODIMP SetClientName(LPCWSTR szName) override;

    // ---- IConnectionPointContainer ----
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // ---- ISupportErrorInfo ----
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

    // ---- IOPCItemProperties ----
    STDMETHODIMP QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                          LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override;
    STDMETHODIMP GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                   HRESULT** ppErrors) override;
    STDMETHODIMP LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                               HRESULT** ppErrors) override;
    // The value of property PropertyID of Component for an item serving VarProp, converted to
    // DataType unless that is vdtDefault or the value is empty. EKoOPCProviderError
    // "Unsupported ItemProperty, %d" (E_INVALIDARG) for a property the component lacks.
    TKoOleVariant GetComponentPropertyValue(DWORD PropertyID, TKoComponent* Component,
                                            TKoVarDataType DataType, TKoVarPropType VarProp);

    // ---- IKoOPCProviderClient ----
    ULONG ObjAddRef() override { return AddRef(); }
    ULONG ObjRelease() override { return Release(); }
    // The interfaces of the object, the browse interface without refreshing its tree.
    HRESULT ObjQueryInterface(REFIID riid, void** ppv) override;
    std::wstring Name() const override;
    void SetName(const std::wstring& Value) override;
    std::wstring User() const override;
    void SetUser(const std::wstring& Value);
    int GroupCount() const override;
    // An index outside the list fails with "List index out of bounds (%d)".
    IKoOPCProviderGroup* Groups(int Index) const override;
    void AssignGroupsTo(TKoStrings& Target) override;
    // Finishes every group and detaches it; the groups stay listed until removed. Groups still
    // counted by the provider are uncounted here, while the provider is still known.
    void Clear() override;
    void Shutdown(const std::wstring& Reason) override;
    void DetachProvider() override;

    // ---- connection and state ----
    TKoOPCProvider* Provider() const;
    // The provider; EKoOPCProviderException once the object was detached.
    TKoOPCProvider& RequireProvider() const;
    // The client's browse copy of the address space, made on first use; nullptr when the
    // provider has none (or the object was detached before it made one).
    TKoOPCProviderClientAddressSpace* AddressSpace();
    // Leaves the old provider (if any) and joins the new one (if any).
    void SetProvider(TKoOPCProvider* Value);
    LCID GetLCID() const { return FLCID; }
    double LastUpdateTime() const;
    // A group handed out a non-empty data change: the time of it, for GetStatus.
    void ClientUpdated();

    // ---- groups (for the groups and the provider's windows) ----
    void Lock() const { FGroupLock.lock(); }
    void UnLock() const { FGroupLock.unlock(); }
    std::recursive_mutex& GroupListLock() const { return FGroupLock; }
    // Whether Group is in the group list (deleted or not).
    bool HoldsGroup(const TKoOPCProviderGroup* Group) const;
    // The first live group (referenced, not deleted) named exactly AName, or -1.
    int IndexOfName(std::wstring_view AName) const;
    // The first group with that server handle that is not deleted (any, with CheckDeleted), or -1.
    int IndexOfServerHandle(OPCHANDLE hServerGroup, bool CheckDeleted) const;
    // A default name no live group carries (GroupA, GroupB ...); EKoOPCProviderException
    // "No Unique Name available" past Z.
    std::wstring UniqueName() const;
    // Renames Group unless another live group of this client has the name (checked and stored
    // under the group-list lock, so two renames cannot both take one name).
    void RenameGroup(TKoOPCProviderGroup& Group, const std::wstring& Value);

    // ---- log ----
    // Puts "<client name>: " in front of the line and hands it to the provider's log; nothing
    // without provider. Never fails.
    void LogText(const std::wstring& Text) const noexcept;
    template <class... TArgs> void Log(std::wstring_view Fmt, const TArgs&... Args) const noexcept {
        try {
            LogText(KoFormat(Fmt, Args...));
        } catch (...) {
            // A line that cannot be formatted is lost.
        }
    }

protected:
    TKoOPCProviderClient();
    ~TKoOPCProviderClient() override;
    IUnknown* FindInterface(REFIID riid) override;
    void ReleasingToOne() noexcept override;

private:
    std::wstring ErrorText(HRESULT dwError) const;
    // The interface for riid or nullptr; asked for the browse interface, makes the copy and, with
    // Refresh, brings it up to date.
    IUnknown* Interface(REFIID riid, bool Refresh);
    // The provider's FindItem of an item ID a client passed (null: empty).
    int FindPropertyItem(LPCWSTR szItemID, TKoComponent*& Component, TKoVarPropType& VarProp);

    mutable std::mutex FLastUpdateLock;
    TKoConnectionPoints FConnectionPoints;
    TKoConnectionPoint* FShutdownCallbacks;
    mutable std::recursive_mutex FGroupLock;
    std::vector<TKoOPCProviderGroup*> FGroupList;
    double FLastUpdateTime = 0;
    std::atomic<LCID> FLCID{LOCALE_SYSTEM_DEFAULT};
    mutable std::mutex FIdentityLock;
    std::wstring FName;
    TKoOPCProvider* FProvider = nullptr;
    std::wstring FUser;
    // Guards the making of the copy; taken before the copy's own lock.
    std::mutex FAddressSpaceLock;
    std::unique_ptr<TKoOPCProviderClientAddressSpace> FAddressSpace;
};
