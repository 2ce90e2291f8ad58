#include "KoUtils.h"

#include <cwctype>

#include <oleauto.h>
#include <share.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "KoExceptions.h"
#include "KoOle.h"
#include "KoStrings.h"

std::string KoUtf8(std::wstring_view Text) {
    if (Text.empty()) return {};
    const int Size = WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string Result(static_cast<size_t>(Size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), Result.data(), Size, nullptr,
                        nullptr);
    return Result;
}

std::wstring KoWide(std::string_view Utf8) {
    if (Utf8.empty()) return {};
    const int Size = MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), static_cast<int>(Utf8.size()), nullptr, 0);
    std::wstring Result(static_cast<size_t>(Size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), static_cast<int>(Utf8.size()), Result.data(), Size);
    return Result;
}

std::wstring KoLowerCase(std::wstring Text) {
    for (wchar_t& C : Text) C = static_cast<wchar_t>(std::towlower(C));
    return Text;
}

// ---- date-time arithmetic ----

namespace {

constexpr int64_t MsPerDay = 86400000;
// Days from 1601-01-01 (the FILETIME epoch) to 1899-12-30 (day 0 of a date-time).
constexpr int64_t FileTimeEpochDays = 109205;
// Day number of 10000-01-01: date-times end before it.
constexpr int64_t EndDays = 2958466;
constexpr int64_t MinMs = -FileTimeEpochDays * MsPerDay;
constexpr int64_t EndMs = EndDays * MsPerDay;

// Milliseconds since 1899-12-30 00:00 of a date-time, rounded; false outside 1601 .. 9999.
bool DateTimeToMs(double DateTime, int64_t& Ms) {
    if (!std::isfinite(DateTime) || std::fabs(DateTime) > 1e7) return false;
    const double Day = std::trunc(DateTime);
    // The fraction is the time of day on either side of day 0.
    // Rounded half up, as llround rounds a value of zero or more (without its library call: every
    // item change stamps its value through here).
    const double Exact = std::fabs(DateTime - Day) * static_cast<double>(MsPerDay);
    int64_t Time = static_cast<int64_t>(Exact);
    if (Exact - static_cast<double>(Time) >= 0.5) ++Time;
    Ms = static_cast<int64_t>(Day) * MsPerDay + Time;
    return Ms >= MinMs && Ms < EndMs;
}

double MsToDateTime(int64_t Ms) {
    int64_t Day = Ms / MsPerDay;
    if (Ms % MsPerDay < 0) --Day;
    const double Fraction = static_cast<double>(Ms - Day * MsPerDay) / static_cast<double>(MsPerDay);
    return Day >= 0 ? static_cast<double>(Day) + Fraction : static_cast<double>(Day) - Fraction;
}

FILETIME MsToFileTime(int64_t Ms) {
    const uint64_t Ticks = static_cast<uint64_t>(Ms - MinMs) * 10000u;
    return FILETIME{static_cast<DWORD>(Ticks), static_cast<DWORD>(Ticks >> 32)};
}

uint64_t FileTimeTicks(const FILETIME& FileTime) {
    return (static_cast<uint64_t>(FileTime.dwHighDateTime) << 32) | FileTime.dwLowDateTime;
}

// The platform's text of a number, for date-times that have no calendar date.
std::wstring NumberText(double Value) {
    TKoBstr Text;
    if (FAILED(VarBstrFromR8(Value, LOCALE_USER_DEFAULT, 0, Text.Receive()))) return {};
    return Text.Text();
}

// The calendar of a millisecond count goes through the platform's FILETIME conversions.
bool MsToSystemTime(int64_t Ms, SYSTEMTIME& Time) {
    if (Ms < MinMs || Ms >= EndMs) return false;
    const FILETIME FileTime = MsToFileTime(Ms);
    return FileTimeToSystemTime(&FileTime, &Time) != FALSE;
}

bool SystemTimeToMs(const SYSTEMTIME& Time, int64_t& Ms) {
    FILETIME FileTime{};
    if (!SystemTimeToFileTime(&Time, &FileTime)) return false;
    Ms = static_cast<int64_t>(FileTimeTicks(FileTime) / 10000u) + MinMs;
    return true;
}

} // namespace

