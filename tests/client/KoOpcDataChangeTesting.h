#pragma once
// What the data-change client tests share: the journal of what the client's sinks were told, the
// IOPCDataCallback sink, groups with their items opened through the server's interfaces, the
// synchronous and asynchronous calls the tests repeat, and the fixture.
//
// Every test starts a fresh server, so the modules hold their initial values: Static never
// changes a value by itself, Random steps once a second until a client writes a shorter
// TimerInterval, and every variable of ReadOnly is read-only.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "KoOle.h"
#include "KoOpcClientTesting.h"
#include "KoVariants.h"

namespace kotest {

inline constexpr OPCHANDLE kGroupClient = 0x6A01;
inline constexpr OPCHANDLE kUnknownHandle = 0x7FFFFF00;
inline constexpr WORD kGood = 0xC0;
// No callback arrives within this bound when none is due (the longest update rate used is 1 s).
inline constexpr DWORD kQuietMs = 1500;
// A callback that is due arrives within this bound.
inline constexpr DWORD kDueMs = 5000;
// Written into out-parameters before a call, to see whether the call wrote them.
inline constexpr DWORD kUnwritten = 0xDEADBEEF;

inline ULONGLONG Now() {
    FILETIME Time{};
    GetSystemTimeAsFileTime(&Time);
    return Ticks(Time);
}

inline std::string Describe(const VARIANT& V) {
    try {
        return Utf8(VariantToText(V, true));
    } catch (...) {
        return "vt " + std::to_string(V.vt);
    }
}

inline std::vector<std::string> HexList(const std::vector<HRESULT>& Codes) {
    std::vector<std::string> Result;
    for (HRESULT Code : Codes) Result.push_back(Hex(Code));
    return Result;
}

// ---- what the client's sink is told ----

enum class CallKind { DataChange, ReadComplete, WriteComplete, CancelComplete };

struct Entry {
    OPCHANDLE Client = 0;
    TKoOleVariant Value;
    WORD Quality = 0;
    ULONGLONG Time = 0; // FILETIME ticks
    HRESULT Error = S_OK;
};

struct Callback {
    CallKind Kind = CallKind::DataChange;
    DWORD TransID = 0;
    OPCHANDLE Group = 0;
    HRESULT MasterQuality = S_OK;
    HRESULT MasterError = S_OK;
    std::vector<Entry> Entries;
    ULONGLONG Arrival = 0;     // GetTickCount64 on arrival
    ULONGLONG ArrivalTime = 0; // UTC FILETIME ticks on arrival

