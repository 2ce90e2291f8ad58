// Typed access to variable properties: bad values of every type, conversions of good values,
// arrays and their texts, and typed writes with their bad-value rules.

#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <functional>
#include <string>

#include "KoVars.h"

namespace {

// A variable with a double value (vdtDouble).
class TDoubleVar : public TKoVar {
public:
    using TKoVar::TKoVar;
    const wchar_t* ClassName() const override { return L"TDoubleVar"; }
    double Value() const { return FValue; }
    void SetValue(double V) { SetFloatProp(vpValue, FValue, V, false); }
    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override {
        return Prop == vpValue ? vdtDouble : TKoVar::GetPropDataType(Prop);
    }

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override {
        return Prop == vpValue ? TKoOleVariant(FValue) : TKoVar::GetPropValueGood(Prop);
    }
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& V) override {
        if (Prop == vpValue)
            SetValue(GetVarPropValueAsFloat(Prop, V));
        else
            TKoVar::SetPropValueGood(Prop, V);
    }

private:
    double FValue = KoBadFloat;
};

TKoOleVariant Array(VARTYPE Type, std::initializer_list<double> Values) {
    TKoSafeArray A(Type, {{0, static_cast<LONG>(Values.size()) - 1}});
    LONG I = 0;
    for (double V : Values) {
        KoSafeArrayPutVariant(A.Get(), &I, TKoOleVariant(V));
        ++I;
    }
    return TKoOleVariant::TakeArray(Type, A.Release());
}

double GetVarDouble(const TKoOleVariant& V) {
    TKoOleVariant R;
    KoOleCheck(VariantChangeType(R.Receive(), KoIn(V), 0, VT_R8));
    return R.Get().dblVal;
}

template <class TError> void ExpectError(const std::function<void()>& Action, const std::wstring& Text) {
    try {
        Action();
        ADD_FAILURE() << "no error";
    } catch (const TError& E) {
        EXPECT_EQ(E.Message(), Text);
    }
}

class VarAccess : public ::testing::Test {
protected:
    VarAccess() { Var.SetName(L"D1"); }
    TDoubleVar Var{nullptr};
};

TEST_F(VarAccess, BadPropertyReadsAsTheSentinelOfEveryType) {
    EXPECT_EQ(Var.GetPropAsFloat(vpValue), KoBadFloat);
    EXPECT_EQ(Var.GetPropAsInteger(vpValue), KoBadInteger);
    EXPECT_EQ(Var.GetPropAsInt64(vpValue), 195935983);
    EXPECT_EQ(Var.GetPropAsLongWord(vpValue), 0x0BADBEEFu);
    EXPECT_EQ(Var.GetPropAsDateTime(vpValue), KoBadDateTime);
    EXPECT_EQ(Var.GetPropAsString(vpValue), L"#BAD");
    ExpectError<EKoException>([&] { Var.GetPropAsBool(vpValue); }, L"Bad Quality");

    struct Case {
        TKoVarDataType DataType;
        VARTYPE Type;
        double Number;
    };
    const Case Cases[] = {{vdtDouble, VT_R8, KoBadFloat},
                          {vdtInteger, VT_I4, KoBadInteger},
                          {vdtSingle, VT_R4, KoBadSingle},
                          {vdtDate, VT_DATE, KoBadDateTime},
                          {vdtDefault, VT_R8, KoBadFloat} /*own*/,
                          {vdtInt64, VT_I8, KoBadInteger},
                          {vdtByte, VT_UI1, 0}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(KoVarDataTypeName(C.DataType));
        const TKoOleVariant V = Var.GetPropAsDataType(vpValue, C.DataType);
        ASSERT_EQ(V.Type(), C.Type);
        EXPECT_EQ(GetVarDouble(V), C.Number);
    }
    EXPECT_EQ(Var.GetPropAsDataType(vpValue, vdtOleStr).Get().bstrVal, std::wstring(L"#BAD"));
    // The bad integer does not fit 16 bits: the platform's conversion fails.
    EXPECT_THROW(Var.GetPropAsDataType(vpValue, vdtSmallint), EKoOleError);
    const TKoOleVariant Empty = Var.GetPropAsArray(vpValue, vdtDefault);
    EXPECT_EQ(Empty.Type(), VT_ARRAY | VT_R8);
    EXPECT_EQ(VarArrayLength(Empty), 0);
}

