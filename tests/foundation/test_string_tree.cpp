#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KoStringTree.h"
#include "KoStrings.h"

namespace {

using TLines = std::vector<std::wstring>;

TLines LinesOf(const TKoStrings& List) {
    return List.Lines();
}

// a(0) b(1) c(1) d(0): the tree most cases below start from.
class StringTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        Tree.Add(L"a", 0);
        Tree.Add(L"b", 1);
        Tree.Add(L"c", 1);
        Tree.Add(L"d", 0);
    }

    std::vector<int> Parents() const {
        std::vector<int> Result;
        for (int I = 0; I < Tree.Count(); ++I) Result.push_back(Tree.ParentOf(I));
        return Result;
    }
    TLines Names() const {
        TLines Result;
        for (int I = 0; I < Tree.Count(); ++I) Result.push_back(Tree.Strings(I));
        return Result;
    }

    TKoStringTree Tree;
};

TEST_F(StringTreeTest, AppendedLevelsGiveParentsPathsAndSiblingPositions) {
    EXPECT_EQ(Parents(), (std::vector<int>{-1, 0, 0, -1}));
    EXPECT_EQ(Tree.FullPath(2), L"a/c");
    EXPECT_TRUE(Tree.HasChildren(0));
    EXPECT_FALSE(Tree.HasChildren(2));
    EXPECT_TRUE(Tree.HasChildren(-1));
    EXPECT_EQ(Tree.SiblingIndexOf(2), 1);
    EXPECT_EQ(Tree.SiblingIndexOf(3), 1);
    EXPECT_EQ(Tree.NodeType(0), tnBranch);
    EXPECT_EQ(Tree.NodeType(3), tnLeaf);
    EXPECT_EQ(Tree.LastChild(0, -1), 2);
    EXPECT_EQ(Tree.LastChild(1, -1), -2);
    EXPECT_EQ(Tree.ChildCount(-1, 0), 2);
    EXPECT_EQ(Tree.ChildCount(-1, -1), 4);
    EXPECT_TRUE(Tree.IsChildOf(0, 2));
    EXPECT_FALSE(Tree.IsChildOf(0, 3));
    EXPECT_FALSE(Tree.IsChildOf(2, 2));
    EXPECT_TRUE(Tree.IsChildOf(-1, 3));
    EXPECT_EQ(Tree.LevelOf(-1), -1);
    EXPECT_EQ(Tree.Strings(-1), L"");
}

TEST_F(StringTreeTest, ChildInsertedInTheMiddleShiftsLaterNodesAndTheirParents) {
    Tree.Add(L"e", 1); // child of d: its parent index must follow d when d moves
    EXPECT_EQ(Tree.SiblingIndexOf(3), 1);
    EXPECT_EQ(Tree.AddChild(0, L"x"), 3);
    EXPECT_EQ(Tree.LevelOf(3), 1);
    EXPECT_EQ(Names(), (TLines{L"a", L"b", L"c", L"x", L"d", L"e"}));
    EXPECT_EQ(Parents(), (std::vector<int>{-1, 0, 0, 0, -1, 4}));
    EXPECT_EQ(Tree.FullPath(5), L"d/e");
    EXPECT_EQ(Tree.SiblingIndexOf(3), 2);
    EXPECT_EQ(Tree.SiblingIndexOf(4), 1);
    // Inserting before a sibling renumbers it (its cached position is dropped).
    EXPECT_EQ(Tree.SiblingIndexOf(1), 0);
    Tree.Insert(1, L"first", 1);
    EXPECT_EQ(Tree.SiblingIndexOf(2), 1);
    const int Top = Tree.AddChild(-1, L"top");
    EXPECT_EQ(Top, Tree.Count() - 1);
    EXPECT_EQ(Tree.LevelOf(Tree.Count() - 1), 0);
}