bool KoDateTimeToSystemTime(double DateTime, SYSTEMTIME& Time) {
    int64_t Ms = 0;
    return DateTimeToMs(DateTime, Ms) && MsToSystemTime(Ms, Time);
}

double KoSystemTimeToDateTime(const SYSTEMTIME& Time) {
    int64_t Ms = 0;
    return SystemTimeToMs(Time, Ms) ? MsToDateTime(Ms) : std::nan("");
}

FILETIME DateTimeToFileTime(double DateTime) {
    int64_t Ms = 0;
    if (DateTime == 0 || !DateTimeToMs(DateTime, Ms)) return FILETIME{0, 0};
    return MsToFileTime(Ms);
}

double FileTimeToDateTime(const FILETIME& FileTime) {
    const uint64_t Ticks = FileTimeTicks(FileTime);
    if (Ticks == 0) return 0;
    const int64_t Ms = static_cast<int64_t>(Ticks / 10000u) + MinMs;
    if (Ms >= EndMs) return 0;
    return MsToDateTime(Ms);
}

// ---- clock ----

double NowUTC() {
    FILETIME Now{};
    GetSystemTimeAsFileTime(&Now);
    return FileTimeToDateTime(Now);
}

double KoNowLocal() {
    SYSTEMTIME Now{};
    GetLocalTime(&Now);
    return KoSystemTimeToDateTime(Now);
}

TKoTickCounter::TKoTickCounter(TSource ASource) : FSource(std::move(ASource)) {}

uint64_t TKoTickCounter::Read() {
    uint64_t Last = FLast.load();
    for (;;) {
        const DWORD Tick = FSource();
        uint64_t High = Last >> 32;
        if (Tick < static_cast<DWORD>(Last)) ++High; // the 32-bit counter wrapped since the last reading
        const uint64_t Next = (High << 32) | Tick;
        if (FLast.compare_exchange_weak(Last, Next)) return Next;
    }
}

uint64_t TickCount64() {
    static TKoTickCounter Counter([] { return GetTickCount(); });
    return Counter.Read();
}

// ---- time zone ----

namespace {

std::mutex& ZoneLock() {
    static std::mutex Lock;
    return Lock;
}

TKoTimeZoneSource& ZoneSource() {
    static TKoTimeZoneSource Source;
    return Source;
}

// The moment of a transition of the rule in Year, in milliseconds on the clock the rule is
// written in. A rule with a year is a fixed month, day and time; one without is the n-th
// weekday of its month (5: the last). False when the rule names no valid day.
bool TransitionIn(const SYSTEMTIME& Rule, int Year, int64_t& Ms) {
    const int64_t Time =
        Rule.wHour * 3600000ll + Rule.wMinute * 60000ll + Rule.wSecond * 1000ll + Rule.wMilliseconds;
    const WORD Month = std::clamp<WORD>(Rule.wMonth, 1, 12);
    SYSTEMTIME Day{};
    Day.wYear = static_cast<WORD>(Year);
    Day.wMonth = Month;
    Day.wDay = Rule.wYear != 0 ? Rule.wDay : 1;
    int64_t First = 0;
    if (!SystemTimeToMs(Day, First)) return false;
    if (Rule.wYear != 0) {
        Ms = First + Time;
        return true;
    }
    SYSTEMTIME FirstFields{}, Next{};
    if (!MsToSystemTime(First, FirstFields)) return false;
    Next.wYear = static_cast<WORD>(Month == 12 ? Year + 1 : Year);
    Next.wMonth = static_cast<WORD>(Month == 12 ? 1 : Month + 1);
    Next.wDay = 1;
    int64_t NextFirst = 0;
    if (!SystemTimeToMs(Next, NextFirst)) return false;
    const int64_t DaysInMonth = (NextFirst - First) / MsPerDay;
    const int Week = std::clamp<int>(Rule.wDay, 1, 5);
    int64_t DayOfMonth = 1 + (Rule.wDayOfWeek % 7 - FirstFields.wDayOfWeek + 7) % 7 + (Week - 1) * 7;
    if (DayOfMonth > DaysInMonth) DayOfMonth -= 7;
    Ms = First + (DayOfMonth - 1) * MsPerDay + Time;
    return true;
}

// Shifts a date-time by minutes on the linear time line (before day 0 the encoding is not).
double AddMinutes(double DateTime, int32_t Minutes) {
    int64_t Ms = 0;
    if (!DateTimeToMs(DateTime, Ms)) return DateTime + Minutes / 1440.0;
    return MsToDateTime(Ms + Minutes * 60000ll);
}

} // namespace

