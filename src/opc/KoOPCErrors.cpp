#include "KoOPCErrors.h"

#include <objbase.h>

#include <utility>

#include "KoOPCDA.h"

namespace {

struct TResultText {
    HRESULT Code;
    const wchar_t* Text;    // short text
    const wchar_t* Details; // long text
};

// Fixed literals, not translated: clients compare them.
constexpr TResultText ResultTexts[] = {
    {S_OK, L"OK", L"No more info available."},
    {OPC_E_INVALIDHANDLE, L"Invalid handle", L"The value of the handle is invalid."},
    {OPC_E_BADTYPE, L"Bad type",
     L"The server cannot convert the data between the requested data type and the canonical data type."},
    {OPC_E_PUBLIC, L"Cannot perform on a Public group",
     L"The requested operation cannot be done on a public group."},
    {OPC_E_BADRIGHTS, L"No Access Rights", L"The Items AccessRights do not allow the operation."},
    {OPC_E_UNKNOWNITEMID, L"Unknown ItemID", L"The item is no longer available in the server address space."},
    {OPC_E_INVALIDITEMID, L"Invalid ItemID", L"The item definition doesn't conform to the server's syntax."},
    {OPC_E_INVALIDFILTER, L"Invalid Filter", L"The filter string was not valid."},
    {OPC_E_UNKNOWNPATH, L"Unknown Path", L"The item's access path is not known to the server."},
    {OPC_E_RANGE, L"Value out of Range", L"The value was out of range."},
    {OPC_E_DUPLICATENAME, L"Duplicate name", L"Duplicate name not allowed."},
    {OPC_E_INVALIDCONFIGFILE, L"Invalid Configuration File",
     L"The server's configuration file is an invalid format."},
    {OPC_E_NOTFOUND, L"Object not found", L"The server could not locate the requested object."},
    {OPC_E_INVALID_PID, L"Invalid Property ID", L"The server does not recognise the passed property ID."},
};

const TResultText* FindResult(HRESULT Code) {
    for (const TResultText& Entry : ResultTexts)
        if (Entry.Code == Code) return &Entry;
    return nullptr;
}

const wchar_t* BadSubstatus(WORD Status) {
    switch (Status) {
    case 0x00:
        return L"Non-specific";
    case OPC_QUALITY_CONFIG_ERROR:
        return L"Configuration error";
    case OPC_QUALITY_NOT_CONNECTED:
        return L"Not connected";
    case OPC_QUALITY_DEVICE_FAILURE:
        return L"Device failure";
    case OPC_QUALITY_SENSOR_FAILURE:
        return L"Sensor failure";
    case OPC_QUALITY_LAST_KNOWN:
        return L"Last known value";
    case OPC_QUALITY_COMM_FAILURE:
        return L"Communication failure";
    case OPC_QUALITY_OUT_OF_SERVICE:
        return L"Out of service";
    default:
        return L"N/A";
    }
}

const wchar_t* UncertainSubstatus(WORD Status) {
    switch (Status) {
    case OPC_QUALITY_UNCERTAIN:
        return L"Non-specific";
    case OPC_QUALITY_LAST_USABLE:
        return L"Last usable";
    case OPC_QUALITY_SENSOR_CAL:
        return L"Sensor not accurate";
    case OPC_QUALITY_EGU_EXCEEDED:
        return L"Limits exceeded";
    case OPC_QUALITY_SUB_NORMAL:
        return L"Sub-normal";
    default:
        return L"N/A";
    }
}

const wchar_t* GoodSubstatus(WORD Status) {
    switch (Status) {
    case OPC_QUALITY_GOOD:
        return L"Non-specific";
    case OPC_QUALITY_LOCAL_OVERRIDE:
        return L"Local override";
    default:
        return L"N/A";
    }
}

std::wstring GuidText(REFIID AIID) {
    wchar_t Buffer[40];
    const int Length = StringFromGUID2(AIID, Buffer, static_cast<int>(std::size(Buffer)));
    return Length > 0 ? std::wstring(Buffer) : std::wstring();
}

std::wstring OPCErrorMessage(HRESULT Code, REFIID AIID, const std::wstring& Method,
                             const std::wstring& Reason) {
    return KoFormat(L"OPC Error in method %s.%s", KoInterfaceName(AIID), Method) + L'\r' +
           KoFormat(L"Code: 0x%x (%s)", Code, Reason) + L'\r' +
           KoFormat(L"Details: %s", OPCErrorDetails(Code));
}

} // namespace