TEST_F(StringTreeTest, LookupsDifferInCaseRulesAndReach) {
    EXPECT_EQ(Tree.IndexOfPath(L"A/C"), 2);
    EXPECT_EQ(Tree.IndexOfPath(L"a/x"), -1);
    EXPECT_EQ(Tree.FindChild(0, L"C"), -1);
    EXPECT_EQ(Tree.FindChild(0, L"c"), 2);
    EXPECT_EQ(Tree.FindChild(-1, L"d"), 3);
    EXPECT_EQ(Tree.FindChild(-1, L"b"), -1);
    EXPECT_EQ(Tree.IndexOf(L"c"), 2);

    struct TCase {
        int Parent;
        const wchar_t* Name;
        int Expected;
    };
    const TCase Cases[] = {
        {1, L"c", 2},  // b has no children: the search runs on into its sibling
        {1, L"d", -1}, // and stops at the level-0 node d
        {-1, L"c", 2}, // from the root every level qualifies
        {0, L"c", 2},  {0, L"", -1},
    };
    for (const TCase& Case : Cases)
        EXPECT_EQ(Tree.IndexOfChild(Case.Parent, Case.Name), Case.Expected)
            << Case.Parent << L" " << Case.Name;
}

TEST_F(StringTreeTest, PathIndexFollowsEveryChange) {
    EXPECT_EQ(Tree.IndexOfPath(L"d"), 3);
    Tree.Insert(0, L"z", 0);
    EXPECT_EQ(Tree.IndexOfPath(L"d"), 4);
    EXPECT_EQ(Tree.IndexOfPath(L"a/c"), 3);
    Tree.DeleteSubTree(1, false);
    EXPECT_EQ(Tree.IndexOfPath(L"d"), 1);
    EXPECT_EQ(Tree.IndexOfPath(L"a/c"), -1);
    Tree.SetStrings(1, L"renamed");
    EXPECT_EQ(Tree.IndexOfPath(L"d"), -1);
    EXPECT_EQ(Tree.IndexOfPath(L"RENAMED"), 1);
    // Equal paths: the lowest index is found.
    Tree.Add(L"renamed", 0);
    EXPECT_EQ(Tree.IndexOfPath(L"renamed"), 1);
}

TEST_F(StringTreeTest, DeletingSubTreesAndSingleNodes) {
    {
        TKoStringTree Copy;
        Copy.Assign(&Tree);
        Copy.DeleteSubTree(0, false);
        EXPECT_EQ(Copy.Count(), 1);
        EXPECT_EQ(Copy.Strings(0), L"d");
        EXPECT_EQ(Copy.ParentOf(0), -1);
    }
    {
        TKoStringTree Copy;
        Copy.Assign(&Tree);
        Copy.DeleteSubTree(0, true);
        EXPECT_EQ(Copy.Count(), 2);
        EXPECT_EQ(Copy.FullPath(1), L"d");
        Copy.DeleteSubTree(0, true); // no children: nothing goes
        EXPECT_EQ(Copy.Count(), 2);
        Copy.DeleteSubTree(-1, false);
        EXPECT_EQ(Copy.Count(), 0);
    }
    Tree.Add(L"e", 1);
    Tree.Delete(0); // b and c stay, now below nothing
    EXPECT_EQ(Names(), (TLines{L"b", L"c", L"d", L"e"}));
    EXPECT_EQ(Tree.ParentOf(3), 2);
    EXPECT_EQ(Tree.FullPath(3), L"d/e");
}

