// A DA 1.0 client in another process: it subscribes to a group through the group's IDataObject
// (DAdvise with an IAdviseSink of its own), reads, writes and refreshes through IOPCAsyncIO, and
// takes every result apart from the memory block the sink is handed. The sink keeps a copy of
// each block exactly as it arrived.
//
// The streams carry VARIANTs in their in-memory form, so their sizes follow this process's
// VARIANT (the server is built for the same platform).

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KoOle.h"
#include "KoOpcClientTesting.h"
#include "KoOpcDataChangeTesting.h"

namespace {

using namespace kotest;

constexpr size_t kVariant = sizeof(VARIANT);

CLIPFORMAT FormatNamed(const wchar_t* Name) {
    return static_cast<CLIPFORMAT>(RegisterClipboardFormatW(Name));
}
const CLIPFORMAT kData = FormatNamed(L"OPCSTMFORMATDATA");
const CLIPFORMAT kDataTime = FormatNamed(L"OPCSTMFORMATDATATIME");
const CLIPFORMAT kWriteComplete = FormatNamed(L"OPCSTMFORMATWRITECOMPLETE");

// ---- what the advise sink is handed ----

struct Stream {
    FORMATETC Format{};
    DWORD MediumTymed = 0;
    bool ReleaseObject = false;
    // The whole block as the sink received it.
    std::vector<BYTE> Bytes;
    ULONGLONG Arrival = 0;
    ULONGLONG ArrivalTime = 0;

    // The field of type T at Offset; 0 (and a failure) when the block ends before it.
    template <class T> T At(size_t Offset) const {
        T Value{};
        if (Offset + sizeof(T) > Bytes.size())
            ADD_FAILURE() << "field at " << Offset << " lies beyond the block of " << Bytes.size()
                          << " bytes";
        else
            std::memcpy(&Value, Bytes.data() + Offset, sizeof(T));
        return Value;
    }
    bool IsData() const { return Format.cfFormat == kData || Format.cfFormat == kDataTime; }
    // The data stream's header fields.
    DWORD Size() const { return At<DWORD>(0); }
    DWORD Count() const { return At<DWORD>(IsData() ? 4 : 0); }
    OPCHANDLE GroupHandle() const { return At<DWORD>(IsData() ? 8 : 4); }
    DWORD TransactionID() const { return At<DWORD>(IsData() ? 12 : 8); }
    HRESULT Status() const { return At<HRESULT>(IsData() ? 16 : 12); }
    size_t ItemHeader() const { return Format.cfFormat == kDataTime ? 20 : 12; }
    // Item I of a data stream.
    OPCHANDLE Client(size_t I) const { return At<DWORD>(20 + I * ItemHeader()); }
    DWORD ValueOffset(size_t I) const { return At<DWORD>(20 + I * ItemHeader() + 4); }
    WORD Quality(size_t I) const { return At<WORD>(20 + I * ItemHeader() + 8); }
    ULONGLONG Time(size_t I) const { return Ticks(At<FILETIME>(20 + I * ItemHeader() + 12)); }
    VARTYPE Type(size_t I) const { return At<VARTYPE>(ValueOffset(I)); }
    VARIANT Value(size_t I) const { return At<VARIANT>(ValueOffset(I)); }
    // The string after item I's VARIANT: its length field and its characters up to the zero.
    DWORD StringBytes(size_t I) const { return At<DWORD>(ValueOffset(I) + kVariant); }
    std::wstring String(size_t I) const {
        const size_t First = ValueOffset(I) + kVariant + 4;
        std::wstring Text;
        for (size_t Offset = First; Offset + 2 <= Bytes.size(); Offset += 2) {
            const wchar_t C = At<wchar_t>(Offset);
            if (C == 0) break;
            Text.push_back(C);
        }
        return Text;
    }
    // Item I of a write-complete stream.
    OPCHANDLE WriteClient(size_t I) const { return At<DWORD>(16 + I * 8); }
    HRESULT WriteError(size_t I) const { return At<HRESULT>(16 + I * 8 + 4); }
};

using Streams = TJournal<Stream>;

class AdviseSink final : public TKoComObject<IAdviseSink> {
public:
    explicit AdviseSink(std::shared_ptr<Streams> AJournal) : FJournal(std::move(AJournal)) {}

