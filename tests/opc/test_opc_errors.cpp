// Result codes and texts: the texts clients get for codes, quality words and server states,
// the quality word of a variable's quality, and the errors that carry a result code.

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

#include "KoOPCDA.h"
#include "KoOPCErrors.h"

namespace {

HRESULT Hr(unsigned long Code) {
    return static_cast<HRESULT>(Code);
}

// The values are written out rather than taken from the interface header, so that a code
// bound to the wrong name shows up here.
TEST(OPCResultTexts, EveryCodeOfTheServerHasItsTexts) {
    struct Case {
        unsigned long Code;
        const wchar_t* Text;
        const wchar_t* Details;
    };
    const Case Cases[] = {
        {0x00000000, L"OK", L"No more info available."},
        {0xC0040001, L"Invalid handle", L"The value of the handle is invalid."},
        {0xC0040004, L"Bad type",
         L"The server cannot convert the data between the requested data type and the canonical data type."},
        {0xC0040005, L"Cannot perform on a Public group",
         L"The requested operation cannot be done on a public group."},
        {0xC0040006, L"No Access Rights", L"The Items AccessRights do not allow the operation."},
        {0xC0040007, L"Unknown ItemID", L"The item is no longer available in the server address space."},
        {0xC0040008, L"Invalid ItemID", L"The item definition doesn't conform to the server's syntax."},
        {0xC0040009, L"Invalid Filter", L"The filter string was not valid."},
        {0xC004000A, L"Unknown Path", L"The item's access path is not known to the server."},
        {0xC004000B, L"Value out of Range", L"The value was out of range."},
        {0xC004000C, L"Duplicate name", L"Duplicate name not allowed."},
        {0xC0040010, L"Invalid Configuration File", L"The server's configuration file is an invalid format."},
        {0xC0040011, L"Object not found", L"The server could not locate the requested object."},
        {0xC0040203, L"Invalid Property ID", L"The server does not recognise the passed property ID."},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << std::hex << C.Code);
        EXPECT_EQ(OPCErrorText(Hr(C.Code)), C.Text);
        EXPECT_EQ(OPCErrorDetails(Hr(C.Code)), C.Details);
    }
}

TEST(OPCResultTexts, OtherCodesFallBack) {
    // No system knows these: the short text names the code.
    struct Case {
        unsigned long Code;
        const wchar_t* Text;
    };
    const Case Unknown[] = {
        {0x0004000F, L"OLE error 0004000F"}, // OPC_S_INUSE
        {0x0004000D, L"OLE error 0004000D"}, // OPC_S_UNSUPPORTEDRATE
        {0xC0040012, L"OLE error C0040012"}, // next to the table's codes
        {0xA0A0BEEF, L"OLE error A0A0BEEF"},
    };
    for (const Case& C : Unknown) {
        SCOPED_TRACE(testing::Message() << std::hex << C.Code);
        EXPECT_EQ(OPCErrorText(Hr(C.Code)), C.Text);
        EXPECT_EQ(OPCErrorDetails(Hr(C.Code)), L"No more info available.");
    }
    // Common codes take the system's text, without its line break.
    for (HRESULT Code : {S_FALSE, E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, E_NOINTERFACE, E_NOTIMPL}) {
        SCOPED_TRACE(testing::Message() << std::hex << Code);
        const std::wstring Text = OPCErrorText(Code);
        EXPECT_FALSE(Text.empty());
        EXPECT_EQ(Text.find_first_of(L"\r\n"), std::wstring::npos);
        EXPECT_NE(Text.back(), L' ');
        EXPECT_EQ(OPCErrorDetails(Code), L"No more info available.");
    }
}

