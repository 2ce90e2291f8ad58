// The text and variant variables: qualities of texts, initial values, arrays written to a
// text, the variant's array property and its change detection on (nested) arrays; and the
// published properties of the variable classes through property reflection.

#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "KoClasses.h"
#include "KoRTTI.h"
#include "KoStringVars.h"
#include "KoUtils.h"
#include "KoVarsRTTI.h"

namespace {

// A one-dimensional array of the element type holding the given variants.
TKoOleVariant MakeArray(VARTYPE Type, std::initializer_list<TKoOleVariant> Elements) {
    TKoSafeArray Array(Type, {{0, static_cast<LONG>(Elements.size()) - 1}});
    LONG I = 0;
    for (const TKoOleVariant& E : Elements) {
        KoSafeArrayPutVariant(Array.Get(), &I, E);
        ++I;
    }
    return TKoOleVariant::TakeArray(Type, Array.Release());
}

TKoOleVariant Int(int32_t V) {
    return TKoOleVariant(V);
}

// The composite value the modules write: a variant array holding a variant array.
TKoOleVariant Composite(int32_t Inner) {
    return MakeArray(VT_VARIANT, {TKoOleVariant(1.5),
                                  MakeArray(VT_VARIANT, {TKoOleVariant(true), Int(Inner)}), TKoOleVariant()});
}

struct TNotes {
    explicit TNotes(TKoVar& Var) {
        Var.OnChange = [this](TKoVar*, TKoVarPropTypes Props) { Changes.push_back(Props); };
    }
    std::vector<TKoVarPropTypes> Changes;
};

TEST(StringVar, QualityOfWrittenTexts) {
    struct TCase {
        const wchar_t* Text;
        TKoVarQuality EmptyQuality;
        TKoVarQuality Expected;
    } Cases[] = {
        {L"", vpqGood, vpqGood}, // the default after construction
        {L"#BAD", vpqGood, vpqBad},
        {L"abc", vpqGood, vpqGood},
        {L"", vpqBad, vpqBad},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Text);
        TKoString Var(nullptr);
        ASSERT_EQ(Var.QualityOfEmptyString(), vpqGood);
        Var.SetQualityOfEmptyString(C.EmptyQuality);
        Var.SetValue(C.Text);
        EXPECT_EQ(Var.Quality(), C.Expected);
        EXPECT_TRUE(Var.GetPropIsValid(vpValue));
        EXPECT_EQ(Var.GetValueAsString(), C.Expected == vpqBad ? L"#BAD" : C.Text);
    }
}

TEST(StringVar, EmptyTextAfterTextIsAChange) {
    TKoString Var(nullptr);
    TNotes Notes(Var);
    Var.SetValue(L"abc");
    Var.SetValue(L"");
    Var.SetValue(L"");
    EXPECT_EQ(Notes.Changes.size(), 2u);
    EXPECT_EQ(Var.Value(), L"");
    EXPECT_EQ(Var.GetPropDataType(vpValue), vdtOleStr);
}

TEST(StringVar, InitialValueAppliedAtEndOfLoading) {
    auto* Module = new TKoDataModule(nullptr);
    auto* Var = new TKoString(Module);
    Var->SetInitialQuality(vpqGood);
    Var->SetInitialValue(L"test");
    EXPECT_TRUE(Var->IsBad());
    Module->AfterConstruction();
    EXPECT_EQ(Var->Value(), L"test");
    EXPECT_TRUE(Var->IsGood());
    TKoComponent::Free(Module);
}

TEST(StringVar, ArraysWrittenAsText) {
    struct TCase {
        const char* Name;
        TKoOleVariant Value;
        std::wstring Expected;
    } Cases[] = {
        // zero-padded bytes: one character per byte, blanks and controls trimmed
        {"bytes", MakeArray(VT_UI1, {Int(' '), Int('H'), Int('i'), Int(0), Int(0)}), L"Hi"},
        {"words", MakeArray(VT_UI2, {Int(L'O'), Int(L'k'), Int(L'\t')}), L"Ok"},
        {"integers", MakeArray(VT_I4, {Int(1), Int(2), Int(3)}), L"[1,2,3]"},
    };
    for (TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoString Var(nullptr);
        Var.SetPropValue(vpValue, C.Value);
        EXPECT_EQ(Var.Value(), C.Expected);
        EXPECT_TRUE(Var.IsGood());
    }
}

TEST(StringVar, DayNumberTextReadsAsDateTime) {
    TKoString Var(nullptr);
    Var.SetValue(L"45000.25");
    EXPECT_DOUBLE_EQ(Var.GetPropAsDateTime(vpValue), 45000.25);
    Var.SetValue(L"no date");
    EXPECT_THROW(Var.GetPropAsDateTime(vpValue), EKoOleError);
}

