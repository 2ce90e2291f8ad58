#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "KoDiscreteVars.h"
#include "KoOle.h"
#include "KoStrings.h"

namespace {

template <class TError> std::wstring MessageOf(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const TError& Error) {
        return Error.Message();
    }
    return L"(no error)";
}

// A module with the standard state variable: states State0 ... State9, range 0 ... 9.
struct TStateFixture : ::testing::Test {
    TKoComponent Module{nullptr};
    TKoState* State = nullptr;
    void SetUp() override {
        Module.SetName(L"Mod");
        State = new TKoState(&Module);
        State->SetName(L"KoState1");
        State->SetAlarmMode(amAlarmsAndWarnings);
        State->SetRangeMin(0);
        State->SetRangeMax(9);
        for (int I = 0; I < 10; ++I) State->States().AddState(L"State" + std::to_wstring(I), I);
    }
};

// A bit set with sixteen named bits State0 ... State15.
struct TBitSetFixture : ::testing::Test {
    TKoComponent Module{nullptr};
    TKoBitSet* Bits = nullptr;
    void SetUp() override {
        Bits = new TKoBitSet(&Module);
        Bits->SetName(L"KoBitSet1");
        Bits->SetAlarmMode(amAlarmsAndWarnings);
        for (int I = 0; I < 16; ++I) Bits->States().AddState(L"State" + std::to_wstring(I), I);
    }
};

TKoOleVariant BoolArray(std::initializer_list<bool> Values) {
    TKoSafeArray Array(VT_BOOL, {{0, static_cast<LONG>(Values.size()) - 1}});
    LONG I = 0;
    for (bool V : Values) {
        KoSafeArrayPutVariant(Array.Get(), &I, TKoOleVariant(V));
        ++I;
    }
    return TKoOleVariant::TakeArray(VT_BOOL, Array.Release());
}

} // namespace

// ---- TKoBool ----

TEST(KoBool, ToggleOfAFreshBoolRisesToTrue) {
    TKoComponent Module(nullptr);
    auto* Bool = new TKoBool(&Module);
    std::vector<std::wstring> Edges;
    Bool->OnRisingEdge = [&](TKoComponent*) { Edges.push_back(L"rising"); };
    Bool->OnFallingEdge = [&](TKoComponent*) { Edges.push_back(L"falling"); };
    EXPECT_TRUE(Bool->IsBad());
    Bool->Toggle();
    EXPECT_TRUE(Bool->Value());
    EXPECT_TRUE(Bool->IsGood());
    Bool->Invert();
    Bool->SetValue(false); // no change, no edge
    EXPECT_EQ(Edges, (std::vector<std::wstring>{L"rising", L"falling"}));
}

TEST(KoBool, FailingEdgeHandlerIsReportedByName) {
    TKoComponent Module(nullptr);
    Module.SetName(L"Mod");
    auto* Bool = new TKoBool(&Module);
    Bool->SetName(L"B");
    Bool->OnRisingEdge = [](TKoComponent*) { throw EKoException(L"boom"); };
    EXPECT_EQ(MessageOf<EKoVarException>([&] { Bool->SetValue(true); }),
              L"Exception 'EKoException' in OnRisingEdge handler (Variable=Mod.B): boom");
    EXPECT_TRUE(Bool->Value()); // the change itself is stored
}

