// Items and synchronous IO of a group inside the server process: what a client cannot see from
// outside (which thread writes, the hand-over to the main thread, items freed there, enumerators
// and readers meeting a group or variables going away).

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "KoApplication.h"
#include "KoMessagePump.h"
#include "KoOPCItems.h"
#include "KoServerObjectTesting.h"
#include "KoUtils.h"
#include "KoVarAccess.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "StaticVars.h"

using namespace std::chrono_literals;
using kotest::ServerObjectTest;

namespace {

struct TaskFree {
    void operator()(void* P) const noexcept { CoTaskMemFree(P); }
};
template <class T> using TaskPtr = std::unique_ptr<T, TaskFree>;

// Runs Work on a thread of the multi-threaded apartment; the main thread pumps meanwhile and is
// woken when the work is done.
class TWorker {
public:
    explicit TWorker(std::function<void()> AWork)
        : FWork(std::move(AWork)), FMainThread(GetCurrentThreadId()) {
        FThread.Reset(CreateThread(nullptr, 0, &Run, this, 0, nullptr));
    }
    ~TWorker() { WaitForSingleObject(FThread.Get(), 30000); }
    TWorker(const TWorker&) = delete;
    TWorker& operator=(const TWorker&) = delete;
    bool Done() const { return FDone; }

private:
    static DWORD WINAPI Run(void* P) {
        auto* Self = static_cast<TWorker*>(P);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        Self->FWork();
        CoUninitialize();
        Self->FDone = true;
        PostThreadMessageW(Self->FMainThread, WM_NULL, 0, 0);
        return 0;
    }

    std::function<void()> FWork;
    DWORD FMainThread;
    std::atomic<bool> FDone{false};
    TKoHandle FThread;
};

// What one synchronous read returned, with the values owned.
struct TRead {
    HRESULT Result = E_UNEXPECTED;
    std::vector<HRESULT> Errors;
    std::vector<OPCHANDLE> Clients;
    std::vector<WORD> Qualities;
    std::vector<TKoOleVariant> Values;
};

class ItemsTest : public ServerObjectTest {
protected:
    void SetUp() override {
        const kotest::TStoppedModules Modules = kotest::CreateStoppedModules();
        Static = Modules.Static;
        Random = Modules.Random;
        ReadOnly = Modules.ReadOnly;
        ServerObjectTest::SetUp();
        Server = Connect();
        Added = Add(Server.Get(), L"G");
        ASSERT_EQ(Added.Result, S_OK);
        ASSERT_EQ(Added.Group.As(&Items), S_OK);
        ASSERT_EQ(Added.Group.As(&Sync), S_OK);
    }
    void TearDown() override {
        Sync.Reset();
        Items.Reset();
        Added.Group.Reset();
        Server.Reset();
        // Removed items are freed by the main thread's pending messages.
        kotest::PumpFor(50ms);
        ServerObjectTest::TearDown();
        Application().DestroyComponents();
    }

    // Adds the items (client handle = position + 1) and returns their server handles; an item
    // that fails gets 0.
    std::vector<OPCHANDLE> AddItems(const std::vector<std::wstring>& IDs, VARTYPE Requested = VT_EMPTY,
                                    HRESULT* Result = nullptr) {
        std::vector<OPCITEMDEF> Defs(IDs.size());
        for (size_t I = 0; I < IDs.size(); ++I) {
            Defs[I].szItemID = const_cast<LPWSTR>(IDs[I].c_str());
            Defs[I].bActive = TRUE;
            Defs[I].hClient = static_cast<OPCHANDLE>(I + 1);
            Defs[I].vtRequestedDataType = Requested;
        }
        OPCITEMRESULT* RawResults = nullptr;
        HRESULT* RawErrors = nullptr;
        const HRESULT R =
            Items->AddItems(static_cast<DWORD>(Defs.size()), Defs.data(), &RawResults, &RawErrors);
        if (Result) *Result = R;
        TaskPtr<OPCITEMRESULT> Results(RawResults);
        TaskPtr<HRESULT> Errors(RawErrors);
        std::vector<OPCHANDLE> Handles(IDs.size(), 0);
        if (Results)
            for (size_t I = 0; I < IDs.size(); ++I) Handles[I] = Results.get()[I].hServer;
        return Handles;
    }

    TRead Read(OPCDATASOURCE Source, std::vector<OPCHANDLE> Handles) {
        TRead Out;
        OPCITEMSTATE* States = nullptr;
        HRESULT* Errors = nullptr;
        Out.Result = Sync->Read(Source, static_cast<DWORD>(Handles.size()), Handles.data(), &States, &Errors);
        TaskPtr<OPCITEMSTATE> OwnedStates(States);
        TaskPtr<HRESULT> OwnedErrors(Errors);
        if (!States || !Errors) return Out;
        for (size_t I = 0; I < Handles.size(); ++I) {
            Out.Errors.push_back(Errors[I]);
            Out.Clients.push_back(States[I].hClient);
            Out.Qualities.push_back(States[I].wQuality);
            TKoOleVariant Value;
            *Value.Receive() = States[I].vDataValue;
            Out.Values.push_back(std::move(Value));
        }
        return Out;
    }

