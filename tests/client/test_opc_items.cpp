// Items of a group and their synchronous reads and writes, as an OPC client in another process
// sees them: IOPCItemMgt, IEnumOPCItemAttributes and IOPCSyncIO of the groups of KoOPCServer.exe,
// started by COM and reached through KoOPCProxy.dll.
//
// Every test starts a fresh server, so the simulation modules hold their initial values: the
// Static module never changes a value by itself, Random, SawTooth, Sinusoid and Triangle step
// once a second, and every variable of ReadOnly is read-only.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "KoOle.h"
#include "KoOpcClientTesting.h"

namespace {

using namespace kotest;

constexpr OPCHANDLE kUnknownHandle = 0x7FFFFF00;
constexpr OPCHANDLE kNoHandle = 0xFFFFFFFF;
constexpr WORD kGood = 0xC0;
constexpr WORD kUncertain = 0x40;
constexpr WORD kBad = 0x00;
constexpr DWORD kReadWrite = OPC_READABLE | OPC_WRITEABLE;
// One FILETIME second.
constexpr ULONGLONG kSecond = 10'000'000;

ULONGLONG Now() {
    FILETIME Time{};
    GetSystemTimeAsFileTime(&Time);
    return Ticks(Time);
}

// ---- owners of the arrays the server hands out ----

void FreeContents(HRESULT&) {}
void FreeContents(OPCITEMRESULT& R) {
    CoTaskMemFree(R.pBlob);
}
void FreeContents(OPCITEMSTATE& S) {
    VariantClear(&S.vDataValue);
}
void FreeContents(OPCITEMATTRIBUTES& A) {
    CoTaskMemFree(A.szAccessPath);
    CoTaskMemFree(A.szItemID);
    CoTaskMemFree(A.pBlob);
    VariantClear(&A.vEUInfo);
}

// A task-allocator array of records together with what each record owns.
template <class T> class TaskArray {
public:
    TaskArray() = default;
    ~TaskArray() { Reset(); }
    TaskArray(const TaskArray&) = delete;
    TaskArray& operator=(const TaskArray&) = delete;

    // The out-parameter of a call that hands out Count records.
    T** Receive(size_t Count) {
        Reset();
        FCount = Count;
        return &FData;
    }
    // For calls that tell the number of records only on return.
    void SetCount(size_t Count) { FCount = Count; }
    bool Null() const { return FData == nullptr; }
    T& operator[](size_t Index) const { return FData[Index]; }
    void Reset() {
        if (FData)
            for (size_t I = 0; I < FCount; ++I) FreeContents(FData[I]);
        CoTaskMemFree(FData);
        FData = nullptr;
    }

private:
    T* FData = nullptr;
    size_t FCount = 0;
};

std::vector<HRESULT> Copy(const TaskArray<HRESULT>& Errors, size_t Count) {
    std::vector<HRESULT> Result;
    if (!Errors.Null())
        for (size_t I = 0; I < Count; ++I) Result.push_back(Errors[I]);
    return Result;
}

std::vector<std::string> HexList(const std::vector<HRESULT>& Codes) {
    std::vector<std::string> Result;
    for (HRESULT Code : Codes) Result.push_back(Hex(Code));
    return Result;
}

// ---- the group ----

struct ItemGroup {
    HRESULT Result = E_UNEXPECTED;
    OPCHANDLE ServerHandle = 0;
    ComPtr<IOPCGroupStateMgt> State;
    ComPtr<IOPCItemMgt> Items;
    ComPtr<IOPCSyncIO> Sync;
    // Empty when the group and both item interfaces were obtained.
    std::string Failure;
};

// A group with a time bias of 0, so that its time stamps are UTC.
ItemGroup OpenGroup(IOPCServer* Server, const wchar_t* Name, bool Active, DWORD Rate = 1000) {
    ItemGroup Group;
    LONG TimeBias = 0;
    DWORD Revised = 0;
    IUnknown* Unknown = nullptr;
    Group.Result = Server->AddGroup(Name, Active, Rate, 1, &TimeBias, nullptr, LOCALE_SYSTEM_DEFAULT,
                                    &Group.ServerHandle, &Revised, IID_IOPCGroupStateMgt, &Unknown);
    if (FAILED(Group.Result)) {
        Group.Failure = "AddGroup gave " + Hex(Group.Result);
        return Group;
    }
    *Group.State.GetAddressOf() = static_cast<IOPCGroupStateMgt*>(Unknown);
    if (HRESULT Code = Group.State.As(&Group.Items); FAILED(Code))
        Group.Failure += "the group offers no IOPCItemMgt (" + Hex(Code) + ") ";
    if (HRESULT Code = Group.State.As(&Group.Sync); FAILED(Code))
        Group.Failure += "the group offers no IOPCSyncIO (" + Hex(Code) + ")";
    return Group;
}

// Releases the client's references to the group; its server handle, for RemoveGroup.
OPCHANDLE Close(ItemGroup& Group) {
    Group.Sync.Reset();
    Group.Items.Reset();
    Group.State.Reset();
    return Group.ServerHandle;
}

// ---- IOPCItemMgt ----

struct Def {
    Def(std::wstring AItemID, std::wstring AAccessPath = L"", VARTYPE ARequested = VT_EMPTY,
        OPCHANDLE AClient = 0, BOOL AActive = TRUE)
        : ItemID(std::move(AItemID)), AccessPath(std::move(AAccessPath)), Requested(ARequested),
          Client(AClient), Active(AActive) {}
    std::wstring ItemID;
    std::wstring AccessPath;
    VARTYPE Requested;
    OPCHANDLE Client;
    BOOL Active;
};

struct ItemResult {
    OPCHANDLE Server = 0;
    VARTYPE Canonical = 0;
    WORD Reserved = 0;
    DWORD Rights = 0;
    DWORD BlobSize = 0;
    bool HasBlob = false;
    bool AllZero() const { return !Server && !Canonical && !Reserved && !Rights && !BlobSize && !HasBlob; }
};

struct AddOutcome {
    HRESULT Result = E_UNEXPECTED;
    std::vector<HRESULT> Errors;
    std::vector<ItemResult> Results;
    bool ArraysNull = true;
};

AddOutcome AddOrValidate(IOPCItemMgt* Items, const std::vector<Def>& Defs, bool Validate) {
    std::vector<OPCITEMDEF> Raw;
    for (const Def& D : Defs) {
        OPCITEMDEF R{};
        // The proxy takes an empty access path, never a null one.
        R.szAccessPath = const_cast<LPWSTR>(D.AccessPath.c_str());
        R.szItemID = const_cast<LPWSTR>(D.ItemID.c_str());
        R.bActive = D.Active;
        R.hClient = D.Client;
        R.vtRequestedDataType = D.Requested;
        Raw.push_back(R);
    }
    OPCITEMDEF Dummy{};
    OPCITEMDEF* Array = Raw.empty() ? &Dummy : Raw.data();
    TaskArray<OPCITEMRESULT> Results;
    TaskArray<HRESULT> Errors;
    const auto Count = static_cast<DWORD>(Defs.size());
    AddOutcome Out;
    Out.Result =
        Validate ? Items->ValidateItems(Count, Array, FALSE, Results.Receive(Count), Errors.Receive(Count))
                 : Items->AddItems(Count, Array, Results.Receive(Count), Errors.Receive(Count));
    Out.ArraysNull = Results.Null() && Errors.Null();
    Out.Errors = Copy(Errors, Count);
    if (!Results.Null())
        for (DWORD I = 0; I < Count; ++I) {
            const OPCITEMRESULT& R = Results[I];
            Out.Results.push_back({R.hServer, R.vtCanonicalDataType, R.wReserved, R.dwAccessRights,
                                   R.dwBlobSize, R.pBlob != nullptr});
        }
    return Out;
}

AddOutcome AddItems(IOPCItemMgt* Items, const std::vector<Def>& Defs) {
    return AddOrValidate(Items, Defs, false);
}

// The server handles of items that must all be added.
std::vector<OPCHANDLE> AddAll(IOPCItemMgt* Items, const std::vector<Def>& Defs) {
    const AddOutcome Added = AddItems(Items, Defs);
    EXPECT_EQ(Added.Result, S_OK) << "AddItems";
    std::vector<OPCHANDLE> Handles;
    for (const ItemResult& R : Added.Results) Handles.push_back(R.Server);
    if (Handles.size() != Defs.size()) ADD_FAILURE() << "AddItems returned no results";
    return Handles;
}

struct HandleOutcome {
    HRESULT Result = E_UNEXPECTED;
    std::vector<HRESULT> Errors;
    bool ErrorsNull = true;
};

// One call of a per-handle method: Call receives the count, the handles (never a null pointer,
// which the proxy refuses) and the error array.
template <class F> HandleOutcome PerHandle(const std::vector<OPCHANDLE>& Handles, F Call) {
    OPCHANDLE Dummy = 0;
    const auto Count = static_cast<DWORD>(Handles.size());
    TaskArray<HRESULT> Errors;
    HandleOutcome Out;
    Out.Result =
        Call(Count, Handles.empty() ? &Dummy : const_cast<OPCHANDLE*>(Handles.data()), Errors.Receive(Count));
    Out.ErrorsNull = Errors.Null();
    Out.Errors = Copy(Errors, Count);
    return Out;
}

HandleOutcome RemoveItems(IOPCItemMgt* Items, const std::vector<OPCHANDLE>& Handles) {
    return PerHandle(Handles,
                     [&](DWORD N, OPCHANDLE* H, HRESULT** E) { return Items->RemoveItems(N, H, E); });
}

HandleOutcome SetActiveState(IOPCItemMgt* Items, const std::vector<OPCHANDLE>& Handles, bool Active) {
    return PerHandle(
        Handles, [&](DWORD N, OPCHANDLE* H, HRESULT** E) { return Items->SetActiveState(N, H, Active, E); });
}

HandleOutcome SetClientHandles(IOPCItemMgt* Items, const std::vector<OPCHANDLE>& Handles,
                               std::vector<OPCHANDLE> Clients) {
    Clients.resize(std::max<size_t>(Clients.size(), 1));
    return PerHandle(Handles, [&](DWORD N, OPCHANDLE* H, HRESULT** E) {
        return Items->SetClientHandles(N, H, Clients.data(), E);
    });
}

HandleOutcome SetDatatypes(IOPCItemMgt* Items, const std::vector<OPCHANDLE>& Handles, VARTYPE Type) {
    std::vector<VARTYPE> Types(std::max<size_t>(Handles.size(), 1), Type);
    return PerHandle(Handles, [&](DWORD N, OPCHANDLE* H, HRESULT** E) {
        return Items->SetDatatypes(N, H, Types.data(), E);
    });
}

// ---- IEnumOPCItemAttributes ----

struct ItemAttributes {
    std::wstring ItemID;
    bool AccessPathNull = false;
    BOOL Active = FALSE;
    OPCHANDLE Client = 0;
    OPCHANDLE Server = 0;
    DWORD Rights = 0;
    DWORD BlobSize = 0;
    VARTYPE Requested = 0;
    VARTYPE Canonical = 0;
    OPCEUTYPE EUType = OPC_NOENUM;
    TKoOleVariant EUInfo;
};

struct NextOutcome {
    HRESULT Result = E_UNEXPECTED;
    ULONG Fetched = 0;
    std::vector<ItemAttributes> Items;
};

NextOutcome Next(IEnumOPCItemAttributes* Enumerator, ULONG Count) {
    TaskArray<OPCITEMATTRIBUTES> Array;
    NextOutcome Out;
    Out.Fetched = 0xDEAD;
    Out.Result = Enumerator->Next(Count, Array.Receive(0), &Out.Fetched);
    // The proxy hands over as many records as were fetched.
    const ULONG Records = Out.Fetched <= Count ? Out.Fetched : 0;
    Array.SetCount(Records);
    if (!Array.Null())
        for (ULONG I = 0; I < Records; ++I) {
            const OPCITEMATTRIBUTES& A = Array[I];
            Out.Items.push_back({A.szItemID ? A.szItemID : L"<null>", A.szAccessPath == nullptr, A.bActive,
                                 A.hClient, A.hServer, A.dwAccessRights, A.dwBlobSize, A.vtRequestedDataType,
                                 A.vtCanonicalDataType, A.dwEUType, TKoOleVariant(A.vEUInfo)});
        }
    return Out;
}

ComPtr<IEnumOPCItemAttributes> Enumerator(IOPCItemMgt* Items, HRESULT* Result = nullptr) {
    IUnknown* Unknown = nullptr;
    const HRESULT Code = Items->CreateEnumerator(IID_IEnumOPCItemAttributes, &Unknown);
    if (Result) *Result = Code;
    ComPtr<IUnknown> Owned = KoAdopt(Unknown);
    ComPtr<IEnumOPCItemAttributes> Attributes;
    if (Owned) Owned.As(&Attributes);
    return Attributes;
}

// The attributes of every item of the group, in the group's order.
std::vector<ItemAttributes> AttributesOf(IOPCItemMgt* Items) {
    ComPtr<IEnumOPCItemAttributes> Attributes = Enumerator(Items);
    if (!Attributes) {
        ADD_FAILURE() << "CreateEnumerator handed out no enumerator";
        return {};
    }
    std::vector<ItemAttributes> All;
    for (int Batch = 0; Batch < 100000; ++Batch) {
        NextOutcome Got = Next(Attributes.Get(), 16);
        for (ItemAttributes& A : Got.Items) All.push_back(std::move(A));
        if (Got.Result != S_OK) break;
    }
    return All;
}

// The number of items the enumerator lists, or -1 when there is no enumerator.
long ItemCount(IOPCItemMgt* Items) {
    ComPtr<IEnumOPCItemAttributes> Attributes = Enumerator(Items);
    if (!Attributes) return -1;
    long Count = 0;
    for (;;) {
        NextOutcome Got = Next(Attributes.Get(), 64);
        Count += static_cast<long>(Got.Items.size());
        if (Got.Result != S_OK || Got.Items.empty()) return Count;
    }
}

// ---- IOPCSyncIO ----

struct ItemState {
    OPCHANDLE Client = 0;
    ULONGLONG Time = 0;
    WORD Quality = 0;
    TKoOleVariant Value;
};

struct ReadOutcome {
    HRESULT Result = E_UNEXPECTED;
    std::vector<HRESULT> Errors;
    std::vector<ItemState> States;
    bool ArraysNull = true;
};

ReadOutcome Read(IOPCSyncIO* Sync, OPCDATASOURCE Source, const std::vector<OPCHANDLE>& Handles) {
    OPCHANDLE Dummy = 0;
    const auto Count = static_cast<DWORD>(Handles.size());
    TaskArray<OPCITEMSTATE> States;
    TaskArray<HRESULT> Errors;
    ReadOutcome Out;
    Out.Result = Sync->Read(Source, Count, Handles.empty() ? &Dummy : const_cast<OPCHANDLE*>(Handles.data()),
                            States.Receive(Count), Errors.Receive(Count));
    Out.ArraysNull = States.Null() && Errors.Null();
    Out.Errors = Copy(Errors, Count);
    if (!States.Null())
        for (DWORD I = 0; I < Count; ++I) {
            const OPCITEMSTATE& S = States[I];
            Out.States.push_back({S.hClient, Ticks(S.ftTimeStamp), S.wQuality, TKoOleVariant(S.vDataValue)});
        }
    return Out;
}

// The state of one item read successfully (an empty state after a failure, which is reported).
ItemState ReadOne(IOPCSyncIO* Sync, OPCDATASOURCE Source, OPCHANDLE Handle) {
    ReadOutcome Got = Read(Sync, Source, {Handle});
    EXPECT_EQ(Got.Result, S_OK) << "Read of handle " << Handle;
    if (Got.States.size() != 1) return {};
    EXPECT_EQ(Got.Errors, std::vector<HRESULT>{S_OK}) << HexList(Got.Errors)[0];
    return std::move(Got.States[0]);
}

// Device reads until every item is of good quality, at most BoundMs; whether they got there.
bool WaitForGood(IOPCSyncIO* Sync, const std::vector<OPCHANDLE>& Handles, DWORD BoundMs) {
    TKoHandle Pause(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const ULONGLONG Deadline = GetTickCount64() + BoundMs;
    for (;;) {
        const ReadOutcome Got = Read(Sync, OPC_DS_DEVICE, Handles);
        if (Got.States.size() == Handles.size() &&
            std::all_of(Got.States.begin(), Got.States.end(),
                        [](const ItemState& S) { return S.Quality == kGood; }))
            return true;
        if (GetTickCount64() >= Deadline) return false;
        WaitForSingleObject(Pause.Get(), 100);
    }
}

HandleOutcome Write(IOPCSyncIO* Sync, const std::vector<OPCHANDLE>& Handles,
                    const std::vector<TKoOleVariant>& Values) {
    // The variants stay owned by Values; the call only reads them.
    std::vector<VARIANT> Raw(std::max<size_t>(Values.size(), 1));
    for (size_t I = 0; I < Values.size(); ++I) Raw[I] = Values[I].Get();
    return PerHandle(Handles,
                     [&](DWORD N, OPCHANDLE* H, HRESULT** E) { return Sync->Write(N, H, Raw.data(), E); });
}

// ---- values ----

std::string Describe(const VARIANT& V) {
    char Buffer[64];
    switch (V.vt) {
    case VT_EMPTY:
        return "VT_EMPTY";
    case VT_NULL:
        return "VT_NULL";
    case VT_R8:
        std::snprintf(Buffer, sizeof Buffer, "VT_R8 %g", V.dblVal);
        return Buffer;
    case VT_I4:
        std::snprintf(Buffer, sizeof Buffer, "VT_I4 %ld", static_cast<long>(V.lVal));
        return Buffer;
    case VT_UI4:
        std::snprintf(Buffer, sizeof Buffer, "VT_UI4 %lu", static_cast<unsigned long>(V.ulVal));
        return Buffer;
    case VT_I8:
        std::snprintf(Buffer, sizeof Buffer, "VT_I8 %lld", static_cast<long long>(V.llVal));
        return Buffer;
    case VT_BSTR:
        return "VT_BSTR \"" + Utf8(V.bstrVal ? V.bstrVal : L"") + "\"";
    default:
        std::snprintf(Buffer, sizeof Buffer, "vt 0x%04X", V.vt);
        return Buffer;
    }
}

bool Same(const VARIANT& A, const VARIANT& B) {
    if (A.vt != B.vt) return false;
    switch (A.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return true;
    // The platform's comparison does not take every integer type.
    case VT_UI4:
        return A.ulVal == B.ulVal;
    case VT_I8:
        return A.llVal == B.llVal;
    default:
        return VarCmp(KoIn(A), KoIn(B), LOCALE_USER_DEFAULT, 0) == static_cast<HRESULT>(VARCMP_EQ);
    }
}

TKoOleVariant BstrOf(const wchar_t* Value) {
    return TKoOleVariant(Value);
}

// The text of the Static bit set, all 32 bits set: its bits are named State0 to State15.
const std::wstring kAllBits = [] {
    std::wstring Text;
    for (int Bit = 0; Bit < 32; ++Bit)
        Text += (Bit ? L"," : L"") + std::wstring(Bit < 16 ? L"State" : L"Bit") + std::to_wstring(Bit);
    return Text;
}();

// ---- the fixture ----

class OpcItems : public OpcClient {
protected:
    void TearDown() override {
        // The fixture's own connection goes first: the server ends with its last client.
        Opc.Reset();
        OpcClient::TearDown();
    }

    // A connection and one group on it; the test fails at once when either is missing.
    ItemGroup Open(const wchar_t* Name, bool Active, DWORD Rate = 1000) {
        if (!Opc) Opc = Connect();
        if (!Opc) return {};
        ItemGroup Group = OpenGroup(Opc.Get(), Name, Active, Rate);
        EXPECT_EQ(Group.Failure, "");
        return Group;
    }

    ComPtr<IOPCServer> Opc;
};

#define ASSERT_GROUP(G) ASSERT_TRUE((G).Items && (G).Sync) << (G).Failure

// ---- item management ----

// Each definition alone: the item ID must name a variable or one of its properties (in any
// letter case), the access path must be empty and the requested type one a variant can hold.
TEST_F(OpcItems, AddItemsChecksEachDefinition) {
    ItemGroup G = Open(L"Defs", true);
    ASSERT_GROUP(G);

    constexpr VARTYPE kAnyType = 0xFFFF;
    constexpr DWORD kAnyRights = 0xFFFFFFFF;
    struct Case {
        const wchar_t* ItemID;
        const wchar_t* AccessPath;
        VARTYPE Requested;
        HRESULT Error;
        VARTYPE Canonical;
        DWORD Rights;
    };
    const Case Cases[] = {
        {L"Random.KoFloat1", L"", VT_EMPTY, S_OK, VT_R8, kReadWrite},
        {L"rANDOM.kOfLOAT1", L"", VT_EMPTY, S_OK, VT_R8, kReadWrite},
        {L"Static.KoBool1", L"", VT_EMPTY, S_OK, VT_BOOL, kReadWrite},
        {L"Static.KoInteger1", L"", VT_EMPTY, S_OK, VT_I4, kReadWrite},
        {L"Static.KoState1", L"", VT_EMPTY, S_OK, VT_I4, kReadWrite},
        {L"Static.KoBitSet1", L"", VT_EMPTY, S_OK, VT_UI4, kReadWrite},
        {L"Static.KoString1", L"", VT_EMPTY, S_OK, VT_BSTR, kReadWrite},
        {L"Static.KoDateTime1", L"", VT_EMPTY, S_OK, VT_DATE, kReadWrite},
        {L"Static.KoByteArray1", L"", VT_EMPTY, S_OK, VT_ARRAY | VT_UI1, kReadWrite},
        {L"ReadOnly.KoFloat1", L"", VT_EMPTY, S_OK, VT_R8, OPC_READABLE},
        {L"Random.KoFloat1.vpEngUnit", L"", VT_EMPTY, S_OK, VT_BSTR, kAnyRights},
        // A requested type does not change the canonical one.
        {L"Random.KoFloat1", L"", VT_BSTR, S_OK, VT_R8, kReadWrite},
        {L"Random.KoFloatArray1", L"", VT_ARRAY | VT_R8, S_OK, kAnyType, kReadWrite},
        {L"Random.NoSuchVariable", L"", VT_EMPTY, OPC_E_INVALIDITEMID, 0, 0},
        {L"NoSuchModule.KoFloat1", L"", VT_EMPTY, OPC_E_INVALIDITEMID, 0, 0},
        {L"Random.KoFloat1.vpNoSuchProperty", L"", VT_EMPTY, OPC_E_INVALIDITEMID, 0, 0},
        {L"Random", L"", VT_EMPTY, OPC_E_INVALIDITEMID, 0, 0},        // a module
        {L"Random.Timer1", L"", VT_EMPTY, OPC_E_INVALIDITEMID, 0, 0}, // a component, no variable
        {L"", L"", VT_EMPTY, OPC_E_INVALIDITEMID, 0, 0},
        {L"Random.KoFloat1", L"Plant", VT_EMPTY, OPC_E_UNKNOWNPATH, 0, 0},
        {L"Random.KoFloat1", L"", VT_NULL, OPC_E_BADTYPE, 0, 0},
        {L"Random.KoFloat1", L"", VT_INT, OPC_E_BADTYPE, 0, 0},
        {L"Random.KoFloat1", L"", VT_UINT, OPC_E_BADTYPE, 0, 0},
    };
    std::set<OPCHANDLE> Handles{G.ServerHandle};
    size_t Added = 0;
    for (const Case& C : Cases) {
        SCOPED_TRACE(Utf8(C.ItemID) + " path \"" + Utf8(C.AccessPath) + "\" type " +
                     std::to_string(C.Requested));
        const AddOutcome Got = AddItems(G.Items.Get(), {{C.ItemID, C.AccessPath, C.Requested, 5}});
        EXPECT_EQ(Got.Result, SUCCEEDED(C.Error) ? S_OK : S_FALSE);
        ASSERT_EQ(Got.Errors.size(), 1u);
        ASSERT_EQ(Got.Results.size(), 1u);
        EXPECT_EQ(Hex(Got.Errors[0]), Hex(C.Error));
        const ItemResult& R = Got.Results[0];
        if (FAILED(C.Error)) {
            EXPECT_TRUE(R.AllZero()) << "a failed item's result is all zero";
            continue;
        }
        ++Added;
        EXPECT_NE(R.Server, 0u);
        EXPECT_NE(R.Server, kNoHandle);
        EXPECT_TRUE(Handles.insert(R.Server).second) << "server handle " << R.Server << " handed out twice";
        if (C.Canonical != kAnyType) {
            EXPECT_EQ(R.Canonical, C.Canonical);
        }
        if (C.Rights != kAnyRights) {
            EXPECT_EQ(R.Rights, C.Rights);
        }
        EXPECT_EQ(R.BlobSize, 0u);
        EXPECT_FALSE(R.HasBlob);
    }
    EXPECT_EQ(ItemCount(G.Items.Get()), static_cast<long>(Added));
}

// One call with a good and an unknown item: the good one is added all the same.
TEST_F(OpcItems, AddItemsReportsEachItemOfOneCall) {
    ItemGroup G = Open(L"Mixed", true);
    ASSERT_GROUP(G);
    const AddOutcome Got = AddItems(G.Items.Get(), {{L"Sinusoid.KoFloat1", L"", VT_EMPTY, 1},
                                                    {L"Sinusoid.NoSuchVariable", L"", VT_EMPTY, 2}});
    EXPECT_EQ(Got.Result, S_FALSE);
    EXPECT_EQ(HexList(Got.Errors), HexList({S_OK, OPC_E_INVALIDITEMID}));
    ASSERT_EQ(Got.Results.size(), 2u);
    EXPECT_NE(Got.Results[0].Server, 0u);
    EXPECT_NE(Got.Results[0].Server, kNoHandle);
    EXPECT_NE(Got.Results[0].Server, G.ServerHandle);
    EXPECT_EQ(Got.Results[0].Canonical, VT_R8);
    EXPECT_EQ(Got.Results[0].Rights, kReadWrite);
    EXPECT_TRUE(Got.Results[1].AllZero());

    const std::vector<ItemAttributes> Items = AttributesOf(G.Items.Get());
    ASSERT_EQ(Items.size(), 1u);
    EXPECT_EQ(Items[0].Server, Got.Results[0].Server);
    EXPECT_EQ(Items[0].Client, 1u);
}

// Validation checks like AddItems and hands out no handle and no item.
TEST_F(OpcItems, ValidateItemsAddsNothing) {
    ItemGroup G = Open(L"Validate", true);
    ASSERT_GROUP(G);
    AddOutcome Got = AddOrValidate(G.Items.Get(),
                                   {{L"Triangle.KoInteger1", L"", VT_EMPTY, 1},
                                    {L"Triangle.NoSuchVariable", L"", VT_EMPTY, 2},
                                    {L"Triangle.KoInteger1", L"", VT_NULL, 3}},
                                   true);
    EXPECT_EQ(Got.Result, S_FALSE);
    EXPECT_EQ(HexList(Got.Errors), HexList({S_OK, OPC_E_INVALIDITEMID, OPC_E_BADTYPE}));
    ASSERT_EQ(Got.Results.size(), 3u);
    EXPECT_EQ(Got.Results[0].Server, kNoHandle);
    EXPECT_EQ(Got.Results[0].Canonical, VT_I4);
    EXPECT_EQ(Got.Results[0].Rights, kReadWrite);
    EXPECT_TRUE(Got.Results[1].AllZero());
    EXPECT_TRUE(Got.Results[2].AllZero());

    Got = AddOrValidate(G.Items.Get(), {{L"Triangle.KoFloat1", L"", VT_EMPTY, 1}}, true);
    EXPECT_EQ(Got.Result, S_OK);
    EXPECT_EQ(ItemCount(G.Items.Get()), 0);
}

// Every method refuses an empty request and hands out no arrays.
TEST_F(OpcItems, EmptyRequestsAreRefused) {
    ItemGroup G = Open(L"Empty", true);
    ASSERT_GROUP(G);
    IOPCItemMgt* Items = G.Items.Get();
    IOPCSyncIO* Sync = G.Sync.Get();

    struct Case {
        const char* Method;
        HRESULT Result;
        bool ArraysNull;
    };
    std::vector<Case> Cases;
    const auto Add = [&](const char* Method, const HandleOutcome& Got) {
        Cases.push_back({Method, Got.Result, Got.ErrorsNull});
    };
    AddOutcome Added = AddOrValidate(Items, {}, false);
    Cases.push_back({"AddItems", Added.Result, Added.ArraysNull});
    AddOutcome Validated = AddOrValidate(Items, {}, true);
    Cases.push_back({"ValidateItems", Validated.Result, Validated.ArraysNull});
    Add("RemoveItems", RemoveItems(Items, {}));
    Add("SetActiveState", SetActiveState(Items, {}, false));
    Add("SetClientHandles", SetClientHandles(Items, {}, {}));
    Add("SetDatatypes", SetDatatypes(Items, {}, VT_BSTR));
    for (OPCDATASOURCE Source : {OPC_DS_CACHE, OPC_DS_DEVICE}) {
        const ReadOutcome Got = Read(Sync, Source, {});
        Cases.push_back(
            {Source == OPC_DS_CACHE ? "Read (cache)" : "Read (device)", Got.Result, Got.ArraysNull});
    }
    Add("Write", Write(Sync, {}, {}));

    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Method);
        EXPECT_EQ(Hex(C.Result), Hex(E_INVALIDARG));
        EXPECT_TRUE(C.ArraysNull);
    }
}