TEST_F(VarAccess, GoodValuesConvertToEveryType) {
    struct Case {
        double Value;
        int32_t Integer;
        std::wstring Text;
        bool Bool;
    };
    const Case Cases[] = {
        {2.5, 3, L"2.5", true}, {-2.5, -3, L"-2.5", true}, {0.4, 0, L"0.4", true}, {0, 0, L"0", false}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Value);
        Var.SetValue(C.Value);
        EXPECT_EQ(Var.GetPropAsFloat(vpValue), C.Value);
        EXPECT_EQ(Var.GetPropAsInteger(vpValue), C.Integer);
        EXPECT_EQ(Var.GetPropAsInt64(vpValue), C.Integer);
        EXPECT_EQ(Var.GetPropAsString(vpValue), C.Text);
        EXPECT_EQ(Var.GetPropAsBool(vpValue), C.Bool);
    }
    Var.SetValue(7);
    const TKoOleVariant Small = Var.GetPropAsDataType(vpValue, vdtSmallint);
    EXPECT_EQ(Small.Type(), VT_I2);
    EXPECT_EQ(Small.Get().iVal, 7);
    EXPECT_EQ(Var.GetPropAsLongWord(vpValue), 7u);
    Var.SetValue(-1);
    ExpectError<EKoIntOverflow>([&] { Var.GetPropAsLongWord(vpValue); },
                                L"Cannot convert value -1 to LongWord");
    Var.SetValue(KoBadInteger); // a good double that is the bad integer
    ExpectError<EKoOverflow>([&] { Var.GetPropAsDataType(vpValue, vdtInteger); },
                             L"Value cannot be converted to a valid value");
    Var.SetValue(1e12);
    EXPECT_THROW(Var.GetPropAsInteger(vpValue), EKoOleError);
}

TEST_F(VarAccess, LongWordOfNegativeValues) {
    ExpectError<EKoIntOverflow>([&] { Var.GetVarPropValueAsLongWord(vpValue, TKoOleVariant(int32_t{-1})); },
                                L"Cannot convert value -1 to LongWord");
    ExpectError<EKoIntOverflow>([&] { Var.GetVarPropValueAsLongWord(vpValue, TKoOleVariant(L"-5")); },
                                L"Cannot convert value -5 to LongWord");
    ExpectError<EKoIntOverflow>([&] { Var.GetVarPropValueAsLongWord(vpValue, TKoOleVariant(-1.5)); },
                                L"Cannot convert value -1.5 to LongWord");
    EXPECT_EQ(Var.GetVarPropValueAsLongWord(vpValue, TKoOleVariant(L"$FFFFFFFF")), 0xFFFFFFFFu);
    EXPECT_EQ(Var.GetVarPropValueAsLongWord(vpValue, TKoOleVariant(2.5)), 3u);
}

TEST_F(VarAccess, AlarmStateReadsAsItsNumberAndName) {
    Var.SetValue(1);
    Var.SetAlarmMode(amAlarms);
    const TKoOleVariant State = Var.GetPropAsDataType(vpAlarmState, vdtDefault);
    EXPECT_EQ(State.Type(), VT_UI1);
    EXPECT_EQ(State.Get().bVal, asNormal);
    EXPECT_EQ(Var.GetPropAsString(vpAlarmState), L"OK");
    EXPECT_EQ(Var.GetVarPropValueAsString(vpAlarmState, TKoOleVariant(int32_t{2})), L"Alarm");
    EXPECT_EQ(Var.GetVarPropValueAsString(vpAlarmState, TKoOleVariant(L"Warning")), L"Warning");
    for (const TKoOleVariant& Bad : {TKoOleVariant(L"Foo"), TKoOleVariant(int32_t{7})}) {
        SCOPED_TRACE(VariantToText(Bad));
        ExpectError<EKoRangeError>([&] { Var.GetVarPropValueAsString(vpAlarmState, Bad); },
                                   L"Value <" + VariantToText(Bad) + L"> is not a proper alarm state");
    }
}

