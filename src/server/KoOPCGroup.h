#pragma once
// One OPC group of one connected client: its state (update rate, active flag, time bias,
// deadband, locale, handles, name), its lifetime and IOPCGroupStateMgt; its items (IOPCItemMgt),
// reads and writes (IOPCSyncIO, IOPCAsyncIO2) and the data callback with its thread.
//
// Lifetime: the server object creates the group in AddGroup and keeps one counted reference in
// its group list; the OPC client holds the others. RemoveGroup finishes the group (deleted: no
// items, no callback) and, unless the client still holds it, drops the list's reference. A
// deleted group that is still attached removes itself from its client when a release leaves
// only the list's reference. A detached group (FClient empty) no longer logs or reaches its
// client.
//
// Locks: FLock is re-entrant and guards the state fields, the item list, the transactions and
// the argument fields of a running item operation. Lock order: the client's group-list lock
// before the group lock; the group never takes its client's group-list lock while holding its
// own lock (it logs through the client's identity lock only, and renames, clones and removes
// itself with its own lock released). FNameLock guards the name alone and is a leaf. The life
// record's lock (FLife, shared with enumerators and the callback thread) comes before the group
// lock; the group never takes it while holding its own lock.

#include <windows.h>

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "KoComObjects.h"
#include "KoOPCDA.h"
#include "KoOPCDataCallback.h"
#include "KoOPCItems.h"
#include "KoOPCProvider.h"
#include "KoOPCProviderTransactions.h"

class TKoOPCProviderClient;
class TKoOPCProviderGroup;
class TKoOPCTransaction;

using TKoOPCProviderNotifyGroupEvent = std::function<void(TKoOPCProviderGroup* Sender)>;
using TKoOPCProviderAddItemEvent = std::function<void(TKoOPCProviderGroup* Sender, const OPCITEMDEF& Item,
                                                      const OPCITEMRESULT& Result, HRESULT Error)>;
using TKoOPCProviderRemoveItemEvent =
    std::function<void(TKoOPCProviderGroup* Sender, TKoOPCProviderItem* Item)>;
using TKoOPCProviderRequestEvent =
    std::function<void(TKoOPCProviderGroup* Sender, TKoOPCProviderGroup* Group, DWORD dwCount,
                       const OPCHANDLE* phServer, HRESULT* const* ppErrors, const std::wstring& Msg)>;

// The requested types of a running SetDatatypes, kept in the group so that its calls allocate
// nothing for their arguments (one call handles at most 65536 items). The group makes the array
// at its first SetDatatypes: 128 KB that most groups never use.
using TVarTypeList = std::array<VARTYPE, 65536>;

// The per-handle step of an item operation: the item (none for an unknown handle passed on)
// and the handle's position in the request.
using TKoOPCItemStep = std::function<HRESULT(TKoOPCProviderItem* Item, DWORD Index)>;