// The per-handle methods of IOPCItemMgt: every handle gets its own result, in request order.
TEST_F(OpcItems, PerHandleMethodsReportUnknownHandles) {
    ItemGroup G = Open(L"Handles", true);
    ASSERT_GROUP(G);
    IOPCItemMgt* Items = G.Items.Get();

    struct Case {
        const char* Method;
        // The second handle: the first one again or one that names no item.
        bool Repeat;
        HandleOutcome (*Call)(IOPCItemMgt*, const std::vector<OPCHANDLE>&);
    };
    const Case Cases[] = {
        // The second occurrence finds the item gone.
        {"RemoveItems", true,
         [](IOPCItemMgt* I, const std::vector<OPCHANDLE>& H) { return RemoveItems(I, H); }},
        {"RemoveItems", false,
         [](IOPCItemMgt* I, const std::vector<OPCHANDLE>& H) { return RemoveItems(I, H); }},
        {"SetActiveState", false,
         [](IOPCItemMgt* I, const std::vector<OPCHANDLE>& H) { return SetActiveState(I, H, false); }},
        {"SetClientHandles", false,
         [](IOPCItemMgt* I, const std::vector<OPCHANDLE>& H) {
             return SetClientHandles(I, H, {40, 41});
         }},
        {"SetDatatypes", false,
         [](IOPCItemMgt* I, const std::vector<OPCHANDLE>& H) { return SetDatatypes(I, H, VT_BSTR); }},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(std::string(C.Method) + (C.Repeat ? " [h, h]" : " [h, unknown]"));
        const std::vector<OPCHANDLE> Added = AddAll(Items, {{L"Static.KoFloat1", L"", VT_EMPTY, 3}});
        ASSERT_EQ(Added.size(), 1u);
        const HandleOutcome Got = C.Call(Items, {Added[0], C.Repeat ? Added[0] : kUnknownHandle});
        EXPECT_EQ(Got.Result, S_FALSE);
        EXPECT_EQ(HexList(Got.Errors), HexList({S_OK, OPC_E_INVALIDHANDLE}));
        if (std::string(C.Method) != "RemoveItems") {
            EXPECT_EQ(Hex(RemoveItems(Items, {Added[0]}).Result), Hex(S_OK));
        }
        EXPECT_EQ(ItemCount(Items), 0) << "the item is gone";
    }
}

