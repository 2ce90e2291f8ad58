#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "KoExceptions.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "KoWindows.h"

namespace {

constexpr double MsPerDay = 86400000.0;

// A date-time built by the platform (whole seconds) plus milliseconds.
double Dt(int Year, int Month, int Day, int Hour = 0, int Minute = 0, int Second = 0, int Ms = 0) {
    SYSTEMTIME Time{static_cast<WORD>(Year),
                    static_cast<WORD>(Month),
                    0,
                    static_cast<WORD>(Day),
                    static_cast<WORD>(Hour),
                    static_cast<WORD>(Minute),
                    static_cast<WORD>(Second),
                    0};
    double Result = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(&Time, &Result));
    return Result + Ms / MsPerDay;
}

// Date-times compared to the millisecond.
long long Ms(double DateTime) {
    return std::llround(DateTime * MsPerDay);
}

std::wstring Locale(LCTYPE Type) {
    wchar_t Buffer[100];
    return GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, Type, Buffer, 100) > 0 ? Buffer : L"";
}

uint64_t Ticks(const FILETIME& Time) {
    return (static_cast<uint64_t>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime;
}

FILETIME FileTimeOf(uint64_t Ticks) {
    return FILETIME{static_cast<DWORD>(Ticks), static_cast<DWORD>(Ticks >> 32)};
}

// ---- file times ----

TEST(FileTimes, MatchThePlatformsCalendarToTheMillisecondAndRoundTrip) {
    struct Case {
        SYSTEMTIME Time;
    } Cases[] = {
        {{2024, 3, 0, 7, 14, 5, 9, 42}},      {{1899, 12, 0, 30, 0, 0, 0, 1}},
        {{1899, 12, 0, 29, 6, 0, 0, 0}},      {{1899, 12, 0, 29, 23, 59, 59, 999}},
        {{1601, 1, 0, 1, 0, 0, 0, 1}},        {{1601, 1, 0, 1, 12, 0, 0, 0}},
        {{9999, 12, 0, 31, 23, 59, 59, 999}}, {{2000, 2, 0, 29, 0, 0, 0, 500}},
        {{1970, 1, 0, 1, 0, 0, 0, 0}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message()
                     << C.Time.wYear << "-" << C.Time.wMonth << "-" << C.Time.wDay << " " << C.Time.wHour
                     << ":" << C.Time.wMinute << ":" << C.Time.wSecond << "." << C.Time.wMilliseconds);
        FILETIME Expected{};
        ASSERT_TRUE(SystemTimeToFileTime(&C.Time, &Expected));
        const double DateTime = KoSystemTimeToDateTime(C.Time);
        if (C.Time.wMilliseconds == 0) { // the platform's own date-time has whole seconds only
            double Platform = 0;
            ASSERT_TRUE(SystemTimeToVariantTime(const_cast<SYSTEMTIME*>(&C.Time), &Platform));
            EXPECT_EQ(Ms(DateTime), Ms(Platform));
        }
        EXPECT_EQ(Ticks(DateTimeToFileTime(DateTime)), Ticks(Expected));
        EXPECT_EQ(Ms(FileTimeToDateTime(Expected)), Ms(DateTime));
        // Sub-millisecond parts of a file time are dropped, not rounded into the next millisecond.
        EXPECT_EQ(Ms(FileTimeToDateTime(FileTimeOf(Ticks(Expected) + 9999))), Ms(DateTime));
        SYSTEMTIME Back{};
        ASSERT_TRUE(KoDateTimeToSystemTime(DateTime, Back));
        EXPECT_EQ(Back.wYear, C.Time.wYear);
        EXPECT_EQ(Back.wDay, C.Time.wDay);
        EXPECT_EQ(Back.wHour, C.Time.wHour);
        EXPECT_EQ(Back.wMilliseconds, C.Time.wMilliseconds);
    }
}

TEST(FileTimes, DateTimesBeforeDayZeroCountTheirTimeForwardFromMidnight) {
    // -1.25 is 1899-12-29 06:00 and -0.5 is 1899-12-30 12:00.
    SYSTEMTIME Time{};
    ASSERT_TRUE(KoDateTimeToSystemTime(-1.25, Time));
    EXPECT_EQ(Time.wDay, 29);
    EXPECT_EQ(Time.wHour, 6);
    ASSERT_TRUE(KoDateTimeToSystemTime(-0.5, Time));
    EXPECT_EQ(Time.wDay, 30);
    EXPECT_EQ(Time.wHour, 12);
    EXPECT_DOUBLE_EQ(FileTimeToDateTime(DateTimeToFileTime(-1.25)), -1.25);
}

TEST(FileTimes, ValuesWithoutACounterpartGiveZero) {
    const double NaN = std::numeric_limits<double>::quiet_NaN();
    for (double DateTime : {0.0, NaN, std::numeric_limits<double>::infinity(), Dt(1601, 1, 1) - 1.0, 3e6}) {
        SCOPED_TRACE(DateTime);
        EXPECT_EQ(Ticks(DateTimeToFileTime(DateTime)), 0u);
    }
    // The zero file time means "no time": it comes back as the zero date-time, so that a missing
    // time stamp survives the round trip instead of becoming 1601-01-01.
    EXPECT_EQ(FileTimeToDateTime(FileTimeOf(0)), 0.0);
    SYSTEMTIME Beyond{10000, 1, 0, 1, 0, 0, 0, 0};
    FILETIME BeyondTime{};
    ASSERT_TRUE(SystemTimeToFileTime(&Beyond, &BeyondTime));
    EXPECT_EQ(FileTimeToDateTime(BeyondTime), 0.0);
    EXPECT_EQ(FileTimeToDateTime(FileTimeOf(0x8000000000000000ull)), 0.0);
    EXPECT_EQ(FileTimeToDateTime(FileTimeOf(~0ull)), 0.0);
}

TEST(Clock, NowUTCIsTheSystemsUtcTime) {
    SYSTEMTIME Before{}, After{};
    GetSystemTime(&Before);
    const double Now = NowUTC();
    GetSystemTime(&After);
    EXPECT_GE(Ms(Now), Ms(KoSystemTimeToDateTime(Before)));
    EXPECT_LE(Ms(Now), Ms(KoSystemTimeToDateTime(After)));
}

// ---- tick counter ----

TEST(TickCounter, KeepsCountingAcrossWrapsOfThe32BitSource) {
    const DWORD Source[] = {0xFFFFFF00u, 0xFFFFFFFFu, 0x10u, 0x10u, 0x20u, 0xFFFFFFF0u, 0x5u};
    const uint64_t Expected[] = {0xFFFFFF00ull,  0xFFFFFFFFull,  0x100000010ull, 0x100000010ull,
                                 0x100000020ull, 0x1FFFFFFF0ull, 0x200000005ull};
    size_t Next = 0;
    TKoTickCounter Counter([&] { return Source[Next++]; });
    for (uint64_t Reading : Expected) EXPECT_EQ(Counter.Read(), Reading);
}

TEST(TickCounter, ConcurrentReadersStoreAConsistentReading) {
    // Every call of the source advances it; it wraps while the threads run.
    std::atomic<DWORD> Source{0xFFFF0000u};
    TKoTickCounter Counter([&] { return Source.fetch_add(1); });
    std::atomic<bool> Monotonic{true};
    std::vector<std::thread> Threads;
    for (int T = 0; T < 4; ++T)
        Threads.emplace_back([&] {
            uint64_t Last = 0;
            for (int I = 0; I < 40000; ++I) {
                const uint64_t Reading = Counter.Read();
                if (Reading <= Last) Monotonic = false;
                Last = Reading;
            }
        });
    for (std::thread& Thread : Threads) Thread.join();
    EXPECT_TRUE(Monotonic);
    const DWORD NextTick = Source.load();
    EXPECT_EQ(Counter.Read(), (1ull << 32) | NextTick); // exactly one wrap counted
}

TEST(TickCounter, SystemCounterFollowsTheSystemTicks) {
    // The system's counter has not wrapped in this process's life on the test machines, so the
    // reading lies between two readings of the system's own 64-bit counter.
    for (int I = 0; I < 3; ++I) {
        const ULONGLONG Before = GetTickCount64();
        const uint64_t Reading = TickCount64();
        const ULONGLONG After = GetTickCount64();
        EXPECT_GE(Reading, Before);
        EXPECT_LE(Reading, After);
    }
}

// ---- time zones ----

TIME_ZONE_INFORMATION Zone(LONG Bias, SYSTEMTIME StandardDate, SYSTEMTIME DaylightDate, LONG StandardBias = 0,
                           LONG DaylightBias = -60, const wchar_t* StandardName = L"Std",
                           const wchar_t* DaylightName = L"Dst") {
    TIME_ZONE_INFORMATION Result{};
    Result.Bias = Bias;
    Result.StandardDate = StandardDate;
    Result.DaylightDate = DaylightDate;
    Result.StandardBias = StandardBias;
    Result.DaylightBias = DaylightBias;
    wcsncpy(Result.StandardName, StandardName, 31);
    wcsncpy(Result.DaylightName, DaylightName, 31);
    return Result;
}

// Daylight time from the last Sunday of March 02:00 to the last Sunday of October 03:00.
const TIME_ZONE_INFORMATION Berlin = Zone(-60, {0, 10, 0, 5, 3, 0, 0, 0}, {0, 3, 0, 5, 2, 0, 0, 0}, 0, -60,
                                          L"Central Europe Standard Time", L"Central Europe Daylight Time");
// Southern hemisphere: daylight time from the first Sunday of October to the first of April.
const TIME_ZONE_INFORMATION Sydney = Zone(-600, {0, 4, 0, 1, 3, 0, 0, 0}, {0, 10, 0, 1, 2, 0, 0, 0});
// West of Greenwich: from the second Sunday of March to the first Sunday of November.
const TIME_ZONE_INFORMATION NewYork = Zone(300, {0, 11, 0, 1, 2, 0, 0, 0}, {0, 3, 0, 2, 2, 0, 0, 0});
const TIME_ZONE_INFORMATION Tokyo = Zone(-540, {}, {});

struct ZoneCase {
    const char* What;
    const TIME_ZONE_INFORMATION* Zone;
    double From;
    double To;
};

TEST(TimeZones, UTCToLocalOnBothSidesOfBothTransitionsInBothHemispheres) {
    const ZoneCase Cases[] = {
        {"Berlin winter", &Berlin, Dt(2024, 1, 15, 12), Dt(2024, 1, 15, 13)},
        {"Berlin summer", &Berlin, Dt(2024, 7, 15, 12), Dt(2024, 7, 15, 14)},
        {"Berlin before spring", &Berlin, Dt(2024, 3, 31, 0, 59, 59), Dt(2024, 3, 31, 1, 59, 59)},
        {"Berlin after spring", &Berlin, Dt(2024, 3, 31, 1, 0, 1), Dt(2024, 3, 31, 3, 0, 1)},
        {"Berlin before autumn", &Berlin, Dt(2024, 10, 27, 0, 59, 59), Dt(2024, 10, 27, 2, 59, 59)},
        {"Berlin after autumn", &Berlin, Dt(2024, 10, 27, 1, 0, 1), Dt(2024, 10, 27, 2, 0, 1)},
        {"Sydney summer", &Sydney, Dt(2024, 1, 15, 0), Dt(2024, 1, 15, 11)},
        {"Sydney winter", &Sydney, Dt(2024, 7, 15, 0), Dt(2024, 7, 15, 10)},
        {"Sydney before autumn", &Sydney, Dt(2024, 4, 6, 15, 59, 59), Dt(2024, 4, 7, 2, 59, 59)},
        {"Sydney after autumn", &Sydney, Dt(2024, 4, 6, 16, 0, 1), Dt(2024, 4, 7, 2, 0, 1)},
        {"Sydney before spring", &Sydney, Dt(2024, 10, 5, 15, 59, 59), Dt(2024, 10, 6, 1, 59, 59)},
        {"Sydney after spring", &Sydney, Dt(2024, 10, 5, 16, 0, 1), Dt(2024, 10, 6, 3, 0, 1)},
        {"Sydney new year", &Sydney, Dt(2024, 12, 31, 13, 30), Dt(2025, 1, 1, 0, 30)},
        {"New York before spring", &NewYork, Dt(2024, 3, 10, 6, 59, 59), Dt(2024, 3, 10, 1, 59, 59)},
        {"New York after spring", &NewYork, Dt(2024, 3, 10, 7, 0, 1), Dt(2024, 3, 10, 3, 0, 1)},
        {"New York before autumn", &NewYork, Dt(2024, 11, 3, 5, 59, 59), Dt(2024, 11, 3, 1, 59, 59)},
        {"New York after autumn", &NewYork, Dt(2024, 11, 3, 6, 0, 1), Dt(2024, 11, 3, 1, 0, 1)},
        {"no daylight time", &Tokyo, Dt(2024, 7, 1, 0), Dt(2024, 7, 1, 9)},
        {"milliseconds kept", &Berlin, Dt(2024, 7, 15, 12, 0, 0, 42), Dt(2024, 7, 15, 14, 0, 0, 42)},
    };
    for (const ZoneCase& C : Cases) {
        SCOPED_TRACE(C.What);
        EXPECT_EQ(Ms(UTCToLocal(C.From, *C.Zone)), Ms(C.To));
    }
}

TEST(TimeZones, LocalToUTCOnBothSidesOfBothTransitionsInBothHemispheres) {
    const ZoneCase Cases[] = {
        {"Berlin before spring", &Berlin, Dt(2024, 3, 31, 1, 59, 59), Dt(2024, 3, 31, 0, 59, 59)},
        {"Berlin after spring", &Berlin, Dt(2024, 3, 31, 3, 0, 1), Dt(2024, 3, 31, 1, 0, 1)},
        {"Berlin before autumn", &Berlin, Dt(2024, 10, 27, 1, 59, 59), Dt(2024, 10, 26, 23, 59, 59)},
        {"Berlin after autumn", &Berlin, Dt(2024, 10, 27, 3, 0, 1), Dt(2024, 10, 27, 2, 0, 1)},
        {"Sydney before autumn", &Sydney, Dt(2024, 4, 7, 1, 59, 59), Dt(2024, 4, 6, 14, 59, 59)},
        {"Sydney after autumn", &Sydney, Dt(2024, 4, 7, 3, 0, 1), Dt(2024, 4, 6, 17, 0, 1)},
        {"Sydney before spring", &Sydney, Dt(2024, 10, 6, 1, 59, 59), Dt(2024, 10, 5, 15, 59, 59)},
        {"Sydney after spring", &Sydney, Dt(2024, 10, 6, 3, 0, 1), Dt(2024, 10, 5, 16, 0, 1)},
        {"no daylight time", &Tokyo, Dt(2024, 7, 1, 9), Dt(2024, 7, 1, 0)},
    };
    for (const ZoneCase& C : Cases) {
        SCOPED_TRACE(C.What);
        EXPECT_EQ(Ms(LocalToUTC(C.From, *C.Zone)), Ms(C.To));
    }
}

// Hour by hour through two years, the rule evaluation agrees with the platform's conversion in
// the same zone, and local times away from a transition convert back to themselves.
TEST(TimeZones, AgreeWithThePlatformHourByHour) {
    for (const TIME_ZONE_INFORMATION* Z : {&Berlin, &Sydney, &NewYork, &Tokyo}) {
        SCOPED_TRACE(Z->Bias);
        int Mismatches = 0;
        for (int Hour = 0; Hour < 2 * 365 * 24 && Mismatches < 5; ++Hour) {
            const double T = Dt(2024, 1, 1) + Hour / 24.0;
            SYSTEMTIME Utc{}, Local{};
            ASSERT_TRUE(KoDateTimeToSystemTime(T, Utc));
            ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(Z, &Utc, &Local));
            const double Converted = UTCToLocal(T, *Z);
            if (Ms(Converted) != Ms(KoSystemTimeToDateTime(Local))) {
                ++Mismatches;
                ADD_FAILURE() << "UTC " << T << ": " << Converted << " vs " << KoSystemTimeToDateTime(Local);
            }
            // One hour either side of a transition a local time may be missing or ambiguous.
            const bool NearTransition =
                KoZoneOffset(*Z, T - 1.0 / 24, true) != KoZoneOffset(*Z, T + 1.0 / 24, true);
            if (!NearTransition && Ms(LocalToUTC(Converted, *Z)) != Ms(T)) {
                ++Mismatches;
                ADD_FAILURE() << "round trip of UTC " << T;
            }
        }
    }
}