class TKoOPCProviderGroup : public TKoComObject<IOPCGroupStateMgt, IOPCItemMgt, IOPCSyncIO, IOPCAsyncIO2,
                                                IConnectionPointContainer, IOPCAsyncIO, IDataObject>,
                            public IKoOPCProviderGroup {
public:
    // A live, inactive group of AClient with one reference (the creator's); locale 1024.
    explicit TKoOPCProviderGroup(TKoOPCProviderClient* AClient);

    // ---- IOPCGroupStateMgt ----
    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, LCID* pLCID, OPCHANDLE* phClientGroup,
                          OPCHANDLE* phServerGroup) override;
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, LCID* pLCID,
                          OPCHANDLE* phClientGroup) override;
    STDMETHODIMP SetName(LPCWSTR szName) override;
    STDMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

    // ---- IOPCItemMgt ----
    STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                          HRESULT** ppErrors) override;
    STDMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                               OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                HRESULT** ppErrors) override;
    STDMETHODIMP SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                  HRESULT** ppErrors) override;
    STDMETHODIMP SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                              HRESULT** ppErrors) override;
    STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

    // ---- IOPCSyncIO ----
    STDMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override;

    // ---- IOPCAsyncIO2 ----
    STDMETHODIMP Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                       DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override;
    STDMETHODIMP Cancel2(DWORD dwCancelID) override;
    STDMETHODIMP SetEnable(BOOL bEnable) override;
    STDMETHODIMP GetEnable(BOOL* pbEnable) override;

    // ---- IConnectionPointContainer (one point: IOPCDataCallback, one sink) ----
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // ---- IOPCAsyncIO (DA 1.0: results go to the advise sink as streams; connection 1 only) ----
    STDMETHODIMP Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                      DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) override;
    STDMETHODIMP Cancel(DWORD dwTransactionID) override;

    // ---- IDataObject (the DA 1.0 subscription: one advise sink, connection 1) ----
    STDMETHODIMP GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
    STDMETHODIMP GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override;
    STDMETHODIMP QueryGetData(FORMATETC* pformatetc) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override;
    STDMETHODIMP SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override;
    STDMETHODIMP EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override;
    STDMETHODIMP DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                         DWORD* pdwConnection) override;
    STDMETHODIMP DUnadvise(DWORD dwConnection) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override;

    // ---- IKoOPCProviderGroup ----
    IKoOPCProviderClient* Client() const override;
    TKoOPCProviderClient* OwnerClient() const;
    OPCHANDLE ServerHandle() const override { return FServerHandle; }
    void SetServerHandle(OPCHANDLE Value) override { FServerHandle = Value; }
    std::wstring GroupName() const override;
    bool LocalTimeBias() const override { return FLocalTimeBias; }
    // The platform's base bias in minutes while LocalTimeBias is set, else the stored bias.
    LONG TimeBias() const override;
    DWORD UpdateRate() const override { return FUpdateRate; }
    float PercentDeadband() const override;
    bool Active() const override { return FActive; }
    bool CallbackConnected() const override { return FCallbackConnected; }
    int ItemCount() const override;
    void AssignItemsTo(TKoStrings& Target) override;
    void HandleTransactionMessage(TKoOPCTransaction* Transaction, bool Perform) noexcept override;
    int ItemCountOfVariable(const TKoVar* Variable) const override;
    void SetOnCreateDataChange(TKoOPCProviderGroupNotifyEvent Handler) override;
    void Lock() override { FLock.lock(); }
    void Unlock() override { FLock.unlock(); }

    // ---- state (setters as SetState and the server object use them) ----
    void SetActive(bool Value);
    // Stores at least 10 ms; compares with the stored rate before the minimum applies.
    void SetUpdateRate(DWORD Value);
    // The rate a new group was requested with, stored unrevised (also below 10 ms).
    void StoreUpdateRate(DWORD Value) { FUpdateRate = Value; }
    // Also clears LocalTimeBias (and then runs even for an equal value).
    void SetTimeBias(LONG Value);
    void SetLocalTimeBias(bool Value);
    void SetPercentDeadband(float Value);
    LCID GetLCID() const { return FLCID; }
    void SetLCID(LCID Value);
    // Refuses an empty name (EKoOPCProviderInvalidArg) and one another group of the client
    // carries (EKoOPCProviderGroupDuplicateName); the current name again is a no-op.
    void SetGroupName(const std::wstring& Value);
    OPCHANDLE ClientHandle() const { return FClientHandle; }
    void SetClientHandle(OPCHANDLE Value) { FClientHandle = Value; }
    bool Deleted() const { return FDeleted; }
    bool Enabled() const { return FEnabled; }
    // Each read hands out the next DA 1.0 transaction ID: 101, 102 ...
    DWORD DA1TransactionID() { return static_cast<DWORD>(++FDA1TransactionID); }

    // The status check of reads, refreshes, writes and enabling: E_FAIL when deleted,
    // CONNECT_E_NOCONNECTION when NeedsCallback and no callback is connected (logged with Label).
    bool CheckStatus(HRESULT& Result, bool NeedsCallback, const std::wstring& Label);
    // A UTC date-time as the client sees it: shifted by the time bias (or into local time while
    // LocalTimeBias is set); the date-time 0 stays the zero FILETIME.
    FILETIME ToFileTime(double DateTime) const;

    // Marks the group deleted, stops its callback and removes its items; with ClearClient also
    // detaches it from its client.
    void FinishGroup(bool ClearClient);
    // Removes every item.
    void Clear();

    // ---- items and transactions ----
    // The item with that server handle, or none; under the group lock.
    TKoOPCProviderItem* FindItem(OPCHANDLE ServerHandle) const;
    // Runs Body with the item list under the group lock.
    template <class TBody> void ForItems(TBody&& Body) const {
        std::lock_guard Guard(FLock);
        Body(FItemList);
    }
    // Per handle, in order: Step with the handle's item (unknown handles give
    // OPC_E_INVALIDHANDLE, or are passed on as none with PassMissing), all under the group
    // lock; *ppErrors receives the results. Then OnRequest and the log line.
    HRESULT ForEachItem(DWORD dwCount, const OPCHANDLE* phServer, const std::wstring& Label, bool PassMissing,
                        const TKoOPCItemStep& Step, HRESULT** ppErrors);
    // Performs the transaction's entries on the items (on the main thread): writes for a write
    // transaction, reads from its data source otherwise. Entries that failed already are
    // skipped; an entry whose item left the group gets E_INVALIDARG. Returns whether the
    // transaction was handed on (to the callback thread, which then owns it).
    bool FinishTransaction(TKoOPCProviderTransaction* Transaction);
    // Hands a write transaction to the main thread: posted when asynchronous (the main thread
    // owns it from then on), else performed there while the caller waits, at most the provider's
    // bound for the main thread to take it and once more for it to finish. Returns false when a
    // synchronous caller gave up waiting: the transaction belongs to the main thread then.
    bool SynchronizeTransaction(TKoOPCProviderTransaction* Transaction);
    // An item of the group changed its cached state: collected for the next data change while
    // a callback is connected and the group is active and enabled. The caller holds the group
    // lock (an item reports through the gate, whose lock it is).
    void ItemChange(TKoOPCProviderItem* Item);

    // ---- the data-change cycle ----
    // The pending data change when it has entries (a fresh one takes its place, and the client
    // counts an update), else none.
    std::unique_ptr<TKoOPCProviderTransaction> GetDataChangeTransaction();
    // A data change taken by GetDataChangeTransaction, delivered and emptied by the caller (outside
    // any lock: its values may be many): kept for the next pending data change, so that a group
    // delivering every few milliseconds does not allocate its entries' arrays each time. One that
    // still has entries is not kept.
    void RecycleDataChangeTransaction(std::unique_ptr<TKoOPCProviderTransaction> Delivered) noexcept;
    // "Transaction ID=%d Kind=%s (Handles:[%s], Errors[%s])" of a delivered transaction.
    void LogTransaction(const TKoOPCProviderTransaction& Transaction, HRESULT Result);
    // Refreshes the active items from Source into a data change with the client's ID, delivered
    // through the callback.
    HRESULT Refresh1or2(DWORD Source, DWORD ID, const std::wstring& Label, DWORD* IDOut);
    // Whether a callback thread exists and has not lost its sink (for tests and the monitor).
    bool CallbackAlive() const;
    // Takes the item out of the group and has it freed on the main thread.
    HRESULT RemoveItemAsync(TKoOPCProviderItem* Item);

    // Whether the provider counts this group (between the provider's AddGroup and RemoveGroup);
    // set and read under the client's group-list lock.
    bool Registered() const { return FRegistered; }
    void SetRegistered(bool Value) { FRegistered = Value; }

    // Stores the name; the caller has checked it (TKoOPCProviderClient::RenameGroup).
    void StoreName(const std::wstring& Value);

    // The groups alive in the process (for leak checks).
    static int InstanceCount() { return FInstanceCount.load(); }

    // ---- log ----
    // "<group name>: " in front, then the client's log; nothing once detached. Never fails.
    void LogText(const std::wstring& Text) const noexcept;
    template <class... TArgs> void Log(std::wstring_view Fmt, const TArgs&... Args) const noexcept {
        try {
            LogText(KoFormat(Fmt, Args...));
        } catch (...) {
            // A line that cannot be formatted is lost.
        }
    }

    // ---- events (unset ones are skipped) ----
    TKoOPCProviderAddItemEvent OnAddItem;
    TKoOPCProviderRemoveItemEvent OnRemoveItem;
    TKoOPCProviderNotifyGroupEvent OnCreateDataChange;
    TKoOPCProviderRequestEvent OnRequest;
    TKoOPCProviderNotifyGroupEvent OnStateChange;