// A requested type changes the type of every value read from then on, in the cache at once; a
// type a variant cannot hold is refused and the previous one stays. The Static bit set holds
// all 32 bits, 0xFFFFFFFF as a 32-bit unsigned value.
TEST_F(OpcItems, SetDatatypesConvertsTheValues) {
    ItemGroup G = Open(L"Types", true);
    ASSERT_GROUP(G);
    const std::vector<OPCHANDLE> H = AddAll(G.Items.Get(), {{L"Static.KoBitSet1", L"", VT_EMPTY, 1}});
    ASSERT_EQ(H.size(), 1u);
    const TKoOleVariant AllBits = KoVariantOf(uint32_t{0xFFFFFFFF});
    EXPECT_TRUE(Same(ReadOne(G.Sync.Get(), OPC_DS_CACHE, H[0]).Value, AllBits));

    struct Case {
        VARTYPE Type;
        HRESULT Error;
        VARTYPE Stored; // the requested type afterwards
        TKoOleVariant Value;
    };
    const Case Cases[] = {
        {VT_BSTR, S_OK, VT_BSTR, BstrOf(kAllBits.c_str())},
        {VT_INT, OPC_E_BADTYPE, VT_BSTR, BstrOf(kAllBits.c_str())},
        {VT_NULL, OPC_E_BADTYPE, VT_BSTR, BstrOf(kAllBits.c_str())},
        {VT_I8, S_OK, VT_I8, KoVariantOf(int64_t{0xFFFFFFFF})},
        {VT_R8, S_OK, VT_R8, TKoOleVariant(4294967295.0)},
        // Back to the canonical type.
        {VT_EMPTY, S_OK, VT_EMPTY, KoVariantOf(uint32_t{0xFFFFFFFF})},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE("requested type " + std::to_string(C.Type));
        const HandleOutcome Set = SetDatatypes(G.Items.Get(), H, C.Type);
        EXPECT_EQ(Set.Result, SUCCEEDED(C.Error) ? S_OK : S_FALSE);
        EXPECT_EQ(HexList(Set.Errors), HexList({C.Error}));
        const std::vector<ItemAttributes> Attributes = AttributesOf(G.Items.Get());
        ASSERT_EQ(Attributes.size(), 1u);
        EXPECT_EQ(Attributes[0].Requested, C.Stored);
        EXPECT_EQ(Attributes[0].Canonical, VT_UI4);
        for (OPCDATASOURCE Source : {OPC_DS_CACHE, OPC_DS_DEVICE}) {
            const ItemState State = ReadOne(G.Sync.Get(), Source, H[0]);
            EXPECT_EQ(State.Quality, kGood);
            EXPECT_TRUE(Same(State.Value, C.Value))
                << (Source == OPC_DS_CACHE ? "cache: " : "device: ") << Describe(State.Value) << ", expected "
                << Describe(C.Value);
        }
    }
}