    HRESULT Write(std::vector<OPCHANDLE> Handles, std::vector<TKoOleVariant> Values,
                  std::vector<HRESULT>& Errors) {
        std::vector<VARIANT> Raw;
        for (const TKoOleVariant& V : Values) Raw.push_back(V.Get());
        HRESULT* RawErrors = nullptr;
        const HRESULT Result =
            Sync->Write(static_cast<DWORD>(Handles.size()), Handles.data(), Raw.data(), &RawErrors);
        TaskPtr<HRESULT> Owned(RawErrors);
        Errors.clear();
        if (RawErrors) Errors.assign(RawErrors, RawErrors + Handles.size());
        return Result;
    }

    TStatic* Static = nullptr;
    TRandom* Random = nullptr;
    TReadOnly* ReadOnly = nullptr;
    ComPtr<IOPCServer> Server;
    TAdded Added;
    ComPtr<IOPCItemMgt> Items;
    ComPtr<IOPCSyncIO> Sync;
};

double AsDouble(const TKoOleVariant& V) {
    return V.Type() == VT_R8 ? V.Get().dblVal : -99999.0;
}

// Canonical types, access rights and engineering units of the kinds of variables a module holds.
TEST_F(ItemsTest, ItemsDescribeTheirVariables) {
    struct Case {
        const wchar_t* ItemID;
        VARTYPE Canonical;
        DWORD Rights;
        DWORD EUType;
    };
    const Case Cases[] = {
        {L"Static.KoFloat1", VT_R8, OPC_READABLE | OPC_WRITEABLE, OPC_ANALOG},
        // Integers are analog only with range checking (the static module has none).
        {L"Static.KoInteger1", VT_I4, OPC_READABLE | OPC_WRITEABLE, OPC_NOENUM},
        {L"Random.KoInteger1", VT_I4, OPC_READABLE | OPC_WRITEABLE, OPC_ANALOG},
        {L"Static.KoState1", VT_I4, OPC_READABLE | OPC_WRITEABLE, OPC_ENUMERATED},
        {L"Static.KoBool1", VT_BOOL, OPC_READABLE | OPC_WRITEABLE, OPC_NOENUM},
        {L"Static.KoString1", VT_BSTR, OPC_READABLE | OPC_WRITEABLE, OPC_NOENUM},
        {L"Static.KoFloatArray1", VT_ARRAY | VT_R8, OPC_READABLE | OPC_WRITEABLE, OPC_ANALOG},
        {L"Static.KoByteArray1", VT_ARRAY | VT_UI1, OPC_READABLE | OPC_WRITEABLE, OPC_NOENUM},
        // Date-times are float variables.
        {L"Static.KoDateTime1", VT_DATE, OPC_READABLE | OPC_WRITEABLE, OPC_ANALOG},
        {L"ReadOnly.KoFloat1", VT_R8, OPC_READABLE, OPC_ANALOG},
        {L"Static.KoFloat1.vpAlarmHigh", VT_R8, OPC_READABLE | OPC_WRITEABLE, OPC_ANALOG},
        {L"Static.KoFloat1.vpEngUnit", VT_BSTR, OPC_READABLE, OPC_ANALOG},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << KoUtf8(C.ItemID));
        OPCITEMDEF Def{};
        Def.szItemID = const_cast<LPWSTR>(C.ItemID);
        Def.bActive = TRUE;
        OPCITEMRESULT* Results = nullptr;
        HRESULT* Errors = nullptr;
        ASSERT_EQ(Items->AddItems(1, &Def, &Results, &Errors), S_OK);
        TaskPtr<OPCITEMRESULT> OwnedResults(Results);
        TaskPtr<HRESULT> OwnedErrors(Errors);
        EXPECT_EQ(Results[0].vtCanonicalDataType, C.Canonical);
        EXPECT_EQ(Results[0].dwAccessRights, C.Rights);
        TKoOPCProviderItem* Item = GroupOf(Added.Group).FindItem(Results[0].hServer);
        ASSERT_NE(Item, nullptr);
        EXPECT_EQ(Item->EUType(), C.EUType);
    }
    // The ranges of an analog item and the state names of an enumerated one.
    TKoOPCProviderItem* Float = GroupOf(Added.Group).FindItem(AddItems({L"Static.KoFloat1"})[0]);
    TKoOleVariant Range = Float->EUInfo();
    ASSERT_EQ(Range.Type(), VT_ARRAY | VT_VARIANT);
    LONG Index = 1;
    EXPECT_EQ(AsDouble(KoSafeArrayGetVariant(KoVariantArray(Range), &Index)), Static->KoFloat1->RangeMax());
    TKoOPCProviderItem* State = GroupOf(Added.Group).FindItem(AddItems({L"Static.KoState1"})[0]);
    TKoOleVariant Names = State->EUInfo();
    ASSERT_EQ(Names.Type(), VT_ARRAY | VT_BSTR);
    Index = 0;
    EXPECT_EQ(KoSafeArrayGetVariant(KoVariantArray(Names), &Index).Type(), VT_BSTR);
}