// The real zone of the process (Wine takes it from the TZ variable of the Unix environment):
// the rule evaluation on GetTimeZoneInformation's rule agrees with the platform through the
// current year.
TEST(TimeZones, TheSystemZoneAgreesWithThePlatform) {
    TIME_ZONE_INFORMATION System{};
    GetTimeZoneInformation(&System);
    EXPECT_EQ(LocalTimeBias(), -System.Bias);
    SYSTEMTIME Now{};
    GetSystemTime(&Now);
    int Mismatches = 0;
    for (int Quarter = 0; Quarter < 4 * 365 && Mismatches < 5; ++Quarter) {
        const double T = Dt(Now.wYear, 1, 1, 0, 30) + Quarter / 4.0;
        SYSTEMTIME Utc{}, Local{};
        ASSERT_TRUE(KoDateTimeToSystemTime(T, Utc));
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &Utc, &Local));
        if (Ms(UTCToLocal(T)) != Ms(KoSystemTimeToDateTime(Local))) {
            ++Mismatches;
            ADD_FAILURE() << "UTC " << T;
        }
    }
    SYSTEMTIME LocalNow{};
    GetLocalTime(&LocalNow);
    EXPECT_NEAR(UTCToLocal(NowUTC()), KoSystemTimeToDateTime(LocalNow), 2.0 / 86400);
}