std::wstring OPCErrorText(HRESULT Code) {
    if (const TResultText* Entry = FindResult(Code)) return Entry->Text;
    return KoSysErrorMessage(Code);
}

std::wstring OPCErrorDetails(HRESULT Code) {
    const TResultText* Entry = FindResult(Code);
    return Entry ? Entry->Details : L"No more info available.";
}

std::wstring OPCQualityText(WORD Quality) {
    std::wstring Text;
    const WORD Status = Quality & OPC_STATUS_MASK;
    switch (Quality & OPC_QUALITY_MASK) {
    case OPC_QUALITY_BAD:
        Text = std::wstring(L"Bad;") + BadSubstatus(Status);
        break;
    case OPC_QUALITY_UNCERTAIN:
        Text = std::wstring(L"Uncertain;") + UncertainSubstatus(Status);
        break;
    case OPC_QUALITY_GOOD:
        Text = std::wstring(L"Good;") + GoodSubstatus(Status);
        break;
    default:
        Text = L"N/A;";
        break; // 0x80 has no meaning and no substatus
    }
    static const wchar_t* const LimitTexts[] = {L"Not limited", L"At Low limit", L"At High limit",
                                                L"Constant"};
    return Text + L';' + LimitTexts[Quality & OPC_LIMIT_MASK];
}

std::wstring OPCServerStateText(DWORD State) {
    switch (State) {
    case OPC_STATUS_RUNNING:
        return L"Running";
    case OPC_STATUS_FAILED:
        return L"Failed";
    case OPC_STATUS_NOCONFIG:
        return L"Not configured";
    case OPC_STATUS_SUSPENDED:
        return L"Suspended";
    case OPC_STATUS_TEST:
        return L"Test";
    default:
        return L"No connection!";
    }
}

WORD KoVarQualityToOPCQuality(TKoVarQuality Quality) {
    switch (Quality) {
    case vpqBad:
        return OPC_QUALITY_BAD;
    case vpqUncertain:
        return OPC_QUALITY_UNCERTAIN;
    case vpqGood:
        return OPC_QUALITY_GOOD;
    }
    // Outside the enumeration the value has no name; its number stands in for it.
    throw EKoOPCException(KoFormat(L"Unknown VarQuality (%s) for KoVarQualityToOPCQuality",
                                   std::to_wstring(static_cast<int>(Quality))));
}

std::wstring KoInterfaceName(REFIID AIID) {
    const std::wstring IIDText = GuidText(AIID);
    const std::wstring Key = L"Interface\\" + IIDText;
    DWORD Size = 0;
    if (RegGetValueW(HKEY_CLASSES_ROOT, Key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &Size) ==
            ERROR_SUCCESS &&
        Size > sizeof(wchar_t)) {
        std::wstring Name(Size / sizeof(wchar_t), L'\0');
        if (RegGetValueW(HKEY_CLASSES_ROOT, Key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, Name.data(),
                         &Size) == ERROR_SUCCESS) {
            Name.resize(wcsnlen(Name.c_str(), Name.size()));
            if (!Name.empty()) return Name;
        }
    }
    return IIDText;
}

EKoOPCProviderInvalidItemID::EKoOPCProviderInvalidItemID(std::wstring AMessage)
    : EKoOPCProviderError(std::move(AMessage), OPC_E_INVALIDITEMID) {}

EKoOPCProviderUnknownItemID::EKoOPCProviderUnknownItemID(std::wstring AMessage)
    : EKoOPCProviderError(std::move(AMessage), OPC_E_UNKNOWNITEMID) {}

EKoOPCError::EKoOPCError(HRESULT AErrorCode, REFIID AIID, std::wstring AMethod,
                         std::wstring AServerErrorString)
    : EKoOleError(AErrorCode, std::wstring()), FIID(AIID), FMethod(std::move(AMethod)),
      FServerErrorString(std::move(AServerErrorString)) {
    SetMessage(OPCErrorMessage(ErrorCode(), FIID, FMethod, Reason()));
}

std::wstring EKoOPCError::Reason() const {
    return FServerErrorString.empty() ? OPCErrorText(ErrorCode()) : FServerErrorString;
}

std::wstring EKoOPCError::Details() const {
    return OPCErrorDetails(ErrorCode());
}
