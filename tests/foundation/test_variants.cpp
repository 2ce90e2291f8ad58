#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <string>
#include <vector>

#include "KoOle.h"
#include "KoUtils.h"
#include "KoVariants.h"

namespace {

std::wstring Locale(LCTYPE Type) {
    wchar_t Buffer[100];
    return GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, Type, Buffer, 100) > 0 ? Buffer : L"";
}

TKoOleVariant Num(VARTYPE Type, double Value) {
    return TKoOleVariant::OfType(Type, Value);
}

TKoOleVariant Str(const wchar_t* Text) {
    return TKoOleVariant(Text);
}

// A one-dimensional array from Low on, its elements converted from the given variants.
TKoOleVariant Array1(VARTYPE Type, LONG Low, const std::vector<TKoOleVariant>& Values) {
    TKoSafeArray Array(Type, {{Low, Low + static_cast<LONG>(Values.size()) - 1}});
    for (LONG I = 0; I < static_cast<LONG>(Values.size()); ++I) {
        LONG Index = Low + I;
        KoSafeArrayPutVariant(Array.Get(), &Index, Values[static_cast<size_t>(I)]);
    }
    return TKoOleVariant::TakeArray(Type, Array.Release());
}

TKoOleVariant Numbers(VARTYPE Type, LONG Low, std::initializer_list<double> Values) {
    std::vector<TKoOleVariant> Items;
    for (double Value : Values) Items.push_back(TKoOleVariant(Value));
    return Array1(Type, Low, Items);
}

// Rows x Cols doubles (row-major in Values) of the element type; the first dimension is the row.
TKoOleVariant Array2(VARTYPE Type, LONG Rows, LONG Cols, std::initializer_list<double> Values, LONG Low = 0) {
    TKoSafeArray Array(Type, {{Low, Low + Rows - 1}, {Low, Low + Cols - 1}});
    auto Value = Values.begin();
    for (LONG R = 0; R < Rows; ++R)
        for (LONG C = 0; C < Cols; ++C) {
            LONG Indices[2] = {Low + R, Low + C};
            KoSafeArrayPutVariant(Array.Get(), Indices, TKoOleVariant(*Value++));
        }
    return TKoOleVariant::TakeArray(Type, Array.Release());
}

// ---- types ----

TEST(VariantTypes, VarTypeToText) {
    struct Case {
        VARTYPE Type;
        const wchar_t* Expected;
    } Cases[] = {
        {VT_ARRAY | VT_R8, L"Array of Double"},
        {VT_BYREF | VT_I4, L"Integer (Reference)"},
        {VT_ARRAY | VT_BYREF | VT_BSTR, L"Array of OleStr (Reference)"},
        {KoVarString16, L"string(16)"},
        {KoVarString8, L"string(8)"},
        {4095, L"4095"},
        {VT_ARRAY | 36, L"Array of 36"},
        {VT_EMPTY, L"Default"},
        {VT_UI8, L"UInt64"},
        {VT_UNKNOWN, L"Unknown"},
        {15, L"Undefined"},
    };
    for (const Case& C : Cases) EXPECT_EQ(VarTypeToText(C.Type), C.Expected) << C.Type;
}