TEST_F(VarAccess, ArraysAndTheirTextsConvertBothWays) {
    const TKoOleVariant Numbers = Array(VT_I4, {1, 2, 3});
    EXPECT_EQ(Var.GetVarPropValueAsString(vpValue, Numbers), L"[1,2,3]");

    const TKoOleVariant FromText = Var.GetVarPropValueAsArray(vpValue, TKoOleVariant(L"[1,2,3]"), vdtDouble);
    ASSERT_EQ(FromText.Type(), VT_ARRAY | VT_R8);
    EXPECT_TRUE(VariantsEqual(FromText, Array(VT_R8, {1, 2, 3}), true));

    const TKoOleVariant Single = Var.GetVarPropValueAsArray(vpValue, TKoOleVariant(5.0), vdtDouble);
    EXPECT_TRUE(VariantsEqual(Single, Array(VT_R8, {5}), true));

    const TKoOleVariant Converted = Var.GetVarPropValueAsArray(vpValue, Numbers, vdtOleStr);
    ASSERT_EQ(Converted.Type(), VT_ARRAY | VT_BSTR);
    EXPECT_EQ(Var.GetVarPropValueAsString(vpValue, Converted), L"[1,2,3]");

    const TKoOleVariant Empty = Var.GetVarPropValueAsArray(vpValue, TKoOleVariant(L"[]"), vdtDouble);
    EXPECT_EQ(VarArrayLength(Empty), 0);

    TKoSafeArray Cube(VT_I4, {{0, 1}, {0, 1}, {0, 1}});
    const TKoOleVariant CubeV = TKoOleVariant::TakeArray(VT_I4, Cube.Release());
    EXPECT_EQ(Var.GetVarPropValueAsString(vpValue, CubeV), L"3-dim array of Variant");
    EXPECT_EQ(Var.GetVarPropValueAsFloat(vpValue, CubeV), 0.0); // the first element

    TKoSafeArray Table(VT_I4, {{0, 1}, {0, 1}});
    LONG Idx[2] = {1, 0};
    KoSafeArrayPutVariant(Table.Get(), Idx, TKoOleVariant(int32_t{3}));
    const TKoOleVariant TableV = TKoOleVariant::TakeArray(VT_I4, Table.Release());
    EXPECT_EQ(Var.GetVarPropValueAsString(vpValue, TableV), L"[0,0\r\n3,0\r\n]");
}

TEST_F(VarAccess, BooleanConversions) {
    struct Case {
        TKoOleVariant Value;
        bool Expected;
    };
    const Case Cases[] = {{TKoOleVariant(L"TRUE"), true}, {TKoOleVariant(L"false"), false},
                          {TKoOleVariant(L"0"), false},   {TKoOleVariant(L"12"), true},
                          {TKoOleVariant(0.0), false},    {TKoOleVariant(int32_t{-3}), true},
                          {Array(VT_R8, {0, 1}), false}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(VariantToText(C.Value));
        EXPECT_EQ(Var.GetVarPropValueAsBool(vpValue, C.Value), C.Expected);
    }
    EXPECT_THROW(Var.GetVarPropValueAsBool(vpValue, TKoOleVariant(L"maybe")), EKoConvertError);
    ExpectError<EKoException>([&] { Var.GetVarPropValueAsBool(vpValue, TKoOleVariant::Null()); },
                              L"Bad Quality");
    ExpectError<EKoException>(
        [&] { Var.GetVarPropValueAsBool(vpValue, TKoOleVariant::Error(DISP_E_PARAMNOTFOUND)); },
        L"Cannot convert Value to Boolean");
}

TEST_F(VarAccess, IntegerTexts) {
    struct Case {
        const wchar_t* Text;
        int64_t Value;
    };
    const Case Good[] = {
        {L"12", 12}, {L" -7 ", -7}, {L"$1F", 31}, {L"0x1f", 31}, {L"-2147483648", INT32_MIN}};
    for (const Case& C : Good) {
        SCOPED_TRACE(C.Text);
        EXPECT_EQ(Var.StrToInt(C.Text), C.Value);
        EXPECT_EQ(Var.StrToInt64(C.Text), C.Value);
    }
    EXPECT_EQ(Var.StrToInt64(L"9223372036854775807"), INT64_MAX);
    for (const wchar_t* Bad : {L"", L"abc", L"12x", L"$", L"2147483648", L"1.5"}) {
        SCOPED_TRACE(Bad);
        EXPECT_THROW(Var.StrToInt(Bad), EKoConvertError);
    }
    EXPECT_THROW(Var.StrToInt64(L"9223372036854775808"), EKoConvertError);
}

TEST_F(VarAccess, TypedWritesUndefineOnTheirBadValue) {
    struct Case {
        const char* Name;
        std::function<void(TKoVar&)> Write;
    };
    const Case Cases[] = {
        {"float", [](TKoVar& V) { V.SetPropAsFloat(vpValue, KoBadFloat); }},
        {"integer", [](TKoVar& V) { V.SetPropAsInteger(vpValue, KoBadInteger); }},
        {"int64", [](TKoVar& V) { V.SetPropAsInt64(vpValue, KoBadInt64); }},
        {"longword", [](TKoVar& V) { V.SetPropAsLongWord(vpValue, 0x0BADBEEFu); }},
        {"string", [](TKoVar& V) { V.SetPropAsString(vpValue, L"#BAD"); }},
        {"date-time", [](TKoVar& V) { V.SetPropAsDateTime(vpValue, KoBadFloat); }},
        {"variant", [](TKoVar& V) { V.SetPropValue(vpValue, TKoOleVariant::Null()); }},
        {"data type", [](TKoVar& V) { V.SetPropAsDataType(vpValue, TKoOleVariant(L"#BAD"), vdtDouble); }},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TDoubleVar V(nullptr);
        V.SetValue(1);
        C.Write(V);
        EXPECT_EQ(V.Quality(), vpqBad);
        EXPECT_TRUE(V.GetPropIsValid(vpValue));
    }
}

