#include "KoOPCProvider.h"

#include <charconv>
#include <objbase.h>

#include "KoGuards.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "KoVariants.h"
#include "KoVarAccess.h"
#include "KoVars.h"

namespace {

// Sets the "Name=Value" line of Target, appending it when Name has none yet.
void SetNameValue(TKoStrings& Target, const std::wstring& Name, const std::wstring& Value) {
    const std::wstring Line = Name + L"=" + Value;
    for (int I = 0; I < Target.Count(); ++I) {
        const std::wstring& Existing = Target.Strings(I);
        if (Existing.size() > Name.size() && Existing[Name.size()] == L'=' &&
            KoSameText(Existing.substr(0, Name.size()), Name)) {
            Target.SetStrings(I, Line);
            return;
        }
    }
    Target.Add(Line);
}

// The shortest text that reads back as the same single-precision number.
std::wstring ShortestFloatText(float Value) {
    char Buffer[64];
    const auto Result = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
    return std::wstring(Buffer, Result.ptr);
}

// Drops a counted reference on a client when the scope ends (taking it first unless adopted).
class TClientRef {
public:
    TClientRef(IKoOPCProviderClient* AClient, bool Adopt) : FClient(AClient) {
        if (!Adopt) FClient->ObjAddRef();
    }
    ~TClientRef() { FClient->ObjRelease(); }
    TClientRef(const TClientRef&) = delete;
    TClientRef& operator=(const TClientRef&) = delete;

private:
    IKoOPCProviderClient* FClient;
};

} // namespace

// ---- construction ----

TKoOPCProvider::TKoOPCProvider(TKoOPCProviderAddressSpaceFactory AddressSpaceFactory)
    : FActivityLog(std::make_unique<TKoLog>()), FStartTime(NowUTC()) {
    FSink =
        std::make_unique<TKoMessageWindow>([this](UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT& Result) {
            return HandleMessage(Msg, WParam, LParam, Result);
        });
    // The lines other threads queue are taken at this pace: a worker thread's call then costs no
    // message at all.
    SetTimer(FSink->Handle(), KoLogFlushTimer, KoLogFlushIntervalMs, nullptr);
    if (AddressSpaceFactory) FAddressSpace = AddressSpaceFactory(*this);
}

TKoOPCProvider::~TKoOPCProvider() {
    Shutdown(std::wstring());
    try {
        FlushLog();
    } catch (...) {
        // Lines that cannot be recorded any more are lost.
    }
    FSink.reset();
    // Objects still queued go now (with no sink left, all of them in this call).
    FreeQueuedObjects();
    {
        std::lock_guard Guard(FClientLock);
        FClientList.clear();
    }
    FActivityLog.reset();
    FAddressSpace.reset();
}

// ---- identity ----

void TKoOPCProvider::CheckNotRunning(const wchar_t* PropName) const {
    const OPCSERVERSTATE Current = State();
    if (Current == OPC_STATUS_RUNNING || Current == OPC_STATUS_SUSPENDED)
        throw EKoOPCProviderException(KoFormat(L"Cannot change TKoOPCProvider.%s when running.", PropName));
}

GUID TKoOPCProvider::ClassID() const {
    std::lock_guard Guard(FStatusLock);
    return FClassID;
}

void TKoOPCProvider::SetClassID(const GUID& Value) {
    std::lock_guard Guard(FStatusLock);
    if (IsEqualGUID(Value, FClassID)) return;
    CheckNotRunning(L"ClassID/CLSID");
    FClassID = Value;
}

std::wstring TKoOPCProvider::CLSID() const {
    wchar_t Text[40];
    const GUID Value = ClassID();
    if (!StringFromGUID2(Value, Text, static_cast<int>(std::size(Text)))) return {};
    return Text;
}