// The cached state follows the variable while the item is active, and only then.
TEST_F(ItemsTest, CacheFollowsTheVariableWhileActive) {
    const std::vector<OPCHANDLE> H = AddItems({L"Static.KoFloat1"});
    Static->KoFloat1->SetValue(12.5);
    EXPECT_EQ(AsDouble(Read(OPC_DS_CACHE, H).Values[0]), 12.5);

    HRESULT* Errors = nullptr;
    OPCHANDLE Handle = H[0];
    ASSERT_EQ(Items->SetActiveState(1, &Handle, FALSE, &Errors), S_OK);
    CoTaskMemFree(Errors);
    Static->KoFloat1->SetValue(13.5);
    TRead Inactive = Read(OPC_DS_CACHE, H);
    EXPECT_EQ(Inactive.Qualities[0], OPC_QUALITY_OUT_OF_SERVICE);
    EXPECT_EQ(Inactive.Values[0].Type(), VT_NULL);
    // The device is read all the same.
    EXPECT_EQ(AsDouble(Read(OPC_DS_DEVICE, H).Values[0]), 13.5);
}

// A write from a worker thread is performed on the main thread while the worker waits; the
// result reaches the worker.
TEST_F(ItemsTest, WritesArePerformedOnTheMainThread) {
    const std::vector<OPCHANDLE> H = AddItems({L"Static.KoFloat1", L"ReadOnly.KoFloat1"});
    std::atomic<DWORD> WrittenOn{0};
    Static->KoFloat1->OnChange = [&](TKoVar*, TKoVarPropTypes) { WrittenOn = GetCurrentThreadId(); };
    HRESULT Result = E_UNEXPECTED;
    std::vector<HRESULT> Errors;
    {
        TWorker Worker([&] { Result = Write(H, {TKoOleVariant(5.0), TKoOleVariant(5.0)}, Errors); });
        ASSERT_TRUE(kotest::PumpUntil([&] { return Worker.Done(); }, 10s));
    }
    EXPECT_EQ(Result, S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, OPC_E_BADRIGHTS}));
    EXPECT_EQ(Static->KoFloat1->Value(), 5.0);
    EXPECT_EQ(WrittenOn.load(), GetCurrentThreadId());
    Static->KoFloat1->OnChange = nullptr;
}

// A writer that stops waiting for a busy main thread gets a failure and no results; the write is
// then not performed, and the main thread frees what was handed to it.
TEST_F(ItemsTest, AWriteTheMainThreadDoesNotTakeInTimeFailsAndIsDropped) {
    const std::vector<OPCHANDLE> H = AddItems({L"Static.KoFloat1"});
    Static->KoFloat1->SetValue(1.0);
    Provider->SetSyncWriteBound(100);
    HRESULT Result = E_UNEXPECTED;
    std::vector<HRESULT> Errors{S_OK};
    {
        // The main thread does not pump while the worker waits.
        TWorker Worker([&] { Result = Write(H, {TKoOleVariant(7.0)}, Errors); });
    }
    EXPECT_EQ(Result, E_FAIL);
    EXPECT_TRUE(Errors.empty()) << "no error array after a failed call";
    kotest::PumpFor(100ms);
    EXPECT_EQ(Static->KoFloat1->Value(), 1.0) << "an abandoned write must not be performed later";
}

// Device reads on worker threads wait while the main thread changes variables, so they never
// copy a string or array value while it is being replaced; cache reads do not wait.
TEST_F(ItemsTest, DeviceReadsWaitForTheMainThreadsChanges) {
    const std::vector<OPCHANDLE> H = AddItems({L"Static.KoString1"});
    Static->KoString1->SetValue(L"before");
    TRead Device, Cache;
    std::unique_lock Hold(KoVarAccessLock());
    TWorker DeviceReader([&] { Device = Read(OPC_DS_DEVICE, H); });
    TWorker CacheReader([&] { Cache = Read(OPC_DS_CACHE, H); });
    EXPECT_TRUE(kotest::PumpUntil([&] { return CacheReader.Done(); }, 10s));
    EXPECT_FALSE(kotest::PumpUntil([&] { return DeviceReader.Done(); }, 300ms))
        << "a device read went ahead while the main thread was changing variables";
    Static->KoString1->SetValue(L"after");
    Hold.unlock();
    EXPECT_TRUE(kotest::PumpUntil([&] { return DeviceReader.Done(); }, 10s));
    ASSERT_EQ(Cache.Result, S_OK);
    EXPECT_EQ(std::wstring(Cache.Values[0].Get().bstrVal), L"before");
    ASSERT_EQ(Device.Result, S_OK);
    EXPECT_EQ(std::wstring(Device.Values[0].Get().bstrVal), L"after");
}