    std::vector<OPCHANDLE> Clients() const {
        std::vector<OPCHANDLE> Result;
        for (const Entry& E : Entries) Result.push_back(E.Client);
        return Result;
    }
    const Entry* Find(OPCHANDLE Client) const {
        for (const Entry& E : Entries)
            if (E.Client == Client) return &E;
        return nullptr;
    }
    bool Carries(OPCHANDLE Client) const { return Find(Client) != nullptr; }
};

using Predicate = std::function<bool(const Callback&)>;

inline Predicate Is(CallKind Kind, DWORD TransID) {
    return [=](const Callback& C) { return C.Kind == Kind && C.TransID == TransID; };
}
inline Predicate DataChangeCarrying(OPCHANDLE Client) {
    return [=](const Callback& C) { return C.Kind == CallKind::DataChange && C.Carries(Client); };
}
inline const Predicate AnyDataChange = [](const Callback& C) { return C.Kind == CallKind::DataChange; };

// Every call the sinks of one test received, in arrival order. A call records its arrival in
// its Arrival (tick count) and ArrivalTime (UTC FILETIME ticks).
template <class TCall> class TJournal {
public:
    using TMatch = std::function<bool(const TCall&)>;

    TJournal() : FChanged(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    void Record(TCall Call) {
        Call.Arrival = GetTickCount64();
        Call.ArrivalTime = Now();
        {
            std::lock_guard Guard(FLock);
            FCalls.push_back(std::move(Call));
        }
        SetEvent(FChanged.Get());
    }
    size_t Size() const {
        std::lock_guard Guard(FLock);
        return FCalls.size();
    }
    // The calls from position From on.
    std::vector<TCall> Since(size_t From = 0) const {
        std::lock_guard Guard(FLock);
        return {FCalls.begin() + static_cast<ptrdiff_t>(std::min(From, FCalls.size())), FCalls.end()};
    }
    // The position of the first call from From on that matches, once one arrived within BoundMs;
    // -1 when none did.
    long WaitFor(const TMatch& Match, DWORD BoundMs, size_t From = 0) {
        const ULONGLONG Deadline = GetTickCount64() + BoundMs;
        for (;;) {
            {
                std::lock_guard Guard(FLock);
                for (size_t I = From; I < FCalls.size(); ++I)
                    if (Match(FCalls[I])) return static_cast<long>(I);
                ResetEvent(FChanged.Get());
            }
            const ULONGLONG Current = GetTickCount64();
            if (Current >= Deadline) return -1;
            WaitForSingleObject(FChanged.Get(), static_cast<DWORD>(Deadline - Current));
        }
    }
    // The call at a position WaitFor returned.
    TCall At(long Index) const {
        std::lock_guard Guard(FLock);
        return FCalls.at(static_cast<size_t>(Index));
    }
    // Whether Count calls from From on match, once they arrived within BoundMs.
    bool WaitForCount(const TMatch& Match, size_t Count, DWORD BoundMs, size_t From = 0) {
        size_t Position = From;
        for (size_t Found = 0; Found < Count; ++Found) {
            const long Index = WaitFor(Match, BoundMs, Position);
            if (Index < 0) return false;
            Position = static_cast<size_t>(Index) + 1;
        }
        return true;
    }
    std::vector<TCall> Matching(const TMatch& Match, size_t From = 0) const {
        std::vector<TCall> Result;
        for (TCall& C : Since(From))
            if (Match(C)) Result.push_back(std::move(C));
        return Result;
    }

private:
    mutable std::mutex FLock;
    std::vector<TCall> FCalls;
    TKoHandle FChanged;
};
using Journal = TJournal<Callback>;

inline std::vector<Entry> EntriesOf(DWORD Count, const OPCHANDLE* Clients, const VARIANT* Values,
                                    const WORD* Qualities, const FILETIME* Times, const HRESULT* Errors) {
    std::vector<Entry> Result;
    for (DWORD I = 0; I < Count; ++I) {
        Entry E;
        E.Client = Clients ? Clients[I] : 0;
        if (Values) E.Value = TKoOleVariant(Values[I]);
        E.Quality = Qualities ? Qualities[I] : 0;
        E.Time = Times ? Ticks(Times[I]) : 0;
        E.Error = Errors ? Errors[I] : S_OK;
        Result.push_back(std::move(E));
    }
    return Result;
}

// The client's data callback: records every call. A read completion can be held at a gate
// until the test opens it (bounded), to keep the server's callback thread busy.
class DataSink final : public TKoComObject<IOPCDataCallback> {
public:
    explicit DataSink(std::shared_ptr<Journal> AJournal) : FJournal(std::move(AJournal)) {}

    void HoldReadsAt(HANDLE Gate) { FGate = Gate; }

    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                              HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                              VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                              HRESULT* pErrors) override {
        FJournal->Record({CallKind::DataChange, dwTransid, hGroup, hrMasterquality, hrMastererror,
                          EntriesOf(dwCount, phClientItems, pvValues, pwQualities, pftTimeStamps, pErrors)});
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                HRESULT* pErrors) override {
        FJournal->Record({CallKind::ReadComplete, dwTransid, hGroup, hrMasterquality, hrMastererror,
                          EntriesOf(dwCount, phClientItems, pvValues, pwQualities, pftTimeStamps, pErrors)});
        if (FGate) WaitForSingleObject(FGate, 10000);
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                                 OPCHANDLE* pClienthandles, HRESULT* pErrors) override {
        FJournal->Record({CallKind::WriteComplete, dwTransid, hGroup, S_OK, hrMastererr,
                          EntriesOf(dwCount, pClienthandles, nullptr, nullptr, nullptr, pErrors)});
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override {
        FJournal->Record({CallKind::CancelComplete, dwTransid, hGroup, S_OK, S_OK, {}});
        return S_OK;
    }

private:
    std::shared_ptr<Journal> FJournal;
    HANDLE FGate = nullptr;
};

// A sink of another interface: the group's connection point must refuse it.
class ShutdownOnlySink final : public TKoComObject<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR) override { return S_OK; }
};