TEST(OPCQualityText, QualitySubstatusAndLimit) {
    struct Case {
        WORD Quality;
        const wchar_t* Text;
    };
    const Case Cases[] = {
        {0xC0, L"Good;Non-specific;Not limited"},
        {0x1A, L"Bad;Communication failure;At High limit"},
        {0x57, L"Uncertain;Limits exceeded;Constant"},
        {0x80, L"N/A;;Not limited"},
        {0x83, L"N/A;;Constant"},
        {0x00, L"Bad;Non-specific;Not limited"},
        {0x05, L"Bad;Configuration error;At Low limit"},
        {0x08, L"Bad;Not connected;Not limited"},
        {0x0C, L"Bad;Device failure;Not limited"},
        {0x10, L"Bad;Sensor failure;Not limited"},
        {0x14, L"Bad;Last known value;Not limited"},
        {0x1C, L"Bad;Out of service;Not limited"},
        {0x20, L"Bad;N/A;Not limited"},
        {0x40, L"Uncertain;Non-specific;Not limited"},
        {0x44, L"Uncertain;Last usable;Not limited"},
        {0x48, L"Uncertain;N/A;Not limited"},
        {0x50, L"Uncertain;Sensor not accurate;Not limited"},
        {0x58, L"Uncertain;Sub-normal;Not limited"},
        {0xD8, L"Good;Local override;Not limited"},
        {0xC4, L"Good;N/A;Not limited"},
        {0xABC2, L"Good;Non-specific;At High limit"}, // the vendor byte is not read
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << std::hex << C.Quality);
        EXPECT_EQ(OPCQualityText(C.Quality), C.Text);
    }
}

TEST(OPCServerStateText, EveryStateAndTheRest) {
    struct Case {
        DWORD State;
        const wchar_t* Text;
    };
    const Case Cases[] = {
        {0, L"No connection!"},
        {OPC_STATUS_RUNNING, L"Running"},
        {OPC_STATUS_FAILED, L"Failed"},
        {3, L"Not configured"},
        {4, L"Suspended"},
        {OPC_STATUS_TEST, L"Test"},
        {6, L"No connection!"},
        {0xFFFFFFFF, L"No connection!"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.State);
        EXPECT_EQ(OPCServerStateText(C.State), C.Text);
    }
}

TEST(KoVarQualityToOPCQuality, MapsEveryQualityAndRejectsOthers) {
    struct Case {
        TKoVarQuality Quality;
        WORD Word;
    };
    const Case Cases[] = {{vpqBad, 0x00}, {vpqUncertain, 0x40}, {vpqGood, 0xC0}};
    for (const Case& C : Cases) EXPECT_EQ(KoVarQualityToOPCQuality(C.Quality), C.Word);

    try {
        KoVarQualityToOPCQuality(static_cast<TKoVarQuality>(3));
        FAIL() << "no error";
    } catch (const EKoOPCException& E) {
        EXPECT_EQ(E.Message(), L"Unknown VarQuality (3) for KoVarQualityToOPCQuality");
    }
}

