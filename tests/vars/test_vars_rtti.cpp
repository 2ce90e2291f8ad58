// The published properties of the numeric and discrete variables and of the state items through
// property reflection: the order each class lists them in, writing and reading each one by name
// as text, what is stored, the errors of each kind, and a module's configuration applied by name.

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "KoArrays.h"
#include "KoByteArrays.h"
#include "KoClasses.h"
#include "KoDiscreteVars.h"
#include "KoNumVars.h"
#include "KoRTTI.h"
#include "KoStrings.h"
#include "KoVarsRTTI.h"

namespace {

const std::wstring VarProps =
    L"Name,Tag,Active,AlarmHelp,AlarmMode,AlarmText,Caption,ChangeFilter,Description,ID,ReadOnly";

template <class T> struct TPropCase {
    const wchar_t* Prop;
    const wchar_t* Text;
    const wchar_t* ReadBack;
    std::function<bool(const T&)> Holds; // the object's own getter sees the written value
};

// Writes each property by name as text, checks the object received it, and reads it back.
template <class T> void CheckProps(T& Object, std::initializer_list<TPropCase<T>> Cases) {
    TKoInstanceProperties Props{TKoRTTIObject(&Object)};
    for (const TPropCase<T>& Case : Cases) {
        SCOPED_TRACE(testing::Message() << Case.Prop << "=" << Case.Text);
        Props.PropByName(Case.Prop)->SetValueAsString(Case.Text);
        EXPECT_TRUE(Case.Holds(Object));
        EXPECT_EQ(Props.PropByName(Case.Prop)->GetValueAsString(), Case.ReadBack);
    }
}

std::wstring PropText(const TKoRTTIObject& Object, const wchar_t* Prop) {
    return TKoInstanceProperties(Object).PropByName(Prop)->GetValueAsString();
}

class VarsRTTI : public ::testing::Test {
protected:
    void SetUp() override {
        KoRegisterVarsRTTI();
        Module.SetName(L"Random");
    }
    TKoComponent Module{nullptr};
};

} // namespace

TEST_F(VarsRTTI, EveryClassListsItsPropertiesInOrder) {
    struct TCase {
        const char* Class;
        const TKoRTTIClass* RTTIClass;
        std::wstring Names;
    } Cases[] = {
        {"TKoCustomInteger", KoRTTIClassOf<TKoCustomInteger>(), VarProps},
        {"TKoInteger", KoRTTIClassOf<TKoInteger>(),
         VarProps + L",DisplayFormat,EngUnit,InitialQuality,InitialValue,RangeMax,RangeMin,RangeMode"},
        {"TKoCustomFloat", KoRTTIClassOf<TKoCustomFloat>(), VarProps},
        {"TKoFloat", KoRTTIClassOf<TKoFloat>(),
         VarProps + L",AlarmHigh,AlarmLow,WarnHigh,WarnLow,Setpoint,DisplayFormat,EngUnit,InitialQuality,"
                    L"InitialValue,RangeMax,RangeMin,RangeMode,StatsMode"},
        {"TKoDateTime", KoRTTIClassOf<TKoDateTime>(),
         VarProps + L",InitialQuality,InitialValue,MaxDate,MinDate,RangeMode"},
        {"TKoBool", KoRTTIClassOf<TKoBool>(),
         VarProps + L",AlarmStateFalse,AlarmStateTrue,StringValueFalse,StringValueTrue,InitialQuality,"
                    L"InitialValue"},
        {"TKoState", KoRTTIClassOf<TKoState>(),
         VarProps + L",InitialQuality,InitialValue,RangeMax,RangeMin,RangeMode,States"},
        {"TKoBitSet", KoRTTIClassOf<TKoBitSet>(),
         VarProps + L",BitCount,InitialQuality,InitialValue,RangeMode,States,StrictStates"},
        {"TKoStateItem", KoRTTIClassOf<TKoStateItem>(), L"AlarmState,Name,Value"},
        {"TKoBitItem", KoRTTIClassOf<TKoBitItem>(), L"AlarmState,Name,BitNr"},
        {"TKoByteArray", KoRTTIClassOf<TKoByteArray>(), VarProps + L",BitOrder,ByteOrder,Length,Offset"},
        {"TKoFloatArray", KoRTTIClassOf<TKoFloatArray>(),
         VarProps + L",ArraySpecs,Capacity,Circular,DisplayFormat,EngUnit,FirstIndex,Mode,FirstPos,PosUnit,"
                    L"RangeMax,RangeMin,RangeMode,SampleWidth,Setpoint,StatsMode,UseLabels"},
    };
    for (const TCase& Case : Cases) {
        ASSERT_NE(Case.RTTIClass, nullptr) << Case.Class;
        EXPECT_EQ(ClassPropNamesToCSV(Case.RTTIClass, L','), Case.Names) << Case.Class;
    }
}

