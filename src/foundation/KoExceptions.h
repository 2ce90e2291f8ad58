#pragma once
// The error classes that every layer derives its own from, and the type-safe message formatter
// they are raised with.
//
//   EKoError                 every error of the system: a message text
//   ├─ EKoException          base of the variable errors and of the foundation lists' errors
//   ├─ EKoOleError           an error that carries an HRESULT (the code a COM caller receives)
//   └─ EKoFormatError        a format text that does not fit its arguments (a programming error)
//
// The message is kept as wide text (the windows and the log speak UTF-16); what() gives the
// same text in UTF-8 for code that only knows std::exception.

#include <windows.h>

#include <concepts>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

class EKoError : public std::exception {
public:
    explicit EKoError(std::wstring AMessage);

    const std::wstring& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FUtf8.c_str(); }
    // The name of the most derived error class, for messages that report an error by kind.
    virtual const wchar_t* ClassName() const noexcept { return L"EKoError"; }

protected:
    // For errors whose message can only be built once their own fields are set.
    void SetMessage(std::wstring AMessage);

private:
    std::wstring FMessage;
    std::string FUtf8;
};

class EKoException : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoException"; }
};

class EKoOleError : public EKoError {
public:
    EKoOleError(HRESULT AErrorCode, std::wstring AMessage);
    // The message is the system's text of the code (KoSysErrorMessage).
    explicit EKoOleError(HRESULT AErrorCode);
    const wchar_t* ClassName() const noexcept override { return L"EKoOleError"; }

    HRESULT ErrorCode() const noexcept { return FErrorCode; }
    HRESULT Code() const noexcept { return FErrorCode; }

private:
    HRESULT FErrorCode;
};

class EKoFormatError : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoFormatError"; }
};

// The operating system's message text of a code, on one line; "OLE error XXXXXXXX" (the code
// in eight upper-case hexadecimal digits) when the system has no text for it.
std::wstring KoSysErrorMessage(HRESULT Code);

// The class name and message of the error being handled (call it from a catch block): an
// EKoError's own, "std::exception" with the text of any other standard error, "Exception" and
// "Unknown error" for anything else.
std::pair<std::wstring, std::wstring> KoCurrentErrorInfo();

// One argument of KoFormat. Integers remember their width so that a negative value prints in
// hexadecimal as the code it is (an HRESULT 0xC0040007 reads C0040007, not 16 digits).
// Texts are referenced, not copied: an argument lives only for the KoFormat call.
class TKoFormatArg {
public:
    enum TKind { fkSigned, fkUnsigned, fkFloat, fkText };

    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, wchar_t>)
        TKoFormatArg(T AValue)
        : FBits(static_cast<int>(sizeof(T) * 8)) {
        if constexpr (std::is_signed_v<T>) {
            FKind = fkSigned;
            FSigned = AValue;
        } else {
            FKind = fkUnsigned;
            FUnsigned = AValue;
        }
    }
    template <class T>
    requires std::is_enum_v<T> TKoFormatArg(T AValue)
        : TKoFormatArg(static_cast<std::underlying_type_t<T>>(AValue)) {}
    TKoFormatArg(double AValue) : FKind(fkFloat), FFloat(AValue) {}
    TKoFormatArg(const wchar_t* AText) : FKind(fkText), FText(AText ? AText : L"") {}
    TKoFormatArg(const std::wstring& AText) : FKind(fkText), FText(AText) {}
    TKoFormatArg(std::wstring_view AText) : FKind(fkText), FText(AText) {}
    // A bool or a character has no agreed text; convert it explicitly.
    TKoFormatArg(bool) = delete;

    TKind Kind() const { return FKind; }
    int Bits() const { return FBits; }
    int64_t Signed() const { return FSigned; }
    uint64_t Unsigned() const { return FUnsigned; }
    double Float() const { return FFloat; }
    std::wstring_view Text() const { return FText; }

private:
    TKind FKind = fkSigned;
    int FBits = 64;
    int64_t FSigned = 0;
    uint64_t FUnsigned = 0;
    double FFloat = 0;
    std::wstring_view FText;
};

// printf-like formatting that checks each directive against its argument:
//   %[-][0][width][.precision]conversion
//   d  decimal integer (precision: least number of digits)
//   u  unsigned decimal (a negative value as its two's complement of the argument's width)
//   x  hexadecimal, always upper-case digits as the log and error texts show codes (X as well)
//   f e g  fixed, scientific, general floating point with '.' as separator; %g without a
//          precision gives the shortest text that reads back as the same number
//   s  text (precision: at most that many characters)
//   %% a percent sign
// Width pads with blanks on the left ('-': on the right; '0': zeros after the sign, numbers
// only). A directive without a fitting argument, an unknown conversion or a wrong kind of
// argument raises EKoFormatError instead of reading past the arguments; surplus arguments
// are ignored.
std::wstring KoFormatList(std::wstring_view Format, std::initializer_list<TKoFormatArg> Args);

template <class... TArgs> std::wstring KoFormat(std::wstring_view Format, const TArgs&... Args) {
    return KoFormatList(Format, {TKoFormatArg(Args)...});
}