// Puts a zone in place of the system's for one test.
class ZoneScope {
public:
    ZoneScope(const TIME_ZONE_INFORMATION& Z, DWORD Id) {
        KoSetTimeZoneSource([Z, Id](TIME_ZONE_INFORMATION& Out) {
            Out = Z;
            return Id;
        });
    }
    ~ZoneScope() { KoSetTimeZoneSource({}); }
};

TEST(TimeZones, TheZoneInForceDrivesBiasNamesAndConversions) {
    {
        ZoneScope Scope(Berlin, TIME_ZONE_ID_STANDARD);
        EXPECT_EQ(LocalTimeBias(), 60);
        EXPECT_EQ(Ms(UTCToLocal(Dt(2024, 7, 15, 12))), Ms(Dt(2024, 7, 15, 14)));
        EXPECT_EQ(Ms(LocalToUTC(Dt(2024, 1, 15, 13))), Ms(Dt(2024, 1, 15, 12)));
        std::wstring Text = L"x";
        AppendTimeZoneName(Text);
        EXPECT_EQ(Text, L"x (Central Europe Standard Time)");
    }
    {
        ZoneScope Scope(Berlin, TIME_ZONE_ID_DAYLIGHT);
        std::wstring Text;
        AppendTimeZoneName(Text);
        EXPECT_EQ(Text, L" (Central Europe Daylight Time)");
    }
    {
        ZoneScope Scope(NewYork, TIME_ZONE_ID_STANDARD);
        EXPECT_EQ(LocalTimeBias(), -300);
    }
}

