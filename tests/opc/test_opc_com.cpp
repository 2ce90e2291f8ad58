// The COM boundary: which result code each kind of error becomes, and what a failed call leaves
// in its out-parameters; connection points.

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <vector>

#include "KoComObjects.h"
#include "KoOPCCom.h"
#include "KoOPCCommon.h"
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

namespace {

// An object with one connection point for IOPCShutdown sinks.
class TContainer final : public TKoComObject<IConnectionPointContainer> {
public:
    TContainer(TKoConnectEvent OnConnect, size_t MaxSinks)
        : Points(*Unknown(), *this), Point(Points.Add(IID_IOPCShutdown, std::move(OnConnect), MaxSinks)) {}
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
        return Points.EnumConnectionPoints(ppEnum);
    }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
        return Points.FindConnectionPoint(riid, ppCP);
    }
    TKoConnectionPoints Points;
    TKoConnectionPoint& Point;
};

class TShutdownSink final : public TKoComObject<IOPCShutdown> {
public:
    STDMETHODIMP ShutdownRequest(LPCWSTR) override { return S_OK; }
};

} // namespace

// A connection point may take a limited number of sinks, and its owner may refuse a sink while it
// is advised: the advise then fails and the point does not keep the sink.
TEST(ConnectionPoints, LimitAndRefusal) {
    bool Refuse = false;
    std::vector<bool> Told;
    ComPtr<TContainer> Container = KoAdopt(new TContainer(
        [&](IUnknown* Sink, bool Connected) {
            EXPECT_NE(Sink, nullptr);
            Told.push_back(Connected);
            if (Connected && Refuse) throw EKoOPCProviderInvalidArg(L"refused");
        },
        1));
    ComPtr<TShutdownSink> First = KoAdopt(new TShutdownSink), Second = KoAdopt(new TShutdownSink);
    DWORD Cookie = 0;
    ASSERT_EQ(Container->Point.Advise(First->Unknown(), &Cookie), S_OK);
    DWORD Other = 99;
    EXPECT_EQ(Container->Point.Advise(Second->Unknown(), &Other), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(Other, 0u);
    ASSERT_EQ(Container->Point.Unadvise(Cookie), S_OK);

    Refuse = true;
    EXPECT_EQ(Container->Point.Advise(Second->Unknown(), &Other), E_INVALIDARG);
    EXPECT_EQ(Other, 0u);
    EXPECT_EQ(Container->Point.SinkCount(), 0);
    EXPECT_EQ(Second->RefCount(), 1u) << "the refused sink was kept";
    EXPECT_EQ(Told, (std::vector<bool>{true, false, true}));
}
