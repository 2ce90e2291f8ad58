// koopc: a command-line OPC Data Access 2.0 client. It looks at any registered DA server from a
// shell: the servers registered, a server's status, its address space, item properties, reads,
// writes and a subscription. Values are printed and read in one locale-independent text form.
//
// The process is a client in the multi-threaded apartment: the data-change callbacks of `watch`
// arrive on RPC threads while the main thread waits, with a bound, for the end of the watch.

#include <windows.h>

#include <comcat.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <ocidl.h>
#include <oleauto.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "KoComObjects.h"
#include "KoOPCCommon.h"
#include "KoOPCDA.h"
#include "KoOPCCom.h"
#include "KoOPCErrors.h"
#include "KoOle.h"
#include "KoUtils.h"
#include "KoVariants.h"
#include "KoWindows.h"

namespace {

constexpr wchar_t kDefaultProgID[] = L"Korvel.OPC.Simulation";

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitItemFailed = 1; // the server answered, but at least one item failed
constexpr int kExitUsage = 2;      // bad arguments
constexpr int kExitServer = 3;     // the server could not be reached or a call on it failed

// ---- output ----

void WriteOut(FILE* Stream, std::string_view Text) {
    std::fwrite(Text.data(), 1, Text.size(), Stream);
}
void Print(std::string_view Text) {
    WriteOut(stdout, Text);
}
std::string U8(std::wstring_view Text) {
    return KoUtf8(Text);
}

std::string HexCode(HRESULT Code) {
    char Buffer[16];
    std::snprintf(Buffer, sizeof Buffer, "0x%08lX", static_cast<unsigned long>(Code));
    return Buffer;
}

// A usage error: printed with a pointer to the help, exit code kExitUsage.
struct TUsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A failed call on the server (or on COM while reaching it): exit code kExitServer.
struct TServerError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class TFormat { Table, Csv, Json };

// Rows of text cells under named columns, printed in the chosen format.
struct TTable {
    std::vector<std::string> Columns;
    std::vector<std::vector<std::string>> Rows;
};

std::string CsvCell(const std::string& Text) {
    if (Text.find_first_of(",\"\r\n") == std::string::npos) return Text;
    std::string Out = "\"";
    for (char C : Text) {
        if (C == '"') Out += '"';
        Out += C;
    }
    return Out + '"';
}

std::string JsonString(const std::string& Text) {
    std::string Out = "\"";
    for (unsigned char C : Text) {
        switch (C) {
        case '"':
            Out += "\\\"";
            break;
        case '\\':
            Out += "\\\\";
            break;
        case '\n':
            Out += "\\n";
            break;
        case '\r':
            Out += "\\r";
            break;
        case '\t':
            Out += "\\t";
            break;
        default:
            if (C < 0x20) {
                char Buffer[8];
                std::snprintf(Buffer, sizeof Buffer, "\\u%04x", C);
                Out += Buffer;
            } else {
                Out += static_cast<char>(C);
            }
        }
    }
    return Out + '"';
}

std::string JsonObject(const std::vector<std::string>& Columns, const std::vector<std::string>& Row) {
    std::string Out = "{";
    for (size_t I = 0; I < Columns.size(); ++I) {
        if (I) Out += ", ";
        Out += JsonString(Columns[I]) + ": " + JsonString(I < Row.size() ? Row[I] : std::string());
    }
    return Out + "}";
}

// The display width of UTF-8 text: its code points.
size_t Width(const std::string& Text) {
    return static_cast<size_t>(std::count_if(
        Text.begin(), Text.end(), [](char C) { return (static_cast<unsigned char>(C) & 0xC0) != 0x80; }));
}

std::string TableLine(const std::vector<std::string>& Cells, const std::vector<size_t>& Widths) {
    std::string Line;
    for (size_t I = 0; I < Cells.size(); ++I) {
        Line += Cells[I];
        if (I + 1 < Cells.size()) Line += std::string(Widths[I] - Width(Cells[I]) + 2, ' ');
    }
    return Line + "\n";
}

void PrintTable(const TTable& Table, TFormat Format) {
    switch (Format) {
    case TFormat::Table: {
        std::vector<size_t> Widths;
        for (const std::string& Column : Table.Columns) Widths.push_back(Width(Column));
        for (const auto& Row : Table.Rows)
            for (size_t I = 0; I < Row.size() && I < Widths.size(); ++I)
                Widths[I] = std::max(Widths[I], Width(Row[I]));
        Print(TableLine(Table.Columns, Widths));
        for (const auto& Row : Table.Rows) Print(TableLine(Row, Widths));
        break;
    }
    case TFormat::Csv: {
        auto Line = [](const std::vector<std::string>& Cells) {
            std::string Out;
            for (size_t I = 0; I < Cells.size(); ++I) Out += (I ? "," : "") + CsvCell(Cells[I]);
            return Out + "\n";
        };
        Print(Line(Table.Columns));
        for (const auto& Row : Table.Rows) Print(Line(Row));
        break;
    }
    case TFormat::Json: {
        Print("[");
        for (size_t I = 0; I < Table.Rows.size(); ++I)
            Print(std::string(I ? ",\n " : "\n ") + JsonObject(Table.Columns, Table.Rows[I]));
        Print(Table.Rows.empty() ? "]\n" : "\n]\n");
        break;
    }
    }
}

// ---- owners of what the server hands out ----

struct TTaskFree {
    void operator()(void* P) const noexcept { CoTaskMemFree(P); }
};
template <class T> using TTaskPtr = std::unique_ptr<T, TTaskFree>;

std::wstring TakeString(wchar_t* Text) {
    TTaskPtr<wchar_t> Owned(Text);
    return Owned ? std::wstring(Owned.get()) : std::wstring();
}

// ---- values as locale-independent text ----

std::string FloatText(double Value, bool Single) {
    if (std::isnan(Value)) return "NaN";
    if (std::isinf(Value)) return Value > 0 ? "INF" : "-INF";
    char Buffer[64];
    const auto Result = Single ? std::to_chars(Buffer, Buffer + sizeof Buffer, static_cast<float>(Value))
                               : std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
    return std::string(Buffer, Result.ptr);
}

// yyyy-mm-ddThh:nn:ss.zzz of a variant date (no zone conversion).
std::string DateText(double Date) {
    SYSTEMTIME Time{};
    if (!KoDateTimeToSystemTime(Date, Time)) return FloatText(Date, false);
    char Buffer[40];
    std::snprintf(Buffer, sizeof Buffer, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", Time.wYear, Time.wMonth,
                  Time.wDay, Time.wHour, Time.wMinute, Time.wSecond, Time.wMilliseconds);
    return Buffer;
}

// ISO 8601 UTC text of a FILETIME; empty for none.
std::string FileTimeText(const FILETIME& Time) {
    if (Time.dwHighDateTime == 0 && Time.dwLowDateTime == 0) return {};
    SYSTEMTIME S{};
    if (!FileTimeToSystemTime(&Time, &S)) return {};
    char Buffer[40];
    std::snprintf(Buffer, sizeof Buffer, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", S.wYear, S.wMonth, S.wDay,
                  S.wHour, S.wMinute, S.wSecond, S.wMilliseconds);
    return Buffer;
}

std::string ValueText(const VARIANT& V);

std::string ArrayText(const VARIANT& V) {
    SAFEARRAY* Array = (V.vt & VT_BYREF) ? *V.pparray : V.parray;
    if (!Array) return "[]";
    if (SafeArrayGetDim(Array) != 1)
        return "<array of " + std::to_string(SafeArrayGetDim(Array)) + " dimensions>";
    LONG Low = 0, High = -1;
    SafeArrayGetLBound(Array, 1, &Low);
    SafeArrayGetUBound(Array, 1, &High);
    std::string Out = "[";
    for (LONG I = Low; I <= High; ++I) {
        if (I > Low) Out += ";";
        LONG Index = I;
        Out += ValueText(KoSafeArrayGetVariant(Array, &Index).Get());
    }
    return Out + "]";
}

// The value's text: numbers with a point and the shortest digits that read back to the same
// value, dates as yyyy-mm-ddThh:nn:ss.zzz, booleans True/False, one-dimensional arrays as
// [a;b;c], "#EMPTY" and "#NULL" for no value.
std::string ValueText(const VARIANT& V) {
    if (V.vt & VT_ARRAY) return ArrayText(V);
    if (V.vt & VT_BYREF) {
        TKoOleVariant Copy;
        if (FAILED(VariantCopyInd(Copy.Receive(), KoIn(V)))) return "<reference>";
        return ValueText(Copy.Get());
    }
    switch (V.vt) {
    case VT_EMPTY:
        return "#EMPTY";
    case VT_NULL:
        return "#NULL";
    case VT_BOOL:
        return V.boolVal ? "True" : "False";
    case VT_I1:
        return std::to_string(static_cast<int>(V.cVal));
    case VT_I2:
        return std::to_string(V.iVal);
    case VT_I4:
        return std::to_string(V.lVal);
    case VT_INT:
        return std::to_string(V.intVal);
    case VT_I8:
        return std::to_string(V.llVal);
    case VT_UI1:
        return std::to_string(static_cast<unsigned>(V.bVal));
    case VT_UI2:
        return std::to_string(V.uiVal);
    case VT_UI4:
        return std::to_string(V.ulVal);
    case VT_UINT:
        return std::to_string(V.uintVal);
    case VT_UI8:
        return std::to_string(V.ullVal);
    case VT_R4:
        return FloatText(V.fltVal, true);
    case VT_R8:
        return FloatText(V.dblVal, false);
    case VT_CY: {
        const long long Units = V.cyVal.int64;
        std::string Out = Units < 0 ? "-" : "";
        const unsigned long long Abs = Units < 0 ? 0ull - static_cast<unsigned long long>(Units) : Units;
        Out += std::to_string(Abs / 10000);
        if (unsigned long long Fraction = Abs % 10000) {
            char Buffer[8];
            std::snprintf(Buffer, sizeof Buffer, ".%04llu", Fraction);
            std::string Digits = Buffer;
            Digits.erase(Digits.find_last_not_of('0') + 1);
            Out += Digits;
        }
        return Out;
    }
    case VT_DATE:
        return DateText(V.date);
    case VT_BSTR:
        return V.bstrVal ? U8(std::wstring_view(V.bstrVal, SysStringLen(V.bstrVal))) : std::string();
    case VT_ERROR:
        return "Error(" + HexCode(V.scode) + ")";
    default: {
        TKoOleVariant Text;
        if (SUCCEEDED(VariantChangeTypeEx(Text.Receive(), KoIn(V), LOCALE_INVARIANT, 0, VT_BSTR)) &&
            Text.Get().bstrVal)
            return U8(Text.Get().bstrVal);
        return "<type " + std::to_string(V.vt) + ">";
    }
    }
}

std::string TypeText(VARTYPE Type) {
    return U8(VarTypeToText(Type));
}

// ---- text to value, for writes ----

struct TParseError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Lower(std::string Text) {
    for (char& C : Text) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    return Text;
}

std::optional<long long> ParseSigned(const std::string& Text) {
    long long Value = 0;
    const auto Result = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Result.ec != std::errc() || Result.ptr != Text.data() + Text.size()) return std::nullopt;
    return Value;
}