TEST(KoBool, TextsOfTheValues) {
    TKoComponent Module(nullptr);
    auto* Bool = new TKoBool(&Module);
    EXPECT_EQ(Bool->GetValueAsString(), L"#BAD");
    Bool->SetValue(true);
    EXPECT_EQ(Bool->GetValueAsString(), L"True");
    Bool->SetStringValueTrue(L"On");
    Bool->SetStringValueFalse(L"Off");
    EXPECT_EQ(Bool->GetValueAsString(), L"On");
    struct TCase {
        const wchar_t* Text;
        bool Expected;
    } Cases[] = {{L"OFF", false}, {L"ON", true}, {L"false", false},
                 {L"TRUE", true}, {L"0", false}, {L"7", true}};
    for (const TCase& Case : Cases) {
        Bool->SetValue(!Case.Expected);
        Bool->SetValueAsString(Case.Text);
        EXPECT_EQ(Bool->Value(), Case.Expected) << Case.Text;
    }
    EXPECT_EQ(MessageOf<EKoRangeError>([&] { Bool->StrToBool(L""); }),
              L"Cannot convert empty string to boolean");
    Bool->SetValueAsString(L""); // an empty text written as the value is a bad value
    EXPECT_TRUE(Bool->IsBad());
    EXPECT_EQ(Bool->GetValueAsString(), L"#BAD");
    EXPECT_THROW(Bool->SetValueAsString(L"maybe"), EKoError);
    // Numbers read 0 or 1.
    Bool->SetValue(true);
    EXPECT_EQ(Bool->GetPropAsInteger(vpValue), 1);
    EXPECT_EQ(Bool->GetPropAsFloat(vpValue), 1.0);
    EXPECT_EQ(Bool->GetPropDataType(vpValue), vdtBoolean);
}

TEST(KoBool, AlarmStatePerValue) {
    TKoComponent Module(nullptr);
    auto* Bool = new TKoBool(&Module);
    Bool->SetAlarmMode(amAlarmsAndWarnings);
    Bool->SetValue(true);
    EXPECT_EQ(Bool->AlarmState(), asNormal);
    Bool->SetAlarmStateTrue(asAlarm); // recomputed at once
    EXPECT_EQ(Bool->AlarmState(), asAlarm);
    EXPECT_TRUE(Bool->GetPropIsValid(vpAlarmHigh));
    EXPECT_FALSE(Bool->GetPropIsValid(vpAlarmLow));
    Bool->SetAlarmStateFalse(asWarning);
    Bool->SetValue(false);
    EXPECT_EQ(Bool->AlarmState(), asWarning);
    EXPECT_EQ(Bool->GetPropQuality(vpAlarmState), vpqGood);
}

// ---- TKoState ----

TEST_F(TStateFixture, NextAndPrevWrapAtBothEnds) {
    struct TCase {
        int32_t From;
        bool Forward;
        int32_t Expected;
    } Cases[] = {{9, true, 0}, {0, false, 9}, {4, true, 5}, {4, false, 3}};
    for (const TCase& Case : Cases) {
        State->SetValue(Case.From);
        Case.Forward ? State->Next() : State->Prev();
        EXPECT_EQ(State->Value(), Case.Expected) << Case.From << (Case.Forward ? " next" : " prev");
    }
    // A value that no item holds goes to the first state forward and the last one backward.
    State->States().Delete(5);
    State->SetValue(5);
    State->Next();
    EXPECT_EQ(State->Value(), 0);
    State->SetValue(5);
    State->Prev();
    EXPECT_EQ(State->Value(), 9);
}

TEST(KoState, NextAndPrevWithoutItemsWalkTheRange) {
    TKoComponent Module(nullptr);
    auto* State = new TKoState(&Module);
    State->SetRangeMin(2);
    State->SetRangeMax(4);
    State->SetValue(4);
    State->Next();
    EXPECT_EQ(State->Value(), 2);
    State->Prev();
    EXPECT_EQ(State->Value(), 4);
    State->Prev();
    EXPECT_EQ(State->Value(), 3);
}

TEST_F(TStateFixture, TextsNameStates) {
    State->SetValueAsString(L"State3");
    EXPECT_EQ(State->Value(), 3);
    State->SetValueAsString(L"7");
    EXPECT_EQ(State->Value(), 7);
    EXPECT_EQ(State->GetValueAsString(), L"State7");
    EXPECT_EQ(MessageOf<EKoInvalidValue>([&] { State->SetValueAsString(L"state3"); }),
              L"'state3' is not a valid state");
    EXPECT_THROW(State->SetValueAsString(L"12"), EKoRangeError); // a number outside the range
    EXPECT_EQ(State->Value(), 7);
    // A state without name shows its number.
    State->States().StateByValue(7)->SetName(L"");
    EXPECT_EQ(State->GetValueAsString(), L"7");
    EXPECT_EQ(State->GetVarPropValueAsInteger(vpValue, TKoOleVariant(L"State2")), 2);
}