// More types than the group keeps for one call: refused whole, nothing changed.
TEST_F(ItemsTest, SetDatatypesRefusesMoreThanOneCallHolds) {
    const std::vector<OPCHANDLE> H = AddItems({L"Static.KoFloat1"});
    std::vector<OPCHANDLE> Handles(65537, H[0]);
    std::vector<VARTYPE> Types(65537, VT_BSTR);
    HRESULT* Errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(Items->SetDatatypes(65537, Handles.data(), Types.data(), &Errors), E_INVALIDARG);
    EXPECT_EQ(Errors, nullptr);
    EXPECT_EQ(Read(OPC_DS_CACHE, H).Values[0].Type(), VT_R8);
    // The largest call the group holds goes through.
    Handles.pop_back();
    Types.pop_back();
    ASSERT_EQ(Items->SetDatatypes(65536, Handles.data(), Types.data(), &Errors), S_OK);
    CoTaskMemFree(Errors);
    EXPECT_EQ(Read(OPC_DS_CACHE, H).Values[0].Type(), VT_BSTR);
}

// An enumerator does not keep its group alive; once the group is gone its calls fail cleanly.
TEST_F(ItemsTest, AnEnumeratorOutlivingItsGroupFails) {
    AddItems({L"Static.KoFloat1", L"Static.KoBool1"});
    IUnknown* Unknown = nullptr;
    ASSERT_EQ(Items->CreateEnumerator(IID_IEnumOPCItemAttributes, &Unknown), S_OK);
    ComPtr<IEnumOPCItemAttributes> Enum;
    ASSERT_EQ(KoAdopt(Unknown).As(&Enum), S_OK);
    OPCITEMATTRIBUTES* Attributes = nullptr;
    ULONG Fetched = 0;
    ASSERT_EQ(Enum->Next(1, &Attributes, &Fetched), S_OK);
    TKoOPCAlloc::FreeItemAttributesArray(Attributes, Fetched);

    Sync.Reset();
    Items.Reset();
    Added.Group.Reset();
    ASSERT_EQ(Server->RemoveGroup(Added.ServerHandle, TRUE), S_OK);
    EXPECT_EQ(Enum->Next(1, &Attributes, &Fetched), E_FAIL);
    EXPECT_EQ(Attributes, nullptr);
    EXPECT_EQ(Fetched, 0u);
    EXPECT_EQ(Enum->Skip(1), E_FAIL);
    EXPECT_EQ(Enum->Reset(), S_OK);
    ComPtr<IEnumOPCItemAttributes> Clone;
    ASSERT_EQ(Enum->Clone(&Clone), S_OK);
    EXPECT_EQ(Clone->Next(1, &Attributes, &Fetched), E_FAIL);
}

// A copy of a group is inactive and holds the same items under new server handles.
TEST_F(ItemsTest, CloneGroupCopiesTheItems) {
    const std::vector<OPCHANDLE> H = AddItems({L"Static.KoFloat1", L"Static.KoBool1", L"Random.KoInteger1"});
    IUnknown* Unknown = nullptr;
    ASSERT_EQ(Added.Group->CloneGroup(L"Copy", IID_IOPCItemMgt, &Unknown), S_OK);
    ComPtr<IOPCItemMgt> Copy = KoAdopt(static_cast<IOPCItemMgt*>(Unknown));
    ComPtr<IOPCGroupStateMgt> CopyState;
    ASSERT_EQ(Copy.As(&CopyState), S_OK);
    EXPECT_FALSE(GroupOf(CopyState).Active());
    std::vector<std::pair<std::wstring, OPCHANDLE>> Got;
    GroupOf(CopyState).ForItems([&](const std::vector<TKoOPCProviderItem*>& List) {
        for (TKoOPCProviderItem* Item : List) {
            Got.emplace_back(Item->ItemID(), Item->ClientHandle());
            EXPECT_EQ(std::count(H.begin(), H.end(), Item->ServerHandle()), 0) << "a new server handle";
        }
    });
    EXPECT_EQ(Got, (std::vector<std::pair<std::wstring, OPCHANDLE>>{
                       {L"Static.KoFloat1", 1}, {L"Static.KoBool1", 2}, {L"Random.KoInteger1", 3}}));
}

} // namespace

