// Variable links and variable lists: what a link hears of its variable and when, its typed
// reads and writes, echo suppression, the end of a variable, handler errors and ordering; what a
// list holds when attached to a module, its duplicate modes and its own bookkeeping.

#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <functional>
#include <string>
#include <vector>

#include "KoClasses.h"
#include "KoNumVars.h"
#include "KoStrings.h"
#include "KoVarLinks.h"
#include "KoVars.h"

namespace {

template <class TError> void ExpectError(const std::function<void()>& Action, const std::wstring& Text) {
    try {
        Action();
        ADD_FAILURE() << "no error";
    } catch (const TError& E) {
        EXPECT_EQ(E.Message(), Text);
    }
}

// A module owning two float variables, freed with everything it owns.
struct TModuleFixture : testing::Test {
    void SetUp() override {
        Module = new TKoComponent(nullptr);
        Module->SetName(L"M");
        F1 = new TKoFloat(Module);
        F1->SetName(L"F1");
        F2 = new TKoFloat(Module);
        F2->SetName(L"F2");
    }
    void TearDown() override { TKoComponent::Free(Module); }

    TKoComponent* Module = nullptr;
    TKoFloat* F1 = nullptr;
    TKoFloat* F2 = nullptr;
};

// Records the link's events in order.
struct TLinkEvents {
    explicit TLinkEvents(TKoVarLink& Link) {
        Link.OnChange = [this](TKoPersistentBase*) { Log.push_back(L"Change"); };
        Link.OnVarChange = [this](TKoPersistentBase*) { Log.push_back(L"VarChange"); };
        Link.OnBadValue = [this](TKoPersistentBase*) { Log.push_back(L"BadValue"); };
        Link.OnVarDestroy = [this](TKoPersistentBase*) { Log.push_back(L"VarDestroy"); };
        Link.OnConfig = [this](TKoPersistentBase*) { Log.push_back(L"Config"); };
    }
    int Count(const std::wstring& Event) const {
        int N = 0;
        for (const auto& E : Log) N += E == Event;
        return N;
    }
    std::vector<std::wstring> Log;
};

using TVarLinkTest = TModuleFixture;
using TVarListTest = TModuleFixture;

// ---- link without a variable ----

TEST(VarLink, NewLinkAnswersAsUnbound) {
    TKoVarLink Link;
    EXPECT_TRUE(Link.Active());
    EXPECT_TRUE(Link.BadValues());
    EXPECT_EQ(Link.VarProp(), vpValue);
    EXPECT_EQ(Link.Variable(), nullptr);
    EXPECT_EQ(Link.Quality(), vpqBad);
    EXPECT_TRUE(Link.IsBad());
    EXPECT_EQ(Link.Timestamp(), 0.0);
    EXPECT_TRUE(Link.ReadOnly());
    EXPECT_FALSE(Link.IsValid());
    EXPECT_FALSE(Link.IsArray());
    EXPECT_EQ(Link.DataType(), vdtDefault);
    EXPECT_EQ(Link.AsString(), L"#NULL");
    EXPECT_EQ(Link.AsFloat(), -1234567.09);
    EXPECT_EQ(Link.AsInteger(), 195935983);
    EXPECT_EQ(Link.Value().Type(), VT_NULL);
    EXPECT_EQ(std::wstring(Link.ClassName()), L"TKoVarLink");
    ExpectError<EKoException>([&] { Link.AsBool(); }, L"Variable not assigned.");
    ExpectError<EKoException>([&] { Link.GetAsDataType(vdtDouble, false); }, L"Variable not assigned.");
    // Writes and brackets without a variable do nothing.
    Link.SetAsFloat(1);
    Link.SetValue(TKoOleVariant(2.0));
    Link.Undefine(0);
    Link.BeginUpdate();
    Link.EndUpdate(false);
    EXPECT_FALSE(Link.Locked());
    // The text goes through OnGetAsString, which may replace it.
    Link.OnGetAsString = [](TKoPersistentBase*, const VARIANT&, TKoVarQuality Q, std::wstring& S) {
        S += Q == vpqBad ? L"!" : L"?";
    };
    EXPECT_EQ(Link.AsString(), L"#NULL!");
    // A value is converted by the platform when there is no variable to do it.
    EXPECT_EQ(Link.GetValueAsDataType(TKoOleVariant(L"42"), vdtInteger, false).Get().lVal, 42);
}

// ---- notifications ----

TEST_F(TVarLinkTest, FollowsChangesOfItsPropertyOnlyWhileActive) {
    TKoVarLink Link;
    Link.SetVariable(F1);
    TLinkEvents Events(Link);
    F1->SetValue(1.0);
    EXPECT_EQ(Events.Log, (std::vector<std::wstring>{L"Change", L"VarChange"}));
    Link.SetActive(false);
    F1->SetValue(2.0);
    Link.SetActive(true);
    F1->SetValue(3.0);
    EXPECT_EQ(Events.Count(L"Change"), 2);
    EXPECT_EQ(Events.Count(L"Config"), 2); // each SetActive

    // A link on the high alarm limit does not hear a change of the value alone.
    TKoVarLink Limit;
    Limit.SetVarProp(vpAlarmHigh);
    Limit.SetVariable(F1);
    TLinkEvents LimitEvents(Limit);
    F1->SetValue(4.0);
    EXPECT_EQ(LimitEvents.Count(L"Change"), 0);
    F1->SetAlarmHigh(90);
    EXPECT_EQ(LimitEvents.Count(L"Change"), 1);
}

TEST_F(TVarLinkTest, BadValuesDecidesWhetherABadChangeIsAChange) {
    struct Case {
        bool BadValues;
        std::vector<std::wstring> Expected;
    };
    const Case Cases[] = {
        {true, {L"Change", L"VarChange", L"BadValue"}},
        {false, {L"BadValue"}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.BadValues);
        F1->SetValue(5.0);
        TKoVarLink Link;
        Link.SetVariable(F1);
        Link.SetBadValues(C.BadValues);
        TLinkEvents Events(Link);
        F1->Undefine(vpValue, 0);
        EXPECT_EQ(Events.Log, C.Expected);
    }
    // With BadValues clear a null written through the link does not reach the variable.
    F1->SetValue(6.0);
    TKoVarLink Link;
    Link.SetVariable(F1);
    Link.SetBadValues(false);
    Link.SetValue(TKoOleVariant::Null());
    EXPECT_EQ(F1->Quality(), vpqGood);
    Link.SetBadValues(true);
    Link.SetValue(TKoOleVariant::Null());
    EXPECT_EQ(F1->Quality(), vpqBad);
}

TEST_F(TVarLinkTest, OwnWritesDoNotEchoButReachOtherListeners) {
    struct Case {
        const char* Name;
        std::function<void(TKoVarLink&)> Write;
        bool Echo;
        double Expected;
    };
    const Case Cases[] = {
        {"AsFloat", [](TKoVarLink& L) { L.SetAsFloat(1.5); }, false, 1.5},
        {"AsInteger", [](TKoVarLink& L) { L.SetAsInteger(7); }, false, 7},
        {"AsBool", [](TKoVarLink& L) { L.SetAsBool(true); }, false, 1},
        {"AsString", [](TKoVarLink& L) { L.SetAsString(L"2.25"); }, false, 2.25},
        {"Value", [](TKoVarLink& L) { L.SetValue(TKoOleVariant(3.5)); }, false, 3.5},
        {"DataType, echo disabled",
         [](TKoVarLink& L) { L.SetAsDataType(TKoOleVariant(L"4.5"), vdtOleStr, false, true); }, false, 4.5},
        {"DataType, echo enabled",
         [](TKoVarLink& L) { L.SetAsDataType(TKoOleVariant(L"5.5"), vdtOleStr, false, false); }, true, 5.5},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        F1->SetValue(-1.0);
        TKoVarLink Writer, Other;
        Writer.SetVariable(F1);
        Other.SetVariable(F1);
        TLinkEvents WriterEvents(Writer), OtherEvents(Other);
        C.Write(Writer);
        EXPECT_EQ(F1->Value(), C.Expected);
        EXPECT_EQ(WriterEvents.Count(L"Change"), C.Echo ? 1 : 0);
        EXPECT_EQ(OtherEvents.Count(L"Change"), 1);
        EXPECT_FALSE(Writer.Locked());
    }
}

TEST_F(TVarLinkTest, ReadsAndWritesItsPropertyWithConversion) {
    TKoVarLink Limit;
    Limit.SetVarProp(vpAlarmHigh);
    Limit.SetVariable(F1);
    Limit.SetAsString(L"80.5");
    EXPECT_EQ(F1->AlarmHigh(), 80.5);
    EXPECT_EQ(Limit.AsFloat(), 80.5);
    EXPECT_EQ(Limit.AsInteger(), 81);
    EXPECT_EQ(Limit.Quality(), vpqGood);
    EXPECT_EQ(Limit.DataType(), vdtDouble);
    EXPECT_FALSE(Limit.ReadOnly());
    EXPECT_EQ(Limit.GetAsDataType(vdtOleStr, false).Get().vt, VT_BSTR);
    // The value stays untouched by writes to the limit.
    EXPECT_EQ(F1->GetPropQuality(vpValue), vpqBad);

    TKoVarLink Value;
    Value.SetVariable(F1);
    EXPECT_EQ(Value.AsString(), L"#BAD");
    EXPECT_EQ(Value.AsFloat(), KoBadFloat);
    F1->SetValue(2.0);
    EXPECT_TRUE(Value.AsBool());
    Value.Undefine(0);
    EXPECT_TRUE(Value.IsBad());
    EXPECT_GT(Value.Timestamp(), 0.0);
}

TEST_F(TVarLinkTest, LockIsRestoredWhenTheVariableRefusesTheWrite) {
    TKoVarLink Link;
    Link.SetVariable(F1);
    F1->SetReadOnly(true);
    EXPECT_THROW(Link.SetAsFloat(1), EKoReadOnly);
    EXPECT_THROW(Link.SetValue(TKoOleVariant(1.0)), EKoReadOnly);
    EXPECT_THROW(Link.SetAsDataType(TKoOleVariant(1.0), vdtDouble, false, true), EKoReadOnly);
    EXPECT_FALSE(Link.Locked());
    F1->SetReadOnly(false);
    F1->SetRange(0, 10);
    F1->SetRangeMode(rmException);
    EXPECT_THROW(Link.SetAsString(L"11"), EKoRangeError);
    EXPECT_FALSE(Link.Locked());
    // Still hears the variable's own changes.
    TLinkEvents Events(Link);
    F1->SetValue(3.0);
    EXPECT_EQ(Events.Count(L"Change"), 1);
}

TEST_F(TVarLinkTest, DataOwnerMayAlterOrVetoAChange) {
    TKoVarLink Owner;
    Owner.SetVariable(F1);
    Owner.SetIsDataOwner(true);
    Owner.OnChanging = [](TKoPersistentBase*, VARIANT& V, TKoVarQuality&, TKoVarChangingResponse& R) {
        if (V.dblVal < 0)
            R = crReject;
        else
            V.dblVal *= 2;
    };
    F1->SetValue(4.0);
    EXPECT_EQ(F1->Value(), 8.0);
    EXPECT_THROW(F1->SetValue(-1.0), EKoVarChangeReject);
    EXPECT_EQ(F1->Value(), 8.0);
    // A data owner hears no completed changes.
    TLinkEvents Events(Owner);
    F1->SetValue(1.0);
    EXPECT_EQ(Events.Count(L"Change"), 0);
}

TEST_F(TVarLinkTest, LinkThatDoesNotHearChangingIsPassedOverUnlessItOwnsTheData) {
    TKoVarLink Listener, Deaf, Owner;
    int ListenerCalls = 0, DeafCalls = 0;
    Listener.SetVariable(F1);
    Listener.OnChanging = [&](TKoPersistentBase*, VARIANT&, TKoVarQuality&, TKoVarChangingResponse&) {
        ++ListenerCalls;
    };
    Deaf.SetVariable(F1);
    Deaf.SetHearsChanging(false);
    Deaf.OnChanging = [&](TKoPersistentBase*, VARIANT&, TKoVarQuality&, TKoVarChangingResponse&) {
        ++DeafCalls;
    };
    TLinkEvents DeafEvents(Deaf);
    F1->SetValue(1.0);
    EXPECT_EQ(ListenerCalls, 1);
    EXPECT_EQ(DeafCalls, 0);
    // Completed changes still reach it.
    EXPECT_EQ(DeafEvents.Count(L"Change"), 1);
    // A data owner keeps its veto whatever it says.
    Owner.SetVariable(F1);
    Owner.SetIsDataOwner(true);
    Owner.SetHearsChanging(false);
    Owner.OnChanging = [](TKoPersistentBase*, VARIANT&, TKoVarQuality&, TKoVarChangingResponse& R) {
        R = crReject;
    };
    EXPECT_THROW(F1->SetValue(2.0), EKoVarChangeReject);
    EXPECT_EQ(F1->Value(), 1.0);
}

TEST_F(TVarLinkTest, HandlerErrorsNameTheLinkTheVariableAndTheProperty) {
    TKoVarLink Link;
    Link.SetVariable(F1);
    int VarChanges = 0;
    Link.OnVarChange = [&](TKoPersistentBase*) { ++VarChanges; };
    Link.OnChange = [](TKoPersistentBase*) { throw EKoRangeError(L"boom"); };
    ExpectError<EKoVarException>(
        [&] { F1->SetValue(1.0); },
        L"Exception 'EKoRangeError' in TKoVarLink.OnChange handler of (Variable=M.F1, VarProp=Value): boom");
    EXPECT_EQ(VarChanges, 0);

    Link.OnChange = nullptr;
    Link.OnVarChange = [](TKoPersistentBase*) { throw std::runtime_error("late"); };
    ExpectError<EKoVarException>([&] { F1->SetValue(2.0); },
                                 L"Exception 'std::exception' in TKoVarLink.OnVarChange handler of "
                                 L"(Variable=M.F1, VarProp=Value): late");

    // An error of a changing handler is a veto; the variable reports it with the link's text.
    Link.OnVarChange = nullptr;
    Link.OnChanging = [](TKoPersistentBase*, VARIANT&, TKoVarQuality&, TKoVarChangingResponse&) {
        throw EKoException(L"no");
    };
    try {
        F1->SetValue(3.0);
        ADD_FAILURE() << "no error";
    } catch (const EKoVarChangeReject& E) {
        EXPECT_NE(
            E.Message().find(L"EKoVarException: Exception 'EKoException' in TKoVarLink.OnChanging handler of "
                             L"(Variable=M.F1, VarProp=Value): no"),
            std::wstring::npos)
            << testing::PrintToString(E.Message());
    }

    // OnBadValue errors pass unchanged.
    Link.OnChanging = nullptr;
    Link.OnBadValue = [](TKoPersistentBase*) { throw EKoRangeError(L"bad"); };
    ExpectError<EKoRangeError>([&] { F1->Undefine(vpValue, 0); }, L"bad");
}

// ---- binding ----

TEST_F(TVarLinkTest, RepointingReportsTheOldVariableOnceThenTheConfiguration) {
    TKoVarLink Link;
    Link.SetVariable(F1);
    TLinkEvents Events(Link);
    Link.SetVariable(F2);
    EXPECT_EQ(Events.Log, (std::vector<std::wstring>{L"VarDestroy", L"Config"}));
    EXPECT_EQ(Link.Variable(), F2);
    // The old variable is no longer heard, the new one is.
    Events.Log.clear();
    F1->SetValue(1.0);
    EXPECT_TRUE(Events.Log.empty());
    F2->SetValue(1.0);
    EXPECT_EQ(Events.Count(L"Change"), 1);
    // The same variable again changes nothing.
    Events.Log.clear();
    Link.SetVariable(F2);
    EXPECT_TRUE(Events.Log.empty());
}

TEST_F(TVarLinkTest, DestroyedVariableLeavesEveryLinkUnbound) {
    TKoVarLink A, B;
    A.SetVariable(F1);
    B.SetVariable(F1);
    TLinkEvents EventsA(A), EventsB(B);
    TKoComponent::Free(F1);
    F1 = nullptr;
    for (TKoVarLink* Link : {&A, &B}) {
        EXPECT_EQ(Link->Variable(), nullptr);
        EXPECT_EQ(Link->AsString(), L"#NULL");
        Link->SetAsFloat(1); // nothing to write to
    }
    EXPECT_EQ(EventsA.Count(L"VarDestroy"), 1);
    EXPECT_EQ(EventsB.Count(L"VarDestroy"), 1);

    // A variable deleted without Free (it goes out of scope) unbinds its links as well.
    TKoVarLink C;
    {
        TKoFloat Local(nullptr);
        C.SetVariable(&Local);
    }
    EXPECT_EQ(C.Variable(), nullptr);
}

TEST_F(TVarLinkTest, LinkMayFreeItselfWhenItsVariableGoes) {
    auto* Link = new TKoVarLink;
    Link->SetVariable(F1);
    Link->OnVarDestroy = [Link](TKoPersistentBase*) { delete Link; };
    TKoVarLink Survivor;
    Survivor.SetVariable(F1);
    TKoComponent::Free(F1);
    F1 = nullptr;
    EXPECT_EQ(Survivor.Variable(), nullptr);
}

TEST_F(TVarLinkTest, AssignCopiesPropertyActiveAndVariable) {
    TKoVarLink Source;
    Source.SetVarProp(vpAlarmHigh);
    Source.SetActive(false);
    Source.SetVariable(F2);
    TKoVarLink Dest;
    Dest.Assign(&Source);
    EXPECT_EQ(Dest.VarProp(), vpAlarmHigh);
    EXPECT_FALSE(Dest.Active());
    EXPECT_EQ(Dest.Variable(), F2);
    TKoStringList NotALink;
    EXPECT_THROW(Dest.Assign(&NotALink), EKoAssignError);
}

TEST_F(TVarLinkTest, CompareOrdersByNamePathThenProperty) {
    auto* Other = new TKoComponent(nullptr);
    Other->SetName(L"a");
    auto* Lower = new TKoFloat(Other);
    Lower->SetName(L"f1"); // "a.f1" sorts before "M.F1" without regard to case
    struct Case {
        TKoVar* Left;
        TKoVarPropType LeftProp;
        TKoVar* Right;
        TKoVarPropType RightProp;
        int Expected;
        bool Same;
    };
    const Case Cases[] = {
        {nullptr, vpValue, nullptr, vpValue, -1, false},
        {nullptr, vpValue, F1, vpValue, -1, false},
        {F1, vpValue, nullptr, vpValue, 1, false},
        {F1, vpValue, F1, vpValue, 0, true},
        {F1, vpValue, F1, vpAlarmHigh, -1, false},
        {F1, vpMax, F1, vpAlarmHigh, 1, false},
        {F1, vpMax, F2, vpValue, -1, false},
        {F2, vpValue, F1, vpMax, 1, false},
        {Lower, vpMax, F1, vpValue, -1, false},
        {F1, vpValue, Lower, vpValue, 1, false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << &C - Cases);
        TKoVarLink L, R;
        L.SetVarProp(C.LeftProp);
        L.SetVariable(C.Left);
        R.SetVarProp(C.RightProp);
        R.SetVariable(C.Right);
        TKoStringList Same;
        EXPECT_EQ(L.Compare(&R, &Same), C.Expected);
        EXPECT_EQ(Same.Count(), C.Same ? 2 : 0);
    }
    TKoVarLink Link;
    EXPECT_THROW(Link.Compare(nullptr, nullptr), EKoException);
    TKoPersistent NotALink;
    EXPECT_THROW(Link.Compare(&NotALink, nullptr), EKoInvalidCast);
    TKoComponent::Free(Other);
}

// ---- variable list ----

TEST_F(TVarListTest, AttachedListFollowsTheModulesVariablesInComponentOrder) {
    // A data module and a plain owner behave alike.
    for (bool DataModule : {false, true}) {
        SCOPED_TRACE(DataModule);
        TKoComponent* Owner = DataModule ? KoCreate<TKoDataModule>(nullptr) : new TKoComponent(nullptr);
        auto* A = new TKoFloat(Owner);
        new TKoComponent(Owner); // no variable
        auto* B = new TKoInteger(Owner);
        TKoVarList List(Owner);
        EXPECT_EQ(List.AttachedTo(), Owner);
        ASSERT_EQ(List.Count(), 2);
        EXPECT_EQ(List.Items(0), A);
        EXPECT_EQ(List.Items(1), B);

        std::vector<TKoVar*> Changed;
        List.SetOnChange([&](TKoVar* Sender, TKoVarPropTypes) { Changed.push_back(Sender); });
        auto* C = new TKoFloat(Owner);
        ASSERT_EQ(List.Count(), 3);
        EXPECT_EQ(List.Items(2), C);
        // The new variable is connected at once: its caption, set while it is constructed, is
        // already a change the list hears.
        EXPECT_EQ(Changed, (std::vector<TKoVar*>{C}));
        Changed.clear();
        C->SetValue(1.0);
        A->SetValue(1.0);
        EXPECT_EQ(Changed, (std::vector<TKoVar*>{C, A}));

        TKoComponent::Free(B);
        ASSERT_EQ(List.Count(), 2);
        EXPECT_EQ(List.Items(1), C);
        // A variable of another owner is not followed.
        auto* Foreign = new TKoFloat(Module);
        EXPECT_EQ(List.IndexOf(Foreign), -1);

        // Detached, the list forgets the module's variables and hears of no new ones.
        List.Detach();
        EXPECT_EQ(List.Count(), 0);
        new TKoFloat(Owner);
        EXPECT_EQ(List.Count(), 0);
        TKoComponent::Free(Owner);
    }
}

TEST_F(TVarListTest, ModuleGoingAwayLeavesTheListEmptyAndDetached) {
    auto* Owner = new TKoComponent(nullptr);
    new TKoFloat(Owner);
    new TKoFloat(Owner);
    TKoVarList List(Owner);
    List.Add(F1); // from another module
    ASSERT_EQ(List.Count(), 3);
    TKoComponent::Free(Owner);
    EXPECT_EQ(List.AttachedTo(), nullptr);
    ASSERT_EQ(List.Count(), 1);
    EXPECT_EQ(List.Items(0), F1);
}

TEST_F(TVarListTest, AddFollowsTheDuplicatesMode) {
    struct Case {
        TKoDuplicates Mode;
        int SecondIndex; // -2: fails
        int Count;
    };
    const Case Cases[] = {{dupIgnore, 0, 2}, {dupAccept, 2, 3}, {dupError, -2, 2}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Mode);
        TKoVarList List;
        List.SetDuplicates(C.Mode);
        EXPECT_EQ(List.Add(F1), 0);
        EXPECT_EQ(List.Add(F2), 1);
        if (C.SecondIndex == -2)
            ExpectError<EKoVarListError>(
                [&] { List.Add(F1); },
                L"List does not accept Duplicates and Variable 'M.F1' is already in the list");
        else
            EXPECT_EQ(List.Add(F1), C.SecondIndex);
        EXPECT_EQ(List.Count(), C.Count);
        // One connection per variable, however often it is listed.
        int Changes = 0;
        List.SetOnChange([&](TKoVar*, TKoVarPropTypes) { ++Changes; });
        F1->SetValue(F1->Value() + 1);
        EXPECT_EQ(Changes, 1);
    }
}

