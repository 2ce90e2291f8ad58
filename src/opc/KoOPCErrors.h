#pragma once
// The vocabulary of results: texts of result codes, quality words and server states, the
// quality word of a variable's quality, and the errors of the OPC units that carry or imply
// a result code. Which error becomes which code at the COM boundary is decided elsewhere (the
// group's error mapping); the classes here only carry what that mapping reads.

#include <windows.h>

#include <string>
#include <utility>

#include "KoExceptions.h"
#include "KoVarTypes.h"

// The short text of a result code, as GetErrorString hands it to clients. A code the server
// does not define itself gets the operating system's message text, or "OLE error XXXXXXXX"
// when the system has none. Never fails.
std::wstring OPCErrorText(HRESULT Code);
// The long text of a result code; "No more info available." for every code without one.
std::wstring OPCErrorDetails(HRESULT Code);
// "quality;substatus;limit" of an OPC quality word (only its low byte is read).
std::wstring OPCQualityText(WORD Quality);
// The text of an OPC server state (OPCSERVERSTATE); "No connection!" for any other value.
std::wstring OPCServerStateText(DWORD State);
// The OPC quality word of a variable's quality: 0x00, 0x40 or 0xC0.
WORD KoVarQualityToOPCQuality(TKoVarQuality Quality);
// The name an interface is registered under (HKEY_CLASSES_ROOT\Interface\{IID}), or the IID
// as braced text when it is not registered.
std::wstring KoInterfaceName(REFIID AIID);

class EKoOPCException : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoOPCException"; }
};

class EKoOPCProviderException : public EKoOPCException {
public:
    using EKoOPCException::EKoOPCException;
    const wchar_t* ClassName() const noexcept override { return L"EKoOPCProviderException"; }
};

class EKoOPCProviderAddressSpaceException : public EKoOPCProviderException {
public:
    using EKoOPCProviderException::EKoOPCProviderException;
    const wchar_t* ClassName() const noexcept override { return L"EKoOPCProviderAddressSpaceException"; }
};

class EKoOPCProviderGroupDuplicateName : public EKoOPCProviderException {
public:
    using EKoOPCProviderException::EKoOPCProviderException;
    const wchar_t* ClassName() const noexcept override { return L"EKoOPCProviderGroupDuplicateName"; }
};

class EKoOPCProviderInvalidArg : public EKoOPCProviderException {
public:
    using EKoOPCProviderException::EKoOPCProviderException;
    const wchar_t* ClassName() const noexcept override { return L"EKoOPCProviderInvalidArg"; }
};

// An out-parameter the caller must give (E_INVALIDARG at the COM boundary when it is missing).
template <class T> void KoRequireOut(T* Out) {
    if (!Out) throw EKoOPCProviderInvalidArg(L"Missing out-parameter");
}

// Raised with a formatted message as EKoOPCProviderError(KoFormat(Fmt, Args...), Code).
class EKoOPCProviderError : public EKoOleError {
public:
    EKoOPCProviderError(std::wstring AMessage, HRESULT AErrorCode)
        : EKoOleError(AErrorCode, std::move(AMessage)) {}
    const wchar_t* ClassName() const noexcept override { return L"EKoOPCProviderError"; }
};

class EKoOPCProviderInvalidItemID : public EKoOPCProviderError {
public:
    explicit EKoOPCProviderInvalidItemID(std::wstring AMessage);
    const wchar_t* ClassName() const noexcept override { return L"EKoOPCProviderInvalidItemID"; }
};

class EKoOPCProviderUnknownItemID : public EKoOPCProviderError {
public:
    explicit EKoOPCProviderUnknownItemID(std::wstring AMessage);
    const wchar_t* ClassName() const noexcept override { return L"EKoOPCProviderUnknownItemID"; }
};

// A call to a remote OPC server failed. The message has three lines separated by a carriage
// return alone: the interface and method, the code with its reason, and the details.
class EKoOPCError : public EKoOleError {
public:
    EKoOPCError(HRESULT AErrorCode, REFIID AIID, std::wstring AMethod, std::wstring AServerErrorString = {});
    const wchar_t* ClassName() const noexcept override { return L"EKoOPCError"; }

    const IID& InterfaceID() const noexcept { return FIID; }
    const std::wstring& Method() const noexcept { return FMethod; }
    // The server's own text of the error, when it gave one.
    const std::wstring& ServerErrorString() const noexcept { return FServerErrorString; }
    // The server's text when it gave one, else the short text of the code.
    std::wstring Reason() const;
    std::wstring Details() const;

private:
    IID FIID;
    std::wstring FMethod;
    std::wstring FServerErrorString;
};