TEST_F(StringTreeTest, NavigationBetweenSiblingsAndLevels) {
    int Index = 1;
    EXPECT_TRUE(Tree.NextSibling(Index, false));
    EXPECT_EQ(Index, 2);
    EXPECT_FALSE(Tree.NextSibling(Index, false));
    EXPECT_TRUE(Tree.NextSibling(Index, true));
    EXPECT_EQ(Index, 1);
    EXPECT_TRUE(Tree.PrevSibling(Index, true));
    EXPECT_EQ(Index, 2);
    Index = 0;
    EXPECT_TRUE(Tree.NextSibling(Index, false));
    EXPECT_EQ(Index, 3);

    EXPECT_EQ(Tree.FindFirstAtLevel(1), 1);
    EXPECT_EQ(Tree.FindFirstAtLevel(5), -1);
    Index = 0;
    EXPECT_TRUE(Tree.FindNextAtSameLevel(Index));
    EXPECT_EQ(Index, 3);
    EXPECT_FALSE(Tree.FindNextAtSameLevel(Index));
    EXPECT_EQ(Index, 3);
    Index = 2;
    EXPECT_TRUE(Tree.FindPrevAtSameLevel(Index));
    EXPECT_EQ(Index, 1);
    EXPECT_FALSE(Tree.FindPrevAtSameLevel(Index));
    EXPECT_EQ(Index, 1);

    // The search primitive: partial names, and where a failed search leaves the index.
    Index = -1;
    EXPECT_TRUE(Tree.FindNext(Index, -1, -1, L"", false));
    EXPECT_EQ(Index, 0);
    Index = 0;
    EXPECT_FALSE(Tree.FindNext(Index, 1, -1, L"x", false));
    EXPECT_EQ(Index, 4); // stopped at d (index 3), left one past it
    Tree.Add(L"bcd", 0);
    Index = 0;
    EXPECT_TRUE(Tree.FindNext(Index, 0, -1, L"cd", true));
    EXPECT_EQ(Index, 4);
    Index = 4;
    EXPECT_TRUE(Tree.FindPrev(Index, 0, 0, L"a", false));
    EXPECT_EQ(Index, 0);
}

TEST(StringTree, NamesWithSeparatorOrQuoteAreQuotedAndFoundAgain) {
    struct TCase {
        const wchar_t* Name;
        const wchar_t* Path;
    };
    const TCase Cases[] = {
        {L"b", L"a/b"},
        {L"x/y", L"a/'x/y'"},
        {L"it's", L"a/'it''s'"},
        {L"with blank", L"a/with blank"},
    };
    for (const TCase& Case : Cases) {
        TKoStringTree Tree;
        Tree.Add(L"a", 0);
        Tree.Add(Case.Name, 1);
        EXPECT_EQ(Tree.FullPath(1), Case.Path);
        EXPECT_EQ(Tree.IndexOfPath(Case.Path), 1) << Case.Path;
        TKoStringList Sequence;
        Tree.PathToSequence(Case.Path, &Sequence);
        EXPECT_EQ(LinesOf(Sequence), (TLines{L"a", Case.Name}));
        EXPECT_EQ(Tree.NameFromPath(Case.Path), Case.Name);
    }

    TKoStringTree Plain;
    Plain.SetQuoteChar(L'\0');
    Plain.Add(L"x/y", 0);
    EXPECT_EQ(Plain.FullPath(0), L"x/y");

    TKoStringTree Items;
    Items.SetPathSeparator(L'.');
    Items.SetPrefix(L"opc:");
    Items.AddWithPath(L"opc:Random.KoFloat1");
    EXPECT_EQ(Items.FullPath(1), L"opc:Random.KoFloat1");
    EXPECT_EQ(Items.IndexOfPath(L"opc:random.kofloat1"), 1);

    TKoStringTree Empty;
    Empty.AddWithPath(L"");
    EXPECT_EQ(Empty.FullPath(0), L"''");
}

TEST(StringTree, PathParsingDropsOuterSeparatorsAndRejectsEmptyPaths) {
    TKoStringTree Tree;
    struct TCase {
        const wchar_t* Path;
        TLines Expected;
    };
    const TCase Cases[] = {
        {L"a/b", {L"a", L"b"}},
        {L"/a/b", {L"a", L"b"}},
        {L"a/b/", {L"a", L"b"}},
        {L"//a/b", {L"/a", L"b"}}, // a leading doubled separator belongs to the first name
        {L"a", {L"a"}},
    };
    for (const TCase& Case : Cases) {
        TKoStringList Sequence;
        Tree.PathToSequence(Case.Path, &Sequence);
        EXPECT_EQ(LinesOf(Sequence), Case.Expected) << Case.Path;
    }
    for (const wchar_t* Path : {L"", L"/", L"//", L"///"}) {
        TKoStringList Sequence;
        try {
            Tree.PathToSequence(Path, &Sequence);
            ADD_FAILURE() << "no error for '" << Path << "'";
        } catch (const EKoStringListError& E) {
            EXPECT_EQ(E.Message(), L"List index out of bounds (0)") << Path;
        }
    }
    try {
        Tree.PathToSequence(L"a", nullptr);
        ADD_FAILURE();
    } catch (const EKoError& E) {
        EXPECT_EQ(E.Message(), L"Sequence must be a valid TKoStringList");
    }
    EXPECT_THROW(Tree.NameFromPath(L""), EKoStringListError);
}

