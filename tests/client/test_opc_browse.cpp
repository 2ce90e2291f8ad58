// Browsing and item properties as an OPC client in another process sees them: the server
// object's IOPCBrowseServerAddressSpace and IOPCItemProperties of KoOPCServer.exe, started by COM
// and reached through KoOPCProxy.dll. What an explorer does before it reads: walk the tree, list
// it flat, look at an item's properties, and add what it found.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "KoExplorerCalls.h"
#include "KoOpcClientTesting.h"

namespace {

using namespace kotest;

constexpr HRESULT kUnknownItemID = static_cast<HRESULT>(0xC0040007);
constexpr HRESULT kInvalidItemID = static_cast<HRESULT>(0xC0040008);
constexpr HRESULT kInvalidPID = static_cast<HRESULT>(0xC0040203);

// ---- browsing ----

// Every leaf below the current position, as GetItemID names it, going down into every branch and
// back up again.
void Walk(IOPCBrowseServerAddressSpace* Space, std::vector<std::wstring>& IDs) {
    for (const std::wstring& Leaf : BrowseIDs(Space, OPC_LEAF).Entries) {
        HRESULT Result = E_UNEXPECTED;
        IDs.push_back(ItemIDOf(Space, Leaf.c_str(), Result));
        EXPECT_EQ(Result, S_OK) << Utf8(Leaf);
    }
    for (const std::wstring& Branch : BrowseIDs(Space, OPC_BRANCH).Entries) {
        ASSERT_EQ(Space->ChangeBrowsePosition(OPC_BROWSE_DOWN, Branch.c_str()), S_OK) << Utf8(Branch);
        Walk(Space, IDs);
        ASSERT_EQ(Space->ChangeBrowsePosition(OPC_BROWSE_UP, L""), S_OK);
    }
}

// ---- items: added to a group and read from the device ----

struct ItemRead {
    HRESULT AddError = E_UNEXPECTED;
    VARTYPE Canonical = VT_EMPTY;
    DWORD Rights = 0;
    HRESULT ReadError = E_UNEXPECTED;
    WORD Quality = 0;
};

std::map<std::wstring, ItemRead> AddAndRead(IOPCServer* Server, const std::vector<std::wstring>& IDs) {
    std::map<std::wstring, ItemRead> Reads;
    AddedGroup Group = AddGroup(Server, L"Explorer");
    EXPECT_EQ(Group.Result, S_OK);
    ComPtr<IOPCItemMgt> Items;
    ComPtr<IOPCSyncIO> Sync;
    if (!Group.Group || FAILED(Group.Group.As(&Items)) || FAILED(Group.Group.As(&Sync))) {
        ADD_FAILURE() << "no group to add the items to";
        return Reads;
    }
    std::vector<OPCITEMDEF> Defs(IDs.size());
    for (size_t I = 0; I < IDs.size(); ++I) {
        Defs[I].szAccessPath = const_cast<LPWSTR>(L"");
        Defs[I].szItemID = const_cast<LPWSTR>(IDs[I].c_str());
        Defs[I].bActive = TRUE;
        Defs[I].hClient = static_cast<OPCHANDLE>(I);
    }
    const auto Count = static_cast<DWORD>(IDs.size());
    OPCITEMRESULT* Results = nullptr;
    HRESULT* AddErrors = nullptr;
    Items->AddItems(Count, Defs.data(), &Results, &AddErrors);
    std::vector<OPCHANDLE> Handles;
    std::vector<std::wstring> Added;
    for (size_t I = 0; Results && AddErrors && I < IDs.size(); ++I) {
        Reads[IDs[I]].AddError = AddErrors[I];
        Reads[IDs[I]].Canonical = Results[I].vtCanonicalDataType;
        Reads[IDs[I]].Rights = Results[I].dwAccessRights;
        CoTaskMemFree(Results[I].pBlob);
        if (SUCCEEDED(AddErrors[I])) {
            Handles.push_back(Results[I].hServer);
            Added.push_back(IDs[I]);
        }
    }
    CoTaskMemFree(Results);
    CoTaskMemFree(AddErrors);
    if (!Handles.empty()) {
        OPCITEMSTATE* States = nullptr;
        HRESULT* ReadErrors = nullptr;
        Sync->Read(OPC_DS_DEVICE, static_cast<DWORD>(Handles.size()), Handles.data(), &States, &ReadErrors);
        for (size_t I = 0; States && ReadErrors && I < Added.size(); ++I) {
            Reads[Added[I]].ReadError = ReadErrors[I];
            Reads[Added[I]].Quality = States[I].wQuality;
            VariantClear(&States[I].vDataValue);
        }
        CoTaskMemFree(States);
        CoTaskMemFree(ReadErrors);
    }
    Items.Reset();
    Sync.Reset();
    Group.Group.Reset();
    EXPECT_EQ(Server->RemoveGroup(Group.ServerHandle, FALSE), S_OK);
    return Reads;
}

// ---- the tests ----

class OpcBrowse : public OpcClient {
protected:
    void SetUp() override {
        OpcClient::SetUp();
        Server = Connect();
        ASSERT_TRUE(Server);
        ASSERT_EQ(Server.As(&Space), S_OK);
        ASSERT_EQ(Server.As(&Props), S_OK);
    }
    void TearDown() override {
        Props.Reset();
        Space.Reset();
        Server.Reset();
        OpcClient::TearDown();
    }
    // Every item ID of the flat list at the root.
    std::vector<std::wstring> FlatIDs() {
        EXPECT_EQ(Space->ChangeBrowsePosition(OPC_BROWSE_TO, L""), S_OK);
        const Browsed Flat = BrowseIDs(Space.Get(), OPC_FLAT);
        EXPECT_EQ(Flat.Result, S_OK);
        return Flat.Entries;
    }