TEST_F(VarsRTTI, IntegerPropertiesByName) {
    auto* Var = new TKoInteger(&Module);
    CheckProps<TKoInteger>(
        *Var, {
                  {L"DisplayFormat", L"%5d", L"%5d", [](auto& V) { return V.DisplayFormat() == L"%5d"; }},
                  {L"EngUnit", L"rpm", L"rpm", [](auto& V) { return V.EngUnit() == L"rpm"; }},
                  {L"InitialQuality", L"VPQGOOD", L"vpqGood",
                   [](auto& V) { return V.InitialQuality() == vpqGood; }},
                  {L"InitialValue", L"$2A", L"42", [](auto& V) { return V.InitialValue() == 42; }},
                  {L"RangeMax", L"100", L"100", [](auto& V) { return V.RangeMax() == 100; }},
                  {L"RangeMin", L"-5", L"-5", [](auto& V) { return V.RangeMin() == -5; }},
                  {L"RangeMode", L"rmException", L"rmException",
                   [](auto& V) { return V.RangeMode() == rmException; }},
              });
}

TEST_F(VarsRTTI, FloatPropertiesByName) {
    auto* Var = new TKoFloat(&Module);
    CheckProps<TKoFloat>(
        *Var,
        {
            {L"AlarmHigh", L"80", L"80", [](auto& V) { return V.AlarmHigh() == 80; }},
            {L"AlarmLow", L"20", L"20", [](auto& V) { return V.AlarmLow() == 20; }},
            {L"WarnHigh", L"70", L"70", [](auto& V) { return V.WarnHigh() == 70; }},
            {L"WarnLow", L"30", L"30", [](auto& V) { return V.WarnLow() == 30; }},
            {L"Setpoint", L"50", L"50", [](auto& V) { return V.Setpoint() == 50; }},
            {L"DisplayFormat", L"%.1f", L"%.1f", [](auto& V) { return V.DisplayFormat() == L"%.1f"; }},
            {L"EngUnit", L"\u00B0C", L"\u00B0C", [](auto& V) { return V.EngUnit() == L"\u00B0C"; }},
            {L"InitialQuality", L"2", L"vpqGood", [](auto& V) { return V.InitialQuality() == vpqGood; }},
            {L"InitialValue", L"12", L"12", [](auto& V) { return V.InitialValue() == 12; }},
            {L"RangeMax", L"100", L"100", [](auto& V) { return V.RangeMax() == 100; }},
            {L"RangeMin", L"-10", L"-10", [](auto& V) { return V.RangeMin() == -10; }},
            {L"RangeMode", L"rmUndefine", L"rmUndefine", [](auto& V) { return V.RangeMode() == rmUndefine; }},
            {L"StatsMode", L"smSimple", L"smSimple", [](auto& V) { return V.StatsMode() == smSimple; }},
        });
}

