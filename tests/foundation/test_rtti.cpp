// Property reflection: the registry and its class chain, reading and writing every property
// kind as text and as a variant with its errors, the CSV forms of an object, and naming and
// finding components by path.

#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <mutex>
#include <string>
#include <vector>

#include "KoApplication.h"
#include "KoClasses.h"
#include "KoRTTI.h"
#include "KoStrings.h"
#include "KoUtils.h"

namespace {

enum TTestMode { tmOff, tmSlow, tmFast, tmMax };

// Plain objects for class-reference properties.
class TTestPart : public TKoPersistentBase {
public:
    const wchar_t* ClassName() const override { return L"TTestPart"; }
};
class TOtherPart : public TKoPersistentBase {
public:
    const wchar_t* ClassName() const override { return L"TOtherPart"; }
};

class TTestBase : public TKoComponent {
public:
    using TKoComponent::TKoComponent;
    const wchar_t* ClassName() const override { return L"TTestBase"; }
    int32_t Count = 0;
};

// One property of every kind, and two that take no part.
class TTestItem : public TTestBase {
public:
    using TTestBase::TTestBase;
    const wchar_t* ClassName() const override { return L"TTestItem"; }
    TTestMode Mode = tmOff;
    bool Flag = false;
    double Gain = 0;
    double Start = 0;
    std::wstring Text;
    wchar_t Sign = L'+';
    TKoOleVariant Data;
    TTestPart* Part = nullptr;
    TKoComponent* Link = nullptr;
    int32_t Size = 42;
};

// Registered nowhere: reflection sees it as a TTestItem.
class TUnregisteredItem : public TTestItem {
public:
    using TTestItem::TTestItem;
};
struct TUnregisteredPlain {
    int X = 0;
};

struct TPair {
    std::wstring Name;
    int32_t Value = 0;
};

struct TTriple {
    int32_t A = 0, B = 0, C = 0;
};

void RegisterTestClasses() {
    static std::once_flag Once;
    std::call_once(Once, [] {
        KoRTTIRegister<TTestPart>(L"TTestPart");
        KoRTTIRegister<TOtherPart>(L"TOtherPart");
        // The derived class first: the order of registration does not matter.
        KoRTTIRegister<TTestItem, TTestBase>(L"TTestItem")
            .Enum(
                L"Mode", KoRTTIEnumType<TTestMode>(L"TTestMode", {L"tmOff", L"tmSlow", L"tmFast", L"tmMax"}),
                [](const TTestItem& T) { return T.Mode; }, [](TTestItem& T, TTestMode V) { T.Mode = V; })
            .Bool(
                L"Flag", [](const TTestItem& T) { return T.Flag; }, [](TTestItem& T, bool V) { T.Flag = V; })
            .Skipped(L"Flags", tkSet)
            .Float(
                L"Gain", [](const TTestItem& T) { return T.Gain; },
                [](TTestItem& T, double V) { T.Gain = V; })
            .DateTime(
                L"Start", [](const TTestItem& T) { return T.Start; },
                [](TTestItem& T, double V) { T.Start = V; })
            .String(
                L"Text", [](const TTestItem& T) { return T.Text; },
                [](TTestItem& T, const std::wstring& V) { T.Text = V; })
            .WideChar(
                L"Sign", [](const TTestItem& T) { return T.Sign; },
                [](TTestItem& T, wchar_t V) { T.Sign = V; })
            .Skipped(L"OnChange", tkMethod)
            .Variant(
                L"Data", [](const TTestItem& T) { return T.Data; },
                [](TTestItem& T, const VARIANT& V) { T.Data = TKoOleVariant(V); })
            .Object(
                L"Part", [](const TTestItem& T) { return T.Part; },
                [](TTestItem& T, TTestPart* V) { T.Part = V; })
            .Object(
                L"Link", [](const TTestItem& T) { return T.Link; },
                [](TTestItem& T, TKoComponent* V) { T.Link = V; })
            .Integer(
                L"Size", [](const TTestItem& T) { return T.Size; }, nullptr);
        KoRTTIRegister<TTestBase, TKoComponent>(L"TTestBase")
            .Integer(
                L"Count", [](const TTestBase& T) { return T.Count; },
                [](TTestBase& T, int32_t V) { T.Count = V; })
            .Default(0);
        KoRTTIRegister<TPair>(L"TPair")
            .String(
                L"Name", [](const TPair& P) { return P.Name; },
                [](TPair& P, const std::wstring& V) { P.Name = V; })
            .Integer(
                L"Value", [](const TPair& P) { return P.Value; }, [](TPair& P, int32_t V) { P.Value = V; });
        KoRTTIRegister<TTriple>(L"TTriple")
            .Integer(
                L"A", [](const TTriple& T) { return T.A; }, [](TTriple& T, int32_t V) { T.A = V; })
            .Integer(
                L"B", [](const TTriple& T) { return T.B; }, [](TTriple& T, int32_t V) { T.B = V; })
            .Integer(
                L"C", [](const TTriple& T) { return T.C; }, [](TTriple& T, int32_t V) { T.C = V; });
    });
}

template <class TError> std::wstring ErrorText(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const TError& E) {
        return E.Message();
    }
    return L"(no error)";
}