void KoSetTimeZoneSource(TKoTimeZoneSource Source) {
    std::lock_guard Guard(ZoneLock());
    ZoneSource() = std::move(Source);
}

DWORD KoGetTimeZone(TIME_ZONE_INFORMATION& Zone) {
    TKoTimeZoneSource Source;
    {
        std::lock_guard Guard(ZoneLock());
        Source = ZoneSource();
    }
    Zone = TIME_ZONE_INFORMATION{};
    return Source ? Source(Zone) : GetTimeZoneInformation(&Zone);
}

int32_t KoZoneOffset(const TIME_ZONE_INFORMATION& Zone, double DateTime, bool IsUTC) {
    const int32_t Standard = Zone.Bias + Zone.StandardBias;
    if (Zone.DaylightDate.wMonth == 0 || Zone.StandardDate.wMonth == 0) return Standard;
    int64_t T = 0;
    if (!DateTimeToMs(DateTime, T)) return Standard;
    if (IsUTC) T -= Zone.Bias * 60000ll; // now local time without any adjustment
    SYSTEMTIME Fields{};
    int64_t End = 0, Start = 0;
    if (!MsToSystemTime(T, Fields) ||
        !TransitionIn(Zone.StandardDate, Fields.wYear, End) || // in daylight time
        !TransitionIn(Zone.DaylightDate, Fields.wYear, Start)) // in standard time
        return Standard;
    if (IsUTC) {
        End += Zone.DaylightBias * 60000ll;
        Start += Zone.StandardBias * 60000ll;
    }
    // Daylight time begins at the very moment of its start and ends at the moment of its end.
    const bool Daylight = Start < End ? (Start <= T && T < End)  // northern hemisphere
                                      : (T < End || T >= Start); // southern: daylight spans the new year
    return Daylight ? Zone.Bias + Zone.DaylightBias : Standard;
}

double UTCToLocal(double DateTime, const TIME_ZONE_INFORMATION& Zone) {
    return AddMinutes(DateTime, -KoZoneOffset(Zone, DateTime, true));
}

double LocalToUTC(double DateTime, const TIME_ZONE_INFORMATION& Zone) {
    return AddMinutes(DateTime, KoZoneOffset(Zone, DateTime, false));
}

double UTCToLocal(double DateTime) {
    TIME_ZONE_INFORMATION Zone;
    KoGetTimeZone(Zone);
    return UTCToLocal(DateTime, Zone);
}

double LocalToUTC(double DateTime) {
    TIME_ZONE_INFORMATION Zone;
    KoGetTimeZone(Zone);
    return LocalToUTC(DateTime, Zone);
}

int32_t LocalTimeBias() {
    TIME_ZONE_INFORMATION Zone;
    KoGetTimeZone(Zone);
    return -Zone.Bias;
}

// ---- locale ----

std::wstring KoLocaleInfo(LCTYPE Type) {
    const int Size = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, Type, nullptr, 0);
    if (Size <= 0) return {};
    std::wstring Result(static_cast<size_t>(Size), L'\0');
    const int Written = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, Type, Result.data(), Size);
    Result.resize(Written > 0 ? static_cast<size_t>(Written - 1) : 0);
    return Result;
}

std::wstring KoListSeparator() {
    return KoLocaleInfo(LOCALE_SLIST);
}

// ---- date-time text ----