TEST_F(VarsRTTI, ArrayPropertiesByName) {
    auto* Bytes = new TKoByteArray(&Module);
    CheckProps<TKoByteArray>(*Bytes,
                             {
                                 {L"BitOrder", L"enLittleEndian", L"enLittleEndian",
                                  [](auto& V) { return V.BitOrder() == enLittleEndian; }},
                                 {L"ByteOrder", L"enBigEndian", L"enBigEndian",
                                  [](auto& V) { return V.ByteOrder() == enBigEndian; }},
                                 {L"Length", L"16", L"16", [](auto& V) { return V.Length() == 16; }},
                                 {L"Offset", L"100", L"100", [](auto& V) { return V.Offset() == 100; }},
                             });
    auto* Floats = new TKoFloatArray(&Module);
    CheckProps<TKoFloatArray>(
        *Floats,
        {
            {L"Capacity", L"10", L"10", [](auto& V) { return V.Capacity() == 10; }},
            {L"ArraySpecs", L"True", L"True", [](auto& V) { return V.ArraySpecs(); }},
            {L"Circular", L"True", L"True", [](auto& V) { return V.Circular(); }},
            {L"FirstIndex", L"5", L"5", [](auto& V) { return V.FirstIndex() == 5; }},
            {L"FirstPos", L"2.5", L"2.5", [](auto& V) { return V.FirstPos() == 2.5; }},
            {L"SampleWidth", L"0.5", L"0.5", [](auto& V) { return V.SampleWidth() == 0.5; }},
            {L"PosUnit", L"m", L"m", [](auto& V) { return V.PosUnit() == L"m"; }},
            {L"UseLabels", L"True", L"True", [](auto& V) { return V.UseLabels(); }},
            {L"StatsMode", L"smSimple", L"smSimple", [](auto& V) { return V.StatsMode() == smSimple; }},
            {L"Mode", L"amFreeSamples", L"amFreeSamples", [](auto& V) { return V.Mode() == amFreeSamples; }},
        });
    // What is stored: the width only for uniform samples other than 1 apart.
    const auto Stored = [&](const wchar_t* Prop) {
        return TKoInstanceProperties(TKoRTTIObject(Floats)).PropByName(Prop)->IsStored();
    };
    EXPECT_FALSE(Stored(L"SampleWidth"));
    Floats->SetMode(amUniformSampleWidth);
    EXPECT_FALSE(Stored(L"SampleWidth"));
    Floats->SetSampleWidth(2);
    EXPECT_TRUE(Stored(L"SampleWidth"));
    EXPECT_TRUE(Stored(L"Capacity"));
    EXPECT_FALSE(Stored(L"RangeMax"));
}

TEST_F(VarsRTTI, DateTimePropertiesRoundTripThroughText) {
    const double Noon = 45293.5; // 2024-01-02 12:00
    auto* Source = new TKoDateTime(&Module);
    Source->SetInitialValue(Noon);
    Source->SetMaxDate(Noon + 1);
    Source->SetMinDate(Noon - 1);
    auto* Copy = new TKoDateTime(&Module);
    TKoInstanceProperties From{TKoRTTIObject(Source)}, To{TKoRTTIObject(Copy)};
    for (const wchar_t* Prop : {L"InitialValue", L"MaxDate", L"MinDate"}) {
        const std::wstring Text = From.PropByName(Prop)->GetValueAsString();
        EXPECT_NE(Text, To.PropByName(Prop)->GetValueAsString()) << Prop; // not the value of 0.0
        To.PropByName(Prop)->SetValueAsString(Text);
    }
    EXPECT_DOUBLE_EQ(Copy->InitialValue(), Noon);
    EXPECT_DOUBLE_EQ(Copy->MaxDate(), Noon + 1);
    EXPECT_DOUBLE_EQ(Copy->RangeMin(), Noon - 1); // MinDate is the range under another name
    CheckProps<TKoDateTime>(*Copy, {
                                       {L"InitialQuality", L"vpqUncertain", L"vpqUncertain",
                                        [](auto& V) { return V.InitialQuality() == vpqUncertain; }},
                                       {L"RangeMode", L"rmException", L"rmException",
                                        [](auto& V) { return V.RangeMode() == rmException; }},
                                   });
}