std::optional<double> ParseDouble(const std::string& Text) {
    const std::string L = Lower(Text);
    if (L == "nan") return std::nan("");
    if (L == "inf" || L == "+inf") return HUGE_VAL;
    if (L == "-inf") return -HUGE_VAL;
    double Value = 0;
    const char* Begin = Text.data() + (Text.size() > 1 && Text[0] == '+' ? 1 : 0);
    const auto Result = std::from_chars(Begin, Text.data() + Text.size(), Value);
    if (Result.ec != std::errc() || Result.ptr != Text.data() + Text.size()) return std::nullopt;
    return Value;
}

std::optional<bool> ParseBool(const std::string& Text) {
    const std::string L = Lower(Text);
    if (L == "true" || L == "1" || L == "-1") return true;
    if (L == "false" || L == "0") return false;
    return std::nullopt;
}

// yyyy-mm-dd[Thh:nn[:ss[.zzz]]] (a blank may replace the T).
std::optional<double> ParseDate(const std::string& Text) {
    unsigned Y = 0, Mo = 0, D = 0, H = 0, Mi = 0, S = 0, Ms = 0;
    char Sep = 'T';
    int Fields =
        std::sscanf(Text.c_str(), "%4u-%2u-%2u%c%2u:%2u:%2u.%3u", &Y, &Mo, &D, &Sep, &H, &Mi, &S, &Ms);
    if (Fields < 3 || (Fields > 3 && Sep != 'T' && Sep != ' ') || Fields == 4 || Fields == 5)
        return std::nullopt;
    SYSTEMTIME Time{};
    Time.wYear = static_cast<WORD>(Y);
    Time.wMonth = static_cast<WORD>(Mo);
    Time.wDay = static_cast<WORD>(D);
    Time.wHour = static_cast<WORD>(H);
    Time.wMinute = static_cast<WORD>(Mi);
    Time.wSecond = static_cast<WORD>(S);
    Time.wMilliseconds = static_cast<WORD>(Ms);
    if (Mo < 1 || Mo > 12 || D < 1 || D > 31 || H > 23 || Mi > 59 || S > 59) return std::nullopt;
    return KoSystemTimeToDateTime(Time);
}

TKoOleVariant ChangeType(const TKoOleVariant& From, VARTYPE Type, const std::string& Text) {
    TKoOleVariant To;
    const HRESULT Result = VariantChangeTypeEx(To.Receive(), KoIn(From.Get()), LOCALE_INVARIANT, 0, Type);
    if (FAILED(Result))
        throw TParseError("'" + Text + "' does not fit " + TypeText(Type) + " (" + HexCode(Result) + " " +
                          U8(OPCErrorText(Result)) + ")");
    return To;
}

