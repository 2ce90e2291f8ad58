// koopc, the command-line client, run as a child process against KoOPCServer: what it prints
// on standard output and error, and its exit codes, for each verb and format, standard input,
// bad arguments and failing items.
//
// The test holds a connection to the server for the whole suite, so that every koopc run of
// it talks to the same server process and sees the writes of the runs before it.

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "KoOpcClientTesting.h"
#include "KoProcessTesting.h"

namespace kotest {
namespace {

constexpr DWORD kRunBoundMs = 60000;

std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> Result;
    std::istringstream Stream(Text);
    for (std::string Line; std::getline(Stream, Line);) Result.push_back(Line);
    return Result;
}

class Koopc : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(ProcessesOf(kServerExe).empty()) << "a server process is running already";
        CLSID ClassID{};
        ASSERT_EQ(CLSIDFromProgID(kProgID, &ClassID), S_OK);
        ASSERT_EQ(CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&Held)), S_OK);
    }
    static void TearDownTestSuite() {
        Held.Reset();
        // The server COM started ends by itself once its last client (koopc's included) went.
        const ULONGLONG Bound = GetTickCount64() + kServerEndBoundMs + 5000;
        while (!ProcessesOf(kServerExe).empty() && GetTickCount64() < Bound) Sleep(100);
        EXPECT_TRUE(ProcessesOf(kServerExe).empty()) << "the server did not end after its last client";
    }

    static TProgramRun Run(const std::wstring& Args, const std::string& Input = {}) {
        return RunCaptured(ExecutableDirectory() + L"koopc.exe", Args, Input, kRunBoundMs);
    }

    static inline ComPtr<IOPCServer> Held;
};

struct TCase {
    const wchar_t* Args;
    const char* Input;                 // standard input
    DWORD Exit;                        // expected exit code
    std::vector<const char*> Out;      // each must appear on standard output
    std::vector<const char*> Err;      // each must appear on standard error
    std::vector<const char*> NotOut{}; // none may appear on standard output
};

void Check(const TCase& Case, const TProgramRun& Run) {
    SCOPED_TRACE("koopc " + Utf8(Case.Args) + "\n--- stdout:\n" + Run.Out + "--- stderr:\n" + Run.Err);
    EXPECT_EQ(Run.ExitCode, Case.Exit);
    for (const char* Text : Case.Out) EXPECT_NE(Run.Out.find(Text), std::string::npos) << "missing: " << Text;
    for (const char* Text : Case.Err) EXPECT_NE(Run.Err.find(Text), std::string::npos) << "missing: " << Text;
    for (const char* Text : Case.NotOut)
        EXPECT_EQ(Run.Out.find(Text), std::string::npos) << "unexpected: " << Text;
}

// Each verb in each format on items whose values are known: the Static module's initial values.
TEST_F(Koopc, VerbsAndFormats) {
    const TCase Cases[] = {
        {L"info",
         "",
         0,
         {"state ", "Running", "vendor ", "Simulation OPC Server by Korvel OPC Ltd", "groups "},
         {}},
        {L"info --format csv",
         "",
         0,
         {"field,value\n", "state,Running\n", "vendor,Simulation OPC Server by Korvel OPC Ltd\n"},
         {}},
        {L"--format json info",
         "",
         0,
         {"\"state\": \"Running\"", "\"vendor\": \"Simulation OPC Server by Korvel OPC Ltd\""},
         {}},
        {L"list", "", 0, {"Korvel.OPC.Simulation", "DA2.0"}, {}},
        {L"list --format csv", "", 0, {"clsid,progid,name,versions\n", ",Korvel.OPC.Simulation,"}, {}},
        {L"list --format json",
         "",
         0,
         {"\"progid\": \"Korvel.OPC.Simulation\"", "\"versions\": \"DA1.0 DA2.0\""},
         {}},
        {L"browse", "", 0, {"branch", "SawTooth", "ReadOnly"}, {}, {"leaf"}},
        {L"browse Static", "", 0, {"leaf", "KoFloat1", "Static.KoFloat1"}, {}, {"branch"}},
        {L"browse --format csv", "", 0, {"kind,name,item_id\n", "branch,Static,Static\n"}, {}},
        {L"browse Static --format csv",
         "",
         0,
         {"leaf,KoFloat1,Static.KoFloat1\n", "leaf,KoDateTime1,Static.KoDateTime1\n"},
         {},
         {"Random."}},
        {L"browse Static --format json",
         "",
         0,
         {"{\"kind\": \"leaf\", \"name\": \"KoString1\", \"item_id\": \"Static.KoString1\"}"},
         {}},
        {L"browse --flat --filter *KoFloat1 --format csv",
         "",
         0,
         {"item,Static.KoFloat1,Static.KoFloat1\n", "item,ReadOnly.KoFloat1,"},
         {},
         {"KoInteger1"}},
        {L"props Static.KoFloat1", "", 0, {"Engineering Unit", "°C", "High Alarm Limit"}, {}},
        {L"props Static.KoFloat1 --format csv",
         "",
         0,
         {"id,description,type,value,error\n", "100,Engineering Unit,OleStr,°C,\n",
          "307,High Alarm Limit,Double,80,\n"},
         {}},
        {L"props Static.KoFloat1 --format json",
         "",
         0,
         {"\"id\": \"309\", \"description\": \"Low Warning Limit\", \"type\": \"Double\", \"value\": \"30\""},
         {}},
        {L"read Static.KoString1 Static.KoDateTime1",
         "",
         0,
         {"Static.KoString1", "test", "1970-01-01T12:00:00.000", "Good;Non-specific;Not limited"},
         {}},
        {L"read Static.KoString1 Static.KoDateTime1 --format csv",
         "",
         0,
         {"item,value,type,quality,timestamp,error\n",
          "Static.KoString1,test,OleStr,Good;Non-specific;Not limited,",
          "Static.KoDateTime1,1970-01-01T12:00:00.000,Date,Good;"},
         {}},
        {L"read Static.KoString1 --device --format json",
         "",
         0,
         {"{\"item\": \"Static.KoString1\", \"value\": \"test\", \"type\": \"OleStr\", \"quality\": "
          "\"Good;Non-specific;Not limited\""},
         {}},
        {L"watch Static.KoString1 --count 1",
         "",
         0,
         {"time ", "Static.KoString1  test  Good;Non-specific;Not limited\n"},
         {}},
    };
    for (const TCase& Case : Cases) Check(Case, Run(Case.Args, Case.Input));
}