TEST_F(VarAccess, TypedWritesStoreGoodValues) {
    struct Case {
        const char* Name;
        std::function<void(TKoVar&)> Write;
        double Expected;
    };
    const Case Cases[] = {
        {"float", [](TKoVar& V) { V.SetPropAsFloat(vpValue, 1.25); }, 1.25},
        {"integer", [](TKoVar& V) { V.SetPropAsInteger(vpValue, -4); }, -4},
        {"int64", [](TKoVar& V) { V.SetPropAsInt64(vpValue, 1LL << 40); }, 1099511627776.0},
        {"longword", [](TKoVar& V) { V.SetPropAsLongWord(vpValue, 4000000000u); }, 4e9},
        {"bool", [](TKoVar& V) { V.SetPropAsBool(vpValue, true); }, 1},
        {"string", [](TKoVar& V) { V.SetPropAsString(vpValue, L"12"); }, 12},
        {"data type text as integer",
         [](TKoVar& V) { V.SetPropAsDataType(vpValue, TKoOleVariant(L"12"), vdtInteger); }, 12},
        {"array, first element",
         [](TKoVar& V) {
             V.SetPropAsArray(vpValue, Array(VT_R8, {6, 7, 8}), vdtDouble);
         },
         6},
        {"value at, through the data type",
         [](TKoVar& V) {
             V.SetPropValueAt(vpValue, TKoOleVariant(L"9"), vpqGood, 40000, true, vdtInteger, false);
         },
         9},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TDoubleVar V(nullptr);
        C.Write(V);
        EXPECT_EQ(V.Quality(), vpqGood);
        EXPECT_EQ(V.Value(), C.Expected);
    }
    EXPECT_THROW(Var.SetPropAsArray(vpValue, TKoOleVariant(1.0), vdtDouble), EKoException);
}

TEST_F(VarAccess, TextPropertiesFollowTheirEmptyTextRule) {
    Var.SetPropAsString(vpCaption, L"");
    EXPECT_EQ(Var.GetPropQuality(vpCaption), vpqBad);
    EXPECT_EQ(Var.GetPropAsString(vpCaption), L"#BAD");
    Var.SetPropAsString(vpDescription, L"");
    EXPECT_EQ(Var.GetPropQuality(vpDescription), vpqGood);
    EXPECT_EQ(Var.GetPropAsString(vpDescription), L"");
    Var.SetPropAsDataType(vpDescription, TKoOleVariant(3.5), vdtDouble); // the property's type wins
    EXPECT_EQ(Var.Description(), L"3.5");
    Var.SetPropAsArray(vpAlarmText, Array(VT_I4, {1, 2}), vdtDefault);
    EXPECT_EQ(Var.AlarmText(), ArrayToText(Array(VT_I4, {1, 2}), L'\0', L'\r'));
    Var.SetPropAsDateTime(vpAlarmHelp, 36526.5);
    EXPECT_EQ(Var.AlarmHelp(), Var.DateTimeToStr(36526.5));
}

TEST(VarQuality, OfVariants) {
    struct Case {
        const char* Name;
        TKoOleVariant Value;
        TKoVarQuality Quality;
    };
    TKoOleVariant EmptyArray = TKoOleVariant::TakeArray(VT_R8, TKoSafeArray(VT_R8, {{0, -1}}).Release());
    const Case Cases[] = {
        {"empty", TKoOleVariant(), vpqBad},
        {"null", TKoOleVariant::Null(), vpqBad},
        {"bad integer", TKoOleVariant(KoBadInteger), vpqBad},
        {"integer", TKoOleVariant(int32_t{1}), vpqGood},
        {"bad float", TKoOleVariant(KoBadFloat), vpqBad},
        {"bad single", TKoOleVariant::OfType(VT_R4, KoBadSingle), vpqBad},
        {"bad text", TKoOleVariant(L"#BAD"), vpqBad},
        {"empty text", TKoOleVariant(L""), vpqUncertain},
        {"bad date", TKoOleVariant::Date(-0.5), vpqBad},
        {"date", TKoOleVariant::Date(-1.5), vpqGood},
        {"date beyond 9999", TKoOleVariant::Date(2958466.5), vpqBad},
        {"empty array", EmptyArray, vpqBad},
        {"array", Array(VT_R8, {KoBadFloat}), vpqGood},
        {"boolean", TKoOleVariant(false), vpqGood},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(TKoVar::QualityOfVariant(C.Value, vpqUncertain), C.Quality);
    }
}

} // namespace