TEST_F(TStateFixture, AlarmStateOfTheItemHoldingTheValue) {
    State->States().StateByValue(8)->SetAlarmState(asAlarm);
    State->States().StateByValue(1)->SetAlarmState(asWarning);
    struct TCase {
        int32_t Value;
        TKoVarAlarmState Expected;
    } Cases[] = {{8, asAlarm}, {1, asWarning}, {0, asNormal}};
    for (const TCase& Case : Cases) {
        State->SetValue(Case.Value);
        EXPECT_EQ(State->AlarmState(), Case.Expected) << Case.Value;
    }
    State->States().Delete(State->States().IndexOfValue(0));
    State->SetValue(1);
    State->SetValue(0); // no item holds 0
    EXPECT_EQ(State->AlarmState(), asUnknown);
}

TEST_F(TStateFixture, StateItemKeysOrderAndDuplicates) {
    EXPECT_EQ(TKoStateItemlist::KeyOfValue(5), L"+      5");
    EXPECT_EQ(TKoStateItemlist::KeyOfValue(-5), L"      -5");
    TKoStateItemlist& List = State->States();
    TKoCustomStateItem* Item = List.StateByValue(2);
    EXPECT_EQ(MessageOf<EKoError>([&] { Item->SetStateValue(3); }), L"Duplicate state value: 3");
    EXPECT_EQ(Item->StateValue(), 2);
    EXPECT_EQ(List.IndexOfValue(2), 2);
    // Re-keyed items move to their place, and the range grows to hold them.
    Item->SetStateValue(12);
    EXPECT_EQ(List.Items(List.Count() - 1), Item);
    EXPECT_EQ(State->RangeMax(), 12);
    // A new item continues from the last one.
    TKoCustomStateItem* Added = static_cast<TKoCustomStateItem*>(List.Add(nullptr));
    EXPECT_EQ(Added->StateValue(), 13);
    EXPECT_EQ(State->RangeMax(), 13);
    EXPECT_EQ(List.IndexOfName(L"State9"), 8);
    EXPECT_EQ(List.IndexOfName(L"state9"), -1);
    EXPECT_EQ(MessageOf<EKoError>([&] { List.AddState(L"Again", 4); }), L"Duplicate state value: 4");
    EXPECT_EQ(List.Count(), 11);
}

TEST_F(TStateFixture, ItemAndListChangesReachTheVariable) {
    int Configs = 0, Ranges = 0;
    TKoVarChangeSlot Slot;
    Slot.OnConfigChange = [&](TKoComponent*) { ++Configs; };
    Slot.Connect(State->ChangeSignal());
    State->OnRangeChange = [&](TKoComponent*) { ++Ranges; };
    State->States().Items(0)->SetName(L"Zero");
    EXPECT_EQ(Configs, 1);
    EXPECT_EQ(Ranges, 0);
    State->States().AddState(L"Ten", 10);
    EXPECT_GT(Ranges, 0);
    TKoStrings Names;
    State->GetStateNames(Names);
    EXPECT_EQ(Names.Strings(0), L"Zero");
    EXPECT_EQ(Names.Count(), 11);
}

TEST_F(TStateFixture, StateListTextFileRoundTrip) {
    State->States().SetDelimiter(L',');
    State->States().StateByValue(3)->SetAlarmState(asAlarm);
    std::ostringstream Out;
    State->States().SaveToStream(Out);
    EXPECT_EQ(Out.str().substr(0, 40), "AlarmState,Name,Value\r\nasNormal,State0,0");
    TKoComponent Other(nullptr);
    auto* Copy = new TKoState(&Other);
    Copy->States().SetDelimiter(L',');
    std::istringstream In(Out.str());
    Copy->States().LoadFromStream(In);
    ASSERT_EQ(Copy->States().Count(), 10);
    EXPECT_EQ(Copy->States().StateByValue(3)->AlarmState(), asAlarm);
    EXPECT_EQ(Copy->States().StateByValue(9)->Name(), L"State9");
    // Bit items name other properties.
    auto* Bits = new TKoBitSet(&Other);
    Bits->States().SetDelimiter(L',');
    std::istringstream Again(Out.str());
    EXPECT_EQ(MessageOf<EKoRTTIException>([&] { Bits->States().LoadFromStream(Again); }),
              L"The stream does not include compatible data. Expected first row: AlarmState,Name,BitNr");
}