// A write is seen by the next read; values outside the item's rights, type or address space
// fail with their codes and the server's texts, and make the exit code 1.
TEST_F(Koopc, WritesAndItemErrors) {
    const TCase Cases[] = {
        {L"write Static.KoFloat1=12.5 Static.KoInteger1=-7 --format csv",
         "",
         0,
         {"item,value,result\n", "Static.KoFloat1,12.5,OK\n", "Static.KoInteger1,-7,OK\n"},
         {}},
        // KoBool1's change handler sets KoString1 to "True" as well.
        {L"write Static.KoBool1=true --format json",
         "",
         0,
         {"{\"item\": \"Static.KoBool1\", \"value\": \"true\", \"result\": \"OK\"}"},
         {}},
        {L"read Static.KoFloat1 Static.KoInteger1 --format csv",
         "",
         0,
         {"Static.KoFloat1,12.5,Double,Good;", "Static.KoInteger1,-7,Integer,Good;"},
         {}},
        {L"write ReadOnly.KoFloat1=3", "", 1, {"ReadOnly.KoFloat1", "0xC0040006 No Access Rights"}, {}},
        {L"write Static.KoInteger1=abc Static.KoFloat1=1.5 --format csv",
         "",
         1,
         {"Static.KoInteger1,abc,'abc' is no Integer\n", "Static.KoFloat1,1.5,OK\n"},
         {}},
        {L"read Static.KoFloat1 Static.NoSuchItem --format csv",
         "",
         1,
         {"Static.KoFloat1,1.5,", "Static.NoSuchItem,,,,,0xC0040008 Invalid ItemID\n"},
         {}},
        {L"props Static.NoSuchItem", "", 1, {}, {"Static.NoSuchItem", "0xC0040007 Unknown ItemID"}},
        {L"browse NoSuchBranch", "", 3, {}, {"cannot browse to 'NoSuchBranch'", "0x"}},
        {L"--progid No.Such.Server info",
         "",
         3,
         {},
         {"no server registered as No.Such.Server", "0x800401F3"}},
        {L"--clsid {00000000-0000-0000-0000-0000000000AB} info",
         "",
         3,
         {},
         {"cannot connect to {00000000-0000-0000-0000-0000000000AB}", "0x80040154"}},
    };
    for (const TCase& Case : Cases) Check(Case, Run(Case.Args, Case.Input));
}