// Client handles and the active flag of items show in their reads and attributes; an inactive
// item reads from the cache as out of service, from the device as it is.
TEST_F(OpcItems, ClientHandlesAndActiveStateOfItems) {
    ItemGroup G = Open(L"Flags", true);
    ASSERT_GROUP(G);
    const std::vector<OPCHANDLE> H = AddAll(
        G.Items.Get(), {{L"Static.KoFloat1", L"", VT_EMPTY, 11}, {L"Static.KoString1", L"", VT_EMPTY, 12}});
    ASSERT_EQ(H.size(), 2u);

    HandleOutcome Set = SetClientHandles(G.Items.Get(), H, {77, 78});
    EXPECT_EQ(Set.Result, S_OK);
    EXPECT_EQ(HexList(Set.Errors), HexList({S_OK, S_OK}));
    ReadOutcome Got = Read(G.Sync.Get(), OPC_DS_CACHE, H);
    EXPECT_EQ(Got.Result, S_OK);
    ASSERT_EQ(Got.States.size(), 2u);
    EXPECT_EQ(Got.States[0].Client, 77u);
    EXPECT_EQ(Got.States[1].Client, 78u);
    EXPECT_EQ(Got.States[0].Quality, kGood);
    EXPECT_TRUE(Same(Got.States[0].Value, TKoOleVariant(0.0))) << Describe(Got.States[0].Value);
    EXPECT_TRUE(Same(Got.States[1].Value, BstrOf(L"test"))) << Describe(Got.States[1].Value);

    Set = SetActiveState(G.Items.Get(), {H[0]}, false);
    EXPECT_EQ(Set.Result, S_OK);
    const ULONGLONG Before = Now();
    Got = Read(G.Sync.Get(), OPC_DS_CACHE, H);
    const ULONGLONG After = Now();
    ASSERT_EQ(Got.States.size(), 2u);
    EXPECT_EQ(Got.States[0].Quality, OPC_QUALITY_OUT_OF_SERVICE);
    EXPECT_EQ(Got.States[0].Value.Type(), VT_NULL);
    EXPECT_GE(Got.States[0].Time + kSecond, Before);
    EXPECT_LE(Got.States[0].Time, After + kSecond);
    EXPECT_EQ(Got.States[1].Quality, kGood) << "the other item stays active";

    ItemState Device = ReadOne(G.Sync.Get(), OPC_DS_DEVICE, H[0]);
    EXPECT_EQ(Device.Quality, kGood);
    EXPECT_TRUE(Same(Device.Value, TKoOleVariant(0.0))) << Describe(Device.Value);

    const std::vector<ItemAttributes> Attributes = AttributesOf(G.Items.Get());
    ASSERT_EQ(Attributes.size(), 2u);
    EXPECT_EQ(Attributes[0].Active, FALSE);
    EXPECT_EQ(Attributes[0].Client, 77u);
    EXPECT_EQ(Attributes[1].Active, TRUE);
    EXPECT_EQ(Attributes[1].Client, 78u);

    EXPECT_EQ(SetActiveState(G.Items.Get(), {H[0]}, true).Result, S_OK);
    EXPECT_EQ(ReadOne(G.Sync.Get(), OPC_DS_CACHE, H[0]).Quality, kGood);
}

