#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "KoOle.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "KoVariants.h"

namespace {

using TLines = std::vector<std::wstring>;

TKoStringList CsvList(wchar_t Separator, wchar_t Quote, const std::wstring& Prefix = {}) {
    TKoStringList List;
    List.SetCSVSeparator(Separator);
    List.SetCSVQuoteChar(Quote);
    List.SetCSVPrefix(Prefix);
    return List;
}

void Fill(TKoStrings& List, const TLines& Lines) {
    List.Clear();
    for (const std::wstring& Line : Lines) List.Add(Line);
}

// Counts its own destructions, to see which list frees it.
struct TTracked {
    explicit TTracked(int& ACounter) : Counter(ACounter) {}
    ~TTracked() { ++Counter; }
    int& Counter;
};

template <class TError> std::wstring MessageOf(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const TError& Error) {
        return Error.Message();
    }
    return L"(no error)";
}

} // namespace

// ---- the CSV codec ----

TEST(StringListCsv, StartsWithTheLocaleListSeparatorAndDoubleQuote) {
    const TKoStringList List;
    const std::wstring Separator = KoListSeparator();
    EXPECT_EQ(List.CSVSeparator(), Separator.empty() ? L',' : Separator[0]);
    EXPECT_EQ(List.CSVQuoteChar(), L'"');
    EXPECT_EQ(List.CSVPrefix(), L"");
    EXPECT_FALSE(List.CSVTrimLeft());
    EXPECT_FALSE(List.CSVTrimRight());
    EXPECT_FALSE(List.OwnsObjects());
}

