#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "KoServerObjectTesting.h"
#include "KoUtils.h"

using kotest::ServerObjectTest;

namespace {

struct TState {
    DWORD Rate = 0;
    BOOL Active = 0;
    std::wstring Name;
    LONG Bias = 0;
    FLOAT Deadband = 0;
    LCID Locale = 0;
    OPCHANDLE Client = 0;
    OPCHANDLE Server = 0;
};

TState StateOf(IOPCGroupStateMgt* Group) {
    TState State;
    LPWSTR Name = nullptr;
    EXPECT_EQ(Group->GetState(&State.Rate, &State.Active, &Name, &State.Bias, &State.Deadband, &State.Locale,
                              &State.Client, &State.Server),
              S_OK);
    State.Name = Name ? Name : L"<null>";
    CoTaskMemFree(Name);
    return State;
}

bool SameFileTime(const FILETIME& A, const FILETIME& B) {
    return A.dwLowDateTime == B.dwLowDateTime && A.dwHighDateTime == B.dwHighDateTime;
}

class GroupTest : public ServerObjectTest {
protected:
    void SetUp() override {
        ServerObjectTest::SetUp();
        Server = Connect();
    }
    void TearDown() override {
        KoSetTimeZoneSource({});
        Server.Reset();
        ServerObjectTest::TearDown();
    }
    ComPtr<IOPCServer> Server;
};

} // namespace

TEST_F(GroupTest, NewGroupsReportWhatTheyWereCreatedWith) {
    LONG Bias = -90;
    FLOAT Deadband = 2.5f;
    struct TCase {
        DWORD Rate;
        BOOL Active;
        OPCHANDLE Client;
        LONG* Bias;
        FLOAT* Deadband;
        LCID Locale;
        TState Expected;
    };
    const TCase Cases[] = {
        {0, FALSE, 0, nullptr, nullptr, 0, {0, 0, L"GroupA", 0, 0, 0, 0, 0}},
        // The rate is stored as requested, also below the minimum that SetState applies.
        {5, TRUE, 77, &Bias, &Deadband, 1033, {5, 1, L"GroupB", -90, 2.5f, 1033, 77, 0}},
    };
    std::vector<TAdded> Groups;
    for (const TCase& Case : Cases) {
        Groups.push_back(Add(Server.Get(), nullptr, Case.Rate, Case.Active, Case.Client, Case.Bias,
                             Case.Deadband, Case.Locale));
        const TAdded& Added = Groups.back();
        ASSERT_EQ(Added.Result, S_OK);
        EXPECT_EQ(Added.RevisedRate, Case.Rate);
        const TState State = StateOf(Added.Group.Get());
        EXPECT_EQ(State.Rate, Case.Expected.Rate);
        EXPECT_EQ(State.Active, Case.Expected.Active);
        EXPECT_EQ(State.Name, Case.Expected.Name);
        EXPECT_EQ(State.Bias, Case.Expected.Bias);
        EXPECT_EQ(State.Deadband, Case.Expected.Deadband);
        EXPECT_EQ(State.Locale, Case.Expected.Locale);
        EXPECT_EQ(State.Client, Case.Expected.Client);
        EXPECT_EQ(State.Server, Added.ServerHandle);
        EXPECT_FALSE(GroupOf(Added.Group).LocalTimeBias());
        EXPECT_TRUE(GroupOf(Added.Group).Enabled());
    }
    DWORD Rate;
    BOOL Active;
    LPWSTR Name = nullptr;
    OPCHANDLE Handle;
    EXPECT_EQ(Groups[0].Group->GetState(&Rate, &Active, &Name, nullptr, nullptr, nullptr, &Handle, &Handle),
              E_INVALIDARG);
    EXPECT_EQ(Name, nullptr);
}

