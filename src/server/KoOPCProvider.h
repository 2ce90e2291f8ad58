#pragma once
// The OPC Data Access server core of the process: one TKoOPCProvider per process.
//
// It keeps the list of connected server objects (one counted reference each), counts the groups
// of all clients and hands out the server handles of groups and items, decides access rights and
// browse data types, keeps the server status, owns the activity log and a main-thread message
// sink through which worker threads hand work to the main thread, and shuts the server down.
//
// The server objects, groups, the item-ID address space and the COM class object are built on
// top of this unit; the provider knows them through the small interfaces below.
//
// Threads: the provider is created, run and destroyed on the main thread, which owns its message
// sink. Clients connect on COM worker threads (AddClient, OnConnect); disconnection, logging into
// the activity log, freeing of removed objects and finishing of write transactions always happen
// on the main thread.
//
// Locks: the status lock guards FLastHandle and the fields GetStatus reports; the client-list lock
// guards the client list. A thread holding the status lock may take the client-list lock, never
// the other way round. Both are re-entrant.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "KoExceptions.h"
#include "KoLogs.h"
#include "KoOPCDA.h"
#include "KoOPCErrors.h"
#include "KoVarTypes.h"
#include "KoWindows.h"

class TKoComponent;
class TKoStrings;
class TKoVar;
class TKoOPCTransaction;
class TKoOPCProvider;

// Codes of the provider's main-thread message sink (0x0402 is not used).
enum : UINT {
    PM_FINISHTRANSACTION = WM_USER + 0, // group, transaction: the group finishes the transaction
    PM_FREEOBJECT = WM_USER + 1,        // the objects queued by FreeObject are destroyed (a batch at a time)
    PM_LOG = WM_USER + 3,        // the lines queued by other threads are recorded in the activity log now
    PM_DISCONNECT = WM_USER + 4, // server object: disconnected
};

// Access rights of an item, equal to the OPC access-right bit masks (readable 1, writable 2).
enum TKoOPCAccessRights : int { arNone, arReadOnly, arWriteOnly, arReadWrite };

// The COM threading model the class object registers.
enum TKoThreadingModel : int { tmSingle, tmApartment, tmFree, tmBoth, tmNeutral };

// An object that must be destroyed on the main thread (items removed by a client): handed over
// with FreeObject.
class TKoMainThreadObject {
public:
    virtual ~TKoMainThreadObject() = default;
};

class IKoOPCProviderGroup;

// What the provider needs of a server object (one per connection). Reference counting is the
// COM object's own: the provider's client list holds one reference per listed client.
class IKoOPCProviderClient {
public:
    virtual ULONG ObjAddRef() = 0;
    // Returns the references left; at 0 the object is gone.
    virtual ULONG ObjRelease() = 0;
    // The object's own interface query, for the objects that carry its COM face (its browse
    // interface); an object without interfaces answers none.
    virtual HRESULT ObjQueryInterface(REFIID /*riid*/, void** ppv) {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }

    virtual std::wstring Name() const = 0;
    virtual void SetName(const std::wstring& Value) = 0;
    virtual std::wstring User() const = 0;
    virtual int GroupCount() const = 0;
    virtual IKoOPCProviderGroup* Groups(int Index) const = 0;
    // One line per group: its name, with the group attached.
    virtual void AssignGroupsTo(TKoStrings& Target) = 0;
    // Finishes every group and detaches it from the client.
    virtual void Clear() = 0;
    // Sends ShutdownRequest(Reason) to every connected IOPCShutdown sink.
    virtual void Shutdown(const std::wstring& Reason) = 0;
    // Forgets the provider, under the client's own lock, without calling back into it: a server
    // object that a COM client still holds then answers as one without provider.
    virtual void DetachProvider() = 0;

    virtual ~IKoOPCProviderClient() = default;
};

using TKoOPCProviderGroupNotifyEvent = std::function<void(IKoOPCProviderGroup* Sender)>;