TEST_F(VarsRTTI, BoolPropertiesByName) {
    auto* Var = new TKoBool(&Module);
    CheckProps<TKoBool>(
        *Var,
        {
            {L"AlarmStateFalse", L"asWarning", L"asWarning",
             [](auto& V) { return V.AlarmStateFalse() == asWarning; }},
            {L"AlarmStateTrue", L"asAlarm", L"asAlarm",
             [](auto& V) { return V.AlarmStateTrue() == asAlarm; }},
            {L"StringValueFalse", L"Off", L"Off", [](auto& V) { return V.StringValueFalse() == L"Off"; }},
            {L"StringValueTrue", L"On", L"On", [](auto& V) { return V.StringValueTrue() == L"On"; }},
            {L"InitialQuality", L"vpqGood", L"vpqGood",
             [](auto& V) { return V.InitialQuality() == vpqGood; }},
            {L"InitialValue", L"1", L"True", [](auto& V) { return V.InitialValue(); }},
        });
}

TEST_F(VarsRTTI, StateAndBitSetPropertiesByName) {
    auto* State = new TKoState(&Module);
    CheckProps<TKoState>(
        *State,
        {
            {L"InitialQuality", L"vpqGood", L"vpqGood",
             [](auto& V) { return V.InitialQuality() == vpqGood; }},
            {L"InitialValue", L"3", L"3", [](auto& V) { return V.InitialValue() == 3; }},
            {L"RangeMax", L"9", L"9", [](auto& V) { return V.RangeMax() == 9; }},
            {L"RangeMin", L"1", L"1", [](auto& V) { return V.RangeMin() == 1; }},
            {L"RangeMode", L"rmUndefine", L"rmUndefine", [](auto& V) { return V.RangeMode() == rmUndefine; }},
        });
    auto* Bits = new TKoBitSet(&Module);
    CheckProps<TKoBitSet>(
        *Bits, {
                   {L"BitCount", L"8", L"8", [](auto& V) { return V.BitCount() == 8; }},
                   {L"InitialQuality", L"vpqGood", L"vpqGood",
                    [](auto& V) { return V.InitialQuality() == vpqGood; }},
                   {L"InitialValue", L"$80", L"128", [](auto& V) { return V.InitialValue() == 128u; }},
                   {L"RangeMode", L"rmNone", L"rmNone", [](auto& V) { return V.RangeMode() == rmNone; }},
                   {L"StrictStates", L"True", L"True", [](auto& V) { return V.StrictStates(); }},
               });
    EXPECT_EQ(Bits->States().Count(), 8); // strict states made one item per bit
    // The lists are class-typed properties: they give the variable's own list.
    const auto States = [](TKoComponent* Var) -> void* {
        TKoInstanceProperties Props{TKoRTTIObject(Var)};
        auto* Prop = dynamic_cast<TKoClassRTTIProp*>(Props.PropByName(L"States"));
        return Prop ? Prop->AsObject().As(KoRTTIClassOf<TKoStateItemlist>()) : nullptr;
    };
    EXPECT_EQ(States(State), &State->States());
    EXPECT_EQ(States(Bits), static_cast<TKoStateItemlist*>(&Bits->States()));
}

TEST_F(VarsRTTI, StateItemPropertiesByName) {
    auto* State = new TKoState(&Module);
    auto* Item = static_cast<TKoStateItem*>(State->States().Add(nullptr));
    CheckProps<TKoStateItem>(
        *Item, {
                   {L"AlarmState", L"asAlarm", L"asAlarm", [](auto& I) { return I.AlarmState() == asAlarm; }},
                   {L"Name", L"High", L"High", [](auto& I) { return I.Name() == L"High"; }},
                   {L"Value", L"7", L"7", [](auto& I) { return I.Value() == 7; }},
               });
    EXPECT_EQ(State->States().StateByValue(7), Item); // the list re-keyed the item
    auto* Bits = new TKoBitSet(&Module);
    auto* Bit = static_cast<TKoBitItem*>(Bits->States().Add(nullptr));
    CheckProps<TKoBitItem>(*Bit, {
                                     {L"BitNr", L"5", L"5", [](auto& I) { return I.IntValue() == 32u; }},
                                 });
}