void TKoOPCProvider::SetCLSID(const std::wstring& Value) {
    GUID Parsed;
    // IIDFromString takes braced GUIDs only (CLSIDFromString would also resolve ProgIDs).
    if (Value.size() != 38 || Value.front() != L'{' || FAILED(IIDFromString(Value.c_str(), &Parsed)))
        throw EKoOleError(CO_E_CLASSSTRING, KoFormat(L"\"%s\" is not a braced GUID", Value));
    SetClassID(Parsed);
}

std::wstring TKoOPCProvider::ServerName() const {
    std::lock_guard Guard(FStatusLock);
    return FServerName;
}

void TKoOPCProvider::SetServerName(const std::wstring& Value) {
    std::lock_guard Guard(FStatusLock);
    if (Value == FServerName) return;
    CheckNotRunning(L"ServerName");
    FServerName = Value;
}

bool TKoOPCProvider::ReadOnly() const {
    std::lock_guard Guard(FStatusLock);
    return FReadOnly;
}

void TKoOPCProvider::SetReadOnly(bool Value) {
    std::lock_guard Guard(FStatusLock);
    if (Value == FReadOnly) return;
    CheckNotRunning(L"ReadOnly");
    FReadOnly = Value;
}

std::wstring TKoOPCProvider::Description() const {
    std::lock_guard Guard(FStatusLock);
    return FDescription;
}

void TKoOPCProvider::SetDescription(const std::wstring& Value) {
    std::lock_guard Guard(FStatusLock);
    FDescription = Value;
}

std::wstring TKoOPCProvider::Vendor() const {
    std::lock_guard Guard(FStatusLock);
    return FVendor;
}

void TKoOPCProvider::SetVendor(const std::wstring& Value) {
    std::lock_guard Guard(FStatusLock);
    FVendor = Value;
}

std::wstring TKoOPCProvider::VendorInfo() const {
    std::lock_guard Guard(FStatusLock);
    return FVendorInfo;
}

void TKoOPCProvider::SetVendorInfo(const std::wstring& Value) {
    std::lock_guard Guard(FStatusLock);
    FVendorInfo = Value;
}

int32_t TKoOPCProvider::Version() const {
    std::lock_guard Guard(FStatusLock);
    return FVersion;
}

void TKoOPCProvider::SetVersion(int32_t Value) {
    std::lock_guard Guard(FStatusLock);
    FVersion = Value;
}

// ---- status ----

OPCSERVERSTATE TKoOPCProvider::State() const {
    std::lock_guard Guard(FStatusLock);
    return FState;
}

void TKoOPCProvider::SetState(OPCSERVERSTATE Value) {
    std::lock_guard Guard(FStatusLock);
    FState = Value;
}

HWND TKoOPCProvider::Handle() const {
    return FSink ? FSink->Handle() : nullptr;
}

// ---- running and stopping ----

void TKoOPCProvider::InitObjectFactory() {
    if (FClassObjectFactory) FObjectFactory = FClassObjectFactory(*this);
}

void TKoOPCProvider::Initialize() {
    InitObjectFactory();
    SetState(OPC_STATUS_NOCONFIG);
    if (!FAutoRun) return;
    if (KoInLibrary())
        Run();
    else
        // Run happens when the main thread's message loop first runs, after every module exists.
        PostMessageW(Handle(), WM_ACTIVATEAPP, 1, 0);
}

void TKoOPCProvider::Run() {
    {
        std::lock_guard Guard(FStatusLock);
        if (FState == OPC_STATUS_RUNNING) return;
        if (FObjectFactory) FObjectFactory->Activate();
        FState = OPC_STATUS_RUNNING;
    }
    if (FAddressSpace) FAddressSpace->Refresh(false);
    if (OnActivate) OnActivate(this);
    Log(L"Server started. ProgID=%s, CLSID=%s, Version=%d, Vendor=%s, VendorInfo=%s, ReadOnly=%s",
        ServerName(), CLSID(), Version(), Vendor(), VendorInfo(), BoolToText(ReadOnly()));
}

