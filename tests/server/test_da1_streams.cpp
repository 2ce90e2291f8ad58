// The DA 1.0 streams as a transaction builds them, in a block that ends right before a page
// that must not be touched: a write past the block faults at once. Every case fills the block
// with a pattern first, so the bytes a fill must leave alone can be checked too.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KoOPCProviderTransactions.h"
#include "KoServerObjectTesting.h"

namespace {

using namespace kotest;

constexpr size_t kVariant = sizeof(VARIANT);
constexpr size_t kBlock = KoOPCStreamBlockSize;
constexpr BYTE kPattern = 0xCD;
constexpr OPCHANDLE kGroupHandle = 0x5150;

// Size bytes whose last one is followed by a no-access page.
class GuardedBlock {
public:
    explicit GuardedBlock(size_t Size) {
        SYSTEM_INFO Info{};
        GetSystemInfo(&Info);
        const size_t Page = Info.dwPageSize;
        const size_t Pages = (Size + Page - 1) / Page + 1;
        FBase =
            static_cast<BYTE*>(VirtualAlloc(nullptr, Pages * Page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!FBase) return;
        DWORD Old = 0;
        VirtualProtect(FBase + (Pages - 1) * Page, Page, PAGE_NOACCESS, &Old);
        FData = FBase + (Pages - 1) * Page - Size;
        FSize = Size;
        std::memset(FData, kPattern, Size);
    }
    ~GuardedBlock() {
        if (FBase) VirtualFree(FBase, 0, MEM_RELEASE);
    }
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;

    BYTE* Data() const { return FData; }
    // The first byte from Offset on that no longer holds the pattern, or the block's size.
    size_t FirstTouchedFrom(size_t Offset) const {
        for (size_t I = Offset; I < FSize; ++I)
            if (FData[I] != kPattern) return I;
        return FSize;
    }
    template <class T> T At(size_t Offset) const {
        T Value{};
        std::memcpy(&Value, FData + Offset, sizeof(T));
        return Value;
    }

private:
    BYTE* FBase = nullptr;
    BYTE* FData = nullptr;
    size_t FSize = 0;
};

TKoOleVariant Text(size_t Characters, wchar_t C = L'x') {
    return TKoOleVariant(std::wstring(Characters, C));
}
// A string of an odd number of bytes, as SysAllocStringByteLen makes them.
TKoOleVariant ByteText(UINT Bytes) {
    TKoOleVariant V;
    VARIANT* Raw = V.Receive();
    Raw->vt = VT_BSTR;
    Raw->bstrVal = SysAllocStringByteLen(nullptr, Bytes);
    if (Raw->bstrVal) std::memset(Raw->bstrVal, 'b', Bytes);
    return V;
}
TKoOleVariant NullString() {
    TKoOleVariant V;
    V.Receive()->vt = VT_BSTR; // bstrVal stays null: the empty string
    return V;
}
TKoOleVariant FloatArray(LONG Count) {
    TKoOleVariant V;
    VARIANT* Raw = V.Receive();
    Raw->vt = VT_ARRAY | VT_R4;
    Raw->parray = SafeArrayCreateVector(VT_R4, 0, static_cast<ULONG>(Count));
    return V;
}
std::vector<TKoOleVariant> Floats(size_t Count) {
    std::vector<TKoOleVariant> Values;
    for (size_t I = 0; I < Count; ++I) Values.emplace_back(static_cast<float>(I));
    return Values;
}
template <class... T> std::vector<TKoOleVariant> Values(T&&... V) {
    std::vector<TKoOleVariant> Result;
    (Result.push_back(std::forward<T>(V)), ...);
    return Result;
}

// The bytes a value takes in a data stream: its VARIANT, and for a string its length field, its
// characters and the zero after them.
size_t ValueBytes(const VARIANT& V) {
    return kVariant + (V.vt == VT_BSTR ? 4 + SysStringByteLen(V.bstrVal) + 2 : 0);
}

class DA1Streams : public ServerObjectTest {
protected:
    void SetUp() override {
        ServerObjectTest::SetUp();
        Opc = Connect();
        Added = Add(Opc.Get(), L"Streams");
        ASSERT_EQ(Added.Result, S_OK);
    }
    void TearDown() override {
        Added = {};
        Opc.Reset();
        ServerObjectTest::TearDown();
    }
    // A transaction of the group with one entry per value: client handle 100 + index, quality
    // good, time stamp index + 1; writes have the result E_FAIL for every odd entry.
    std::unique_ptr<TKoOPCProviderTransaction> Build(TKoOPCTransactionKind Kind, DWORD ID,
                                                     const std::vector<TKoOleVariant>& Entries) {
        TKoOPCProviderGroup* Group = &GroupOf(Added.Group);
        std::unique_ptr<TKoOPCProviderTransaction> T =
            Kind == tkWrite ? std::make_unique<TKoOPCProviderWriteTransaction>(Group, ID)
                            : std::make_unique<TKoOPCProviderTransaction>(Group, Kind, ID);
        T->GroupClientHandle = kGroupHandle;
        for (size_t I = 0; I < Entries.size(); ++I) {
            const auto Index = T->AddHandle(static_cast<OPCHANDLE>(100 + I), static_cast<OPCHANDLE>(I + 1));
            T->SetValues(Index, Entries[I].Get());
            T->SetQualities(Index, 0xC0);
            T->SetTimestamps(Index, FILETIME{static_cast<DWORD>(I + 1), 0});
            T->SetErrors(Index, Kind == tkWrite && I % 2 ? E_FAIL : S_OK);
        }
        return T;
    }

