#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "KoClasses.h"
#include "KoPersistent.h"
#include "KoRTTI.h"
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

enum TSampleMode { smOff, smOn };

// An item with one property of each kind the lists store, and a comparison by content.
class TSample : public TKoPersistent {
public:
    TSample() { StaticClass(); } // registered before its name is asked for
    static const TKoRTTIClass* StaticClass() {
        static const TKoRTTIClass* Class = [] {
            KoRTTIRegister<TSample, TKoPersistent>(L"TSample")
                .String(
                    L"Name", [](const TSample& P) { return P.Name; },
                    [](TSample& P, const std::wstring& V) { P.SetName(V); })
                .Integer(
                    L"Count", [](const TSample& P) { return P.Count; },
                    [](TSample& P, int V) { P.Count = V; })
                .Range(0, 100)
                .Enum(
                    L"Mode", KoRTTIEnumType<TSampleMode>(L"TSampleMode", {L"smOff", L"smOn"}),
                    [](const TSample& P) { return P.Mode; }, [](TSample& P, int V) { P.Mode = V; })
                .Object(
                    L"Target", [](const TSample& P) { return P.Target; },
                    [](TSample& P, TKoComponent* V) { P.Target = V; });
            return KoRTTIClassOf<TSample>();
        }();
        return Class;
    }

    void Assign(const TKoPersistentBase* Source) override {
        if (const auto* Other = dynamic_cast<const TSample*>(Source)) {
            SetName(Other->Name);
            Count = Other->Count;
            Mode = Other->Mode;
            return;
        }
        TKoPersistent::Assign(Source);
    }
    // Items with the same Count are similar.
    int Compare(const TKoPersistent* Other, TKoStrings* SameProps) const override {
        const auto* O = static_cast<const TSample*>(Other);
        if (SameProps && O->Count == Count) SameProps->Add(L"Count");
        return Count - O->Count;
    }

    // A list keyed by names is told when the name changes.
    void SetName(const std::wstring& Value) {
        const std::wstring Old = Name;
        Name = Value;
        if (List) List->UpdateKeyValue(this, Old);
    }

    std::wstring Name;
    int Count = 0;
    int Mode = 0;
    TKoComponent* Target = nullptr;
    TKoPersistentList* List = nullptr;
};

class TOther : public TKoPersistent {
public:
    TOther() { StaticClass(); }
    static const TKoRTTIClass* StaticClass() {
        static const TKoRTTIClass* Class = [] {
            KoRTTIRegister<TOther, TKoPersistent>(L"TOther").String(
                L"Text", [](const TOther& P) { return P.Text; },
                [](TOther& P, const std::wstring& V) { P.Text = V; });
            return KoRTTIClassOf<TOther>();
        }();
        return Class;
    }
    std::wstring Text;
};

// A list keyed by the item's Name, so that keys can clash and change.
class TNamedList : public TKoPersistentList {
public:
    explicit TNamedList(bool ASorted = false) : TKoPersistentList(nullptr, true, TSample::StaticClass()) {
        SetDelimiter(L';');
        SetSorted(ASorted);
    }
    std::wstring GetListKeyValue(const TKoPersistent* Item) const override {
        return static_cast<const TSample*>(Item)->Name;
    }
    void ItemInit(TKoPersistent* Item) override {
        static_cast<TSample*>(Item)->List = this;
        TKoPersistentList::ItemInit(Item);
    }
    TSample* Sample(int Index) const { return static_cast<TSample*>(Items(Index)); }
    TSample* Add(const std::wstring& Name, int Count) {
        return static_cast<TSample*>(InsertFilled(this->Count(), [&](TKoPersistent& P) {
            auto& Item = static_cast<TSample&>(P);
            Item.Count = Count;
            Item.SetName(Name);
        }));
    }
};

std::vector<std::wstring> NamesOf(const TNamedList& List) {
    std::vector<std::wstring> Names;
    for (int I = 0; I < List.Count(); ++I) Names.push_back(List.Sample(I)->Name);
    return Names;
}

} // namespace