TKoOleVariant ParseValue(const std::string& Text, VARTYPE Type);

TKoOleVariant ParseArray(const std::string& Text, VARTYPE ElementType) {
    if (Text.size() < 2 || Text.front() != '[' || Text.back() != ']')
        throw TParseError("'" + Text + "' is no array: write [a;b;c]");
    std::vector<std::string> Elements;
    const std::string Inner = Text.substr(1, Text.size() - 2);
    if (!Inner.empty())
        for (size_t Start = 0;;) {
            const size_t End = Inner.find(';', Start);
            Elements.push_back(
                Inner.substr(Start, End == std::string::npos ? std::string::npos : End - Start));
            if (End == std::string::npos) break;
            Start = End + 1;
        }
    SAFEARRAY* Array = SafeArrayCreateVector(ElementType, 0, static_cast<ULONG>(Elements.size()));
    if (!Array) throw std::bad_alloc();
    TKoOleVariant Result = TKoOleVariant::TakeArray(ElementType, Array);
    for (size_t I = 0; I < Elements.size(); ++I) {
        LONG Index = static_cast<LONG>(I);
        KoSafeArrayPutVariant(Array, &Index,
                              ParseValue(std::string(KoUtf8(KoTrim(KoWide(Elements[I])))), ElementType));
    }
    return Result;
}

// The value of Text for an item of canonical type Type. An item without a fixed type
// (VT_EMPTY, VT_VARIANT) gets a boolean, an integer, a real, a date or else the string.
TKoOleVariant ParseValue(const std::string& Text, VARTYPE Type) {
    if (Type & VT_ARRAY) return ParseArray(Text, static_cast<VARTYPE>(Type & VT_TYPEMASK));
    auto Fail = [&] { return TParseError("'" + Text + "' is no " + TypeText(Type)); };
    switch (Type) {
    case VT_BSTR:
        return TKoOleVariant(KoWide(Text));
    case VT_BOOL: {
        const auto B = ParseBool(Text);
        if (!B) throw Fail();
        return TKoOleVariant(*B);
    }
    case VT_DATE: {
        const auto D = ParseDate(Text);
        if (!D) throw Fail();
        return TKoOleVariant::Date(*D);
    }
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_UI8: {
        const auto I = ParseSigned(Text);
        if (!I) throw Fail();
        TKoOleVariant From;
        From.Get().vt = VT_I8;
        From.Get().llVal = *I;
        return ChangeType(From, Type, Text);
    }
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL: {
        const auto D = ParseDouble(Text);
        if (!D) throw Fail();
        return ChangeType(TKoOleVariant(*D), Type, Text);
    }
    case VT_EMPTY:
    case VT_VARIANT:
        if (Lower(Text) == "true" || Lower(Text) == "false") return TKoOleVariant(*ParseBool(Text));
        if (const auto I = ParseSigned(Text)) {
            if (*I >= INT32_MIN && *I <= INT32_MAX) return TKoOleVariant(static_cast<int32_t>(*I));
            return ParseValue(Text, VT_I8);
        }
        if (const auto D = ParseDouble(Text)) return TKoOleVariant(*D);
        if (const auto D = ParseDate(Text)) return TKoOleVariant::Date(*D);
        return TKoOleVariant(KoWide(Text));
    default:
        throw TParseError("cannot write values of type " + TypeText(Type));
    }
}

// ---- the session with one server ----

std::string ErrorTextOf(IOPCServer* Server, HRESULT Code) {
    if (Server) {
        LPWSTR Text = nullptr;
        if (SUCCEEDED(Server->GetErrorString(Code, LOCALE_SYSTEM_DEFAULT, &Text))) {
            std::wstring Owned = TakeString(Text);
            while (!Owned.empty() && (Owned.back() == L'\n' || Owned.back() == L'\r')) Owned.pop_back();
            if (!Owned.empty()) return U8(Owned);
        }
    }
    return U8(OPCErrorText(Code));
}

class TSession {
public:
    TSession(const std::wstring& ProgID, const std::wstring& ClassIDText) {
        CLSID ClassID{};
        if (!ClassIDText.empty()) {
            std::wstring Braced = ClassIDText.front() == L'{' ? ClassIDText : L"{" + ClassIDText + L"}";
            if (FAILED(CLSIDFromString(Braced.c_str(), &ClassID)))
                throw TUsageError("malformed class ID '" + U8(ClassIDText) + "'");
            FName = U8(Braced);
        } else {
            FName = U8(ProgID);
            const HRESULT Found = CLSIDFromProgID(ProgID.c_str(), &ClassID);
            if (FAILED(Found))
                throw TServerError("no server registered as " + FName + ": " + HexCode(Found) + " " +
                                   U8(OPCErrorText(Found)));
        }
        const HRESULT Created = CoCreateInstance(ClassID, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER,
                                                 IID_PPV_ARGS(&FServer));
        if (FAILED(Created))
            throw TServerError("cannot connect to " + FName + ": " + HexCode(Created) + " " +
                               U8(OPCErrorText(Created)));
        ComPtr<IOPCCommon> Common;
        if (SUCCEEDED(FServer.As(&Common))) Common->SetClientName(L"koopc");
    }

    IOPCServer* Server() const { return FServer.Get(); }
    std::string ErrorText(HRESULT Code) const { return ErrorTextOf(FServer.Get(), Code); }
    // "0xC0040007 Unknown ItemID": the code and the server's own text of it.
    std::string CodeText(HRESULT Code) const { return HexCode(Code) + " " + ErrorText(Code); }

    // Throws TServerError for a failed call.
    void Check(HRESULT Code, const char* Call) const {
        if (FAILED(Code)) throw TServerError(std::string(Call) + " failed: " + CodeText(Code));
    }

    template <class T> ComPtr<T> Interface(const char* Name) const {
        ComPtr<T> Result;
        const HRESULT Code = FServer.As(&Result);
        if (FAILED(Code))
            throw TServerError(FName + " does not offer " + Name + ": " + HexCode(Code) + " " +
                               U8(OPCErrorText(Code)));
        return Result;
    }

private:
    std::string FName;
    ComPtr<IOPCServer> FServer;
};

// A private group of the session's server, removed again at the end.
class TGroup {
public:
    TGroup(const TSession& Session, DWORD Rate, bool Active) : FSession(Session) {
        IUnknown* Unknown = nullptr;
        OPCHANDLE Handle = 0;
        Session.Check(Session.Server()->AddGroup(L"", Active, Rate, 1, nullptr, nullptr,
                                                 LOCALE_SYSTEM_DEFAULT, &Handle, &FRevisedRate,
                                                 IID_IOPCItemMgt, &Unknown),
                      "IOPCServer::AddGroup");
        FHandle = Handle;
        FItems = KoAdopt(static_cast<IOPCItemMgt*>(Unknown));
    }
    ~TGroup() {
        FItems.Reset();
        FSession.Server()->RemoveGroup(FHandle, FALSE);
    }
    TGroup(const TGroup&) = delete;
    TGroup& operator=(const TGroup&) = delete;