namespace {

void AppendNumber(std::wstring& Text, unsigned Value, int Digits) {
    std::wstring Number = std::to_wstring(Value);
    if (static_cast<int>(Number.size()) < Digits)
        Text.append(static_cast<size_t>(Digits) - Number.size(), L'0');
    Text += Number;
}

std::wstring MillisecondText(WORD Ms) {
    std::wstring Text;
    AppendNumber(Text, Ms, 3);
    return Text;
}

// The locale's long time picture with a quoted ".zzz" right after its seconds (at the end when
// it shows no seconds), so that 12-hour pictures keep their AM/PM marker last.
std::wstring TimePictureWithMilliseconds(WORD Ms) {
    std::wstring Picture = KoLocaleInfo(LOCALE_STIMEFORMAT);
    const std::wstring Insert = L"'." + MillisecondText(Ms) + L"'";
    size_t After = std::wstring::npos;
    bool Quoted = false;
    for (size_t I = 0; I < Picture.size(); ++I) {
        if (Picture[I] == L'\'')
            Quoted = !Quoted;
        else if (!Quoted && Picture[I] == L's')
            After = I + 1;
    }
    Picture.insert(After == std::wstring::npos ? Picture.size() : After, Insert);
    return Picture;
}

std::wstring FormatDate(const SYSTEMTIME& Time) {
    wchar_t Buffer[128];
    const int Length = GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &Time, nullptr, Buffer,
                                       static_cast<int>(std::size(Buffer)), nullptr);
    return Length > 0 ? std::wstring(Buffer, static_cast<size_t>(Length - 1)) : std::wstring();
}

std::wstring FormatTime(const SYSTEMTIME& Time, const std::wstring& Picture) {
    wchar_t Buffer[128];
    const int Length =
        GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &Time, Picture.empty() ? nullptr : Picture.c_str(),
                        Buffer, static_cast<int>(std::size(Buffer)));
    return Length > 0 ? std::wstring(Buffer, static_cast<size_t>(Length - 1)) : std::wstring();
}

} // namespace

std::wstring KoFormatDateTime(std::wstring_view Pattern, double DateTime) {
    SYSTEMTIME Time{};
    if (!KoDateTimeToSystemTime(DateTime, Time)) return NumberText(DateTime);
    std::wstring Result;
    bool AfterHour = false; // "mm" right after an hour token is the minute
    for (size_t I = 0; I < Pattern.size();) {
        auto Starts = [&](std::wstring_view Token) { return Pattern.substr(I, Token.size()) == Token; };
        if (Starts(L"yyyy")) {
            AppendNumber(Result, Time.wYear, 4);
            I += 4;
            AfterHour = false;
        } else if (Starts(L"yy")) {
            AppendNumber(Result, Time.wYear % 100u, 2);
            I += 2;
            AfterHour = false;
        } else if (Starts(L"mm")) {
            AppendNumber(Result, AfterHour ? Time.wMinute : Time.wMonth, 2);
            I += 2;
            AfterHour = false;
        } else if (Starts(L"dd")) {
            AppendNumber(Result, Time.wDay, 2);
            I += 2;
            AfterHour = false;
        } else if (Starts(L"hh")) {
            AppendNumber(Result, Time.wHour, 2);
            I += 2;
            AfterHour = true;
        } else if (Starts(L"nn")) {
            AppendNumber(Result, Time.wMinute, 2);
            I += 2;
            AfterHour = false;
        } else if (Starts(L"ss")) {
            AppendNumber(Result, Time.wSecond, 2);
            I += 2;
            AfterHour = false;
        } else if (Starts(L"zzz")) {
            AppendNumber(Result, Time.wMilliseconds, 3);
            I += 3;
            AfterHour = false;
        } else if (Pattern[I] == L'/') {
            Result += KoLocaleInfo(LOCALE_SDATE);
            ++I;
        } else if (Pattern[I] == L':') {
            Result += KoLocaleInfo(LOCALE_STIME);
            ++I;
        } else {
            Result += Pattern[I++];
        }
    }
    return Result;
}