// A module owned by the application with two variables-to-be, and an item owned by the module.
class Rtti : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterTestClasses();
        Module = new TKoComponent(&Application());
        Module->SetName(L"RttiMod");
        Var1 = new TKoComponent(Module);
        Var1->SetName(L"Var1");
        Item = new TTestItem(Module);
        Item->SetName(L"Item");
        Props = std::make_unique<TKoInstanceProperties>(TKoRTTIObject(Item));
        Props->SetCSVSeparator(L',');
    }
    void TearDown() override {
        Props.reset();
        TKoComponent::Free(Module);
    }
    TKoRTTIProp& Prop(const wchar_t* Name) { return *Props->PropByName(Name); }

    TKoComponent* Module = nullptr;
    TKoComponent* Var1 = nullptr;
    TTestItem* Item = nullptr;
    std::unique_ptr<TKoInstanceProperties> Props;
};

TEST_F(Rtti, ClassListsItsPropertiesInheritedFirstWithoutSkippedKinds) {
    EXPECT_EQ(ClassPropNamesToCSV(KoRTTIClassOf<TTestItem>(), L','),
              L"Name,Tag,Count,Mode,Flag,Gain,Start,Text,Sign,Data,Part,Link,Size");
    EXPECT_EQ(ClassPropNamesToCSV(KoRTTIClassOf<TTestItem>(), L';'),
              L"Name;Tag;Count;Mode;Flag;Gain;Start;Text;Sign;Data;Part;Link;Size");
    TKoClassProperties None(nullptr);
    EXPECT_EQ(None.Count(), 0);
    // An instance of an unregistered subclass is reflected as its nearest registered class.
    TUnregisteredItem Sub(nullptr);
    Sub.Count = 7;
    TKoInstanceProperties SubProps{TKoRTTIObject(&Sub)};
    EXPECT_EQ(SubProps.Count(), 13);
    EXPECT_EQ(SubProps.PropByName(L"Count")->GetValueAsString(), L"7");
    TUnregisteredPlain Plain;
    EXPECT_THROW(TKoRTTIObject{&Plain}, EKoRTTIException);
}

TEST_F(Rtti, PropertyLookupErrors) {
    EXPECT_EQ(Props->PropByName(L"mode")->Name(), L"Mode");
    EXPECT_EQ(ErrorText<EKoRTTIException>([&] { Props->Props(13); }),
              L"TKoClassProperties: Invalid property index 13 (valid: 0-12");
    EXPECT_EQ(ErrorText<EKoRTTIException>([&] { Props->Props(-1); }),
              L"TKoClassProperties: Invalid property index -1 (valid: 0-12");
    EXPECT_EQ(ErrorText<EKoRTTIException>([&] { Props->PropByName(L"Bogus"); }),
              L"TKoClassProperties: No property for PropName 'Bogus' exist.");
}

