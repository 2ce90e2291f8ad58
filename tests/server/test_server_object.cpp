#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "KoComObjects.h"
#include "KoOPCErrors.h"
#include "KoServerObjectTesting.h"
#include "KoUtils.h"

using namespace std::chrono_literals;
using kotest::ServerObjectTest;

namespace {

// A client's shutdown sink: records "<tag>: <reason>" in a shared journal.
class TShutdownSink : public TKoComObject<IOPCShutdown> {
public:
    TShutdownSink(std::vector<std::wstring>& AJournal, std::wstring ATag)
        : Journal(AJournal), Tag(std::move(ATag)) {}
    STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override {
        Journal.push_back(Tag + L": " + szReason);
        return Fail ? E_FAIL : S_OK;
    }
    std::vector<std::wstring>& Journal;
    std::wstring Tag;
    bool Fail = false;
};

// An object that is no shutdown sink.
class TOtherSink : public TKoComObject<IOPCCommon> {
public:
    STDMETHODIMP SetLocaleID(LCID) override { return E_NOTIMPL; }
    STDMETHODIMP GetLocaleID(LCID*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD*, LCID**) override { return E_NOTIMPL; }
    STDMETHODIMP GetErrorString(HRESULT, LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientName(LPCWSTR) override { return E_NOTIMPL; }
};

std::vector<std::wstring> ReadAll(IEnumString* Enum) {
    std::vector<std::wstring> Result;
    LPOLESTR Entry = nullptr;
    ULONG Fetched = 0;
    while (Enum->Next(1, &Entry, &Fetched) == S_OK) {
        Result.push_back(Entry);
        CoTaskMemFree(Entry);
    }
    return Result;
}

} // namespace

TEST_F(ServerObjectTest, ConnectingListsAndNamesTheClient) {
    ComPtr<IOPCServer> Server = Connect();
    EXPECT_EQ(Provider->ClientCount(), 1);
    EXPECT_EQ(ClientOf(Server).Name(), L"Client 0");
    // Made outside an incoming call: no calling user.
    EXPECT_EQ(ClientOf(Server).User(), L"");
    EXPECT_EQ(Lines, std::vector<std::wstring>{L"Client 'Client 0' connected."});

    // The OPC client lets go: the provider disconnects the object and drops its reference.
    Server.Reset();
    EXPECT_EQ(Provider->ClientCount(), 0);
    EXPECT_EQ(CountLines(L"Client 'Client 0' disconnected."), 1);
}

TEST_F(ServerObjectTest, OffersTheServerInterfacesOnly) {
    ComPtr<IOPCServer> Server = Connect();
    const IID Offered[] = {IID_IUnknown,          IID_IOPCServer,
                           IID_IOPCCommon,        IID_IConnectionPointContainer,
                           IID_ISupportErrorInfo, IID_IOPCItemProperties};
    // This provider has no address space, so there is nothing to browse.
    const IID Refused[] = {IID_IOPCBrowseServerAddressSpace, IID_IOPCServerPublicGroups, IID_IPersistFile,
                           IID_IDispatch};
    ComPtr<ISupportErrorInfo> ErrorInfo;
    ASSERT_EQ(Server.As(&ErrorInfo), S_OK);
    for (const IID& Iid : Offered) {
        ComPtr<IUnknown> Got;
        EXPECT_EQ(Server->QueryInterface(Iid, reinterpret_cast<void**>(Got.GetAddressOf())), S_OK);
        EXPECT_EQ(ErrorInfo->InterfaceSupportsErrorInfo(Iid), S_OK);
    }
    for (const IID& Iid : Refused) {
        IUnknown* Got = reinterpret_cast<IUnknown*>(1);
        EXPECT_EQ(Server->QueryInterface(Iid, reinterpret_cast<void**>(&Got)), E_NOINTERFACE);
        EXPECT_EQ(Got, nullptr);
        EXPECT_EQ(ErrorInfo->InterfaceSupportsErrorInfo(Iid), S_FALSE);
    }
    // Every interface leads back to the same object.
    ComPtr<IUnknown> FromCommon, FromServer;
    ComPtr<IOPCCommon> Common;
    ASSERT_EQ(Server.As(&Common), S_OK);
    ASSERT_EQ(Common.As(&FromCommon), S_OK);
    ASSERT_EQ(Server.As(&FromServer), S_OK);
    EXPECT_EQ(FromCommon.Get(), FromServer.Get());
}

TEST_F(ServerObjectTest, DefaultNamesCountFromTheGroupCount) {
    ComPtr<IOPCServer> Server = Connect();
    TAdded A = Add(Server.Get(), nullptr);
    TAdded B = Add(Server.Get(), L"");
    ASSERT_EQ(A.Result, S_OK);
    ASSERT_EQ(B.Result, S_OK);
    EXPECT_EQ(NameOf(A.Group.Get()), L"GroupA");
    EXPECT_EQ(NameOf(B.Group.Get()), L"GroupB");
    EXPECT_NE(A.ServerHandle, 0u);
    EXPECT_NE(A.ServerHandle, B.ServerHandle);

    A.Group.Reset();
    ASSERT_EQ(Server->RemoveGroup(A.ServerHandle, FALSE), S_OK);
    // One group left: the first candidate is GroupB, which is taken.
    TAdded C = Add(Server.Get(), nullptr);
    ASSERT_EQ(C.Result, S_OK);
    EXPECT_EQ(NameOf(C.Group.Get()), L"GroupC");
    // GroupA is free again once the count points at it.
    B.Group.Reset();
    C.Group.Reset();
    ASSERT_EQ(Server->RemoveGroup(B.ServerHandle, FALSE), S_OK);
    ASSERT_EQ(Server->RemoveGroup(C.ServerHandle, FALSE), S_OK);
    TAdded D = Add(Server.Get(), nullptr);
    EXPECT_EQ(NameOf(D.Group.Get()), L"GroupA");
}

TEST_F(ServerObjectTest, DefaultNamesRunOutAfterZ) {
    ComPtr<IOPCServer> Server = Connect();
    std::vector<TAdded> Groups;
    // 26 letters, then the codes after "Z" ("[" is 91) while the count allows them.
    for (int I = 0; I < 27; ++I) {
        Groups.push_back(Add(Server.Get(), nullptr));
        ASSERT_EQ(Groups.back().Result, S_OK) << I;
    }
    EXPECT_EQ(NameOf(Groups[25].Group.Get()), L"GroupZ");
    EXPECT_EQ(NameOf(Groups[26].Group.Get()), L"Group[");
    // The next candidate (code 65 + 27, "\") taken by a rename: the search only moves up, past
    // "Z", and gives up; "GroupA", free now, is never tried.
    ASSERT_EQ(Groups[0].Group->SetName(L"Group\\"), S_OK);
    TAdded Failed = Add(Server.Get(), nullptr);
    EXPECT_EQ(Failed.Result, E_FAIL);
    EXPECT_EQ(CountLines(L"Client 0: IOPCServer.AddGroup(Name=, RequestedUpdateRate=1000): Result=$80004005"),
              1);
}

TEST_F(ServerObjectTest, DuplicateNamesAreRefusedCaseSensitively) {
    ComPtr<IOPCServer> Server = Connect();
    TAdded First = Add(Server.Get(), L"Boiler", 500);
    ASSERT_EQ(First.Result, S_OK);
    TAdded Again = Add(Server.Get(), L"Boiler", 250);
    EXPECT_EQ(Again.Result, OPC_E_DUPLICATENAME);
    EXPECT_EQ(
        CountLines(L"Client 0: IOPCServer.AddGroup(Name=Boiler, RequestedUpdateRate=250): Result=$C004000C"),
        1);
    EXPECT_EQ(CountLines(L"Client 0: IOPCServer.AddGroup(Name=Boiler, RequestedUpdateRate=500): Result=$0"),
              1);
    EXPECT_EQ(ClientOf(Server).GroupCount(), 1);
    EXPECT_EQ(Provider->GroupCount(), 1);

    TAdded Lower = Add(Server.Get(), L"boiler");
    ASSERT_EQ(Lower.Result, S_OK);

    ComPtr<IOPCGroupStateMgt> Found;
    ASSERT_EQ(Server->GetGroupByName(L"Boiler", IID_IOPCGroupStateMgt,
                                     reinterpret_cast<IUnknown**>(Found.GetAddressOf())),
              S_OK);
    EXPECT_EQ(Found.Get(), First.Group.Get());
    ASSERT_EQ(Server->GetGroupByName(L"boiler", IID_IOPCGroupStateMgt,
                                     reinterpret_cast<IUnknown**>(Found.ReleaseAndGetAddressOf())),
              S_OK);
    EXPECT_EQ(Found.Get(), Lower.Group.Get());

    IUnknown* Missing = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(Server->GetGroupByName(L"BOILER", IID_IUnknown, &Missing), E_INVALIDARG);
    EXPECT_EQ(Missing, nullptr);
    Missing = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(Server->GetGroupByName(L"Boiler", IID_IDispatch, &Missing), E_NOINTERFACE);
    EXPECT_EQ(Missing, nullptr);
}

TEST_F(ServerObjectTest, AddGroupRefusesAMissingInterfaceAndMissingOutParameters) {
    ComPtr<IOPCServer> Server = Connect();
    OPCHANDLE Handle = 0;
    DWORD Revised = 0;
    IUnknown* Unknown = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(
        Server->AddGroup(L"G", TRUE, 100, 0, nullptr, nullptr, 0, &Handle, &Revised, IID_IDispatch, &Unknown),
        E_NOINTERFACE);
    EXPECT_EQ(Unknown, nullptr);
    EXPECT_EQ(
        Server->AddGroup(L"G", TRUE, 100, 0, nullptr, nullptr, 0, nullptr, &Revised, IID_IUnknown, &Unknown),
        E_INVALIDARG);
    EXPECT_EQ(
        Server->AddGroup(L"G", TRUE, 100, 0, nullptr, nullptr, 0, &Handle, &Revised, IID_IUnknown, nullptr),
        E_INVALIDARG);
    EXPECT_EQ(ClientOf(Server).GroupCount(), 0);
    EXPECT_EQ(Provider->GroupCount(), 0);
    // The name is still free.
    EXPECT_EQ(Add(Server.Get(), L"G").Result, S_OK);
}

TEST_F(ServerObjectTest, RemovingAGroupTheClientHoldsLeavesItInUseUntilReleased) {
    ComPtr<IOPCServer> Server = Connect();
    int Removed = 0;
    Provider->OnRemoveGroup = [&](TKoOPCProvider*, IKoOPCProviderClient*, IKoOPCProviderGroup*) {
        ++Removed;
    };
    TAdded Held = Add(Server.Get(), L"Held");
    ASSERT_EQ(Held.Result, S_OK);

    EXPECT_EQ(Server->RemoveGroup(Held.ServerHandle, FALSE), OPC_S_INUSE);
    EXPECT_EQ(CountLines(L"Client 0: IOPCServer.RemoveGroup(Held, Force=False): Result=$4000F"), 1);
    // Deleted: no longer found or listed, refused by SetState, still counted and listed inside.
    IUnknown* Found = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(Server->GetGroupByName(L"Held", IID_IUnknown, &Found), E_INVALIDARG);
    ComPtr<IEnumString> Names;
    EXPECT_EQ(Server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString,
                                            reinterpret_cast<IUnknown**>(Names.GetAddressOf())),
              S_FALSE);
    DWORD Rate = 100, Revised = 0;
    EXPECT_EQ(Held.Group->SetState(&Rate, &Revised, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(Held.Group->SetName(L"Other"), E_FAIL);
    EXPECT_EQ(NameOf(Held.Group.Get()), L"Held");
    OPCSERVERSTATUS* Status = nullptr;
    ASSERT_EQ(Server->GetStatus(&Status), S_OK);
    EXPECT_EQ(Status->dwGroupCount, 1u);
    CoTaskMemFree(Status->szVendorInfo);
    CoTaskMemFree(Status);
    EXPECT_EQ(Removed, 0);
    // The name is free for a new group.
    EXPECT_EQ(Add(Server.Get(), L"Held").Result, S_OK);

    EXPECT_EQ(Server->RemoveGroup(Held.ServerHandle, FALSE), E_INVALIDARG);
    EXPECT_EQ(CountLines(L"Client 0: IOPCServer.RemoveGroup(Unknown, Force=False): Result=$80070057"), 1);
    EXPECT_EQ(Server->RemoveGroup(Held.ServerHandle, TRUE), S_OK);
    EXPECT_EQ(CountLines(L"Client 0: IOPCServer.RemoveGroup(Held, Force=True): Result=$0"), 1);
    EXPECT_EQ(Removed, 1);
    EXPECT_EQ(Provider->GroupCount(), 1);
    EXPECT_EQ(ClientOf(Server).GroupCount(), 1);
    // The client's reference still works on the detached group.
    EXPECT_EQ(NameOf(Held.Group.Get()), L"Held");
}

TEST_F(ServerObjectTest, ReleasingTheLastReferenceOfARemovedGroupCompletesTheRemoval) {
    ComPtr<IOPCServer> Server = Connect();
    TAdded Held = Add(Server.Get(), L"Held");
    ASSERT_EQ(Server->RemoveGroup(Held.ServerHandle, FALSE), OPC_S_INUSE);
    ComPtr<IUnknown> Second;
    ASSERT_EQ(Held.Group.As(&Second), S_OK);
    Held.Group.Reset();
    // Still one reference of the client's.
    EXPECT_EQ(ClientOf(Server).GroupCount(), 1);
    EXPECT_EQ(Provider->GroupCount(), 1);
    Second.Reset();
    EXPECT_EQ(ClientOf(Server).GroupCount(), 0);
    EXPECT_EQ(Provider->GroupCount(), 0);
    EXPECT_EQ(CountLines(L"Client 0: IOPCServer.RemoveGroup(Held, Force=True): Result=$0"), 1);
}

TEST_F(ServerObjectTest, DisconnectingUncountsTheGroupsAClientStillHolds) {
    ComPtr<IOPCServer> Server = Connect();
    TAdded Kept = Add(Server.Get(), L"Kept");
    TAdded Dropped = Add(Server.Get(), L"Dropped");
    Dropped.Group.Reset();
    ASSERT_EQ(Provider->GroupCount(), 2);
    Server.Reset();
    EXPECT_EQ(Provider->ClientCount(), 0);
    EXPECT_EQ(Provider->GroupCount(), 0);
    // The group outlives its server object, detached and deleted.
    DWORD Rate = 100, Revised = 0;
    EXPECT_EQ(Kept.Group->SetState(&Rate, &Revised, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(NameOf(Kept.Group.Get()), L"Kept");
    ComPtr<IUnknown> Clone;
    EXPECT_EQ(Kept.Group->CloneGroup(L"Copy", IID_IUnknown, Clone.GetAddressOf()), E_FAIL);
    EXPECT_EQ(GroupOf(Kept.Group).Client(), nullptr);
}

TEST_F(ServerObjectTest, GroupEnumeratorsListPrivateGroupsForTheirScopes) {
    ComPtr<IOPCServer> Server = Connect();
    TAdded One = Add(Server.Get(), L"One");
    TAdded Two = Add(Server.Get(), L"Two");
    TAdded Gone = Add(Server.Get(), L"Gone");
    ASSERT_EQ(Server->RemoveGroup(Gone.ServerHandle, FALSE), OPC_S_INUSE);

    struct TCase {
        OPCENUMSCOPE Scope;
        bool Lists;
    };
    const TCase Cases[] = {{OPC_ENUM_PRIVATE_CONNECTIONS, true},
                           {OPC_ENUM_PUBLIC_CONNECTIONS, false},
                           {OPC_ENUM_ALL_CONNECTIONS, true},
                           {OPC_ENUM_PRIVATE, true},
                           {OPC_ENUM_PUBLIC, false},
                           {OPC_ENUM_ALL, true},
                           {static_cast<OPCENUMSCOPE>(0), false},
                           {static_cast<OPCENUMSCOPE>(7), false}};
    const std::vector<std::wstring> Expected = {L"One", L"Two"};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(static_cast<int>(Case.Scope));
        ComPtr<IEnumString> Names;
        EXPECT_EQ(Server->CreateGroupEnumerator(Case.Scope, IID_IEnumString,
                                                reinterpret_cast<IUnknown**>(Names.GetAddressOf())),
                  Case.Lists ? S_OK : S_FALSE);
        ASSERT_NE(Names.Get(), nullptr);
        EXPECT_EQ(ReadAll(Names.Get()), Case.Lists ? Expected : std::vector<std::wstring>{});

        ComPtr<IEnumUnknown> Groups;
        EXPECT_EQ(Server->CreateGroupEnumerator(Case.Scope, IID_IEnumUnknown,
                                                reinterpret_cast<IUnknown**>(Groups.GetAddressOf())),
                  Case.Lists ? S_OK : S_FALSE);
        ASSERT_NE(Groups.Get(), nullptr);
        IUnknown* Got[3] = {};
        ULONG Fetched = 99;
        EXPECT_EQ(Groups->Next(3, Got, &Fetched), S_FALSE);
        ASSERT_EQ(Fetched, Case.Lists ? 2u : 0u);
        std::vector<std::wstring> Listed;
        for (ULONG I = 0; I < Fetched; ++I) {
            ComPtr<IOPCGroupStateMgt> State;
            ASSERT_EQ(Got[I]->QueryInterface(IID_PPV_ARGS(&State)), S_OK);
            Listed.push_back(NameOf(State.Get()));
            Got[I]->Release();
        }
        EXPECT_EQ(Listed, Case.Lists ? Expected : std::vector<std::wstring>{});
    }
    IUnknown* Other = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(Server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IDispatch, &Other), E_NOINTERFACE);
    EXPECT_EQ(Other, nullptr);
}

TEST_F(ServerObjectTest, EnumeratorsSkipResetAndCloneAtTheirPosition) {
    ComPtr<IEnumString> Names = KoAdopt(KoNewEnumString({L"a", L"b", L"c"}));
    LPOLESTR Got[4] = {};
    ULONG Fetched = 0;
    ASSERT_EQ(Names->Next(1, Got, nullptr), S_OK);
    EXPECT_STREQ(Got[0], L"a");
    CoTaskMemFree(Got[0]);
    ComPtr<IEnumString> Copy;
    ASSERT_EQ(Names->Clone(&Copy), S_OK);
    EXPECT_EQ(Names->Skip(5), S_FALSE);
    EXPECT_EQ(Names->Next(1, Got, &Fetched), S_FALSE);
    EXPECT_EQ(Fetched, 0u);
    // Several entries need the count pointer.
    EXPECT_EQ(Copy->Next(2, Got, nullptr), E_POINTER);
    ASSERT_EQ(Copy->Next(4, Got, &Fetched), S_FALSE);
    ASSERT_EQ(Fetched, 2u);
    EXPECT_STREQ(Got[0], L"b");
    EXPECT_STREQ(Got[1], L"c");
    CoTaskMemFree(Got[0]);
    CoTaskMemFree(Got[1]);
    ASSERT_EQ(Names->Reset(), S_OK);
    EXPECT_EQ(ReadAll(Names.Get()), (std::vector<std::wstring>{L"a", L"b", L"c"}));
}

TEST_F(ServerObjectTest, StatusReportsTheProviderAndTheProgramVersion) {
    ComPtr<IOPCServer> Server = Connect();
    TAdded A = Add(Server.Get(), L"A");
    ComPtr<IOPCServer> Other = Connect();
    TAdded B = Add(Other.Get(), L"B");
    Lines.clear();

    OPCSERVERSTATUS* Status = nullptr;
    ASSERT_EQ(Server->GetStatus(&Status), S_OK);
    ASSERT_NE(Status, nullptr);
    EXPECT_EQ(Status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(Status->dwGroupCount, 2u); // the groups of all clients
    EXPECT_EQ(Status->dwBandWidth, 0u);
    EXPECT_STREQ(Status->szVendorInfo, L"Simulation OPC Server by Korvel OPC Ltd");
    // test_server.exe carries file version 1.8.5.42; the third part is not reported.
    EXPECT_EQ(Status->wMajorVersion, 1);
    EXPECT_EQ(Status->wMinorVersion, 8);
    EXPECT_EQ(Status->wBuildNumber, 42);
    EXPECT_EQ(Status->ftLastUpdateTime.dwLowDateTime, 0u);
    EXPECT_EQ(Status->ftLastUpdateTime.dwHighDateTime, 0u);
    EXPECT_NEAR(FileTimeToDateTime(Status->ftStartTime), Provider->StartTime(), 0.002 / 86400);
    EXPECT_NEAR(FileTimeToDateTime(Status->ftCurrentTime), NowUTC(), 5.0 / 86400);
    CoTaskMemFree(Status->szVendorInfo);
    CoTaskMemFree(Status);
    EXPECT_EQ(Lines, std::vector<std::wstring>{L"Client 0: GetStatus"});

    ClientOf(Server).ClientUpdated();
    ASSERT_EQ(Server->GetStatus(&Status), S_OK);
    EXPECT_NEAR(FileTimeToDateTime(Status->ftLastUpdateTime), NowUTC(), 5.0 / 86400);
    CoTaskMemFree(Status->szVendorInfo);
    CoTaskMemFree(Status);
    EXPECT_EQ(Server->GetStatus(nullptr), E_INVALIDARG);

    // Detached by the shutdown: no provider to report.
    Provider->Shutdown(L"Test over");
    Lines.clear();
    Status = reinterpret_cast<OPCSERVERSTATUS*>(1);
    EXPECT_EQ(Server->GetStatus(&Status), E_FAIL);
    EXPECT_EQ(Status, nullptr);
    EXPECT_TRUE(Lines.empty());
}

TEST_F(ServerObjectTest, OnlyTheSystemDefaultLocaleIsOffered) {
    ComPtr<IOPCServer> Server = Connect();
    ComPtr<IOPCCommon> Common;
    ASSERT_EQ(Server.As(&Common), S_OK);
    EXPECT_EQ(Common->SetLocaleID(LOCALE_SYSTEM_DEFAULT), S_OK);
    for (LCID Refused : {LCID(1033), LCID(0), LCID(1024), LCID(0x0407), LCID(0xFFFFFFFF)})
        EXPECT_EQ(Common->SetLocaleID(Refused), E_INVALIDARG) << Refused;
    LCID Current = 0;
    ASSERT_EQ(Common->GetLocaleID(&Current), S_OK);
    EXPECT_EQ(Current, 2048u);

    DWORD Count = 0;
    LCID* Locales = nullptr;
    ASSERT_EQ(Common->QueryAvailableLocaleIDs(&Count, &Locales), S_OK);
    ASSERT_EQ(Count, 1u);
    ASSERT_NE(Locales, nullptr);
    EXPECT_EQ(Locales[0], 2048u);
    CoTaskMemFree(Locales);
}

TEST_F(ServerObjectTest, ErrorStringsAreTheShortTexts) {
    ComPtr<IOPCServer> Server = Connect();
    ComPtr<IOPCCommon> Common;
    ASSERT_EQ(Server.As(&Common), S_OK);
    struct TCase {
        HRESULT Code;
        std::wstring Text;
    };
    const TCase Cases[] = {{S_OK, L"OK"},
                           {OPC_E_DUPLICATENAME, L"Duplicate name"},
                           {OPC_E_UNKNOWNITEMID, L"Unknown ItemID"},
                           {OPC_E_INVALID_PID, L"Invalid Property ID"},
                           {OPC_S_INUSE, OPCErrorText(OPC_S_INUSE)},
                           {E_INVALIDARG, OPCErrorText(E_INVALIDARG)}};
    for (const TCase& Case : Cases) {
        LPWSTR Text = nullptr;
        ASSERT_EQ(Server->GetErrorString(Case.Code, 1033, &Text), S_OK);
        EXPECT_EQ(std::wstring(Text), Case.Text);
        CoTaskMemFree(Text);
        ASSERT_EQ(Common->GetErrorString(Case.Code, &Text), S_OK);
        EXPECT_EQ(std::wstring(Text), Case.Text);
        CoTaskMemFree(Text);
    }
    EXPECT_FALSE(OPCErrorText(OPC_S_INUSE).empty());
    EXPECT_EQ(Server->GetErrorString(S_OK, 0, nullptr), E_INVALIDARG);
}

TEST_F(ServerObjectTest, ClientNamePrefixesLaterLinesOfTheConnectionAndItsGroups) {
    ComPtr<IOPCServer> Server = Connect();
    ComPtr<IOPCCommon> Common;
    ASSERT_EQ(Server.As(&Common), S_OK);
    TAdded Group = Add(Server.Get(), L"G1");
    Lines.clear();
    ASSERT_EQ(Common->SetClientName(L"Probe"), S_OK);
    ASSERT_EQ(Group.Group->SetName(L"G2"), S_OK);
    ASSERT_EQ(Common->SetClientName(nullptr), S_OK);
    EXPECT_EQ(Lines, (std::vector<std::wstring>{L"Client 0: IOPCServer.SetClientName(\"Probe\")",
                                                L"Probe: G1: IOPCGroupStateMgt.SetName(G1)",
                                                L"Probe: IOPCServer.SetClientName(\"\")"}));
    EXPECT_EQ(ClientOf(Server).Name(), L"");
}

TEST_F(ServerObjectTest, ShutdownSinksHearTheReasonNewestFirst) {
    ComPtr<IOPCServer> Server = Connect();
    ComPtr<IConnectionPointContainer> Container;
    ASSERT_EQ(Server.As(&Container), S_OK);
    ComPtr<IConnectionPoint> Point;
    ASSERT_EQ(Container->FindConnectionPoint(IID_IOPCShutdown, &Point), S_OK);
    IConnectionPoint* None = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(Container->FindConnectionPoint(IID_IOPCDataCallback, &None), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(None, nullptr);
    IID Iid{};
    ASSERT_EQ(Point->GetConnectionInterface(&Iid), S_OK);
    EXPECT_TRUE(IsEqualIID(Iid, IID_IOPCShutdown));
    ComPtr<IConnectionPointContainer> Back;
    ASSERT_EQ(Point->GetConnectionPointContainer(&Back), S_OK);
    EXPECT_EQ(Back.Get(), Container.Get());

    ComPtr<IEnumConnectionPoints> Points;
    ASSERT_EQ(Container->EnumConnectionPoints(&Points), S_OK);
    IConnectionPoint* Listed[2] = {};
    ULONG Fetched = 0;
    EXPECT_EQ(Points->Next(2, Listed, &Fetched), S_FALSE);
    ASSERT_EQ(Fetched, 1u);
    EXPECT_EQ(Listed[0], Point.Get());
    Listed[0]->Release();

    std::vector<std::wstring> Journal;
    ComPtr<TShutdownSink> A = KoAdopt(new TShutdownSink(Journal, L"A"));
    ComPtr<TShutdownSink> B = KoAdopt(new TShutdownSink(Journal, L"B"));
    ComPtr<TShutdownSink> C = KoAdopt(new TShutdownSink(Journal, L"C"));
    A->Fail = true; // a failing sink does not stop the others
    DWORD CookieA = 0, CookieB = 0, CookieC = 0;
    ASSERT_EQ(Point->Advise(A->Unknown(), &CookieA), S_OK);
    ASSERT_EQ(Point->Advise(B->Unknown(), &CookieB), S_OK);
    ASSERT_EQ(Point->Advise(C->Unknown(), &CookieC), S_OK);
    EXPECT_EQ(std::set<DWORD>({CookieA, CookieB, CookieC}).size(), 3u);
    ASSERT_EQ(Point->Unadvise(CookieB), S_OK);
    EXPECT_EQ(Point->Unadvise(CookieB), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Point->Unadvise(0), CONNECT_E_NOCONNECTION);
    ComPtr<TOtherSink> NoSink = KoAdopt(new TOtherSink());
    DWORD Cookie = 7;
    EXPECT_EQ(Point->Advise(NoSink->Unknown(), &Cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(Cookie, 0u);

    ComPtr<IEnumConnections> Connections;
    ASSERT_EQ(Point->EnumConnections(&Connections), S_OK);
    CONNECTDATA Data[3] = {};
    ASSERT_EQ(Connections->Next(3, Data, &Fetched), S_FALSE);
    ASSERT_EQ(Fetched, 2u);
    EXPECT_EQ(Data[0].dwCookie, CookieA);
    EXPECT_EQ(Data[1].dwCookie, CookieC);
    for (ULONG I = 0; I < Fetched; ++I) Data[I].pUnk->Release();

    EXPECT_EQ(CountLines(L"Client 0: Shutdown callback connected"), 3);
    EXPECT_EQ(CountLines(L"Client 0: Shutdown callback disconnected"), 1);

    // A holder of the connection point keeps the server object alive; let go of all but the
    // interface pointer the shutdown has to detach.
    Points.Reset();
    Connections.Reset();
    Back.Reset();
    Container.Reset();
    Point.Reset();
    Provider->Shutdown(L"Going down");
    EXPECT_EQ(Journal, (std::vector<std::wstring>{L"C: Going down", L"A: Going down"}));
    EXPECT_EQ(Provider->ClientCount(), 0);
    EXPECT_EQ(ClientOf(Server).Provider(), nullptr);
    // The detached object still works, without logging.
    Lines.clear();
    EXPECT_EQ(Add(Server.Get(), L"Late").Result, S_OK);
    EXPECT_TRUE(Lines.empty());
}

// Several threads adding, renaming, enumerating and removing groups at once, on one server
// object and on server objects of their own; at the end no group and no client is left over.
TEST_F(ServerObjectTest, ConcurrentGroupTrafficEndsWithNothingLeft) {
    ComPtr<IOPCServer> Shared = Connect();
    constexpr int SharedThreads = 4, OwnThreads = 3, Rounds = 150;
    std::atomic<int> Unexpected{0};
    std::mutex FailureLock;
    std::vector<std::wstring> Failures;
    auto Expect = [&](bool Condition, const std::wstring& What) {
        if (Condition) return;
        ++Unexpected;
        std::lock_guard Guard(FailureLock);
        if (Failures.size() < 10) Failures.push_back(What);
    };
    auto Traffic = [&](IOPCServer* Server, int Thread) {
        for (int Round = 0; Round < Rounds; ++Round) {
            const std::wstring Name = L"T" + std::to_wstring(Thread) + L"_" + std::to_wstring(Round);
            TAdded Added = Add(Server, Round % 3 == 0 ? nullptr : Name.c_str(), 100 + Round % 7);
            if (FAILED(Added.Result)) {
                Expect(false, L"AddGroup " + Name + L" " + std::to_wstring(Added.Result));
                continue;
            }
            DWORD Rate = 5, Revised = 0;
            Expect(Added.Group->SetState(&Rate, &Revised, nullptr, nullptr, nullptr, nullptr, nullptr) ==
                       OPC_S_UNSUPPORTEDRATE,
                   L"SetState");
            Expect(SUCCEEDED(Added.Group->SetName((Name + L"r").c_str())), L"SetName");
            ComPtr<IUnknown> Found;
            Expect(Server->GetGroupByName((Name + L"r").c_str(), IID_IUnknown, Found.GetAddressOf()) == S_OK,
                   L"GetGroupByName");
            Found.Reset();
            ComPtr<IUnknown> Enum;
            Expect(
                SUCCEEDED(Server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, Enum.GetAddressOf())),
                L"CreateGroupEnumerator");
            OPCSERVERSTATUS* Status = nullptr;
            if (SUCCEEDED(Server->GetStatus(&Status))) {
                CoTaskMemFree(Status->szVendorInfo);
                CoTaskMemFree(Status);
            }
            HRESULT Removed;
            switch (Round % 3) {
            case 0: // released first: removed now, or by the last holder (an enumerator)
                Added.Group.Reset();
                Removed = Server->RemoveGroup(Added.ServerHandle, FALSE);
                Expect(Removed == S_OK || Removed == OPC_S_INUSE, L"RemoveGroup released");
                break;
            case 1: // still held: in use, removed when released
                Removed = Server->RemoveGroup(Added.ServerHandle, FALSE);
                Expect(Removed == OPC_S_INUSE, L"RemoveGroup held");
                Added.Group.Reset();
                break;
            default: // forced while held
                Removed = Server->RemoveGroup(Added.ServerHandle, TRUE);
                Expect(Removed == S_OK, L"RemoveGroup forced");
                break;
            }
        }
    };
    kotest::RunOnThreads(SharedThreads + OwnThreads, [&](int Thread) {
        if (Thread < SharedThreads) {
            Traffic(Shared.Get(), Thread);
            return;
        }
        ComPtr<IOPCServer> Own = KoAdopt(static_cast<IOPCServer*>(TKoOPCProviderClient::Create(*Provider)));
        Traffic(Own.Get(), Thread);
        // The last one leaves a group behind for the disconnection to clear.
        if (Thread == SharedThreads + OwnThreads - 1) {
            TAdded Left = Add(Own.Get(), L"LeftBehind");
            Expect(Left.Result == S_OK, L"LeftBehind");
        }
    });
    for (const std::wstring& Failure : Failures) ADD_FAILURE() << KoUtf8(Failure);
    EXPECT_EQ(Unexpected.load(), 0);
    EXPECT_EQ(ClientOf(Shared).GroupCount(), 0);
    // The own server objects were released on worker threads: their disconnection runs here.
    ASSERT_TRUE(kotest::PumpUntil([&] { return Provider->ClientCount() == 1; }, 10s));
    EXPECT_EQ(Provider->GroupCount(), 0);
    Shared.Reset();
    EXPECT_EQ(Provider->ClientCount(), 0);
}

// Threads competing for one name, by renaming their groups and by adding groups: whoever holds
// the name keeps it until it lets go.
TEST_F(ServerObjectTest, ContestedNamesGoToOneGroupAtATime) {
    ComPtr<IOPCServer> Server = Connect();
    constexpr int Threads = 4, Rounds = 200;
    std::atomic<int> Held{0}, Violations{0};
    kotest::RunOnThreads(Threads, [&](int Thread) {
        const std::wstring Own = L"Own" + std::to_wstring(Thread);
        TAdded Mine = Add(Server.Get(), Own.c_str());
        if (FAILED(Mine.Result)) {
            ++Violations;
            return;
        }
        for (int Round = 0; Round < Rounds; ++Round) {
            const bool ByRename = Round % 2 == 0;
            TAdded Added;
            if (ByRename) {
                if (Mine.Group->SetName(L"Contested") != S_OK) continue;
            } else {
                Added = Add(Server.Get(), L"Contested");
                if (Added.Result != S_OK) {
                    if (Added.Result != OPC_E_DUPLICATENAME) ++Violations;
                    continue;
                }
            }
            ++Held;
            ComPtr<IUnknown> Found, Expected;
            (ByRename ? Mine.Group : Added.Group).As(&Expected);
            if (Server->GetGroupByName(L"Contested", IID_IUnknown, Found.GetAddressOf()) != S_OK ||
                Found.Get() != Expected.Get())
                ++Violations;
            Found.Reset();
            Expected.Reset();
            if (ByRename) {
                if (Mine.Group->SetName(Own.c_str()) != S_OK) ++Violations;
            } else {
                Added.Group.Reset();
                if (Server->RemoveGroup(Added.ServerHandle, TRUE) != S_OK) ++Violations;
            }
        }
    });
    EXPECT_EQ(Violations.load(), 0);
    EXPECT_GT(Held.load(), 0);
    EXPECT_EQ(ClientOf(Server).GroupCount(), Threads);
}
