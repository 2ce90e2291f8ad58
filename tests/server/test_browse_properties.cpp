// Item properties and browsing of a server object inside the server process, where the variables
// and the address space can be set up as a case needs: classes, range modes, qualities, disabled
// and included property nodes, variables made while a client browses.

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "KoApplication.h"
#include "KoComObjects.h"
#include "KoExplorerCalls.h"
#include "KoOPCAddressSpace.h"
#include "KoOPCItemProperties.h"
#include "KoOPCServerObject.h"
#include "KoOle.h"
#include "KoServerObjectTesting.h"
#include "KoUtils.h"
#include "KoVars.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "StaticVars.h"

namespace {

using namespace kotest;

constexpr HRESULT kInvalidPID = static_cast<HRESULT>(0xC0040203);

// ---- the fixture ----

// The modules Static, Random and ReadOnly with their timers stopped, a running provider with its
// address space, and one connection to it.
class BrowsePropertiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        const kotest::TStoppedModules Modules = kotest::CreateStoppedModules();
        Static = Modules.Static;
        Random = Modules.Random;
        ReadOnly = Modules.ReadOnly;
        Provider = std::make_unique<TKoOPCProvider>(KoCreateOPCAddressSpace);
        Provider->Run();
        Master = dynamic_cast<TKoOPCProviderAddressSpace*>(Provider->AddressSpace());
        ASSERT_NE(Master, nullptr);
        Server = KoAdopt(static_cast<IOPCServer*>(TKoOPCProviderClient::Create(*Provider)));
        ASSERT_EQ(Server.As(&Props), S_OK);
        ASSERT_EQ(Server.As(&Space), S_OK);
    }
    void TearDown() override {
        Space.Reset();
        Props.Reset();
        Server.Reset();
        Provider.reset();
        Application().DestroyComponents();
    }

    TStatic* Static = nullptr;
    TRandom* Random = nullptr;
    TReadOnly* ReadOnly = nullptr;
    std::unique_ptr<TKoOPCProvider> Provider;
    TKoOPCProviderAddressSpace* Master = nullptr;
    ComPtr<IOPCServer> Server;
    ComPtr<IOPCItemProperties> Props;
    ComPtr<IOPCBrowseServerAddressSpace> Space;
};

// ---- item properties ----

TEST_F(BrowsePropertiesTest, AvailablePropertiesFollowTheClassOfTheComponent) {
    const std::vector<DWORD> Float = {1,   2,   3,   4,   5,   6,   100, 101, 102, 103,
                                      104, 105, 108, 300, 301, 307, 308, 309, 310};
    const std::vector<DWORD> Bool = {1, 2, 3, 4, 5, 6, 101, 106, 107, 108, 300, 301};
    const std::vector<DWORD> Other = {1, 2, 3, 4, 5, 6, 101, 108, 300, 301};
    struct TCase {
        const wchar_t* ItemID;
        std::vector<DWORD> IDs;
        VARTYPE ValueType; // of the ID 2 entry
    } Cases[] = {
        {L"Random.KoFloat1", Float, VT_R8},
        {L"Random.KoFloatArray1", Float, VT_R8}, // the array's elements, without the array flag
        {L"Random.KoDateTime1", Float, VT_DATE},
        {L"random.kobool1", Bool, VT_BOOL},
        {L"Random.KoString1", Other, VT_BSTR},
        {L"Static.KoInteger1", Other, VT_I4},
        {L"Random.KoFloat1.vpEngUnit", Float, VT_R8},
        {L"Random", {101}, VT_EMPTY},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(KoUtf8(Case.ItemID));
        const Available Got = QueryAvailable(Props.Get(), Case.ItemID);
        ASSERT_EQ(Got.Result, S_OK);
        EXPECT_EQ(Got.IDs, Case.IDs);
        for (size_t I = 0; I < Got.IDs.size(); ++I) {
            if (Got.IDs[I] == 2) {
                EXPECT_EQ(Got.Types[I], Case.ValueType);
            }
            if (Got.IDs[I] == 1) {
                EXPECT_EQ(Got.Descriptions[I], L"Canonical Data Type");
            }
            if (Got.IDs[I] == 108) {
                EXPECT_EQ(Got.Descriptions[I], L"Timezone difference (minutes)");
            }
            if (Got.IDs[I] == 4) {
                EXPECT_EQ(Got.Types[I], VT_DATE);
            }
        }
    }
}