// The COM boundary maps errors by kind, taking the code of those that carry one: each class
// must carry the right code and sit on the right branch.
TEST(OPCErrors, KindsAndTheirCodes) {
    struct Case {
        const char* Name;
        std::function<void()> Raise;
        bool CarriesCode;
        HRESULT Code;
        const wchar_t* ClassName;
    };
    const Case Cases[] = {
        {"provider error", [] { throw EKoOPCProviderError(KoFormat(L"Item %s: %d", L"X", 5), E_NOTIMPL); },
         true, E_NOTIMPL, L"EKoOPCProviderError"},
        {"invalid item ID", [] { throw EKoOPCProviderInvalidItemID(L"Item %s: %d"); }, true, Hr(0xC0040008),
         L"EKoOPCProviderInvalidItemID"},
        {"unknown item ID", [] { throw EKoOPCProviderUnknownItemID(L"Item %s: %d"); }, true, Hr(0xC0040007),
         L"EKoOPCProviderUnknownItemID"},
        {"provider exception", [] { throw EKoOPCProviderException(L"Item %s: %d"); }, false, S_OK,
         L"EKoOPCProviderException"},
        {"address space", [] { throw EKoOPCProviderAddressSpaceException(L"Item %s: %d"); }, false, S_OK,
         L"EKoOPCProviderAddressSpaceException"},
        {"duplicate name", [] { throw EKoOPCProviderGroupDuplicateName(L"Item %s: %d"); }, false, S_OK,
         L"EKoOPCProviderGroupDuplicateName"},
        {"invalid argument", [] { throw EKoOPCProviderInvalidArg(L"Item %s: %d"); }, false, S_OK,
         L"EKoOPCProviderInvalidArg"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        try {
            C.Raise();
            ADD_FAILURE() << "no error";
        } catch (const EKoOleError& E) {
            EXPECT_TRUE(C.CarriesCode);
            EXPECT_EQ(E.ErrorCode(), C.Code);
            EXPECT_STREQ(E.ClassName(), C.ClassName);
            EXPECT_EQ(E.Message(), C.Code == E_NOTIMPL ? L"Item X: 5" : L"Item %s: %d");
        } catch (const EKoOPCException& E) {
            EXPECT_FALSE(C.CarriesCode);
            EXPECT_STREQ(E.ClassName(), C.ClassName);
            EXPECT_EQ(E.Message(), L"Item %s: %d");
        }
    }
}

// Registers an interface name under the classes root while the test runs, unless the
// interface is registered already (then the registration is left as it is).
class TInterfaceName {
public:
    TInterfaceName(REFIID AIID, const wchar_t* AName) {
        wchar_t Text[40];
        StringFromGUID2(AIID, Text, 40);
        FKey = std::wstring(L"Interface\\") + Text;
        HKEY Key = nullptr;
        DWORD Disposition = 0;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, FKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &Key,
                            &Disposition) != ERROR_SUCCESS)
            return;
        FCreated = Disposition == REG_CREATED_NEW_KEY;
        FReady = !FCreated ||
                 RegSetValueExW(Key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(AName),
                                static_cast<DWORD>((wcslen(AName) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        RegCloseKey(Key);
    }
    ~TInterfaceName() {
        if (FCreated) RegDeleteKeyW(HKEY_CLASSES_ROOT, FKey.c_str());
    }
    bool Ready() const { return FReady; }

private:
    std::wstring FKey;
    bool FCreated = false;
    bool FReady = false;
};

TEST(OPCErrors, RemoteCallErrorNamesInterfaceMethodCodeAndReason) {
    TInterfaceName Registered(IID_IOPCItemMgt, L"IOPCItemMgt");
    ASSERT_TRUE(Registered.Ready());

    const EKoOPCError Error(OPC_E_UNKNOWNITEMID, IID_IOPCItemMgt, L"AddItems");
    EXPECT_EQ(Error.Message(), L"OPC Error in method IOPCItemMgt.AddItems\r"
                               L"Code: 0xC0040007 (Unknown ItemID)\r"
                               L"Details: The item is no longer available in the server address space.");
    EXPECT_EQ(Error.ErrorCode(), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(Error.Method(), L"AddItems");
    EXPECT_TRUE(IsEqualIID(Error.InterfaceID(), IID_IOPCItemMgt));
    EXPECT_EQ(Error.Reason(), L"Unknown ItemID");

    // The server's own text replaces the reason; details stay those of the code.
    const EKoOPCError WithText(OPC_E_BADTYPE, IID_IOPCItemMgt, L"Write", L"cannot convert");
    EXPECT_EQ(WithText.Reason(), L"cannot convert");
    EXPECT_EQ(WithText.ServerErrorString(), L"cannot convert");
    EXPECT_EQ(WithText.Message(),
              L"OPC Error in method IOPCItemMgt.Write\r"
              L"Code: 0xC0040004 (cannot convert)\r"
              L"Details: The server cannot convert the data between the requested data type "
              L"and the canonical data type.");

    // An unregistered interface is named by its IID; a code outside the table keeps its
    // hexadecimal digits without leading zeros.
    const GUID Unregistered = {0x6b1e2f40, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
    const EKoOPCError Other(Hr(0x0004000F), Unregistered, L"RemoveGroup");
    EXPECT_EQ(Other.Message(), L"OPC Error in method {6B1E2F40-1111-4222-8333-444455556666}.RemoveGroup\r"
                               L"Code: 0x4000F (OLE error 0004000F)\r"
                               L"Details: No more info available.");
}

} // namespace