TEST(VariantTypes, ClassesAndDataTypesIgnoreFlags) {
    struct Case {
        VARTYPE Type;
        TKoVariantClass Class;
        TKoVarDataType DataType;
    } Cases[] = {
        {VT_EMPTY, vcNull, vdtDefault},
        {VT_NULL, vcNull, vdtNull},
        {VT_BOOL, vcBoolean, vdtBoolean},
        {VT_I2, vcInteger, vdtSmallint},
        {VT_ARRAY | VT_I4, vcInteger, vdtInteger},
        {VT_UI1, vcInteger, vdtByte},
        {VT_UI2, vcInteger, vdtWord},
        {VT_BYREF | VT_R4, vcFloat, vdtSingle},
        {VT_CY, vcFloat, vdtCurrency},
        {VT_BSTR, vcString, vdtOleStr},
        {KoVarString8, vcString, vdtOleStr},
        {KoVarString16, vcString, vdtOleStr},
        {72, vcString, vdtUnsupported},
        {VT_DATE, vcDate, vdtDate},
        {VT_UI4, vcBigInt, vdtLongWord},
        {VT_I8, vcBigInt, vdtInt64},
        {VT_UI8, vcBigInt, vdtUInt64},
        {VT_I1, vcOther, vdtShortint},
        {VT_DISPATCH, vcOther, vdtDispatch},
        {VT_ERROR, vcOther, vdtError},
        {VT_VARIANT, vcOther, vdtVariant},
        {VT_DECIMAL, vcOther, vdtDecimal},
        {22, vcOther, vdtUnsupported},
        {4095, vcOther, vdtUnsupported},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Type);
        EXPECT_EQ(VarTypeToVariantClass(C.Type), C.Class);
        EXPECT_EQ(VarTypeToKoVarDataType(C.Type), C.DataType);
    }
    EXPECT_EQ(VariantClass(Num(VT_R8, 1)), vcFloat);
    EXPECT_EQ(KoVarDataTypeToVarType(vdtDouble, true), VT_ARRAY | VT_R8);
    EXPECT_EQ(KoVarDataTypeToVarType(vdtUInt64, false), VT_UI8);
    EXPECT_EQ(KoVarDataTypeToVarType(vdtUnsupported, true), VT_EMPTY);
    EXPECT_FALSE(VarHasValue(TKoOleVariant::Null()));
    EXPECT_TRUE(VarHasValue(Num(VT_I2, 0)));
    EXPECT_TRUE(VarHasValue(Numbers(VT_R8, 0, {})));
}

// ---- sizes ----

TEST(VariantSizes, ValuesStringsAndArrays) {
    EXPECT_EQ(VariantSize(Str(L"abcde")), 10);
    EXPECT_EQ(VariantSize(Num(VT_I1, 1)), 1);
    EXPECT_EQ(VariantSize(Num(VT_DATE, 1)), 8);
    EXPECT_EQ(VariantSize(TKoOleVariant()), 0);
    EXPECT_EQ(VariantSize(Numbers(VT_R8, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10})), 80);
    EXPECT_EQ(VariantSize(Array2(VT_I2, 2, 3, {1, 2, 3, 4, 5, 6})), 12);
    TKoOleVariant Text = Str(L"abc");
    VARIANT Reference{};
    Reference.vt = VT_BYREF | VT_BSTR;
    Reference.pbstrVal = &Text.Get().bstrVal;
    EXPECT_EQ(VariantSize(Reference), 6);

    EXPECT_EQ(VarTypeSize(KoVarString16), 2);
    EXPECT_EQ(VarTypeSize(VT_VARIANT), 16);
    EXPECT_THROW(VarTypeSize(22), std::invalid_argument);
    EXPECT_THROW(VarTypeSize(VT_ARRAY | VT_R8), std::invalid_argument);
}

TEST(VariantSizes, DimensionLengthsAndCounts) {
    const TKoOleVariant Matrix = Array2(VT_R8, 2, 3, {1, 2, 3, 4, 5, 6}, 5);
    EXPECT_EQ(VarArrayDimLength(Matrix, 1), 2);
    EXPECT_EQ(VarArrayDimLength(Matrix, 2), 3);
    EXPECT_EQ(VarArrayDimLength(Matrix, 3), 0);
    EXPECT_EQ(VarArrayDimLength(Matrix, 0), 0);
    EXPECT_EQ(VarArrayLength(Matrix), 2);
    EXPECT_EQ(VarArrayElementCount(Matrix), 6);
    EXPECT_EQ(VarArrayElementCount(Numbers(VT_I4, 1, {})), 0);
    EXPECT_EQ(VarArrayElementCount(Num(VT_I4, 3)), 0);
    EXPECT_EQ(VarArrayLength(Num(VT_I4, 3)), 0);
}

TEST(VariantArrays, AsTypeConvertsEachElementAndKeepsTheBounds) {
    TKoOleVariant Result;
    VarArrayAsType(Array1(VT_VARIANT, 5, {Num(VT_I4, 1), Str(L"2"), Num(VT_R4, 3.5)}), VT_R8, Result);
    EXPECT_TRUE(VariantsEqual(Result, Numbers(VT_R8, 5, {1, 2, 3.5}), true));

    TKoOleVariant Untouched(7);
    VarArrayAsType(Num(VT_I4, 1), VT_R8, Untouched); // no array: nothing happens
    EXPECT_TRUE(VariantsEqual(Untouched, TKoOleVariant(7), true));
    // A failed conversion reaches the caller and leaves the result as it was.
    try {
        VarArrayAsType(Array1(VT_BSTR, 0, {Str(L"1"), Str(L"x")}), VT_I4, Untouched);
        ADD_FAILURE() << "no error";
    } catch (const EKoOleError& Error) {
        EXPECT_EQ(Error.Code(), DISP_E_TYPEMISMATCH);
    }
    EXPECT_TRUE(VariantsEqual(Untouched, TKoOleVariant(7), true));
    EXPECT_THROW(VarArrayAsType(Array2(VT_I4, 2, 2, {1, 2, 3, 4}), VT_R8, Untouched), EKoOleError);
}