TEST(VariantVar, ArrayPropertyFollowsTheStoredValue) {
    TKoVariant Var(nullptr);
    EXPECT_EQ(Var.GetPropDataType(vpValue), vdtVariant);
    Var.SetValue(Int(34));
    EXPECT_FALSE(Var.GetPropIsArray(vpValue));
    EXPECT_TRUE(Var.IsGood());
    Var.SetValue(MakeArray(VT_I4, {Int(1)}));
    EXPECT_TRUE(Var.GetPropIsArray(vpValue));
    EXPECT_TRUE(Var.IsGood());
    Var.SetValue(TKoOleVariant(L"x"));
    EXPECT_FALSE(Var.GetPropIsArray(vpValue));
}

TEST(VariantVar, QualityOfStoredValues) {
    struct TCase {
        const char* Name;
        TKoOleVariant Value;
        TKoVarQuality Expected;
    } Cases[] = {
        {"empty", TKoOleVariant(), vpqBad},
        {"null", TKoOleVariant::Null(), vpqBad},
        {"empty text", TKoOleVariant(L""), vpqGood},
        {"bad text", TKoOleVariant(L"#BAD"), vpqBad},
        {"empty array", MakeArray(VT_I4, {}), vpqBad},
        {"array", MakeArray(VT_I4, {Int(0)}), vpqGood},
        {"bad integer", Int(KoBadInteger), vpqBad},
    };
    for (TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoVariant Var(nullptr);
        Var.SetValue(C.Value);
        EXPECT_EQ(Var.Quality(), C.Expected);
        EXPECT_TRUE(Var.GetPropIsValid(vpValue));
    }
}

TEST(VariantVar, RewritingAnEqualNestedArrayNotifiesNothing) {
    TKoVariant Var(nullptr);
    TNotes Notes(Var);
    Var.SetValue(Composite(7));
    Var.SetValue(Composite(7)); // a new but equal array
    EXPECT_EQ(Notes.Changes.size(), 1u);
    Var.SetValue(Composite(8)); // one inner element differs
    EXPECT_EQ(Notes.Changes.size(), 2u);
    const TKoOleVariant Stored = Var.Value();
    EXPECT_TRUE(VariantsEqual(Stored, Composite(8), true));
    // The same values written through the general path behave alike.
    Var.SetPropValue(vpValue, Composite(8));
    EXPECT_EQ(Notes.Changes.size(), 2u);
}

TEST(VariantVar, StoresACopyNotTheCallersArrayOrReference) {
    TKoVariant Var(nullptr);
    TKoOleVariant Source = MakeArray(VT_I4, {Int(1), Int(2)});
    VARIANT Ref;
    VariantInit(&Ref);
    Ref.vt = VT_BYREF | VT_VARIANT;
    Ref.pvarVal = &Source.Get();
    Var.SetValue(Ref);
    ASSERT_EQ(Var.Value().Type(), VT_ARRAY | VT_I4);
    LONG I = 0;
    KoSafeArrayPutVariant(KoVariantArray(Source), &I, Int(99)); // the caller changes its array
    EXPECT_TRUE(VariantsEqual(Var.Value(), MakeArray(VT_I4, {Int(1), Int(2)}), true));
}

TEST(VariantVar, ArrayWriteKeepsTheElementType) {
    TKoVariant Var(nullptr);
    Var.SetPropAsArray(vpValue, MakeArray(VT_I2, {Int(1), Int(2)}), vdtDouble);
    EXPECT_EQ(Var.Value().Type(), VT_ARRAY | VT_I2);
    // A write with an explicit time stamp goes the same way while the value is an array.
    Var.SetPropValueAt(vpValue, MakeArray(VT_UI1, {Int(5)}), vpqGood, NowUTC(), true, vdtDefault, false);
    EXPECT_EQ(Var.Value().Type(), VT_ARRAY | VT_UI1);
}

TEST(VariantVar, InitialValueAppliedAtEndOfLoading) {
    auto* Module = new TKoDataModule(nullptr);
    auto* Var = new TKoVariant(Module);
    Var->SetInitialQuality(vpqGood);
    Var->SetInitialValue(Int(34));
    Module->AfterConstruction();
    ASSERT_EQ(Var->Value().Type(), VT_I4);
    EXPECT_EQ(Var->Value().Get().lVal, 34);
    EXPECT_TRUE(Var->IsGood());
    TKoComponent::Free(Module);
}

// ---- published properties ----

// The message of the reflection error a text write raises.
std::wstring ErrorText(TKoInstanceProperties& Props, const wchar_t* Name, const wchar_t* Text) {
    try {
        Props.PropByName(Name)->SetValueAsString(Text);
    } catch (const EKoRTTIException& E) {
        return E.Message();
    }
    return L"(no error)";
}

class VarReflection : public ::testing::Test {
protected:
    void SetUp() override { KoRegisterVarsRTTI(); }
};