TEST_F(BrowsePropertiesTest, PropertyValuesAreReadAtTheMomentOfTheCall) {
    Random->KoFloat1->SetValue(42.5);
    Random->KoBool1->SetStringValueTrue(L"Open");
    Static->KoInteger1->SetValue(7);
    // A property of bad quality reads as empty.
    Static->KoFloat1->Undefine(vpAlarmHigh, NowUTC());

    struct TCase {
        const wchar_t* ItemID;
        DWORD ID;
        HRESULT Error;
        VARTYPE Type;
        std::wstring Text; // of the value, when given
    } Cases[] = {
        {L"Random.KoFloat1", 1, S_OK, VT_I2, L"5"},
        {L"Random.KoFloat1", 2, S_OK, VT_R8, L"42.5"},
        {L"Random.KoFloat1", 3, S_OK, VT_I2, L"192"},
        {L"Random.KoFloat1", 4, S_OK, VT_DATE, L""},
        {L"Random.KoFloat1", 5, S_OK, VT_I4, L"3"},
        {L"ReadOnly.KoFloat1", 5, S_OK, VT_I4, L"1"},
        {L"Random.KoFloat1", 6, S_OK, VT_R4, L"0"},
        {L"Random.KoFloat1", 100, S_OK, VT_BSTR, L"\u00B0C"},
        {L"Random.KoFloat1", 101, S_OK, VT_BSTR, L"KoFloat1"},
        {L"Random.KoFloat1", 102, S_OK, VT_R8, L"100"},
        {L"Random.KoFloat1", 105, S_OK, VT_R8, L"0"},
        {L"Random.KoFloat1", 106, E_INVALIDARG, VT_EMPTY, L""}, // in scope, not of this class
        {L"Random.KoFloat1", 300, S_OK, VT_BSTR, L"OK"},
        {L"Static.KoFloat1", 307, S_OK, VT_EMPTY, L""}, // bad quality
        {L"Random.KoFloat1", 307, S_OK, VT_R8, L"80"},
        {L"Random.KoFloat1", 310, S_OK, VT_R8, L"20"},
        {L"Random.KoFloat1", 999, kInvalidPID, VT_EMPTY, L""},
        {L"Random.KoDateTime1", 102, S_OK, VT_EMPTY, L""}, // no range
        {L"Random.KoInteger1", 102, S_OK, VT_R8, L"100"},  // an integer's range, as a double
        {L"Static.KoInteger1", 102, S_OK, VT_EMPTY, L""},  // without range mode
        {L"Static.KoInteger1", 2, S_OK, VT_I4, L"7"},
        {L"Random.KoString1", 100, E_INVALIDARG, VT_EMPTY, L""},
        {L"Random.KoDateTime1", 307, E_INVALIDARG, VT_EMPTY, L""}, // a date has no limits
        {L"Random.KoBool1", 106, S_OK, VT_BSTR, L"False"},
        {L"Random.KoBool1", 107, S_OK, VT_BSTR, L"Open"},
        {L"Random.KoBool1", 108, S_OK, VT_I4, std::to_wstring(LocalTimeBias())},
        // The standard properties follow the item's own property; the value stays the variable's.
        {L"Random.KoFloat1.vpEngUnit", 1, S_OK, VT_I2, L"8"},
        {L"Random.KoFloat1.vpEngUnit", 2, S_OK, VT_R8, L"42.5"},
        {L"Static.KoFloat1.vpAlarmHigh", 3, S_OK, VT_I2, L"0"},
        {L"Random.KoFloat1.vpAlarmHigh", 3, S_OK, VT_I2, L"192"},
        {L"Random.KoFloat1.vpEngUnit", 5, S_OK, VT_I4, L"1"},
        {L"Random.KoFloat1.vpWarnLow", 5, S_OK, VT_I4, L"3"},
        {L"Random", 101, S_OK, VT_BSTR, L"Random"},
        {L"Random", 2, E_INVALIDARG, VT_EMPTY, L""},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(KoUtf8(Case.ItemID) + " ID " + std::to_string(Case.ID));
        const PropertyValues Got = GetProperties(Props.Get(), Case.ItemID, {Case.ID});
        ASSERT_EQ(Got.Result, Case.Error == S_OK ? S_OK : S_FALSE);
        EXPECT_EQ(Got.Errors[0], Case.Error);
        EXPECT_EQ(Got.Values[0].Type(), Case.Type);
        if (!Case.Text.empty()) {
            EXPECT_EQ(VariantToText(Got.Values[0]), Case.Text);
        }
    }
    // Duplicates are answered one by one, in request order.
    const PropertyValues Twice = GetProperties(Props.Get(), L"Random.KoFloat1", {2, 999, 2, 1});
    EXPECT_EQ(Twice.Result, S_FALSE);
    EXPECT_EQ(Twice.Errors, (std::vector<HRESULT>{S_OK, kInvalidPID, S_OK, S_OK}));
}

