// Transactions and the task-memory helpers: entries survive resizes, values are released
// exactly when their slots go, the summary codes, the copy-out into caller-owned task memory,
// and refused requests that leave everything as it was.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KoOPCCom.h"
#include "KoOPCErrors.h"
#include "KoOPCTransactions.h"

namespace {

// An object whose references are counted by the test: a value holding it is cleared exactly
// when the count drops back.
class TCountedUnknown : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID RIID, void** Obj) override {
        if (!Obj) return E_POINTER;
        if (RIID != IID_IUnknown) {
            *Obj = nullptr;
            return E_NOINTERFACE;
        }
        *Obj = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++Refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--Refs); }

    LONG Refs = 1; // the test's own
};

VARIANT UnknownValue(TCountedUnknown& Obj) {
    VARIANT V;
    VariantInit(&V);
    V.vt = VT_UNKNOWN;
    V.punkVal = &Obj; // not counted: the transaction stores a copy, which is
    return V;
}

FILETIME Stamp(DWORD Low) {
    return FILETIME{Low, 0x01D00000};
}

// A read transaction with N entries: client handle 100 + i, server handle 200 + i, error i,
// quality 0xC0, time stamp i and (when Objects is given) a value holding Objects[i].
void Fill(TKoOPCReadTransaction& T, int32_t N, std::vector<TCountedUnknown>* Objects = nullptr) {
    for (int32_t I = 0; I < N; ++I) {
        const int32_t Index = T.AddHandle(100 + I, 200 + I);
        ASSERT_EQ(Index, I);
        T.SetErrors(Index, I);
        T.SetQualities(Index, OPC_QUALITY_GOOD);
        T.SetTimestamps(Index, Stamp(static_cast<DWORD>(I)));
        if (Objects) T.SetValues(Index, UnknownValue((*Objects)[static_cast<size_t>(I)]));
    }
}

TEST(OPCTransaction, AddHandleDoublesFromOneEntryAndKeepsEntries) {
    std::vector<TCountedUnknown> Objects(5); // outlives the transaction that holds them
    TKoOPCReadTransaction T(tkRead, 7);
    EXPECT_EQ(T.Capacity(), 0);
    const int32_t Expected[] = {1, 2, 4, 4, 8};
    for (int32_t I = 0; I < 5; ++I) {
        EXPECT_EQ(T.AddHandle(100 + I, 200 + I), I);
        EXPECT_EQ(T.Count(), I + 1);
        EXPECT_EQ(T.Capacity(), Expected[I]);
        T.SetValues(I, UnknownValue(Objects[static_cast<size_t>(I)]));
        T.SetQualities(I, static_cast<WORD>(0xC0 + I));
    }
    for (int32_t I = 0; I < 5; ++I) {
        EXPECT_EQ(T.ClientHandles(I), static_cast<OPCHANDLE>(100 + I));
        EXPECT_EQ(T.ServerHandles(I), static_cast<OPCHANDLE>(200 + I));
        EXPECT_EQ(T.Qualities(I), 0xC0 + I);
        EXPECT_EQ(T.ValueRef(I).punkVal, &Objects[static_cast<size_t>(I)]);
        EXPECT_EQ(Objects[static_cast<size_t>(I)].Refs, 2) << "moving a value must not copy or drop it";
    }
    EXPECT_EQ(T.IndexOfClientHandle(103), 3);
    EXPECT_EQ(T.IndexOfClientHandle(999), -1);
}