TEST_F(GroupTest, SetStateRevisesOnlyTheUpdateRate) {
    TAdded Added = Add(Server.Get(), L"G", 1000);
    struct TCase {
        DWORD Requested;
        DWORD Revised;
        HRESULT Result;
    };
    const TCase Cases[] = {{5, 10, OPC_S_UNSUPPORTEDRATE},
                           {0, 10, OPC_S_UNSUPPORTEDRATE},
                           {9, 10, OPC_S_UNSUPPORTEDRATE},
                           {10, 10, S_OK},
                           {250, 250, S_OK},
                           {0xFFFFFFFF, 0xFFFFFFFF, S_OK}};
    for (const TCase& Case : Cases) {
        DWORD Requested = Case.Requested, Revised = 0;
        EXPECT_EQ(Added.Group->SetState(&Requested, &Revised, nullptr, nullptr, nullptr, nullptr, nullptr),
                  Case.Result)
            << Case.Requested;
        EXPECT_EQ(Revised, Case.Revised);
        EXPECT_EQ(StateOf(Added.Group.Get()).Rate, Case.Revised);
    }
    // Any deadband, locale and bias is taken as given.
    for (FLOAT Deadband : {150.0f, -1.0f, 0.0f}) {
        LONG Bias = -100000;
        LCID Locale = 0xDEAD;
        EXPECT_EQ(Added.Group->SetState(nullptr, nullptr, nullptr, &Bias, &Deadband, &Locale, nullptr), S_OK);
        const TState State = StateOf(Added.Group.Get());
        EXPECT_EQ(State.Deadband, Deadband);
        EXPECT_EQ(State.Bias, -100000);
        EXPECT_EQ(State.Locale, 0xDEADu);
    }
}