    IOPCItemMgt* Items() const { return FItems.Get(); }
    DWORD RevisedRate() const { return FRevisedRate; }

    struct TItem {
        std::wstring ID;
        HRESULT Result = E_FAIL;
        OPCHANDLE ServerHandle = 0;
        VARTYPE Type = VT_EMPTY;
        DWORD Rights = 0;
    };

    // Adds the items, client handle = index; each item's result in the returned list.
    std::vector<TItem> Add(const std::vector<std::wstring>& IDs) {
        std::vector<TItem> Items(IDs.size());
        std::vector<OPCITEMDEF> Defs(IDs.size());
        for (size_t I = 0; I < IDs.size(); ++I) {
            Items[I].ID = IDs[I];
            Defs[I].szAccessPath = const_cast<wchar_t*>(L"");
            Defs[I].szItemID = Items[I].ID.data();
            Defs[I].bActive = TRUE;
            Defs[I].hClient = static_cast<OPCHANDLE>(I);
            Defs[I].vtRequestedDataType = VT_EMPTY;
        }
        OPCITEMRESULT* RawResults = nullptr;
        HRESULT* RawErrors = nullptr;
        const HRESULT Code =
            FItems->AddItems(static_cast<DWORD>(Defs.size()), Defs.data(), &RawResults, &RawErrors);
        TTaskPtr<OPCITEMRESULT> Results(RawResults);
        TTaskPtr<HRESULT> Errors(RawErrors);
        FSession.Check(Code, "IOPCItemMgt::AddItems");
        for (size_t I = 0; I < Items.size(); ++I) {
            Items[I].Result = Errors ? Errors.get()[I] : Code;
            if (Results) {
                const OPCITEMRESULT& R = Results.get()[I];
                CoTaskMemFree(R.pBlob);
                if (SUCCEEDED(Items[I].Result)) {
                    Items[I].ServerHandle = R.hServer;
                    Items[I].Type = R.vtCanonicalDataType;
                    Items[I].Rights = R.dwAccessRights;
                }
            }
        }
        return Items;
    }

private:
    const TSession& FSession;
    ComPtr<IOPCItemMgt> FItems;
    OPCHANDLE FHandle = 0;
    DWORD FRevisedRate = 0;
};

// ---- arguments ----

struct TArgs {
    std::wstring ProgID = kDefaultProgID;
    std::wstring ClassID;
    TFormat Format = TFormat::Table;
    std::wstring Verb;
    bool Help = false;
    std::vector<std::wstring> Operands;
    // Verb options.
    bool Flat = false;
    std::wstring Filter;
    bool Device = false;
    DWORD Rate = 1000;
    long long Count = -1;
    double ForSeconds = -1;
};

std::wstring StdinText() {
    std::string Bytes;
    char Buffer[4096];
    for (size_t N; (N = std::fread(Buffer, 1, sizeof Buffer, stdin)) > 0;) Bytes.append(Buffer, N);
    return KoWide(Bytes);
}

// The operands with every "-" replaced by the non-empty lines of standard input.
std::vector<std::wstring> ExpandStdin(const std::vector<std::wstring>& Operands) {
    std::vector<std::wstring> Out;
    bool Read = false;
    for (const std::wstring& Operand : Operands) {
        if (Operand != L"-") {
            Out.push_back(Operand);
            continue;
        }
        if (Read) throw TUsageError("'-' (standard input) may be given once");
        Read = true;
        const std::wstring Text = StdinText();
        for (size_t Start = 0; Start < Text.size();) {
            size_t End = Text.find(L'\n', Start);
            if (End == std::wstring::npos) End = Text.size();
            std::wstring Line = KoTrim(std::wstring_view(Text).substr(Start, End - Start));
            if (!Line.empty() && Line[0] != L'#') Out.push_back(Line);
            Start = End + 1;
        }
    }
    return Out;
}

long long NumberOption(const std::wstring& Name, const std::wstring& Text, long long Min, long long Max) {
    const auto Value = ParseSigned(U8(Text));
    if (!Value || *Value < Min || *Value > Max)
        throw TUsageError(U8(Name) + " needs a whole number from " + std::to_string(Min) + " to " +
                          std::to_string(Max) + ", not '" + U8(Text) + "'");
    return *Value;
}

TArgs ParseArgs(int argc, wchar_t** argv) {
    TArgs Args;
    for (int I = 1; I < argc; ++I) {
        const std::wstring A = argv[I];
        auto Value = [&]() -> std::wstring {
            if (I + 1 >= argc) throw TUsageError(U8(A) + " needs a value");
            return argv[++I];
        };
        if (A == L"--help" || A == L"-h" || A == L"/?") {
            Args.Help = true;
        } else if (A == L"--progid") {
            Args.ProgID = Value();
        } else if (A == L"--clsid") {
            Args.ClassID = Value();
        } else if (A == L"--format") {
            const std::wstring F = Value();
            if (F == L"table")
                Args.Format = TFormat::Table;
            else if (F == L"csv")
                Args.Format = TFormat::Csv;
            else if (F == L"json")
                Args.Format = TFormat::Json;
            else
                throw TUsageError("--format is table, csv or json, not '" + U8(F) + "'");
        } else if (A == L"--flat") {
            Args.Flat = true;
        } else if (A == L"--filter") {
            Args.Filter = Value();
        } else if (A == L"--device") {
            Args.Device = true;
        } else if (A == L"--rate") {
            Args.Rate = static_cast<DWORD>(NumberOption(A, Value(), 0, 3600000));
        } else if (A == L"--count") {
            Args.Count = NumberOption(A, Value(), 1, 1000000000);
        } else if (A == L"--for") {
            const auto Seconds = ParseDouble(U8(Value()));
            if (!Seconds || !(*Seconds > 0) || *Seconds > 86400)
                throw TUsageError("--for needs a number of seconds above 0, up to 86400");
            Args.ForSeconds = *Seconds;
        } else if (A.size() > 1 && A[0] == L'-' && A != L"-") {
            throw TUsageError("unknown option " + U8(A));
        } else if (Args.Verb.empty()) {
            Args.Verb = A;
        } else {
            Args.Operands.push_back(A);
        }
    }
    return Args;
}

// ---- help ----

constexpr char kHelp[] = R"(koopc: a command-line client of OPC Data Access 2.0 servers.

Usage: koopc [OPTIONS] VERB [ARGUMENTS]

Verbs:
  list                      the OPC Data Access servers registered on this machine
  info                      the server's state, vendor text, version, times and group count
  browse [PATH]             the branches and leaves under PATH (the root when none)
         [--flat] [--filter TEXT]
  props ITEM                the properties of one item with their values
  read ITEM... [--device]   the items' values, qualities and timestamps
  write ITEM=VALUE...       writes the values and shows each item's result
  watch ITEM... [--rate MS] [--count N] [--for SECONDS]
                            one line per change the server reports, until N changes,
                            SECONDS or Ctrl-C
  help [VERB]               this text, or the help of one verb (also: VERB --help)