TEST(OPCTransaction, ResizeKeepsEntriesAndClearsOnlyDroppedValues) {
    std::vector<TCountedUnknown> Objects(4);
    TKoOPCReadTransaction T(tkDataChange, 0);
    T.SetCapacity(4);
    Fill(T, 4, &Objects);

    T.SetCapacity(10);
    EXPECT_EQ(T.Count(), 4);
    for (int32_t I = 4; I < 10; ++I) {
        EXPECT_EQ(T.ValueRef(I).vt, VT_EMPTY) << I;
        EXPECT_EQ(T.Errors(I), S_OK) << I;
        EXPECT_EQ(T.Qualities(I), 0) << I;
    }

    T.SetCapacity(2);
    EXPECT_EQ(T.Count(), 2);
    EXPECT_EQ(Objects[0].Refs, 2);
    EXPECT_EQ(Objects[1].Refs, 2);
    EXPECT_EQ(Objects[2].Refs, 1) << "a dropped value must be cleared";
    EXPECT_EQ(Objects[3].Refs, 1);
    for (int32_t I = 0; I < 2; ++I) {
        EXPECT_EQ(T.ClientHandles(I), static_cast<OPCHANDLE>(100 + I));
        EXPECT_EQ(T.Errors(I), I);
        EXPECT_EQ(T.Timestamps(I).dwLowDateTime, static_cast<DWORD>(I));
    }
    EXPECT_THROW(T.ClientHandles(2), EKoOPCProviderInvalidArg);

    T.DeAlloc();
    EXPECT_EQ(T.Capacity(), 0);
    EXPECT_EQ(T.Count(), 0);
    EXPECT_EQ(Objects[0].Refs, 1);
    EXPECT_EQ(Objects[1].Refs, 1);
}

TEST(OPCTransaction, DestructionClearsValuesOfEverySlot) {
    std::vector<TCountedUnknown> Objects(3);
    {
        TKoOPCDataChangeTransaction T(tkDataChange, 0);
        Fill(T, 3, &Objects);
        T.SetCount(1); // slots above Count still own their values
    }
    for (const TCountedUnknown& Obj : Objects) EXPECT_EQ(Obj.Refs, 1);
}

TEST(OPCTransaction, ClearResetsEntriesButKeepsClientHandlesAndQualities) {
    std::vector<TCountedUnknown> Objects(2);
    TKoOPCReadTransaction T(tkRead, 0);
    Fill(T, 2, &Objects);
    T.SetQualities(1, OPC_QUALITY_UNCERTAIN);
    T.Clear();
    EXPECT_EQ(T.Count(), 0);
    EXPECT_EQ(T.Capacity(), 2);
    for (int32_t I = 0; I < 2; ++I) {
        EXPECT_EQ(T.ServerHandles(I), KoOPCNoHandle);
        EXPECT_EQ(T.Errors(I), S_OK);
        EXPECT_EQ(T.ValueRef(I).vt, VT_EMPTY);
        EXPECT_EQ(T.ClientHandles(I), static_cast<OPCHANDLE>(100 + I));
        EXPECT_EQ(Objects[static_cast<size_t>(I)].Refs, 1);
    }
    EXPECT_EQ(T.Qualities(1), OPC_QUALITY_UNCERTAIN);
    // A reused slot keeps the old quality until the new entry sets its own.
    EXPECT_EQ(T.AddHandle(5, 6), 0);
    EXPECT_EQ(T.Qualities(0), OPC_QUALITY_GOOD);
}

TEST(OPCTransaction, SetValuesStoresACopy) {
    TCountedUnknown Obj;
    TKoOPCTransaction T(tkWrite, 0);
    T.AddHandle(1, 1);
    VARIANT V = UnknownValue(Obj);
    T.SetValues(0, V);
    EXPECT_EQ(Obj.Refs, 2);
    {
        TKoOleVariant Copy = T.Values(0);
        EXPECT_EQ(Obj.Refs, 3);
    }
    T.SetValues(0, TKoOleVariant(L"text"));
    EXPECT_EQ(Obj.Refs, 1) << "overwriting must clear the old value";
    EXPECT_EQ(T.Values(0).Type(), VT_BSTR);
}