TEST_F(TVarListTest, RemovedVariableIsStillReportedUntilItGoes) {
    TKoVarList List;
    List.Add(F1);
    List.Add(F2);
    std::vector<TKoVar*> Changed;
    List.SetOnChange([&](TKoVar* Sender, TKoVarPropTypes) { Changed.push_back(Sender); });
    EXPECT_EQ(List.Remove(F1), 0);
    EXPECT_EQ(List.Remove(F1), -1);
    EXPECT_EQ(List.Count(), 1);
    F1->SetValue(1.0);
    EXPECT_EQ(Changed, (std::vector<TKoVar*>{F1}));
    List.SetActive(false);
    F2->SetValue(1.0);
    EXPECT_EQ(Changed.size(), 1u);
}

TEST_F(TVarListTest, DestroyedVariableDropsOutOfEveryList) {
    TKoVarList A, B;
    B.SetDuplicates(dupAccept);
    A.Add(F1);
    B.Add(F1);
    B.Add(F2);
    B.Add(F1);
    TKoComponent::Free(F1);
    F1 = nullptr;
    EXPECT_EQ(A.Count(), 0);
    ASSERT_EQ(B.Count(), 1);
    EXPECT_EQ(B.Items(0), F2);

    // Also an entry put in without a connection, and a variable without owner.
    TKoVarList C;
    C.Add(F2);
    C.SetItems(0, F2);
    auto* Loose = new TKoFloat(nullptr);
    C.Add(Loose);
    delete Loose;
    TKoComponent::Free(F2);
    F2 = nullptr;
    EXPECT_EQ(C.Count(), 0);
}