// ---- the assign protocol ----

TEST(PersistentAssign, NeitherSideKnowsTheOtherNamesBothClasses) {
    TSample Sample;
    TOther Other;
    TKoPersistentList List(nullptr, true, TSample::StaticClass());
    struct TCase {
        const char* What;
        std::function<void()> Call;
        std::wstring Message;
    } Cases[] = {
        {"nil source", [&] { Sample.Assign(nullptr); }, L"Cannot assign a nil to a TSample"},
        {"list from an item", [&] { List.Assign(&Other); }, L"Cannot assign a TOther to a TKoPersistentList"},
        {"list to an item", [&] { List.AssignTo(&Other); }, L"Cannot assign a TKoPersistentList to a TOther"},
        {"item to a list", [&] { Other.AssignTo(&List); }, L"Cannot assign a TOther to a TKoPersistentList"},
    };
    for (const TCase& Case : Cases)
        EXPECT_EQ(MessageOf<EKoAssignError>(Case.Call), Case.Message) << Case.What;
}

TEST(PersistentAssign, AnyPersistentIsAcceptedByTheBase) {
    TKoPersistent Base;
    TOther Other;
    EXPECT_NO_THROW(Base.Assign(&Other));
}

// ---- items ----

TEST(PersistentItem, ConfigReportsTheEventSenderOrTheItem) {
    TSample Item;
    TOther Sender;
    TKoPersistentBase* Seen = nullptr;
    Item.OnConfig = [&](TKoPersistentBase* S) { Seen = S; };
    Item.DoConfig();
    EXPECT_EQ(Seen, &Item);
    Item.SetEventSender(&Sender);
    Item.DoConfig();
    EXPECT_EQ(Seen, &Sender);
}

TEST(PersistentItem, RemovedComponentIsDroppedFromItsProperties) {
    TKoComponent Owner(nullptr);
    auto* Kept = new TKoComponent(&Owner);
    auto* Gone = new TKoComponent(&Owner);
    TKoPersistentList List(&Owner, true, TSample::StaticClass());
    auto* A = static_cast<TSample*>(List.Add(nullptr));
    auto* B = static_cast<TSample*>(List.Add(nullptr));
    A->Target = Kept;
    B->Target = Gone;
    List.Notification(Gone, opInsert); // insertions are not accepted by default
    EXPECT_EQ(B->Target, Gone);
    List.Notification(Gone, opRemove);
    EXPECT_EQ(A->Target, Kept);
    EXPECT_EQ(B->Target, nullptr);
}

TEST(PersistentItem, PropertyTextsAndTheirErrors) {
    TSample Item;
    Item.SetPropText(L"name", L"A");
    Item.SetPropText(L"Count", L"5");
    Item.SetPropText(L"Mode", L"SMON");
    EXPECT_EQ(Item.PropValuesToCSV(L',', true), L"Name=A,Count=5,Mode=smOn,Target=");
    struct TCase {
        const wchar_t* Prop;
        const wchar_t* Text;
        std::wstring Message;
    } Cases[] = {
        {L"Count", L"101", L"Property \"Count\": Value 101 out of range (0..100)"},
        {L"Mode", L"foo", L"TKoEnumRTTIProp.SetValueAsString: Invalid Value 'foo'"},
        {L"Mode", L"2", L"Property \"Mode\": Value 2 out of range (0..1)"},
        {L"Missing", L"1", L"TKoClassProperties: No property for PropName 'Missing' exist."},
        {L"Target", L"Nowhere", L"Component \"Nowhere\" not found"},
    };
    for (const TCase& Case : Cases)
        EXPECT_EQ(MessageOf<EKoRTTIException>([&] { Item.SetPropText(Case.Prop, Case.Text); }), Case.Message)
            << Case.Prop << L"=" << Case.Text;
    EXPECT_EQ(Item.Count, 5);
    EXPECT_EQ(Item.Mode, 1);
}