TEST_F(BrowsePropertiesTest, RefusedRequestsReturnNoArrays) {
    Master->SetEnabledProps(KoAllVarProps - TKoVarPropTypes{vpMean});
    DWORD ID = 2;
    struct TCase {
        const char* Name;
        const wchar_t* ItemID;
        DWORD Count;
        bool WithIDs;
        HRESULT Result;
    } Cases[] = {
        {"unknown variable", L"Random.NoSuchVar", 1, true, static_cast<HRESULT>(0xC0040007)},
        {"unknown module", L"Nowhere.KoFloat1", 1, true, static_cast<HRESULT>(0xC0040007)},
        {"empty item ID", L"", 1, true, static_cast<HRESULT>(0xC0040008)},
        {"null item ID", nullptr, 1, true, static_cast<HRESULT>(0xC0040008)},
        {"disabled property", L"Random.KoFloat1.vpMean", 1, true, static_cast<HRESULT>(0xC0040008)},
        {"no IDs", L"Random.KoFloat1", 0, true, E_INVALIDARG},
        {"a count no request can have", L"Random.KoFloat1", 0xFFFFFFFF, true, E_INVALIDARG},
        {"just over the limit", L"Random.KoFloat1", KoOPCMaxPropertyRequest + 1, true, E_INVALIDARG},
        {"null ID array", L"Random.KoFloat1", 1, false, E_INVALIDARG},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        for (int Method = 0; Method < 2; ++Method) {
            VARIANT* Values = reinterpret_cast<VARIANT*>(1);
            LPWSTR* NewIDs = reinterpret_cast<LPWSTR*>(1);
            HRESULT* Errors = reinterpret_cast<HRESULT*>(1);
            DWORD* IDs = Case.WithIDs ? &ID : nullptr;
            const HRESULT Result = Method == 0 ? Props->GetItemProperties(const_cast<LPWSTR>(Case.ItemID),
                                                                          Case.Count, IDs, &Values, &Errors)
                                               : Props->LookupItemIDs(const_cast<LPWSTR>(Case.ItemID),
                                                                      Case.Count, IDs, &NewIDs, &Errors);
            EXPECT_EQ(Result, Case.Result) << (Method == 0 ? "GetItemProperties" : "LookupItemIDs");
            EXPECT_EQ(Errors, nullptr);
            EXPECT_EQ(Method == 0 ? static_cast<void*>(Values) : static_cast<void*>(NewIDs), nullptr);
        }
        if (Case.Count == 1 && Case.WithIDs) {
            EXPECT_TRUE(QueryAvailable(Props.Get(), Case.ItemID).Null);
        }
    }
    // Missing out-parameters.
    VARIANT* Values = nullptr;
    HRESULT* Errors = nullptr;
    EXPECT_EQ(Props->GetItemProperties(const_cast<LPWSTR>(L"Random.KoFloat1"), 1, &ID, nullptr, &Errors),
              E_INVALIDARG);
    EXPECT_EQ(Props->GetItemProperties(const_cast<LPWSTR>(L"Random.KoFloat1"), 1, &ID, &Values, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(Errors, nullptr);
    EXPECT_EQ(Values, nullptr);
    DWORD Count = 0;
    DWORD* IDs = nullptr;
    VARTYPE* Types = nullptr;
    EXPECT_EQ(Props->QueryAvailableProperties(const_cast<LPWSTR>(L"Random.KoFloat1"), &Count, &IDs, nullptr,
                                              &Types),
              E_INVALIDARG);
    EXPECT_EQ(IDs, nullptr);
    EXPECT_EQ(Types, nullptr);
}

TEST_F(BrowsePropertiesTest, LookupGivesItemIDsOfVariableProperties) {
    struct TCase {
        const wchar_t* ItemID;
        DWORD ID;
        HRESULT Error;
        const wchar_t* NewID;
    } Cases[] = {
        {L"Random.KoFloat1", 2, kInvalidPID, L"<null>"}, // standard properties have none
        {L"Random.KoFloat1", 6, kInvalidPID, L"<null>"},
        {L"Random.KoFloat1", 100, S_OK, L"Random.KoFloat1.vpEngUnit"},
        {L"random.kofloat1", 101, S_OK, L"Random.KoFloat1.vpCaption"},
        {L"Random.KoFloat1", 102, E_FAIL, L"<null>"}, // computed, no property of its own
        {L"Random.KoFloat1", 108, E_FAIL, L"<null>"},
        {L"Random.KoFloat1", 300, S_OK, L"Random.KoFloat1.vpAlarmState"},
        {L"Random.KoFloat1", 307, S_OK, L"Random.KoFloat1.vpAlarmHigh"},
        {L"Random.KoFloat1", 310, S_OK, L"Random.KoFloat1.vpAlarmLow"},
        {L"Random.KoFloat1", 999, kInvalidPID, L"<null>"},
        {L"Random.KoFloat1.vpEngUnit", 100, S_OK, L"Random.KoFloat1.vpEngUnit"},
        {L"Random.KoBool1", 100, E_INVALIDARG, L"<null>"}, // a boolean has no unit
        // A module's description has no item that could be added or read.
        {L"Random", 101, E_FAIL, L"<null>"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(KoUtf8(Case.ItemID) + " ID " + std::to_string(Case.ID));
        const LookedUp Got = LookupIDs(Props.Get(), Case.ItemID, {Case.ID});
        ASSERT_EQ(Got.Result, Case.Error == S_OK ? S_OK : S_FALSE);
        EXPECT_EQ(Got.Errors[0], Case.Error);
        EXPECT_EQ(Got.ItemIDs[0], Case.NewID);
    }
}

TEST_F(BrowsePropertiesTest, WithPropertyNodesAVariableItemHasOnlyTheStandardProperties) {
    Master->SetIncludeProps(true);
    EXPECT_EQ(QueryAvailable(Props.Get(), L"Random.KoFloat1").IDs, (std::vector<DWORD>{1, 2, 3, 4, 5, 6}));
    const PropertyValues Unit = GetProperties(Props.Get(), L"Random.KoFloat1", {100, 2});
    EXPECT_EQ(Unit.Result, S_FALSE);
    EXPECT_EQ(Unit.Errors, (std::vector<HRESULT>{kInvalidPID, S_OK}));
    // The property item itself has them all.
    EXPECT_EQ(QueryAvailable(Props.Get(), L"Random.KoFloat1.vpEngUnit").IDs.size(), 19u);
}

// ---- browsing ----

const std::vector<std::wstring> kModules = {L"Static", L"Random", L"ReadOnly"};

TEST_F(BrowsePropertiesTest, BrowsingMovesThroughTheTree) {
    OPCNAMESPACETYPE Organization = OPC_NS_FLAT;
    EXPECT_EQ(Space->QueryOrganization(&Organization), S_OK);
    EXPECT_EQ(Organization, OPC_NS_HIERARCHIAL);

    const Browsed Branches = BrowseIDs(Space.Get(), OPC_BRANCH);
    EXPECT_EQ(Branches.Result, S_OK);
    EXPECT_EQ(Branches.Entries, kModules);
    const Browsed Leaves = BrowseIDs(Space.Get(), OPC_LEAF);
    EXPECT_EQ(Leaves.Result, S_FALSE);
    EXPECT_FALSE(Leaves.Null); // an empty enumerator
    EXPECT_TRUE(Leaves.Entries.empty());

    struct TStep {
        OPCBROWSEDIRECTION Direction;
        const wchar_t* Name;
        HRESULT Result;
        const wchar_t* Position; // GetItemID of the empty name afterwards
    } Steps[] = {
        {OPC_BROWSE_UP, L"", E_FAIL, L""},
        {OPC_BROWSE_DOWN, L"random", E_INVALIDARG, L""}, // the child search minds letter case
        {OPC_BROWSE_DOWN, L"Random", S_OK, L"Random"},
        {OPC_BROWSE_DOWN, L"KoFloat1", E_INVALIDARG, L"Random"}, // a variable has no children
        {OPC_BROWSE_UP, L"", S_OK, L""},
        {OPC_BROWSE_TO, L"readonly", S_OK, L"ReadOnly"}, // the path search does not
        {OPC_BROWSE_TO, L"ReadOnly.KoFloat1", E_INVALIDARG, L"ReadOnly"},
        {OPC_BROWSE_TO, L"Nowhere", E_INVALIDARG, L"ReadOnly"},
        {static_cast<OPCBROWSEDIRECTION>(4), L"Random", E_INVALIDARG, L"ReadOnly"},
        {OPC_BROWSE_TO, L"", S_OK, L""},
        {OPC_BROWSE_TO, nullptr, S_OK, L""},
    };
    for (const TStep& Step : Steps) {
        SCOPED_TRACE(std::to_string(Step.Direction) + " " + KoUtf8(Step.Name ? Step.Name : L"<null>"));
        EXPECT_EQ(Space->ChangeBrowsePosition(Step.Direction, Step.Name), Step.Result);
        HRESULT Result = E_UNEXPECTED;
        EXPECT_EQ(ItemIDOf(Space.Get(), L"", Result), Step.Position);
        EXPECT_EQ(Result, S_OK);
    }

    ASSERT_EQ(Space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Random"), S_OK);
    const Browsed Variables = BrowseIDs(Space.Get(), OPC_LEAF);
    EXPECT_EQ(Variables.Result, S_OK);
    EXPECT_EQ(Variables.Entries.size(), 11u);
    EXPECT_EQ(Variables.Entries.front(), L"KoBool1");
    EXPECT_TRUE(BrowseIDs(Space.Get(), OPC_BRANCH).Entries.empty());
    HRESULT Result = E_UNEXPECTED;
    EXPECT_EQ(ItemIDOf(Space.Get(), L"KoFloat1", Result), L"Random.KoFloat1");
    EXPECT_EQ(Result, S_OK);
    EXPECT_EQ(ItemIDOf(Space.Get(), L"Static.KoBool1", Result), L"Static.KoBool1"); // a full path
    EXPECT_EQ(Result, S_OK);
    EXPECT_EQ(ItemIDOf(Space.Get(), L"NoSuchVar", Result), L"<null>");
    EXPECT_EQ(Result, E_INVALIDARG);

    IEnumString* Paths = reinterpret_cast<IEnumString*>(1);
    EXPECT_EQ(Space->BrowseAccessPaths(L"Random.KoFloat1", &Paths), E_NOTIMPL);
    EXPECT_EQ(Paths, nullptr);
}

TEST_F(BrowsePropertiesTest, BrowseFilters) {
    // The flat list at the root: every variable once, as module, point, variable.
    const Browsed Flat = BrowseIDs(Space.Get(), OPC_FLAT);
    EXPECT_EQ(Flat.Result, S_OK);
    EXPECT_EQ(Flat.Entries.size(), 33u);
    EXPECT_EQ(Flat.Entries.front(), L"Static.KoBool1");

    struct TCase {
        const char* Name;
        const wchar_t* Position;
        OPCBROWSETYPE Type;
        const wchar_t* Filter;
        VARTYPE DataType;
        DWORD Rights;
        HRESULT Result;
        std::vector<std::wstring> Entries;
    } Cases[] = {
        {"prefix", L"Random", OPC_LEAF, L"kofloat*", VT_EMPTY, 0, S_OK, {L"KoFloat1", L"KoFloatArray1"}},
        {"brackets dropped", L"Random", OPC_LEAF, L"[kofloat1]", VT_EMPTY, 0, S_OK, {L"KoFloat1"}},
        {"contains", L"Random", OPC_LEAF, L"*array*", VT_EMPTY, 0, S_OK, {L"KoFloatArray1", L"KoByteArray1"}},
        {"inner star", L"Random", OPC_LEAF, L"ko*1", VT_EMPTY, 0, S_FALSE, {}},
        {"type", L"Random", OPC_LEAF, L"", VT_R8, 0, S_OK, {L"KoFloat1"}},
        {"array type", L"Random", OPC_LEAF, L"", VT_ARRAY | VT_R8, 0, S_OK, {L"KoFloatArray1"}},
        {"writable", L"ReadOnly", OPC_LEAF, L"*1", VT_EMPTY, OPC_WRITEABLE, S_FALSE, {}},
        {"readable removes nothing",
         L"ReadOnly",
         OPC_LEAF,
         L"kobool1",
         VT_EMPTY,
         OPC_READABLE,
         S_OK,
         {L"KoBool1"}},
        {"writable branches", L"", OPC_BRANCH, L"", VT_EMPTY, OPC_WRITEABLE, S_FALSE, {}},
        {"typed branches", L"", OPC_BRANCH, L"", VT_I4, 0, S_FALSE, {}},
        {"writable flat", L"", OPC_FLAT, L"r*", VT_BOOL, OPC_WRITEABLE, S_OK, {L"Random.KoBool1"}},
        {"flat below",
         L"Static",
         OPC_FLAT,
         L"kob*",
         VT_EMPTY,
         0,
         S_OK,
         {L"KoBool1", L"KoBitSet1", L"KoByteArray1"}},
        {"a huge filter", L"Random", OPC_LEAF, nullptr, VT_EMPTY, 0, S_FALSE, {}},
    };
    const std::wstring Huge(65536, L'x');
    for (TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        ASSERT_EQ(Space->ChangeBrowsePosition(OPC_BROWSE_TO, Case.Position), S_OK);
        const Browsed Got = BrowseIDs(Space.Get(), Case.Type, Case.Filter ? Case.Filter : Huge.c_str(),
                                      Case.DataType, Case.Rights);
        EXPECT_EQ(Got.Result, Case.Result);
        EXPECT_EQ(Got.Entries, Case.Entries);
    }
    for (OPCBROWSETYPE Unknown : {static_cast<OPCBROWSETYPE>(0), static_cast<OPCBROWSETYPE>(4)}) {
        const Browsed Got = BrowseIDs(Space.Get(), Unknown);
        EXPECT_EQ(Got.Result, E_INVALIDARG);
        EXPECT_TRUE(Got.Null);
    }
    EXPECT_EQ(Space->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, nullptr), E_INVALIDARG);
}

TEST(BrowseNameFilter, FormsOfTheFilter) {
    struct TCase {
        const wchar_t* Filter;
        const wchar_t* Entry;
        bool Matches;
    } Cases[] = {
        {L"", L"KoFloat1", true},         {L"*", L"KoFloat1", true},
        {L"kofloat1", L"KoFloat1", true}, {L"kofloat", L"KoFloat1", false},
        {L"KOFLOAT*", L"KoFloat1", true}, {L"*1", L"KoFloat1", true},
        {L"*1", L"Ko1Float1", false}, // judged where "1" first occurs
        {L"*oat*", L"KoFloat1", true},    {L"*oat*", L"KoBool1", false},
        {L"**", L"KoBool1", true},        {L"ko*1", L"KoFloat1", false},
        {L"k*f*", L"KoFloat1", false},    {L"[ko]float1", L"KoFloat1", true},
    };
    for (const TCase& Case : Cases)
        EXPECT_EQ(TKoBrowseNameFilter(Case.Filter).Matches(Case.Entry), Case.Matches)
            << KoUtf8(Case.Filter) << " on " << KoUtf8(Case.Entry);
}

TEST_F(BrowsePropertiesTest, AClientBelowTheRootKeepsItsViewUntilItReturns) {
    ASSERT_EQ(Space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Static"), S_OK);
    auto* Added = new TKoInteger(Static);
    Added->SetName(L"Added");
    EXPECT_EQ(BrowseIDs(Space.Get(), OPC_LEAF, L"added").Entries, std::vector<std::wstring>{});
    // Back at the root the copy is rebuilt and the new variable is there.
    ASSERT_EQ(Space->ChangeBrowsePosition(OPC_BROWSE_UP, L""), S_OK);
    EXPECT_EQ(BrowseIDs(Space.Get(), OPC_FLAT, L"*added").Entries,
              std::vector<std::wstring>{L"Static.Added"});
    // A destroyed variable leaves the copy at its next rebuild; its node is never read meanwhile.
    ASSERT_EQ(Space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Static"), S_OK);
    TKoComponent::Free(Added);
    EXPECT_EQ(BrowseIDs(Space.Get(), OPC_LEAF, L"added").Entries, std::vector<std::wstring>{L"Added"});
    EXPECT_EQ(BrowseIDs(Space.Get(), OPC_LEAF, L"added", VT_I4).Result, static_cast<HRESULT>(0xC0040007));
    ASSERT_EQ(Space->ChangeBrowsePosition(OPC_BROWSE_TO, L""), S_OK);
    EXPECT_EQ(BrowseIDs(Space.Get(), OPC_FLAT, L"*added").Entries, std::vector<std::wstring>{});
}

TEST_F(BrowsePropertiesTest, TheBrowseInterfaceIsTheServerObjects) {
    // Same object, same references: the server object lives as long as either is held.
    ComPtr<IUnknown> FromSpace, FromServer;
    ASSERT_EQ(Space.As(&FromSpace), S_OK);
    ASSERT_EQ(Server.As(&FromServer), S_OK);
    EXPECT_EQ(FromSpace.Get(), FromServer.Get());
    ComPtr<IOPCBrowseServerAddressSpace> Again;
    ASSERT_EQ(Props.As(&Again), S_OK);
    EXPECT_EQ(Again.Get(), Space.Get());
    Server.Reset();
    Props.Reset();
    FromSpace.Reset();
    FromServer.Reset();
    Again.Reset();
    EXPECT_EQ(Provider->ClientCount(), 1);
    EXPECT_EQ(BrowseIDs(Space.Get(), OPC_BRANCH).Entries, kModules);
    Space.Reset();
    EXPECT_EQ(Provider->ClientCount(), 0);
}

TEST_F(BrowsePropertiesTest, ADetachedServerObjectAnswersWithoutItsServer) {
    Provider->Shutdown(L"test");
    EXPECT_EQ(Space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Random"), S_OK); // the copy it has
    EXPECT_EQ(BrowseIDs(Space.Get(), OPC_LEAF, L"", VT_R8).Result, E_FAIL);
    EXPECT_EQ(GetProperties(Props.Get(), L"Random.KoFloat1", {2}).Result, E_FAIL);
}

} // namespace