TEST(OPCTransaction, MasterCodes) {
    struct Case {
        const char* Name;
        std::vector<HRESULT> Errors;
        std::vector<WORD> Qualities;
        HRESULT MasterError, MasterQuality;
        bool HasOKItems;
    };
    const Case Cases[] = {
        {"no entries", {}, {}, S_OK, S_OK, false},
        {"all good", {S_OK, S_OK}, {0xC0, 0xC0}, S_OK, S_OK, true},
        {"good with sub-status", {S_OK, S_OK}, {0xC0, 0xD8}, S_OK, S_OK, true},
        {"uncertain", {S_OK, S_OK}, {0xC0, 0x40}, S_OK, S_FALSE, true},
        {"bad", {S_OK}, {0x00}, S_OK, S_FALSE, true},
        {"success code other than S_OK", {S_FALSE, OPC_S_CLAMP}, {0xC0, 0xC0}, S_OK, S_OK, true},
        {"one failure", {S_OK, OPC_E_INVALIDHANDLE}, {0xC0, 0xC0}, S_FALSE, S_OK, true},
        {"all failed", {E_FAIL, OPC_E_BADRIGHTS}, {0xC0, 0xC0}, S_FALSE, S_OK, false},
    };
    for (const Case& C : Cases) {
        TKoOPCReadTransaction T(tkRead, 0);
        for (size_t I = 0; I < C.Errors.size(); ++I) {
            const int32_t Index = T.AddHandle(1, 1);
            T.SetErrors(Index, C.Errors[I]);
            T.SetQualities(Index, C.Qualities[I]);
        }
        // Slots above Count do not take part.
        T.SetCapacity(T.Count() + 1);
        T.SetErrors(T.Count(), E_FAIL);
        EXPECT_EQ(T.MasterError(), C.MasterError) << C.Name;
        EXPECT_EQ(T.MasterQuality(), C.MasterQuality) << C.Name;
        EXPECT_EQ(T.HasOKItems(), C.HasOKItems) << C.Name;
    }
}

TEST(OPCTransaction, SetErrorListCopiesByPositionAndReportsAllFailed) {
    struct Case {
        const char* Name;
        std::vector<HRESULT> List;
        bool GiveList;
        bool AllFailed;
    };
    const Case Cases[] = {
        {"no list", {S_OK, S_OK}, false, true},
        {"empty list", {}, true, true},
        {"all failed", {OPC_E_INVALIDHANDLE, OPC_E_BADRIGHTS}, true, true},
        {"failure then success", {OPC_E_INVALIDHANDLE, S_OK}, true, false},
        {"success then failure", {S_OK, OPC_E_BADRIGHTS}, true, false},
        {"all succeeded", {S_OK, S_FALSE, S_OK}, true, false},
    };
    for (const Case& C : Cases) {
        TKoOPCTransaction T(tkWrite, 0);
        T.AddHandle(1, 1);
        T.SetErrors(0, E_ABORT);
        const int32_t N = static_cast<int32_t>(C.List.size());
        EXPECT_EQ(T.SetErrorList(C.GiveList ? C.List.data() : nullptr, N), C.AllFailed) << C.Name;
        EXPECT_GE(T.Capacity(), N) << C.Name;
        EXPECT_EQ(T.Count(), 1) << C.Name;
        if (C.GiveList)
            for (int32_t I = 0; I < N; ++I) EXPECT_EQ(T.Errors(I), C.List[static_cast<size_t>(I)]) << C.Name;
        else
            EXPECT_EQ(T.Errors(0), E_ABORT) << C.Name;
    }
}

TEST(OPCTransaction, RefusedRequestsLeaveTheTransactionUnchanged) {
    std::vector<TCountedUnknown> Objects(3);
    TKoOPCReadTransaction T(tkRead, 0);
    Fill(T, 3, &Objects);
    const int32_t Capacity = T.Capacity();
    struct Case {
        const char* Name;
        void (*Request)(TKoOPCReadTransaction&);
        HRESULT Expected;
    };
    const Case Cases[] = {
        {"negative capacity", [](TKoOPCReadTransaction& X) { X.SetCapacity(-1); }, E_INVALIDARG},
        {"negative count", [](TKoOPCReadTransaction& X) { X.SetCount(-5); }, E_INVALIDARG},
        {"negative error count", [](TKoOPCReadTransaction& X) { X.SetErrorList(nullptr, -1); }, E_INVALIDARG},
        {"huge capacity", [](TKoOPCReadTransaction& X) { X.SetCapacity(0x7FFFFFFF); }, E_OUTOFMEMORY},
        {"huge count", [](TKoOPCReadTransaction& X) { X.SetCount(KoOPCMaxTransactionCapacity + 1); },
         E_OUTOFMEMORY},
        {"huge error count",
         [](TKoOPCReadTransaction& X) { X.SetErrorList(nullptr, KoOPCMaxTransactionCapacity + 1); },
         E_OUTOFMEMORY},
        {"index below 0", [](TKoOPCReadTransaction& X) { X.SetValues(-1, VARIANT{}); }, E_INVALIDARG},
        {"index at capacity", [](TKoOPCReadTransaction& X) { X.SetErrors(X.Capacity(), E_FAIL); },
         E_INVALIDARG},
        {"quality at capacity", [](TKoOPCReadTransaction& X) { X.Qualities(X.Capacity()); }, E_INVALIDARG},
    };
    for (const Case& C : Cases) {
        EXPECT_EQ(KoComCall([&] { C.Request(T); }), C.Expected) << C.Name;
        EXPECT_EQ(T.Capacity(), Capacity) << C.Name;
        EXPECT_EQ(T.Count(), 3) << C.Name;
        for (int32_t I = 0; I < 3; ++I) {
            EXPECT_EQ(T.ClientHandles(I), static_cast<OPCHANDLE>(100 + I)) << C.Name;
            EXPECT_EQ(T.Errors(I), I) << C.Name;
            EXPECT_EQ(Objects[static_cast<size_t>(I)].Refs, 2) << C.Name;
        }
    }
}