TEST(PersistentItem, ShortCsvLineSetsTheLeadingPropertiesThenFails) {
    TSample Item;
    EXPECT_EQ(MessageOf<EKoStringListError>([&] { Item.CSVToPropValues(L"B,7", L','); }),
              L"List index out of bounds (2)");
    EXPECT_EQ(Item.Name, L"B");
    EXPECT_EQ(Item.Count, 7);
}

// ---- lists ----

TEST(PersistentList, RequiresAnItemClass) {
    EXPECT_EQ(MessageOf<EKoException>([] { TKoPersistentList List(nullptr, true, nullptr); }),
              L"TKoPersistentList.Create requires a class type parameter!");
}

TEST(PersistentList, InsertErrorsLeaveTheCallersItemAlone) {
    TKoPersistentList List(nullptr, false, TSample::StaticClass());
    TSample Item;
    TOther Foreign;
    List.Add(&Item);
    EXPECT_EQ(MessageOf<EKoException>([&] { List.Add(&Item); }),
              L"Insert failed: Key '" + List.Keys(0) + L"' already exists.");
    EXPECT_EQ(List.Keys(0).size(), 8u); // the identity in hexadecimal
    EXPECT_EQ(MessageOf<EKoException>([&] { List.Add(&Foreign); }),
              L"TKoVarLinkList.Insert: Link is not of expected class.");
    EXPECT_EQ(List.Count(), 1);
    List.Delete(0); // not owned: the item stays the caller's
    EXPECT_EQ(List.Count(), 0);
}

TEST(PersistentList, EventsInLifeCycleOrder) {
    TKoPersistentList List(nullptr, true, TSample::StaticClass());
    std::vector<std::wstring> Log;
    List.OnItemInit = [&](TKoPersistentList*, TKoPersistent* Item) {
        Log.push_back(L"init");
        Item->DoConfig(); // OnConfig is connected already
    };
    List.OnItemConfig = [&](TKoPersistentList*, TKoPersistent*) { Log.push_back(L"config"); };
    List.OnItemFinish = [&](TKoPersistentList* Sender, TKoPersistent* Item) {
        Log.push_back(Sender->IndexOf(Item) >= 0 ? L"finish (listed)" : L"finish (gone)");
    };
    List.OnChange = [&](TKoPersistentList*) { Log.push_back(L"change"); };
    List.Add(nullptr);
    List.Add(nullptr);
    Log.clear();
    List.Clear();
    EXPECT_EQ(Log, (std::vector<std::wstring>{L"finish (listed)", L"finish (listed)", L"change"}));
    Log.clear();
    List.Add(nullptr);
    EXPECT_EQ(Log, (std::vector<std::wstring>{L"init", L"config", L"change"}));
}

TEST(PersistentList, SortedListKeepsKeyOrderAndRejectsClashes) {
    TNamedList List(true);
    List.Add(L"b", 1);
    List.Add(L"C", 2);
    List.Add(L"a", 3);
    EXPECT_EQ(NamesOf(List), (std::vector<std::wstring>{L"a", L"b", L"C"}));
    EXPECT_EQ(List.IndexOfKey(L"B"), 1); // letter case ignored
    int Index = 0;
    EXPECT_EQ(List.ItemByKey(L"x", Index), nullptr);
    EXPECT_EQ(Index, -1);
    EXPECT_EQ(MessageOf<EKoException>([&] { List.Move(0, 1); }), L"Can't Move items in sorted list");

    TSample* A = List.Sample(0);
    A->Name = L"d";
    List.UpdateKeyValue(A, L"a");
    EXPECT_EQ(NamesOf(List), (std::vector<std::wstring>{L"b", L"C", L"d"}));
    A->Name = L"c";
    EXPECT_EQ(MessageOf<EKoException>([&] { List.UpdateKeyValue(A, L"d"); }),
              L"Update failed: Item for Key c already exists.");
    EXPECT_EQ(List.Count(), 3);
}