TEST(StringTree, AddWithPathReusesBranchesButAlwaysAddsTheLeaf) {
    TKoStringTree Tree;
    Tree.AddWithPath(L"a/b");
    Tree.AddWithPath(L"a/b");
    Tree.AddWithPath(L"/a/c/d");
    ASSERT_EQ(Tree.Count(), 5);
    EXPECT_EQ(Tree.ChildCount(0, 0), 3);
    EXPECT_EQ(Tree.FullPath(1), L"a/b");
    EXPECT_EQ(Tree.FullPath(2), L"a/b");
    EXPECT_EQ(Tree.FullPath(4), L"a/c/d");
    // Branch lookup is case-sensitive: "A" is a new top-level node.
    Tree.AddWithPath(L"A/b");
    EXPECT_EQ(Tree.FullPath(6), L"A/b");
}

TEST_F(StringTreeTest, ChildrenLeavesAndSubTrees) {
    TKoStringList List;
    Tree.GetChildren(&List, 0, {tnBranch, tnLeaf}, 0, false);
    EXPECT_EQ(LinesOf(List), (TLines{L"b", L"c"}));
    Tree.GetChildren(&List, 0, {tnBranch, tnLeaf}, -1, true);
    EXPECT_EQ(LinesOf(List), (TLines{L"b", L"c"}));
    Tree.GetLeaves(&List, -1, true);
    EXPECT_EQ(LinesOf(List), (TLines{L"a/b", L"a/c", L"d"}));
    Tree.GetLeaves(&List, -1, false);
    EXPECT_EQ(LinesOf(List), (TLines{L"d"}));
    Tree.GetChildren(&List, -1, {tnBranch}, -1, true);
    EXPECT_EQ(LinesOf(List), (TLines{L"a"}));

    // Deeper trees: relative paths below the parent, the depth bound.
    Tree.AddWithPath(L"a/c/x/y");
    Tree.GetChildren(&List, 0, {tnLeaf}, -1, true);
    EXPECT_EQ(LinesOf(List), (TLines{L"b", L"c/x/y"}));
    Tree.GetChildren(&List, 0, {tnBranch, tnLeaf}, 1, true);
    EXPECT_EQ(LinesOf(List), (TLines{L"b", L"c", L"c/x"}));

    TKoStringTree Sub;
    Tree.GetSubTree(&Sub, 2, {tnBranch, tnLeaf}, -1);
    ASSERT_EQ(Sub.Count(), 3);
    EXPECT_EQ(Sub.FullPath(2), L"c/x/y");
    EXPECT_EQ(Sub.LevelOf(0), 0);
    Tree.GetBranches(&Sub, -1, -1);
    EXPECT_EQ(Sub.Count(), 3); // a, c, x
    EXPECT_EQ(Sub.FullPath(2), L"a/c/x");

    EXPECT_THROW(Tree.GetChildren(nullptr, 0, {tnLeaf}, 0, false), EKoError);
    EXPECT_THROW(Tree.GetSubTree(nullptr, 0, {tnLeaf}, 0), EKoError);
}