Options:
  --progid PROGID   the server by its ProgID (default: Korvel.OPC.Simulation)
  --clsid CLSID     the server by its class ID ({...}); wins over --progid
  --format FORMAT   table (default), csv or json

An ITEM or ITEM=VALUE argument "-" stands for the lines of standard input (one per line; blank
lines and lines starting with # are skipped), so koopc reads item lists from a pipeline:
  koopc browse Static --flat --format csv | tail -n +2 | cut -d, -f1 | koopc read -

Values are written and shown in one text form, whatever the locale: a point as the decimal
separator, dates as yyyy-mm-ddThh:nn:ss.zzz, booleans True/False, arrays as [a;b;c],
#EMPTY and #NULL for no value. Timestamps are UTC (ISO 8601).

Every error names its result code in hex and the server's own text of it.
Exit codes: 0 success; 1 at least one item failed; 2 bad arguments; 3 the server could not be
reached or a call on it failed.
)";

const char* VerbHelp(const std::wstring& Verb) {
    if (Verb == L"list")
        return R"(koopc list

The OPC Data Access servers registered on this machine, from the OPC component categories
(DA 1.0 and DA 2.0): class ID, ProgID, name and the DA versions each one names.
)";
    if (Verb == L"info")
        return R"(koopc [--progid P | --clsid C] info

The server's status: state, vendor text, version, start time, current time, time of the last
update, the number of groups (all its clients) and the fixed seed of its random source (which
KoOPCServer names in its vendor text; "not fixed" when the clock seeds it).
)";
    if (Verb == L"browse")
        return R"(koopc browse [PATH] [--flat] [--filter TEXT]

The branches and leaves under PATH (the root when none), each with its full item ID.
--flat      lists every item ID of the server's address space (from PATH on, when given)
--filter    the server's filter of names (e.g. Ko*)
)";
    if (Verb == L"props")
        return R"(koopc props ITEM

The properties the server gives for ITEM: ID, description, type, value, and the error of a
property that failed.
)";
    if (Verb == L"read")
        return R"(koopc read ITEM... [--device]

Reads the items through a private group: value, canonical type, quality, timestamp (UTC) and
the error of an item that failed. Reads from the server's cache unless --device is given.
ITEM "-" reads the item IDs from standard input.
)";
    if (Verb == L"write")
        return R"(koopc write ITEM=VALUE...

Writes each VALUE to its ITEM (synchronously) and shows each result. The value text is read
for the item's canonical type: numbers with a point, True/False, yyyy-mm-ddThh:nn:ss.zzz,
arrays as [a;b;c]. ITEM=VALUE "-" reads the lines ITEM=VALUE from standard input.
)";
    if (Verb == L"watch")
        return R"(koopc watch ITEM... [--rate MS] [--count N] [--for SECONDS]

Subscribes to the items (an active group with update rate MS, 1000 by default, and a data
callback) and prints one line per change as the server reports it: time (UTC), item, value,
quality. Ends after N changes, after SECONDS, or on Ctrl-C; in csv and json one record per line.
ITEM "-" reads the item IDs from standard input.
)";
    return nullptr;
}

// ---- verbs ----

struct TContext {
    TArgs Args;
    std::optional<TSession> Session;
    TSession& Connect() {
        if (!Session) Session.emplace(Args.ProgID, Args.ClassID);
        return *Session;
    }
};

int DoList(TContext& C) {
    ComPtr<ICatInformation> Categories;
    HRESULT Code = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_PPV_ARGS(&Categories));
    if (FAILED(Code))
        throw TServerError("the component categories cannot be read: " + HexCode(Code) + " " +
                           U8(OPCErrorText(Code)));
    struct TServer {
        CLSID ClassID;
        bool Da10 = false, Da20 = false;
    };
    std::vector<TServer> Servers;
    const std::pair<CATID, bool> Ids[] = {{CATID_OPCDAServer10, false}, {CATID_OPCDAServer20, true}};
    for (const auto& [Id, Is20] : Ids) {
        CATID Category = Id;
        IEnumCLSID* RawEnum = nullptr;
        Code = Categories->EnumClassesOfCategories(1, &Category, static_cast<ULONG>(-1), nullptr, &RawEnum);
        ComPtr<IEnumCLSID> Enum = KoAdopt(RawEnum);
        if (FAILED(Code) || !Enum) continue;
        CLSID Found{};
        ULONG Fetched = 0;
        while (Enum->Next(1, &Found, &Fetched) == S_OK && Fetched == 1) {
            auto It = std::find_if(Servers.begin(), Servers.end(),
                                   [&](const TServer& S) { return IsEqualCLSID(S.ClassID, Found); });
            if (It == Servers.end()) It = Servers.insert(Servers.end(), TServer{Found});
            (Is20 ? It->Da20 : It->Da10) = true;
        }
    }
    TTable Table{{"clsid", "progid", "name", "versions"}, {}};
    for (const TServer& S : Servers) {
        wchar_t ClassText[40] = {};
        StringFromGUID2(S.ClassID, ClassText, 40);
        LPOLESTR ProgID = nullptr;
        const std::wstring ProgText =
            SUCCEEDED(ProgIDFromCLSID(S.ClassID, &ProgID)) ? TakeString(ProgID) : L"";
        wchar_t Name[512] = {};
        DWORD Size = sizeof Name;
        const std::wstring Key = std::wstring(L"CLSID\\") + ClassText;
        if (RegGetValueW(HKEY_CLASSES_ROOT, Key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, Name, &Size) !=
            ERROR_SUCCESS)
            Name[0] = 0;
        std::string Versions = S.Da10 ? (S.Da20 ? "DA1.0 DA2.0" : "DA1.0") : "DA2.0";
        Table.Rows.push_back({U8(ClassText), U8(ProgText), U8(Name), Versions});
    }
    PrintTable(Table, C.Args.Format);
    return kExitOk;
}

// The fixed seed of the server's random source, which KoOPCServer names at the end of its vendor
// text ("... (seed N)"); "not fixed" when the text names none.
std::string SeedOf(const std::wstring& Vendor) {
    const size_t At = Vendor.rfind(L" (seed ");
    if (At == std::wstring::npos || Vendor.back() != L')') return "not fixed";
    return U8(Vendor.substr(At + 7, Vendor.size() - At - 8));
}