TEST(OPCTransaction, OutOfMemoryErrorText) {
    try {
        throw EKoOPCOutOfMemory(4096);
    } catch (const EKoOleError& E) {
        EXPECT_EQ(E.Message(), L"CoTaskMemAlloc failed to allocate 4096 bytes.");
        EXPECT_EQ(E.ErrorCode(), E_OUTOFMEMORY);
    }
}

TEST(OPCTransaction, ItemStatesAndErrorsAreHandedToTheCaller) {
    std::vector<TCountedUnknown> Objects(2);
    TKoOPCReadTransaction T(tkRead, 0);
    Fill(T, 2, &Objects);
    T.SetErrors(1, OPC_E_BADRIGHTS);
    T.SetCapacity(8); // only Count entries are copied out

    OPCITEMSTATE* States = nullptr;
    HRESULT* Errors = nullptr;
    EXPECT_EQ(T.GetItemStates(&States, &Errors), S_FALSE);
    ASSERT_NE(States, nullptr);
    ASSERT_NE(Errors, nullptr);
    for (size_t I = 0; I < 2; ++I) {
        EXPECT_EQ(States[I].hClient, 100 + I);
        EXPECT_EQ(States[I].wQuality, OPC_QUALITY_GOOD);
        EXPECT_EQ(States[I].ftTimeStamp.dwLowDateTime, I);
        EXPECT_EQ(States[I].vDataValue.punkVal, &Objects[I]);
        EXPECT_EQ(Objects[I].Refs, 3) << "the caller gets its own copy";
    }
    EXPECT_EQ(Errors[0], S_OK);
    EXPECT_EQ(Errors[1], OPC_E_BADRIGHTS);

    T.DeAlloc();
    for (size_t I = 0; I < 2; ++I) EXPECT_EQ(Objects[I].Refs, 2);
    // The caller's part: clear the values, free the arrays.
    for (size_t I = 0; I < 2; ++I) VariantClear(&States[I].vDataValue);
    TKoOPCAlloc::FreeMem(States);
    TKoOPCAlloc::FreeMem(Errors);
    EXPECT_EQ(States, nullptr);
    for (size_t I = 0; I < 2; ++I) EXPECT_EQ(Objects[I].Refs, 1);

    TKoTaskMem<HRESULT> Empty = TKoOPCTransaction(tkRead, 0).ErrorList();
    EXPECT_EQ(Empty.Count(), 0u);
}