TEST(PersistentList, UnsortedKeyUpdateNeedsTheItemInTheList) {
    TNamedList List;
    List.Add(L"b", 1);
    List.Add(L"a", 2);
    EXPECT_EQ(NamesOf(List), (std::vector<std::wstring>{L"b", L"a"}));
    List.Move(1, 0);
    EXPECT_EQ(NamesOf(List), (std::vector<std::wstring>{L"a", L"b"}));
    TSample Stranger;
    Stranger.Name = L"z";
    EXPECT_EQ(MessageOf<EKoException>([&] { List.UpdateKeyValue(&Stranger, L"y"); }),
              L"Given item does not exist in list");
    List.Sample(0)->Name = L"e";
    List.UpdateKeyValue(List.Sample(0), L"a");
    EXPECT_EQ(List.IndexOfKey(L"e"), 0);
    EXPECT_EQ(List.IndexOfKey(L"a"), -1);
}

TEST(PersistentList, FindSimilarReportsTheLastMatchOfTheScan) {
    TNamedList List;
    for (const wchar_t* Name : {L"a", L"b", L"c"}) List.Add(Name, 4);
    List.Add(L"d", 9);
    TKoStringList DupProps;
    EXPECT_EQ(List.FindSimilar(0, &DupProps, false), 2);
    EXPECT_EQ(List.FindSimilar(2, &DupProps, false), 1);
    EXPECT_EQ(DupProps.Lines(), (std::vector<std::wstring>{L"Count"}));
    EXPECT_EQ(List.FindSimilar(2, &DupProps, true), -1);
    EXPECT_EQ(List.FindSimilar(3, &DupProps, false), -1); // earlier matches do not carry over
    EXPECT_EQ(DupProps.Count(), 0);
    EXPECT_TRUE(List.HasSimilarItems());
    List.Sample(1)->Count = 1;
    List.Sample(2)->Count = 2;
    EXPECT_FALSE(List.HasSimilarItems());
}

TEST(PersistentList, StringListRoundTripAndOwningDestination) {
    TNamedList List;
    List.Add(L"x;y", 3)->Mode = 1;
    List.Add(L"b", 4);
    TKoStringList Lines;
    List.AssignTo(&Lines);
    EXPECT_EQ(Lines.Lines(), (std::vector<std::wstring>{L"\"x;y\";3;smOn;", L"b;4;smOff;"}));
    EXPECT_EQ(Lines.Objects<TKoPersistent>(1), List.Items(1));

    TNamedList Copy;
    Copy.Assign(&Lines); // from the lines' objects
    EXPECT_EQ(NamesOf(Copy), NamesOf(List));
    EXPECT_EQ(Copy.Sample(0)->Mode, 1);
    EXPECT_NE(Copy.Items(0), List.Items(0));

    // A list that frees its objects gets the lines only, so the items stay the list's.
    TKoStringList Owning;
    Owning.SetOwnsObjects(true);
    List.AssignTo(&Owning);
    EXPECT_FALSE(Owning.HasObject(0));
    Owning.Clear();
    EXPECT_EQ(List.Sample(1)->Name, L"b");

    TNamedList FromText;
    TKoStringList Plain{L"q;8;smOn;"};
    FromText.Assign(&Plain);
    EXPECT_EQ(FromText.Sample(0)->Count, 8);
}