TEST(StringTree, ObjectsTravelWithLinesAndCopies) {
    int One = 1, Two = 2;
    TKoStringList Lines;
    Lines.Add(L"m");
    Lines.AddObject(L"m/one", &One);
    Lines.AddObject(L"m/two # comment", &Two);
    Lines.Add(L"#only a comment");

    TKoStringTree Tree;
    Tree.SetCommentChar(L'#');
    Tree.AddStrings(Lines, false);
    ASSERT_EQ(Tree.Count(), 3);
    EXPECT_EQ(Tree.Strings(2), L"two ");
    EXPECT_EQ(Tree.Objects<int>(1), &One);
    EXPECT_EQ(Tree.IndexOfObject(&Two), 2);

    TKoStringList Out;
    Tree.AssignTo(&Out);
    EXPECT_EQ(LinesOf(Out), (TLines{L"m", L"m/one", L"m/two "}));
    EXPECT_EQ(Out.Objects<int>(1), &One);

    TKoStringTree Copy;
    Copy.Assign(&Tree);
    EXPECT_TRUE(Copy.Equals(&Tree));
    EXPECT_EQ(Copy.Objects<int>(2), &Two);
    Copy.SetStrings(2, L"other");
    EXPECT_FALSE(Copy.Equals(&Tree));
    EXPECT_FALSE(Tree.Equals(&Lines));

    Tree.RemoveObject(&One);
    EXPECT_EQ(Tree.Count(), 2);
    EXPECT_THROW(Tree.Objects<int>(5), EKoStringListError);
    EXPECT_THROW(Tree.Objects<int>(-1), EKoStringListError);
    EXPECT_THROW(Tree.Strings(2), EKoStringListError);
    EXPECT_THROW(Tree.Objects<double>(1), EKoStringListError);
    EXPECT_THROW(Tree.AssignTo(static_cast<TKoPersistentBase*>(nullptr)), EKoAssignError);
}

TEST(StringTree, OwnedObjectsAreFreedWithTheirNodes) {
    struct TTracked {
        explicit TTracked(int& ACount) : Count(ACount) {}
        ~TTracked() { ++Count; }
        int& Count;
    };
    int Freed = 0;
    {
        TKoStringTree Tree;
        Tree.SetOwnsObjects(true);
        Tree.AddObject(L"a", 0, new TTracked(Freed));
        Tree.AddObject(L"b", 1, new TTracked(Freed));
        Tree.AddObject(L"c", 0, new TTracked(Freed));
        Tree.DeleteSubTree(0, false);
        EXPECT_EQ(Freed, 2);
        Tree.SetObjects(0, new TTracked(Freed)); // the replaced object goes
        EXPECT_EQ(Freed, 3);
    }
    EXPECT_EQ(Freed, 4);
}

TEST(StringTree, SortedTreesRefuseAppending) {
    TKoStringTree Tree;
    Tree.SetSorted(true);
    try {
        Tree.Add(L"a", 0);
        ADD_FAILURE();
    } catch (const EKoStringListError& E) {
        EXPECT_EQ(E.Message(), L"Add not implemented for Sorted trees");
    }
    TKoStringList Lines{L"a"};
    EXPECT_THROW(Tree.Assign(&Lines), EKoStringListError);
    Tree.AddChild(-1, L"a"); // not built on AddObject
    try {
        Tree.SetSorted(false);
        ADD_FAILURE();
    } catch (const EKoStringListError& E) {
        EXPECT_EQ(E.Message(), L"Cannot change Sorted for a non-empty tree");
    }
    Tree.SetSorted(true); // no change: no error
}

TEST(StringTree, ChangeNotificationsOncePerChangeOrUpdate) {
    TKoStringTree Tree;
    int Changing = 0, Changed = 0;
    int CountSeenBefore = -1;
    Tree.OnChanging = [&](TKoStringTree* Sender) {
        ++Changing;
        CountSeenBefore = Sender->Count();
    };
    Tree.OnChange = [&](TKoStringTree*) { ++Changed; };

    Tree.Add(L"a", 0);
    EXPECT_EQ(CountSeenBefore, 0);
    EXPECT_EQ(Changing, 1);
    EXPECT_EQ(Changed, 1);

    Tree.BeginUpdate();
    Tree.BeginUpdate();
    for (int I = 0; I < 5; ++I) Tree.Add(L"n", 1);
    EXPECT_TRUE(Tree.IsUpdating());
    Tree.EndUpdate();
    EXPECT_EQ(Changed, 1);
    Tree.EndUpdate();
    EXPECT_EQ(Changing, 2);
    EXPECT_EQ(Changed, 2);

    Tree.DeleteSubTree(0, true);
    EXPECT_EQ(Changing, 3);
    EXPECT_EQ(Changed, 3);
    Tree.SetObjects<int>(0, nullptr);
    Tree.SetPathSeparator(L'.');
    EXPECT_EQ(Changed, 3);
    Tree.SetStrings(0, L"b");
    EXPECT_EQ(Changed, 4);
    Tree.Clear();
    EXPECT_EQ(Changed, 5);
}

