#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "KoLogs.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "KoWindows.h"

using namespace std::chrono_literals;

namespace {

std::vector<std::wstring> LinesOf(const TKoLogBuffer& Buffer) {
    std::vector<std::wstring> Lines;
    for (int I = 0; I < Buffer.Count(); ++I) Lines.push_back(Buffer.Lines(I));
    return Lines;
}

// The whole content of a file as bytes ("" when it cannot be read).
std::string FileBytes(const std::wstring& Name) {
    TKoHandle File(CreateFileW(Name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    if (!File) return {};
    std::string Bytes(GetFileSize(File.Get(), nullptr), '\0');
    DWORD Read = 0;
    ReadFile(File.Get(), Bytes.data(), static_cast<DWORD>(Bytes.size()), &Read, nullptr);
    Bytes.resize(Read);
    return Bytes;
}

std::wstring TempFolder() {
    wchar_t Folder[MAX_PATH];
    GetTempPathW(MAX_PATH, Folder);
    return Folder;
}

// A log that records with a pattern of no tokens, so that every stamp is the known text "@".
struct LogFixture : ::testing::Test {
    TKoLog Log;
    std::vector<std::wstring> Events;

    LogFixture() {
        Log.SetDateTimeFormat(L"@");
        Log.SetActive(true);
    }
    void Listen() {
        Log.Buffer().OnNewLine = [this](TKoPersistentBase* Sender, const std::wstring& Msg) {
            EXPECT_EQ(Sender, &Log.Buffer());
            Events.push_back(L"line " + Msg);
        };
        Log.OnChange = [this](TKoPersistentBase* Sender, const std::wstring& Msg) {
            EXPECT_EQ(Sender, &Log);
            Events.push_back(L"change " + Msg);
        };
    }
    void AddAll(std::initializer_list<const wchar_t*> Lines) {
        for (const wchar_t* Line : Lines) Log.Add(Line);
    }
};

TEST(LogStamps, EntriesBeginWithTheLocalTimeInThePattern) {
    TKoLog Log;
    EXPECT_EQ(Log.DateTimeFormat(), L"yyyy/mm/dd hh:nn:ss.zzz");
    Log.SetActive(true);
    Log.SetDateTimeFormat(L"yyyy/mm/dd hh:nn");
    const double Before = KoNowLocal();
    const std::wstring Entry = Log.Add(L"two\r\nlines");
    const double After = KoNowLocal();
    const std::wstring Expected1 = KoFormatDateTime(L"yyyy/mm/dd hh:nn", Before) + L" two\r\nlines";
    const std::wstring Expected2 = KoFormatDateTime(L"yyyy/mm/dd hh:nn", After) + L" two\r\nlines";
    EXPECT_TRUE(Entry == Expected1 || Entry == Expected2) << KoUtf8(Entry);
    ASSERT_EQ(Log.Buffer().Count(), 1);
    EXPECT_EQ(Log.Buffer().Lines(0), Entry);
}

TEST_F(LogFixture, ANewLogIsInactiveAndRecordsNothing) {
    TKoLog Fresh;
    EXPECT_FALSE(Fresh.Active());
    EXPECT_EQ(Fresh.MaxLines(), 100);
    bool Raised = false;
    Fresh.OnChange = [&](TKoPersistentBase*, const std::wstring&) { Raised = true; };
    Fresh.Buffer().OnNewLine = Fresh.OnChange;
    EXPECT_EQ(Fresh.Add(L"x"), L"");
    EXPECT_EQ(Fresh.Buffer().Count(), 0);
    EXPECT_FALSE(Raised);
}

TEST_F(LogFixture, EventsFollowEachEntryInOrder) {
    Listen();
    EXPECT_EQ(Log.Add(L"a"), L"@ a");
    TKoStrings Lines{L"x", L"y"};
    EXPECT_EQ(Log.AddStrings(Lines), L"@ x\r\ny\r\n");
    EXPECT_EQ(Events, (std::vector<std::wstring>{L"line @ a", L"change @ a", L"line @ x\r\ny\r\n",
                                                 L"change @ x\r\ny\r\n"}));
}

TEST_F(LogFixture, CapacityDropsTheOldestLines) {
    Log.SetMaxLines(3);
    AddAll({L"a", L"b", L"c", L"d"});
    EXPECT_EQ(LinesOf(Log.Buffer()), (std::vector<std::wstring>{L"@ b", L"@ c", L"@ d"}));

    // No limit for 10 entries, then a limit of 4 trims to the newest and holds from then on.
    Log.SetMaxLines(0);
    for (int I = 0; I < 10; ++I) Log.Add(std::to_wstring(I));
    EXPECT_EQ(Log.Buffer().Count(), 13);
    Log.SetMaxLines(4);
    EXPECT_EQ(LinesOf(Log.Buffer()), (std::vector<std::wstring>{L"@ 6", L"@ 7", L"@ 8", L"@ 9"}));
    Log.Add(L"10");
    EXPECT_EQ(LinesOf(Log.Buffer()), (std::vector<std::wstring>{L"@ 7", L"@ 8", L"@ 9", L"@ 10"}));

    Log.SetMaxLines(-1); // no limit either
    for (int I = 0; I < 150; ++I) Log.Add(L"n");
    EXPECT_EQ(Log.Buffer().Count(), 154);
}

TEST_F(LogFixture, TheFileHoldsExactlyTheRetainedLines) {
    const std::wstring Name = TempFolder() + L"ko_log_test.log";
    DeleteFileW(Name.c_str());
    Log.SetMaxLines(3);
    Log.Add(L"before the file");
    Log.SetFileName(Name);
    EXPECT_EQ(FileBytes(Name), ""); // written at the next entry
    // The file is rewritten before listeners hear of the entry.
    std::string SeenByListener;
    Log.OnChange = [&](TKoPersistentBase*, const std::wstring&) { SeenByListener = FileBytes(Name); };
    AddAll({L"a", L"b", L"c \x00E9", L"d"});
    char Accent[8] = {};
    WideCharToMultiByte(CP_ACP, 0, L"\x00E9", 1, Accent, sizeof Accent, nullptr, nullptr);
    const std::string Expected = "@ b\r\n@ c " + std::string(Accent) + "\r\n@ d\r\n"; // ANSI, no mark
    EXPECT_EQ(FileBytes(Name), Expected);
    EXPECT_EQ(SeenByListener, Expected);
    EXPECT_EQ(Log.AbsoluteFileName(), Name);

    // Clearing the buffer leaves the file alone until the next entry.
    Log.Buffer().Clear();
    EXPECT_EQ(FileBytes(Name), Expected);
    Log.Add(L"e");
    EXPECT_EQ(FileBytes(Name), "@ e\r\n");
    DeleteFileW(Name.c_str());
}

TEST_F(LogFixture, ANameWithoutFolderResolvesNextToTheExecutable) {
    wchar_t Exe[MAX_PATH];
    GetModuleFileNameW(nullptr, Exe, MAX_PATH);
    std::wstring Folder(Exe);
    Folder.resize(Folder.find_last_of(L'\\') + 1);

    Log.SetFileName(L"ko_log_beside.log");
    EXPECT_EQ(Log.AbsoluteFileName(), L"");
    Log.Add(L"a");
    EXPECT_EQ(Log.AbsoluteFileName(), Folder + L"ko_log_beside.log");
    EXPECT_EQ(FileBytes(Folder + L"ko_log_beside.log"), "@ a\r\n");

    const std::wstring Other = TempFolder() + L"ko_log_other.log";
    Log.SetFileName(Other);
    Log.Add(L"b");
    EXPECT_EQ(Log.AbsoluteFileName(), Other);
    EXPECT_EQ(FileBytes(Other), "@ a\r\n@ b\r\n");
    DeleteFileW((Folder + L"ko_log_beside.log").c_str());
    DeleteFileW(Other.c_str());
}

TEST_F(LogFixture, AnUnwritableFileLosesNoEntry) {
    Log.SetFileName(TempFolder() + L"ko_no_such_folder\\x.log");
    EXPECT_EQ(Log.Add(L"kept"), L"@ kept");
    EXPECT_EQ(LinesOf(Log.Buffer()), (std::vector<std::wstring>{L"@ kept"}));
}

TEST_F(LogFixture, AListenersErrorReachesTheCallerWithTheLockReleased) {
    const std::wstring Name = TempFolder() + L"ko_log_throw.log";
    DeleteFileW(Name.c_str());
    Log.SetFileName(Name);
    bool Changed = false;
    Log.OnChange = [&](TKoPersistentBase*, const std::wstring&) { Changed = true; };
    Log.Buffer().OnNewLine = [](TKoPersistentBase*, const std::wstring&) {
        throw std::runtime_error("listener");
    };
    EXPECT_THROW(Log.Add(L"x"), std::runtime_error);
    EXPECT_EQ(LinesOf(Log.Buffer()), (std::vector<std::wstring>{L"@ x"})); // recorded
    EXPECT_FALSE(Changed);                                                 // the rest of the entry is skipped
    EXPECT_EQ(FileBytes(Name), "");
    // Another thread can take the lock.
    Log.Buffer().OnNewLine = nullptr;
    auto Other = std::async(std::launch::async, [&] { return Log.Add(L"y"); });
    ASSERT_EQ(Other.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(Other.get(), L"@ y");
    DeleteFileW(Name.c_str());
}

TEST_F(LogFixture, AListenerMayAddAgain) {
    Log.OnChange = [this](TKoPersistentBase*, const std::wstring& Msg) {
        if (Msg == L"@ first") Log.Add(L"echo");
    };
    Log.Add(L"first");
    EXPECT_EQ(LinesOf(Log.Buffer()), (std::vector<std::wstring>{L"@ first", L"@ echo"}));
}

TEST_F(LogFixture, EntriesFromManyThreadsAreRecordedOneAtATime) {
    Log.SetMaxLines(0);
    std::vector<std::wstring> Seen; // in OnChange order, written under the log's lock
    Log.OnChange = [&](TKoPersistentBase*, const std::wstring& Msg) { Seen.push_back(Msg); };
    std::vector<std::thread> Threads;
    for (int T = 0; T < 4; ++T)
        Threads.emplace_back([this, T] {
            for (int I = 0; I < 250; ++I) Log.Add(std::to_wstring(T) + L"." + std::to_wstring(I));
        });
    for (std::thread& Thread : Threads) Thread.join();
    EXPECT_EQ(LinesOf(Log.Buffer()), Seen);
    EXPECT_EQ(Seen.size(), 1000u);
    // Each thread's entries keep their order.
    for (int T = 0; T < 4; ++T) {
        int Next = 0;
        for (const std::wstring& Line : Seen) {
            if (Line.rfind(L"@ " + std::to_wstring(T) + L".", 0) == 0) {
                EXPECT_EQ(Line, L"@ " + std::to_wstring(T) + L"." + std::to_wstring(Next++));
            }
        }
        EXPECT_EQ(Next, 250);
    }
}

TEST_F(LogFixture, AssignCopiesTheSettingsButNotPatternOrLines) {
    TKoLog Source;
    Source.SetFileName(L"other.log");
    Source.SetMaxLines(7);
    Source.SetActive(false);
    Source.SetDateTimeFormat(L"yyyy");
    Log.Add(L"mine");
    Log.Assign(&Source);
    EXPECT_EQ(Log.FileName(), L"other.log");
    EXPECT_EQ(Log.MaxLines(), 7);
    EXPECT_FALSE(Log.Active());
    EXPECT_EQ(Log.DateTimeFormat(), L"@");
    EXPECT_EQ(LinesOf(Log.Buffer()), (std::vector<std::wstring>{L"@ mine"}));
}

TEST_F(LogFixture, LinesCopyOnlyIntoStringLists) {
    AddAll({L"a", L"b"});
    TKoStrings List{L"old"};
    Log.AssignTo(&List);
    EXPECT_EQ(List.Lines(), (std::vector<std::wstring>{L"@ a", L"@ b"}));
    TKoStrings FromBuffer{L"old", L"older", L"oldest"};
    Log.Buffer().AssignTo(&FromBuffer);
    EXPECT_EQ(FromBuffer.Lines(), List.Lines());

    struct Case {
        std::function<void()> Call;
        const char* Message;
    } Cases[] = {
        {[&] { Log.Assign(&List); }, "Cannot assign a TKoStrings to a TKoLog"},
        {[&] { Log.Assign(nullptr); }, "Cannot assign a nil to a TKoLog"},
        {[&] { Log.Buffer().AssignTo(&Log); }, "Cannot assign a TKoLogBuffer to a TKoLog"},
        {[&] {
             TKoLog Other;
             Log.AssignTo(&Other.Buffer());
         },
         "Cannot assign a TKoLog to a TKoLogBuffer"},
    };
    for (const Case& C : Cases) {
        try {
            C.Call();
            ADD_FAILURE() << "no error for " << C.Message;
        } catch (const EKoAssignError& Error) {
            EXPECT_STREQ(Error.what(), C.Message);
        }
    }
}

TEST_F(LogFixture, LineIndexesOutsideTheBufferFail) {
    AddAll({L"a", L"b"});
    Log.Buffer().SetLines(1, L"changed");
    EXPECT_EQ(Log.Buffer().Lines(1), L"changed");
    for (int Index : {-1, 2}) {
        try {
            (void)Log.Buffer().Lines(Index);
            ADD_FAILURE() << Index;
        } catch (const EKoStringListError& Error) {
            EXPECT_EQ(std::string(Error.what()), "List index out of bounds (" + std::to_string(Index) + ")");
        }
        EXPECT_THROW(Log.Buffer().SetLines(Index, L"x"), EKoStringListError);
    }
}

} // namespace