// ---- TKoBitSet ----

TEST_F(TBitSetFixture, TextOfNamedBits) {
    Bits->SetValue(5u);
    EXPECT_EQ(Bits->GetValueAsString(), L"State0,State2");
    Bits->SetValueAsString(L"State1,State3");
    EXPECT_EQ(Bits->Value(), 10u);
    Bits->SetValueAsString(L"Bit4");
    EXPECT_EQ(Bits->Value(), 16u);
    Bits->SetValueAsString(L"State1,State1"); // one bit, however often named
    EXPECT_EQ(Bits->Value(), 2u);
    Bits->SetValueAsString(L"1, 3");
    EXPECT_EQ(Bits->Value(), 10u);
    Bits->SetValueAsString(L"40"); // a number is the word itself
    EXPECT_EQ(Bits->Value(), 40u);
    Bits->SetValue(0x10000u | 1u); // bit 16 has no item
    EXPECT_EQ(Bits->GetValueAsString(), L"State0,Bit16");
    EXPECT_EQ(MessageOf<EKoVarException>([&] { Bits->SetValueAsString(L"State1,Nope"); }),
              L"Not a valid bit name: Nope");
    EXPECT_EQ(Bits->GetVarPropValueAsLongWord(vpValue, TKoOleVariant(L"State2,4,Nope")), 4u | 4u);
}

// The word is unsigned in every type it is read in: the high bit never makes it negative.
TEST_F(TBitSetFixture, HighBitsStayUnsignedInEveryType) {
    Bits->SetValue(0xFFFFFFFFu);
    EXPECT_EQ(Bits->GetPropValue(vpValue).Type(), VT_UI4);
    EXPECT_EQ(Bits->GetPropAsFloat(vpValue), 4294967295.0);
    const TKoOleVariant AsDouble = Bits->GetPropAsDataType(vpValue, vdtDouble);
    ASSERT_EQ(AsDouble.Type(), VT_R8);
    EXPECT_EQ(AsDouble.Get().dblVal, 4294967295.0);
    const TKoOleVariant AsInt64 = Bits->GetPropAsDataType(vpValue, vdtInt64);
    ASSERT_EQ(AsInt64.Type(), VT_I8);
    EXPECT_EQ(AsInt64.Get().llVal, 4294967295LL);
}

TEST_F(TBitSetFixture, ItemNamedLikeTheBitPrefixWins) {
    Bits->States().Items(5)->SetName(L"Bit4");
    Bits->SetValueAsString(L"Bit4");
    EXPECT_EQ(Bits->Value(), 32u);
}

TEST(KoBitSet, RangeFollowsTheBitCount) {
    TKoComponent Module(nullptr);
    auto* Bits = new TKoBitSet(&Module);
    EXPECT_EQ(Bits->RangeMode(), rmException);
    EXPECT_EQ(Bits->BitMask(), 0xFFFFFFFFu);
    Bits->SetValue(0xFFFFFFFFu); // any 32-bit word
    EXPECT_EQ(Bits->Value(), 0xFFFFFFFFu);
    EXPECT_EQ(Bits->RangeMax(), 2147483647);
    EXPECT_EQ(Bits->RangeMin(), -2147483647 - 1);
    Bits->SetBitCount(4);
    EXPECT_EQ(Bits->RangeMax(), 15);
    EXPECT_EQ(Bits->RangeMin(), 0);
    Bits->SetValue(15u);
    EXPECT_THROW(Bits->SetValue(16u), EKoRangeError);
    EXPECT_EQ(Bits->Value(), 15u);
    Bits->SetRangeMax(100); // log2(100) rounds up to 7, plus one
    EXPECT_EQ(Bits->BitCount(), 8);
    EXPECT_EQ(Bits->GetPropDataType(vpValue), vdtLongWord);
}