TEST_F(Rtti, ObjectToCsvAndBack) {
    TPair Pair{L"A", 5};
    EXPECT_EQ(ObjectToCSV(TKoRTTIObject(&Pair), L',', true), L"Name=A,Value=5");
    EXPECT_EQ(ObjectToCSV(TKoRTTIObject(&Pair), L';', false), L"A;5");
    Pair.Name = L"x,y";
    EXPECT_EQ(ObjectToCSV(TKoRTTIObject(&Pair), L',', false), L"\"x,y\",5");
    TPair Copy;
    CSVToObject(L"\"x,y\",5", TKoRTTIObject(&Copy), L',');
    EXPECT_EQ(Copy.Name, L"x,y");
    EXPECT_EQ(Copy.Value, 5);
    TKoStringList Lines;
    ObjectToStrings(TKoRTTIObject(&Pair), Lines);
    EXPECT_EQ(Lines.Text(), L"Name=x,y\r\nValue=5\r\n");
}

TEST_F(Rtti, ShortCsvLineSetsTheLeadingPropertiesThenFails) {
    TTriple T{0, 0, 9};
    TKoInstanceProperties P{TKoRTTIObject(&T)};
    P.SetCSVSeparator(L',');
    EXPECT_EQ(ErrorText<EKoStringListError>([&] { P.CSVToPropValues(L"1,2"); }),
              L"List index out of bounds (2)");
    EXPECT_EQ(T.A, 1);
    EXPECT_EQ(T.B, 2);
    EXPECT_EQ(T.C, 9);
}

TEST_F(Rtti, AssignFromStringsByName) {
    TKoStringList Lines{L"count=4", L"MODE=tmSlow", L"Bogus=1", L"Text=a=b"};
    EXPECT_EQ(ErrorText<EKoRTTIException>([&] { Props->AssignFromStrings(Lines, false); }),
              L"TKoClassProperties: No property for PropName 'Bogus' exist.");
    EXPECT_EQ(Item->Count, 4);
    EXPECT_EQ(Item->Mode, tmSlow);
    Props->AssignFromStrings(Lines, true);
    EXPECT_EQ(Item->Text, L"a=b");
}

// Each row: property, text written, the text read back afterwards (or the error message).
struct TTextCase {
    const wchar_t* Prop;
    const wchar_t* Written;
    const wchar_t* Read;
    const wchar_t* Error;
};

TEST_F(Rtti, OrdinalPropertiesFromText) {
    const TTextCase Cases[] = {
        {L"Count", L"12", L"12", nullptr},
        {L"Count", L"$10", L"16", nullptr},
        {L"Count", L"-5", L"-5", nullptr},
        {L"Count", L"$FFFFFFFF", L"-1", nullptr},
        {L"Count", L"12a", nullptr, L"'12a' is not a valid integer value"},
        {L"Count", L"99999999999", nullptr, L"'99999999999' is not a valid integer value"},
        {L"Mode", L"TMFAST", L"tmFast", nullptr},
        {L"Mode", L"1", L"tmSlow", nullptr},
        {L"Mode", L"7", nullptr, L"Property \"Mode\": Value 7 out of range (0..3)"},
        {L"Mode", L"-1", nullptr, L"Property \"Mode\": Value -1 out of range (0..3)"},
        {L"Mode", L"foo", nullptr, L"TKoEnumRTTIProp.SetValueAsString: Invalid Value 'foo'"},
        {L"Flag", L"1", L"True", nullptr},
        {L"Flag", L"0", L"False", nullptr},
        {L"Flag", L"true", L"True", nullptr},
        {L"Flag", L"2", nullptr, L"Property \"Flag\": Value 2 out of range (0..1)"},
        {L"Sign", L"A", L"A", nullptr},
        {L"Sign", L"66", L"B", nullptr},
        {L"Sign", L"70000", nullptr, L"Property \"Sign\": Value 70000 out of range (0..65535)"},
    };
    for (const TTextCase& C : Cases) {
        SCOPED_TRACE(std::wstring(C.Prop) + L" <- " + C.Written);
        TKoRTTIProp& P = Prop(C.Prop);
        const std::wstring Before = P.GetValueAsString();
        if (C.Error) {
            EXPECT_EQ(ErrorText<EKoRTTIException>([&] { P.SetValueAsString(C.Written); }), C.Error);
            EXPECT_EQ(P.GetValueAsString(), Before); // a failed write changes nothing
        } else {
            P.SetValueAsString(C.Written);
            EXPECT_EQ(P.GetValueAsString(), C.Read);
        }
    }
}