namespace {

// Each call leaves its line in the activity log: the request with its handles and results, and
// the outcome.
TEST_F(ItemsTest, CallsAreLogged) {
    HRESULT Added = E_UNEXPECTED;
    const OPCHANDLE H = AddItems({L"Static.KoFloat1", L"Static.Nothing"}, VT_EMPTY, &Added)[0];
    ASSERT_EQ(Added, S_FALSE);
    Read(OPC_DS_CACHE, {H, 4000000});
    OPCHANDLE Removed[] = {H, H};
    HRESULT* Errors = nullptr;
    ASSERT_EQ(Items->RemoveItems(2, Removed, &Errors), S_FALSE);
    CoTaskMemFree(Errors);
    const std::wstring Handle = std::to_wstring(H);
    const std::vector<std::wstring> Expected = {
        L"Client 0: G: IOPCItemMgt.AddItems(Static.KoFloat1 (ClientHandle=1 ServerHandle=" + Handle +
            L"),Static.Nothing (ClientHandle=2 ServerHandle=0)): Result=$1",
        L"Client 0: G: IOPCSyncIO.Read (Handles:[" + Handle + L",4000000], Errors:[$0,$C0040001]) Result=$1",
        L"Client 0: G: IOPCSyncIO.Read: Result=$1",
        L"Client 0: G: IOPCItemMgt.RemoveItems (Handles:[" + Handle + L"," + Handle +
            L"], Errors:[$0,$C0040001]) Result=$1",
        L"Client 0: G: IOPCItemMgt.RemoveItems(2 Items [" + Handle + L"," + Handle + L"]): Result=$1",
    };
    ASSERT_TRUE(kotest::PumpUntil([&] { return Lines.size() >= Expected.size() + 1; }, 5s));
    // The first line is the group's creation.
    EXPECT_EQ(std::vector<std::wstring>(Lines.end() - static_cast<long>(Expected.size()), Lines.end()),
              Expected);
}

// The log keeps thousands of lines: a large request's line lists the first entries and counts the
// rest, instead of holding the whole request.
TEST_F(ItemsTest, LargeRequestsAreCutInTheirLogLines) {
    std::vector<OPCHANDLE> H = AddItems(std::vector<std::wstring>(1'003, L"Static.KoFloat1"));
    HRESULT* Errors = nullptr;
    ASSERT_EQ(Items->RemoveItems(static_cast<DWORD>(H.size()), H.data(), &Errors), S_OK);
    CoTaskMemFree(Errors);
    const auto LineOf = [&](const wchar_t* Call) {
        const auto Found = std::find_if(Lines.begin(), Lines.end(), [&](const std::wstring& Line) {
            return Line.find(Call) != std::wstring::npos;
        });
        return Found == Lines.end() ? std::wstring() : *Found;
    };
    ASSERT_TRUE(kotest::PumpUntil([&] { return !LineOf(L"IOPCItemMgt.RemoveItems(").empty(); }, 5s));
    const std::wstring Add = LineOf(L"IOPCItemMgt.AddItems(");
    const std::wstring Last =
        L"Static.KoFloat1 (ClientHandle=100 ServerHandle=" + std::to_wstring(H[99]) + L")";
    EXPECT_NE(Add.find(L"," + Last + L",...(+903)): Result=$0"), std::wstring::npos) << Add.substr(0, 200);
    const std::wstring Remove = LineOf(L"IOPCItemMgt.RemoveItems(");
    EXPECT_NE(Remove.find(L"," + std::to_wstring(H[999]) + L",...(+3)]): Result=$0"), std::wstring::npos)
        << Remove.substr(Remove.size() - 100);
}

} // namespace

// ---- the data callback ----

namespace {

// What a sink was told, call by call.
struct TCallback {
    enum TKind { DataChange, ReadComplete, WriteComplete } Kind;
    DWORD TransactionID;
    OPCHANDLE Group;
    HRESULT MasterQuality;
    HRESULT MasterError;
    std::vector<OPCHANDLE> Clients;
    std::vector<double> Values;
    std::vector<HRESULT> Errors;
    DWORD Thread;
};

class TSink final : public TKoComObject<IOPCDataCallback> {
public:
    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                              HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                              VARIANT* pvValues, WORD*, FILETIME*, HRESULT* pErrors) override {
        return Record(TCallback::DataChange, dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount,
                      phClientItems, pvValues, pErrors);
    }
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                VARIANT* pvValues, WORD*, FILETIME*, HRESULT* pErrors) override {
        return Record(TCallback::ReadComplete, dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount,
                      phClientItems, pvValues, pErrors);
    }
    STDMETHODIMP OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                                 OPCHANDLE* pClienthandles, HRESULT* pErrors) override {
        return Record(TCallback::WriteComplete, dwTransid, hGroup, S_OK, hrMastererr, dwCount, pClienthandles,
                      nullptr, pErrors);
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return E_NOTIMPL; }

