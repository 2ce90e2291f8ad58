#pragma once
// Support routines shared by every layer: text encodings, the clock and time-zone conversions
// every time stamp goes through, date-time text, version resources, log lines and the hand-over
// of texts through window messages. The variant routines are in KoVariants.h.
//
// Date-times are double day counts since 1899-12-30 00:00, the fraction being the time of day
// (before that day the fraction still counts forward from midnight: -1.25 is 1899-12-29 06:00).

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>

class TKoStrings;

// UTF-16 <-> UTF-8 (exception messages are UTF-8; the Windows API speaks UTF-16).
std::string KoUtf8(std::wstring_view Text);
std::wstring KoWide(std::string_view Utf8);
// The text with every letter in lower case (no locale: names and filters compare alike anywhere).
std::wstring KoLowerCase(std::wstring Text);

// ---- clock ----

// The current UTC date and time from the system clock, to the millisecond.
double NowUTC();
// The current local date and time from the system clock, to the millisecond.
double KoNowLocal();

// A millisecond counter that never wraps, built on a 32-bit tick source that wraps every
// 49.7 days. It keeps one 64-bit reading (high half: wraps seen; low half: last tick) and
// replaces it with an atomic compare-and-exchange, so readers on any thread store a consistent
// value. It stays right as long as it is read at least once per wrap period.
class TKoTickCounter {
public:
    using TSource = std::function<DWORD()>;
    explicit TKoTickCounter(TSource ASource);
    uint64_t Read();

private:
    TSource FSource;
    std::atomic<uint64_t> FLast{0};
};

// Milliseconds since system start from the system's 32-bit tick count, never wrapping.
uint64_t TickCount64();

// ---- time zone ----

// Where the zone rule comes from: a function of GetTimeZoneInformation's form (fills the rule,
// returns TIME_ZONE_ID_UNKNOWN, _STANDARD or _DAYLIGHT). An empty source means the system's.
using TKoTimeZoneSource = std::function<DWORD(TIME_ZONE_INFORMATION& Zone)>;
// Puts a zone in place of the system's for every routine below (tests use it to run the
// conversions in chosen zones); an empty source restores the system's zone.
void KoSetTimeZoneSource(TKoTimeZoneSource Source);
// The zone rule in force (see KoSetTimeZoneSource) and its TIME_ZONE_ID_... result.
DWORD KoGetTimeZone(TIME_ZONE_INFORMATION& Zone);

// The offset in minutes (UTC = local + offset) that the zone's rule puts in effect at DateTime,
// which is a UTC time when IsUTC and a local wall-clock time otherwise. The transitions of the
// rule are placed in the year of DateTime.
int32_t KoZoneOffset(const TIME_ZONE_INFORMATION& Zone, double DateTime, bool IsUTC);
double UTCToLocal(double DateTime, const TIME_ZONE_INFORMATION& Zone);
double LocalToUTC(double DateTime, const TIME_ZONE_INFORMATION& Zone);
// The same in the zone in force.
double UTCToLocal(double DateTime);
double LocalToUTC(double DateTime);
// Minus the zone's base offset in minutes, without daylight adjustment: 60 for a zone 60
// minutes east of Greenwich.
int32_t LocalTimeBias();

// ---- date-time conversions ----

// The calendar fields of a date-time (false for NaN, infinities and instants outside
// 1601-01-01 .. 9999-12-31). Milliseconds are rounded.
bool KoDateTimeToSystemTime(double DateTime, SYSTEMTIME& Time);
double KoSystemTimeToDateTime(const SYSTEMTIME& Time);

// The same instant as a FILETIME, to the millisecond; the zero date-time, and date-times no
// FILETIME can hold (NaN, before 1601), give the zero FILETIME.
FILETIME DateTimeToFileTime(double DateTime);
// The same instant, to the millisecond; the zero FILETIME (no time) gives 0, and so does a
// FILETIME beyond 9999-12-31.
double FileTimeToDateTime(const FILETIME& FileTime);

// ---- date-time text ----