// ---- the group ----

struct ItemDef {
    const wchar_t* ItemID;
    OPCHANDLE Client;
    bool Active = true;
};

struct Group {
    HRESULT Result = E_UNEXPECTED;
    OPCHANDLE ServerHandle = 0;
    DWORD RevisedRate = 0;
    ComPtr<IOPCGroupStateMgt> State;
    ComPtr<IOPCItemMgt> Items;
    ComPtr<IOPCSyncIO> Sync;
    ComPtr<IOPCAsyncIO2> Async;
    ComPtr<IConnectionPointContainer> Container;
    // Empty when the group and every interface were obtained.
    std::string Failure;
};

// A group with a time bias of 0 (its time stamps are UTC) and the client handle kGroupClient.
inline Group OpenGroup(IOPCServer* Server, const wchar_t* Name, bool Active, DWORD Rate,
                       const FLOAT* Deadband = nullptr) {
    Group G;
    LONG TimeBias = 0;
    IUnknown* Unknown = nullptr;
    G.Result = Server->AddGroup(Name, Active, Rate, kGroupClient, &TimeBias, const_cast<FLOAT*>(Deadband),
                                LOCALE_SYSTEM_DEFAULT, &G.ServerHandle, &G.RevisedRate, IID_IOPCGroupStateMgt,
                                &Unknown);
    if (FAILED(G.Result)) {
        G.Failure = "AddGroup gave " + Hex(G.Result);
        return G;
    }
    *G.State.GetAddressOf() = static_cast<IOPCGroupStateMgt*>(Unknown);
    if (HRESULT Code = G.State.As(&G.Items); FAILED(Code)) G.Failure += "no IOPCItemMgt (" + Hex(Code) + ") ";
    if (HRESULT Code = G.State.As(&G.Sync); FAILED(Code)) G.Failure += "no IOPCSyncIO (" + Hex(Code) + ") ";
    if (HRESULT Code = G.State.As(&G.Async); FAILED(Code))
        G.Failure += "no IOPCAsyncIO2 (" + Hex(Code) + ") ";
    if (HRESULT Code = G.State.As(&G.Container); FAILED(Code))
        G.Failure += "no IConnectionPointContainer (" + Hex(Code) + ")";
    return G;
}

// The server handles of items that must all be added.
inline std::vector<OPCHANDLE> AddItems(IOPCItemMgt* Items, const std::vector<ItemDef>& Defs) {
    std::vector<OPCITEMDEF> Raw;
    for (const ItemDef& D : Defs) {
        OPCITEMDEF R{};
        R.szAccessPath = const_cast<LPWSTR>(L"");
        R.szItemID = const_cast<LPWSTR>(D.ItemID);
        R.bActive = D.Active;
        R.hClient = D.Client;
        Raw.push_back(R);
    }
    OPCITEMRESULT* Results = nullptr;
    HRESULT* Errors = nullptr;
    const auto Count = static_cast<DWORD>(Defs.size());
    const HRESULT Result = Items->AddItems(Count, Raw.data(), &Results, &Errors);
    EXPECT_EQ(Hex(Result), Hex(S_OK)) << "AddItems";
    std::vector<OPCHANDLE> Handles;
    if (Results)
        for (DWORD I = 0; I < Count; ++I) {
            Handles.push_back(Results[I].hServer);
            CoTaskMemFree(Results[I].pBlob);
        }
    CoTaskMemFree(Results);
    CoTaskMemFree(Errors);
    if (Handles.size() != Defs.size()) ADD_FAILURE() << "AddItems returned no results";
    return Handles;
}

struct PerHandleOutcome {
    HRESULT Result = E_UNEXPECTED;
    std::vector<HRESULT> Errors;
};

// Takes over a task-allocator error array of Count entries.
inline std::vector<HRESULT> TakeErrors(HRESULT* Errors, size_t Count) {
    std::vector<HRESULT> Result;
    if (Errors) Result.assign(Errors, Errors + Count);
    CoTaskMemFree(Errors);
    return Result;
}