// ---- comparison ----

TEST(VariantComparison, ScalarsAcrossTypes) {
    const TKoOleVariant Empty, Null = TKoOleVariant::Null();
    TKoOleVariant One(1);
    VARIANT OneReference{};
    OneReference.vt = VT_BYREF | VT_I4;
    OneReference.plVal = &One.Get().lVal;
    struct Case {
        const char* What;
        TKoOleVariant A, B;
        bool Loose, Strict;
    } Cases[] = {
        {"empty and null", Empty, Null, true, false},
        {"empty and empty", Empty, Empty, true, true},
        {"empty and zero", Empty, Num(VT_I4, 0), false, false},
        {"null and empty string", Null, Str(L""), false, false},
        {"integer and double", Num(VT_I4, 1), Num(VT_R8, 1), true, false},
        {"byte and int64", Num(VT_UI1, 200), Num(VT_I8, 200), true, false},
        {"different numbers", Num(VT_I4, 1), Num(VT_R8, 1.5), false, false},
        {"string and number", Str(L"1"), Num(VT_I4, 1), true, false},
        {"number and string", Num(VT_R8, 2.5), Str((L"2" + Locale(LOCALE_SDECIMAL) + L"5").c_str()), true,
         false},
        {"text and number", Str(L"abc"), Num(VT_I4, 1), false, false},
        {"letter case counts", Str(L"abc"), Str(L"ABC"), false, false},
        {"same strings", Str(L"abc"), Str(L"abc"), true, true},
        {"same error codes", TKoOleVariant::Error(5), TKoOleVariant::Error(5), true, true},
        {"different error codes", TKoOleVariant::Error(5), TKoOleVariant::Error(6), false, false},
        {"error and number", TKoOleVariant::Error(5), Num(VT_I4, 5), false, false},
        {"booleans", TKoOleVariant(true), TKoOleVariant(true), true, true},
        {"dates", TKoOleVariant::Date(45358.25), TKoOleVariant::Date(45358.25), true, true},
        {"reference and value", TKoOleVariant(OneReference), Num(VT_I4, 1), true, false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        EXPECT_EQ(VariantsEqual(C.A, C.B, false), C.Loose);
        EXPECT_EQ(VariantsEqual(C.B, C.A, false), C.Loose);
        EXPECT_EQ(VariantsEqual(C.A, C.B, true), C.Strict);
    }
}

TEST(VariantComparison, ArraysByBoundsAndElements) {
    const TKoOleVariant Ints = Numbers(VT_I4, 0, {1, 2, 3});
    struct Case {
        const char* What;
        TKoOleVariant A, B;
        bool Loose, Strict;
    } Cases[] = {
        {"same integers", Ints, Numbers(VT_I4, 0, {1, 2, 3}), true, true},
        {"last element differs", Ints, Numbers(VT_I4, 0, {1, 2, 4}), false, false},
        {"other bounds", Ints, Numbers(VT_I4, 1, {1, 2, 3}), false, false},
        {"other length", Ints, Numbers(VT_I4, 0, {1, 2}), false, false},
        {"integers and doubles", Ints, Numbers(VT_R8, 0, {1, 2, 3}), true, false},
        {"integers and variants", Ints, Array1(VT_VARIANT, 0, {Num(VT_I2, 1), Str(L"2"), Num(VT_R8, 3)}),
         true, false},
        {"variants of strings", Array1(VT_VARIANT, 0, {Str(L"a"), TKoOleVariant::Null()}),
         Array1(VT_VARIANT, 0, {Str(L"a"), TKoOleVariant()}), true, false},
        {"variants differ", Array1(VT_VARIANT, 0, {Str(L"a")}), Array1(VT_VARIANT, 0, {Str(L"b")}), false,
         false},
        {"strings", Array1(VT_BSTR, 0, {Str(L"x"), Str(L"y")}), Array1(VT_BSTR, 0, {Str(L"x"), Str(L"y")}),
         true, true},
        {"empty arrays", Numbers(VT_R8, 0, {}), Numbers(VT_R8, 0, {}), true, true},
        {"matrices", Array2(VT_R8, 2, 2, {1, 2, 3, 4}), Array2(VT_R8, 2, 2, {1, 2, 3, 4}), true, true},
        {"matrix element differs", Array2(VT_R8, 2, 2, {1, 2, 3, 4}), Array2(VT_R8, 2, 2, {1, 2, 3, 5}),
         false, false},
        {"matrix of other types", Array2(VT_R8, 2, 2, {1, 2, 3, 4}), Array2(VT_VARIANT, 2, 2, {1, 2, 3, 4}),
         true, false},
        {"transposed shape", Array2(VT_R8, 2, 3, {1, 2, 3, 4, 5, 6}), Array2(VT_R8, 3, 2, {1, 2, 3, 4, 5, 6}),
         false, false},
        {"matrix and vector", Array2(VT_I4, 1, 3, {1, 2, 3}), Ints, false, false},
        {"array and scalar", Ints, Num(VT_I4, 1), false, false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        EXPECT_EQ(VariantsEqual(C.A, C.B, false), C.Loose);
        EXPECT_EQ(VariantsEqual(C.B, C.A, false), C.Loose);
        EXPECT_EQ(VariantsEqual(C.A, C.B, true), C.Strict);
        if (C.A.Type() & C.B.Type() & VT_ARRAY) {
            EXPECT_EQ(VarArraysEqual(C.A, C.B, false), C.Loose);
        }
    }
}

// ---- text ----

TEST(VariantText, ScalarsAndTypes) {
    const std::wstring Dec = Locale(LOCALE_SDECIMAL);
    struct Case {
        const char* What;
        TKoOleVariant Value;
        bool WithType;
        std::wstring Expected;
    } Cases[] = {
        {"empty", TKoOleVariant(), false, L"#EMPTY"},
        {"null", TKoOleVariant::Null(), false, L"#NULL"},
        {"error", TKoOleVariant::Error(static_cast<SCODE>(0x80020004)), false, L"Error($80020004)"},
        {"small error", TKoOleVariant::Error(0x1F), false, L"Error($1F)"},
        {"integer", Num(VT_I4, -42), false, L"-42"},
        {"double with type", Num(VT_R8, 3.5), true, L"3" + Dec + L"5{Double}"},
        {"fifteen digits", Num(VT_R8, 1.0 / 3), false, L"0" + Dec + L"333333333333333"},
        {"boolean", TKoOleVariant(true), false, L"True"},
        {"false with type", TKoOleVariant(false), true, L"False{Boolean}"},
        {"string unchanged", Str(L" a;b "), false, L" a;b "},
        {"empty with type", TKoOleVariant(), true, L"#EMPTY{Default}"},
    };
    for (const Case& C : Cases) EXPECT_EQ(VariantToText(C.Value, C.WithType), C.Expected) << C.What;
}

TEST(VariantText, DatesInTheLocalesFormatWithMilliseconds) {
    SYSTEMTIME Time{2024, 3, 0, 7, 14, 5, 9, 0};
    double Date = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&Time, &Date));
    Date += 42 / 86400000.0;
    wchar_t DateText[100];
    GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &Time, nullptr, DateText, 100, nullptr);
    const std::wstring Text = VariantToText(TKoOleVariant::Date(Date), false);
    EXPECT_EQ(Text.rfind(std::wstring(DateText) + L" ", 0), 0u) << KoUtf8(Text);
    EXPECT_NE(Text.find(L"9.042"), std::wstring::npos) << KoUtf8(Text);
}