void TKoOPCProvider::Shutdown(const std::wstring& Reason) {
    SetState(OPC_STATUS_SUSPENDED);
    // A copy with references of their own: clients may leave the list meanwhile.
    std::vector<IKoOPCProviderClient*> Snapshot;
    {
        std::lock_guard Guard(FClientLock);
        Snapshot = FClientList;
        for (IKoOPCProviderClient* Client : Snapshot) Client->ObjAddRef();
    }
    for (auto It = Snapshot.rbegin(); It != Snapshot.rend(); ++It) {
        IKoOPCProviderClient* Client = *It;
        TClientRef Reference(Client, true);
        try {
            Client->Shutdown(Reason);
        } catch (...) {
            // A client that cannot be told is disconnected all the same.
        }
        // Lets callbacks in flight finish.
        Sleep(0);
        DoDisconnect(Client);
    }
    FAutoRun = false;
    if (OnShutdown) OnShutdown(this, Reason);
    // Pending creation requests return and, seeing the suspended state, create nothing.
    if (FObjectFactory) FObjectFactory->Activate();
    Sleep(100);
}

void TKoOPCProvider::Fail() {
    SetState(OPC_STATUS_FAILED);
}

void TKoOPCProvider::Register() {
    if (FObjectFactory) FObjectFactory->UpdateRegistry(true);
}

void TKoOPCProvider::Unregister() {
    if (FObjectFactory) FObjectFactory->UpdateRegistry(false);
}

// ---- clients ----

int TKoOPCProvider::AddClient(IKoOPCProviderClient* Client) {
    Client->ObjAddRef();
    int Index;
    std::wstring Name;
    {
        std::lock_guard Guard(FClientLock);
        FClientList.push_back(Client);
        Index = static_cast<int>(FClientList.size()) - 1;
        if (Client->Name().empty()) Client->SetName(KoFormat(L"Client %d", Index));
        Name = Client->Name();
    }
    if (OnConnect) OnConnect(this, Client);
    Log(L"Client '%s' connected.", Name);
    return Index;
}

int TKoOPCProvider::RemoveClient(IKoOPCProviderClient* Client) {
    const int Index = IndexOfClient(Client);
    if (Index < 0) return Index;
    // The message carries a reference of its own, so that the client outlives the queue even
    // when another disconnection gets there first.
    Client->ObjAddRef();
    if (!SendNotifyMessageW(Handle(), PM_DISCONNECT, reinterpret_cast<WPARAM>(Client), 0))
        Client->ObjRelease();
    return Index;
}

int TKoOPCProvider::IndexOfClient(const IKoOPCProviderClient* Client) const {
    std::lock_guard Guard(FClientLock);
    for (size_t I = 0; I < FClientList.size(); ++I)
        if (FClientList[I] == Client) return static_cast<int>(I);
    return -1;
}

int TKoOPCProvider::ClientCount() const {
    std::lock_guard Guard(FClientLock);
    return static_cast<int>(FClientList.size());
}

IKoOPCProviderClient* TKoOPCProvider::Clients(int Index) const {
    std::lock_guard Guard(FClientLock);
    if (Index < 0 || Index >= static_cast<int>(FClientList.size())) KoStringListIndexError(Index);
    return FClientList[static_cast<size_t>(Index)];
}

IKoOPCProviderClient* TKoOPCProvider::GetNewClient() {
    return FObjectFactory ? FObjectFactory->CreateClient() : nullptr;
}

void TKoOPCProvider::AssignClientsTo(TKoStrings& Target) const {
    std::lock_guard Status(FStatusLock);
    std::lock_guard Guard(FClientLock);
    TKoUpdateGuard Update(Target);
    Target.Clear();
    for (IKoOPCProviderClient* Client : FClientList) Target.AddObject(Client->Name(), Client);
}

void TKoOPCProvider::GetClientGroups(IKoOPCProviderClient* Client, TKoStrings& Target) const {
    std::lock_guard Guard(FClientLock);
    if (IsListed(Client)) Client->AssignGroupsTo(Target);
}