TEST_F(VarsRTTI, StoredFollowsTheDefaults) {
    auto* Int = new TKoInteger(&Module);
    auto* Float = new TKoFloat(&Module);
    auto* Bool = new TKoBool(&Module);
    auto* Bits = new TKoBitSet(&Module);
    struct TCase {
        TKoComponent* Var;
        const wchar_t* Prop;
        const wchar_t* Text;
        bool StoredBefore;
        bool StoredAfter;
    } Cases[] = {
        {Int, L"RangeMode", L"rmException", false, true}, {Int, L"RangeMax", L"-1", true, true},
        {Float, L"AlarmHigh", L"80", false, true},        {Float, L"RangeMin", L"-1", false, true},
        {Float, L"StatsMode", L"smSimple", false, true},  {Bool, L"AlarmStateTrue", L"asNormal", true, true},
        {Bits, L"BitCount", L"8", false, true},           {Bits, L"StrictStates", L"True", false, true},
    };
    for (const TCase& Case : Cases) {
        TKoInstanceProperties Props{TKoRTTIObject(Case.Var)};
        TKoRTTIProp* Prop = Props.PropByName(Case.Prop);
        EXPECT_EQ(Prop->IsStored(), Case.StoredBefore) << Case.Var->ClassName() << L"." << Case.Prop;
        Prop->SetValueAsString(Case.Text);
        EXPECT_EQ(Prop->IsStored(), Case.StoredAfter) << Case.Var->ClassName() << L"." << Case.Prop;
    }
    // An initial value is stored only with an initial quality other than bad.
    auto* DateTime = new TKoDateTime(&Module);
    auto* State = new TKoState(&Module);
    for (TKoComponent* Var : std::initializer_list<TKoComponent*>{Int, Float, DateTime, Bool, State, Bits}) {
        TKoInstanceProperties Props{TKoRTTIObject(Var)};
        EXPECT_FALSE(Props.PropByName(L"InitialValue")->IsStored()) << Var->ClassName();
        Props.PropByName(L"InitialQuality")->SetValueAsString(L"vpqUncertain");
        EXPECT_TRUE(Props.PropByName(L"InitialValue")->IsStored()) << Var->ClassName();
    }
}

TEST_F(VarsRTTI, ErrorsOfEachKind) {
    auto* Int = new TKoInteger(&Module);
    auto* Float = new TKoFloat(&Module);
    auto* DateTime = new TKoDateTime(&Module);
    auto* Bool = new TKoBool(&Module);
    auto* State = new TKoState(&Module);
    auto* Bits = new TKoBitSet(&Module);
    Bits->SetStrictStates(true); // the items follow the bit count, which limits it to 32
    auto* Item = static_cast<TKoStateItem*>(State->States().Add(nullptr));
    struct TCase {
        TKoRTTIObject Object;
        const wchar_t* Prop;
        const wchar_t* Text;
        std::wstring Message;
    } Cases[] = {
        {Int, L"RangeMax", L"ten", L"'ten' is not a valid integer value"},
        {Float, L"StatsMode", L"smFull", L"TKoEnumRTTIProp.SetValueAsString: Invalid Value 'smFull'"},
        {Float, L"RangeMode", L"3", L"Property \"RangeMode\": Value 3 out of range (0..2)"},
        {Float, L"AlarmHigh", L"high", L"'high' is not a valid floating point value"},
        {Float, L"MaxDate", L"1", L"TKoClassProperties: No property for PropName 'MaxDate' exist."},
        {DateTime, L"MinDate", L"someday", L"'someday' is not a valid date and time"},
        {Bool, L"InitialValue", L"maybe", L"TKoEnumRTTIProp.SetValueAsString: Invalid Value 'maybe'"},
        {Bits, L"BitCount", L"70000", L"Property \"BitCount\": Value 70000 out of range (0..65535)"},
        {Bits, L"BitCount", L"33", L"Max BitCount is 32"}, // the variable's own rule
        {State, L"States", L"$1234", L"Object '$00001234' is not a 'TKoStateItemlist'"},
        {Item, L"AlarmState", L"asBad", L"TKoEnumRTTIProp.SetValueAsString: Invalid Value 'asBad'"},
    };
    for (const TCase& Case : Cases) {
        std::wstring Message = L"(no error)";
        try {
            TKoInstanceProperties(Case.Object).PropByName(Case.Prop)->SetValueAsString(Case.Text);
        } catch (const EKoError& E) {
            Message = E.Message();
        }
        EXPECT_EQ(Message, Case.Message) << Case.Prop << L"=" << Case.Text;
    }
    // Failed writes leave the values alone.
    EXPECT_EQ(Int->RangeMax(), -1);
    EXPECT_EQ(Float->StatsMode(), smNone);
    EXPECT_EQ(Bits->BitCount(), 32);
    EXPECT_EQ(Item->AlarmState(), asNormal);
}