// ---- date-time text ----

TEST(DateTimeText, PatternTokensAndLocaleSeparators) {
    const std::wstring D = Locale(LOCALE_SDATE), T = Locale(LOCALE_STIME);
    const double When = Dt(2024, 3, 7, 14, 5, 9, 42);
    struct Case {
        const wchar_t* Pattern;
        std::wstring Expected;
    } Cases[] = {
        {L"yyyy/mm/dd hh:nn:ss.zzz", L"2024" + D + L"03" + D + L"07 14" + T + L"05" + T + L"09.042"},
        {L"yy-mm-dd", L"24-03-07"},
        {L"hh:mm", L"14" + T + L"05"}, // mm after an hour is the minute
        {L"hhmm dd.mm", L"1405 07.03"},
        {L"[yyyy] m h", L"[2024] m h"},
        {L"", L""},
    };
    for (const Case& C : Cases) EXPECT_EQ(KoFormatDateTime(C.Pattern, When), C.Expected) << C.Pattern;
    EXPECT_EQ(KoFormatDateTime(L"yyyy-mm-dd hh:nn", -1.25), L"1899-12-29 06:00");
    EXPECT_EQ(KoFormatDateTime(L"hh:nn:ss.zzz", Dt(2024, 3, 7, 23, 59, 59, 999)),
              L"23" + T + L"59" + T + L"59.999");
}