TEST_F(OpcItems, EnumeratorWalksTheItems) {
    ItemGroup G = Open(L"Walk", true);
    ASSERT_GROUP(G);

    // An empty group still hands out an enumerator.
    HRESULT Result = E_UNEXPECTED;
    ComPtr<IEnumOPCItemAttributes> Empty = Enumerator(G.Items.Get(), &Result);
    EXPECT_EQ(Result, S_FALSE);
    ASSERT_TRUE(Empty);
    NextOutcome Got = Next(Empty.Get(), 5);
    EXPECT_EQ(Got.Result, S_FALSE);
    EXPECT_EQ(Got.Fetched, 0u);

    IUnknown* Unknown = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(G.Items->CreateEnumerator(IID_IEnumString, &Unknown), E_INVALIDARG);
    EXPECT_EQ(Unknown, nullptr);
    ComPtr<IUnknown> Ignored = KoAdopt(Unknown);

    const std::vector<Def> Defs = {{L"Random.KoFloat1", L"", VT_EMPTY, 21, TRUE},
                                   {L"Static.KoString1", L"", VT_EMPTY, 22, FALSE},
                                   {L"ReadOnly.KoInteger1", L"", VT_R8, 23, TRUE}};
    const std::vector<OPCHANDLE> H = AddAll(G.Items.Get(), Defs);
    ASSERT_EQ(H.size(), 3u);
    ComPtr<IEnumOPCItemAttributes> Walk = Enumerator(G.Items.Get(), &Result);
    EXPECT_EQ(Result, S_OK);
    ASSERT_TRUE(Walk);

    Got = Next(Walk.Get(), 5);
    EXPECT_EQ(Got.Result, S_FALSE);
    EXPECT_EQ(Got.Fetched, 3u);
    ASSERT_EQ(Got.Items.size(), 3u);
    struct Expected {
        VARTYPE Canonical;
        DWORD Rights;
    };
    const Expected Types[] = {{VT_R8, kReadWrite}, {VT_BSTR, kReadWrite}, {VT_I4, OPC_READABLE}};
    for (size_t I = 0; I < 3; ++I) {
        SCOPED_TRACE(Utf8(Defs[I].ItemID));
        const ItemAttributes& A = Got.Items[I];
        EXPECT_EQ(A.ItemID, Defs[I].ItemID);
        EXPECT_TRUE(A.AccessPathNull);
        EXPECT_EQ(A.Active, Defs[I].Active);
        EXPECT_EQ(A.Client, Defs[I].Client);
        EXPECT_EQ(A.Server, H[I]);
        EXPECT_EQ(A.Rights, Types[I].Rights);
        EXPECT_EQ(A.BlobSize, 0u);
        EXPECT_EQ(A.Requested, Defs[I].Requested);
        EXPECT_EQ(A.Canonical, Types[I].Canonical);
    }
    Got = Next(Walk.Get(), 5);
    EXPECT_EQ(Got.Result, S_FALSE);
    EXPECT_EQ(Got.Fetched, 0u);

    EXPECT_EQ(Walk->Reset(), S_OK);
    EXPECT_EQ(Walk->Skip(2), S_OK);
    Got = Next(Walk.Get(), 5);
    EXPECT_EQ(Got.Fetched, 1u);
    ASSERT_EQ(Got.Items.size(), 1u);
    EXPECT_EQ(Got.Items[0].Server, H[2]);
    EXPECT_EQ(Walk->Skip(1), S_FALSE) << "skipping past the end";

    EXPECT_EQ(Walk->Reset(), S_OK);
    Got = Next(Walk.Get(), 2);
    EXPECT_EQ(Got.Result, S_OK);
    EXPECT_EQ(Got.Fetched, 2u);
    // A clone starts at the beginning, whatever the position of its source.
    IEnumOPCItemAttributes* RawClone = nullptr;
    ASSERT_EQ(Walk->Clone(&RawClone), S_OK);
    ComPtr<IEnumOPCItemAttributes> Clone = KoAdopt(RawClone);
    ASSERT_TRUE(Clone);
    Got = Next(Clone.Get(), 5);
    EXPECT_EQ(Got.Fetched, 3u);
    Got = Next(Walk.Get(), 5);
    EXPECT_EQ(Got.Fetched, 1u);
}

// Engineering-unit type and information in the attributes: the range of analog variables, the
// state names of state and bit-set variables, nothing for the others.
TEST_F(OpcItems, AttributesCarryEngineeringUnits) {
    ItemGroup G = Open(L"Units", true);
    ASSERT_GROUP(G);

    auto Names = [](int Count) {
        std::vector<std::wstring> All;
        for (int I = 0; I < Count; ++I) All.push_back(L"State" + std::to_wstring(I));
        return All;
    };
    struct Case {
        const wchar_t* ItemID;
        OPCEUTYPE Type;
        VARTYPE Element; // of the information array; VT_EMPTY: no information
        std::vector<double> Range;
        std::vector<std::wstring> Names;
    };
    const Case Cases[] = {
        {L"Random.KoFloat1", OPC_ANALOG, VT_R8, {0.0, 100.0}, {}},
        {L"Random.KoInteger1", OPC_ANALOG, VT_I4, {0, 100}, {}},
        {L"Random.TimerInterval", OPC_ANALOG, VT_I4, {0, 100000}, {}},
        // Without a range mode an integer has no range to tell.
        {L"Static.KoInteger1", OPC_NOENUM, VT_EMPTY, {}, {}},
        {L"Random.KoState1", OPC_ENUMERATED, VT_BSTR, {}, Names(10)},
        {L"Random.KoBitSet1", OPC_ENUMERATED, VT_BSTR, {}, Names(16)},
        {L"Random.KoString1", OPC_NOENUM, VT_EMPTY, {}, {}},
        {L"Random.KoBool1", OPC_NOENUM, VT_EMPTY, {}, {}},
    };
    std::vector<Def> Defs;
    for (const Case& C : Cases) Defs.push_back({C.ItemID});
    ASSERT_EQ(AddAll(G.Items.Get(), Defs).size(), Defs.size());
    const std::vector<ItemAttributes> Attributes = AttributesOf(G.Items.Get());
    ASSERT_EQ(Attributes.size(), Defs.size());

    for (size_t I = 0; I < Defs.size(); ++I) {
        const Case& C = Cases[I];
        SCOPED_TRACE(Utf8(C.ItemID));
        const ItemAttributes& A = Attributes[I];
        EXPECT_EQ(A.EUType, C.Type);
        if (C.Element == VT_EMPTY) {
            EXPECT_EQ(A.EUInfo.Type(), VT_EMPTY) << Describe(A.EUInfo);
            continue;
        }
        SAFEARRAY* Array = KoVariantArray(A.EUInfo);
        ASSERT_TRUE(Array && (A.EUInfo.Type() & VT_ARRAY)) << Describe(A.EUInfo);
        ASSERT_EQ(SafeArrayGetDim(Array), 1u);
        LONG Low = -1;
        LONG High = -1;
        SafeArrayGetLBound(Array, 1, &Low);
        SafeArrayGetUBound(Array, 1, &High);
        const size_t Count = C.Element == VT_BSTR ? C.Names.size() : C.Range.size();
        ASSERT_EQ(Low, 0);
        ASSERT_EQ(High, static_cast<LONG>(Count) - 1);
        for (LONG Index = 0; Index <= High; ++Index) {
            const TKoOleVariant Element = KoSafeArrayGetVariant(Array, &Index);
            const TKoOleVariant Want = C.Element == VT_BSTR ? BstrOf(C.Names[Index].c_str())
                                       : C.Element == VT_R8
                                           ? TKoOleVariant(C.Range[Index])
                                           : TKoOleVariant(static_cast<int32_t>(C.Range[Index]));
            EXPECT_TRUE(Same(Element, Want))
                << "element " << Index << ": " << Describe(Element) << ", expected " << Describe(Want);
        }
    }
}

// Groups and items draw their server handles from one counter of the server.
TEST_F(OpcItems, ServerHandlesOfGroupsAndItemsAreDistinct) {
    ItemGroup First = Open(L"First", true);
    ItemGroup Second = Open(L"Second", false);
    ASSERT_GROUP(First);
    ASSERT_GROUP(Second);
    const std::vector<Def> Defs = {{L"Random.KoFloat1"}, {L"Random.KoFloat1"}, {L"Static.KoBool1"}};
    std::vector<OPCHANDLE> All = {First.ServerHandle, Second.ServerHandle};
    for (ItemGroup* G : {&First, &Second, &First})
        for (OPCHANDLE H : AddAll(G->Items.Get(), Defs)) All.push_back(H);
    ASSERT_EQ(All.size(), 11u);
    EXPECT_EQ(std::set<OPCHANDLE>(All.begin(), All.end()).size(), All.size());
    for (OPCHANDLE H : All) {
        EXPECT_NE(H, 0u);
        EXPECT_NE(H, kNoHandle);
    }
}

// A group removed while its client still holds it is deleted: its items are gone, the calls
// that need a live group fail, and the others still answer.
TEST_F(OpcItems, ItemCallsOnARemovedGroup) {
    ItemGroup G = Open(L"Removed", true);
    ASSERT_GROUP(G);
    const std::vector<OPCHANDLE> H = AddAll(G.Items.Get(), {{L"Static.KoFloat1"}});
    ASSERT_EQ(H.size(), 1u);
    ASSERT_EQ(Opc->RemoveGroup(G.ServerHandle, FALSE), OPC_S_INUSE);
    EXPECT_EQ(ItemCount(G.Items.Get()), 0) << "the items went with the group";

    IOPCItemMgt* Items = G.Items.Get();
    IOPCSyncIO* Sync = G.Sync.Get();
    struct Case {
        const char* Method;
        HRESULT Result;
        bool ArraysNull;
        HRESULT Want;
    };
    std::vector<Case> Cases;
    const auto Add = [&](const char* Method, const HandleOutcome& Got, HRESULT Want) {
        Cases.push_back({Method, Got.Result, Got.ErrorsNull, Want});
    };
    const AddOutcome Validated = AddOrValidate(Items, {{L"Static.KoFloat1"}}, true);
    Cases.push_back({"ValidateItems", Validated.Result, Validated.ArraysNull, E_FAIL});
    Add("SetActiveState", SetActiveState(Items, H, false), E_FAIL);
    Add("SetClientHandles", SetClientHandles(Items, H, {5}), E_FAIL);
    Add("SetDatatypes", SetDatatypes(Items, H, VT_BSTR), E_FAIL);
    for (OPCDATASOURCE Source : {OPC_DS_CACHE, OPC_DS_DEVICE}) {
        const ReadOutcome Got = Read(Sync, Source, H);
        Cases.push_back(
            {Source == OPC_DS_CACHE ? "Read (cache)" : "Read (device)", Got.Result, Got.ArraysNull, E_FAIL});
    }
    Add("Write", Write(Sync, H, {TKoOleVariant(1.0)}), E_FAIL);
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Method);
        EXPECT_EQ(Hex(C.Result), Hex(C.Want));
        EXPECT_TRUE(C.ArraysNull);
    }

    // The handle names no item any more.
    const HandleOutcome Removed = RemoveItems(Items, H);
    EXPECT_EQ(Removed.Result, S_FALSE);
    EXPECT_EQ(HexList(Removed.Errors), HexList({OPC_E_INVALIDHANDLE}));

    // The group goes with the client's last reference, also when an item was added meanwhile.
    const AddOutcome Added = AddItems(Items, {{L"Static.KoFloat1"}});
    EXPECT_EQ(Added.Result, S_OK);
    Close(G);
    EXPECT_EQ(GroupCount(Opc.Get()), 0);
}