int DoInfo(TContext& C) {
    TSession& S = C.Connect();
    OPCSERVERSTATUS* Raw = nullptr;
    const HRESULT Code = S.Server()->GetStatus(&Raw);
    TTaskPtr<OPCSERVERSTATUS> Status(Raw);
    TTaskPtr<wchar_t> VendorText(Status ? Status->szVendorInfo : nullptr);
    S.Check(Code, "IOPCServer::GetStatus");
    if (!Status) throw TServerError("IOPCServer::GetStatus gave no status");
    const std::wstring Vendor = VendorText ? VendorText.get() : L"";
    const std::string Version = std::to_string(Status->wMajorVersion) + "." +
                                std::to_string(Status->wMinorVersion) + "." +
                                std::to_string(Status->wBuildNumber);
    TTable Table{{"field", "value"},
                 {{"state", U8(OPCServerStateText(Status->dwServerState))},
                  {"vendor", U8(Vendor)},
                  {"version", Version},
                  {"start_time", FileTimeText(Status->ftStartTime)},
                  {"current_time", FileTimeText(Status->ftCurrentTime)},
                  {"last_update_time", FileTimeText(Status->ftLastUpdateTime)},
                  {"groups", std::to_string(Status->dwGroupCount)},
                  {"seed", SeedOf(Vendor)},
                  {"bandwidth", std::to_string(Status->dwBandWidth)}}};
    if (C.Args.Format == TFormat::Json) {
        std::string Out = "{";
        for (size_t I = 0; I < Table.Rows.size(); ++I)
            Out += (I ? ", " : "") + JsonString(Table.Rows[I][0]) + ": " + JsonString(Table.Rows[I][1]);
        Print(Out + "}\n");
    } else {
        PrintTable(Table, C.Args.Format);
    }
    return kExitOk;
}

std::vector<std::wstring> Drain(IEnumString* Strings) {
    std::vector<std::wstring> All;
    if (!Strings) return All;
    for (;;) {
        LPOLESTR Batch[16] = {};
        ULONG Fetched = 0;
        const HRESULT Code = Strings->Next(16, Batch, &Fetched);
        for (ULONG I = 0; I < Fetched; ++I) All.push_back(TakeString(Batch[I]));
        if (Code != S_OK || Fetched == 0) return All;
    }
}

int DoBrowse(TContext& C) {
    if (C.Args.Operands.size() > 1) throw TUsageError("browse takes one PATH at most");
    TSession& S = C.Connect();
    ComPtr<IOPCBrowseServerAddressSpace> Browse =
        S.Interface<IOPCBrowseServerAddressSpace>("IOPCBrowseServerAddressSpace");
    const std::wstring Path = C.Args.Operands.empty() ? L"" : C.Args.Operands[0];
    OPCNAMESPACETYPE Organization = OPC_NS_FLAT;
    S.Check(Browse->QueryOrganization(&Organization), "IOPCBrowseServerAddressSpace::QueryOrganization");
    if (Organization == OPC_NS_HIERARCHIAL && (!Path.empty() || !C.Args.Flat)) {
        const HRESULT Moved = Browse->ChangeBrowsePosition(OPC_BROWSE_TO, Path.c_str());
        if (FAILED(Moved)) throw TServerError("cannot browse to '" + U8(Path) + "': " + S.CodeText(Moved));
    }
    auto List = [&](OPCBROWSETYPE Type) {
        LPENUMSTRING Raw = nullptr;
        const HRESULT Code = Browse->BrowseOPCItemIDs(Type, C.Args.Filter.c_str(), VT_EMPTY, 0, &Raw);
        ComPtr<IEnumString> Strings = KoAdopt(Raw);
        S.Check(Code, "IOPCBrowseServerAddressSpace::BrowseOPCItemIDs");
        return Drain(Strings.Get());
    };
    auto ItemID = [&](std::wstring Name) {
        LPWSTR Raw = nullptr;
        const HRESULT Code = Browse->GetItemID(Name.data(), &Raw);
        std::wstring ID = TakeString(Raw);
        return SUCCEEDED(Code) ? ID : std::wstring();
    };
    TTable Table{{"kind", "name", "item_id"}, {}};
    if (C.Args.Flat || Organization == OPC_NS_FLAT) {
        for (const std::wstring& ID : List(OPC_FLAT)) Table.Rows.push_back({"item", U8(ID), U8(ID)});
    } else {
        for (const std::wstring& Name : List(OPC_BRANCH))
            Table.Rows.push_back({"branch", U8(Name), U8(ItemID(Name))});
        for (const std::wstring& Name : List(OPC_LEAF))
            Table.Rows.push_back({"leaf", U8(Name), U8(ItemID(Name))});
    }
    PrintTable(Table, C.Args.Format);
    return kExitOk;
}

int DoProps(TContext& C) {
    if (C.Args.Operands.size() != 1) throw TUsageError("props takes exactly one ITEM");
    TSession& S = C.Connect();
    ComPtr<IOPCItemProperties> Properties = S.Interface<IOPCItemProperties>("IOPCItemProperties");
    std::wstring Item = C.Args.Operands[0];
    DWORD Count = 0;
    DWORD* RawIds = nullptr;
    LPWSTR* RawDescriptions = nullptr;
    VARTYPE* RawTypes = nullptr;
    HRESULT Code =
        Properties->QueryAvailableProperties(Item.data(), &Count, &RawIds, &RawDescriptions, &RawTypes);
    TTaskPtr<DWORD> Ids(RawIds);
    TTaskPtr<LPWSTR> Descriptions(RawDescriptions);
    TTaskPtr<VARTYPE> Types(RawTypes);
    std::vector<std::wstring> DescriptionTexts;
    for (DWORD I = 0; Descriptions && I < Count; ++I)
        DescriptionTexts.push_back(TakeString(Descriptions.get()[I]));
    if (FAILED(Code)) {
        std::fprintf(stderr, "koopc: %s: %s\n", U8(Item).c_str(), S.CodeText(Code).c_str());
        return kExitItemFailed;
    }
    VARIANT* RawValues = nullptr;
    HRESULT* RawErrors = nullptr;
    Code = Properties->GetItemProperties(Item.data(), Count, Ids.get(), &RawValues, &RawErrors);
    TTaskPtr<VARIANT> Values(RawValues);
    TTaskPtr<HRESULT> Errors(RawErrors);
    struct TClear {
        VARIANT* Values;
        DWORD Count;
        ~TClear() {
            for (DWORD I = 0; Values && I < Count; ++I) VariantClear(&Values[I]);
        }
    } Clear{Values.get(), Count};
    S.Check(Code, "IOPCItemProperties::GetItemProperties");
    TTable Table{{"id", "description", "type", "value", "error"}, {}};
    int Exit = kExitOk;
    for (DWORD I = 0; I < Count; ++I) {
        const HRESULT Error = Errors ? Errors.get()[I] : S_OK;
        if (FAILED(Error)) Exit = kExitItemFailed;
        Table.Rows.push_back({std::to_string(Ids.get()[I]), U8(DescriptionTexts[I]), TypeText(Types.get()[I]),
                              SUCCEEDED(Error) && Values ? ValueText(Values.get()[I]) : "",
                              FAILED(Error) ? S.CodeText(Error) : ""});
    }
    PrintTable(Table, C.Args.Format);
    return Exit;
}

std::string QualityText(WORD Quality) {
    return U8(OPCQualityText(Quality));
}