TEST(StringListCsv, RoundTrips) {
    struct Case {
        const char* What;
        wchar_t Separator;
        wchar_t Quote;
        std::wstring Prefix;
        TLines Strings;
        std::wstring Text;
    } Cases[] = {
        {"only the one with a quote is quoted", L',', L'\'', L"", {L"a", L"b c", L"d'e"}, L"a,b c,'d''e'"},
        {"single empty string", L',', L'\'', L"", {L""}, L"''"},
        {"no strings gives the prefix", L',', L'"', L"P", {}, L"P"},
        {"prefix", L',', L'"', L"/", {L"x", L"y"}, L"/x,y"},
        {"separator inside", L',', L'"', L"", {L"a,b", L"c"}, L"\"a,b\",c"},
        {"quotes inside", L',', L'"', L"", {L"say \"hi\"", L"\""}, L"\"say \"\"hi\"\"\",\"\"\"\""},
        {"line breaks are not quoted", L',', L'"', L"", {L"l1\r\nl2", L"x\ny", L"\r"}, L"l1\r\nl2,x\ny,\r"},
        {"line break with separator", L',', L'"', L"", {L"a\r\nb,c"}, L"\"a\r\nb,c\""},
        {"empty strings around", L',', L'"', L"", {L"", L"a", L""}, L",a,"},
        {"two empty strings", L',', L'"', L"", {L"", L""}, L","},
        {"other separators are plain text", L';', L'"', L"", {L"a,b", L"c"}, L"a,b;c"},
        {"blanks kept without trimming", L'\t', L'"', L"", {L" a ", L"\tb"}, L" a \t\"\tb\""},
        {"separator above code 255",
         L'\x061B',
         L'"',
         L"",
         {L"a", L"b\x061B"
                L"c"},
         L"a\x061B\"b\x061B"
         L"c\""},
        {"no quoting", L',', L'\0', L"", {L"a\"b", L"c"}, L"a\"b,c"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        TKoStringList List = CsvList(C.Separator, C.Quote, C.Prefix);
        Fill(List, C.Strings);
        EXPECT_EQ(List.AsCSV(), C.Text);
        TKoStringList Decoded = CsvList(C.Separator, C.Quote, C.Prefix);
        Decoded.Add(L"stale");
        Decoded.SetAsCSV(C.Text);
        EXPECT_EQ(Decoded.Lines(), C.Strings);
    }
}

TEST(StringListCsv, DecodesMalformedAndUnusualTexts) {
    struct Case {
        const char* What;
        std::wstring Prefix;
        bool TrimLeft, TrimRight;
        wchar_t Quote;
        std::wstring Text;
        TLines Strings;
    } Cases[] = {
        {"empty text", L"", false, false, L'"', L"", {}},
        {"separator at the end", L"", false, false, L'"', L"a,b,", {L"a", L"b", L""}},
        {"separator at the start", L"", false, false, L'"', L",a", {L"", L"a"}},
        {"text after a closing quote", L"", false, false, L'"', L"\"ab\"cd,e", {L"ab", L"cd", L"e"}},
        {"no closing quote", L"", false, false, L'"', L"x,\"open,y", {L"x", L"open,y"}},
        {"a lone quote", L"", false, false, L'"', L"\"", {L""}},
        {"quote inside an unquoted element", L"", false, false, L'"', L"a\"b,c", {L"a\"b", L"c"}},
        {"prefix missing", L"/", false, false, L'"', L"x,y", {L"x", L"y"}},
        {"prefix alone", L"/", false, false, L'"', L"/", {}},
        {"trim left", L"", true, false, L'"', L" a , \tb ", {L"a ", L"b "}},
        {"trim right", L"", false, true, L'"', L" a , b\r\n", {L" a", L" b"}},
        {"trim both, quoted too", L"", true, true, L'"', L"  \" q \" ,b", {L"\" q \"", L"b"}},
        {"quoted then trimmed", L"", true, true, L'"', L"\" q \",b", {L"q", L"b"}},
        {"no quote character", L"", false, false, L'\0', L"\"a,b\"", {L"\"a", L"b\""}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        TKoStringList List = CsvList(L',', C.Quote, C.Prefix);
        List.SetCSVTrimLeft(C.TrimLeft);
        List.SetCSVTrimRight(C.TrimRight);
        List.SetAsCSV(C.Text);
        EXPECT_EQ(List.Lines(), C.Strings);
    }
}

TEST(StringListCsv, DecodingIsOneChange) {
    TKoStringList List = CsvList(L',', L'"');
    List.Add(L"old");
    std::vector<std::string> Events;
    List.OnChanging = [&](TKoStrings* Sender) {
        EXPECT_EQ(Sender, &List);
        Events.push_back("changing");
    };
    List.OnChange = [&](TKoStrings*) { Events.push_back("change " + std::to_string(List.Count())); };
    List.SetAsCSV(L"a,b,c");
    EXPECT_EQ(Events, (std::vector<std::string>{"changing", "change 3"}));

    Events.clear();
    List.Add(L"d");
    List.BeginUpdate();
    List.Delete(0);
    List.SetStrings(0, L"x");
    List.EndUpdate();
    EXPECT_EQ(Events, (std::vector<std::string>{"changing", "change 4", "changing", "change 3"}));
}

// ---- the string list ----

TEST(StringList, IndexesOutsideTheListFail) {
    int Freed = 0;
    TKoStringList List{L"a", L"b"};
    List.AddObject(L"c", new TTracked(Freed));
    List.SetOwnsObjects(true);
    struct Case {
        const char* What;
        std::function<void()> Call;
        const wchar_t* Message;
    } Cases[] = {
        {"read -1", [&] { (void)List.Strings(-1); }, L"List index out of bounds (-1)"},
        {"read Count", [&] { (void)List.Strings(3); }, L"List index out of bounds (3)"},
        {"write", [&] { List.SetStrings(3, L"x"); }, L"List index out of bounds (3)"},
        {"insert past Count", [&] { List.Insert(4, L"x"); }, L"List index out of bounds (4)"},
        {"delete", [&] { List.Delete(-2); }, L"List index out of bounds (-2)"},
        {"object", [&] { (void)List.Objects<TTracked>(7); }, L"List index out of bounds (7)"},
        {"object of another type", [&] { (void)List.Objects<int>(2); },
         L"Object of string 2 is of another type"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        EXPECT_EQ(MessageOf<EKoStringListError>(C.Call), C.Message);
    }
    EXPECT_EQ(List.Lines(), (TLines{L"a", L"b", L"c"}));
    EXPECT_EQ(Freed, 0);
}

TEST(StringList, OwnedObjectsAreFreedOnRemoval) {
    int Freed = 0;
    {
        TKoStringList List;
        List.SetOwnsObjects(true);
        auto* First = new TTracked(Freed);
        List.AddObject(L"one", First);
        List.AddObject(L"two", new TTracked(Freed));
        List.Add(L"none");
        EXPECT_EQ(List.Objects<TTracked>(0), First);
        EXPECT_EQ(List.Objects<TTracked>(2), nullptr);
        EXPECT_EQ(List.IndexOfObject(First), 0);

        List.Delete(0);
        EXPECT_EQ(Freed, 1);
        List.SetObjects(0, new TTracked(Freed)); // replaces "two"'s object
        EXPECT_EQ(Freed, 2);
        List.SetAsCSV(L"x"); // decoding clears
        EXPECT_EQ(Freed, 3);
        List.AddObject(L"kept", new TTracked(Freed));
    }
    EXPECT_EQ(Freed, 4); // destruction

    // A list that does not own its objects leaves them alone; an owning list that copies from it
    // takes the strings only, so nothing is freed twice.
    TTracked Outside(Freed);
    {
        TKoStringList Plain;
        Plain.AddObject(L"o", &Outside);
        TKoStringList Owner;
        Owner.SetOwnsObjects(true);
        Owner.Assign(&Plain);
        EXPECT_EQ(Owner.Lines(), TLines{L"o"});
        EXPECT_FALSE(Owner.HasObject(0));
        TKoStringList Copy(Plain);
        EXPECT_EQ(Copy.Objects<TTracked>(0), &Outside);
        Plain.Clear();
    }
    EXPECT_EQ(Freed, 4);
}

TEST(StringList, SearchTextAndReplace) {
    TKoStringList List{L"Alpha", L"beta", L"ALPHA"};
    EXPECT_EQ(List.IndexOf(L"aLPHA"), 0);
    EXPECT_EQ(List.IndexOf(L"BETA"), 1);
    EXPECT_EQ(List.IndexOf(L"gamma"), -1);

    List.SetText(L"a\r\nb\nc\r\r\n");
    EXPECT_EQ(List.Lines(), (TLines{L"a", L"b", L"c", L""}));
    EXPECT_EQ(List.Text(), L"a\r\nb\r\nc\r\n\r\n");

    struct Case {
        const char* What;
        TLines Before;
        std::wstring Old, New;
        unsigned Flags;
        TLines After;
    } Cases[] = {
        {"first only", {L"ab", L"ab"}, L"ab", L"x", 0, {L"x", L"ab"}},
        {"all", {L"ab", L"ab"}, L"ab", L"x", rfReplaceAll, {L"x", L"x"}},
        {"case matters", {L"AB", L"ab"}, L"ab", L"x", rfReplaceAll, {L"AB", L"x"}},
        {"ignore case", {L"AB", L"ab"}, L"ab", L"x", rfReplaceAll | rfIgnoreCase, {L"x", L"x"}},
        {"across the line break", {L"a", L"b"}, L"a\r\nb", L"ab", 0, {L"ab"}},
        {"new line break", {L"a;b"}, L";", L"\r\n", 0, {L"a", L"b"}},
        {"empty pattern", {L"a"}, L"", L"x", rfReplaceAll, {L"a"}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        Fill(List, C.Before);
        List.Replace(C.Old, C.New, C.Flags);
        EXPECT_EQ(List.Lines(), C.After);
    }
}

TEST(StringList, CommonLeadingRuns) {
    struct Case {
        TLines Mine, Other;
        int Last;
        TLines AfterDropStart, AfterDropEnd;
    } Cases[] = {
        {{L"a", L"b", L"c"}, {L"a", L"b", L"x"}, 1, {L"c"}, {L"a", L"b"}},
        {{L"a", L"b"}, {L"a", L"b", L"c"}, 1, {}, {L"a", L"b"}},
        {{L"a", L"b"}, {L"x", L"b"}, -1, {L"a", L"b"}, {L"a", L"b"}},
        {{L"a"}, {}, -1, {L"a"}, {L"a"}},
        {{L"A", L"b"}, {L"a", L"b"}, -1, {L"A", L"b"}, {L"A", L"b"}}, // letter case counts
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::PrintToString(C.Mine));
        TKoStringList Mine, Other;
        Fill(Mine, C.Mine);
        Fill(Other, C.Other);
        EXPECT_EQ(Mine.PathEqualsTo(Other), C.Last);
        Mine.DropEqualStart(Other);
        EXPECT_EQ(Mine.Lines(), C.AfterDropStart);
        Fill(Mine, C.Mine);
        Mine.DropDifferentEnd(Other);
        EXPECT_EQ(Mine.Lines(), C.AfterDropEnd);
    }
}

// ---- the string table ----

namespace {

struct StringTable : ::testing::Test {
    TKoStringTable Table;
    StringTable() { Table.SetCSVSeparator(L','); }
};

// A grid of cells in memory.
class TMemoryGrid : public TKoStringGrid {
public:
    int RowCount() const override { return FRows; }
    void SetRowCount(int Value) override { FRows = Value; }
    int ColCount() const override { return FCols; }
    void SetColCount(int Value) override { FCols = Value; }
    std::wstring Cells(int ACol, int ARow) const override {
        auto It = FCells.find({ACol, ARow});
        return It == FCells.end() ? std::wstring() : It->second;
    }
    void SetCells(int ACol, int ARow, const std::wstring& Value) override { FCells[{ACol, ARow}] = Value; }

private:
    int FRows = 0;
    int FCols = 0;
    std::map<std::pair<int, int>, std::wstring> FCells;
};

std::wstring BstrAt(const TKoOleVariant& V, std::vector<LONG> Indices) {
    const TKoOleVariant Element = KoSafeArrayGetVariant(KoVariantArray(V), Indices.data());
    EXPECT_EQ(Element.Type(), VT_BSTR);
    return Element.Type() == VT_BSTR
               ? std::wstring(Element.Get().bstrVal, SysStringLen(Element.Get().bstrVal))
               : std::wstring();
}

} // namespace

TEST_F(StringTable, WritingACellGrowsTheTable) {
    Table.SetCells(2, 3, L"v");
    EXPECT_EQ(Table.Lines(), (TLines{L"", L"", L"", L",,v"}));
    Table.SetCells(0, 3, L"a,b");
    EXPECT_EQ(Table.Strings(3), L"\"a,b\",,v");
    EXPECT_EQ(Table.Cells(0, 3), L"a,b");
    EXPECT_EQ(Table.ColumnCount(3), 3);
    EXPECT_EQ(Table.ColumnCount(9), 0);

    Table.SetColumnNames(1, L"second");
    Table.Clear();
    EXPECT_EQ(Table.ColumnNames(1), L"");
    Table.SetCells(0, 0, L"x");
    EXPECT_EQ(Table.Lines(), TLines{L"x"});
}

TEST_F(StringTable, MissingCellsFail) {
    Table.AddRow({L"a", L"b"});
    Table.Add(L"");
    struct Case {
        int Col, Row;
        const wchar_t* Message;
    } Cases[] = {
        {2, 0, L"Table index out of bounds (2, 0)"},   {0, 2, L"Table index out of bounds (0, 2)"},
        {0, 1, L"Table index out of bounds (0, 1)"},   {-1, 0, L"Table index out of bounds (-1, 0)"},
        {0, -1, L"Table index out of bounds (0, -1)"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << C.Col << "," << C.Row);
        EXPECT_EQ(MessageOf<EKoStringTableError>([&] { (void)Table.Cells(C.Col, C.Row); }), C.Message);
    }
    EXPECT_EQ(MessageOf<EKoStringTableError>([&] { Table.SetCells(-1, 0, L"x"); }),
              L"Table index out of bounds (-1, 0)");
    EXPECT_EQ(MessageOf<EKoStringListError>([&] { (void)Table.Rows(-1); }), L"List index out of bounds (-1)");
    // The table's error is a kind of the list's.
    EXPECT_THROW((void)Table.Cells(5, 5), EKoStringListError);
    EXPECT_EQ(Table.Lines(), (TLines{L"a,b", L""}));
}

TEST_F(StringTable, DuplicateRowsFollowTheRule) {
    EXPECT_EQ(Table.AddRow({L"a", L"b,c"}), 0);
    EXPECT_EQ(Table.AddRow({L"A", L"B,C"}), -1); // ignored by default
    EXPECT_EQ(Table.RowCount(), 1);
    EXPECT_EQ(Table.IndexOfRow({L"a", L"B,c"}), 0);
    EXPECT_EQ(Table.IndexOfRow({L"a"}), -1);

    Table.SetDuplicateRule(drError);
    EXPECT_EQ(MessageOf<EKoStringTableError>([&] {
                  Table.AddRow({L"A", L"b,c"});
              }),
              L"Row with ColValues [A,\"b,c\"] already exists.");
    Table.SetDuplicateRule(drAccept);
    EXPECT_EQ(Table.AddRow({L"a", L"b,c"}), 1);
    Table.InsertRow(0, {L"first"});
    EXPECT_EQ(Table.Lines(), (TLines{L"first", L"a,\"b,c\"", L"a,\"b,c\""}));
    EXPECT_THROW(Table.InsertRow(4, {L"x"}), EKoStringListError);
}

TEST_F(StringTable, ColumnValueSearchStopsAtAShortRow) {
    Table.SetText(L"k1,v1\r\nk2,v2\r\nshort\r\nk3,v3");
    EXPECT_EQ(Table.IndexOfColumnValue(1, L"v2"), 1);
    EXPECT_EQ(Table.IndexOfColumnValue(0, L"K2"), -1); // exact comparison
    EXPECT_EQ(MessageOf<EKoStringTableError>([&] { Table.IndexOfColumnValue(1, L"v3"); }),
              L"Table index out of bounds (1, 2)");
}

TEST_F(StringTable, TheRowBufferWritesBack) {
    Table.SetText(L"a,b\r\nc\r\nd");
    TKoStringList& Row = Table.Rows(1);
    EXPECT_EQ(Row.Lines(), TLines{L"c"});
    Row.Add(L"e");
    EXPECT_EQ(Table.Strings(1), L"c,e");

    // Rows inserted before the current row do not redirect the buffer to another row.
    Table.InsertRow(0, {L"new"});
    EXPECT_EQ(Table.RowIndex(), 2);
    Row.SetStrings(0, L"C");
    EXPECT_EQ(Table.Lines(), (TLines{L"new", L"a,b", L"C,e", L"d"}));

    // Deleting the current row leaves none; another index decodes its own row.
    Table.Delete(2);
    EXPECT_EQ(Table.RowIndex(), -1);
    EXPECT_EQ(Table.Rows(1).Lines(), (TLines{L"a", L"b"}));

    // Past the end the buffer starts empty and is appended once, then tracks the new row.
    TKoStringList& Tail = Table.Rows(10);
    EXPECT_EQ(Tail.Count(), 0);
    Tail.Add(L"t1");
    Tail.Add(L"t2");
    EXPECT_EQ(Table.Lines(), (TLines{L"new", L"a,b", L"d", L"t1,t2"}));

    TKoStrings Values{L"x", L"y,z"};
    Table.SetRows(0, Values);
    EXPECT_EQ(Table.Strings(0), L"x,\"y,z\"");
    TKoStrings Copy;
    Table.Row(0, Copy);
    EXPECT_EQ(Copy.Lines(), Values.Lines());

    // A row changed directly is decoded afresh.
    Table.SetStrings(0, L"p,q");
    EXPECT_EQ(Table.Cells(1, 0), L"q");
}

TEST_F(StringTable, ColumnNamesAndComments) {
    EXPECT_EQ(Table.ColumnNames(3), L"");
    Table.SetColumnNames(2, L"c");
    EXPECT_EQ(Table.ColumnRow().Lines(), (TLines{L"", L"", L"c"}));

    Table.SetText(L"#comment\r\na\r\n\r\n#x,y\r\nb");
    EXPECT_TRUE(Table.IsCommentRow(0));
    EXPECT_FALSE(Table.IsCommentRow(1));
    EXPECT_FALSE(Table.IsCommentRow(2));
    Table.RemoveComments();
    EXPECT_EQ(Table.Lines(), (TLines{L"a", L"b"}));
}

TEST_F(StringTable, ReadsAsVariant) {
    EXPECT_EQ(MessageOf<EKoStringTableError>([&] { Table.AsVariant(); }),
              L"Table index out of bounds (0, 0)");

    Table.AddRow({L"only"});
    TKoOleVariant Single = Table.AsVariant();
    ASSERT_EQ(Single.Type(), VT_BSTR);
    EXPECT_STREQ(Single.Get().bstrVal, L"only");

    Table.AddRow({L"two"});
    Table.Add(L"");
    TKoOleVariant Column = Table.AsVariant();
    ASSERT_EQ(Column.Type(), VT_ARRAY | VT_BSTR);
    EXPECT_EQ(SafeArrayGetDim(KoVariantArray(Column)), 1u);
    EXPECT_EQ(VarArrayDimLength(Column, 1), 3);
    EXPECT_EQ(BstrAt(Column, {1}), L"two");
    EXPECT_EQ(BstrAt(Column, {2}), L"");

    Table.Clear();
    Table.AddRow({L"a", L"b"});
    Table.AddRow({L"c"});
    TKoOleVariant Grid = Table.AsVariant();
    ASSERT_EQ(Grid.Type(), VT_ARRAY | VT_BSTR);
    EXPECT_EQ(VarArrayDimLength(Grid, 1), 2); // columns
    EXPECT_EQ(VarArrayDimLength(Grid, 2), 2); // rows
    EXPECT_EQ(BstrAt(Grid, {1, 0}), L"b");
    EXPECT_EQ(BstrAt(Grid, {0, 1}), L"c");
    EXPECT_EQ(BstrAt(Grid, {1, 1}), L"");

    Table.SetMaxColumns(3);
    EXPECT_EQ(VarArrayDimLength(Table.AsVariant(), 1), 3);
}

TEST_F(StringTable, WritesAsVariant) {
    TKoSafeArray Column(VT_BSTR, {{1, 2}}); // bounds from 1: a leading empty row
    for (LONG I = 1; I <= 2; ++I) KoSafeArrayPutVariant(Column.Get(), &I, TKoOleVariant(std::to_wstring(I)));
    Table.SetAsVariant(TKoOleVariant::TakeArray(VT_BSTR, Column.Release()));
    EXPECT_EQ(Table.Lines(), (TLines{L"", L"1", L"2"}));

    TKoSafeArray Grid(VT_I4, {{0, 1}, {0, 1}});
    for (LONG C = 0; C <= 1; ++C)
        for (LONG R = 0; R <= 1; ++R) {
            LONG Indices[2] = {C, R};
            KoSafeArrayPutVariant(Grid.Get(), Indices, TKoOleVariant(int32_t(10 * C + R)));
        }
    Table.SetAsVariant(TKoOleVariant::TakeArray(VT_I4, Grid.Release()));
    EXPECT_EQ(Table.Lines(), (TLines{L"0,10", L"1,11"}));

    Table.SetAsVariant(TKoOleVariant(int32_t(7)));
    EXPECT_EQ(Table.Lines(), TLines{L"7"});

    TKoSafeArray Cube(VT_BSTR, {{0, 0}, {0, 0}, {0, 0}});
    Table.SetAsVariant(TKoOleVariant::TakeArray(VT_BSTR, Cube.Release()));
    EXPECT_EQ(Table.RowCount(), 0);

    TKoSafeArray Negative(VT_BSTR, {{-1, 0}});
    const TKoOleVariant NegativeValue = TKoOleVariant::TakeArray(VT_BSTR, Negative.Release());
    EXPECT_THROW(Table.SetAsVariant(NegativeValue), EKoStringTableError);
}

TEST_F(StringTable, TextFilesRoundTrip) {
    struct Case {
        const char* What;
        TKoTextEncoding Encoding;
        std::string Preamble;
    } Cases[] = {
        {"ANSI", teAnsi, ""},
        {"UTF-8", teUtf8, "\xEF\xBB\xBF"},
        {"UTF-16", teUtf16, "\xFF\xFE"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        TKoStringTable Source;
        Source.SetCSVSeparator(L',');
        Source.SetColumnNames(0, L"name");
        Source.SetColumnNames(1, L"value, unit");
        Source.Add(L"#note \"open");
        Source.AddRow({L"line\r\nbreak", L"q\"uote"});
        Source.AddRow({L"plain", L""});
        const TLines Rows = Source.Lines();

        std::stringstream File;
        Source.SaveToStream(File, C.Encoding);
        EXPECT_EQ(Source.Lines(), Rows); // unchanged by saving
        EXPECT_EQ(File.str().substr(0, C.Preamble.size()), C.Preamble);

        TKoStringTable Loaded;
        Loaded.SetCSVSeparator(L',');
        Loaded.SetCells(0, 0, L"stale");
        Loaded.LoadFromStream(File);
        EXPECT_EQ(Loaded.RowIndex(), -1);
        EXPECT_EQ(Loaded.ColumnRow().Lines(), (TLines{L"name", L"value, unit"}));
        EXPECT_EQ(Loaded.RowCount(), 3);
        EXPECT_EQ(Loaded.Strings(0), L"#note \"open");
        EXPECT_EQ(Loaded.Cells(0, 1), L"line\r\nbreak");
        EXPECT_EQ(Loaded.Cells(1, 1), L"q\"uote");
        EXPECT_EQ(Loaded.Strings(2), L"plain,");
    }

    std::stringstream Ansi("#a,b\r\nx,y\ny\r\n");
    Table.LoadFromStream(Ansi);
    EXPECT_EQ(Table.ColumnRow().Lines(), (TLines{L"a", L"b"}));
    EXPECT_EQ(Table.Lines(), (TLines{L"x,y", L"y"}));
    std::stringstream Saved;
    Table.SetColumnNameChar(L'\0');
    Table.SaveToStream(Saved);
    EXPECT_EQ(Saved.str(), "x,y\r\ny\r\n");
}

TEST_F(StringTable, CopiesFromAndToGrids) {
    TMemoryGrid Grid;
    Grid.SetRowCount(3);
    Grid.SetColCount(2);
    const wchar_t* Cells[3][2] = {{L"a", L"b"}, {L"A", L"B"}, {L"c", L""}};
    for (int R = 0; R < 3; ++R)
        for (int C = 0; C < 2; ++C) Grid.SetCells(C, R, Cells[R][C]);
    Table.Assign(&Grid);
    EXPECT_EQ(Table.Lines(), (TLines{L"a,b", L"c,"})); // the duplicate row is ignored

    Table.AddRow({L"x", L"y", L"z"});
    TMemoryGrid Out;
    Out.SetColCount(1);
    Out.SetCells(2, 1, L"stale");
    Table.AssignTo(&Out);
    EXPECT_EQ(Out.RowCount(), 3);
    EXPECT_EQ(Out.ColCount(), 3);
    EXPECT_EQ(Out.Cells(1, 0), L"b");
    EXPECT_EQ(Out.Cells(2, 1), L"");
    EXPECT_EQ(Out.Cells(2, 2), L"z");

    TKoStrings List;
    EXPECT_EQ(MessageOf<EKoAssignError>([&] { Table.AssignTo(&List); }),
              L"Cannot assign a TKoStringTable to a TKoStrings");
    List.Assign(&Table); // a plain list takes the rows as lines
    EXPECT_EQ(List.Lines(), Table.Lines());
}