// Record type information whose record copies fail once FailAt copies were made: a value that
// holds such a record cannot be copied out, as happens when memory runs out half-way.
class TFailingRecordInfo : public IRecordInfo {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** Obj) override {
        *Obj = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++Refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--Refs); }
    HRESULT STDMETHODCALLTYPE RecordInit(PVOID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RecordClear(PVOID) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RecordCopy(PVOID, PVOID) override {
        return ++Copies > FailAt ? E_OUTOFMEMORY : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetGuid(GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSize(ULONG* Size) override {
        *Size = sizeof(int);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetField(PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFieldNoCopy(PVOID, LPCOLESTR, VARIANT*, PVOID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutField(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PutFieldNoCopy(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFieldNames(ULONG*, BSTR*) override { return E_NOTIMPL; }
    BOOL STDMETHODCALLTYPE IsMatchingType(IRecordInfo*) override { return FALSE; }
    PVOID STDMETHODCALLTYPE RecordCreate() override { return nullptr; }
    HRESULT STDMETHODCALLTYPE RecordCreateCopy(PVOID, PVOID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RecordDestroy(PVOID) override { return S_OK; }

    LONG Refs = 1;
    int Copies = 0;
    int FailAt = 1;
};

TEST(OPCTransaction, FailedCopyOutLeavesNothingWithTheCaller) {
    std::vector<TCountedUnknown> Objects(2);
    TFailingRecordInfo Info;
    int Record = 0;
    TKoOPCReadTransaction T(tkRead, 0);
    Fill(T, 2, &Objects);
    VARIANT V;
    VariantInit(&V);
    V.vt = VT_RECORD;
    V.pvRecord = &Record;
    V.pRecInfo = &Info;
    T.SetValues(T.AddHandle(1, 1), V); // the one copy that succeeds
    ASSERT_EQ(Info.Copies, 1);

    OPCITEMSTATE* States = nullptr;
    HRESULT* Errors = nullptr;
    EXPECT_EQ(KoComCall([&] { return T.GetItemStates(&States, &Errors); }), E_OUTOFMEMORY);
    EXPECT_EQ(States, nullptr);
    EXPECT_EQ(Errors, nullptr);
    EXPECT_EQ(Info.Copies, 2);
    for (const TCountedUnknown& Obj : Objects)
        EXPECT_EQ(Obj.Refs, 2) << "copies made before the failure must go";
    EXPECT_EQ(T.Count(), 3);
}

TEST(OPCAlloc, ReallocationKeepsContentsAndZeroesFromOffset) {
    void* P = nullptr;
    TKoOPCAlloc::CAllocMem(P, 8, 0);
    ASSERT_NE(P, nullptr);
    auto* Bytes = static_cast<unsigned char*>(P);
    for (int I = 0; I < 8; ++I) EXPECT_EQ(Bytes[I], 0);
    for (int I = 0; I < 8; ++I) Bytes[I] = static_cast<unsigned char>(I + 1);

    TKoOPCAlloc::CAllocMem(P, 16, 8);
    Bytes = static_cast<unsigned char*>(P);
    for (int I = 0; I < 8; ++I) EXPECT_EQ(Bytes[I], I + 1);
    for (int I = 8; I < 16; ++I) EXPECT_EQ(Bytes[I], 0);

    TKoOPCAlloc::AllocMem(P, 4);
    Bytes = static_cast<unsigned char*>(P);
    for (int I = 0; I < 4; ++I) EXPECT_EQ(Bytes[I], I + 1);

    TKoOPCAlloc::AllocMem(P, 0);
    EXPECT_EQ(P, nullptr);

    OPCITEMSTATE* States = nullptr;
    TKoOPCAlloc::AllocItemStateList(States, 3);
    ASSERT_NE(States, nullptr);
    for (int I = 0; I < 3; ++I) EXPECT_EQ(States[I].vDataValue.vt, VT_EMPTY);
    TKoOPCAlloc::FreeMem(States);
}

TEST(OPCAlloc, FailedAllocationKeepsTheBlockAndReportsTheSize) {
    void* P = nullptr;
    TKoOPCAlloc::AllocMem(P, 4);
    static_cast<unsigned char*>(P)[0] = 42;
    void* const Before = P;
    const size_t Huge = static_cast<size_t>(-1) / 4;
    try {
        TKoOPCAlloc::AllocMem(P, Huge);
        ADD_FAILURE() << "no error raised";
    } catch (const EKoOPCOutOfMemory& E) {
        EXPECT_EQ(E.Message(), L"CoTaskMemAlloc failed to allocate " + std::to_wstring(Huge) + L" bytes.");
    }
    EXPECT_EQ(P, Before);
    EXPECT_EQ(static_cast<unsigned char*>(P)[0], 42);
    TKoOPCAlloc::FreeMem(P);

    OPCITEMSTATE* States = nullptr;
    EXPECT_EQ(KoComCall([&] { TKoOPCAlloc::AllocItemStateList(States, static_cast<size_t>(-1) / 2); }),
              E_OUTOFMEMORY);
    EXPECT_EQ(States, nullptr);
}

} // namespace