// Item lists and ITEM=VALUE lines from standard input; blank lines, comments and CRLF endings
// are skipped.
TEST_F(Koopc, StandardInput) {
    const TCase Cases[] = {
        {L"write - --format csv",
         "Static.KoString1=from stdin\r\n\n# comment\nStatic.KoFloat1=2.25\n",
         0,
         {"Static.KoString1,from stdin,OK\n", "Static.KoFloat1,2.25,OK\n"},
         {}},
        {L"read - Static.KoDateTime1 --format csv",
         "Static.KoString1\r\n  Static.KoFloat1  \n",
         0,
         {"Static.KoString1,from stdin,OleStr,", "Static.KoFloat1,2.25,Double,",
          "Static.KoDateTime1,1970-01-01T12:00:00.000,"},
         {}},
        {L"read -", "\n\n", 2, {}, {"read needs at least one ITEM"}},
    };
    for (const TCase& Case : Cases) Check(Case, Run(Case.Args, Case.Input));
}

// Bad arguments end with exit code 2 and say what was wrong, before any server is reached;
// help goes to standard output with exit code 0.
TEST_F(Koopc, ArgumentsAndHelp) {
    const TCase Cases[] = {
        {L"", "", 2, {"Usage: koopc"}, {"no verb given"}},
        {L"--help", "", 0, {"Usage: koopc", "--format FORMAT", "Exit codes:"}, {}},
        {L"help watch", "", 0, {"koopc watch ITEM... [--rate MS] [--count N] [--for SECONDS]"}, {}},
        {L"read --help", "", 0, {"koopc read ITEM... [--device]"}, {}},
        {L"frobnicate", "", 2, {}, {"no verb 'frobnicate'", "koopc --help"}},
        {L"read", "", 2, {}, {"read needs at least one ITEM"}},
        {L"props A B", "", 2, {}, {"props takes exactly one ITEM"}},
        {L"write Static.KoFloat1", "", 2, {}, {"'Static.KoFloat1' is no ITEM=VALUE"}},
        {L"--format xml info", "", 2, {}, {"--format is table, csv or json, not 'xml'"}},
        {L"info --progid", "", 2, {}, {"--progid needs a value"}},
        {L"watch SawTooth.KoFloat1 --count 0", "", 2, {}, {"--count needs a whole number from 1"}},
        {L"watch SawTooth.KoFloat1 --for -1", "", 2, {}, {"--for needs a number of seconds"}},
        {L"read X --bogus", "", 2, {}, {"unknown option --bogus"}},
        {L"--clsid not-a-guid info", "", 2, {}, {"malformed class ID 'not-a-guid'"}},
    };
    for (const TCase& Case : Cases) Check(Case, Run(Case.Args, Case.Input));
}

// watch prints one line per change of a SawTooth item (its timer moves it every second), in
// order, and ends after the count asked for.
TEST_F(Koopc, WatchCountsChanges) {
    const TProgramRun Result = Run(L"watch SawTooth.KoFloat1 --rate 100 --count 3 --format csv");
    SCOPED_TRACE("stdout:\n" + Result.Out + "stderr:\n" + Result.Err);
    ASSERT_EQ(Result.ExitCode, 0u);
    const std::vector<std::string> Got = Lines(Result.Out);
    ASSERT_EQ(Got.size(), 4u);
    EXPECT_EQ(Got[0], "time,item,value,quality");
    std::vector<std::string> Times, Values;
    for (size_t I = 1; I < Got.size(); ++I) {
        std::vector<std::string> Cells;
        std::istringstream Stream(Got[I]);
        for (std::string Cell; std::getline(Stream, Cell, ',');) Cells.push_back(Cell);
        ASSERT_EQ(Cells.size(), 4u) << Got[I];
        EXPECT_EQ(Cells[1], "SawTooth.KoFloat1");
        EXPECT_EQ(Cells[3], "Good;Non-specific;Not limited");
        Times.push_back(Cells[0]);
        Values.push_back(Cells[2]);
    }
    // One line per change: no value and no timestamp repeats.
    for (size_t I = 1; I < Values.size(); ++I) {
        EXPECT_NE(Values[I], Values[I - 1]);
        EXPECT_LT(Times[I - 1], Times[I]);
    }
}

// --for ends a watch by time; json gives one record per line.
TEST_F(Koopc, WatchEndsAfterItsTime) {
    const ULONGLONG Start = GetTickCount64();
    const TProgramRun Result = Run(L"watch SawTooth.KoFloat1 Static.KoString1 --for 2.5 --format json");
    const ULONGLONG Took = GetTickCount64() - Start;
    SCOPED_TRACE("stdout:\n" + Result.Out + "stderr:\n" + Result.Err);
    EXPECT_EQ(Result.ExitCode, 0u);
    EXPECT_GE(Took, 2500u);
    const std::vector<std::string> Got = Lines(Result.Out);
    // The first update holds both items; SawTooth moves at least once more within 2.5 s.
    ASSERT_GE(Got.size(), 3u);
    const auto Has = [&](const char* Text) {
        return std::any_of(Got.begin(), Got.end(),
                           [&](const std::string& L) { return L.find(Text) != std::string::npos; });
    };
    EXPECT_TRUE(Has("\"item\": \"Static.KoString1\""));
    EXPECT_TRUE(Has("\"item\": \"SawTooth.KoFloat1\""));
    for (const std::string& Line : Got) EXPECT_TRUE(Line.front() == '{' && Line.back() == '}') << Line;
}