TEST(VariantText, ArraysOfOneToFourDimensions) {
    const std::wstring List = Locale(LOCALE_SLIST);
    EXPECT_EQ(VariantToText(Numbers(VT_I4, 0, {1, 2, 3}), false), L"[1" + List + L"2" + List + L"3]");
    EXPECT_EQ(VariantToText(Numbers(VT_I4, 0, {}), true), L"[]{Array of Integer}");
    EXPECT_EQ(ArrayToText(Numbers(VT_I4, 0, {1, 2, 3}), L';', L'\r'), L"[1;2;3]");
    EXPECT_EQ(ArrayToText(Array2(VT_I4, 2, 2, {1, 2, 3, 4}), L',', L'\r'), L"[\r[1,2]\r[3,4]]");
    // The first dimension gives the rows: two rows of three.
    EXPECT_EQ(ArrayToText(Array2(VT_I4, 2, 3, {1, 2, 3, 4, 5, 6}, 1), L',', L'|'), L"[|[1,2,3]|[4,5,6]]");
    EXPECT_EQ(VariantToText(Array2(VT_I4, 1, 2, {1, 2}), false), L"[\r[1" + List + L"2]]");
    EXPECT_EQ(
        ArrayToText(Array1(VT_VARIANT, 0, {TKoOleVariant(), Str(L"a"), TKoOleVariant::Null()}), L',', L'\r'),
        L"[#EMPTY,a,#NULL]");
    EXPECT_EQ(ArrayToText(Num(VT_I4, 5), L',', L'\r'), L"5");

    TKoSafeArray Cube(VT_I4, {{0, 1}, {0, 1}, {0, 0}});
    for (LONG I = 0; I < 2; ++I)
        for (LONG J = 0; J < 2; ++J) {
            LONG Indices[3] = {I, J, 0};
            KoSafeArrayPutVariant(Cube.Get(), Indices, TKoOleVariant(static_cast<int32_t>(10 * I + J)));
        }
    EXPECT_EQ(ArrayToText(TKoOleVariant::TakeArray(VT_I4, Cube.Release()), L',', L'|'),
              L"|[|[0]|[1]]|[|[10]|[11]]");
    TKoSafeArray Four(VT_I4, {{0, 0}, {0, 0}, {0, 0}, {0, 0}});
    EXPECT_EQ(ArrayToText(TKoOleVariant::TakeArray(VT_I4, Four.Release()), L',', L'\r'), L"Array Dim=4");
}