TEST_F(Rtti, OrdinalValuesAndNames) {
    Item->Mode = static_cast<TTestMode>(9);
    EXPECT_EQ(Prop(L"Mode").GetValueAsString(), L"Invalid <9>");
    TKoStringList Names;
    Names.Add(L"stale");
    Prop(L"Mode").GetEnumList(Names);
    EXPECT_EQ(Names.Text(), L"tmOff\r\ntmSlow\r\ntmFast\r\ntmMax\r\n");
    Prop(L"Count").GetEnumList(Names);
    EXPECT_EQ(Names.Count(), 0);

    auto& Flag = dynamic_cast<TKoBooleanRTTIProp&>(Prop(L"Flag"));
    Flag.SetValue(TKoOleVariant(L"True"));
    EXPECT_TRUE(Item->Flag);
    EXPECT_EQ(Flag.Value().Type(), VT_BOOL);
    Flag.SetValue(TKoOleVariant::Null());
    EXPECT_FALSE(Item->Flag);
    Flag.SetValue(TKoOleVariant(int32_t{5}));
    EXPECT_TRUE(Item->Flag);

    Prop(L"Count").SetValue(TKoOleVariant(L"21"));
    EXPECT_EQ(Item->Count, 21);
    EXPECT_EQ(Prop(L"Count").Value().Get().lVal, 21);
    Prop(L"Count").SetToNil();
    EXPECT_EQ(Item->Count, 0);
}

TEST_F(Rtti, StoredByDefault) {
    Item->Count = 0;
    EXPECT_FALSE(Prop(L"Count").IsStored());
    Item->Count = 3;
    EXPECT_TRUE(Prop(L"Count").IsStored());
    EXPECT_TRUE(Prop(L"Text").IsStored());
}

TEST_F(Rtti, FloatDateTimeStringAndVariantProperties) {
    const std::wstring Sep = KoLocaleInfo(LOCALE_SDECIMAL);
    const std::wstring TwoAndAHalf = L"2" + (Sep.empty() ? std::wstring(L".") : Sep) + L"5";
    Prop(L"Gain").SetValueAsString(TwoAndAHalf);
    EXPECT_EQ(Item->Gain, 2.5);
    EXPECT_EQ(Prop(L"Gain").GetValueAsString(), TwoAndAHalf);
    EXPECT_EQ(ErrorText<EKoRTTIException>([&] { Prop(L"Gain").SetValueAsString(L"abc"); }),
              L"'abc' is not a valid floating point value");
    EXPECT_EQ(Item->Gain, 2.5);

    // 2023-03-15 12:00 and midnight of the same day.
    for (const double Date : {45000.5, 45000.0}) {
        Item->Start = Date;
        const std::wstring Text = Prop(L"Start").GetValueAsString();
        EXPECT_EQ(Text, KoLocaleDateTimeText(Date, false, true));
        Item->Start = 0;
        Prop(L"Start").SetValueAsString(Text);
        EXPECT_DOUBLE_EQ(Item->Start, Date);
    }
    Prop(L"Start").SetValue(TKoOleVariant(1.25));
    EXPECT_EQ(Item->Start, 1.25);
    EXPECT_EQ(Prop(L"Start").Value().Type(), VT_DATE);

    Prop(L"Text").SetValueAsString(L"hello");
    EXPECT_EQ(Prop(L"Text").GetValueAsString(), L"hello");
    Prop(L"Text").SetToNil();
    EXPECT_EQ(Item->Text, L"");

    Item->Data = TKoOleVariant(int32_t{34});
    EXPECT_EQ(Prop(L"Data").GetValueAsString(), L"34");
    Prop(L"Data").SetValueAsString(L"abc");
    ASSERT_EQ(Item->Data.Type(), VT_BSTR);
    EXPECT_STREQ(Item->Data.Get().bstrVal, L"abc");
}