std::wstring KoLocaleDateTimeText(double DateTime, bool ShowMilliseconds, bool OmitMidnight) {
    SYSTEMTIME Time{};
    if (!KoDateTimeToSystemTime(DateTime, Time)) return NumberText(DateTime);
    std::wstring Result = FormatDate(Time);
    if (OmitMidnight && Time.wHour == 0 && Time.wMinute == 0 && Time.wSecond == 0 && Time.wMilliseconds == 0)
        return Result;
    Result += L' ';
    Result +=
        FormatTime(Time, ShowMilliseconds ? TimePictureWithMilliseconds(Time.wMilliseconds) : std::wstring());
    return Result;
}

std::wstring DateTimeToText(std::wstring_view Format, std::wstring_view EmptyText, double DateTime) {
    if (DateTime <= 0) return std::wstring(EmptyText); // NaN is not caught here: it is formatted
    const double Local = UTCToLocal(DateTime);
    if (Format.empty()) return KoLocaleDateTimeText(Local, false, true);
    return KoFormatDateTime(Format, Local);
}

std::wstring FormatTimestamp(bool UseLocal, bool ShowMilliseconds, bool ShowZone, double DateTime,
                             std::wstring_view EmptyText) {
    if (DateTime <= 0) return std::wstring(EmptyText);
    std::wstring Result =
        KoLocaleDateTimeText(UseLocal ? UTCToLocal(DateTime) : DateTime, ShowMilliseconds, false);
    if (ShowZone) {
        if (UseLocal)
            AppendTimeZoneName(Result);
        else
            Result += L" (UTC)";
    }
    return Result;
}

void AppendTimeZoneName(std::wstring& Text) {
    TIME_ZONE_INFORMATION Zone;
    const DWORD Id = KoGetTimeZone(Zone);
    const wchar_t* Name = Id == TIME_ZONE_ID_DAYLIGHT ? Zone.DaylightName : Zone.StandardName;
    Text += L" (";
    Text.append(Name, wcsnlen(Name, std::size(Zone.StandardName)));
    Text += L")";
}

// ---- text ----

std::wstring BoolToText(bool Value) {
    return Value ? L"True" : L"False";
}

std::wstring BracketText(std::wstring_view Text) {
    std::wstring Result;
    Result.reserve(Text.size() + 2);
    Result += L'[';
    Result += Text;
    Result += L']';
    return Result;
}

// ---- version resources ----

bool GetFileVersionNumbers(const std::wstring& FileName, WORD& Major, WORD& Minor, WORD& Release,
                           WORD& Build) {
    DWORD Ignored = 0;
    const DWORD Size = GetFileVersionInfoSizeW(FileName.c_str(), &Ignored);
    if (Size == 0) return false;
    std::vector<BYTE> Data(Size);
    if (!GetFileVersionInfoW(FileName.c_str(), 0, Size, Data.data())) return false;
    void* Block = nullptr;
    UINT Length = 0;
    if (!VerQueryValueW(Data.data(), L"\\", &Block, &Length) || !Block || Length < sizeof(VS_FIXEDFILEINFO))
        return false;
    const auto* Info = static_cast<const VS_FIXEDFILEINFO*>(Block);
    if (Info->dwSignature != 0xFEEF04BD) return false;
    Major = HIWORD(Info->dwFileVersionMS);
    Minor = LOWORD(Info->dwFileVersionMS);
    Release = HIWORD(Info->dwFileVersionLS);
    Build = LOWORD(Info->dwFileVersionLS);
    return true;
}

std::wstring FileVersionText(const std::wstring& FileName, std::wstring_view Format) {
    WORD Parts[4] = {};
    if (!GetFileVersionNumbers(FileName, Parts[0], Parts[1], Parts[2], Parts[3])) return {};
    return KoFormat(Format, int{Parts[0]}, int{Parts[1]}, int{Parts[2]}, int{Parts[3]});
}

// ---- log lines ----