    ComPtr<IOPCServer> Opc;
    TAdded Added;
};

// ---- filling the block ----

TEST_F(DA1Streams, DataStreamsFillTheBlockOrNothing) {
    const size_t Timed = (kBlock - 20) / (20 + kVariant); // floats that fit with time stamps
    const UINT ExactFit = static_cast<UINT>(kBlock - 20 - 12 - kVariant - 4 - 2);
    struct TCase {
        const char* Name;
        std::vector<TKoOleVariant> Entries;
        bool WithTime;
        const char* Error; // nullptr: the stream fits
    };
    const TCase Cases[] = {
        {"no entries", {}, true, nullptr},
        {"two floats with time stamps", Floats(2), true, nullptr},
        {"two floats without", Floats(2), false, nullptr},
        {"a three-character string", Values(Text(3)), false, nullptr},
        {"an empty string", Values(Text(0)), false, nullptr},
        {"a null string", Values(NullString()), true, nullptr},
        {"a string between floats", Values(TKoOleVariant(1.5f), Text(5), TKoOleVariant(2.5f)), true, nullptr},
        {"an odd-length byte string filling the block to its last byte", Values(ByteText(ExactFit)), false,
         nullptr},
        {"a byte string one byte longer", Values(ByteText(ExactFit + 1)), false, "needs 65536 bytes"},
        {"a string of 30,000 characters", Values(Text(30000)), true, nullptr},
        {"a string of 40,000 characters", Values(Text(40000)), true, "needs"},
        {"the most floats that fit", Floats(Timed), true, nullptr},
        {"one float more", Floats(Timed + 1), true, "needs"},
        {"100,000 floats", Floats(100000), false, "needs"},
        {"1,000 strings of 100 characters", std::vector<TKoOleVariant>(1000, Text(100)), false, "needs"},
        {"an array among floats", Values(TKoOleVariant(1.0f), FloatArray(3), TKoOleVariant(2.0f)), false,
         "Arrays not supported with DA1"},
        {"an empty array", Values(FloatArray(0)), true, "Arrays not supported with DA1"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const auto T = Build(tkRead, 101, Case.Entries);
        GuardedBlock Block(kBlock);
        ASSERT_TRUE(Block.Data());
        if (Case.Error) {
            try {
                T->FillDA1DataChange(Block.Data(), kBlock, Case.WithTime);
                ADD_FAILURE() << "the fill did not refuse";
            } catch (const EKoError& E) {
                EXPECT_NE(std::string(E.what()).find(Case.Error), std::string::npos) << E.what();
            }
            EXPECT_EQ(Block.FirstTouchedFrom(0), kBlock) << "a refused fill wrote into the block";
            continue;
        }
        const size_t N = Case.Entries.size();
        const size_t Header = Case.WithTime ? 20 : 12;
        size_t Expected = 20 + N * Header;
        for (const TKoOleVariant& V : Case.Entries) Expected += ValueBytes(V.Get());
        const size_t Size = T->FillDA1DataChange(Block.Data(), kBlock, Case.WithTime);
        EXPECT_EQ(Size, Expected);
        EXPECT_EQ(Block.At<DWORD>(0), Expected) << "dwSize";
        EXPECT_EQ(Block.At<DWORD>(4), N) << "dwItemCount";
        EXPECT_EQ(Block.At<DWORD>(8), kGroupHandle) << "hClientGroup";
        EXPECT_EQ(Block.At<DWORD>(12), 101u) << "dwTransactionID";
        EXPECT_EQ(Block.At<HRESULT>(16), S_OK) << "hrStatus";
        EXPECT_EQ(Block.FirstTouchedFrom(Expected), kBlock) << "written past the stream";
        size_t Value = 20 + N * Header;
        for (size_t I = 0; I < N; ++I) {
            const size_t At = 20 + I * Header;
            const VARIANT& V = Case.Entries[I].Get();
            ASSERT_EQ(Block.At<DWORD>(At), 100 + I) << "hClient of " << I;
            ASSERT_EQ(Block.At<DWORD>(At + 4), Value) << "dwValueOffset of " << I;
            ASSERT_EQ(Block.At<WORD>(At + 8), 0xC0) << "wQuality of " << I;
            if (Case.WithTime) {
                ASSERT_EQ(Block.At<FILETIME>(At + 12).dwLowDateTime, I + 1) << "time of " << I;
            }
            ASSERT_EQ(Block.At<VARTYPE>(Value), V.vt) << "value type of " << I;
            if (V.vt == VT_BSTR) {
                const UINT Bytes = SysStringByteLen(V.bstrVal);
                ASSERT_EQ(Block.At<DWORD>(Value + kVariant), Bytes) << "string length of " << I;
                ASSERT_EQ(std::memcmp(Block.Data() + Value + kVariant + 4, V.bstrVal, Bytes), 0);
                ASSERT_EQ(Block.At<WORD>(Value + kVariant + 4 + Bytes), 0) << "terminator of " << I;
            } else if (V.vt == VT_R4) {
                ASSERT_EQ(Block.At<VARIANT>(Value).fltVal, V.fltVal) << "value of " << I;
            }
            Value += ValueBytes(V);
        }
    }
}

TEST_F(DA1Streams, WriteCompleteStreams) {
    const size_t Fits = (kBlock - 16) / 8;
    struct TCase {
        const char* Name;
        std::vector<TKoOleVariant> Entries;
        bool Fits;
    };
    const TCase Cases[] = {
        {"one value", Floats(1), true},
        {"arrays and long strings: values are not part of it", Values(FloatArray(5), Text(40000)), true},
        {"the most results that fit", Floats(Fits), true},
        {"one result more", Floats(Fits + 1), false},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const auto T = Build(tkWrite, 102, Case.Entries);
        GuardedBlock Block(kBlock);
        ASSERT_TRUE(Block.Data());
        if (!Case.Fits) {
            EXPECT_THROW(T->FillDA1DataChange(Block.Data(), kBlock, false), EKoError);
            EXPECT_EQ(Block.FirstTouchedFrom(0), kBlock);
            continue;
        }
        const size_t N = Case.Entries.size();
        EXPECT_EQ(T->FillDA1DataChange(Block.Data(), kBlock, true), 16 + 8 * N);
        EXPECT_EQ(Block.At<DWORD>(0), N) << "dwItemCount";
        EXPECT_EQ(Block.At<DWORD>(4), kGroupHandle) << "hClientGroup";
        EXPECT_EQ(Block.At<DWORD>(8), 102u) << "dwTransactionID";
        EXPECT_EQ(Block.At<HRESULT>(12), N > 1 ? S_FALSE : S_OK) << "hrStatus";
        for (size_t I = 0; I < N; ++I) {
            ASSERT_EQ(Block.At<DWORD>(16 + 8 * I), 100 + I);
            ASSERT_EQ(Block.At<HRESULT>(20 + 8 * I), I % 2 ? E_FAIL : S_OK);
        }
        EXPECT_EQ(Block.FirstTouchedFrom(16 + 8 * N), kBlock) << "written past the stream";
    }
}

// ---- delivery to a sink ----

struct Delivered {
    FORMATETC Format{};
    STGMEDIUM Medium{};
    SIZE_T BlockSize = 0;
    std::vector<BYTE> Bytes;
};

class RecordingSink final : public TKoComObject<IAdviseSink> {
public:
    void STDMETHODCALLTYPE OnDataChange(FORMATETC* F, STGMEDIUM* M) override {
        Delivered D;
        D.Format = *F;
        D.Medium = *M;
        D.BlockSize = GlobalSize(M->hGlobal);
        const BYTE* Data = static_cast<const BYTE*>(GlobalLock(M->hGlobal));
        if (Data) D.Bytes.assign(Data, Data + D.BlockSize);
        GlobalUnlock(M->hGlobal);
        Calls.push_back(std::move(D));
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

    std::vector<Delivered> Calls;
};

// The format follows the advise (time stamps only for the time format, another format gets the
// plain layout under its own number), write results always go as write-complete streams; the
// block is the server's, and none of it holds stale memory.
TEST_F(DA1Streams, DeliveryFormatsAndBlock) {
    const TKoOPCStreamFormats& F = KoOPCStreamFormats();
    EXPECT_NE(F.Data, F.DataTime);
    EXPECT_NE(F.DataTime, F.WriteComplete);
    EXPECT_EQ(F.Data, static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATA")));
    struct TCase {
        const char* Name;
        TKoOPCTransactionKind Kind;
        CLIPFORMAT Advised;
        CLIPFORMAT Sent;
        DWORD Size;
    };
    const DWORD Plain = static_cast<DWORD>(20 + 12 + kVariant),
                Timed = static_cast<DWORD>(20 + 20 + kVariant);
    const TCase Cases[] = {
        {"data change, plain format", tkDataChange, F.Data, F.Data, Plain},
        {"data change, time format", tkDataChange, F.DataTime, F.DataTime, Timed},
        {"read, another format", tkRead, CF_TEXT, CF_TEXT, Plain},
        {"write, time format advised", tkWrite, F.DataTime, F.WriteComplete, 24},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const auto T = Build(Case.Kind, 7, Floats(1));
        ComPtr<RecordingSink> Sink = KoAdopt(new RecordingSink);
        std::wstring Error;
        EXPECT_EQ(T->DispatchToAdviseSink(Sink.Get(), Case.Advised, &Error), S_OK);
        ASSERT_EQ(Sink->Calls.size(), 1u);
        const Delivered& D = Sink->Calls[0];
        EXPECT_EQ(D.Format.cfFormat, Case.Sent);
        EXPECT_EQ(D.Format.ptd, nullptr);
        EXPECT_EQ(D.Format.dwAspect, static_cast<DWORD>(DVASPECT_CONTENT));
        EXPECT_EQ(D.Format.lindex, -1);
        EXPECT_EQ(D.Format.tymed, static_cast<DWORD>(TYMED_HGLOBAL));
        EXPECT_EQ(D.Medium.tymed, static_cast<DWORD>(TYMED_HGLOBAL));
        EXPECT_EQ(D.Medium.pUnkForRelease, nullptr);
        EXPECT_GE(D.BlockSize, kBlock);
        ASSERT_GE(D.Bytes.size(), kBlock);
        DWORD First = 0;
        std::memcpy(&First, D.Bytes.data(), 4);
        EXPECT_EQ(First, Case.Kind == tkWrite ? 1u : Case.Size) << "dwSize, or dwItemCount of a write";
        size_t Stale = 0;
        for (size_t I = Case.Size; I < D.Bytes.size(); ++I) Stale += D.Bytes[I] != 0;
        EXPECT_EQ(Stale, 0u) << "bytes after the stream that are not zero";
    }
}

TEST_F(DA1Streams, StreamsThatCannotBeBuiltAreNotSent) {
    struct TCase {
        const char* Name;
        std::vector<TKoOleVariant> Entries;
        const wchar_t* Error;
    };
    const TCase Cases[] = {
        {"an array", Values(FloatArray(2)), L"Arrays not supported with DA1"},
        {"too many floats", Floats(5000), L"needs"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const auto T = Build(tkDataChange, 0, Case.Entries);
        ComPtr<RecordingSink> Sink = KoAdopt(new RecordingSink);
        std::wstring Error;
        EXPECT_EQ(T->DispatchToAdviseSink(Sink.Get(), KoOPCStreamFormats().Data, &Error), E_FAIL);
        EXPECT_NE(Error.find(Case.Error), std::wstring::npos) << Error;
        EXPECT_TRUE(Sink->Calls.empty()) << "the sink was called";
    }
}

} // namespace