std::wstring PlatformDate(double DateTime) {
    SYSTEMTIME Time{};
    EXPECT_TRUE(KoDateTimeToSystemTime(DateTime, Time));
    wchar_t Buffer[100];
    GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &Time, nullptr, Buffer, 100, nullptr);
    return Buffer;
}

std::wstring PlatformTime(double DateTime) {
    SYSTEMTIME Time{};
    EXPECT_TRUE(KoDateTimeToSystemTime(DateTime, Time));
    wchar_t Buffer[100];
    GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &Time, nullptr, Buffer, 100);
    return Buffer;
}

TEST(DateTimeText, DateTimeToTextConvertsToLocalTime) {
    ZoneScope Scope(Berlin, TIME_ZONE_ID_STANDARD);
    const double NaN = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(DateTimeToText(L"yyyy", L"none", 0), L"none");
    EXPECT_EQ(DateTimeToText(L"yyyy", L"none", -3.5), L"none");
    EXPECT_NE(DateTimeToText(L"yyyy", L"none", NaN), L"none");
    EXPECT_FALSE(DateTimeToText(L"yyyy", L"none", NaN).empty());
    EXPECT_EQ(DateTimeToText(L"yyyy-mm-dd hh-nn", L"", Dt(2024, 7, 1, 12)), L"2024-07-01 14-00");
    // Without a pattern: the locale's short date and long time, the time left out at midnight.
    EXPECT_EQ(DateTimeToText(L"", L"", Dt(2024, 7, 1, 12)),
              PlatformDate(Dt(2024, 7, 1)) + L" " + PlatformTime(Dt(2024, 7, 1, 14)));
    EXPECT_EQ(DateTimeToText(L"", L"", Dt(2024, 6, 30, 22)), PlatformDate(Dt(2024, 7, 1)));
}