inline PerHandleOutcome RemoveItems(IOPCItemMgt* Items, std::vector<OPCHANDLE> Handles) {
    HRESULT* Errors = nullptr;
    PerHandleOutcome Out;
    Out.Result = Items->RemoveItems(static_cast<DWORD>(Handles.size()), Handles.data(), &Errors);
    Out.Errors = TakeErrors(Errors, Handles.size());
    return Out;
}

inline PerHandleOutcome SetActiveState(IOPCItemMgt* Items, std::vector<OPCHANDLE> Handles, bool Active) {
    HRESULT* Errors = nullptr;
    PerHandleOutcome Out;
    Out.Result = Items->SetActiveState(static_cast<DWORD>(Handles.size()), Handles.data(), Active, &Errors);
    Out.Errors = TakeErrors(Errors, Handles.size());
    return Out;
}

// One synchronous write of one item; the item's error.
inline HRESULT SyncWrite(IOPCSyncIO* Sync, OPCHANDLE Handle, const TKoOleVariant& Value) {
    VARIANT Raw = Value.Get(); // the call only reads it
    HRESULT* Errors = nullptr;
    const HRESULT Result = Sync->Write(1, &Handle, &Raw, &Errors);
    const std::vector<HRESULT> Got = TakeErrors(Errors, 1);
    if (FAILED(Result) || Got.empty()) return Result;
    return Got[0];
}

// The value of an item. A read from the device refreshes the item's state, which counts as a
// change of an active item: the next data change carries it.
inline TKoOleVariant SyncRead(IOPCSyncIO* Sync, OPCHANDLE Handle, OPCDATASOURCE Source = OPC_DS_DEVICE) {
    OPCITEMSTATE* States = nullptr;
    HRESULT* Errors = nullptr;
    const HRESULT Result = Sync->Read(Source, 1, &Handle, &States, &Errors);
    EXPECT_EQ(Hex(Result), Hex(S_OK)) << "synchronous read of handle " << Handle;
    TKoOleVariant Value;
    if (States) {
        Value = TKoOleVariant(States[0].vDataValue);
        VariantClear(&States[0].vDataValue);
    }
    CoTaskMemFree(States);
    TakeErrors(Errors, 1);
    return Value;
}

// Makes the module's variables step every IntervalMs, through the module's writable
// TimerInterval, with an item of a group of its own on Server.
inline void SetModuleTimer(IOPCServer* Server, const wchar_t* TimerItemID, int32_t IntervalMs) {
    Group G = OpenGroup(Server, L"Timer", false, 1000);
    ASSERT_TRUE(G.Sync) << G.Failure;
    const OPCHANDLE Removed = G.ServerHandle;
    const std::vector<OPCHANDLE> H = AddItems(G.Items.Get(), {{TimerItemID, 1}});
    ASSERT_EQ(H.size(), 1u);
    ASSERT_EQ(Hex(SyncWrite(G.Sync.Get(), H[0], TKoOleVariant(IntervalMs))), Hex(S_OK)) << Utf8(TimerItemID);
    // A group released by its client stays with the client until removed.
    G = {};
    EXPECT_EQ(Hex(Server->RemoveGroup(Removed, FALSE)), Hex(S_OK));
}

// Lets BoundMs pass (pacing of a loop; no test waits for a result this way).
inline void Pause(DWORD BoundMs) {
    TKoHandle Never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    WaitForSingleObject(Never.Get(), BoundMs);
}

// ---- IOPCAsyncIO2 ----

struct AsyncOutcome {
    HRESULT Result = E_UNEXPECTED;
    DWORD CancelID = kUnwritten;
    std::vector<HRESULT> Errors;
};

inline AsyncOutcome AsyncRead(IOPCAsyncIO2* Async, std::vector<OPCHANDLE> Handles, DWORD TransID) {
    OPCHANDLE Dummy = 0;
    HRESULT* Errors = nullptr;
    AsyncOutcome Out;
    Out.Result = Async->Read(static_cast<DWORD>(Handles.size()), Handles.empty() ? &Dummy : Handles.data(),
                             TransID, &Out.CancelID, &Errors);
    Out.Errors = TakeErrors(Errors, Handles.size());
    return Out;
}