int DoRead(TContext& C) {
    const std::vector<std::wstring> IDs = ExpandStdin(C.Args.Operands);
    if (IDs.empty()) throw TUsageError("read needs at least one ITEM");
    TSession& S = C.Connect();
    TGroup Group(S, 1000, true);
    std::vector<TGroup::TItem> Items = Group.Add(IDs);
    std::vector<OPCHANDLE> Handles;
    std::vector<size_t> Index;
    for (size_t I = 0; I < Items.size(); ++I)
        if (SUCCEEDED(Items[I].Result)) {
            Handles.push_back(Items[I].ServerHandle);
            Index.push_back(I);
        }
    std::vector<std::vector<std::string>> Rows(Items.size());
    for (size_t I = 0; I < Items.size(); ++I)
        if (FAILED(Items[I].Result)) Rows[I] = {U8(Items[I].ID), "", "", "", "", S.CodeText(Items[I].Result)};
    if (!Handles.empty()) {
        ComPtr<IOPCSyncIO> Sync;
        S.Check(ComPtr<IOPCItemMgt>(Group.Items()).As(&Sync), "QueryInterface(IOPCSyncIO)");
        OPCITEMSTATE* RawStates = nullptr;
        HRESULT* RawErrors = nullptr;
        const HRESULT Code =
            Sync->Read(C.Args.Device ? OPC_DS_DEVICE : OPC_DS_CACHE, static_cast<DWORD>(Handles.size()),
                       Handles.data(), &RawStates, &RawErrors);
        TTaskPtr<OPCITEMSTATE> States(RawStates);
        TTaskPtr<HRESULT> Errors(RawErrors);
        struct TClear {
            OPCITEMSTATE* States;
            size_t Count;
            ~TClear() {
                for (size_t I = 0; States && I < Count; ++I) VariantClear(&States[I].vDataValue);
            }
        } Clear{States.get(), Handles.size()};
        S.Check(Code, "IOPCSyncIO::Read");
        for (size_t K = 0; K < Handles.size(); ++K) {
            const size_t I = Index[K];
            const HRESULT Error = Errors ? Errors.get()[K] : S_OK;
            const OPCITEMSTATE& State = States.get()[K];
            if (FAILED(Error))
                Rows[I] = {U8(Items[I].ID), "", TypeText(Items[I].Type), "", "", S.CodeText(Error)};
            else
                Rows[I] = {U8(Items[I].ID),
                           ValueText(State.vDataValue),
                           TypeText(Items[I].Type),
                           QualityText(State.wQuality),
                           FileTimeText(State.ftTimeStamp),
                           ""};
            Items[I].Result = Error;
        }
    }
    int Exit = kExitOk;
    for (const TGroup::TItem& Item : Items)
        if (FAILED(Item.Result)) Exit = kExitItemFailed;
    PrintTable(TTable{{"item", "value", "type", "quality", "timestamp", "error"}, std::move(Rows)},
               C.Args.Format);
    return Exit;
}

int DoWrite(TContext& C) {
    const std::vector<std::wstring> Lines = ExpandStdin(C.Args.Operands);
    if (Lines.empty()) throw TUsageError("write needs at least one ITEM=VALUE");
    std::vector<std::wstring> IDs;
    std::vector<std::string> Texts;
    for (const std::wstring& Line : Lines) {
        const size_t Equal = Line.find(L'=');
        if (Equal == std::wstring::npos || Equal == 0)
            throw TUsageError("'" + U8(Line) + "' is no ITEM=VALUE");
        IDs.push_back(KoTrim(std::wstring_view(Line).substr(0, Equal)));
        Texts.push_back(U8(Line.substr(Equal + 1)));
    }
    TSession& S = C.Connect();
    TGroup Group(S, 1000, true);
    std::vector<TGroup::TItem> Items = Group.Add(IDs);
    std::vector<std::string> Errors(Items.size());
    std::vector<OPCHANDLE> Handles;
    std::vector<TKoOleVariant> Values;
    std::vector<size_t> Index;
    for (size_t I = 0; I < Items.size(); ++I) {
        if (FAILED(Items[I].Result)) {
            Errors[I] = S.CodeText(Items[I].Result);
            continue;
        }
        try {
            Values.push_back(ParseValue(Texts[I], Items[I].Type));
        } catch (const TParseError& E) {
            Errors[I] = E.what();
            Items[I].Result = E_INVALIDARG;
            continue;
        }
        Handles.push_back(Items[I].ServerHandle);
        Index.push_back(I);
    }
    if (!Handles.empty()) {
        ComPtr<IOPCSyncIO> Sync;
        S.Check(ComPtr<IOPCItemMgt>(Group.Items()).As(&Sync), "QueryInterface(IOPCSyncIO)");
        std::vector<VARIANT> Raw;
        for (const TKoOleVariant& V : Values) Raw.push_back(V.Get()); // shallow: Values own them
        HRESULT* RawErrors = nullptr;
        const HRESULT Code =
            Sync->Write(static_cast<DWORD>(Handles.size()), Handles.data(), Raw.data(), &RawErrors);
        TTaskPtr<HRESULT> WriteErrors(RawErrors);
        S.Check(Code, "IOPCSyncIO::Write");
        for (size_t K = 0; K < Handles.size(); ++K) {
            const HRESULT Error = WriteErrors ? WriteErrors.get()[K] : S_OK;
            Items[Index[K]].Result = Error;
            if (FAILED(Error)) Errors[Index[K]] = S.CodeText(Error);
        }
    }
    TTable Table{{"item", "value", "result"}, {}};
    int Exit = kExitOk;
    for (size_t I = 0; I < Items.size(); ++I) {
        if (FAILED(Items[I].Result)) Exit = kExitItemFailed;
        Table.Rows.push_back({U8(Items[I].ID), Texts[I], FAILED(Items[I].Result) ? Errors[I] : "OK"});
    }
    PrintTable(Table, C.Args.Format);
    return Exit;
}

// ---- watch ----

HANDLE GStop = nullptr; // the event that ends a watch; set by Ctrl-C

BOOL WINAPI OnConsoleControl(DWORD Type) {
    if (Type == CTRL_C_EVENT || Type == CTRL_BREAK_EVENT) {
        if (GStop) SetEvent(GStop);
        return TRUE;
    }
    return FALSE;
}