protected:
    ~TKoOPCProviderGroup() override;
    ULONG ReleaseFromTwo() noexcept override;

private:
    // Wakes the callback thread (when active) and raises OnStateChange.
    void StateChange();
    // After the group's or items' active state changed: drops the collected changes, re-reads
    // every item and queues a data change with every active item.
    void UpdateItemsActiveState();
    // Every item re-reads its variable.
    void UpdateItemStates();
    // Stops and forgets the callback thread.
    void DisconnectCallback();
    HRESULT AddOrValidateItems(DWORD dwCount, const OPCITEMDEF* pItemArray, bool Add, HRESULT** ppErrors,
                               OPCITEMRESULT** ppResults);
    HRESULT ReadOrRefreshSyncOrAsync(DWORD Source, DWORD Count, const OPCHANDLE* Handles, DWORD ID,
                                     DWORD* IDOut, HRESULT** ppErrors, TKoOPCTransactionKind Kind, bool Async,
                                     const std::wstring& Label,
                                     std::unique_ptr<TKoOPCProviderTransaction>& Transaction);
    void CreateDataChangeTransaction();
    void ClearDataChangeTransaction();
    void FreeDataChangeTransaction();
    // Every active item enters the pending data change (connected, enabled and active only).
    void AckAllItems();
    // The connection point's hook: starts or stops the callback thread.
    void OnRegisterCallback(IUnknown* Sink, bool Connecting);
    // Connects a callback made by StartThread: refused with CONNECT_E_ADVISELIMIT while one is
    // connected; every active item is queued for the first delivery. An error leaves the group
    // without a callback and is raised.
    void
    ConnectCallback(const std::function<std::shared_ptr<TKoOPCProviderDataCallbackThread>()>& StartThread);
    // The DA 1.0 call's checks (the connection, then the out-parameters: OutsGiven and
    // pTransactionID) and its transaction ID, written to *pTransactionID; false with Result set
    // when the call goes no further.
    bool StartDA1Call(DWORD dwConnection, bool OutsGiven, DWORD* pTransactionID, DWORD& ID, HRESULT& Result);
    void SetEnabled(bool Value);
    TKoConnectionPoints& ConnectionPoints();
    HRESULT WriteSyncOrAsync2(DWORD Count, const OPCHANDLE* Handles, const std::wstring& Label, bool Async,
                              HRESULT** ppErrors, DWORD* IDOut, DWORD ID, const VARIANT* Values);
    // Whether a log line would be recorded or shown (lines are not built otherwise).
    bool Logging() const noexcept;
    // Has a removed item destroyed by the main thread's message sink (at once without one).
    void FreeItem(TKoOPCProviderItem* Item) noexcept;
    // The client with a counted reference, or empty once detached.
    ComPtr<TKoOPCProviderClient> ClientRef() const;

    std::atomic<bool> Destroying{false};
    std::atomic<bool> FCallbackConnected{false};
    TKoOPCProviderClient* FClient;
    std::atomic<int32_t> FDA1TransactionID{100};
    friend class TKoOPCItemAttributesEnumerator;
    // The data callback, its thread and the transactions (filled in by the item,
    // IO and callback code; empty until then).
    TKoConnectionPoint* FDataCallbacks = nullptr;
    std::shared_ptr<TKoOPCProviderDataCallbackThread> FDataCallbackThread;
    std::unique_ptr<TKoOPCProviderTransaction> FDataChangeTransaction;
    std::unique_ptr<TKoOPCProviderTransaction> FSpareDataChange;
    std::atomic<bool> FDeleted{false};
    std::atomic<bool> FEnabled{true};
    std::vector<TKoOPCProviderItem*> FItemList;
    std::unordered_map<OPCHANDLE, TKoOPCProviderItem*> FItemsByHandle;
    // Cleared when the group is destroyed; enumerators reach the group through it.
    std::shared_ptr<TKoOPCGroupLife> FLife = std::make_shared<TKoOPCGroupLife>();
    // Holds the group's lock; its items keep it to report their changes.
    std::shared_ptr<TKoOPCGroupChangeGate> FChangeGate = std::make_shared<TKoOPCGroupChangeGate>();
    std::atomic<bool> FLocalTimeBias{false};
    TKoCriticalSection& FLock = FChangeGate->Lock;
    const OPCHANDLE* NewClientHandles = nullptr;
    bool NewItemActiveState = false;
    std::unique_ptr<TVarTypeList> NewItemDataTypes;
    const VARIANT* NewItemValues = nullptr;
    std::atomic<bool> FActive{false};
    std::atomic<OPCHANDLE> FClientHandle{0};
    std::unique_ptr<TKoConnectionPoints> FConnectionPoints;
    mutable std::mutex FNameLock;
    std::wstring FGroupName;
    std::atomic<LCID> FLCID{0};
    float FPercentDeadband = 0;
    std::atomic<OPCHANDLE> FServerHandle{0};
    std::atomic<LONG> FTimeBias{0};
    std::atomic<DWORD> FUpdateRate{0};
    bool FRegistered = false;
    static inline std::atomic<int> FInstanceCount{0};
};