TEST_F(VarsRTTI, ModuleConfigurationAppliedByName) {
    auto* Float = new TKoFloat(&Module);
    Float->SetName(L"KoFloat1");
    TKoInstanceProperties FloatProps{TKoRTTIObject(Float)};
    TKoStringList Lines{L"AlarmHigh=80",
                        L"AlarmLow=20",
                        L"WarnHigh=70",
                        L"WarnLow=30",
                        L"EngUnit=\u00B0C",
                        L"RangeMax=100",
                        L"RangeMode=rmException",
                        L"StatsMode=smSimple",
                        L"AlarmMode=amAlarmsAndWarnings"};
    FloatProps.AssignFromStrings(Lines, false);
    struct TRead {
        const wchar_t* Prop;
        const wchar_t* Text;
    } Reads[] = {{L"AlarmHigh", L"80"},          {L"AlarmLow", L"20"},
                 {L"WarnHigh", L"70"},           {L"WarnLow", L"30"},
                 {L"EngUnit", L"\u00B0C"},       {L"RangeMax", L"100"},
                 {L"RangeMode", L"rmException"}, {L"StatsMode", L"smSimple"},
                 {L"Name", L"KoFloat1"}};
    for (const TRead& Read : Reads)
        EXPECT_EQ(PropText(TKoRTTIObject(Float), Read.Prop), Read.Text) << Read.Prop;
    // The variable works by the configuration.
    Float->SetValue(79.9);
    EXPECT_EQ(Float->AlarmState(), asWarning);
    Float->SetValue(80);
    EXPECT_EQ(Float->AlarmState(), asAlarm);
    EXPECT_THROW(Float->SetValue(100.5), EKoRangeError);
    EXPECT_DOUBLE_EQ(Float->Mean(), (79.9 + 80) / 2);

    // KoState1: its states as the module definition gives them, through the States property.
    auto* State = new TKoState(&Module);
    State->SetName(L"KoState1");
    TKoInstanceProperties StateProps{TKoRTTIObject(State)};
    StateProps.AssignFromStrings(TKoStringList{L"RangeMin=0", L"RangeMax=2", L"AlarmMode=amAlarms"}, false);
    auto* States =
        static_cast<TKoStateItemlist*>(dynamic_cast<TKoClassRTTIProp*>(StateProps.PropByName(L"States"))
                                           ->AsObject()
                                           .As(KoRTTIClassOf<TKoStateItemlist>()));
    ASSERT_EQ(States, &State->States());
    States->ReadItems({
        {{{L"AlarmState", L"asNormal"}, {L"Name", L"Off"}, {L"Value", L"0"}}},
        {{{L"AlarmState", L"asWarning"}, {L"Name", L"Starting"}, {L"Value", L"1"}}},
        {{{L"AlarmState", L"asAlarm"}, {L"Name", L"Fault"}, {L"Value", L"2"}}},
    });
    std::vector<std::wstring> Items;
    for (int I = 0; I < States->Count(); ++I)
        Items.push_back(ObjectToCSV(TKoRTTIObject(States->Items(I)), L',', true));
    EXPECT_EQ(Items, (std::vector<std::wstring>{L"AlarmState=asNormal,Name=Off,Value=0",
                                                L"AlarmState=asWarning,Name=Starting,Value=1",
                                                L"AlarmState=asAlarm,Name=Fault,Value=2"}));
    State->SetValueAsString(L"Fault");
    EXPECT_EQ(State->Value(), 2);
    EXPECT_EQ(State->AlarmState(), asAlarm);
}