TEST(DateTimeText, FormatTimestampShowsMillisecondsAfterTheSecondsAndTheZone) {
    ZoneScope Scope(Berlin, TIME_ZONE_ID_DAYLIGHT);
    const double When = Dt(2024, 3, 7, 14, 5, 9, 42);
    EXPECT_EQ(FormatTimestamp(false, true, true, 0, L"-"), L"-");
    EXPECT_EQ(FormatTimestamp(true, true, true, -1, L"-"), L"-");

    const std::wstring Utc = FormatTimestamp(false, true, true, When, L"");
    EXPECT_EQ(Utc.rfind(PlatformDate(When) + L" ", 0), 0u) << KoUtf8(Utc);
    EXPECT_NE(Utc.find(L"9.042"), std::wstring::npos) << KoUtf8(Utc);
    EXPECT_EQ(Utc.substr(Utc.size() - 6), L" (UTC)");

    EXPECT_EQ(FormatTimestamp(false, false, false, When, L""),
              PlatformDate(When) + L" " + PlatformTime(When));
    // Local: converted (14:05 UTC is 15:05 in Berlin in March) and followed by the zone's name.
    EXPECT_EQ(FormatTimestamp(true, false, true, When, L""), PlatformDate(When) + L" " +
                                                                 PlatformTime(Dt(2024, 3, 7, 15, 5, 9)) +
                                                                 L" (Central Europe Daylight Time)");
}

// ---- version resources ----

std::wstring ThisExecutable() {
    wchar_t Path[MAX_PATH];
    GetModuleFileNameW(nullptr, Path, MAX_PATH);
    return Path;
}

