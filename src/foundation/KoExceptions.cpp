#include "KoExceptions.h"

#include <charconv>
#include <utility>

#include "KoUtils.h"

EKoError::EKoError(std::wstring AMessage) {
    SetMessage(std::move(AMessage));
}

void EKoError::SetMessage(std::wstring AMessage) {
    FUtf8 = KoUtf8(AMessage);
    FMessage = std::move(AMessage);
}

EKoOleError::EKoOleError(HRESULT AErrorCode, std::wstring AMessage)
    : EKoError(std::move(AMessage)), FErrorCode(AErrorCode) {}

EKoOleError::EKoOleError(HRESULT AErrorCode) : EKoOleError(AErrorCode, KoSysErrorMessage(AErrorCode)) {}

std::wstring KoSysErrorMessage(HRESULT Code) {
    wchar_t Buffer[1024];
    const DWORD Length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(Code), 0, Buffer, static_cast<DWORD>(std::size(Buffer)), nullptr);
    std::wstring Text(Buffer, Length);
    // System texts end with a line break, which has no place in a one-line error text.
    while (!Text.empty() &&
           (Text.back() == L'\r' || Text.back() == L'\n' || Text.back() == L' ' || Text.back() == L'\t'))
        Text.pop_back();
    if (Text.empty()) Text = KoFormat(L"OLE error %.8x", Code);
    return Text;
}

namespace {

struct TDirective {
    bool LeftAlign = false;
    bool ZeroPad = false;
    size_t Width = 0;
    int Precision = -1; // -1: none given
    wchar_t Conversion = 0;
};

[[noreturn]] void FormatFault(std::wstring_view Format, const wchar_t* Why) {
    throw EKoFormatError(L"Format '" + std::wstring(Format) + L"': " + Why);
}

std::wstring Widen(const char* First, const char* Last) {
    return std::wstring(First, Last);
}

std::wstring DigitsOf(uint64_t Value, int Base) {
    char Buffer[32];
    auto [End, Error] = std::to_chars(Buffer, Buffer + sizeof Buffer, Value, Base);
    (void)Error; // 64 bits always fit
    std::wstring Result = Widen(Buffer, End);
    for (wchar_t& C : Result)
        if (C >= L'a' && C <= L'f') C = static_cast<wchar_t>(C - L'a' + L'A');
    return Result;
}

std::wstring FloatText(double Value, wchar_t Conversion, int Precision) {
    char Buffer[512];
    std::to_chars_result Out;
    if (Conversion == L'g' && Precision < 0) {
        // The shortest text that reads back as the same number, fixed or scientific.
        Out = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
    } else {
        const std::chars_format Style = Conversion == L'f'   ? std::chars_format::fixed
                                        : Conversion == L'e' ? std::chars_format::scientific
                                                             : std::chars_format::general;
        Out = std::to_chars(Buffer, Buffer + sizeof Buffer, Value, Style, Precision < 0 ? 6 : Precision);
    }
    if (Out.ec != std::errc())
        return L"#OVERFLOW"; // only a fixed text of a huge value with a large precision
    return Widen(Buffer, Out.ptr);
}

// Magnitude of an integer argument seen as unsigned of its own width.
uint64_t AsUnsignedOfWidth(const TKoFormatArg& Arg) {
    if (Arg.Kind() == TKoFormatArg::fkUnsigned) return Arg.Unsigned();
    uint64_t Value = static_cast<uint64_t>(Arg.Signed());
    if (Arg.Bits() < 64) Value &= (uint64_t{1} << Arg.Bits()) - 1;
    return Value;
}

std::wstring Convert(std::wstring_view Format, const TDirective& D, const TKoFormatArg& Arg) {
    const bool IsInteger = Arg.Kind() == TKoFormatArg::fkSigned || Arg.Kind() == TKoFormatArg::fkUnsigned;
    std::wstring Sign, Body;
    switch (D.Conversion) {
    case L'd':
    case L'u':
    case L'x': {
        if (!IsInteger) FormatFault(Format, L"an integer directive needs an integer argument");
        if (D.Conversion == L'd' && Arg.Kind() == TKoFormatArg::fkSigned && Arg.Signed() < 0) {
            Sign = L"-";
            Body = DigitsOf(0 - static_cast<uint64_t>(Arg.Signed()), 10);
        } else if (D.Conversion == L'd' && Arg.Kind() == TKoFormatArg::fkSigned) {
            Body = DigitsOf(static_cast<uint64_t>(Arg.Signed()), 10);
        } else {
            Body = DigitsOf(AsUnsignedOfWidth(Arg), D.Conversion == L'x' ? 16 : 10);
        }
        if (D.Precision > 0 && Body.size() < static_cast<size_t>(D.Precision))
            Body.insert(0, static_cast<size_t>(D.Precision) - Body.size(), L'0');
        break;
    }
    case L'f':
    case L'e':
    case L'g': {
        double Value;
        if (Arg.Kind() == TKoFormatArg::fkFloat)
            Value = Arg.Float();
        else if (Arg.Kind() == TKoFormatArg::fkSigned)
            Value = static_cast<double>(Arg.Signed());
        else if (Arg.Kind() == TKoFormatArg::fkUnsigned)
            Value = static_cast<double>(Arg.Unsigned());
        else
            FormatFault(Format, L"a floating-point directive needs a number");
        Body = FloatText(Value, D.Conversion, D.Precision);
        if (!Body.empty() && Body[0] == L'-') {
            Sign = L"-";
            Body.erase(0, 1);
        }
        break;
    }
    case L's': {
        if (Arg.Kind() != TKoFormatArg::fkText)
            FormatFault(Format, L"a text directive needs a text argument");
        std::wstring_view Text = Arg.Text();
        if (D.Precision >= 0 && Text.size() > static_cast<size_t>(D.Precision))
            Text = Text.substr(0, static_cast<size_t>(D.Precision));
        Body = Text;
        break;
    }
    default:
        FormatFault(Format, L"unknown conversion");
    }
    const size_t Length = Sign.size() + Body.size();
    if (Length >= D.Width) return Sign + Body;
    const size_t Fill = D.Width - Length;
    if (D.LeftAlign) return Sign + Body + std::wstring(Fill, L' ');
    if (D.ZeroPad && D.Conversion != L's') return Sign + std::wstring(Fill, L'0') + Body;
    return std::wstring(Fill, L' ') + Sign + Body;
}

} // namespace