TEST_F(Rtti, ReadOnlyPropertyRefusesEveryWrite) {
    TKoRTTIProp& Size = Prop(L"Size");
    EXPECT_TRUE(Size.IsReadOnly());
    EXPECT_FALSE(Prop(L"Count").IsReadOnly());
    EXPECT_EQ(Size.GetValueAsString(), L"42");
    EXPECT_EQ(ErrorText<EKoRTTIReadOnlyError>([&] { Size.SetValueAsString(L"1"); }), L"Size is ReadOnly");
    EXPECT_THROW(Size.SetValue(TKoOleVariant(int32_t{1})), EKoRTTIReadOnlyError);
    EXPECT_THROW(Size.SetToNil(), EKoRTTIReadOnlyError);
    EXPECT_EQ(Item->Size, 42);
    // The reflection errors are general errors, not variable or list errors.
    try {
        Size.SetValueAsString(L"1");
    } catch (const EKoError& E) {
        EXPECT_NE(dynamic_cast<const EKoRTTIException*>(&E), nullptr);
        EXPECT_EQ(dynamic_cast<const EKoException*>(&E), nullptr);
    }
}

TEST_F(Rtti, ClassPropertyByAddress) {
    TTestPart Part;
    TOtherPart Other;
    auto& P = dynamic_cast<TKoClassRTTIProp&>(Prop(L"Part"));
    EXPECT_EQ(P.GetValueAsString(), L"$00000000");
    P.SetAsObject(TKoRTTIObject(&Part));
    const std::wstring Text = P.GetValueAsString();
    EXPECT_EQ(Text, KoFormat(L"$%08X", reinterpret_cast<uintptr_t>(&Part)));
    P.SetValueAsString(Text); // the same object again
    EXPECT_EQ(Item->Part, &Part);
    EXPECT_EQ(ErrorText<EKoRTTIException>([&] { P.SetAsObject(TKoRTTIObject(&Other)); }),
              L"Object '" + Text + L"' is not a 'TTestPart'");
    // A number that names no object this property can trace is refused, not dereferenced.
    EXPECT_EQ(ErrorText<EKoRTTIException>([&] { P.SetValueAsString(L"$12345678"); }),
              L"Object '$12345678' is not a 'TTestPart'");
    EXPECT_EQ(Item->Part, &Part);
    P.SetValueAsString(L"(none)");
    EXPECT_EQ(Item->Part, nullptr);
    P.SetAsObject(TKoRTTIObject(&Part));
    P.SetValueAsString(L"");
    EXPECT_EQ(Item->Part, nullptr);
}

TEST_F(Rtti, ComponentPropertyByName) {
    auto& Link = dynamic_cast<TKoComponentRTTIProp&>(Prop(L"Link"));
    Link.SetValueAsString(L"rttimod.VAR1");
    EXPECT_EQ(Item->Link, Var1);
    EXPECT_EQ(Link.GetValueAsString(), L"RttiMod.Var1");
    Link.SetValueAsString(L"(none)");
    EXPECT_EQ(Item->Link, nullptr);
    EXPECT_EQ(Link.GetValueAsString(), L"");
    // A plain name is looked up among the instance owner's components.
    Link.SetValueAsString(L"Var1");
    EXPECT_EQ(Item->Link, Var1);
    EXPECT_EQ(ErrorText<EKoRTTIException>([&] { Link.SetValueAsString(L"Nowhere.Nothing"); }),
              L"Component \"Nowhere.Nothing\" not found");
    EXPECT_EQ(Item->Link, Var1);
    // An address of a live component is accepted.
    Link.SetValueAsString(L"(none)");
    Link.SetValueAsString(KoFormat(L"%d", static_cast<int64_t>(reinterpret_cast<uintptr_t>(Module))));
    EXPECT_EQ(Item->Link, Module);
}

TEST_F(Rtti, ValueEqualsComparesSameTypesOnly) {
    TTestItem Other(nullptr);
    Other.Mode = Item->Mode = tmFast;
    Other.Count = 2;
    TKoInstanceProperties OtherProps{TKoRTTIObject(&Other)};
    EXPECT_TRUE(Prop(L"Mode").ValueEquals(OtherProps.PropByName(L"Mode")));
    EXPECT_FALSE(Prop(L"Mode").ValueEquals(OtherProps.PropByName(L"Count"))); // Integer 2 == tmFast
    Other.Mode = tmSlow;
    EXPECT_FALSE(Prop(L"Mode").ValueEquals(OtherProps.PropByName(L"Mode")));
    EXPECT_FALSE(Prop(L"Mode").ValueEquals(KoNullRTTIProp()));
    EXPECT_TRUE(KoNullRTTIProp()->GetIsNull());
    EXPECT_EQ(KoNullRTTIProp()->GetValueAsString(), L"NullRTTIProp");
}