    ComPtr<IOPCServer> Server;
    ComPtr<IOPCBrowseServerAddressSpace> Space;
    ComPtr<IOPCItemProperties> Props;
};

TEST_F(OpcBrowse, TheFlatListIsTheTreeAndEveryItemInItReads) {
    const std::vector<std::wstring> Flat = FlatIDs();
    for (const wchar_t* Module :
         {L"Static.", L"Random.", L"SawTooth.", L"Sinusoid.", L"Triangle.", L"ReadOnly."})
        EXPECT_GE(std::count_if(Flat.begin(), Flat.end(),
                                [&](const std::wstring& ID) { return ID.starts_with(Module); }),
                  11)
            << Utf8(Module);
    EXPECT_EQ(std::set<std::wstring>(Flat.begin(), Flat.end()).size(), Flat.size()) << "an ID listed twice";
    EXPECT_EQ(BrowseIDs(Space.Get(), OPC_BRANCH).Entries,
              (std::vector<std::wstring>{L"Static", L"Random", L"SawTooth", L"Sinusoid", L"Triangle",
                                         L"ReadOnly"}));

    std::vector<std::wstring> Walked;
    Walk(Space.Get(), Walked);
    EXPECT_EQ(Walked, Flat);

    for (const auto& [ID, Read] : AddAndRead(Server.Get(), Flat)) {
        EXPECT_EQ(Read.AddError, S_OK) << Utf8(ID);
        EXPECT_EQ(Read.ReadError, S_OK) << Utf8(ID);
    }
}

TEST_F(OpcBrowse, StandardPropertiesOfEveryVariable) {
    const std::vector<std::wstring> Flat = FlatIDs();
    const std::map<std::wstring, ItemRead> Items = AddAndRead(Server.Get(), Flat);
    const VARTYPE Types[] = {VT_I2, VT_EMPTY, VT_I2, VT_DATE, VT_I4, VT_R4};
    for (const std::wstring& ID : Flat) {
        SCOPED_TRACE(Utf8(ID));
        const PropertyValues Got = GetProperties(Props.Get(), ID.c_str(), {1, 2, 3, 4, 5, 6});
        ASSERT_EQ(Got.Result, S_OK);
        EXPECT_EQ(Got.Errors, std::vector<HRESULT>(6, S_OK));
        const ItemRead& Item = Items.at(ID);
        for (size_t I = 0; I < 6; ++I) {
            if (I != 1) {
                EXPECT_EQ(Got.Values[I].Type(), Types[I]) << "property " << I + 1;
            }
        }
        // Within one call the value, its type and its quality agree: the value is empty while
        // the quality is bad, else of the type property 1 names, which is the item's canonical
        // type unless the variable holds variants.
        const SHORT Quality = Got.Values[2].Get().iVal;
        EXPECT_TRUE(Quality == 0x00 || Quality == 0x40 || Quality == 0xC0) << Quality;
        if (Quality == 0x00) {
            EXPECT_EQ(Got.Values[1].Type(), VT_EMPTY);
        } else {
            EXPECT_EQ(Got.Values[1].Type(), static_cast<VARTYPE>(Got.Values[0].Get().iVal));
            if (Item.Canonical != VT_VARIANT) {
                EXPECT_EQ(Got.Values[1].Type(), Item.Canonical);
            }
        }
        EXPECT_EQ(static_cast<DWORD>(Got.Values[4].Get().lVal), Item.Rights);
    }
}

TEST_F(OpcBrowse, LookedUpItemIDsCanBeAddedAndRead) {
    std::vector<std::wstring> Found;
    const std::vector<DWORD> IDs = {100, 101, 300, 307, 308, 309, 310};
    for (const std::wstring& Variable : FlatIDs()) {
        const LookedUp Got = LookupIDs(Props.Get(), Variable.c_str(), IDs);
        ASSERT_TRUE(Got.Result == S_OK || Got.Result == S_FALSE) << Utf8(Variable) << ": " << Hex(Got.Result);
        for (size_t I = 0; I < IDs.size(); ++I)
            if (Got.Errors[I] == S_OK) {
                EXPECT_EQ(Got.ItemIDs[I].rfind(Variable + L".vp", 0), 0u) << Utf8(Got.ItemIDs[I]);
                Found.push_back(Got.ItemIDs[I]);
            } else {
                EXPECT_EQ(Got.ItemIDs[I], L"<null>");
            }
    }
    // Every variable has at least its description and alarm state.
    EXPECT_GE(Found.size(), 2 * FlatIDs().size());
    for (const auto& [ID, Read] : AddAndRead(Server.Get(), Found)) {
        EXPECT_EQ(Read.AddError, S_OK) << Utf8(ID);
        EXPECT_EQ(Read.ReadError, S_OK) << Utf8(ID);
    }
    const LookedUp Float = LookupIDs(Props.Get(), L"Random.KoFloat1", {2, 100, 102});
    EXPECT_EQ(Float.Result, S_FALSE);
    EXPECT_EQ(Float.Errors, (std::vector<HRESULT>{kInvalidPID, S_OK, E_FAIL}));
    EXPECT_EQ(Float.ItemIDs[1], L"Random.KoFloat1.vpEngUnit");
}

TEST_F(OpcBrowse, UnknownAndMalformedItemIDsReturnNoArrays) {
    struct Case {
        const wchar_t* ItemID;
        HRESULT Result;
    } Cases[] = {
        {L"Random.NoSuchVar", kUnknownItemID},
        {L"NoModule.KoFloat1", kUnknownItemID},
        {L"", kInvalidItemID},
        {L"Random.KoFloat1.vpNoSuchProp", kUnknownItemID},
        {L"vpValue", kUnknownItemID},
        {L"Random..KoFloat1", kUnknownItemID},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(Utf8(C.ItemID));
        const Available Query = QueryAvailable(Props.Get(), C.ItemID);
        EXPECT_EQ(Query.Result, C.Result);
        EXPECT_TRUE(Query.Null);
        const PropertyValues Values = GetProperties(Props.Get(), C.ItemID, {1, 2});
        EXPECT_EQ(Values.Result, C.Result);
        EXPECT_TRUE(Values.Null);
        const LookedUp Look = LookupIDs(Props.Get(), C.ItemID, {100});
        EXPECT_EQ(Look.Result, C.Result);
        EXPECT_TRUE(Look.Null);
    }
    // Unknown property IDs fail one by one.
    const PropertyValues Mixed = GetProperties(Props.Get(), L"Random.KoFloat1", {0, 2, 7, 0xFFFFFFFF, 2});
    EXPECT_EQ(Mixed.Result, S_FALSE);
    EXPECT_EQ(Mixed.Errors, (std::vector<HRESULT>{kInvalidPID, S_OK, kInvalidPID, kInvalidPID, S_OK}));
    EXPECT_EQ(Mixed.Values[1].Type(), VT_R8);
    EXPECT_EQ(Mixed.Values[4].Type(), VT_R8);

    const Available Float = QueryAvailable(Props.Get(), L"Random.KoFloat1");
    ASSERT_EQ(Float.Result, S_OK);
    ASSERT_EQ(Float.IDs.size(), 19u);
    EXPECT_EQ(Float.Descriptions[6], L"Engineering Unit");
    EXPECT_EQ(Float.Types[1], VT_R8);
}

TEST_F(OpcBrowse, BadInputGetsAClearCodeAndTheServerKeepsAnswering) {
    const std::wstring HugeFilter(65536, L'k');
    DWORD OneID = 2;
    VARIANT* Values = nullptr;
    HRESULT* Errors = nullptr;
    LPWSTR* NewIDs = nullptr;
    struct Call {
        const char* Name;
        std::function<HRESULT()> Run;
        HRESULT Expected; // S_OK: any failure code will do (refused on the way)
    } Calls[] = {
        {"GetItemProperties of no IDs",
         [&] {
             return Props->GetItemProperties(const_cast<LPWSTR>(L"Random.KoFloat1"), 0, &OneID, &Values,
                                             &Errors);
         },
         E_INVALIDARG},
        {"LookupItemIDs of no IDs",
         [&] {
             return Props->LookupItemIDs(const_cast<LPWSTR>(L"Random.KoFloat1"), 0, &OneID, &NewIDs, &Errors);
         },
         E_INVALIDARG},
        {"GetItemProperties of 0xFFFFFFFF IDs",
         [&] {
             return Props->GetItemProperties(const_cast<LPWSTR>(L"Random.KoFloat1"), 0xFFFFFFFF, &OneID,
                                             &Values, &Errors);
         },
         S_OK},
        {"a filter of 65,536 characters",
         [&] {
             IEnumString* Strings = nullptr;
             const HRESULT Result =
                 Space->BrowseOPCItemIDs(OPC_FLAT, HugeFilter.c_str(), VT_EMPTY, 0, &Strings);
             ComPtr<IEnumString> Owned = KoAdopt(Strings);
             return Owned && Drain(Owned.Get()).empty() ? Result : E_UNEXPECTED;
         },
         S_FALSE},
        {"an unknown filter type",
         [&] {
             IEnumString* Strings = nullptr;
             const HRESULT Result =
                 Space->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(9), L"", VT_EMPTY, 0, &Strings);
             return Strings ? E_UNEXPECTED : Result;
         },
         E_INVALIDARG},
        {"an unknown direction",
         [&] { return Space->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(0), L"Random"); },
         E_INVALIDARG},
        {"browsing up from the root", [&] { return Space->ChangeBrowsePosition(OPC_BROWSE_UP, L""); },
         E_FAIL},
        {"a name that is nothing",
         [&] {
             HRESULT Result = E_UNEXPECTED;
             return ItemIDOf(Space.Get(), L"Nothing.Here", Result) == L"<null>" ? Result : E_UNEXPECTED;
         },
         E_INVALIDARG},
        {"access paths",
         [&] {
             IEnumString* Strings = nullptr;
             const HRESULT Result = Space->BrowseAccessPaths(L"Random.KoFloat1", &Strings);
             return Strings ? E_UNEXPECTED : Result;
         },
         E_NOTIMPL},
    };
    for (const Call& C : Calls) {
        SCOPED_TRACE(C.Name);
        const HRESULT Result = C.Run();
        if (C.Expected == S_OK)
            EXPECT_TRUE(FAILED(Result)) << Hex(Result);
        else
            EXPECT_EQ(Result, C.Expected) << Hex(Result);
        EXPECT_EQ(Values, nullptr);
        EXPECT_EQ(Errors, nullptr);
        EXPECT_EQ(NewIDs, nullptr);
        // Still answering, with its browse position where it was.
        HRESULT Result2 = E_UNEXPECTED;
        EXPECT_EQ(ItemIDOf(Space.Get(), L"", Result2), L"");
        EXPECT_EQ(Result2, S_OK);
        HRESULT StatusResult = E_UNEXPECTED;
        StatusOf(Server.Get(), StatusResult);
        EXPECT_EQ(StatusResult, S_OK);
    }
}

} // namespace

int main(int argc, char** argv) {
    return RunClientTests(argc, argv);
}