// What the provider needs of a group.
class IKoOPCProviderGroup {
public:
    virtual IKoOPCProviderClient* Client() const = 0;
    virtual OPCHANDLE ServerHandle() const = 0;
    virtual void SetServerHandle(OPCHANDLE Value) = 0;
    virtual std::wstring GroupName() const = 0;
    virtual bool LocalTimeBias() const = 0;
    virtual LONG TimeBias() const = 0;
    virtual DWORD UpdateRate() const = 0;
    virtual float PercentDeadband() const = 0;
    virtual bool Active() const = 0;
    virtual bool CallbackConnected() const = 0;
    virtual int ItemCount() const = 0;
    // One line per item, with the item attached.
    virtual void AssignItemsTo(TKoStrings& Target) = 0;
    // A transaction the group handed to the main thread (PM_FINISHTRANSACTION), with the
    // message's reference on the group: performs it when Perform (the provider runs and still
    // serves the client), then completes the hand-over and drops the reference.
    virtual void HandleTransactionMessage(TKoOPCTransaction* Transaction, bool Perform) noexcept = 0;
    // The number of the group's items bound to Variable.
    virtual int ItemCountOfVariable(const TKoVar* Variable) const = 0;
    // Raised each time the group creates a data change transaction; empty to unhook.
    virtual void SetOnCreateDataChange(TKoOPCProviderGroupNotifyEvent Handler) = 0;
    // The re-entrant group lock.
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

    virtual ~IKoOPCProviderGroup() = default;
};

// What the provider needs of its COM class object. The platform's class registry owns it.
class IKoOPCProviderClassObject {
public:
    // Lets creation requests through (they wait until the provider runs or shuts down).
    virtual void Activate() = 0;
    // A new server object connected to the provider, as a COM activation makes it; the caller
    // holds the one reference returned. Null when none can be made (provider suspended).
    virtual IKoOPCProviderClient* CreateClient() = 0;
    virtual void UpdateRegistry(bool Register) = 0;

    virtual ~IKoOPCProviderClassObject() = default;
};
using TKoOPCProviderClassObjectFactory = std::function<IKoOPCProviderClassObject*(TKoOPCProvider& Provider)>;

// What the provider needs of its item-ID address space (the tree of modules and variables).
class IKoOPCProviderAddressSpace {
public:
    virtual ~IKoOPCProviderAddressSpace() = default;
    virtual void Refresh(bool Force) = 0;
};
using TKoOPCProviderAddressSpaceFactory =
    std::function<std::unique_ptr<IKoOPCProviderAddressSpace>(TKoOPCProvider& Provider)>;

using TKoOPCProviderNotifyEvent = std::function<void(TKoOPCProvider* Sender)>;
using TKoOPCProviderConnectEvent = std::function<void(TKoOPCProvider* Sender, IKoOPCProviderClient* Client)>;
using TKoOPCProviderGroupEvent =
    std::function<void(TKoOPCProvider* Sender, IKoOPCProviderClient* Client, IKoOPCProviderGroup* Group)>;
using TKoOPCProviderFindItemEvent = std::function<void(TKoOPCProvider* Sender, const std::wstring& ItemID,
                                                       TKoComponent*& Component, TKoVarPropType& VarProp)>;
using TKoOPCProviderItemAccessRightsEvent =
    std::function<void(TKoOPCProvider* Sender, TKoComponent* Component, TKoVarPropType VarProp,
                       TKoOPCAccessRights& AccessRights)>;
using TKoOPCProviderGetItemDataTypeEvent = std::function<void(TKoOPCProvider* Sender, TKoComponent* Component,
                                                              TKoVarPropType VarProp, VARTYPE& DataType)>;
using TKoOPCProviderLogEvent = std::function<void(TKoOPCProvider* Sender, const std::wstring& Msg)>;