TEST_F(Rtti, ComponentNamePaths) {
    TKoComponent* Deep = new TKoComponent(Var1);
    Deep->SetName(L"Deep");
    TKoComponent* Unnamed = new TKoComponent(Module);
    TKoComponent Loose(nullptr);
    Loose.SetName(L"Loose");
    struct TCase {
        TKoComponent* Component;
        bool WithOwnerPath, WithClassFallback;
        TKoComponent* RelativeTo;
        std::wstring Expected;
    } Cases[] = {
        {nullptr, true, true, nullptr, L""},
        {Module, true, false, nullptr, L"RttiMod"},
        {Var1, false, false, nullptr, L"RttiMod.Var1"},
        {Var1, false, false, Module, L"Var1"},
        {Deep, false, false, nullptr, L"Var1.Deep"},
        {Deep, true, false, nullptr, L"RttiMod.Var1.Deep"},
        {&Loose, false, false, nullptr, L"Loose"},
        {Unnamed, false, false, Module, L""},
        {Unnamed, false, true, Module,
         KoFormat(L"TKoComponent{%x}", reinterpret_cast<uintptr_t>(static_cast<void*>(Unnamed)))},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Expected);
        EXPECT_EQ(ComponentNamePath(C.Component, C.WithOwnerPath, C.WithClassFallback, C.RelativeTo),
                  C.Expected);
    }
    EXPECT_EQ(KoRunTimeApplication()->GetComponentName(nullptr), L"(none)");
    EXPECT_EQ(KoRunTimeApplication()->GetComponentName(Deep), L"RttiMod.Var1.Deep");
}

TEST_F(Rtti, FindComponentsByPathAndClass) {
    TKoRunTimeApplication& App = *KoRunTimeApplication();
    TKoComponent* Deep = new TKoComponent(Var1);
    Deep->SetName(L"Deep");
    EXPECT_EQ(App.FindComponent(L"RttiMod.Var1", L'.', nullptr), Var1);
    EXPECT_EQ(App.FindComponent(L"RTTIMOD", L'.', nullptr), Module);
    EXPECT_EQ(App.FindComponent(L"RttiMod.Var1.Deep", L'.', nullptr), Deep);
    EXPECT_EQ(App.FindComponent(L"Var1", L'.', nullptr), nullptr); // not owned by the application
    EXPECT_EQ(App.FindComponent(L".X.Deep", L'.', Var1), Deep);    // a leading delimiter: DefaultOwner
    EXPECT_EQ(App.FindComponent(L"RttiMod/Var1", L'/', nullptr), Var1);
    EXPECT_EQ(App.FindComponent(L"Nope.Var1", L'.', nullptr), nullptr);

    TTestBase* Second = new TTestBase(Var1);
    Second->SetName(L"Second");
    TKoStringList Found;
    App.FindComponents(Found, KoRTTIClassOf<TTestBase>(), nullptr);
    ASSERT_EQ(Found.Count(), 2);
    // Depth first in ownership order.
    EXPECT_EQ(Found.Strings(0), L"RttiMod.Var1.Second");
    EXPECT_EQ(Found.Objects<TKoComponent>(0), Second);
    EXPECT_EQ(Found.Strings(1), L"RttiMod.Item");

    TKoComponent* Made = App.CreateComponent(KoRTTIClassOf<TTestItem>(), Module, 0, 0, 0, 0);
    EXPECT_EQ(Made->Owner(), Module);
    EXPECT_STREQ(Made->ClassName(), L"TTestItem");
    EXPECT_THROW(App.CreateComponent(KoRTTIClassOf<TTestPart>(), Module, 0, 0, 0, 0), EKoRTTIException);
}

} // namespace