TEST(PersistentList, TextFileFormRoundTripAndHeaderCheck) {
    TNamedList List;
    List.Add(L"first", 1);
    List.Add(L"sec;ond", 2)->Mode = 1;
    std::ostringstream Out;
    List.SaveToStream(Out);
    EXPECT_EQ(Out.str(), "Name;Count;Mode;Target\r\nfirst;1;smOff;\r\n\"sec;ond\";2;smOn;\r\n");

    TNamedList Loaded;
    std::istringstream In(Out.str());
    Loaded.LoadFromStream(In);
    ASSERT_EQ(Loaded.Count(), 2);
    EXPECT_EQ(NamesOf(Loaded), NamesOf(List));
    EXPECT_EQ(Loaded.Sample(1)->Mode, 1);

    std::istringstream Quoted("\"Name\";\"Count\";Mode;Target\r\nz;3;smOff;\r\n");
    Loaded.LoadFromStream(Quoted);
    EXPECT_EQ(NamesOf(Loaded), (std::vector<std::wstring>{L"z"}));

    const std::wstring Expected =
        L"The stream does not include compatible data. Expected first row: Name;Count;Mode;Target";
    for (const char* Text : {"", "Text\r\nfirst\r\n", "Name;Count;Mode\r\n"}) {
        std::istringstream Bad(Text);
        EXPECT_EQ(MessageOf<EKoRTTIException>([&] { Loaded.LoadFromStream(Bad); }), Expected) << Text;
    }
    EXPECT_EQ(Loaded.Count(), 1); // a refused stream leaves the list as it was

    // Another item class names other properties.
    TKoPersistentList Others(nullptr, true, TOther::StaticClass());
    std::istringstream Foreign(Out.str());
    EXPECT_EQ(MessageOf<EKoRTTIException>([&] { Others.LoadFromStream(Foreign); }),
              L"The stream does not include compatible data. Expected first row: Text");
}

TEST(PersistentList, FileFormRoundTrip) {
    wchar_t Dir[MAX_PATH];
    GetTempPathW(MAX_PATH, Dir);
    const std::wstring Name = std::wstring(Dir) + L"ko_persistent_test.csv";
    TNamedList List;
    List.Add(L"one", 10);
    List.SaveToFile(Name);
    TNamedList Loaded;
    Loaded.LoadFromFile(Name);
    DeleteFileW(Name.c_str());
    ASSERT_EQ(Loaded.Count(), 1);
    EXPECT_EQ(Loaded.Sample(0)->Count, 10);
    EXPECT_THROW(Loaded.LoadFromFile(Name), EKoException);
}

TEST(PersistentList, FailingItemLeavesTheListAgain) {
    TNamedList List;
    TKoStringList Lines{L"a;1;smOff;", L"b;500;smOff;"};
    EXPECT_EQ(MessageOf<EKoRTTIException>([&] { List.Assign(&Lines); }),
              L"Property \"Count\": Value 500 out of range (0..100)");
    EXPECT_EQ(List.Count(), 1);
}

TEST(PersistentList, StreamedItemsRoundTrip) {
    TNamedList List;
    EXPECT_FALSE(List.ItemsStored());
    List.Add(L"a", 1);
    List.Add(L"b", 2);
    const auto Streamed = List.WriteItems();
    ASSERT_EQ(Streamed.size(), 2u);
    EXPECT_EQ(Streamed[1].Props[1], (std::pair<std::wstring, std::wstring>{L"Count", L"2"}));
    TNamedList Read;
    Read.Add(L"old", 0);
    Read.ReadItems(Streamed);
    EXPECT_EQ(Read.Count(), 2);
    EXPECT_EQ(Read.Sample(1)->Count, 2);
    EXPECT_THROW(Read.ReadItems({{{{L"Unknown", L"1"}}}}), EKoRTTIException);
}

// ---- nexus ----

TEST(ComponentNexus, RelaysAndReportsItsOwnEnd) {
    auto* Module = new TKoComponent(nullptr);
    auto* Nexus = new TKoComponentNexus(Module);
    std::vector<std::pair<TKoComponent*, TKoOperation>> Seen;
    Nexus->OnNotify = [&](TKoComponent* C, TKoOperation Op) { Seen.emplace_back(C, Op); };
    auto* Child = new TKoComponent(Module);
    TKoComponent::Free(Child);
    EXPECT_EQ(Seen,
              (std::vector<std::pair<TKoComponent*, TKoOperation>>{{Child, opInsert}, {Child, opRemove}}));
    Seen.clear();
    TKoComponent::Free(Module);
    ASSERT_FALSE(Seen.empty());
    EXPECT_EQ(Seen.front(), (std::pair<TKoComponent*, TKoOperation>{Nexus, opRemove}));
}