class TKoOPCProvider {
public:
    // Must run on the main thread, which then owns the message sink. The address space is made
    // by AddressSpaceFactory (none without one).
    explicit TKoOPCProvider(TKoOPCProviderAddressSpaceFactory AddressSpaceFactory = {});
    // Shuts down with an empty reason, then frees the sink, the client list, the log and the
    // address space. The class object is not freed here (the platform owns it).
    virtual ~TKoOPCProvider();
    TKoOPCProvider(const TKoOPCProvider&) = delete;
    TKoOPCProvider& operator=(const TKoOPCProvider&) = delete;

    // ---- identity and configuration ----
    // ClassID, CLSID, ServerName and ReadOnly refuse a different value while the server runs or
    // is suspended: EKoOPCProviderException "Cannot change TKoOPCProvider.%s when running.".
    GUID ClassID() const;
    void SetClassID(const GUID& Value);
    // The class ID as braced upper-case text; a text that is not a braced GUID fails with
    // EKoOleError before anything is stored.
    std::wstring CLSID() const;
    void SetCLSID(const std::wstring& Value);
    std::wstring ServerName() const;
    void SetServerName(const std::wstring& Value);
    bool ReadOnly() const;
    void SetReadOnly(bool Value);
    std::wstring Description() const;
    void SetDescription(const std::wstring& Value);
    std::wstring Vendor() const;
    void SetVendor(const std::wstring& Value);
    std::wstring VendorInfo() const;
    void SetVendorInfo(const std::wstring& Value);
    int32_t Version() const;
    void SetVersion(int32_t Value);
    TKoThreadingModel ThreadingModel() const { return FThreadingModel; }
    void SetThreadingModel(TKoThreadingModel Value) { FThreadingModel = Value; }
    bool SupportLocalTimeBias() const { return FSupportLocalTimeBias; }
    void SetSupportLocalTimeBias(bool Value) { FSupportLocalTimeBias = Value; }
    // How long a synchronous write waits for the main thread to take it (ms).
    DWORD SyncWriteBound() const { return FSyncWriteBound; }
    void SetSyncWriteBound(DWORD Value) { FSyncWriteBound = Value; }
    bool AutoRun() const { return FAutoRun; }
    void SetAutoRun(bool Value) { FAutoRun = Value; }

    // Where InitObjectFactory gets the class object from (set before Initialize).
    void SetClassObjectFactory(TKoOPCProviderClassObjectFactory Value) {
        FClassObjectFactory = std::move(Value);
    }
    IKoOPCProviderClassObject* ObjectFactory() const { return FObjectFactory; }

    // ---- status ----
    OPCSERVERSTATE State() const;
    double StartTime() const { return FStartTime; }
    int32_t GroupCount() const { return FGroupCount.load(); }
    HWND Handle() const;
    TKoLog& ActivityLog() { return *FActivityLog; }
    IKoOPCProviderAddressSpace* AddressSpace() const { return FAddressSpace.get(); }

    // ---- running and stopping ----
    // The last step of the set-up: creates the class object, sets the state to not configured
    // and, with AutoRun, queues Run on the main thread (runs it at once inside a library).
    void Initialize();
    // Lets the class object hand out server objects, sets the state to running, refreshes the
    // address space, raises OnActivate and logs the start-up line. Nothing when running.
    void Run();
    // Tells every client (last listed first), disconnects it, clears AutoRun, raises OnShutdown
    // and releases pending creation requests, which then create nothing. May run repeatedly.
    void Shutdown(const std::wstring& Reason);
    void Fail();
    void Register();
    void Unregister();