// The group's data callback: one line per item change, printed as it comes. Calls arrive on
// RPC threads of the apartment, one group's callbacks never overlapping; the lock keeps lines
// whole against the main thread all the same.
class TWatchSink : public TKoComObject<IOPCDataCallback> {
public:
    TWatchSink(std::vector<std::wstring> IDs, TFormat Format, long long Limit, HANDLE Done)
        : FIDs(std::move(IDs)), FFormat(Format), FLimit(Limit), FDone(Done) {
        for (const std::wstring& ID : FIDs) FWidth = std::max(FWidth, ID.size());
        if (FFormat == TFormat::Table)
            Line({"time", "item", "value", "quality"});
        else if (FFormat == TFormat::Csv)
            Print("time,item,value,quality\n");
    }

    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                              VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                              HRESULT* pErrors) override {
        return KoComCall([&] {
            std::lock_guard Lock(FLock);
            for (DWORD I = 0; I < dwCount; ++I) {
                if (FLimit >= 0 && FLines >= FLimit) break;
                const OPCHANDLE Item = phClientItems[I];
                const std::string ID = Item < FIDs.size() ? U8(FIDs[Item]) : std::to_string(Item);
                const bool Failed = pErrors && FAILED(pErrors[I]);
                std::vector<std::string> Cells = {FileTimeText(pftTimeStamps[I]), ID,
                                                  Failed ? "" : ValueText(pvValues[I]),
                                                  QualityText(pwQualities[I])};
                if (Failed) Cells.push_back(HexCode(pErrors[I]) + " " + U8(OPCErrorText(pErrors[I])));
                Line(Cells);
                ++FLines;
            }
            std::fflush(stdout);
            if (FLimit >= 0 && FLines >= FLimit) SetEvent(FDone);
        });
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                FILETIME*, HRESULT*) override {
        return KoComCall([] {});
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        return KoComCall([] {});
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override {
        return KoComCall([] {});
    }

    long long Lines() {
        std::lock_guard Lock(FLock);
        return FLines;
    }
    // No line after this: the watch has ended.
    void Close() {
        std::lock_guard Lock(FLock);
        FLimit = FLines;
    }

private:
    void Line(const std::vector<std::string>& Cells) {
        static const std::vector<std::string> Columns = {"time", "item", "value", "quality", "error"};
        std::string Out;
        switch (FFormat) {
        case TFormat::Table:
            // Timestamps are 24 characters wide (yyyy-mm-ddThh:nn:ss.zzzZ).
            Out = Cells[0] + std::string(Width(Cells[0]) < 24 ? 24 - Width(Cells[0]) + 2 : 2, ' ') +
                  Cells[1] + std::string(FWidth >= Width(Cells[1]) ? FWidth - Width(Cells[1]) + 2 : 2, ' ') +
                  Cells[2] + "  " + Cells[3];
            if (Cells.size() > 4) Out += "  " + Cells[4];
            break;
        case TFormat::Csv:
            for (size_t I = 0; I < Cells.size(); ++I) Out += (I ? "," : "") + CsvCell(Cells[I]);
            break;
        case TFormat::Json:
            Out =
                JsonObject(std::vector<std::string>(Columns.begin(), Columns.begin() + Cells.size()), Cells);
            break;
        }
        Print(Out + "\n");
    }

    const std::vector<std::wstring> FIDs;
    const TFormat FFormat;
    long long FLimit;
    const HANDLE FDone;
    size_t FWidth = 4;
    std::mutex FLock;
    long long FLines = 0;
};

int DoWatch(TContext& C) {
    const std::vector<std::wstring> IDs = ExpandStdin(C.Args.Operands);
    if (IDs.empty()) throw TUsageError("watch needs at least one ITEM");
    TSession& S = C.Connect();
    TGroup Group(S, C.Args.Rate, true);
    std::vector<TGroup::TItem> Items = Group.Add(IDs);
    int Exit = kExitOk;
    for (const TGroup::TItem& Item : Items)
        if (FAILED(Item.Result)) {
            std::fprintf(stderr, "koopc: %s: %s\n", U8(Item.ID).c_str(), S.CodeText(Item.Result).c_str());
            Exit = kExitItemFailed;
        }
    bool AnyAdded =
        std::any_of(Items.begin(), Items.end(), [](const auto& I) { return SUCCEEDED(I.Result); });
    if (!AnyAdded) return Exit;

    TKoHandle Stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!Stop) throw TServerError("CreateEvent failed");
    // Ctrl-C ends the watch while the event lives.
    struct TCtrlC {
        explicit TCtrlC(HANDLE Stop) {
            GStop = Stop;
            SetConsoleCtrlHandler(OnConsoleControl, TRUE);
        }
        ~TCtrlC() {
            SetConsoleCtrlHandler(OnConsoleControl, FALSE);
            GStop = nullptr;
        }
    } CtrlC(Stop.Get());

    ComPtr<TWatchSink> Sink = KoAdopt(new TWatchSink(IDs, C.Args.Format, C.Args.Count, Stop.Get()));
    ComPtr<IConnectionPointContainer> Container;
    S.Check(ComPtr<IOPCItemMgt>(Group.Items()).As(&Container), "QueryInterface(IConnectionPointContainer)");
    ComPtr<IConnectionPoint> Point;
    S.Check(Container->FindConnectionPoint(IID_IOPCDataCallback, &Point),
            "IConnectionPointContainer::FindConnectionPoint(IOPCDataCallback)");
    DWORD Cookie = 0;
    S.Check(Point->Advise(static_cast<IOPCDataCallback*>(Sink.Get()), &Cookie), "IConnectionPoint::Advise");
    const DWORD Bound = C.Args.ForSeconds > 0 ? static_cast<DWORD>(C.Args.ForSeconds * 1000) : INFINITE;
    WaitForSingleObject(Stop.Get(), Bound);
    Sink->Close();
    Point->Unadvise(Cookie);
    return Exit;
}

int Run(TContext& C) {
    const std::wstring& V = C.Args.Verb;
    if (V == L"help" || V.empty()) {
        if (!C.Args.Operands.empty() && VerbHelp(C.Args.Operands[0])) {
            Print(VerbHelp(C.Args.Operands[0]));
            return kExitOk;
        }
        if (!C.Args.Operands.empty()) throw TUsageError("no verb '" + U8(C.Args.Operands[0]) + "'");
        Print(kHelp);
        if (V.empty() && !C.Args.Help) {
            std::fprintf(stderr, "koopc: no verb given\n");
            return kExitUsage;
        }
        return kExitOk;
    }
    if (!VerbHelp(V)) throw TUsageError("no verb '" + U8(V) + "'");
    if (C.Args.Help) {
        Print(VerbHelp(V));
        return kExitOk;
    }
    if (V == L"list") {
        if (!C.Args.Operands.empty()) throw TUsageError("list takes no arguments");
        return DoList(C);
    }
    if (V == L"info") {
        if (!C.Args.Operands.empty()) throw TUsageError("info takes no arguments");
        return DoInfo(C);
    }
    if (V == L"browse") return DoBrowse(C);
    if (V == L"props") return DoProps(C);
    if (V == L"read") return DoRead(C);
    if (V == L"write") return DoWrite(C);
    return DoWatch(C);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Lines end with LF alone and text is UTF-8, for shells and pipelines.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    const HRESULT Com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(Com)) {
        std::fprintf(stderr, "koopc: COM cannot start: %s\n", HexCode(Com).c_str());
        return kExitServer;
    }
    int Exit = kExitOk;
    {
        TContext Context;
        try {
            Context.Args = ParseArgs(argc, argv);
            Exit = Run(Context);
        } catch (const TUsageError& E) {
            std::fprintf(stderr, "koopc: %s (koopc --help tells more)\n", E.what());
            Exit = kExitUsage;
        } catch (const TServerError& E) {
            std::fprintf(stderr, "koopc: %s\n", E.what());
            Exit = kExitServer;
        } catch (const std::exception& E) {
            std::fprintf(stderr, "koopc: %s\n", E.what());
            Exit = kExitServer;
        }
        std::fflush(stdout);
    }
    CoUninitialize();
    return Exit;
}