void AddLogLine(TKoStrings& Lines, const std::wstring& Text, int MaxLines, std::wstring_view DateTimeFormat,
                unsigned Options) {
    if (MaxLines < 0) {
        Lines.Clear();
        return;
    }
    const bool Append = (Options & lloAppend) != 0;
    while (MaxLines > 0 && Lines.Count() >= MaxLines) Lines.Delete(Append ? 0 : Lines.Count() - 1);
    const std::wstring Line =
        (Options & (lloDate | lloTime)) ? KoFormatDateTime(DateTimeFormat, KoNowLocal()) + L" " + Text : Text;
    if (Append)
        Lines.Add(Line);
    else
        Lines.Insert(0, Line);
}

// ---- texts through window messages ----

LPARAM StringToMessageParam(std::wstring_view Text) {
    return reinterpret_cast<LPARAM>(new std::wstring(Text));
}

std::wstring MessageParamToString(LPARAM Param) {
    if (Param == 0) return {};
    std::unique_ptr<std::wstring> Text(reinterpret_cast<std::wstring*>(Param));
    return std::move(*Text);
}

std::wstring KoTrim(std::wstring_view Text) {
    size_t First = 0, Last = Text.size();
    while (First < Last && std::iswspace(Text[First])) ++First;
    while (Last > First && std::iswspace(Text[Last - 1])) --Last;
    return std::wstring(Text.substr(First, Last - First));
}

bool KoParseInteger(std::wstring_view Source, int64_t Min, int64_t Max, int HexBits, int64_t& Result) {
    const std::wstring Text = KoTrim(Source);
    size_t Pos = 0;
    bool Negative = false;
    if (Pos < Text.size() && (Text[Pos] == L'-' || Text[Pos] == L'+')) Negative = Text[Pos++] == L'-';
    unsigned Base = 10;
    if (Pos < Text.size() && Text[Pos] == L'$') {
        Base = 16;
        ++Pos;
    } else if (Pos + 1 < Text.size() && Text[Pos] == L'0' &&
               (Text[Pos + 1] == L'x' || Text[Pos + 1] == L'X')) {
        Base = 16;
        Pos += 2;
    }
    if (Pos >= Text.size()) return false;
    const bool FullWidth = Base == 16 && (HexBits == 32 || HexBits == 64);
    // The magnitude may reach 2^63 for the lowest 64-bit number.
    const uint64_t Limit = FullWidth  ? (HexBits == 64 ? ~uint64_t{0} : uint64_t{0xFFFFFFFF})
                           : Negative ? static_cast<uint64_t>(-(Min + 1)) + 1
                                      : static_cast<uint64_t>(Max);
    uint64_t Magnitude = 0;
    for (; Pos < Text.size(); ++Pos) {
        const wchar_t C = Text[Pos];
        unsigned Digit;
        if (C >= L'0' && C <= L'9')
            Digit = C - L'0';
        else if (Base == 16 && C >= L'a' && C <= L'f')
            Digit = C - L'a' + 10;
        else if (Base == 16 && C >= L'A' && C <= L'F')
            Digit = C - L'A' + 10;
        else
            return false;
        if (Magnitude > (Limit - Digit) / Base) return false;
        Magnitude = Magnitude * Base + Digit;
    }
    if (FullWidth && HexBits == 32)
        Magnitude = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(Magnitude)));
    Result = Negative ? static_cast<int64_t>(0 - Magnitude) : static_cast<int64_t>(Magnitude);
    return true;
}

// ---- the module ----

extern "C" IMAGE_DOS_HEADER __ImageBase;

bool KoInLibrary() {
    return reinterpret_cast<HMODULE>(&__ImageBase) != GetModuleHandleW(nullptr);
}

// ---- whole files ----

bool KoReadFileBytes(const std::wstring& FileName, std::string& Bytes, std::wstring& Error) {
    FILE* File = _wfsopen(FileName.c_str(), L"rb", _SH_DENYWR);
    if (!File) {
        Error = L"Cannot open file \"" + FileName + L"\"";
        return false;
    }
    Bytes.clear();
    char Buffer[4096];
    size_t Read;
    while ((Read = std::fread(Buffer, 1, sizeof Buffer, File)) > 0) Bytes.append(Buffer, Read);
    const bool Failed = std::ferror(File) != 0;
    std::fclose(File);
    if (Failed) Error = L"Cannot read file \"" + FileName + L"\"";
    return !Failed;
}