void TKoOPCProvider::GetClientInfo(IKoOPCProviderClient* Client, TKoStrings& Target) const {
    std::lock_guard Guard(FClientLock);
    if (!IsListed(Client)) return;
    SetNameValue(Target, L"Name", Client->Name());
    SetNameValue(Target, L"User", Client->User());
    SetNameValue(Target, L"GroupCount", std::to_wstring(Client->GroupCount()));
}

void TKoOPCProvider::GetGroupInfo(IKoOPCProviderGroup* Group, TKoStrings& Target) const {
    std::lock_guard Guard(FClientLock);
    if (!IsListed(Group->Client())) return;
    SetNameValue(Target, L"Name", Group->GroupName());
    SetNameValue(Target, L"Time Bias",
                 Group->LocalTimeBias() ? L"Local" : std::to_wstring(Group->TimeBias()));
    SetNameValue(Target, L"Update Rate", std::to_wstring(Group->UpdateRate()));
    SetNameValue(Target, L"Percent Deadband", ShortestFloatText(Group->PercentDeadband()));
    SetNameValue(Target, L"Active", BoolToText(Group->Active()));
    SetNameValue(Target, L"Callback Connected", BoolToText(Group->CallbackConnected()));
    SetNameValue(Target, L"ItemCount", std::to_wstring(Group->ItemCount()));
}

void TKoOPCProvider::GetGroupItems(IKoOPCProviderGroup* Group, TKoStrings& Target) const {
    std::lock_guard Guard(FClientLock);
    if (IsListed(Group->Client())) Group->AssignItemsTo(Target);
}

void TKoOPCProvider::DoDisconnect(IKoOPCProviderClient* Client) {
    if (!IsListed(Client)) return;
    Client->Clear();
    Log(L"Client '%s' disconnected.", Client->Name());
    {
        std::lock_guard Guard(FClientLock);
        const int Index = IndexOfClient(Client);
        // Another thread's disconnection of the same client came first: its reference is gone.
        if (Index < 0) return;
        FClientList.erase(FClientList.begin() + Index);
    }
    if (OnDisconnect) OnDisconnect(this, Client);
    // Detached before the list's reference goes: a client that COM still holds must not call
    // back into the provider, and one that goes now has nothing left to remove itself from.
    Client->DetachProvider();
    Client->ObjRelease();
}

// ---- groups and handles ----

void TKoOPCProvider::AddGroup(IKoOPCProviderGroup* Group) {
    ++FGroupCount;
    Group->SetServerHandle(NextHandle());
    if (OnAddGroup) OnAddGroup(this, Group->Client(), Group);
}

void TKoOPCProvider::RemoveGroup(IKoOPCProviderGroup* Group) {
    if (OnRemoveGroup) OnRemoveGroup(this, Group->Client(), Group);
    --FGroupCount;
}

OPCHANDLE TKoOPCProvider::NextHandle() {
    std::lock_guard Guard(FStatusLock);
    return ++FLastHandle;
}

// ---- items ----

TKoOPCAccessRights TKoOPCProvider::GetComponentAccessRights(TKoComponent* Component, TKoVarPropType VarProp) {
    auto* Variable = dynamic_cast<TKoVar*>(Component);
    if (ReadOnly() || !Variable) return arReadOnly;
    TKoOPCAccessRights Rights = arReadOnly;
    switch (VarProp) {
    case vpValue:
        Rights = Variable->ReadOnly() ? arReadOnly : arReadWrite;
        break;
    case vpAlarmLow:
    case vpAlarmHigh:
    case vpWarnLow:
    case vpWarnHigh:
    case vpSetpoint:
        Rights = arReadWrite;
        break;
    default:
        break;
    }
    if (OnItemAccessRights) OnItemAccessRights(this, Component, VarProp, Rights);
    return Rights;
}

