// The error base classes and the checked message formatter they are raised with.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "KoExceptions.h"

namespace {

enum TColour { clRed, clGreen = 7 };

TEST(KoFormat, Directives) {
    struct Case {
        std::wstring Actual;
        const wchar_t* Expected;
    };
    const std::wstring Text = L"Sinusoid";
    const Case Cases[] = {
        {KoFormat(L"Client %d", 3), L"Client 3"},
        {KoFormat(L"%d", -2147483647 - 1), L"-2147483648"},
        {KoFormat(L"%d", INT64_MIN), L"-9223372036854775808"},
        {KoFormat(L"%d", UINT64_MAX), L"18446744073709551615"},
        {KoFormat(L"+%7d", 5), L"+      5"}, // keys of the state lists
        {KoFormat(L"%8d", -5), L"      -5"},
        {KoFormat(L"%.3d|%05d|%-4d|", 7, -42, 9), L"007|-0042|9   |"},
        {KoFormat(L"%u", -1), L"4294967295"},
        {KoFormat(L"0x%x", static_cast<HRESULT>(0xC0040007)), L"0xC0040007"},
        {KoFormat(L"%.8x", static_cast<HRESULT>(0x0004000F)), L"0004000F"},
        {KoFormat(L"$%x", static_cast<int16_t>(-1)), L"$FFFF"},
        {KoFormat(L"%x", int64_t{-1}), L"FFFFFFFFFFFFFFFF"},
        {KoFormat(L"%X", 255u), L"FF"},
        {KoFormat(L"%d %d", clRed, clGreen), L"0 7"},
        {KoFormat(L"[%s]", Text), L"[Sinusoid]"},
        {KoFormat(L"%s/%s", L"a", std::wstring_view(L"b")), L"a/b"},
        {KoFormat(L"%.3s|%6s|%-6s|", Text, L"ab", L"ab"), L"Sin|    ab|ab    |"},
        {KoFormat(L"%s", static_cast<const wchar_t*>(nullptr)), L""},
        {KoFormat(L"[%g,%g]", 0.1, -1234567.09), L"[0.1,-1234567.09]"},
        {KoFormat(L"%g|%g|%g", 100.0, 1e20, 2), L"100|1e+20|2"},
        {KoFormat(L"%.3g|%.2f|%e", 3.14159, 2.005, 1.5), L"3.14|2.00|1.500000e+00"},
        {KoFormat(L"100%% %s", L"done"), L"100% done"},
        {KoFormat(L"no directives", 1, 2), L"no directives"},
    };
    for (const Case& C : Cases) EXPECT_EQ(C.Actual, C.Expected);
}

// A format that does not fit its arguments is a programming error; it must fail loudly
// instead of printing garbage or reading past the arguments.
TEST(KoFormat, MismatchesFail) {
    const std::function<std::wstring()> Cases[] = {
        [] { return KoFormat(L"%d"); },          [] { return KoFormat(L"%s and %s", L"one"); },
        [] { return KoFormat(L"%d", L"text"); }, [] { return KoFormat(L"%x", 1.5); },
        [] { return KoFormat(L"%s", 42); },      [] { return KoFormat(L"%g", L"text"); },
        [] { return KoFormat(L"%q", 1); },       [] { return KoFormat(L"trailing %", 1); },
        [] { return KoFormat(L"%99999d", 1); },
    };
    for (size_t I = 0; I < std::size(Cases); ++I) {
        SCOPED_TRACE(I);
        EXPECT_THROW(Cases[I](), EKoFormatError);
    }
}

TEST(KoErrors, MessageIsWideAndWhatIsItsUtf8) {
    try {
        throw EKoException(L"Gr\u00fc\u00dfe \u20ac");
    } catch (const std::exception& E) {
        EXPECT_STREQ(E.what(), "Gr\xc3\xbc\xc3\x9f"
                               "e \xe2\x82\xac");
        const auto* Error = dynamic_cast<const EKoError*>(&E);
        ASSERT_NE(Error, nullptr);
        EXPECT_EQ(Error->Message(), L"Gr\u00fc\u00dfe \u20ac");
        EXPECT_STREQ(Error->ClassName(), L"EKoException");
    }
}

TEST(KoErrors, OleErrorCarriesItsCode) {
    try {
        throw EKoOleError(E_INVALIDARG, L"bad argument");
    } catch (const EKoError& E) {
        const auto* Ole = dynamic_cast<const EKoOleError*>(&E);
        ASSERT_NE(Ole, nullptr);
        EXPECT_EQ(Ole->ErrorCode(), E_INVALIDARG);
        EXPECT_EQ(E.Message(), L"bad argument");
        EXPECT_STREQ(E.ClassName(), L"EKoOleError");
    }
    // Without a message of its own it takes the system's text, on one line.
    const EKoOleError FromCode(E_OUTOFMEMORY);
    EXPECT_EQ(FromCode.Message(), KoSysErrorMessage(E_OUTOFMEMORY));
    EXPECT_FALSE(FromCode.Message().empty());
    EXPECT_EQ(FromCode.Message().find_first_of(L"\r\n"), std::wstring::npos);
}

TEST(KoErrors, SystemTextFallsBackToTheCode) {
    // Facility 0x0A0 is not assigned: no system has a text for it.
    EXPECT_EQ(KoSysErrorMessage(static_cast<HRESULT>(0xA0A0BEEF)), L"OLE error A0A0BEEF");
}

} // namespace