TEST(KoBitSet, StrictStatesMakeOneItemPerBit) {
    TKoComponent Module(nullptr);
    auto* Bits = new TKoBitSet(&Module);
    Bits->SetBitCount(3);
    Bits->SetStrictStates(true);
    ASSERT_EQ(Bits->States().Count(), 3);
    EXPECT_EQ(Bits->States().Items(2)->Name(), L"Bit2");
    EXPECT_EQ(Bits->States().Items(2)->BitNr(), 2);
    EXPECT_EQ(Bits->BitMask(), 7u);
    Bits->SetBitCount(2);
    EXPECT_EQ(Bits->States().Count(), 2);
    EXPECT_EQ(MessageOf<EKoException>([&] { Bits->SetBitCount(33); }), L"Max BitCount is 32");
    EXPECT_EQ(Bits->BitCount(), 2); // the count stays usable
    Bits->SetValue(3u);
    Bits->States().Items(1)->SetName(L"");
    EXPECT_EQ(Bits->GetValueAsString(), L"Bit0"); // unnamed bits are left out
}

TEST(KoBitSet, SingleBitsNeedAGoodValue) {
    TKoComponent Module(nullptr);
    auto* Bits = new TKoBitSet(&Module);
    const std::wstring Message =
        L"Individual BitValues cannot be changed, when the variable Quality is bad. Use "
        L"Value first to set the default for all BitValues.";
    EXPECT_EQ(MessageOf<EKoVarException>([&] { Bits->SetBit(1); }), Message);
    EXPECT_EQ(MessageOf<EKoVarException>([&] { Bits->ToggleBit(1); }), Message);
    Bits->SetValue(0u);
    Bits->SetBit(1);
    Bits->ToggleBit(3);
    EXPECT_EQ(Bits->Value(), 10u);
    Bits->ResetBit(1);
    EXPECT_EQ(Bits->Value(), 8u);
    EXPECT_TRUE(Bits->GetBitValues(3));
}

TEST(KoBitSet, WrittenValuesOfEachKind) {
    TKoComponent Module(nullptr);
    auto* Bits = new TKoBitSet(&Module);
    Bits->SetPropValue(vpValue, BoolArray({true, false, true}));
    EXPECT_EQ(Bits->Value(), 5u);
    EXPECT_EQ(Bits->BitCount(), 3);
    Bits->SetBitCount(32);
    Bits->SetPropValue(vpValue, TKoOleVariant(7.9)); // truncated
    EXPECT_EQ(Bits->Value(), 7u);
    TKoOleVariant Big;
    Big.Receive()->vt = VT_I8;
    Big.Get().llVal = 0x1FFFFFFFFLL; // the low 32 bits
    Bits->SetPropValue(vpValue, Big);
    EXPECT_EQ(Bits->Value(), 0xFFFFFFFFu);
    Bits->SetPropValue(vpValue, TKoOleVariant(L"")); // the empty set
    EXPECT_EQ(Bits->Value(), 0u);
    EXPECT_TRUE(Bits->IsGood());
}

TEST_F(TBitSetFixture, AlarmStateIsTheMostSevereOfTheSetBits) {
    Bits->States().Items(1)->SetAlarmState(asWarning);
    Bits->States().Items(2)->SetAlarmState(asAlarm);
    struct TCase {
        uint32_t Value;
        TKoVarAlarmState Expected;
    } Cases[] = {{1u, asNormal}, {2u, asWarning}, {3u, asWarning},
                 {6u, asAlarm},  {4u, asAlarm},   {0u, asNormal}};
    for (const TCase& Case : Cases) {
        Bits->SetValue(Case.Value);
        EXPECT_EQ(Bits->AlarmState(), Case.Expected) << Case.Value;
    }
}

TEST_F(TBitSetFixture, BitItemsFollowTheWord) {
    TKoBitItem* Item = Bits->States().Items(3);
    EXPECT_EQ(Item->IntValue(), 8u);
    Bits->SetValue(0u);
    Item->SetValue(true);
    EXPECT_EQ(Bits->Value(), 8u);
    EXPECT_TRUE(Item->Value());
    // Older definitions give the bit number as Value.
    Bits->States().ReadItems({{{{L"Name", L"Old"}, {L"Value", L"6"}}}});
    ASSERT_EQ(Bits->States().Count(), 1);
    EXPECT_EQ(Bits->States().Items(0)->BitNr(), 6);
}