inline AsyncOutcome AsyncWrite(IOPCAsyncIO2* Async, std::vector<OPCHANDLE> Handles,
                               const std::vector<TKoOleVariant>& Values, DWORD TransID) {
    OPCHANDLE Dummy = 0;
    std::vector<VARIANT> Raw(std::max<size_t>(Values.size(), 1));
    for (size_t I = 0; I < Values.size(); ++I) Raw[I] = Values[I].Get(); // the call only reads them
    HRESULT* Errors = nullptr;
    AsyncOutcome Out;
    Out.Result = Async->Write(static_cast<DWORD>(Handles.size()), Handles.empty() ? &Dummy : Handles.data(),
                              Raw.data(), TransID, &Out.CancelID, &Errors);
    Out.Errors = TakeErrors(Errors, Handles.size());
    return Out;
}

inline AsyncOutcome Refresh2(IOPCAsyncIO2* Async, OPCDATASOURCE Source, DWORD TransID) {
    AsyncOutcome Out;
    Out.Result = Async->Refresh2(Source, TransID, &Out.CancelID);
    return Out;
}

// ---- connection ----

inline ComPtr<IConnectionPoint> DataCallbackPoint(IConnectionPointContainer* Container,
                                                  HRESULT* Result = nullptr) {
    ComPtr<IConnectionPoint> Point;
    const HRESULT Code = Container->FindConnectionPoint(IID_IOPCDataCallback, &Point);
    if (Result) *Result = Code;
    return Point;
}

// A sink of the test advised on a group's connection point; unadvised when it goes.
class Subscription {
public:
    Subscription() = default;
    Subscription(IConnectionPointContainer* Container, std::shared_ptr<Journal> AJournal)
        : FJournal(std::move(AJournal)) {
        FPoint = DataCallbackPoint(Container, &FResult);
        if (!FPoint) return;
        FSink = KoAdopt(new DataSink(FJournal));
        FResult = FPoint->Advise(FSink->Unknown(), &FCookie);
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() {
        if (FCookie) FPoint->Unadvise(FCookie);
    }
    HRESULT Result() const { return FResult; }
    bool Connected() const { return FCookie != 0; }
    DataSink* Sink() const { return FSink.Get(); }
    HRESULT Unadvise() {
        const HRESULT Code = FPoint->Unadvise(FCookie);
        FCookie = 0;
        return Code;
    }
    // Unadvises when still advised and lets go of the connection point and the sink.
    void Close() {
        if (FCookie) Unadvise();
        FPoint.Reset();
        FSink.Reset();
    }

private:
    std::shared_ptr<Journal> FJournal;
    ComPtr<IConnectionPoint> FPoint;
    ComPtr<DataSink> FSink;
    HRESULT FResult = E_UNEXPECTED;
    DWORD FCookie = 0;
};

// ---- the fixture ----

class OpcDataChange : public OpcClient {
protected:
    void TearDown() override {
        // Groups and sinks of the test went with its scope; the connection goes last, and the
        // server ends with it.
        Opc.Reset();
        OpcClient::TearDown();
    }

    Group Open(const wchar_t* Name, bool Active, DWORD Rate, const FLOAT* Deadband = nullptr) {
        if (!Opc) Opc = Connect();
        if (!Opc) return {};
        Group G = OpenGroup(Opc.Get(), Name, Active, Rate, Deadband);
        EXPECT_EQ(G.Failure, "");
        return G;
    }

    // Makes the Random module step every IntervalMs instead of every second.
    void FastRandom(int32_t IntervalMs = 100) {
        if (!Opc) Opc = Connect();
        ASSERT_TRUE(Opc);
        SetModuleTimer(Opc.Get(), L"Random.TimerInterval", IntervalMs);
    }

    ComPtr<IOPCServer> Opc;
    std::shared_ptr<Journal> Calls = std::make_shared<Journal>();
};

#define ASSERT_GROUP(G) ASSERT_TRUE((G).Items && (G).Sync && (G).Async && (G).Container) << (G).Failure
#define ASSERT_SUBSCRIBED(S) ASSERT_EQ(Hex((S).Result()), Hex(S_OK)) << "Advise"

} // namespace kotest