// An unknown item among watched ones is reported and makes the exit code 1; the others are
// still watched.
TEST_F(Koopc, WatchReportsUnknownItems) {
    const TCase Case{L"watch Static.NoSuchItem Static.KoString1 --count 1 --format csv",
                     "",
                     1,
                     {"Static.KoString1,"},
                     {"Static.NoSuchItem: 0xC0040008 Invalid ItemID"}};
    Check(Case, Run(Case.Args));
}

// Servers started by COM with a fixed seed in the registry: info names the seed, and two servers
// with the same seed move the Random module through the same values, one with another seed not.
class KoopcSeed : public testing::Test {
protected:
    static constexpr wchar_t kSeedKey[] = L"Software\\Korvel OPC\\Korvel.OPC.Simulation";

    void TearDown() override { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSeedKey); }

    // The values of Random.KoFloat1 in six successive changes, from a server started with Seed.
    static std::vector<std::string> RandomValues(DWORD Seed) {
        EXPECT_TRUE(ProcessesOf(kServerExe).empty()) << "a server process is running already";
        EXPECT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSeedKey, L"Seed", REG_DWORD, &Seed, sizeof Seed),
                  ERROR_SUCCESS);
        std::vector<std::string> Values;
        {
            // Held for the two runs, so that both talk to this one server.
            CLSID ClassID{};
            EXPECT_EQ(CLSIDFromProgID(kProgID, &ClassID), S_OK);
            ComPtr<IOPCServer> Held;
            EXPECT_EQ(CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&Held)), S_OK);
            const std::string SeedText = std::to_string(Seed);
            Check({L"info --format csv",
                   "",
                   0,
                   {("seed," + SeedText + "\n").c_str(), ("(seed " + SeedText + ")").c_str()},
                   {}},
                  RunCaptured(ExecutableDirectory() + L"koopc.exe", L"info --format csv", "", kRunBoundMs));
            const TProgramRun Watch =
                RunCaptured(ExecutableDirectory() + L"koopc.exe",
                            L"watch Random.KoFloat1 --count 6 --format csv", "", kRunBoundMs);
            EXPECT_EQ(Watch.ExitCode, 0u) << Watch.Err;
            for (const std::string& Line : Lines(Watch.Out)) {
                const size_t Value = Line.find("Random.KoFloat1,");
                if (Value != std::string::npos)
                    Values.push_back(Line.substr(Value + 16, Line.find(',', Value + 16) - Value - 16));
            }
        }
        const ULONGLONG Bound = GetTickCount64() + kServerEndBoundMs + 5000;
        while (!ProcessesOf(kServerExe).empty() && GetTickCount64() < Bound) Sleep(100);
        EXPECT_TRUE(ProcessesOf(kServerExe).empty()) << "the server did not end after its last client";
        return Values;
    }

    // Whether the two sequences agree on at least three successive values, at some offset of a
    // few changes (the watches start at different ticks of their servers).
    static bool Overlap(const std::vector<std::string>& A, const std::vector<std::string>& B) {
        for (int Offset = -3; Offset <= 3; ++Offset) {
            int Common = 0;
            bool Same = true;
            for (int I = 0; I < static_cast<int>(A.size()); ++I) {
                const int J = I + Offset;
                if (J < 0 || J >= static_cast<int>(B.size())) continue;
                ++Common;
                Same = Same && A[I] == B[J];
            }
            if (Same && Common >= 3) return true;
        }
        return false;
    }
};

TEST_F(KoopcSeed, SameSeedSameRandomValues) {
    const std::vector<std::string> First = RandomValues(42);
    const std::vector<std::string> Second = RandomValues(42);
    const std::vector<std::string> Other = RandomValues(43);
    ASSERT_EQ(First.size(), 6u);
    ASSERT_EQ(Second.size(), 6u);
    ASSERT_EQ(Other.size(), 6u);
    auto Joined = [](const std::vector<std::string>& V) {
        std::string Out;
        for (const std::string& S : V) Out += S + " ";
        return Out;
    };
    EXPECT_TRUE(Overlap(First, Second)) << Joined(First) << "\n" << Joined(Second);
    EXPECT_FALSE(Overlap(First, Other)) << Joined(First) << "\n" << Joined(Other);
}

} // namespace
} // namespace kotest

int main(int argc, char** argv) {
    return kotest::RunClientTests(argc, argv);
}