// Array variables read as one-dimensional arrays of their element type, also when the array
// type is asked for explicitly.
TEST_F(OpcItems, ArrayItemsReadAsArrays) {
    ItemGroup G = Open(L"Arrays", true);
    ASSERT_GROUP(G);
    struct Case {
        const wchar_t* ItemID;
        VARTYPE Requested;
        VARTYPE Type;
        LONG Count;
    };
    const Case Cases[] = {
        {L"Random.KoFloatArray1", VT_EMPTY, VT_ARRAY | VT_R8, 10},
        {L"Random.KoFloatArray1", VT_ARRAY | VT_R8, VT_ARRAY | VT_R8, 10},
        {L"Random.KoByteArray1", VT_EMPTY, VT_ARRAY | VT_UI1, 16},
    };
    std::vector<Def> Defs;
    for (const Case& C : Cases) Defs.push_back({C.ItemID, L"", C.Requested});
    const std::vector<OPCHANDLE> H = AddAll(G.Items.Get(), Defs);
    ASSERT_EQ(H.size(), Defs.size());
    const ReadOutcome Got = Read(G.Sync.Get(), OPC_DS_DEVICE, H);
    EXPECT_EQ(Got.Result, S_OK);
    ASSERT_EQ(Got.States.size(), H.size());
    for (size_t I = 0; I < H.size(); ++I) {
        SCOPED_TRACE(Utf8(Cases[I].ItemID) + " requested " + std::to_string(Cases[I].Requested));
        const TKoOleVariant& Value = Got.States[I].Value;
        EXPECT_EQ(Got.States[I].Quality, kGood);
        ASSERT_EQ(Value.Type(), Cases[I].Type) << Describe(Value);
        SAFEARRAY* Array = KoVariantArray(Value);
        ASSERT_TRUE(Array);
        ASSERT_EQ(SafeArrayGetDim(Array), 1u);
        LONG Low = -1;
        LONG High = -1;
        SafeArrayGetLBound(Array, 1, &Low);
        SafeArrayGetUBound(Array, 1, &High);
        EXPECT_EQ(High - Low + 1, Cases[I].Count);
    }
}

// ---- synchronous IO ----

TEST_F(OpcItems, CacheReadOfAnInactiveGroupIsOutOfService) {
    ItemGroup G = Open(L"Inactive", false);
    ASSERT_GROUP(G);
    const std::vector<OPCHANDLE> H = AddAll(G.Items.Get(), {{L"Static.KoFloat1", L"", VT_EMPTY, 1},
                                                            {L"Random.KoFloat1", L"", VT_EMPTY, 2},
                                                            {L"Static.KoString1", L"", VT_EMPTY, 3}});
    ASSERT_EQ(H.size(), 3u);
    const ULONGLONG Before = Now();
    const ReadOutcome Got = Read(G.Sync.Get(), OPC_DS_CACHE, H);
    const ULONGLONG After = Now();
    EXPECT_EQ(Got.Result, S_OK);
    EXPECT_EQ(HexList(Got.Errors), HexList({S_OK, S_OK, S_OK}));
    ASSERT_EQ(Got.States.size(), 3u);
    for (size_t I = 0; I < 3; ++I) {
        SCOPED_TRACE(I);
        const ItemState& S = Got.States[I];
        EXPECT_EQ(S.Client, I + 1);
        EXPECT_EQ(S.Quality, OPC_QUALITY_OUT_OF_SERVICE);
        EXPECT_EQ(S.Value.Type(), VT_NULL) << Describe(S.Value);
        EXPECT_GE(S.Time + kSecond, Before) << "not the current time";
        EXPECT_LE(S.Time, After + kSecond) << "not the current time";
    }
}

// A handle that names no item gets an entry of its own, with no client handle and no value.
TEST_F(OpcItems, ReadOfAnUnknownHandle) {
    ItemGroup G = Open(L"Unknown", true);
    ASSERT_GROUP(G);
    const std::vector<OPCHANDLE> H = AddAll(G.Items.Get(), {{L"Static.KoFloat1", L"", VT_EMPTY, 31}});
    ASSERT_EQ(H.size(), 1u);
    for (OPCDATASOURCE Source : {OPC_DS_CACHE, OPC_DS_DEVICE}) {
        SCOPED_TRACE(Source == OPC_DS_CACHE ? "cache" : "device");
        const ReadOutcome Got = Read(G.Sync.Get(), Source, {H[0], kUnknownHandle});
        EXPECT_EQ(Got.Result, S_FALSE);
        EXPECT_EQ(HexList(Got.Errors), HexList({S_OK, OPC_E_INVALIDHANDLE}));
        ASSERT_EQ(Got.States.size(), 2u);
        EXPECT_EQ(Got.States[0].Client, 31u);
        EXPECT_EQ(Got.States[0].Quality, kGood);
        EXPECT_TRUE(Same(Got.States[0].Value, TKoOleVariant(0.0))) << Describe(Got.States[0].Value);
        EXPECT_NE(Got.States[0].Time, 0u);
        EXPECT_EQ(Got.States[1].Client, kNoHandle);
        EXPECT_EQ(Got.States[1].Value.Type(), VT_EMPTY) << Describe(Got.States[1].Value);
        EXPECT_EQ(Got.States[1].Quality, 0);
        EXPECT_EQ(Got.States[1].Time, 0u);
    }
}