    // ---- clients ----
    // Lists the client (taking one reference), names it "Client %d" after its position when it
    // has no name, raises OnConnect and logs the connection. Returns the position.
    int AddClient(IKoOPCProviderClient* Client);
    // The client's position, or -1. A listed client is disconnected on the main thread: at once
    // when called there, otherwise queued (the call returns at once).
    int RemoveClient(IKoOPCProviderClient* Client);
    int IndexOfClient(const IKoOPCProviderClient* Client) const;
    int ClientCount() const;
    // An index outside the list fails with "List index out of bounds (%d)".
    IKoOPCProviderClient* Clients(int Index) const;
    bool Connected() const { return ClientCount() > 0; }
    // A new server object from the class object (the caller holds its one reference).
    IKoOPCProviderClient* GetNewClient();
    void AssignClientsTo(TKoStrings& Target) const;
    void GetClientGroups(IKoOPCProviderClient* Client, TKoStrings& Target) const;
    void GetClientInfo(IKoOPCProviderClient* Client, TKoStrings& Target) const;
    void GetGroupInfo(IKoOPCProviderGroup* Group, TKoStrings& Target) const;
    void GetGroupItems(IKoOPCProviderGroup* Group, TKoStrings& Target) const;
    // Disconnects a listed client on the calling thread: its groups are cleared, it leaves the
    // list, OnDisconnect is raised and the list's reference is dropped.
    void DoDisconnect(IKoOPCProviderClient* Client);

    // ---- groups and handles ----
    void AddGroup(IKoOPCProviderGroup* Group);
    void RemoveGroup(IKoOPCProviderGroup* Group);
    // 1, 2, 3 ... for all groups and items of the process.
    OPCHANDLE NextHandle();

    // ---- item IDs (the address space) ----
    // Resolves an item ID to its component and property: 1 for an item whose properties live on
    // sub-items (IncludeProps), 2 otherwise. Fails with EKoOPCProviderInvalidItemID for an
    // empty ID or a disabled property, EKoOPCProviderUnknownItemID when nothing resolves.
    virtual int FindItem(const std::wstring& ItemID, TKoComponent*& Component, TKoVarPropType& VarProp);
    // "Module.Variable.vpName" for a variable (only its immediate owner), else "vpName".
    std::wstring VarPropToItemID(TKoVarPropType VarProp, TKoComponent* Component) const;

    // ---- items ----
    TKoOPCAccessRights GetComponentAccessRights(TKoComponent* Component, TKoVarPropType VarProp);
    VARTYPE GetComponentDataType(TKoComponent* Component, TKoVarPropType VarProp);

    // Whether a log line would be recorded or shown (callers may skip building it otherwise).
    bool Logging() const;

    // ---- main thread ----
    // Formats the line and hands it to the main thread for the activity log: recorded at once on
    // the main thread, within a flush interval (50 ms) from any other thread. Never fails and never
    // waits for the main thread.
    template <class... TArgs> void Log(std::wstring_view Fmt, const TArgs&... Args) noexcept {
        try {
            LogLine(KoFormat(Fmt, Args...));
        } catch (...) {
            // A line that cannot be formatted is lost.
        }
    }
    void LogLine(std::wstring Line) noexcept;
    // On the main thread: records the line and raises OnLog with the entry as recorded.
    void DoLog(const std::wstring& Line);
    // On the main thread: records the lines other threads queued, in their order.
    void FlushLog();
    // Destroys Object on the main thread (at once when the sink is gone).
    void FreeObject(TKoMainThreadObject* Object);
    // On the main thread: destroys a batch of the queued objects and asks for the next batch.
    void FreeQueuedObjects() noexcept;

    void Lock() const { FStatusLock.lock(); }
    void Unlock() const { FStatusLock.unlock(); }

    // ---- synchronized data change (for an embedding application) ----
    // Collects and locks every active group with a data callback, an update rate not above
    // MaxUpdateRate and items of Variable (once per such item), hooking its data changes.
    void BeginSynchronizedDataChange(TKoVar* Variable, std::vector<IKoOPCProviderGroup*>* Groups,
                                     int32_t MaxUpdateRate);
    // Lets the groups run until each entry reported a data change or Timeout ms passed; the
    // groups are locked again in every case.
    bool WaitForSynchronizedDataChange(TKoVar* Variable, std::vector<IKoOPCProviderGroup*>* Groups,
                                       DWORD Timeout);
    void EndSynchronizedDataChange(std::vector<IKoOPCProviderGroup*>* Groups);