VARTYPE TKoOPCProvider::GetComponentDataType(TKoComponent* Component, TKoVarPropType VarProp) {
    VARTYPE DataType = VT_EMPTY;
    if (auto* Variable = dynamic_cast<TKoVar*>(Component))
        DataType =
            KoVarDataTypeToVarType(Variable->GetPropDataType(VarProp), Variable->GetPropIsArray(VarProp));
    if (OnGetItemDataType) OnGetItemDataType(this, Component, VarProp, DataType);
    return DataType;
}

// ---- main thread ----

void TKoOPCProvider::LogLine(std::wstring Line) noexcept {
    try {
        const HWND Sink = Handle();
        if (!Sink) return;
        if (GetWindowThreadProcessId(Sink, nullptr) == GetCurrentThreadId()) {
            // On the main thread at once, after the lines other threads queued before it.
            FlushLog();
            DoLog(Line);
            return;
        }
        // Other threads queue the line and never wait for the main thread, which takes the
        // queued lines on its flush timer.
        std::lock_guard Guard(FLogQueueLock);
        // Once one line is dropped, every line is until the main thread takes the queue: the
        // flush's count of them then stands where they were.
        if (FLogLinesDropped || FLogQueue.size() >= KoMaxQueuedLogLines ||
            FLogQueueChars + Line.size() > KoMaxQueuedLogChars) {
            ++FLogLinesDropped;
            return;
        }
        FLogQueueChars += Line.size();
        FLogQueue.push_back(std::move(Line));
    } catch (...) {
        // Logging never fails towards the caller.
    }
}

void TKoOPCProvider::FlushLog() {
    std::vector<std::wstring> Lines;
    size_t Dropped = 0;
    {
        std::lock_guard Guard(FLogQueueLock);
        Lines.swap(FLogQueue);
        FLogQueueChars = 0;
        Dropped = std::exchange(FLogLinesDropped, 0);
    }
    for (const std::wstring& Line : Lines) DoLog(Line);
    if (Dropped)
        DoLog(KoFormat(L"%u log lines of other threads were dropped: the main thread did not keep up.",
                       static_cast<unsigned>(Dropped)));
}

bool TKoOPCProvider::Logging() const {
    return FActivityLog->Active() || static_cast<bool>(OnLog);
}

void TKoOPCProvider::DoLog(const std::wstring& Line) {
    const std::wstring Entry = FActivityLog->Add(Line);
    if (OnLog) OnLog(this, Entry);
}

void TKoOPCProvider::FreeObject(TKoMainThreadObject* Object) {
    if (!Object) return;
    if (const HWND Sink = Handle()) {
        std::lock_guard Guard(FFreeLock);
        try {
            FFreeQueue.push_back(Object);
            if (FFreePosted) return;
            if (PostMessageW(Sink, PM_FREEOBJECT, 0, 0)) {
                FFreePosted = true;
                return;
            }
            FFreeQueue.pop_back();
        } catch (...) {
            // Out of memory: destroyed here, as without a main thread.
        }
    }
    delete Object;
}

void TKoOPCProvider::FreeQueuedObjects() noexcept {
    for (;;) {
        std::vector<TKoMainThreadObject*> Batch;
        bool More = false;
        {
            std::lock_guard Guard(FFreeLock);
            if (FFreeQueue.size() > KoFreeBatch) {
                try {
                    Batch.assign(FFreeQueue.end() - KoFreeBatch, FFreeQueue.end());
                    FFreeQueue.resize(FFreeQueue.size() - KoFreeBatch);
                } catch (...) {
                    Batch.clear();
                }
            }
            if (Batch.empty()) Batch.swap(FFreeQueue); // the rest, or all of it when out of memory
            const HWND Sink = Handle();
            FFreePosted = !FFreeQueue.empty() && Sink && PostMessageW(Sink, PM_FREEOBJECT, 0, 0);
            More = !FFreeQueue.empty() && !FFreePosted;
        }
        try {
            // A removed item disconnects its link from its variable here.
            TKoVarWriteAccess Access(KoVarAccessLock());
            for (TKoMainThreadObject* Object : Batch) delete Object;
        } catch (...) {
            // The variables' lock failed: the batch is left rather than torn from them unsafely.
        }
        if (!More) return;
    }
}