TEST(StringTree, SavedTreesLoadWithTheirSettingsAndShape) {
    TKoStringTree Tree;
    Tree.AddWithPath(L"a/b/c");
    Tree.AddWithPath(L"a/x/y");
    Tree.AddWithPath(L"it's/z");
    Tree.AddWithPath(L"d");
    EXPECT_EQ(Tree.Options(), L"PathSeparator=/;QuoteChar='");

    std::ostringstream Out;
    Tree.SaveToStream(Out);
    EXPECT_EQ(
        Out.str(),
        "PathSeparator=/;QuoteChar='\r\na\r\na/b\r\na/b/c\r\na/x\r\na/x/y\r\n'it''s'\r\n'it''s'/z\r\nd\r\n");

    TKoStringTree Loaded;
    std::istringstream In(Out.str());
    Loaded.LoadFromStream(In);
    EXPECT_TRUE(Loaded.Equals(&Tree));

    // Settings come from the options line; "QuoteChar=" turns quoting off.
    std::istringstream Dotted("\"PathSeparator=.\";QuoteChar=;Prefix=p:\r\np:a\r\np:a.b'c\r\n");
    TKoStringTree Other;
    Other.LoadFromStream(Dotted);
    EXPECT_EQ(Other.PathSeparator(), L'.');
    EXPECT_EQ(Other.QuoteChar(), L'\0');
    EXPECT_EQ(Other.Prefix(), L"p:");
    ASSERT_EQ(Other.Count(), 2);
    EXPECT_EQ(Other.Strings(1), L"b'c");
    EXPECT_EQ(Other.LevelOf(1), 1);
    EXPECT_EQ(Other.Options(), L"PathSeparator=.;Prefix=p:");

    // Without an options line the lines are paths with the tree's own settings.
    std::istringstream NoOptions("x\r\nx/y\r\n");
    TKoStringTree Third;
    Third.LoadFromStream(NoOptions);
    EXPECT_EQ(Third.FullPath(1), L"x/y");

    wchar_t Dir[MAX_PATH];
    GetTempPathW(MAX_PATH, Dir);
    const std::wstring File = std::wstring(Dir) + L"ko_string_tree_test.txt";
    Tree.SaveToFile(File);
    TKoStringTree FromFile;
    FromFile.LoadFromFile(File);
    DeleteFileW(File.c_str());
    EXPECT_TRUE(FromFile.Equals(&Tree));
    EXPECT_THROW(FromFile.LoadFromFile(File), EKoStringListError);
}

TEST(StringTree, ConcurrentAppendsUnderTheTreeLockLoseNothing) {
    TKoStringTree Tree;
    constexpr int PerThread = 500;
    std::vector<std::thread> Threads;
    for (int T = 0; T < 4; ++T)
        Threads.emplace_back([&Tree, T] {
            for (int I = 0; I < PerThread; ++I) Tree.Add(std::to_wstring(T) + L"-" + std::to_wstring(I), 0);
        });
    for (std::thread& Thread : Threads) Thread.join();
    ASSERT_EQ(Tree.Count(), 4 * PerThread);
    for (int T = 0; T < 4; ++T)
        for (int I = 0; I < PerThread; I += 97)
            EXPECT_GE(Tree.IndexOfPath(std::to_wstring(T) + L"-" + std::to_wstring(I)), 0);
}

} // namespace