// Formats a date-time with the time-stamp pattern language: yyyy four-digit year, yy two-digit
// year, mm two-digit month (minute when it follows an hour token), dd day, hh hour of a 24-hour
// clock, nn minute, ss second, zzz millisecond, / the locale's date separator, : the locale's
// time separator; any other character is copied. A date-time with no calendar date (NaN,
// out of range) gives the platform's text of the number instead.
std::wstring KoFormatDateTime(std::wstring_view Pattern, double DateTime);
// The locale's short date, a blank and the locale's long time; with ShowMilliseconds the
// milliseconds follow the seconds as ".zzz"; with OmitMidnight the time is left out at exactly
// midnight. No zone conversion.
std::wstring KoLocaleDateTimeText(double DateTime, bool ShowMilliseconds, bool OmitMidnight);
// EmptyText when DateTime is not greater than 0; otherwise UTCToLocal(DateTime) with Format,
// or with the locale's short date and long time when Format is empty.
std::wstring DateTimeToText(std::wstring_view Format, std::wstring_view EmptyText, double DateTime);
// EmptyText when DateTime is not greater than 0; otherwise the locale's short date and long time
// (plus milliseconds), of the local time when UseLocal; with ShowZone followed by the zone name
// when local, or by " (UTC)".
std::wstring FormatTimestamp(bool UseLocal, bool ShowMilliseconds, bool ShowZone, double DateTime,
                             std::wstring_view EmptyText);
// Appends " (", the zone's name and ")": its daylight-time name while daylight time is in
// effect, its standard-time name otherwise.
void AppendTimeZoneName(std::wstring& Text);

// ---- locale ----

// One text of the user's locale (LOCALE_S...), empty when the locale has none.
std::wstring KoLocaleInfo(LCTYPE Type);
std::wstring KoListSeparator();

// ---- text ----

std::wstring BoolToText(bool Value);
// Text without leading and trailing white space.
std::wstring KoTrim(std::wstring_view Text);
// Reads an integer written in decimal, or in hexadecimal after "$" or "0x", with an optional
// sign and surrounding white space; false when the text is no such number or does not fit
// between Min and Max. With HexBits 32 or 64 a hexadecimal number may instead use that many
// bits in full and is read as their two's complement ($FFFFFFFF is -1 with HexBits 32).
bool KoParseInteger(std::wstring_view Text, int64_t Min, int64_t Max, int HexBits, int64_t& Result);
std::wstring BracketText(std::wstring_view Text);

// ---- version resources ----

// The four 16-bit parts of the file version in the file's version resource; false (parts
// untouched) when the file has none.
bool GetFileVersionNumbers(const std::wstring& FileName, WORD& Major, WORD& Minor, WORD& Release,
                           WORD& Build);
// The four parts (major, minor, release, build) put into Format with KoFormat, for example
// "%d.%d.%d.%d"; empty when the file has no version information. A format that does not fit
// integer arguments raises EKoFormatError.
std::wstring FileVersionText(const std::wstring& FileName, std::wstring_view Format);

// ---- log lines ----

// Options of AddLogLine: either of the first two stamps the line with the local time, the
// third appends it at the end instead of inserting it at the top.
enum TKoLogLineOption : unsigned { lloDate = 1, lloTime = 2, lloAppend = 4 };

// Adds Text to Lines, keeping at most MaxLines lines (0: no limit) by dropping the line at the
// other end; a negative MaxLines only clears Lines.
void AddLogLine(TKoStrings& Lines, const std::wstring& Text, int MaxLines, std::wstring_view DateTimeFormat,
                unsigned Options);

// ---- texts through window messages ----

// A private copy of Text to post with a window message. The receiver takes it over with
// MessageParamToString, which frees it; a sender whose post failed takes it back the same way.
LPARAM StringToMessageParam(std::wstring_view Text);
// Takes over a text made by StringToMessageParam and frees it; 0 gives an empty text.
std::wstring MessageParamToString(LPARAM Param);

// ---- the module ----

// Whether this code runs inside a shared library rather than the program itself.
bool KoInLibrary();

// ---- whole files ----

// Reads the whole file; others may read it meanwhile, but not write it. On failure Error holds
// "Cannot open file \"<name>\"" or "Cannot read file \"<name>\"".
bool KoReadFileBytes(const std::wstring& FileName, std::string& Bytes, std::wstring& Error);

// Creates (or empties) the file and hands Write a binary stream on it; fails with
// E("Cannot create file \"<name>\"").
template <class E, class TWrite> void KoSaveToFile(const std::wstring& FileName, TWrite&& Write) {
    std::ofstream Stream(std::filesystem::path(FileName), std::ios::binary | std::ios::trunc);
    if (!Stream) throw E(L"Cannot create file \"" + FileName + L"\"");
    Write(Stream);
}

// Hands Read a stream on the whole file's bytes (KoReadFileBytes); fails with E and its text.
template <class E, class TRead> void KoLoadFromFile(const std::wstring& FileName, TRead&& Read) {
    std::string Bytes;
    std::wstring Error;
    if (!KoReadFileBytes(FileName, Bytes, Error)) throw E(Error);
    std::istringstream Stream(std::move(Bytes));
    Read(Stream);
}