TEST_F(GroupTest, SetStateLogsItsSettingsAndSignalsStateChanges) {
    TAdded Added = Add(Server.Get(), L"G", 1000, TRUE);
    int Changes = 0;
    GroupOf(Added.Group).OnStateChange = [&](TKoOPCProviderGroup*) { ++Changes; };
    Lines.clear();

    // The client handle is no state change.
    OPCHANDLE ClientHandle = 99;
    EXPECT_EQ(Added.Group->SetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &ClientHandle),
              S_OK);
    EXPECT_EQ(Changes, 0);
    EXPECT_EQ(StateOf(Added.Group.Get()).Client, 99u);

    DWORD Rate = 5, Revised = 0;
    BOOL Active = FALSE;
    LONG Bias = -60;
    FLOAT Deadband = 150;
    LCID Locale = 1033;
    ClientHandle = 3;
    EXPECT_EQ(Added.Group->SetState(&Rate, &Revised, &Active, &Bias, &Deadband, &Locale, &ClientHandle),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(Changes, 5); // rate, bias, deadband, locale, active
    const TState State = StateOf(Added.Group.Get());
    EXPECT_EQ(State.Active, FALSE);
    EXPECT_EQ(State.Client, 3u);

    // Requesting 5 again compares with the stored 10 before the minimum: a change all the same.
    // Requesting the stored 10 is none.
    Changes = 0;
    EXPECT_EQ(Added.Group->SetState(&Rate, &Revised, &Active, &Bias, &Deadband, &Locale, nullptr),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(Changes, 1);
    Rate = 10;
    EXPECT_EQ(Added.Group->SetState(&Rate, &Revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Changes, 1);

    EXPECT_EQ(Lines, (std::vector<std::wstring>{
                         L"Client 0: G: IOPCGroupStateMgt.SetState(phClientGroup=99): Result=$0",
                         L"Client 0: G: IOPCGroupStateMgt.SetState(pRequestedUpdateRate=5,pTimeBias=-60,"
                         L"pPercentDeadBand=150,pLCID=1033,phClientGroup=3,pActive=False): Result=$4000D",
                         L"Client 0: G: IOPCGroupStateMgt.SetState(pRequestedUpdateRate=5,pTimeBias=-60,"
                         L"pPercentDeadBand=150,pLCID=1033,pActive=False): Result=$4000D",
                         L"Client 0: G: IOPCGroupStateMgt.SetState(pRequestedUpdateRate=10): Result=$0"}));
}

TEST_F(GroupTest, TimeStampsFollowTheTimeBiasOrTheLocalZone) {
    const double Stamp = 46000.25; // a UTC date-time
    LONG Bias = 120;
    TAdded Fixed = Add(Server.Get(), L"Fixed", 1000, TRUE, 0, &Bias);
    TKoOPCProviderGroup& FixedGroup = GroupOf(Fixed.Group);
    EXPECT_EQ(StateOf(Fixed.Group.Get()).Bias, 120);
    EXPECT_TRUE(SameFileTime(FixedGroup.ToFileTime(Stamp), DateTimeToFileTime(Stamp + 120.0 / 1440)));
    EXPECT_TRUE(SameFileTime(FixedGroup.ToFileTime(0), FILETIME{}));

    // A zone one hour east of Greenwich without daylight time.
    KoSetTimeZoneSource([](TIME_ZONE_INFORMATION& Zone) {
        Zone = TIME_ZONE_INFORMATION{};
        Zone.Bias = -60;
        return static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN);
    });
    Provider->SetSupportLocalTimeBias(true);
    TAdded Local = Add(Server.Get(), L"Local");
    TKoOPCProviderGroup& LocalGroup = GroupOf(Local.Group);
    ASSERT_TRUE(LocalGroup.LocalTimeBias());
    EXPECT_EQ(StateOf(Local.Group.Get()).Bias, LocalTimeBias());
    EXPECT_NE(LocalTimeBias(), 0);
    EXPECT_TRUE(SameFileTime(LocalGroup.ToFileTime(Stamp), DateTimeToFileTime(Stamp + 60.0 / 1440)));
    EXPECT_TRUE(SameFileTime(LocalGroup.ToFileTime(0), FILETIME{}));

    // A clone keeps the stored bias, not the zone.
    ComPtr<IOPCGroupStateMgt> Clone;
    ASSERT_EQ(Local.Group->CloneGroup(L"Clone", IID_IOPCGroupStateMgt,
                                      reinterpret_cast<IUnknown**>(Clone.GetAddressOf())),
              S_OK);
    EXPECT_FALSE(GroupOf(Clone).LocalTimeBias());
    EXPECT_EQ(StateOf(Clone.Get()).Bias, 0);

    // Setting a bias, even the stored 0, leaves the zone.
    int Changes = 0;
    LocalGroup.OnStateChange = [&](TKoOPCProviderGroup*) { ++Changes; };
    LONG Zero = 0;
    EXPECT_EQ(Local.Group->SetState(nullptr, nullptr, nullptr, &Zero, nullptr, nullptr, nullptr), S_OK);
    EXPECT_FALSE(LocalGroup.LocalTimeBias());
    EXPECT_EQ(Changes, 1);
    EXPECT_EQ(StateOf(Local.Group.Get()).Bias, 0);
    EXPECT_TRUE(SameFileTime(LocalGroup.ToFileTime(Stamp), DateTimeToFileTime(Stamp)));
}

TEST_F(GroupTest, SetNameKeepsNamesUniquePerClient) {
    TAdded First = Add(Server.Get(), L"First");
    TAdded Second = Add(Server.Get(), L"Second");
    ComPtr<IOPCServer> OtherServer = Connect();
    TAdded Elsewhere = Add(OtherServer.Get(), L"Elsewhere");
    Lines.clear();
    struct TCase {
        const wchar_t* Name;
        HRESULT Result;
        std::wstring After;
    };
    const TCase Cases[] = {{L"First", OPC_E_DUPLICATENAME, L"Second"},
                           {L"", E_INVALIDARG, L"Second"},
                           {nullptr, E_INVALIDARG, L"Second"},
                           {L"Second", S_OK, L"Second"},
                           {L"Elsewhere", S_OK, L"Elsewhere"}, // another client's name is free
                           {L"first", S_OK, L"first"}};
    for (const TCase& Case : Cases) {
        EXPECT_EQ(Second.Group->SetName(Case.Name), Case.Result) << (Case.Name ? Case.Name : L"(null)");
        EXPECT_EQ(StateOf(Second.Group.Get()).Name, Case.After);
    }
    EXPECT_EQ(Lines.front(), L"Client 0: Second: IOPCGroupStateMgt.SetName(Second)");
    EXPECT_EQ(Lines.back(), L"Client 0: Elsewhere: IOPCGroupStateMgt.SetName(Elsewhere)");
    // The old name is free again, the new one found.
    ComPtr<IUnknown> Found;
    EXPECT_EQ(Server->GetGroupByName(L"first", IID_IUnknown, Found.GetAddressOf()), S_OK);
    EXPECT_EQ(Add(Server.Get(), L"Second").Result, S_OK);
}

TEST_F(GroupTest, CloneGroupMakesAnInactiveCopyOfTheState) {
    LONG Bias = 30;
    FLOAT Deadband = 1.5f;
    TAdded Source = Add(Server.Get(), L"Source", 250, TRUE, 5, &Bias, &Deadband, 1033);
    ComPtr<IOPCGroupStateMgt> Copy;
    ASSERT_EQ(Source.Group->CloneGroup(L"Copy", IID_IOPCGroupStateMgt,
                                       reinterpret_cast<IUnknown**>(Copy.GetAddressOf())),
              S_OK);
    const TState Original = StateOf(Source.Group.Get());
    const TState Cloned = StateOf(Copy.Get());
    EXPECT_EQ(Cloned.Name, L"Copy");
    EXPECT_EQ(Cloned.Active, FALSE);
    EXPECT_EQ(Original.Active, TRUE);
    EXPECT_EQ(Cloned.Rate, 250u);
    EXPECT_EQ(Cloned.Bias, 30);
    EXPECT_EQ(Cloned.Deadband, 1.5f);
    EXPECT_EQ(Cloned.Locale, 1033u);
    EXPECT_EQ(Cloned.Client, 5u);
    EXPECT_NE(Cloned.Server, Original.Server);
    EXPECT_EQ(Provider->GroupCount(), 2);
    EXPECT_EQ(ClientOf(Server).GroupCount(), 2);

    // No name: the client picks one; a taken name: refused with nothing handed out.
    ComPtr<IUnknown> Unnamed;
    ASSERT_EQ(Source.Group->CloneGroup(nullptr, IID_IUnknown, Unnamed.GetAddressOf()), S_OK);
    ComPtr<IOPCGroupStateMgt> UnnamedState;
    ASSERT_EQ(Unnamed.As(&UnnamedState), S_OK);
    EXPECT_EQ(StateOf(UnnamedState.Get()).Name, L"GroupC");
    IUnknown* Refused = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(Source.Group->CloneGroup(L"Copy", IID_IUnknown, &Refused), OPC_E_DUPLICATENAME);
    EXPECT_EQ(Refused, nullptr);
    Refused = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(Source.Group->CloneGroup(L"Other", IID_IDispatch, &Refused), E_NOINTERFACE);
    EXPECT_EQ(Refused, nullptr);
    EXPECT_EQ(Provider->GroupCount(), 3);
}

TEST_F(GroupTest, StatusCheckAndDA1TransactionIDs) {
    TAdded Added = Add(Server.Get(), L"G");
    TKoOPCProviderGroup& Group = GroupOf(Added.Group);
    EXPECT_EQ(Group.DA1TransactionID(), 101u);
    EXPECT_EQ(Group.DA1TransactionID(), 102u);

    Lines.clear();
    HRESULT Result = E_UNEXPECTED;
    EXPECT_TRUE(Group.CheckStatus(Result, false, L"Read"));
    EXPECT_EQ(Result, S_OK);
    EXPECT_FALSE(Group.CheckStatus(Result, true, L"Refresh2"));
    EXPECT_EQ(Result, CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Lines, std::vector<std::wstring>{L"Client 0: G: Refresh2: No callback!"});

    ASSERT_EQ(Server->RemoveGroup(Added.ServerHandle, FALSE), OPC_S_INUSE);
    EXPECT_TRUE(Group.Deleted());
    EXPECT_EQ(Group.ItemCount(), 0);
    EXPECT_FALSE(Group.CheckStatus(Result, true, L"Read"));
    EXPECT_EQ(Result, E_FAIL);
}