TEST_F(VarReflection, PublishedPropertiesInOrder) {
    const std::wstring Base =
        L"Name,Tag,Active,AlarmHelp,AlarmMode,AlarmText,Caption,ChangeFilter,Description,ID,"
        L"ReadOnly";
    EXPECT_EQ(ClassPropNamesToCSV(KoRTTIClassOf<TKoVar>(), L','), Base);
    EXPECT_EQ(ClassPropNamesToCSV(KoRTTIClassOf<TKoString>(), L','), Base + L",InitialQuality,InitialValue");
    EXPECT_EQ(ClassPropNamesToCSV(KoRTTIClassOf<TKoVariant>(), L','), Base + L",InitialQuality,InitialValue");
}

TEST_F(VarReflection, ReadsDefaultsAsText) {
    TKoComponent Module(nullptr);
    Module.SetName(L"Mod");
    TKoString Var(&Module);
    Var.SetName(L"S1");
    TKoInstanceProperties Props{TKoRTTIObject(&Var)};
    Props.SetCSVSeparator(L',');
    EXPECT_EQ(Props.PropValuesToCSV(true),
              KoFormat(L"Name=S1,Tag=0,Active=True,AlarmHelp=,AlarmMode=amOff,AlarmText=,Caption=S1,"
                       L"ChangeFilter=cfQualityValue,Description=,ID=%d,ReadOnly=False,InitialQuality=vpqBad,"
                       L"InitialValue=",
                       Var.ID()));
    EXPECT_FALSE(Props.PropByName(L"AlarmMode")->IsStored());
    EXPECT_FALSE(Props.PropByName(L"InitialValue")->IsStored());
    EXPECT_TRUE(Props.PropByName(L"ReadOnly")->IsStored());
    // An unregistered subclass reads as its registered base.
    class TMyString : public TKoString {
    public:
        using TKoString::TKoString;
    } Sub(nullptr);
    EXPECT_EQ(TKoInstanceProperties(TKoRTTIObject(&Sub)).Count(), Props.Count());
}

TEST_F(VarReflection, WritesEveryKindFromText) {
    TKoString Var(nullptr);
    TKoInstanceProperties Props{TKoRTTIObject(&Var)};
    TKoStringList Lines{L"Active=0",      L"AlarmHelp=help",         L"AlarmMode=AMALARMS", L"AlarmText=text",
                        L"Caption=Cap",   L"ChangeFilter=2",         L"Description=desc",   L"ID=$20",
                        L"ReadOnly=True", L"InitialQuality=vpqGood", L"InitialValue=hello"};
    Props.AssignFromStrings(Lines, false);
    EXPECT_FALSE(Var.Active());
    EXPECT_EQ(Var.AlarmHelp(), L"help");
    EXPECT_EQ(Var.AlarmMode(), amAlarms);
    EXPECT_EQ(Var.AlarmText(), L"text");
    EXPECT_EQ(Var.Caption(), L"Cap");
    EXPECT_EQ(Var.ChangeFilter(), cfQualityValueTimestamp);
    EXPECT_EQ(Var.Description(), L"desc");
    EXPECT_EQ(Var.ID(), 32);
    EXPECT_TRUE(Var.ReadOnly());
    EXPECT_EQ(Var.InitialQuality(), vpqGood);
    EXPECT_EQ(Var.InitialValue(), L"hello");
    EXPECT_TRUE(Props.PropByName(L"InitialValue")->IsStored());

    EXPECT_EQ(ErrorText(Props, L"InitialQuality", L"vpqPerfect"),
              L"TKoEnumRTTIProp.SetValueAsString: Invalid Value 'vpqPerfect'");
    EXPECT_EQ(ErrorText(Props, L"AlarmMode", L"3"), L"Property \"AlarmMode\": Value 3 out of range (0..2)");
    EXPECT_EQ(Var.AlarmMode(), amAlarms);
}

TEST_F(VarReflection, VariantInitialValueRoundTrip) {
    TKoVariant Var(nullptr);
    Var.SetName(L"V1");
    Var.SetInitialQuality(vpqGood);
    Var.SetInitialValue(Int(34));
    const std::wstring Line = ObjectToCSV(TKoRTTIObject(&Var), L';', false);
    EXPECT_NE(Line.find(L";vpqGood;34"), std::wstring::npos) << Line;

    TKoVariant Copy(nullptr);
    CSVToObject(Line, TKoRTTIObject(&Copy), L';');
    EXPECT_EQ(Copy.Name(), L"V1");
    EXPECT_EQ(Copy.InitialQuality(), vpqGood);
    // The text comes back as a text value.
    ASSERT_EQ(Copy.InitialValue().Type(), VT_BSTR);
    EXPECT_STREQ(Copy.InitialValue().Get().bstrVal, L"34");
}

} // namespace