TEST_F(TVarListTest, OwningListFreesItsEntriesOnce) {
    auto* Owner = new TKoComponent(nullptr);
    auto* A = new TKoFloat(Owner);
    auto* B = new TKoFloat(Owner);
    {
        TKoVarList List(true);
        List.Add(A);
        List.Add(B);
        List.Delete(0); // frees A
        EXPECT_EQ(Owner->ComponentCount(), 1);
        TKoComponent::Free(B); // drops out, not freed again
        EXPECT_EQ(List.Count(), 0);
        List.Add(new TKoFloat(Owner));
    } // frees the last one
    EXPECT_EQ(Owner->ComponentCount(), 0);
    TKoComponent::Free(Owner);
}

TEST_F(TVarListTest, EntriesConnectionsAndIndexErrors) {
    TKoVarList List;
    List.Add(F1);
    std::vector<TKoVar*> Changed;
    List.SetOnChange([&](TKoVar* Sender, TKoVarPropTypes) { Changed.push_back(Sender); });
    // Variables write moves the connection; Items write leaves it.
    List.SetVariables(0, F2);
    F1->SetValue(1.0);
    F2->SetValue(1.0);
    EXPECT_EQ(Changed, (std::vector<TKoVar*>{F2}));
    List.SetItems(0, F1);
    F1->SetValue(2.0);
    F2->SetValue(2.0);
    EXPECT_EQ(Changed, (std::vector<TKoVar*>{F2, F2}));
    List.Insert(0, F2);
    EXPECT_EQ(List.IndexOfName(L"F1"), 1);
    EXPECT_EQ(List.IndexOfName(L"f1"), -1);
    ExpectError<EKoComponentListError>([&] { List.Items(2); }, L"List index out of bounds (2)");
    EXPECT_THROW(List.Variables(-1), EKoComponentListError);
    // An entry that is no variable.
    List.AddComponent(Module);
    EXPECT_THROW(List.Items(2), EKoInvalidCast);
    EXPECT_EQ(List.Variables(2), nullptr);
}

TEST_F(TVarListTest, AssignAndAssignToStringsAndObjectLists) {
    F1->SetCaption(L"First");
    TKoVarList List;
    List.Add(F2);
    std::vector<TKoComponent*> Objects{F1, Module, F2};
    List.Assign(&Objects);
    ASSERT_EQ(List.Count(), 2);
    EXPECT_EQ(List.Items(0), F1);

    TKoStringList Strings;
    List.AssignTo(&Strings);
    ASSERT_EQ(Strings.Count(), 2);
    EXPECT_EQ(Strings.Strings(0), L"First");
    EXPECT_EQ(Strings.Objects<TKoVar>(1), F2);

    Strings.AddObject(L"module", Module);
    Strings.Add(L"plain");
    TKoVarList Copy;
    Copy.Assign(&Strings);
    ASSERT_EQ(Copy.Count(), 2);
    EXPECT_EQ(Copy.Items(1), F2);
    Copy.Assign(static_cast<const TKoStrings*>(nullptr));
    EXPECT_EQ(Copy.Count(), 0);

    std::vector<TKoComponent*> Out{Module};
    List.AssignTo(&Out);
    EXPECT_EQ(Out, (std::vector<TKoComponent*>{F1, F2}));
}

} // namespace
