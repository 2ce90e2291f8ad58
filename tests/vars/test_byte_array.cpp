// The byte array variable: length and offset, the value as a byte array, typed fields in both
// byte and bit orders, update brackets, modified flags, the text form, and accesses outside the
// array, which must fail and leave the bytes untouched.

#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "KoFailures.h"
#include "KoByteArrays.h"
#include "KoClasses.h"
#include "KoUtils.h"
#include "KoVariants.h"

namespace {

using TBytes = std::vector<uint8_t>;
constexpr int32_t MaxInt = std::numeric_limits<int32_t>::max();
constexpr int32_t MinInt = std::numeric_limits<int32_t>::min();

TKoOleVariant VUI1(uint8_t V) {
    return KoVariantOf(V);
}
TKoOleVariant VI2(int16_t V) {
    return KoVariantOf(V);
}
TKoOleVariant VUI2(uint16_t V) {
    return KoVariantOf(V);
}
TKoOleVariant VUI4(uint32_t V) {
    return KoVariantOf(V);
}
TKoOleVariant VI8(int64_t V) {
    return KoVariantOf(V);
}
TKoOleVariant VUI8(uint64_t V) {
    return KoVariantOf(V);
}

// A one-dimensional array with bounds 0 to n - 1, each value converted to the element type.
TKoOleVariant Array(VARTYPE Type, std::initializer_list<double> Values) {
    TKoSafeArray A(Type, {{0, static_cast<LONG>(Values.size()) - 1}});
    LONG I = 0;
    for (double V : Values) {
        KoSafeArrayPutVariant(A.Get(), &I, TKoOleVariant(V));
        ++I;
    }
    return TKoOleVariant::TakeArray(Type, A.Release());
}

TKoOleVariant ByteArray(const TBytes& Bytes) {
    TKoSafeArray A(VT_UI1, {{0, static_cast<LONG>(Bytes.size()) - 1}});
    if (!Bytes.empty()) {
        TKoSafeArrayData Data(A.Get());
        std::memcpy(Data.Data(), Bytes.data(), Bytes.size());
    }
    return TKoOleVariant::TakeArray(VT_UI1, A.Release());
}

// The bytes of a value that must be a byte array with bounds 0 to n - 1.
TBytes BytesOf(const VARIANT& V) {
    EXPECT_EQ(V.vt, VT_ARRAY | VT_UI1);
    if (V.vt != (VT_ARRAY | VT_UI1)) return {};
    LONG Low = -1, High = -2;
    SafeArrayGetLBound(V.parray, 1, &Low);
    SafeArrayGetUBound(V.parray, 1, &High);
    EXPECT_EQ(Low, 0);
    TKoSafeArrayData Data(V.parray);
    const auto* P = static_cast<const uint8_t*>(Data.Data());
    return TBytes(P, P + (High - Low + 1));
}

// The stored bytes, as the value shows them.
TBytes Stored(const TKoByteArray& A) {
    return A.Length() == 0 ? TBytes() : BytesOf(A.GetBytes(A.Offset(), A.Length()));
}

// Gives the array these bytes, good.
void Fill(TKoByteArray& A, const TBytes& Bytes) {
    A.SetLength(static_cast<int32_t>(Bytes.size()));
    A.CopyBytes(A.Offset(), Bytes.data(), static_cast<int32_t>(Bytes.size()), 0);
}

using kotest::FailureOf;
using kotest::TFailure;

void ExpectFailure(const std::function<void()>& Action, const std::wstring& Class,
                   const std::wstring& Message) {
    const auto F = FailureOf(Action);
    ASSERT_TRUE(F.has_value()) << "no error";
    EXPECT_EQ(F->Class, Class);
    EXPECT_EQ(F->Message, Message);
}

class ByteArrayTest : public ::testing::Test {
protected:
    ByteArrayTest() {
        Module.SetName(L"M");
        A = new TKoByteArray(&Module);
        A->SetName(L"KoByteArray1");
        A->OnChange = [this](TKoVar*, TKoVarPropTypes Props) {
            if (Props.Contains(vpValue)) ++Notified;
        };
    }
    TKoComponent Module{nullptr};
    TKoByteArray* A; // owned by Module
    int Notified = 0;
};

TEST_F(ByteArrayTest, NewArrayIsEmptyAndBad) {
    EXPECT_EQ(A->Length(), 0);
    EXPECT_EQ(A->Offset(), 0);
    EXPECT_EQ(A->ByteOrder(), enLittleEndian);
    EXPECT_EQ(A->BitOrder(), enBigEndian);
    EXPECT_TRUE(A->IsBad());
    EXPECT_EQ(A->GetValue().Type(), VT_EMPTY);
    EXPECT_EQ(A->GetPropDataType(vpValue), vdtByte);
    EXPECT_TRUE(A->GetPropIsArray(vpValue));
    EXPECT_FALSE(A->GetPropIsArray(vpCaption));
}

TEST_F(ByteArrayTest, LengthKeepsTheBytesAndGrowingMakesTheValueBadUntilAByteIsWritten) {
    Fill(*A, {1, 2, 3, 4});
    EXPECT_TRUE(A->IsGood());
    EXPECT_EQ(BytesOf(A->GetValue()), (TBytes{1, 2, 3, 4}));

    A->SetLength(6);
    EXPECT_TRUE(A->IsBad());
    EXPECT_EQ(A->GetValue().Type(), VT_EMPTY); // bad quality gives an empty value
    EXPECT_EQ(Stored(*A), (TBytes{1, 2, 3, 4, 0, 0}));
    A->SetByte(4, 9);
    EXPECT_TRUE(A->IsGood());
    EXPECT_EQ(BytesOf(A->GetValue()), (TBytes{1, 2, 3, 4, 9, 0}));

    // Shrinking a good array is a change of its value.
    Notified = 0;
    A->SetLength(2);
    EXPECT_TRUE(A->IsGood());
    EXPECT_EQ(Notified, 1);
    EXPECT_EQ(BytesOf(A->GetValue()), (TBytes{1, 2}));

    // The modified flags follow the length.
    A->SetLength(3);
    EXPECT_FALSE(A->GetIsByteModified(2));
    EXPECT_THROW(A->GetIsByteModified(3), EKoByteArrayException);

    A->SetLength(0);
    EXPECT_EQ(A->Length(), 0);
    EXPECT_TRUE(A->IsBad());
    EXPECT_EQ(A->GetValue().Type(), VT_EMPTY);
    A->SetLength(-5);
    EXPECT_EQ(A->Length(), 0);
}

TEST_F(ByteArrayTest, ValueIsAByteArrayAndAnyWrittenValueBecomesItsRawBytes) {
    struct Case {
        const char* Name;
        TKoOleVariant Value;
        TBytes Expected;
    };
    const Case Cases[] = {
        {"byte array", ByteArray({5, 6, 7}), {5, 6, 7}},
        {"16-bit array, two bytes per element", Array(VT_I2, {0x0102, -1}), {0x02, 0x01, 0xFF, 0xFF}},
        {"32-bit integer", TKoOleVariant(int32_t{0x12345678}), {0x78, 0x56, 0x34, 0x12}},
        {"double", TKoOleVariant(1.0), {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {"text, one byte per character", TKoOleVariant(L"AB\u00e9"), {0x41, 0x42, 0xE9}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoByteArray V(nullptr);
        V.SetOffset(100); // the value covers the array whatever its first index
        V.SetValue(C.Value);
        EXPECT_TRUE(V.IsGood());
        EXPECT_EQ(V.Length(), static_cast<int32_t>(C.Expected.size()));
        EXPECT_EQ(BytesOf(V.GetValue()), C.Expected);
        EXPECT_TRUE(V.IsModified());
        EXPECT_TRUE(V.GetIsByteModified(100));
    }

    // The same bytes in another element type are a change; the same byte array is none.
    A->SetValue(ByteArray({1, 2}));
    Notified = 0;
    A->SetValue(Array(VT_I2, {1, 2}));
    EXPECT_EQ(Notified, 1);
    EXPECT_EQ(BytesOf(A->GetValue()), (TBytes{1, 0, 2, 0}));
    A->SetValue(ByteArray({1, 0, 2, 0}));
    EXPECT_EQ(Notified, 1);

    // An array without elements is a bad value.
    A->SetValue(ByteArray({}));
    EXPECT_TRUE(A->IsBad());
    EXPECT_EQ(A->GetValue().Type(), VT_EMPTY);
}

TEST_F(ByteArrayTest, ReadOnlyValueRefusesClientWrites) {
    Fill(*A, {1, 2});
    A->SetReadOnly(true);
    EXPECT_THROW(A->SetValue(ByteArray({7, 7, 7})), EKoReadOnly);
    EXPECT_EQ(Stored(*A), (TBytes{1, 2}));
}

TEST_F(ByteArrayTest, MultiByteFieldsInBothByteOrders) {
    struct Case {
        const char* Name;
        TKoEndian Order;
        int Size;
        uint64_t Value;
        TBytes Expected; // from position 2 on
    };
    const Case Cases[] = {
        {"word, little endian", enLittleEndian, 2, 0x1234, {0x34, 0x12}},
        {"word, big endian", enBigEndian, 2, 0x1234, {0x12, 0x34}},
        {"long word, little endian", enLittleEndian, 4, 0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {"long word, big endian", enBigEndian, 4, 0x12345678, {0x12, 0x34, 0x56, 0x78}},
        {"int64, little endian", enLittleEndian, 8, 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}},
        {"int64, big endian", enBigEndian, 8, 0x0102030405060708, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoByteArray V(nullptr);
        V.SetOffset(10);
        V.SetByteOrder(C.Order);
        Fill(V, TBytes(12, 0));
        int Count = 0;
        V.OnChange = [&](TKoVar*, TKoVarPropTypes) { ++Count; };
        uint64_t Read = 0;
        switch (C.Size) {
        case 2:
            V.SetWord(12, static_cast<uint16_t>(C.Value));
            Read = V.GetWord(12);
            break;
        case 4:
            V.SetLongWord(12, static_cast<uint32_t>(C.Value));
            Read = V.GetLongWord(12);
            break;
        default:
            V.SetInt64(12, static_cast<int64_t>(C.Value));
            Read = static_cast<uint64_t>(V.GetInt64(12));
        }
        EXPECT_EQ(Count, 1); // one notification for the whole field
        EXPECT_EQ(Read, C.Value);
        TBytes Expected(12, 0);
        std::copy(C.Expected.begin(), C.Expected.end(), Expected.begin() + 2);
        EXPECT_EQ(Stored(V), Expected);
    }
}

TEST_F(ByteArrayTest, BitOrderReversesTheBitsOfEachByte) {
    const std::pair<uint8_t, uint8_t> Switched[] = {{0x01, 0x80}, {0xF0, 0x0F}, {0x12, 0x48}, {0xA5, 0xA5}};
    for (const auto& [In, Out] : Switched) EXPECT_EQ(TKoByteArray::SwitchBits(In), Out) << int(In);

    Fill(*A, {0, 0});
    A->SetBitOrder(enLittleEndian);
    A->SetByte(0, 1);
    EXPECT_EQ(Stored(*A), (TBytes{0x80, 0}));
    EXPECT_EQ(A->GetByte(0), 1);
    // Bit numbers count in the byte as the bit order shows it.
    EXPECT_TRUE(A->GetAsDataType(dtBit, false, 0, 0, 0).Get().boolVal);
    A->SetAsDataType(TKoOleVariant(true), dtBit, false, 1, 1);
    EXPECT_EQ(Stored(*A), (TBytes{0x80, 0x40}));

    A->SetBitOrder(enBigEndian);
    A->SetByte(1, 1);
    EXPECT_EQ(Stored(*A), (TBytes{0x80, 0x01}));
}

TEST_F(ByteArrayTest, TypedFieldsReadInBothByteOrders) {
    const double Bad = KoBadFloat;
    struct Case {
        const char* Name;
        TBytes Bytes;
        TKoEndian Order;
        TKoDataType Type;
        bool Signed;
        int Pos, Bit, Size;
        TKoOleVariant Expected;
    };
    const Case Cases[] = {
        {"bit set", {0x02}, enLittleEndian, dtBit, false, 0, 1, 0, TKoOleVariant(true)},
        {"bit clear", {0x02}, enLittleEndian, dtBit, false, 0, 0, 0, TKoOleVariant(false)},
        {"byte is unsigned even when signed", {0xFE}, enLittleEndian, dtByte, true, 0, 0, 0, VUI1(254)},
        {"int16 LE signed", {0xFE, 0xFF}, enLittleEndian, dtInt16, true, 0, 0, 0, VI2(-2)},
        {"int16 LE unsigned", {0xFE, 0xFF}, enLittleEndian, dtInt16, false, 0, 0, 0, VUI2(65534)},
        {"int16 BE signed", {0xFF, 0xFE}, enBigEndian, dtInt16, true, 0, 0, 0, VI2(-2)},
        {"int16 at a later byte", {0, 0x34, 0x12}, enLittleEndian, dtInt16, false, 1, 0, 0, VUI2(0x1234)},
        {"int24 LE", {1, 2, 3}, enLittleEndian, dtInt24, false, 0, 0, 0, TKoOleVariant(int32_t{0x030201})},
        {"int24 BE", {1, 2, 3}, enBigEndian, dtInt24, false, 0, 0, 0, TKoOleVariant(int32_t{0x010203})},
        {"int24 unsigned",
         {0xFF, 0xFF, 0xFF},
         enLittleEndian,
         dtInt24,
         false,
         0,
         0,
         0,
         TKoOleVariant(int32_t{0xFFFFFF})},
        {"int24 signed -1",
         {0xFF, 0xFF, 0xFF},
         enLittleEndian,
         dtInt24,
         true,
         0,
         0,
         0,
         TKoOleVariant(int32_t{-1})},
        {"int24 signed lowest",
         {0x80, 0, 0},
         enBigEndian,
         dtInt24,
         true,
         0,
         0,
         0,
         TKoOleVariant(int32_t{-8388608})},
        {"int32 LE",
         {0x78, 0x56, 0x34, 0x12},
         enLittleEndian,
         dtInt32,
         true,
         0,
         0,
         0,
         TKoOleVariant(int32_t{0x12345678})},
        {"int32 BE",
         {0x12, 0x34, 0x56, 0x78},
         enBigEndian,
         dtInt32,
         true,
         0,
         0,
         0,
         TKoOleVariant(int32_t{0x12345678})},
        {"int32 unsigned",
         {0xFF, 0xFF, 0xFF, 0xFF},
         enLittleEndian,
         dtInt32,
         false,
         0,
         0,
         0,
         VUI4(0xFFFFFFFF)},
        {"int32 signed",
         {0xFF, 0xFF, 0xFF, 0xFF},
         enLittleEndian,
         dtInt32,
         true,
         0,
         0,
         0,
         TKoOleVariant(int32_t{-1})},
        {"float32 LE", {0, 0, 0xC0, 0x3F}, enLittleEndian, dtFloat32, true, 0, 0, 0, TKoOleVariant(1.5)},
        {"float32 BE", {0x3F, 0xC0, 0, 0}, enBigEndian, dtFloat32, true, 0, 0, 0, TKoOleVariant(1.5)},
        {"float32 NaN", {0, 0, 0xC0, 0x7F}, enLittleEndian, dtFloat32, true, 0, 0, 0, TKoOleVariant(Bad)},
        {"int64 LE",
         {8, 7, 6, 5, 4, 3, 2, 1},
         enLittleEndian,
         dtInt64,
         true,
         0,
         0,
         0,
         VI8(0x0102030405060708)},
        {"int64 BE", {1, 2, 3, 4, 5, 6, 7, 8}, enBigEndian, dtInt64, true, 0, 0, 0, VI8(0x0102030405060708)},
        {"int64 unsigned", TBytes(8, 0xFF), enLittleEndian, dtInt64, false, 0, 0, 0,
         VUI8(std::numeric_limits<uint64_t>::max())},
        {"int64 signed", TBytes(8, 0xFF), enLittleEndian, dtInt64, true, 0, 0, 0, VI8(-1)},
        {"float64 LE",
         {0, 0, 0, 0, 0, 0, 0xF8, 0x3F},
         enLittleEndian,
         dtFloat64,
         true,
         0,
         0,
         0,
         TKoOleVariant(1.5)},
        {"float64 BE",
         {0x3F, 0xF8, 0, 0, 0, 0, 0, 0},
         enBigEndian,
         dtFloat64,
         true,
         0,
         0,
         0,
         TKoOleVariant(1.5)},
        {"float64 NaN",
         {0, 0, 0, 0, 0, 0, 0xF8, 0x7F},
         enLittleEndian,
         dtFloat64,
         true,
         0,
         0,
         0,
         TKoOleVariant(Bad)},
        {"text of a size", {'H', 'i', '!'}, enLittleEndian, dtString, false, 0, 0, 2, TKoOleVariant(L"Hi")},
        {"text to the end", {'H', 'i', '!'}, enLittleEndian, dtString, false, 1, 0, 0, TKoOleVariant(L"i!")},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoByteArray V(nullptr);
        V.SetOffset(50); // byte indices are absolute
        V.SetByteOrder(C.Order);
        Fill(V, C.Bytes);
        const TKoOleVariant R = V.GetAsDataType(C.Type, C.Signed, 50 + C.Pos, C.Bit, C.Size);
        EXPECT_EQ(R.Type(), C.Expected.Type());
        EXPECT_TRUE(VariantsEqual(R, C.Expected, true)) << KoUtf8(VariantToText(R, true));
    }
}

TEST_F(ByteArrayTest, TypedFieldsWriteInBothByteOrders) {
    struct Case {
        const char* Name;
        TKoEndian Order;
        TKoDataType Type;
        TKoOleVariant Value;
        int Pos, Bit;
        TBytes Before, Expected;
    };
    const TBytes Zero(4, 0);
    const Case Cases[] = {
        {"set a bit", enLittleEndian, dtBit, TKoOleVariant(true), 1, 3, Zero, {0, 0x08, 0, 0}},
        {"clear a bit",
         enLittleEndian,
         dtBit,
         TKoOleVariant(false),
         1,
         3,
         TBytes(4, 0xFF),
         {0xFF, 0xF7, 0xFF, 0xFF}},
        {"byte takes the low 8 bits",
         enLittleEndian,
         dtByte,
         TKoOleVariant(int32_t{0x1FF}),
         0,
         0,
         Zero,
         {0xFF, 0, 0, 0}},
        {"int16 LE", enLittleEndian, dtInt16, TKoOleVariant(int32_t{-2}), 1, 0, Zero, {0, 0xFE, 0xFF, 0}},
        {"int16 BE", enBigEndian, dtInt16, TKoOleVariant(int32_t{-2}), 1, 0, Zero, {0, 0xFF, 0xFE, 0}},
        {"int32 rounds a half up", enLittleEndian, dtInt32, TKoOleVariant(2.5), 0, 0, Zero, {3, 0, 0, 0}},
        {"int32 rounds a negative half down",
         enLittleEndian,
         dtInt32,
         TKoOleVariant(-2.5),
         0,
         0,
         Zero,
         {0xFD, 0xFF, 0xFF, 0xFF}},
        {"int32 BE",
         enBigEndian,
         dtInt32,
         TKoOleVariant(int32_t{0x12345678}),
         0,
         0,
         Zero,
         {0x12, 0x34, 0x56, 0x78}},
        {"float32 LE", enLittleEndian, dtFloat32, TKoOleVariant(1.5), 0, 0, Zero, {0, 0, 0xC0, 0x3F}},
        {"float32 BE", enBigEndian, dtFloat32, TKoOleVariant(1.5), 0, 0, Zero, {0x3F, 0xC0, 0, 0}},
        {"text", enLittleEndian, dtString, TKoOleVariant(L"Hi"), 1, 0, Zero, {0, 'H', 'i', 0}},
        {"int64 of an unsigned 64-bit value", enLittleEndian, dtInt64, VUI8(0xFFFFFFFFFFFFFFFF), 0, 0,
         TBytes(8, 0), TBytes(8, 0xFF)},
        {"float64 BE",
         enBigEndian,
         dtFloat64,
         TKoOleVariant(1.5),
         0,
         0,
         TBytes(8, 0),
         {0x3F, 0xF8, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoByteArray V(nullptr);
        V.SetOffset(-3);
        V.SetByteOrder(C.Order);
        Fill(V, C.Before);
        int Count = 0;
        V.OnChange = [&](TKoVar*, TKoVarPropTypes) { ++Count; };
        V.SetAsDataType(C.Value, C.Type, true, -3 + C.Pos, C.Bit);
        EXPECT_EQ(Stored(V), C.Expected);
        EXPECT_EQ(Count, 1);
        EXPECT_TRUE(V.IsGood());
    }
}

TEST_F(ByteArrayTest, UnsupportedFieldTypesAndEmptyValuesFail) {
    Fill(*A, TBytes(8, 0));
    ExpectFailure([&] { A->SetAsDataType(TKoOleVariant(), dtByte, false, 0, 0); }, L"EKoException",
                  L"SetAsDataType: Value is not a valid variant");
    ExpectFailure([&] { A->SetAsDataType(TKoOleVariant::Null(), dtByte, false, 0, 0); }, L"EKoException",
                  L"SetAsDataType: Value is not a valid variant");
    ExpectFailure([&] { A->SetAsDataType(TKoOleVariant(int32_t{1}), dtInt24, false, 0, 0); }, L"EKoException",
                  L"SetAsDataType: Unsupported DataType");
    ExpectFailure([&] { A->GetAsDataType(static_cast<TKoDataType>(42), false, 0, 0, 0); }, L"EKoException",
                  L"GetAsDataType: Unsupported DataType");
    ExpectFailure([&] { A->SetPropAsDataType(vpValue, TKoOleVariant(int32_t{1}), vdtVariant); },
                  L"EKoException", L"Unsupported DataType");
    // Asking for a type the byte array has no field for converts the array itself, which it cannot.
    ExpectFailure([&] { A->GetPropAsDataType(vpValue, vdtUInt64); }, L"EKoException",
                  L"TKoByteArray.GetVarPropValueAsDataTypeGood not implemented for arrays");
    EXPECT_EQ(Stored(*A), TBytes(8, 0));
}

// Offset 100, Length 16, bytes 1 to 16: every access outside fails with its error and changes
// neither the bytes nor anything a listener would hear of.
TEST_F(ByteArrayTest, AccessesOutsideTheArrayFailAndTouchNothing) {
    const std::wstring Index = L"EKoByteArrayException";
    const auto OutOfBounds = [](const std::wstring& I) {
        return L"M.KoByteArray1: Byte Index out of bounds: " + I + L" (valid range, 100-115)";
    };
    const std::wstring Exceeded = L"TKoByteArray.CopyBytes : array bounds exceeded";
    const auto ClearError = [](int Pos, int Length) {
        return KoFormat(L"TKoByteArray.ClearBytes: Index out of bounds: %d (Length=%d)", Pos, Length);
    };
    const uint8_t Source[32] = {};
    TKoByteArray Short(nullptr);
    Fill(Short, {1, 2, 3, 4});

    struct Case {
        const char* Name;
        std::function<void(TKoByteArray&)> Action;
        std::wstring Class, Message;
    };
    const Case Cases[] = {
        {"byte below Offset", [](TKoByteArray& V) { V.GetByte(99); }, Index, OutOfBounds(L"99")},
        {"byte past the end", [](TKoByteArray& V) { V.GetByte(116); }, Index, OutOfBounds(L"116")},
        {"lowest index", [](TKoByteArray& V) { V.GetByte(MinInt); }, Index, OutOfBounds(L"-2147483648")},
        {"write below Offset", [](TKoByteArray& V) { V.SetByte(99, 0); }, Index, OutOfBounds(L"99")},
        {"word over the end", [](TKoByteArray& V) { V.GetWord(115); }, Index, OutOfBounds(L"116")},
        {"word written over the end", [](TKoByteArray& V) { V.SetWord(115, 0xFFFF); }, Index,
         OutOfBounds(L"116")},
        {"long word over the end", [](TKoByteArray& V) { V.SetLongWord(113, 0xFFFFFFFF); }, Index,
         OutOfBounds(L"116")},
        {"int64 over the end", [](TKoByteArray& V) { V.SetInt64(109, -1); }, Index, OutOfBounds(L"116")},
        {"int64 at the highest index", [](TKoByteArray& V) { V.GetInt64(MaxInt); }, Index,
         OutOfBounds(L"2147483647")},
        {"bit number 8", [](TKoByteArray& V) { V.GetAsDataType(dtBit, false, 100, 8, 0); }, Index,
         L"M.KoByteArray1: Bit number out of bounds: 8 (valid range, 0-7)"},
        {"negative bit number", [](TKoByteArray& V) { V.GetAsDataType(dtBit, false, 100, -1, 0); }, Index,
         L"M.KoByteArray1: Bit number out of bounds: -1 (valid range, 0-7)"},
        {"bit number 8 written",
         [](TKoByteArray& V) { V.SetAsDataType(TKoOleVariant(true), dtBit, false, 100, 8); }, Index,
         L"M.KoByteArray1: Bit number out of bounds: 8 (valid range, 0-7)"},
        {"text longer than the rest", [](TKoByteArray& V) { V.GetAsDataType(dtString, false, 100, 0, 17); },
         Index, OutOfBounds(L"116")},
        {"text of a negative size", [](TKoByteArray& V) { V.GetAsDataType(dtString, false, 100, 0, -1); },
         Index, L"M.KoByteArray1: Invalid byte count: -1"},
        {"rest of the text past the end",
         [](TKoByteArray& V) { V.GetAsDataType(dtString, false, 116, 0, 0); }, Index, OutOfBounds(L"116")},
        {"text written over the end",
         [](TKoByteArray& V) { V.SetAsDataType(TKoOleVariant(L"abc"), dtString, false, 114, 0); }, Index,
         OutOfBounds(L"116")},
        {"copy starting below Offset", [&](TKoByteArray& V) { V.CopyBytes(99, Source, 2, 0); }, Index,
         OutOfBounds(L"99")},
        {"copy past the end", [&](TKoByteArray& V) { V.CopyBytes(110, Source, 7, 0); }, L"EKoError",
         Exceeded},
        {"copy whose end overflows 32 bits", [&](TKoByteArray& V) { V.CopyBytes(115, Source, MaxInt, 0); },
         L"EKoError", Exceeded},
        {"copy of a negative count", [&](TKoByteArray& V) { V.CopyBytes(100, Source, -1, 0); }, Index,
         L"M.KoByteArray1: Invalid byte count: -1"},
        {"bytes starting below Offset", [](TKoByteArray& V) { V.GetBytes(99, 2); }, Index,
         OutOfBounds(L"99")},
        {"bytes past the end", [](TKoByteArray& V) { V.GetBytes(110, 10); }, Index, OutOfBounds(L"116")},
        {"bytes whose end overflows 32 bits", [](TKoByteArray& V) { V.GetBytes(100, MaxInt); }, Index,
         OutOfBounds(L"116")},
        {"byte string below Offset", [](TKoByteArray& V) { V.GetBytesToString(99, 1); }, Index,
         OutOfBounds(L"99")},
        {"array written below Offset",
         [](TKoByteArray& V) {
             V.SetBytes(99, ByteArray({1, 2}));
         },
         Index, OutOfBounds(L"99")},
        {"array written past the end", [](TKoByteArray& V) { V.SetBytes(100, ByteArray(TBytes(17, 1))); },
         L"EKoError", Exceeded},
        {"flag past the end", [](TKoByteArray& V) { V.GetIsByteModified(116); }, Index, OutOfBounds(L"116")},
        {"flag set below Offset", [](TKoByteArray& V) { V.SetIsByteModified(99, true); }, Index,
         OutOfBounds(L"99")},
        {"clear up to Length", [](TKoByteArray& V) { V.ClearBytes(0, 16, 0); }, L"EKoRangeError",
         ClearError(16, 16)},
        {"clear from a negative position", [](TKoByteArray& V) { V.ClearBytes(-1, 3, 0); }, L"EKoRangeError",
         ClearError(-1, 16)},
        {"copy from a shorter array", [&](TKoByteArray& V) { V.CopyFrom(&Short, 0, 5, 0); }, L"EKoRangeError",
         ClearError(5, 4)},
        {"text with a number above 255", [](TKoByteArray& V) { V.CSVToBytes(L"1,256", L','); },
         L"EKoRangeError", L"M.KoByteArray1: Byte value out of range: 256 (valid range, 0-255)"},
        {"text with a negative number", [](TKoByteArray& V) { V.CSVToBytes(L"-1", L','); }, L"EKoRangeError",
         L"M.KoByteArray1: Byte value out of range: -1 (valid range, 0-255)"},
    };
    TBytes Original;
    for (uint8_t I = 1; I <= 16; ++I) Original.push_back(I);
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        A->SetOffset(100);
        Fill(*A, Original);
        A->SetIsModified(false);
        Notified = 0;
        ExpectFailure([&] { C.Action(*A); }, C.Class, C.Message);
        EXPECT_EQ(Stored(*A), Original);
        EXPECT_FALSE(A->IsModified());
        EXPECT_TRUE(A->IsGood());
        EXPECT_EQ(Notified, 0);
        EXPECT_EQ(A->UpdateCount(), 0); // every bracket closed
    }
}

TEST_F(ByteArrayTest, IndicesNearTheTop32BitNumberDoNotWrapAround) {
    A->SetOffset(MaxInt - 3);
    Fill(*A, TBytes(8, 0)); // the last four bytes have no 32-bit index
    EXPECT_NO_THROW(A->SetByte(MaxInt, 7));
    EXPECT_EQ(A->GetByte(MaxInt), 7);
    ExpectFailure(
        [&] { A->GetWord(MaxInt); }, L"EKoByteArrayException",
        L"M.KoByteArray1: Byte Index out of bounds: 2147483648 (valid range, 2147483644-2147483651)");
    ExpectFailure(
        [&] { A->SetInt64(MaxInt - 3, -1); }, L"EKoByteArrayException",
        L"M.KoByteArray1: Byte Index out of bounds: 2147483648 (valid range, 2147483644-2147483651)");
    EXPECT_EQ(Stored(*A), (TBytes{0, 0, 0, 7, 0, 0, 0, 0}));
}

TEST_F(ByteArrayTest, UpdateBracketOfPerByteWritesNotifiesOnce) {
    Fill(*A, TBytes(16, 0));
    Notified = 0;
    A->BeginUpdate();
    for (int32_t I = 0; I < 16; ++I) A->SetByte(I, static_cast<uint8_t>(I + 100));
    EXPECT_EQ(Notified, 0);
    A->EndUpdate();
    EXPECT_EQ(Notified, 1);
    EXPECT_EQ(A->GetByte(15), 115);

    // A byte equal to the stored one changes nothing on a good array.
    const double Stamp = A->TimeStamp();
    Sleep(2);
    A->SetByte(3, 103);
    EXPECT_EQ(Notified, 1);
    EXPECT_EQ(A->TimeStamp(), Stamp);

    // Each write of its own notifies by itself.
    A->SetByte(3, 1);
    A->SetByte(4, 1);
    EXPECT_EQ(Notified, 3);
}

TEST_F(ByteArrayTest, ModifiedFlagsFollowWritesAndClearing) {
    Fill(*A, {1, 2, 3, 4, 5});
    A->SetIsModified(false);
    EXPECT_FALSE(A->GetIsByteModified(0));
    A->SetByte(1, 9);
    EXPECT_TRUE(A->IsModified());
    EXPECT_TRUE(A->GetIsByteModified(1));
    EXPECT_FALSE(A->GetIsByteModified(2));
    A->CopyBytes(3, "\x07\x07", 2, 0);
    EXPECT_TRUE(A->GetIsByteModified(3));
    EXPECT_TRUE(A->GetIsByteModified(4));

    Notified = 0;
    A->ClearBytes(2, 3, 0);
    EXPECT_EQ(Stored(*A), (TBytes{1, 9, 0, 0, 7}));
    EXPECT_FALSE(A->IsModified());
    for (int32_t I = 0; I < 5; ++I) EXPECT_FALSE(A->GetIsByteModified(I)) << I;
    EXPECT_EQ(Notified, 1);

    // A negative last position clears to the end, and the value becomes good, stamped now.
    A->SetLength(7);
    EXPECT_TRUE(A->IsBad());
    A->ClearBytes(0, -1, 0);
    EXPECT_EQ(Stored(*A), TBytes(7, 0));
    EXPECT_TRUE(A->IsGood());
    EXPECT_GT(A->TimeStamp(), 0);
}

TEST_F(ByteArrayTest, TextFormRoundTripsInEitherBitOrder) {
    const std::wstring Sep(1, KoListSeparator().empty() ? L',' : KoListSeparator()[0]);
    for (const TKoEndian BitOrder : {enBigEndian, enLittleEndian}) {
        SCOPED_TRACE(BitOrder == enBigEndian ? "big endian bits" : "little endian bits");
        TKoByteArray Source(nullptr), Dest(nullptr);
        Source.SetBitOrder(BitOrder);
        Dest.SetBitOrder(BitOrder);
        Fill(Source, {1, 2, 255});
        const std::wstring Text = Source.GetPropAsString(vpValue);
        EXPECT_EQ(Text, L"1" + Sep + L"2" + Sep + L"255");
        Dest.SetPropAsString(vpValue, Text);
        EXPECT_EQ(Stored(Dest), (TBytes{1, 2, 255}));
        EXPECT_TRUE(Dest.IsGood());
    }
    A->CSVToBytes(L"$10;0x20; 7", L';');
    EXPECT_EQ(Stored(*A), (TBytes{16, 32, 7}));
    EXPECT_EQ(A->BytesToCSV(L';'), L"16;32;7");
}

TEST_F(ByteArrayTest, ValueReadInARequestedDataType) {
    struct Case {
        const char* Name;
        TBytes Bytes;
        TKoEndian Order;
        TKoVarDataType DataType;
        TKoOleVariant Expected;
    };
    const Case Cases[] = {
        {"integer LE",
         {0x78, 0x56, 0x34, 0x12},
         enLittleEndian,
         vdtInteger,
         TKoOleVariant(int32_t{0x12345678})},
        {"integer BE", {0x78, 0x56, 0x34, 0x12}, enBigEndian, vdtInteger, TKoOleVariant(int32_t{0x78563412})},
        {"smallint", {0xFE, 0xFF}, enLittleEndian, vdtSmallint, VI2(-2)},
        {"word", {0xFE, 0xFF}, enLittleEndian, vdtWord, VUI2(65534)},
        {"long word", {0xFF, 0xFF, 0xFF, 0xFF}, enLittleEndian, vdtLongWord, VUI4(0xFFFFFFFF)},
        {"int64", {8, 7, 6, 5, 4, 3, 2, 1}, enLittleEndian, vdtInt64, VI8(0x0102030405060708)},
        {"byte", {0xFE, 1}, enLittleEndian, vdtByte, VUI1(254)},
        {"single comes as a double", {0, 0, 0xC0, 0x3F}, enLittleEndian, vdtSingle, TKoOleVariant(1.5)},
        {"text of the whole array", {'H', 'i'}, enLittleEndian, vdtOleStr, TKoOleVariant(L"Hi")},
        {"variant is the array itself", {3, 4}, enLittleEndian, vdtVariant, ByteArray({3, 4})},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoByteArray V(nullptr);
        V.SetOffset(7); // fields are read from the first byte
        V.SetByteOrder(C.Order);
        Fill(V, C.Bytes);
        const TKoOleVariant R = V.GetPropAsDataType(vpValue, C.DataType);
        EXPECT_EQ(R.Type(), C.Expected.Type());
        EXPECT_TRUE(VariantsEqual(R, C.Expected, true)) << KoUtf8(VariantToText(R, true));
    }
}

TEST_F(ByteArrayTest, ValueAsNumberDependsOnTheLength) {
    struct Case {
        TBytes Bytes;
        TKoEndian Order;
        int32_t Integer;
        double Float;
    };
    const Case Cases[] = {
        {{0xFE}, enLittleEndian, 254, 254},
        {{0xFE, 0xFF}, enLittleEndian, -2, -2},
        {{0xFF, 0xFF, 0xFF}, enLittleEndian, -1, -1},
        {{1, 2, 3}, enLittleEndian, 0x030201, 0x030201},
        {{1, 2, 3}, enBigEndian, 0x010203, 0x010203},
        {{0, 0, 0xC0, 0x3F}, enLittleEndian, 0x3FC00000, 1.5},
        {{0, 0, 0xC0, 0x3F, 9}, enLittleEndian, 0x3FC00000, 1.5},
        {{0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, enLittleEndian, 0, 1.5},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Bytes.size());
        TKoByteArray V(nullptr);
        V.SetOffset(3);
        V.SetByteOrder(C.Order);
        Fill(V, C.Bytes);
        EXPECT_EQ(V.GetPropAsInteger(vpValue), C.Integer);
        EXPECT_EQ(V.GetPropAsFloat(vpValue), C.Float);
        EXPECT_EQ(V.GetPropAsDateTime(vpValue), C.Float);
    }
    // A bad array reads as the bad values.
    EXPECT_EQ(A->GetPropAsInteger(vpValue), KoBadInteger);
    EXPECT_EQ(A->GetPropAsFloat(vpValue), KoBadFloat);
    EXPECT_EQ(A->GetPropAsString(vpValue), L"#BAD");
}

TEST_F(ByteArrayTest, ValueWrittenInADataTypeBecomesItsFields) {
    struct Case {
        const char* Name;
        TKoOleVariant Value;
        TKoVarDataType DataType;
        TKoEndian Order;
        TBytes Expected;
    };
    const Case Cases[] = {
        {"integer LE", TKoOleVariant(int32_t{0x01020304}), vdtInteger, enLittleEndian, {4, 3, 2, 1}},
        {"double BE", TKoOleVariant(1.5), vdtDouble, enBigEndian, {0x3F, 0xF8, 0, 0, 0, 0, 0, 0}},
        {"smallint array LE", Array(VT_I2, {1, -2}), vdtSmallint, enLittleEndian, {1, 0, 0xFE, 0xFF}},
        {"smallint array BE", Array(VT_I2, {1, -2}), vdtSmallint, enBigEndian, {0, 1, 0xFF, 0xFE}},
        {"data type of the array's elements",
         Array(VT_I2, {1, -2}),
         vdtDefault,
         enLittleEndian,
         {1, 0, 0xFE, 0xFF}},
        {"doubles as singles",
         Array(VT_R8, {1.0, 2.0}),
         vdtSingle,
         enLittleEndian,
         {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}},
        {"text", TKoOleVariant(L"Hi"), vdtOleStr, enLittleEndian, {'H', 'i'}},
        {"Boolean", TKoOleVariant(true), vdtBoolean, enLittleEndian, {1}},
        {"Boolean array", Array(VT_BOOL, {1, 0, 1}), vdtBoolean, enLittleEndian, {1, 0, 1}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoByteArray V(nullptr);
        V.SetOffset(20); // elements are placed from the first byte on
        V.SetByteOrder(C.Order);
        int Count = 0;
        V.OnChange = [&](TKoVar*, TKoVarPropTypes) { ++Count; };
        V.SetPropAsDataType(vpValue, C.Value, C.DataType);
        EXPECT_EQ(Stored(V), C.Expected);
        EXPECT_TRUE(V.IsGood());
        EXPECT_EQ(Count, 1);
    }
}

TEST_F(ByteArrayTest, ElementThatCannotBeWrittenLeavesTheValueBad) {
    // 1e300 has no single-precision form: the second element fails.
    A->SetPropAsDataType(vpValue, Array(VT_R8, {1.0, 1e300}), vdtSingle);
    EXPECT_TRUE(A->IsBad());
    EXPECT_EQ(A->GetValue().Type(), VT_EMPTY);
    EXPECT_EQ(A->Length(), 8);
    EXPECT_EQ(A->GetAsDataType(dtFloat32, true, 0, 0, 0).Get().dblVal, 1.0);
}

TEST_F(ByteArrayTest, AssignCopiesLengthBytesQualityAndStamp) {
    TKoByteArray Source(nullptr);
    Source.SetOffset(40);
    Fill(Source, {9, 8, 7});
    Source.SetPropValueAt(vpValue, ByteArray({9, 8, 7}), vpqUncertain, 45000.25, true, vdtDefault, false);
    A->SetOffset(5);
    Fill(*A, {1});
    Notified = 0;
    A->Assign(&Source);
    EXPECT_EQ(Stored(*A), (TBytes{9, 8, 7}));
    EXPECT_EQ(A->Offset(), 5);
    EXPECT_EQ(A->Quality(), vpqUncertain);
    EXPECT_EQ(A->TimeStamp(), 45000.25);
    EXPECT_EQ(Notified, 1);
}

TEST_F(ByteArrayTest, CopyFromAndSetBytesWriteAStretchInOneUpdate) {
    TKoByteArray Source(nullptr);
    Fill(Source, {1, 2, 3, 4, 5, 6});
    A->SetOffset(10);
    Fill(*A, TBytes(6, 0));
    Notified = 0;
    A->CopyFrom(&Source, 2, 4, 0);
    EXPECT_EQ(Stored(*A), (TBytes{0, 0, 3, 4, 5, 0}));
    EXPECT_EQ(Notified, 1);
    A->CopyFrom(&Source, 5, -1, 0); // to the end
    EXPECT_EQ(Stored(*A), (TBytes{0, 0, 3, 4, 5, 6}));

    A->SetBytes(11, {TKoOleVariant(int32_t{7}), TKoOleVariant(8.0)});
    EXPECT_EQ(Stored(*A), (TBytes{0, 7, 8, 4, 5, 6}));
    A->SetBytes(15, TKoOleVariant(int32_t{9}));
    EXPECT_EQ(Stored(*A), (TBytes{0, 7, 8, 4, 5, 9}));
    EXPECT_EQ(A->GetBytesToString(12, 3), std::string("\x08\x04\x05"));
}

} // namespace