    // ---- events ----
    TKoOPCProviderNotifyEvent OnActivate;
    TKoOPCProviderConnectEvent OnConnect;
    TKoOPCProviderConnectEvent OnDisconnect;
    TKoOPCProviderGroupEvent OnAddGroup;
    TKoOPCProviderGroupEvent OnRemoveGroup;
    TKoOPCProviderFindItemEvent OnFindItem;
    TKoOPCProviderItemAccessRightsEvent OnItemAccessRights;
    TKoOPCProviderGetItemDataTypeEvent OnGetItemDataType;
    TKoOPCProviderLogEvent OnLog;
    TKoOPCProviderLogEvent OnShutdown;

protected:
    // Creates the class object through the factory set with SetClassObjectFactory.
    virtual void InitObjectFactory();
    // The sink's message handler; false leaves a system message to the default handling.
    bool HandleMessage(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT& Result);

private:
    void SetState(OPCSERVERSTATE Value);
    // Fails while running or suspended.
    void CheckNotRunning(const wchar_t* PropName) const;
    bool IsListed(const IKoOPCProviderClient* Client) const { return IndexOfClient(Client) >= 0; }

    std::unique_ptr<TKoLog> FActivityLog;
    std::unique_ptr<IKoOPCProviderAddressSpace> FAddressSpace;
    std::atomic<bool> FAutoRun{true};
    std::atomic<DWORD> FSyncWriteBound{30000};
    GUID FClassID{};
    TKoOPCProviderClassObjectFactory FClassObjectFactory;
    std::vector<IKoOPCProviderClient*> FClientList;
    mutable std::recursive_mutex FClientLock;
    std::atomic<int32_t> FDataChangeGroupCount{0};
    std::wstring FDescription;
    std::atomic<int32_t> FGroupCount{0};
    std::unique_ptr<TKoMessageWindow> FSink;
    // Objects waiting to be destroyed on the main thread. A client that removes a group of
    // thousands of items hands over thousands of objects: they go in batches, each under one hold
    // of the variables, with one message on its way while the queue is not empty.
    std::mutex FFreeLock;
    std::vector<TKoMainThreadObject*> FFreeQueue;
    bool FFreePosted = false;
    static constexpr size_t KoFreeBatch = 1024;
    // Lines of other threads waiting for the main thread: at most KoMaxQueuedLogLines lines of
    // together at most KoMaxQueuedLogChars characters (the line of a data change of thousands of
    // items alone has tens of thousands). More are dropped, and counted, while the main thread
    // does not keep up; the flush records how many.
    std::mutex FLogQueueLock;
    std::vector<std::wstring> FLogQueue;
    size_t FLogQueueChars = 0;
    size_t FLogLinesDropped = 0;
    static constexpr size_t KoMaxQueuedLogLines = 100000;
    static constexpr size_t KoMaxQueuedLogChars = size_t{8} << 20;
    // The sink's timer that takes the queued lines, and its interval.
    static constexpr UINT_PTR KoLogFlushTimer = 0x4C4F;
    static constexpr UINT KoLogFlushIntervalMs = 50;
    OPCHANDLE FLastHandle = 0;
    IKoOPCProviderClassObject* FObjectFactory = nullptr;
    bool FReadOnly = false;
    std::wstring FServerName;
    double FStartTime;
    OPCSERVERSTATE FState = OPC_STATUS_NOCONFIG;
    mutable std::recursive_mutex FStatusLock;
    bool FSupportLocalTimeBias = false;
    TKoThreadingModel FThreadingModel = tmBoth;
    std::wstring FVendor;
    std::wstring FVendorInfo;
    int32_t FVersion = 0;
};