bool TKoOPCProvider::HandleMessage(UINT Msg, WPARAM WParam, LPARAM LParam, LRESULT& Result) {
    Result = 0;
    switch (Msg) {
    case WM_TIMER:
        if (WParam != KoLogFlushTimer) return false;
        FlushLog();
        return true;
    case WM_ENABLE:
        if (WParam == 0) Shutdown(std::wstring());
        return true;
    case WM_ACTIVATEAPP:
        if (WParam != 0 && FAutoRun) Run();
        return true;
    case PM_FINISHTRANSACTION:
        try {
            // Writes change variables; the transaction's items are read under the same hold.
            TKoVarWriteAccess Access(KoVarAccessLock());
            auto* Group = reinterpret_cast<IKoOPCProviderGroup*>(WParam);
            Group->HandleTransactionMessage(reinterpret_cast<TKoOPCTransaction*>(LParam),
                                            State() == OPC_STATUS_RUNNING && IsListed(Group->Client()));
        } catch (...) {
            // The main thread's loop goes on.
        }
        return true;
    case PM_FREEOBJECT:
        FreeQueuedObjects();
        return true;
    case PM_LOG:
        FlushLog();
        return true;
    case PM_DISCONNECT: {
        auto* Client = reinterpret_cast<IKoOPCProviderClient*>(WParam);
        // The message's own reference (taken by RemoveClient) goes whatever happens.
        TClientRef Message(Client, true);
        DoDisconnect(Client);
        return true;
    }
    default:
        if (Msg >= WM_USER) {
            Result = -1;
            return true;
        }
        return false;
    }
}

// ---- synchronized data change ----

void TKoOPCProvider::BeginSynchronizedDataChange(TKoVar* Variable, std::vector<IKoOPCProviderGroup*>* Groups,
                                                 int32_t MaxUpdateRate) {
    if (!Groups) throw EKoOPCProviderInvalidArg(L"Argument Groups must not be nil");
    {
        std::lock_guard Guard(FClientLock);
        for (IKoOPCProviderClient* Client : FClientList) {
            for (int I = 0; I < Client->GroupCount(); ++I) {
                IKoOPCProviderGroup* Group = Client->Groups(I);
                if (!Group->Active() || !Group->CallbackConnected() ||
                    static_cast<int64_t>(MaxUpdateRate) < static_cast<int64_t>(Group->UpdateRate()))
                    continue;
                for (int N = Group->ItemCountOfVariable(Variable); N > 0; --N) {
                    Groups->push_back(Group);
                    Group->SetOnCreateDataChange([this](IKoOPCProviderGroup*) { ++FDataChangeGroupCount; });
                    Group->Lock();
                }
            }
        }
    }
    FDataChangeGroupCount.exchange(0);
}

bool TKoOPCProvider::WaitForSynchronizedDataChange(TKoVar* /*Variable*/,
                                                   std::vector<IKoOPCProviderGroup*>* Groups, DWORD Timeout) {
    std::vector<IKoOPCProviderGroup*> None;
    const std::vector<IKoOPCProviderGroup*>& List = Groups ? *Groups : None;
    for (IKoOPCProviderGroup* Group : List) Group->Unlock();
    const uint64_t Start = TickCount64();
    bool Reached;
    while (!(Reached = FDataChangeGroupCount.load() >= static_cast<int32_t>(List.size()))) {
        if (TickCount64() - Start >= Timeout) break;
        Sleep(1);
    }
    FDataChangeGroupCount.exchange(0);
    for (IKoOPCProviderGroup* Group : List) Group->Lock();
    return Reached;
}

void TKoOPCProvider::EndSynchronizedDataChange(std::vector<IKoOPCProviderGroup*>* Groups) {
    if (!Groups) return;
    for (IKoOPCProviderGroup* Group : *Groups) {
        Group->SetOnCreateDataChange(nullptr);
        Group->Unlock();
    }
    Groups->clear();
}