    void STDMETHODCALLTYPE OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed) override {
        Stream S;
        if (pFormatetc) S.Format = *pFormatetc;
        S.Format.ptd = nullptr; // not kept: it belongs to the call
        if (pStgmed) {
            S.MediumTymed = pStgmed->tymed;
            S.ReleaseObject = pStgmed->pUnkForRelease != nullptr;
            if (pStgmed->tymed == TYMED_HGLOBAL && pStgmed->hGlobal) {
                const SIZE_T Size = GlobalSize(pStgmed->hGlobal);
                if (const void* Data = GlobalLock(pStgmed->hGlobal)) {
                    S.Bytes.assign(static_cast<const BYTE*>(Data), static_cast<const BYTE*>(Data) + Size);
                    GlobalUnlock(pStgmed->hGlobal);
                }
            }
        }
        FJournal->Record(std::move(S));
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

private:
    std::shared_ptr<Streams> FJournal;
};

using StreamMatch = Streams::TMatch;

StreamMatch DataWithID(DWORD ID) {
    return [=](const Stream& S) { return S.IsData() && S.TransactionID() == ID; };
}
StreamMatch WriteCompleteWithID(DWORD ID) {
    return [=](const Stream& S) { return S.Format.cfFormat == kWriteComplete && S.TransactionID() == ID; };
}
const StreamMatch AnyStream = [](const Stream&) { return true; };

// ---- the DA 1.0 interfaces of a group ----

struct DA1Group {
    Group G;
    ComPtr<IDataObject> Data;
    ComPtr<IOPCAsyncIO> Async;
};

struct DA1Outcome {
    HRESULT Result = E_UNEXPECTED;
    DWORD TransactionID = kUnwritten;
    std::vector<HRESULT> Errors;
    bool ErrorsGiven = false;
};

DA1Outcome Read1(IOPCAsyncIO* Async, DWORD Connection, OPCDATASOURCE Source, std::vector<OPCHANDLE> Handles) {
    DA1Outcome Out;
    HRESULT* Errors = nullptr;
    Out.Result = Async->Read(Connection, Source, static_cast<DWORD>(Handles.size()), Handles.data(),
                             &Out.TransactionID, &Errors);
    Out.ErrorsGiven = Errors != nullptr;
    Out.Errors = TakeErrors(Errors, Handles.size());
    return Out;
}

DA1Outcome Write1(IOPCAsyncIO* Async, DWORD Connection, std::vector<OPCHANDLE> Handles,
                  const std::vector<TKoOleVariant>& Values) {
    DA1Outcome Out;
    std::vector<VARIANT> Raw;
    for (const TKoOleVariant& V : Values) Raw.push_back(V.Get()); // the call only reads them
    HRESULT* Errors = nullptr;
    Out.Result = Async->Write(Connection, static_cast<DWORD>(Handles.size()), Handles.data(), Raw.data(),
                              &Out.TransactionID, &Errors);
    Out.ErrorsGiven = Errors != nullptr;
    Out.Errors = TakeErrors(Errors, Handles.size());
    return Out;
}

DA1Outcome Refresh1(IOPCAsyncIO* Async, DWORD Connection, OPCDATASOURCE Source) {
    DA1Outcome Out;
    Out.Result = Async->Refresh(Connection, Source, &Out.TransactionID);
    return Out;
}

FORMATETC FormatEtc(CLIPFORMAT Format) {
    return {Format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
}

class OpcDA1 : public OpcDataChange {
protected:
    DA1Group OpenDA1(const wchar_t* Name, bool Active = true, DWORD Rate = 100) {
        DA1Group D;
        D.G = Open(Name, Active, Rate);
        if (D.G.State) {
            EXPECT_EQ(Hex(D.G.State.As(&D.Data)), Hex(S_OK)) << "IDataObject";
            EXPECT_EQ(Hex(D.G.State.As(&D.Async)), Hex(S_OK)) << "IOPCAsyncIO";
        }
        return D;
    }
    // DAdvise with the test's sink in Format; the connection number.
    HRESULT Advise(IDataObject* Data, CLIPFORMAT Format, DWORD* Connection = nullptr) {
        if (!Sink) Sink = KoAdopt(new AdviseSink(Received));
        FORMATETC F = FormatEtc(Format);
        DWORD Got = kUnwritten;
        const HRESULT Result = Data->DAdvise(&F, ADVF_PRIMEFIRST, Sink.Get(), &Got);
        if (Connection) *Connection = Got;
        return Result;
    }

    std::shared_ptr<Streams> Received = std::make_shared<Streams>();
    ComPtr<AdviseSink> Sink;
};

#define ASSERT_DA1(D) ASSERT_TRUE((D).G.Items && (D).G.Sync && (D).Data && (D).Async) << (D).G.Failure

// ---- the data streams ----

// The first stream after DAdvise carries every active item, laid out as the format asks: two
// items, a float and a three-character string, in the time and the plain format.
TEST_F(OpcDA1, FirstStreamInBothDataFormats) {
    struct TCase {
        const char* Name;
        CLIPFORMAT Format;
        size_t ItemHeader;
        DWORD FirstValue;
    };
    const TCase Cases[] = {{"OPCSTMFORMATDATATIME", kDataTime, 20, 60}, {"OPCSTMFORMATDATA", kData, 12, 44}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        DA1Group D = OpenDA1(L"");
        ASSERT_DA1(D);
        const std::vector<OPCHANDLE> H =
            AddItems(D.G.Items.Get(), {{L"Static.KoFloat1", 11}, {L"Static.KoString1", 12}});
        ASSERT_EQ(H.size(), 2u);
        ASSERT_EQ(Hex(SyncWrite(D.G.Sync.Get(), H[1], TKoOleVariant(std::wstring(L"abc")))), Hex(S_OK));
        const size_t From = Received->Size();
        const ULONGLONG Before = Now();
        DWORD Connection = 0;
        ASSERT_EQ(Hex(Advise(D.Data.Get(), Case.Format, &Connection)), Hex(S_OK));
        EXPECT_EQ(Connection, 1u);
        const long Index = Received->WaitFor(AnyStream, kDueMs, From);
        ASSERT_GE(Index, 0) << "no stream after DAdvise";
        const Stream S = Received->At(Index);

        EXPECT_EQ(S.Format.cfFormat, Case.Format);
        EXPECT_EQ(S.Format.dwAspect, static_cast<DWORD>(DVASPECT_CONTENT));
        EXPECT_EQ(S.Format.lindex, -1);
        EXPECT_EQ(S.Format.tymed, static_cast<DWORD>(TYMED_HGLOBAL));
        EXPECT_EQ(S.MediumTymed, static_cast<DWORD>(TYMED_HGLOBAL));
        EXPECT_FALSE(S.ReleaseObject);
        EXPECT_GE(S.Bytes.size(), 65535u) << "the block";

        EXPECT_EQ(S.Count(), 2u);
        EXPECT_EQ(S.GroupHandle(), kGroupClient);
        EXPECT_EQ(S.TransactionID(), 0u);
        EXPECT_EQ(Hex(S.Status()), Hex(S_OK));
        // The float's VARIANT, then the string's VARIANT, its length (6 bytes), "abc" and a zero.
        EXPECT_EQ(S.ItemHeader(), Case.ItemHeader);
        EXPECT_EQ(S.ValueOffset(0), Case.FirstValue);
        EXPECT_EQ(S.ValueOffset(1), Case.FirstValue + kVariant);
        EXPECT_EQ(S.Size(), Case.FirstValue + 2 * kVariant + 12);
        EXPECT_EQ(S.Client(0), 11u);
        EXPECT_EQ(S.Client(1), 12u);
        EXPECT_EQ(S.Quality(0), kGood);
        EXPECT_EQ(S.Quality(1), kGood);
        EXPECT_EQ(S.Type(0), VT_R8);
        EXPECT_EQ(S.Value(0).dblVal, 0.0);
        EXPECT_EQ(S.Type(1), VT_BSTR);
        EXPECT_EQ(S.StringBytes(1), 6u);
        EXPECT_EQ(Utf8(S.String(1)), "abc");
        EXPECT_EQ(S.At<WORD>(S.ValueOffset(1) + kVariant + 4 + 6), 0) << "the string's terminator";
        if (Case.Format == kDataTime) {
            // The group's time bias is 0: UTC stamps, set when the items were added or written.
            EXPECT_GT(S.Time(0), 0u);
            EXPECT_LE(S.Time(1), S.ArrivalTime);
            EXPECT_GE(S.Time(1) + 10'000'000ull * 60, Before) << "the string's time stamp is far too old";
        }
        EXPECT_EQ(Hex(D.Data->DUnadvise(Connection)), Hex(S_OK));
    }
}

// Reads, writes and refreshes through IOPCAsyncIO: transaction IDs from 101 in the group, each
// result as one stream carrying its ID; a wrong connection takes no ID.
TEST_F(OpcDA1, AsyncIOResultsArriveAsStreams) {
    DA1Group D = OpenDA1(L"");
    ASSERT_DA1(D);
    const std::vector<OPCHANDLE> H =
        AddItems(D.G.Items.Get(), {{L"Static.KoFloat1", 21}, {L"Static.KoInteger1", 22}});
    ASSERT_EQ(H.size(), 2u);
    ASSERT_EQ(Hex(Advise(D.Data.Get(), kData)), Hex(S_OK));
    ASSERT_GE(Received->WaitFor(DataWithID(0), kDueMs), 0) << "no first stream";

    {
        SCOPED_TRACE("connection 2");
        const DA1Outcome Wrong = Read1(D.Async.Get(), 2, OPC_DS_DEVICE, H);
        EXPECT_EQ(Hex(Wrong.Result), Hex(CONNECT_E_NOCONNECTION));
        EXPECT_FALSE(Wrong.ErrorsGiven);
        EXPECT_EQ(Hex(Refresh1(D.Async.Get(), 0, OPC_DS_CACHE).Result), Hex(CONNECT_E_NOCONNECTION));
        EXPECT_EQ(Hex(Write1(D.Async.Get(), 3, {H[0]}, {TKoOleVariant(1.0f)}).Result),
                  Hex(CONNECT_E_NOCONNECTION));
    }

    const DA1Outcome First = Read1(D.Async.Get(), 1, OPC_DS_DEVICE, H);
    EXPECT_EQ(Hex(First.Result), Hex(S_OK));
    EXPECT_EQ(First.TransactionID, 101u) << "the first ID of the group, after calls with a wrong connection";
    EXPECT_EQ(First.Errors, std::vector<HRESULT>({S_OK, S_OK}));
    const long Read101 = Received->WaitFor(DataWithID(101), kDueMs);
    ASSERT_GE(Read101, 0) << "no stream for read 101";
    const Stream R = Received->At(Read101);
    EXPECT_EQ(R.Count(), 2u);
    EXPECT_EQ(R.Client(0), 21u);
    EXPECT_EQ(R.Client(1), 22u);
    EXPECT_EQ(R.Size(), 44 + 2 * kVariant);

    const DA1Outcome Second = Read1(D.Async.Get(), 1, OPC_DS_CACHE, {H[1]});
    EXPECT_EQ(Second.TransactionID, 102u);
    const long Read102 = Received->WaitFor(DataWithID(102), kDueMs);
    ASSERT_GE(Read102, 0) << "no stream for read 102";
    EXPECT_EQ(Received->At(Read102).Count(), 1u);

    // One value written: a 24-byte write-complete stream with the write's result.
    const size_t BeforeWrite = Received->Size();
    const DA1Outcome Written = Write1(D.Async.Get(), 1, {H[0]}, {TKoOleVariant(42.5f)});
    EXPECT_EQ(Hex(Written.Result), Hex(S_OK));
    EXPECT_EQ(Written.TransactionID, 103u);
    EXPECT_EQ(Written.Errors, std::vector<HRESULT>({S_OK}));
    const long Complete = Received->WaitFor(WriteCompleteWithID(103), kDueMs, BeforeWrite);
    ASSERT_GE(Complete, 0) << "no write-complete stream";
    const Stream W = Received->At(Complete);
    EXPECT_EQ(W.Format.cfFormat, kWriteComplete);
    EXPECT_EQ(W.At<DWORD>(0), 1u) << "dwItemCount";
    EXPECT_EQ(W.At<DWORD>(4), kGroupClient) << "hClientGroup";
    EXPECT_EQ(W.At<DWORD>(8), 103u) << "dwTransactionID";
    EXPECT_EQ(Hex(W.At<HRESULT>(12)), Hex(S_OK)) << "hrStatus";
    EXPECT_EQ(W.WriteClient(0), 21u);
    EXPECT_EQ(Hex(W.WriteError(0)), Hex(S_OK));
    // The written value reaches the subscription.
    const StreamMatch Carries42 = [](const Stream& S) {
        if (!S.IsData() || S.TransactionID() != 0) return false;
        for (size_t I = 0; I < S.Count(); ++I)
            if (S.Client(I) == 21 && S.Value(I).vt == VT_R8 && S.Value(I).dblVal == 42.5) return true;
        return false;
    };
    EXPECT_GE(Received->WaitFor(Carries42, kDueMs, BeforeWrite), 0)
        << "no data change with the written value";

    // A refresh carries every active item with its ID.
    const DA1Outcome Refreshed = Refresh1(D.Async.Get(), 1, OPC_DS_CACHE);
    EXPECT_EQ(Hex(Refreshed.Result), Hex(S_OK));
    EXPECT_EQ(Refreshed.TransactionID, 104u);
    const long Refresh104 = Received->WaitFor(DataWithID(104), kDueMs);
    ASSERT_GE(Refresh104, 0) << "no stream for refresh 104";
    EXPECT_EQ(Received->At(Refresh104).Count(), 2u);
    EXPECT_EQ(Received->At(Refresh104).Value(0).dblVal, 42.5);

    EXPECT_EQ(Hex(D.Async->Cancel(104)), Hex(E_FAIL));
    // Per-item errors of a read: an unknown handle.
    const DA1Outcome Mixed = Read1(D.Async.Get(), 1, OPC_DS_CACHE, {H[0], kUnknownHandle});
    EXPECT_EQ(Hex(Mixed.Result), Hex(S_FALSE));
    EXPECT_EQ(Mixed.TransactionID, 105u);
    EXPECT_EQ(Mixed.Errors, std::vector<HRESULT>({S_OK, OPC_E_INVALIDHANDLE}));
}

// Without an advise sink the calls fail, but a call on connection 1 takes its ID all the same;
// a refresh needs an active group.
TEST_F(OpcDA1, CallsWithoutACallback) {
    DA1Group D = OpenDA1(L"", false);
    ASSERT_DA1(D);
    const std::vector<OPCHANDLE> H = AddItems(D.G.Items.Get(), {{L"Static.KoFloat1", 31}});
    ASSERT_EQ(H.size(), 1u);
    const DA1Outcome Read = Read1(D.Async.Get(), 1, OPC_DS_CACHE, H);
    EXPECT_EQ(Hex(Read.Result), Hex(CONNECT_E_NOCONNECTION));
    EXPECT_EQ(Read.TransactionID, 101u);
    EXPECT_FALSE(Read.ErrorsGiven);
    const DA1Outcome Write = Write1(D.Async.Get(), 1, H, {TKoOleVariant(1.0f)});
    EXPECT_EQ(Hex(Write.Result), Hex(CONNECT_E_NOCONNECTION));
    EXPECT_EQ(Write.TransactionID, 102u);
    EXPECT_EQ(Hex(Read1(D.Async.Get(), 7, OPC_DS_CACHE, H).Result), Hex(CONNECT_E_NOCONNECTION));
    ASSERT_EQ(Hex(Advise(D.Data.Get(), kDataTime)), Hex(S_OK));
    const DA1Outcome Inactive = Refresh1(D.Async.Get(), 1, OPC_DS_CACHE);
    EXPECT_EQ(Hex(Inactive.Result), Hex(E_FAIL)) << "a refresh of an inactive group";
    EXPECT_EQ(Inactive.TransactionID, 103u);
    EXPECT_LT(Received->WaitFor(AnyStream, kQuietMs), 0) << "a stream from an inactive group";
}

// One callback per group, of either kind: a second DAdvise and a connection-point sink are
// refused while an advise sink is connected, and the other way round; DUnadvise with any number
// ends the streams.
TEST_F(OpcDA1, OneCallbackOfEitherKind) {
    DA1Group D = OpenDA1(L"");
    ASSERT_DA1(D);
    const std::vector<OPCHANDLE> H = AddItems(D.G.Items.Get(), {{L"Static.KoFloat1", 41}});
    ASSERT_EQ(H.size(), 1u);

    ASSERT_EQ(Hex(Advise(D.Data.Get(), kData)), Hex(S_OK));
    ASSERT_GE(Received->WaitFor(AnyStream, kDueMs), 0) << "no first stream";
    DWORD Second = kUnwritten;
    EXPECT_EQ(Hex(Advise(D.Data.Get(), kDataTime, &Second)), Hex(CONNECT_E_ADVISELIMIT));
    {
        Subscription Refused(D.G.Container.Get(), Calls);
        EXPECT_EQ(Hex(Refused.Result()), Hex(CONNECT_E_ADVISELIMIT))
            << "a data callback beside the advise sink";
    }
    // The advise sink still gets its streams.
    const size_t Before = Received->Size();
    ASSERT_EQ(Hex(SyncWrite(D.G.Sync.Get(), H[0], TKoOleVariant(7.0f))), Hex(S_OK));
    EXPECT_GE(Received->WaitFor(AnyStream, kDueMs, Before), 0) << "the advise sink lost its streams";

    EXPECT_EQ(Hex(D.Data->DUnadvise(77)), Hex(S_OK));
    const size_t AfterUnadvise = Received->Size();
    ASSERT_EQ(Hex(SyncWrite(D.G.Sync.Get(), H[0], TKoOleVariant(8.0f))), Hex(S_OK));
    EXPECT_LT(Received->WaitFor(AnyStream, kQuietMs, AfterUnadvise), 0) << "a stream after DUnadvise";

    // A data callback now, and DAdvise is refused while it is connected.
    Subscription Data(D.G.Container.Get(), Calls);
    ASSERT_SUBSCRIBED(Data);
    EXPECT_EQ(Hex(Advise(D.Data.Get(), kData)), Hex(CONNECT_E_ADVISELIMIT));
    EXPECT_GE(Calls->WaitFor(AnyDataChange, kDueMs), 0) << "the data callback got nothing";
    EXPECT_EQ(Hex(Data.Unadvise()), Hex(S_OK));
    EXPECT_EQ(Hex(Advise(D.Data.Get(), kData)), Hex(S_OK)) << "DAdvise once the data callback left";
    EXPECT_EQ(Hex(D.Data->DUnadvise(1)), Hex(S_OK));
}

// The rest of IDataObject is not implemented.
TEST_F(OpcDA1, OtherDataObjectMethods) {
    DA1Group D = OpenDA1(L"");
    ASSERT_DA1(D);
    IEnumSTATDATA* Advises = nullptr;
    EXPECT_EQ(Hex(D.Data->EnumDAdvise(&Advises)), Hex(E_NOTIMPL));
    EXPECT_EQ(Advises, nullptr);
    IEnumFORMATETC* Formats = nullptr;
    EXPECT_EQ(Hex(D.Data->EnumFormatEtc(DATADIR_GET, &Formats)), Hex(E_NOTIMPL));
    EXPECT_EQ(Formats, nullptr);
    FORMATETC F = FormatEtc(kData);
    STGMEDIUM Medium{};
    EXPECT_EQ(Hex(D.Data->GetData(&F, &Medium)), Hex(E_NOTIMPL));
    EXPECT_EQ(Hex(D.Data->QueryGetData(&F)), Hex(E_NOTIMPL));
    FORMATETC Out{};
    EXPECT_EQ(Hex(D.Data->GetCanonicalFormatEtc(&F, &Out)), Hex(E_NOTIMPL));
    // The group still serves its DA 1.0 client.
    EXPECT_EQ(Hex(Advise(D.Data.Get(), kData)), Hex(S_OK));
    EXPECT_EQ(Hex(D.Data->DUnadvise(1)), Hex(S_OK));
}

// Streams that cannot be built are not sent, and nothing else suffers: a value that is an array,
// and a data change of more items than the block holds. One item fewer fits.
TEST_F(OpcDA1, StreamsThatDoNotFitAreNotSent) {
    DA1Group D = OpenDA1(L"", true, 1000);
    ASSERT_DA1(D);
    const std::vector<OPCHANDLE> H =
        AddItems(D.G.Items.Get(), {{L"Static.KoFloat1", 51}, {L"Random.KoFloatArray1", 52, false}});
    ASSERT_EQ(H.size(), 2u);
    ASSERT_EQ(Hex(Advise(D.Data.Get(), kData)), Hex(S_OK));
    ASSERT_GE(Received->WaitFor(DataWithID(0), kDueMs), 0) << "no first stream";

    const DA1Outcome ArrayRead = Read1(D.Async.Get(), 1, OPC_DS_DEVICE, {H[1]});
    EXPECT_EQ(Hex(ArrayRead.Result), Hex(S_OK));
    const DA1Outcome FloatRead = Read1(D.Async.Get(), 1, OPC_DS_CACHE, {H[0]});
    ASSERT_GE(Received->WaitFor(DataWithID(FloatRead.TransactionID), kDueMs), 0) << "the read after it";
    const long ArrayStream = Received->WaitFor(DataWithID(ArrayRead.TransactionID), 0);
    EXPECT_LT(ArrayStream, 0) << "a stream with an array, of type "
                              << (ArrayStream >= 0 ? Received->At(ArrayStream).Type(0) : 0);
    EXPECT_EQ(Hex(D.Data->DUnadvise(1)), Hex(S_OK));

    // A data stream of n floats takes 20 + n * (12 + VARIANT) bytes: one float more than fits.
    const size_t Fits = (65535 - 20) / (12 + kVariant);
    DA1Group Big = OpenDA1(L"Big", true, 1000);
    ASSERT_DA1(Big);
    std::vector<ItemDef> Defs(Fits + 1, ItemDef{L"Static.KoFloat1", 0});
    for (size_t I = 0; I < Defs.size(); ++I) Defs[I].Client = static_cast<OPCHANDLE>(1000 + I);
    const std::vector<OPCHANDLE> Many = AddItems(Big.G.Items.Get(), Defs);
    ASSERT_EQ(Many.size(), Fits + 1);
    const size_t From = Received->Size();
    ASSERT_EQ(Hex(Advise(Big.Data.Get(), kData)), Hex(S_OK));
    const DA1Outcome TooMany = Refresh1(Big.Async.Get(), 1, OPC_DS_CACHE);
    EXPECT_EQ(Hex(TooMany.Result), Hex(S_OK));
    EXPECT_LT(Received->WaitFor(AnyStream, kQuietMs, From), 0) << "a stream larger than the block";

    ASSERT_EQ(RemoveItems(Big.G.Items.Get(), {Many.back()}).Errors, std::vector<HRESULT>({S_OK}));
    const DA1Outcome Fitting = Refresh1(Big.Async.Get(), 1, OPC_DS_CACHE);
    const long Index = Received->WaitFor(DataWithID(Fitting.TransactionID), kDueMs, From);
    ASSERT_GE(Index, 0) << "no stream of the items that fit";
    const Stream S = Received->At(Index);
    EXPECT_EQ(S.Count(), Fits);
    EXPECT_EQ(S.Size(), 20 + Fits * (12 + kVariant));
    EXPECT_EQ(S.Client(Fits - 1), 1000 + Fits - 1);
    EXPECT_EQ(S.Value(Fits - 1).vt, VT_R8);
}

} // namespace

int main(int argc, char** argv) {
    return kotest::RunClientTests(argc, argv);
}