std::wstring KoFormatList(std::wstring_view Format, std::initializer_list<TKoFormatArg> Args) {
    std::wstring Result;
    Result.reserve(Format.size() + 16 * Args.size());
    auto NextArg = Args.begin();
    size_t I = 0;
    while (I < Format.size()) {
        const wchar_t C = Format[I++];
        if (C != L'%') {
            Result += C;
            continue;
        }
        if (I < Format.size() && Format[I] == L'%') {
            Result += L'%';
            ++I;
            continue;
        }
        TDirective D;
        for (; I < Format.size() && (Format[I] == L'-' || Format[I] == L'0'); ++I)
            (Format[I] == L'-' ? D.LeftAlign : D.ZeroPad) = true;
        for (; I < Format.size() && Format[I] >= L'0' && Format[I] <= L'9'; ++I) {
            D.Width = D.Width * 10 + static_cast<size_t>(Format[I] - L'0');
            if (D.Width > 4096) FormatFault(Format, L"width too large");
        }
        if (I < Format.size() && Format[I] == L'.') {
            D.Precision = 0;
            for (++I; I < Format.size() && Format[I] >= L'0' && Format[I] <= L'9'; ++I) {
                D.Precision = D.Precision * 10 + (Format[I] - L'0');
                if (D.Precision > 4096) FormatFault(Format, L"precision too large");
            }
        }
        if (I >= Format.size()) FormatFault(Format, L"directive without conversion");
        wchar_t Conversion = Format[I++];
        if (Conversion >= L'A' && Conversion <= L'Z')
            Conversion = static_cast<wchar_t>(Conversion - L'A' + L'a');
        D.Conversion = Conversion;
        if (NextArg == Args.end()) FormatFault(Format, L"more directives than arguments");
        Result += Convert(Format, D, *NextArg++);
    }
    return Result;
}

std::pair<std::wstring, std::wstring> KoCurrentErrorInfo() {
    try {
        throw;
    } catch (const EKoError& E) {
        return {E.ClassName(), E.Message()};
    } catch (const std::exception& E) {
        return {L"std::exception", KoWide(E.what())};
    } catch (...) {
        return {L"Exception", L"Unknown error"};
    }
}