    // Waits (pumping) until Count calls arrived.
    bool WaitFor(size_t Count, std::chrono::milliseconds Bound = 10s) {
        return kotest::PumpUntil([&] { return Calls().size() >= Count; }, Bound);
    }
    std::vector<TCallback> Calls() const {
        std::lock_guard Guard(FLock);
        return FCalls;
    }

    // What every call answers.
    std::atomic<HRESULT> Answer{S_OK};
    // While set, calls wait for it to be cleared (bounded).
    std::atomic<bool> Hold{false};
    std::atomic<bool> Holding{false};

private:
    HRESULT Record(TCallback::TKind Kind, DWORD ID, OPCHANDLE Group, HRESULT Quality, HRESULT Error,
                   DWORD Count, const OPCHANDLE* Clients, const VARIANT* Values, const HRESULT* Errors) {
        TCallback Call{Kind, ID, Group, Quality, Error, {}, {}, {}, GetCurrentThreadId()};
        for (DWORD I = 0; I < Count; ++I) {
            Call.Clients.push_back(Clients[I]);
            Call.Errors.push_back(Errors[I]);
            if (Values)
                Call.Values.push_back(Values[I].vt == VT_R8
                                          ? Values[I].dblVal
                                          : (Values[I].vt == VT_I4 ? Values[I].lVal : -99999.0));
        }
        {
            std::lock_guard Guard(FLock);
            FCalls.push_back(std::move(Call));
        }
        PostThreadMessageW(FMainThread, WM_NULL, 0, 0);
        for (const ULONGLONG End = GetTickCount64() + 10000; Hold && GetTickCount64() < End;) {
            Holding = true;
            Sleep(5);
        }
        Holding = false;
        return Answer;
    }

    mutable std::mutex FLock;
    std::vector<TCallback> FCalls;
    DWORD FMainThread = GetCurrentThreadId();
};

// Advises Sink on the group; returns the cookie (0 on failure).
DWORD Advise(IUnknown* Group, IUnknown* Sink, HRESULT* Result = nullptr) {
    ComPtr<IConnectionPointContainer> Container;
    ComPtr<IConnectionPoint> Point;
    DWORD Cookie = 0;
    HRESULT R = Group->QueryInterface(IID_PPV_ARGS(&Container));
    if (SUCCEEDED(R)) R = Container->FindConnectionPoint(IID_IOPCDataCallback, &Point);
    if (SUCCEEDED(R)) R = Point->Advise(Sink, &Cookie);
    if (Result) *Result = R;
    return Cookie;
}

HRESULT Unadvise(IUnknown* Group, DWORD Cookie) {
    ComPtr<IConnectionPointContainer> Container;
    ComPtr<IConnectionPoint> Point;
    HRESULT R = Group->QueryInterface(IID_PPV_ARGS(&Container));
    if (SUCCEEDED(R)) R = Container->FindConnectionPoint(IID_IOPCDataCallback, &Point);
    return SUCCEEDED(R) ? Point->Unadvise(Cookie) : R;
}