TEST(VersionResources, ReadFromTheRunningExecutable) {
    WORD Major = 0, Minor = 0, Release = 0, Build = 0;
    ASSERT_TRUE(GetFileVersionNumbers(ThisExecutable(), Major, Minor, Release, Build));
    EXPECT_EQ(Major, 3);
    EXPECT_EQ(Minor, 14);
    EXPECT_EQ(Release, 159);
    EXPECT_EQ(Build, 2653);
    struct Case {
        const wchar_t* Format;
        const wchar_t* Expected;
    } Cases[] = {
        {L"%d.%d.%d.%d", L"3.14.159.2653"},
        {L"v%d.%d (build %d) 100%%", L"v3.14 (build 159) 100%"},
        {L"%d.%.2d", L"3.14"},
    };
    for (const Case& C : Cases) EXPECT_EQ(FileVersionText(ThisExecutable(), C.Format), C.Expected);
    // A format asking for more than the four numbers reads nothing that was not passed.
    EXPECT_THROW(FileVersionText(ThisExecutable(), L"%d.%d.%d.%d.%d"), EKoFormatError);
    EXPECT_THROW(FileVersionText(ThisExecutable(), L"%s"), EKoFormatError);
}

TEST(VersionResources, FilesWithoutOneGiveNothing) {
    wchar_t Folder[MAX_PATH];
    GetTempPathW(MAX_PATH, Folder);
    const std::wstring Plain = std::wstring(Folder) + L"ko_no_version.txt";
    {
        TKoHandle File(CreateFileW(Plain.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(File);
        DWORD Written = 0;
        WriteFile(File.Get(), "no resources here", 17, &Written, nullptr);
    }
    for (const std::wstring& Name : {Plain, std::wstring(Folder) + L"ko_missing_file.exe"}) {
        WORD Major = 7, Minor = 7, Release = 7, Build = 7;
        EXPECT_FALSE(GetFileVersionNumbers(Name, Major, Minor, Release, Build));
        EXPECT_EQ(Major + Minor + Release + Build, 28); // untouched
        EXPECT_EQ(FileVersionText(Name, L"%d.%d.%d.%d"), L"");
    }
    DeleteFileW(Plain.c_str());
}

// ---- log lines ----

TEST(LogLines, AddLogLineKeepsTheLimitAtTheOtherEnd) {
    struct Case {
        const char* What;
        TKoStrings Before;
        int MaxLines;
        unsigned Options;
        TKoStrings After;
    } Cases[] = {
        {"append drops the first", {L"a", L"b", L"c"}, 3, lloAppend, {L"b", L"c", L"new"}},
        {"insert drops the last", {L"a", L"b", L"c"}, 3, 0, {L"new", L"a", L"b"}},
        {"shrinks to the limit", {L"a", L"b", L"c", L"d"}, 2, lloAppend, {L"d", L"new"}},
        {"no limit", {L"a", L"b"}, 0, lloAppend, {L"a", L"b", L"new"}},
        {"negative only clears", {L"a", L"b"}, -1, lloAppend, {}},
        {"stamped", {L"a"}, 5, lloAppend | lloTime, {L"a", L"@ new"}},
        {"stamped by date flag", {}, 5, lloDate, {L"@ new"}},
    };
    for (Case& C : Cases) {
        SCOPED_TRACE(C.What);
        // A pattern without tokens stamps a known text.
        AddLogLine(C.Before, L"new", C.MaxLines, L"@", C.Options);
        EXPECT_EQ(C.Before.Lines(), C.After.Lines());
    }
    TKoStrings Lines;
    AddLogLine(Lines, L"x", 0, L"yyyy", lloTime);
    SYSTEMTIME Now{};
    GetLocalTime(&Now);
    EXPECT_EQ(Lines.Strings(0), std::to_wstring(Now.wYear) + L" x");
}

// ---- texts through window messages ----

TEST(MessageParams, ATextSurvivesAPostedMessage) {
    MSG Message{};
    PeekMessageW(&Message, nullptr, 0, 0, PM_NOREMOVE); // gives the thread its message queue
    const std::wstring Sent = L"Client 1: line with \x00E9 and \x4E2D";
    LPARAM Param = StringToMessageParam(Sent);
    if (!PostThreadMessageW(GetCurrentThreadId(), WM_APP + 7, 0, Param)) {
        MessageParamToString(Param); // a failed post hands the text back to the sender
        FAIL() << "post failed";
    }
    ASSERT_TRUE(PeekMessageW(&Message, nullptr, WM_APP + 7, WM_APP + 7, PM_REMOVE));
    EXPECT_EQ(MessageParamToString(Message.lParam), Sent);
    EXPECT_EQ(MessageParamToString(0), L"");
}

} // namespace