TEST(VariantText, TextToVariant) {
    const std::wstring Dec = Locale(LOCALE_SDECIMAL);
    struct Case {
        std::wstring Text;
        VARTYPE Type;
        TKoOleVariant Expected;
    } Cases[] = {
        {L"", VT_VARIANT, TKoOleVariant::Null()}, {L"#NULL", VT_NULL, TKoOleVariant::Null()},
        {L"#EMPTY", VT_EMPTY, TKoOleVariant()},   {L"#EMPTY", VT_R8, Num(VT_R8, 0)},
        {L"42", VT_I4, Num(VT_I4, 42)},           {L"1" + Dec + L"5", VT_R8, Num(VT_R8, 1.5)},
        {L"True", VT_BOOL, TKoOleVariant(true)},  {L"text", VT_BSTR, Str(L"text")},
        {L"text", VT_VARIANT, Str(L"text")},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(KoUtf8(C.Text));
        TKoOleVariant Value;
        TextToVariant(C.Text, C.Type, Value);
        EXPECT_TRUE(VariantsEqual(Value, C.Expected, true)) << KoUtf8(VariantToText(Value, true));
    }
    // A date in the locale's own format reads back.
    SYSTEMTIME Time{2024, 3, 0, 7, 14, 5, 9, 0};
    double Date = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&Time, &Date));
    wchar_t DateText[100], TimeText[100];
    GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &Time, nullptr, DateText, 100, nullptr);
    GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &Time, nullptr, TimeText, 100);
    TKoOleVariant Value;
    TextToVariant(std::wstring(DateText) + L" " + TimeText, VT_DATE, Value);
    EXPECT_TRUE(VariantsEqual(Value, TKoOleVariant::Date(Date), true)) << KoUtf8(VariantToText(Value, true));

    // Failed conversions reach the caller and leave the value alone.
    for (const auto& [Text, Type] : {std::pair<const wchar_t*, VARTYPE>{L"abc", VT_I4},
                                     {L"", VT_I4},
                                     {L"#NULL", VT_R8},
                                     {L"no date", VT_DATE}}) {
        SCOPED_TRACE(KoUtf8(Text));
        TKoOleVariant Kept(7);
        EXPECT_THROW(TextToVariant(Text, Type, Kept), EKoOleError);
        EXPECT_TRUE(VariantsEqual(Kept, TKoOleVariant(7), true));
    }
}

} // namespace