// Changes are collected per update interval and delivered on the group's own thread: one call
// per interval, each changed item once with its latest value, inactive items never.
TEST_F(ItemsTest, DataChangesAreCollectedPerInterval) {
    const std::vector<OPCHANDLE> H = AddItems({L"Static.KoFloat1", L"Static.KoInteger1"});
    HRESULT* Errors = nullptr;
    OPCHANDLE Second = H[1];
    ASSERT_EQ(Items->SetActiveState(1, &Second, FALSE, &Errors), S_OK);
    CoTaskMemFree(Errors);
    DWORD Rate = 400, Revised = 0;
    ASSERT_EQ(Added.Group->SetState(&Rate, &Revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    ComPtr<TSink> Sink = KoAdopt(new TSink);
    ASSERT_NE(Advise(Added.Group.Get(), Sink->Unknown()), 0u);
    // The first call carries every active item.
    ASSERT_TRUE(Sink->WaitFor(1));
    EXPECT_EQ(Sink->Calls()[0].Clients, std::vector<OPCHANDLE>{1});
    EXPECT_NE(Sink->Calls()[0].Thread, GetCurrentThreadId()) << "delivered on the group's thread";

    for (double V : {1.0, 2.0, 3.0}) Static->KoFloat1->SetValue(V);
    Static->KoInteger1->SetValue(5);
    ASSERT_TRUE(Sink->WaitFor(2));
    const TCallback Change = Sink->Calls()[1];
    EXPECT_EQ(Change.Kind, TCallback::DataChange);
    EXPECT_EQ(Change.TransactionID, 0u);
    EXPECT_EQ(Change.Clients, std::vector<OPCHANDLE>{1});
    EXPECT_EQ(Change.Values, std::vector<double>{3.0});
    // Nothing changed: nothing is sent.
    EXPECT_FALSE(Sink->WaitFor(3, 1s));
    EXPECT_EQ(Unadvise(Added.Group.Get(), 1), S_OK);
}

// Asynchronous reads and writes complete through the sink without waiting for the update
// interval; writes are performed on the main thread first.
TEST_F(ItemsTest, AsyncResultsArriveWithoutWaitingForTheInterval) {
    const std::vector<OPCHANDLE> H = AddItems({L"Static.KoFloat1", L"Random.KoInteger1"});
    DWORD Rate = 600000, Revised = 0;
    ASSERT_EQ(Added.Group->SetState(&Rate, &Revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    ComPtr<TSink> Sink = KoAdopt(new TSink);
    ASSERT_NE(Advise(Added.Group.Get(), Sink->Unknown()), 0u);
    ASSERT_TRUE(Sink->WaitFor(1));
    ComPtr<IOPCAsyncIO2> Async;
    ASSERT_EQ(Added.Group.As(&Async), S_OK);

    std::vector<OPCHANDLE> Handles = H;
    DWORD Cancel = 0;
    HRESULT* Errors = nullptr;
    ASSERT_EQ(Async->Read(2, Handles.data(), 7, &Cancel, &Errors), S_OK);
    CoTaskMemFree(Errors);
    EXPECT_EQ(Cancel, 7u);
    ASSERT_TRUE(Sink->WaitFor(2, 5s)) << "the read waited for the update interval";
    EXPECT_EQ(Sink->Calls()[1].Kind, TCallback::ReadComplete);
    EXPECT_EQ(Sink->Calls()[1].TransactionID, 7u);

    // An accepted write that the variable refuses is reported through the callback.
    VARIANT Values[2];
    Values[0] = TKoOleVariant(4.5).Release();
    Values[1] = TKoOleVariant(int32_t{1000}).Release();
    ASSERT_EQ(Async->Write(2, Handles.data(), Values, 8, &Cancel, &Errors), S_OK);
    CoTaskMemFree(Errors);
    ASSERT_TRUE(Sink->WaitFor(3, 5s));
    const TCallback Written = Sink->Calls()[2];
    EXPECT_EQ(Written.Kind, TCallback::WriteComplete);
    EXPECT_EQ(Written.TransactionID, 8u);
    EXPECT_EQ(Written.MasterError, S_FALSE);
    EXPECT_EQ(Written.Errors, (std::vector<HRESULT>{S_OK, OPC_E_RANGE}));
    EXPECT_EQ(Static->KoFloat1->Value(), 4.5);
    EXPECT_EQ(Async->Cancel2(8), E_FAIL);
}

// A sink whose process is gone is not called again; other groups are served as before.
TEST_F(ItemsTest, ADeadSinkIsDropped) {
    const std::vector<OPCHANDLE> H = AddItems({L"Static.KoFloat1"});
    DWORD Rate = 10, Revised = 0;
    ASSERT_EQ(Added.Group->SetState(&Rate, &Revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    TAdded Other = Add(Server.Get(), L"Other", 10);
    ComPtr<IOPCItemMgt> OtherItems;
    ASSERT_EQ(Other.Group.As(&OtherItems), S_OK);
    OPCITEMDEF Def{};
    Def.szItemID = const_cast<LPWSTR>(L"Static.KoFloat1");
    Def.bActive = TRUE;
    OPCITEMRESULT* Results = nullptr;
    HRESULT* Errors = nullptr;
    ASSERT_EQ(OtherItems->AddItems(1, &Def, &Results, &Errors), S_OK);
    CoTaskMemFree(Results);
    CoTaskMemFree(Errors);

    ComPtr<TSink> Dead = KoAdopt(new TSink), Alive = KoAdopt(new TSink);
    Dead->Answer = RPC_E_DISCONNECTED;
    ASSERT_NE(Advise(Added.Group.Get(), Dead->Unknown()), 0u);
    ASSERT_NE(Advise(Other.Group.Get(), Alive->Unknown()), 0u);
    ASSERT_TRUE(Dead->WaitFor(1));
    ASSERT_TRUE(Alive->WaitFor(1));
    ASSERT_TRUE(kotest::PumpUntil([&] { return !GroupOf(Added.Group).CallbackAlive(); }, 5s));
    for (int I = 0; I < 5; ++I) {
        Static->KoFloat1->SetValue(10.0 + I);
        ASSERT_TRUE(Alive->WaitFor(static_cast<size_t>(I) + 2)) << "the other group stopped";
    }
    EXPECT_EQ(Dead->Calls().size(), 1u) << "a dead sink was called again";
}

// A group that goes away while its thread is inside the sink: the call finishes, nothing else is
// delivered and nothing is left behind.
TEST_F(ItemsTest, AGroupMayGoWhileItsSinkIsCalled) {
    AddItems({L"Static.KoFloat1"});
    ComPtr<TSink> Sink = KoAdopt(new TSink);
    Sink->Hold = true;
    ASSERT_NE(Advise(Added.Group.Get(), Sink->Unknown()), 0u);
    ASSERT_TRUE(kotest::PumpUntil([&] { return Sink->Holding.load(); }, 10s));
    Sync.Reset();
    Items.Reset();
    Added.Group.Reset();
    ASSERT_EQ(Server->RemoveGroup(Added.ServerHandle, TRUE), S_OK);
    Sink->Hold = false;
    kotest::PumpFor(200ms);
    EXPECT_EQ(Sink->Calls().size(), 1u);
}

// One sink per group; the enable state needs a connected callback.
TEST_F(ItemsTest, OneSinkPerGroup) {
    ComPtr<IOPCAsyncIO2> Async;
    ASSERT_EQ(Added.Group.As(&Async), S_OK);
    BOOL Enabled = 7;
    EXPECT_EQ(Async->GetEnable(&Enabled), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Async->SetEnable(FALSE), CONNECT_E_NOCONNECTION);
    ComPtr<TSink> First = KoAdopt(new TSink), Second = KoAdopt(new TSink);
    const DWORD Cookie = Advise(Added.Group.Get(), First->Unknown());
    ASSERT_NE(Cookie, 0u);
    HRESULT Refused = S_OK;
    EXPECT_EQ(Advise(Added.Group.Get(), Second->Unknown(), &Refused), 0u);
    EXPECT_EQ(Refused, CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(Async->GetEnable(&Enabled), S_OK);
    EXPECT_EQ(Enabled, TRUE);
    EXPECT_EQ(Unadvise(Added.Group.Get(), Cookie), S_OK);
    EXPECT_EQ(Async->GetEnable(&Enabled), CONNECT_E_NOCONNECTION);
    // Free again for another sink.
    EXPECT_NE(Advise(Added.Group.Get(), Second->Unknown()), 0u);
}

} // namespace

namespace {

// The pending data change holds one entry per client handle, refreshed in place; an item that
// leaves hands its place to the last entry.
TEST_F(ItemsTest, APendingDataChangeHasOneEntryPerClientHandle) {
    const std::vector<OPCHANDLE> H =
        AddItems({L"Static.KoFloat1", L"Static.KoBool1", L"Static.KoInteger1", L"Static.KoString1"});
    TKoOPCProviderGroup& Group = GroupOf(Added.Group);
    // The fourth item shares the first one's client handle.
    OPCHANDLE Fourth = H[3], Shared = 1;
    HRESULT* Errors = nullptr;
    ASSERT_EQ(Items->SetClientHandles(1, &Fourth, &Shared, &Errors), S_OK);
    CoTaskMemFree(Errors);
    TKoOPCProviderItem* A = Group.FindItem(H[0]);
    TKoOPCProviderItem* B = Group.FindItem(H[1]);
    TKoOPCProviderItem* C = Group.FindItem(H[2]);
    TKoOPCProviderItem* D = Group.FindItem(H[3]);

    TKoOPCProviderTransaction Pending(&Group, tkDataChange, 0);
    auto Clients = [&] {
        std::vector<OPCHANDLE> Result;
        for (int32_t I = 0; I < Pending.Count(); ++I) Result.push_back(Pending.ClientHandles(I));
        return Result;
    };
    for (TKoOPCProviderItem* Item : {A, B, C, A, D, C}) Pending.AckItem(Item, false);
    EXPECT_EQ(Clients(), (std::vector<OPCHANDLE>{1, 2, 3}));
    Static->KoFloat1->SetValue(8.5);
    Pending.AckItem(A, false);
    EXPECT_EQ(Pending.Values(0).Get().dblVal, 8.5) << "refreshed in place";

    Pending.RemoveItem(B);
    EXPECT_EQ(Clients(), (std::vector<OPCHANDLE>{1, 3}));
    Pending.AckItem(C, false);
    Pending.AckItem(B, false);
    EXPECT_EQ(Clients(), (std::vector<OPCHANDLE>{1, 3, 2}));
    Pending.Clear();
    Pending.AckItem(C, false);
    Pending.AckItem(C, false);
    EXPECT_EQ(Clients(), std::vector<OPCHANDLE>{3});
    // Reads and refreshes take one entry per request instead.
    Pending.AckItem(C, true);
    EXPECT_EQ(Clients(), (std::vector<OPCHANDLE>{3, 3}));
}

} // namespace