// A device read fetches the variable's value of the moment, also for an item of an inactive
// group whose cache is never refreshed: the saw-tooth value moves on every step.
TEST_F(OpcItems, DeviceReadReturnsTheCurrentValue) {
    ItemGroup G = Open(L"Device", false);
    ASSERT_GROUP(G);
    const std::vector<OPCHANDLE> H = AddAll(G.Items.Get(), {{L"SawTooth.KoFloat1", L"", VT_EMPTY, 1}});
    ASSERT_EQ(H.size(), 1u);
    // The module steps once a second; within a few steps two different good values must show
    // (right after the start the value may still be bad).
    constexpr DWORD kBoundMs = 10000;
    TKoHandle Pause(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const ULONGLONG Deadline = GetTickCount64() + kBoundMs;
    std::vector<ItemState> Good;
    while (Good.size() < 2 && GetTickCount64() < Deadline) {
        ItemState State = ReadOne(G.Sync.Get(), OPC_DS_DEVICE, H[0]);
        if (State.Quality == kGood && (Good.empty() || !Same(State.Value, Good.back().Value)))
            Good.push_back(std::move(State));
        else
            WaitForSingleObject(Pause.Get(), 100);
    }
    ASSERT_EQ(Good.size(), 2u) << "no two different good values within " << kBoundMs << " ms";
    EXPECT_EQ(Good[0].Value.Type(), VT_R8) << Describe(Good[0].Value);
    EXPECT_EQ(Good[1].Value.Type(), VT_R8) << Describe(Good[1].Value);
    EXPECT_GT(Good[1].Time, Good[0].Time) << "the new value carries the old time stamp";

    // The cache of the inactive group still reports out of service.
    EXPECT_EQ(ReadOne(G.Sync.Get(), OPC_DS_CACHE, H[0]).Quality, OPC_QUALITY_OUT_OF_SERVICE);
}

// Items added with a requested type read as that type.
TEST_F(OpcItems, RequestedTextTypeReadsAsText) {
    ItemGroup G = Open(L"Text", true);
    ASSERT_GROUP(G);
    struct Case {
        const wchar_t* ItemID;
        const wchar_t* Text;
    };
    const Case Cases[] = {
        // Every bit set: the names of the sixteen named bits, then the unnamed ones.
        {L"Static.KoBitSet1", kAllBits.c_str()},
        {L"Static.KoString1", L"test"},
        {L"Static.KoVariant1", L"34"},
    };
    std::vector<Def> Defs;
    for (const Case& C : Cases) Defs.push_back({C.ItemID, L"", VT_BSTR});
    const std::vector<OPCHANDLE> H = AddAll(G.Items.Get(), Defs);
    ASSERT_EQ(H.size(), Defs.size());
    for (OPCDATASOURCE Source : {OPC_DS_CACHE, OPC_DS_DEVICE}) {
        const ReadOutcome Got = Read(G.Sync.Get(), Source, H);
        EXPECT_EQ(Got.Result, S_OK);
        ASSERT_EQ(Got.States.size(), H.size());
        for (size_t I = 0; I < H.size(); ++I) {
            SCOPED_TRACE(Utf8(Cases[I].ItemID) + (Source == OPC_DS_CACHE ? " cache" : " device"));
            EXPECT_EQ(Got.States[I].Quality, kGood);
            EXPECT_TRUE(Same(Got.States[I].Value, BstrOf(Cases[I].Text))) << Describe(Got.States[I].Value);
        }
    }
}

// Writes are performed by the variables: their read-only flag, range and type rules decide.
// A write that fails leaves the value as it was.
TEST_F(OpcItems, WritesReachTheVariables) {
    ItemGroup G = Open(L"Writes", true);
    ASSERT_GROUP(G);
    struct Case {
        const wchar_t* ItemID;
        TKoOleVariant Value;
        HRESULT Error;
        TKoOleVariant ReadBack; // after a successful write
        bool Steps = false;     // the module changes the value by itself
    };
    const Case Cases[] = {
        {L"Static.KoFloat1", TKoOleVariant(5.0), S_OK, TKoOleVariant(5.0)},
        {L"Static.KoFloat1", TKoOleVariant(int32_t{7}), S_OK, TKoOleVariant(7.0)},
        {L"Static.KoString1", BstrOf(L"written"), S_OK, BstrOf(L"written")},
        {L"Static.KoInteger1", TKoOleVariant(int32_t{-12}), S_OK, TKoOleVariant(int32_t{-12})},
        {L"Static.TimerInterval", TKoOleVariant(int32_t{100001}), OPC_E_RANGE, {}},
        {L"Static.TimerInterval", TKoOleVariant(int32_t{-1}), OPC_E_RANGE, {}},
        {L"Static.KoState1", TKoOleVariant(int32_t{12}), OPC_E_RANGE, {}},
        {L"Random.KoFloat1", TKoOleVariant(1000.0), OPC_E_RANGE, {}, true},
        {L"Static.KoFloat1", TKoOleVariant(), OPC_E_BADTYPE, {}},
        {L"Static.KoFloat1", TKoOleVariant::Null(), OPC_E_BADTYPE, {}},
        {L"Static.KoFloat1", BstrOf(L"no number"), OPC_E_BADTYPE, {}},
        {L"ReadOnly.KoFloat1", TKoOleVariant(5.0), OPC_E_BADRIGHTS, {}},
        // The read-only module's timer cannot be started by a client.
        {L"ReadOnly.TimerInterval", TKoOleVariant(int32_t{500}), OPC_E_BADRIGHTS, {}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(Utf8(C.ItemID) + " <- " + Describe(C.Value));
        const std::vector<OPCHANDLE> H = AddAll(G.Items.Get(), {{C.ItemID}});
        ASSERT_EQ(H.size(), 1u);
        const ItemState Before = ReadOne(G.Sync.Get(), OPC_DS_DEVICE, H[0]);
        const HandleOutcome Got = Write(G.Sync.Get(), H, {C.Value});
        EXPECT_EQ(Hex(Got.Result), Hex(SUCCEEDED(C.Error) ? S_OK : S_FALSE));
        EXPECT_EQ(HexList(Got.Errors), HexList({C.Error}));
        const ItemState After = ReadOne(G.Sync.Get(), OPC_DS_DEVICE, H[0]);
        if (SUCCEEDED(C.Error)) {
            EXPECT_EQ(After.Quality, kGood);
            EXPECT_TRUE(Same(After.Value, C.ReadBack)) << Describe(After.Value);
        } else if (!C.Steps) {
            EXPECT_EQ(After.Quality, Before.Quality);
            EXPECT_TRUE(Same(After.Value, Before.Value))
                << Describe(After.Value) << ", was " << Describe(Before.Value);
        }
        EXPECT_EQ(RemoveItems(G.Items.Get(), H).Result, S_OK);
    }
}

// One write of several items: each is written or refused on its own.
TEST_F(OpcItems, WriteOfSeveralItemsReportsEach) {
    ItemGroup G = Open(L"Several", true);
    ASSERT_GROUP(G);
    const std::vector<OPCHANDLE> H =
        AddAll(G.Items.Get(), {{L"ReadOnly.KoFloat1"}, {L"Static.KoFloat1"}, {L"Static.KoString1"}});
    ASSERT_EQ(H.size(), 3u);

    HandleOutcome Got = Write(G.Sync.Get(), {H[0], H[1]}, {TKoOleVariant(9.0), TKoOleVariant(9.0)});
    EXPECT_EQ(Got.Result, S_FALSE);
    EXPECT_EQ(HexList(Got.Errors), HexList({OPC_E_BADRIGHTS, S_OK}));
    ReadOutcome Values = Read(G.Sync.Get(), OPC_DS_DEVICE, {H[0], H[1]});
    ASSERT_EQ(Values.States.size(), 2u);
    EXPECT_TRUE(Same(Values.States[0].Value, TKoOleVariant(0.0))) << Describe(Values.States[0].Value);
    EXPECT_TRUE(Same(Values.States[1].Value, TKoOleVariant(9.0))) << Describe(Values.States[1].Value);

    Got = Write(G.Sync.Get(), {H[2], kUnknownHandle, H[1]},
                {BstrOf(L"first"), TKoOleVariant(1.0), TKoOleVariant()});
    EXPECT_EQ(Got.Result, S_FALSE);
    EXPECT_EQ(HexList(Got.Errors), HexList({S_OK, OPC_E_INVALIDHANDLE, OPC_E_BADTYPE}));
    Values = Read(G.Sync.Get(), OPC_DS_DEVICE, {H[2], H[1]});
    ASSERT_EQ(Values.States.size(), 2u);
    EXPECT_TRUE(Same(Values.States[0].Value, BstrOf(L"first"))) << Describe(Values.States[0].Value);
    EXPECT_TRUE(Same(Values.States[1].Value, TKoOleVariant(9.0))) << Describe(Values.States[1].Value);
}

// ---- the whole address space ----

const wchar_t* const kModules[] = {L"Static", L"Random", L"SawTooth", L"Sinusoid", L"Triangle", L"ReadOnly"};
const wchar_t* const kStandardVariables[] = {
    L"KoBool1",       L"KoFloat1",     L"KoInteger1",    L"KoState1",   L"KoBitSet1",  L"KoString1",
    L"KoFloatArray1", L"KoByteArray1", L"TimerInterval", L"KoVariant1", L"KoDateTime1"};
const wchar_t* const kProperties[] = {L"vpValue",     L"vpCaption",   L"vpEngUnit",     L"vpAlarmState",
                                      L"vpAlarmLow",  L"vpAlarmHigh", L"vpWarnLow",     L"vpWarnHigh",
                                      L"vpSetpoint",  L"vpDiff",      L"vpMean",        L"vpStdDev",
                                      L"vpMin",       L"vpMax",       L"vpDescription", L"vpAlarmText",
                                      L"vpAlarmHelp", L"vpOther",     L"vpOther2"};

// Every item ID of the running program: each variable of each module, alone and with each
// property.
std::vector<std::wstring> EveryItemID() {
    std::vector<std::wstring> IDs;
    for (const wchar_t* Module : kModules) {
        std::vector<std::wstring> Variables(std::begin(kStandardVariables), std::end(kStandardVariables));
        const std::wstring Name = Module;
        if (Name == L"SawTooth" || Name == L"Triangle")
            Variables.insert(Variables.end(), {L"DXFloat", L"DXInteger"});
        if (Name == L"Sinusoid") Variables.insert(Variables.end(), {L"DTFloat", L"DXInteger"});
        for (const std::wstring& Variable : Variables) {
            const std::wstring Item = Name + L"." + Variable;
            IDs.push_back(Item);
            for (const wchar_t* Property : kProperties) IDs.push_back(Item + L"." + Property);
        }
    }
    return IDs;
}

// All of them in one group, read once from the device: every item is added and read; values of
// good or uncertain quality come in the item's canonical type, bad ones come empty.
TEST_F(OpcItems, EveryItemOfEveryModuleReads) {
    ItemGroup G = Open(L"Everything", true);
    ASSERT_GROUP(G);
    const std::vector<std::wstring> IDs = EveryItemID();
    std::vector<Def> Defs;
    for (size_t I = 0; I < IDs.size(); ++I)
        Defs.push_back({IDs[I], L"", VT_EMPTY, static_cast<OPCHANDLE>(I)});
    const AddOutcome Added = AddItems(G.Items.Get(), Defs);
    EXPECT_EQ(Added.Result, S_OK);
    ASSERT_EQ(Added.Errors.size(), IDs.size());
    ASSERT_EQ(Added.Results.size(), IDs.size());
    std::vector<OPCHANDLE> Handles;
    std::vector<size_t> Positions;
    for (size_t I = 0; I < IDs.size(); ++I) {
        if (Added.Errors[I] != S_OK) {
            ADD_FAILURE() << Utf8(IDs[I]) << ": AddItems gave " << Hex(Added.Errors[I]);
            continue;
        }
        Handles.push_back(Added.Results[I].Server);
        Positions.push_back(I);
    }
    EXPECT_EQ(ItemCount(G.Items.Get()), static_cast<long>(Handles.size()));

    // The first step of the saw-tooth and triangle modules runs before their step widths are set
    // and leaves their values bad; the next step, a second later, makes them good.
    std::vector<OPCHANDLE> Ramps;
    for (const wchar_t* Ramp : {L"SawTooth.KoFloat1", L"Triangle.KoFloat1"}) {
        const size_t I = static_cast<size_t>(std::find(IDs.begin(), IDs.end(), Ramp) - IDs.begin());
        ASSERT_TRUE(I < IDs.size() && Added.Errors[I] == S_OK) << Utf8(Ramp);
        Ramps.push_back(Added.Results[I].Server);
    }
    ASSERT_TRUE(WaitForGood(G.Sync.Get(), Ramps, 10000)) << "the ramps were not good within 10 s";

    const ReadOutcome Got = Read(G.Sync.Get(), OPC_DS_DEVICE, Handles);
    ASSERT_EQ(Got.States.size(), Handles.size());
    ASSERT_EQ(Got.Errors.size(), Handles.size());
    std::vector<WORD> Qualities(IDs.size(), 0xFFFF);
    int NoSpread = 0;
    for (size_t K = 0; K < Handles.size(); ++K) {
        const size_t I = Positions[K];
        const ItemState& S = Got.States[K];
        const std::string Name = Utf8(IDs[I]);
        Qualities[I] = S.Quality;
        // The standard deviation of values without spread (the waveform modules fill their float
        // arrays with one value) is the bad float held with good quality, which converts to no
        // client type: the read reports a range error, bad and empty.
        if (IDs[I].ends_with(L".vpStdDev") && Got.Errors[K] == OPC_E_RANGE) {
            ++NoSpread;
            EXPECT_EQ(S.Quality, kBad) << Name;
            EXPECT_EQ(S.Value.Type(), VT_EMPTY) << Name << ": " << Describe(S.Value);
            continue;
        }
        if (Got.Errors[K] != S_OK) ADD_FAILURE() << Name << ": read gave " << Hex(Got.Errors[K]);
        EXPECT_EQ(S.Client, static_cast<OPCHANDLE>(I)) << Name;
        const WORD Quality = S.Quality & OPC_QUALITY_MASK;
        if (Quality == kBad) {
            EXPECT_EQ(S.Value.Type(), VT_EMPTY) << Name << ": bad quality with " << Describe(S.Value);
            continue;
        }
        EXPECT_TRUE(S.Quality == kGood || S.Quality == kUncertain) << Name << ": quality " << S.Quality;
        const VARTYPE Canonical = Added.Results[I].Canonical;
        if ((Canonical & VT_TYPEMASK) != VT_VARIANT && Canonical != VT_EMPTY) {
            EXPECT_EQ(S.Value.Type(), Canonical) << Name << ": " << Describe(S.Value);
        }
        EXPECT_NE(S.Time, 0u) << Name << ": no time stamp";
    }
    EXPECT_EQ(Got.Result, NoSpread ? S_FALSE : S_OK);

    // The values whose quality the modules fix: the waveform modules have stepped, Static
    // and ReadOnly hold their initial values, and an integer without one stays bad until written.
    std::vector<std::pair<std::wstring, WORD>> Expected = {
        {L"Static.KoFloat1", kGood},   {L"Static.KoBitSet1", kGood},   {L"Static.KoString1", kGood},
        {L"Static.KoVariant1", kGood}, {L"Static.KoDateTime1", kGood}, {L"Static.KoInteger1", kBad},
        {L"ReadOnly.KoFloat1", kGood}, {L"ReadOnly.KoInteger1", kBad}};
    for (const wchar_t* Module : {L"Random", L"SawTooth", L"Sinusoid", L"Triangle"})
        for (const wchar_t* Variable : {L"KoBool1", L"KoFloat1", L"KoInteger1", L"KoState1", L"KoString1",
                                        L"KoDateTime1", L"TimerInterval", L"KoVariant1"})
            Expected.emplace_back(std::wstring(Module) + L"." + Variable, kGood);
    for (const auto& [ItemID, Quality] : Expected) {
        const size_t I = static_cast<size_t>(std::find(IDs.begin(), IDs.end(), ItemID) - IDs.begin());
        ASSERT_LT(I, IDs.size()) << Utf8(ItemID);
        EXPECT_EQ(Qualities[I], Quality) << Utf8(ItemID);
    }
}

// ---- concurrency ----

// Several client threads, some sharing one server object, some on server objects of their own,
// each on groups of its own: adding, reading from cache and device, writing and removing items
// in rounds while the modules step every 50 ms. Nothing may deadlock, fail or stay behind.
TEST_F(OpcItems, ConcurrentClientsWorkOnItems) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    ComPtr<IOPCServer> Shared = Connect();
    ComPtr<IOPCServer> Own1 = Connect();
    ComPtr<IOPCServer> Own2 = Connect();
    ASSERT_TRUE(Shared && Own1 && Own2);

    // Faster steps: more variable changes meet the clients' calls.
    {
        ItemGroup Setup = OpenGroup(Shared.Get(), L"Setup", true);
        ASSERT_TRUE(Setup.Items && Setup.Sync) << Setup.Failure;
        std::vector<Def> Timers;
        for (const wchar_t* Module : {L"Random", L"SawTooth", L"Sinusoid", L"Triangle"})
            Timers.push_back({std::wstring(Module) + L".TimerInterval"});
        const std::vector<OPCHANDLE> H = AddAll(Setup.Items.Get(), Timers);
        ASSERT_EQ(H.size(), Timers.size());
        const HandleOutcome Set =
            Write(Setup.Sync.Get(), H, std::vector<TKoOleVariant>(H.size(), TKoOleVariant(int32_t{50})));
        ASSERT_EQ(Set.Result, S_OK) << "the modules' timers were not set";
        ASSERT_EQ(Shared->RemoveGroup(Close(Setup), FALSE), S_OK);
    }

    IOPCServer* const Objects[kThreads] = {Shared.Get(), Shared.Get(), Own1.Get(), Own2.Get()};
    // Each thread writes a variable of its own and reads it back.
    struct Target {
        const wchar_t* ItemID;
        VARTYPE Type;
    };
    const Target Targets[kThreads] = {{L"Static.KoFloat1", VT_R8},
                                      {L"Static.KoInteger1", VT_I4},
                                      {L"Static.KoString1", VT_BSTR},
                                      {L"Static.KoDateTime1", VT_DATE}};

    struct Work {
        IOPCServer* Server;
        int Index;
        Target Own;
        std::vector<std::string> Failures;
    };
    std::vector<Work> Works;
    for (int I = 0; I < kThreads; ++I) Works.push_back({Objects[I], I, Targets[I], {}});

    const auto Run = [](Work& W) {
        std::string Where;
        const auto Fail = [&W, &Where](const std::string& What) {
            W.Failures.push_back("thread " + std::to_string(W.Index) + " " + Where + ": " + What);
        };
        const auto Check = [&Fail](const char* What, HRESULT Got, HRESULT Want) {
            if (Got != Want) Fail(std::string(What) + " gave " + Hex(Got) + ", expected " + Hex(Want));
        };
        const auto CheckErrors = [&Fail](const char* What, const std::vector<HRESULT>& Got, size_t Count) {
            if (Got != std::vector<HRESULT>(Count, S_OK)) Fail(std::string(What) + ": some item failed");
        };
        const std::vector<Def> Readers = {{L"Random.KoFloat1"},   {L"SawTooth.KoInteger1"},
                                          {L"Sinusoid.KoFloat1"}, {L"Triangle.KoState1"},
                                          {L"Random.KoVariant1"}, {L"Random.KoString1"}};
        // A group kept for all rounds, whose items come and go.
        const std::wstring Prefix = L"T" + std::to_wstring(W.Index);
        Where = "setup";
        ItemGroup Kept = OpenGroup(W.Server, (Prefix + L"-kept").c_str(), true, 50);
        if (!Kept.Items || !Kept.Sync) {
            Fail("no kept group: " + Kept.Failure);
            return;
        }
        for (int Round = 0; Round < kRounds; ++Round) {
            Where = "round " + std::to_string(Round);
            ItemGroup Each = OpenGroup(W.Server, (Prefix + L"-" + std::to_wstring(Round)).c_str(),
                                       Round % 2 == 0, Round % 3 ? 20 : 0);
            if (!Each.Items || !Each.Sync) {
                Fail("no group: " + Each.Failure);
                continue;
            }
            for (ItemGroup* G : {&Kept, &Each}) {
                std::vector<Def> Defs = Readers;
                Defs.push_back({W.Own.ItemID});
                const AddOutcome Added = AddItems(G->Items.Get(), Defs);
                Check("AddItems", Added.Result, S_OK);
                CheckErrors("AddItems", Added.Errors, Defs.size());
                if (Added.Results.size() != Defs.size()) continue;
                std::vector<OPCHANDLE> H;
                for (const ItemResult& R : Added.Results) H.push_back(R.Server);

                for (OPCDATASOURCE Source : {OPC_DS_CACHE, OPC_DS_DEVICE}) {
                    const ReadOutcome Got = Read(G->Sync.Get(), Source, H);
                    Check(Source == OPC_DS_CACHE ? "Read (cache)" : "Read (device)", Got.Result, S_OK);
                    CheckErrors("Read", Got.Errors, H.size());
                }
                TKoOleVariant Value;
                const double Number = W.Index * 1000 + Round;
                switch (W.Own.Type) {
                case VT_BSTR:
                    Value = TKoOleVariant(std::to_wstring(W.Index * 1000 + Round));
                    break;
                case VT_I4:
                    Value = TKoOleVariant(static_cast<int32_t>(Number));
                    break;
                case VT_DATE:
                    Value = TKoOleVariant::Date(40000 + Number);
                    break;
                default:
                    Value = TKoOleVariant(Number);
                }
                const HandleOutcome Written = Write(G->Sync.Get(), {H.back()}, {Value});
                Check("Write", Written.Result, S_OK);
                const ReadOutcome Back = Read(G->Sync.Get(), OPC_DS_DEVICE, {H.back()});
                if (Back.States.size() != 1 || !Same(Back.States[0].Value, Value))
                    Fail("read back " +
                         (Back.States.empty() ? std::string("nothing") : Describe(Back.States[0].Value)) +
                         " after writing " + Describe(Value));

                const HandleOutcome Inactive = SetActiveState(G->Items.Get(), {H[0], H[1]}, false);
                Check("SetActiveState", Inactive.Result, S_OK);
                const HandleOutcome Removed = RemoveItems(G->Items.Get(), H);
                Check("RemoveItems", Removed.Result, S_OK);
                CheckErrors("RemoveItems", Removed.Errors, H.size());
                const long Left = ItemCount(G->Items.Get());
                if (Left != 0) Fail(std::to_string(Left) + " items left after RemoveItems");
            }
            Check("RemoveGroup", W.Server->RemoveGroup(Close(Each), FALSE), S_OK);
        }
        Where = "end";
        Check("RemoveGroup (kept)", W.Server->RemoveGroup(Close(Kept), FALSE), S_OK);
    };

    if (!RunClientThreads(
            kThreads, [&](int I) { Run(Works[static_cast<size_t>(I)]); }, kStressBoundMs))
        return;
    for (const Work& W : Works)
        for (const std::string& F : W.Failures) ADD_FAILURE() << F;

    ExpectNoGroupsLeft({Shared.Get(), Own1.Get(), Own2.Get()});
}

} // namespace

int main(int argc, char** argv) {
    return kotest::RunClientTests(argc, argv);
}
