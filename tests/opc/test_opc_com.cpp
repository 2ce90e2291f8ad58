// The COM boundary: which result code each kind of error becomes, and what a failed call leaves
// in its out-parameters.

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "KoOPCCom.h"
#include "KoOPCDA.h"
#include "KoOPCErrors.h"
#include "KoPersistent.h"
#include "KoStrings.h"
#include "KoVarLinks.h"
#include "KoVars.h"

namespace {

TEST(ComBoundary, ErrorsMapToTheirResultCodes) {
    struct Case {
        const char* Name;
        std::function<void()> Raise;
        HRESULT Expected;
    };
    const Case Cases[] = {
        {"HRESULT carried", [] { throw EKoOleError(E_ACCESSDENIED); }, E_ACCESSDENIED},
        {"unknown item ID", [] { throw EKoOPCProviderUnknownItemID(L"Unknown Item ID: x"); },
         OPC_E_UNKNOWNITEMID},
        {"invalid item ID", [] { throw EKoOPCProviderInvalidItemID(L"Invalid ItemID"); },
         OPC_E_INVALIDITEMID},
        {"variant overflow", [] { throw EKoOleError(DISP_E_OVERFLOW); }, OPC_E_RANGE},
        {"variant type mismatch", [] { throw EKoOleError(DISP_E_TYPEMISMATCH); }, OPC_E_BADTYPE},
        {"variant bad type", [] { throw EKoOleError(DISP_E_BADVARTYPE); }, OPC_E_BADTYPE},
        {"out of memory", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"list index", [] { throw EKoComponentListError(L"List index out of bounds (3)"); }, E_INVALIDARG},
        {"string list", [] { throw EKoStringListError(L"x"); }, E_INVALIDARG},
        {"invalid argument", [] { throw EKoOPCProviderInvalidArg(L"x"); }, E_INVALIDARG},
        {"browse", [] { throw EKoOPCProviderAddressSpaceException(L"x"); }, E_INVALIDARG},
        {"interface cast", [] { throw EKoIntfCastError(L"x"); }, E_NOINTERFACE},
        {"read-only", [] { throw EKoReadOnly(L"x"); }, OPC_E_BADRIGHTS},
        {"duplicate group name", [] { throw EKoOPCProviderGroupDuplicateName(L"x"); }, OPC_E_DUPLICATENAME},
        {"range", [] { throw EKoRangeError(L"x"); }, OPC_E_RANGE},
        {"float overflow", [] { throw EKoOverflow(L"x"); }, OPC_E_RANGE},
        {"integer overflow", [] { throw EKoIntOverflow(L"x"); }, OPC_E_RANGE},
        {"conversion", [] { throw EKoConvertError(L"x"); }, OPC_E_BADTYPE},
        {"variable veto", [] { throw EKoVarChangeReject(L"x"); }, OPC_E_BADTYPE},
        {"general error", [] { throw EKoException(L"x"); }, E_FAIL},
        {"standard error", [] { throw std::runtime_error("x"); }, E_FAIL},
        {"anything", [] { throw 42; }, E_FAIL},
    };
    for (const Case& C : Cases) EXPECT_EQ(KoComCall(C.Raise), C.Expected) << C.Name;
}

TEST(ComBoundary, BodyResultPassesThrough) {
    EXPECT_EQ(KoComCall([] {}), S_OK);
    EXPECT_EQ(KoComCall([] { return S_FALSE; }), S_FALSE);
    EXPECT_EQ(KoComCall([]() -> HRESULT { return OPC_S_INUSE; }), OPC_S_INUSE);
}

TEST(ComBoundary, FailedCallEmptiesItsOutParameters) {
    IUnknown* Unknown = reinterpret_cast<IUnknown*>(0x1234);
    DWORD Handle = 7;
    wchar_t* Name = reinterpret_cast<wchar_t*>(0x5678);
    const HRESULT Result = KoComCall(
        [&] {
            // A result built in an owner is freed when the body fails before handing it over.
            TKoTaskMem<DWORD> Handles(4);
            Handles[0] = 1;
            throw EKoOPCProviderInvalidArg(L"x");
        },
        &Unknown, &Handle, &Name);
    EXPECT_EQ(Result, E_INVALIDARG);
    EXPECT_EQ(Unknown, nullptr);
    EXPECT_EQ(Handle, 0u);
    EXPECT_EQ(Name, nullptr);

    // Successful calls keep what the body wrote; a null out-parameter is skipped.
    wchar_t** NoName = nullptr;
    EXPECT_EQ(KoComCall([&] { Name = KoTaskMemString(L"GroupA"); }, NoName), S_OK);
    ASSERT_NE(Name, nullptr);
    EXPECT_STREQ(Name, L"GroupA");
    CoTaskMemFree(Name);
}

TEST(ComBoundary, TaskMemoryIsZeroedAndHandedOver) {
    TKoTaskMem<HRESULT> Errors(3);
    ASSERT_NE(Errors.Get(), nullptr);
    for (size_t i = 0; i < Errors.Count(); ++i) EXPECT_EQ(Errors[i], 0);
    HRESULT* Raw = Errors.Release();
    EXPECT_EQ(Errors.Get(), nullptr);
    CoTaskMemFree(Raw);
    EXPECT_EQ(TKoTaskMem<DWORD>(0).Get(), nullptr);
    EXPECT_THROW(TKoTaskMem<uint64_t>(static_cast<size_t>(-1) / 4), std::bad_alloc);
}

} // namespace
