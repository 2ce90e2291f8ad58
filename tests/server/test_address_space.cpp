// The item-ID namespace: the master tree of the application's modules and variables, item-ID
// resolution and the per-client copies.

#include <gtest/gtest.h>

#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "KoApplication.h"
#include "KoOPCAddressSpace.h"
#include "KoOPCProvider.h"
#include "KoUtils.h"
#include "RandomVars.h"
#include "ReadOnlyVars.h"
#include "SawToothVars.h"
#include "SinusoidVars.h"
#include "StaticVars.h"
#include "TriangleVars.h"

namespace {

// The six modules of the windowed program, owned by the application object as at run time, and
// the provider with its master tree.
struct AddressSpaceFixture : ::testing::Test {
    void SetUp() override {
        Modules = {KoCreate<TStatic>(&Application()),   KoCreate<TRandom>(&Application()),
                   KoCreate<TSawTooth>(&Application()), KoCreate<TSinusoid>(&Application()),
                   KoCreate<TTriangle>(&Application()), KoCreate<TReadOnly>(&Application())};
        for (TSimulationData* M : Modules) M->Timer1->SetEnabled(false);
        // A module without variables (as the main window is) and a plain component.
        Window = KoCreate<TKoDataModule>(&Application());
        Window->SetName(L"Form1");
        Plain = new TKoComponent(&Application());
        Plain->SetName(L"Plain");
        Provider = std::make_unique<TKoOPCProvider>(KoCreateOPCAddressSpace);
        Space = dynamic_cast<TKoOPCProviderAddressSpace*>(Provider->AddressSpace());
        ASSERT_NE(Space, nullptr);
        Space->Refresh(false);
    }
    void TearDown() override {
        Provider.reset();
        Application().DestroyComponents();
    }

    std::vector<std::wstring> TopLevel() const {
        std::vector<std::wstring> Names;
        for (int i = 0; i < Space->Count(); ++i)
            if (Space->LevelOf(i) == 0) Names.push_back(Space->Strings(i));
        return Names;
    }
    std::vector<std::wstring> ChildrenOf(const std::wstring& Path) const {
        std::vector<std::wstring> Names;
        const int Parent = Space->IndexOfPath(Path);
        for (int i = Space->FirstChild(Parent);
             i >= 0 && i < Space->Count() && Space->ParentOf(i) == Parent;) {
            Names.push_back(Space->Strings(i));
            if (!Space->NextSibling(i, false)) break;
        }
        return Names;
    }
    TSimulationData* Module(const wchar_t* Name) const {
        return dynamic_cast<TSimulationData*>(Application().FindComponent(Name));
    }

    std::vector<TSimulationData*> Modules;
    TKoDataModule* Window = nullptr;
    TKoComponent* Plain = nullptr;
    std::unique_ptr<TKoOPCProvider> Provider;
    TKoOPCProviderAddressSpace* Space = nullptr;
};

const std::vector<std::wstring> Variables = {
    L"KoBool1",       L"KoFloat1",     L"KoInteger1",    L"KoState1",   L"KoBitSet1",  L"KoString1",
    L"KoFloatArray1", L"KoByteArray1", L"TimerInterval", L"KoVariant1", L"KoDateTime1"};

TEST_F(AddressSpaceFixture, TopLevelHoldsTheSixModulesWithTheirVariables) {
    EXPECT_EQ(TopLevel(), (std::vector<std::wstring>{L"Static", L"Random", L"SawTooth", L"Sinusoid",
                                                     L"Triangle", L"ReadOnly"}));
    EXPECT_EQ(ChildrenOf(L"Random"), Variables);
    std::vector<std::wstring> WithSteps = Variables;
    WithSteps.insert(WithSteps.end(), {L"DXFloat", L"DXInteger"});
    EXPECT_EQ(ChildrenOf(L"SawTooth"), WithSteps);
    EXPECT_EQ(Space->IndexOfPath(L"Form1"), -1);
    EXPECT_EQ(Space->IndexOfPath(L"Plain"), -1);
    EXPECT_GT(Space->ChangeTime(), 0.0);
}

TEST_F(AddressSpaceFixture, FindItemResolvesItemIDs) {
    struct Case {
        const wchar_t* ItemID;
        bool IncludeProps;
        const wchar_t* Module;
        const wchar_t* Variable; // null: the module itself
        TKoVarPropType Prop;
        int Kind;
    };
    const Case Cases[] = {
        {L"Random.KoFloat1", false, L"Random", L"KoFloat1", vpValue, 2},
        {L"random.kofloat1", false, L"Random", L"KoFloat1", vpValue, 2},
        {L"Random.KoFloat1.vpEngUnit", false, L"Random", L"KoFloat1", vpEngUnit, 2},
        {L"RANDOM.KOFLOAT1.VPENGUNIT", false, L"Random", L"KoFloat1", vpEngUnit, 2},
        {L"Random.KoFloat1", true, L"Random", L"KoFloat1", vpValue, 1},
        {L"Random.KoFloat1.vpEngUnit", true, L"Random", L"KoFloat1", vpEngUnit, 2},
        {L"Sinusoid.DTFloat.vpOther2", false, L"Sinusoid", L"DTFloat", vpOther2, 2},
        {L"ReadOnly.TimerInterval", false, L"ReadOnly", L"TimerInterval", vpValue, 2},
        {L"Random", false, L"Random", nullptr, vpValue, 2},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << C.ItemID << (C.IncludeProps ? " with props" : ""));
        Space->SetIncludeProps(C.IncludeProps);
        Space->Refresh(false);
        TKoComponent* Component = nullptr;
        TKoVarPropType Prop = vpMax;
        EXPECT_EQ(Provider->FindItem(C.ItemID, Component, Prop), C.Kind);
        TKoComponent* Expected = Module(C.Module);
        if (C.Variable) Expected = Expected->FindComponent(C.Variable);
        EXPECT_EQ(Component, Expected);
        EXPECT_EQ(Prop, C.Prop);
    }
}

TEST_F(AddressSpaceFixture, EveryVariableAndPropertyResolvesInAnyLetterCase) {
    auto Lower = [](std::wstring S) {
        for (wchar_t& C : S) C = static_cast<wchar_t>(towlower(C));
        return S;
    };
    int Resolved = 0;
    for (TSimulationData* M : Modules)
        for (int i = 0; i < M->ComponentCount(); ++i) {
            auto* Var = dynamic_cast<TKoVar*>(M->Components(i));
            if (!Var) continue;
            for (int P = 0; P < KoVarPropTypeCount; ++P) {
                const auto Prop = static_cast<TKoVarPropType>(P);
                const std::wstring ItemID = M->Name() + L"." + Var->Name() + L"." + KoVarPropTypeName(Prop);
                for (const std::wstring& Spelling : {ItemID, Lower(ItemID)}) {
                    TKoComponent* Component = nullptr;
                    TKoVarPropType Found = vpValue;
                    ASSERT_EQ(Provider->FindItem(Spelling, Component, Found), 2) << KoUtf8(Spelling);
                    ASSERT_EQ(Component, Var) << KoUtf8(Spelling);
                    ASSERT_EQ(Found, Prop) << KoUtf8(Spelling);
                    ++Resolved;
                }
                EXPECT_EQ(Provider->VarPropToItemID(Prop, Var), ItemID);
            }
        }
    // Six modules of eleven variables; the three ramps hold two step variables more.
    EXPECT_EQ(Resolved, (6 * 11 + 3 * 2) * KoVarPropTypeCount * 2);
}

TEST_F(AddressSpaceFixture, FindItemErrors) {
    TKoVarPropTypes Enabled = Space->EnabledProps();
    Enabled.Exclude(vpMean);
    Space->SetEnabledProps(Enabled);
    struct Case {
        const wchar_t* ItemID;
        HRESULT Code;
        const wchar_t* Message;
    };
    const Case Cases[] = {
        {L"", OPC_E_INVALIDITEMID, L"Invalid ItemID"},
        {L"Random.KoFloat1.vpMean", OPC_E_INVALIDITEMID, L"Invalid ItemID"},
        {L"Random.NoSuch", OPC_E_UNKNOWNITEMID, L"Unknown Item ID: Random.NoSuch"},
        {L"NoModule.KoFloat1", OPC_E_UNKNOWNITEMID, L"Unknown Item ID: NoModule.KoFloat1"},
        {L"vpValue", OPC_E_UNKNOWNITEMID, L"Unknown Item ID: vpValue"},
        {L"Random..KoFloat1", OPC_E_UNKNOWNITEMID, L"Unknown Item ID: Random..KoFloat1"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << "'" << KoUtf8(C.ItemID) << "'");
        TKoComponent* Component = nullptr;
        TKoVarPropType Prop = vpValue;
        try {
            Provider->FindItem(C.ItemID, Component, Prop);
            ADD_FAILURE() << "no error";
        } catch (const EKoOPCProviderError& E) {
            EXPECT_EQ(E.ErrorCode(), C.Code);
            EXPECT_EQ(E.Message(), C.Message);
        }
    }

    // A handler may supply what the tree does not know.
    TKoComponent* Supplied = Module(L"Static")->FindComponent(L"KoString1");
    Provider->OnFindItem = [&](TKoOPCProvider*, const std::wstring& ItemID, TKoComponent*& Component,
                               TKoVarPropType& Prop) {
        if (ItemID == L"vpValue") {
            Component = Supplied;
            Prop = vpCaption;
        }
    };
    TKoComponent* Component = nullptr;
    TKoVarPropType Prop = vpValue;
    EXPECT_EQ(Provider->FindItem(L"vpValue", Component, Prop), 2);
    EXPECT_EQ(Component, Supplied);
    EXPECT_EQ(Prop, vpCaption);
}

TEST_F(AddressSpaceFixture, VarPropToItemID) {
    TKoComponent* Float = Module(L"Random")->FindComponent(L"KoFloat1");
    EXPECT_EQ(Provider->VarPropToItemID(vpCaption, Float), L"Random.KoFloat1.vpCaption");
    EXPECT_EQ(Provider->VarPropToItemID(vpCaption, nullptr), L"vpCaption");
    EXPECT_EQ(Provider->VarPropToItemID(vpValue, Module(L"Random")), L"vpValue");
}

TEST_F(AddressSpaceFixture, IncludePropsAddsPropertyNodesToNewVariablesOnly) {
    Space->SetIncludeProps(true);
    Space->Refresh(false);
    EXPECT_TRUE(ChildrenOf(L"Random.KoFloat1").empty()); // existing nodes keep their children

    auto* Extra = new TKoFloat(Module(L"Random"));
    Extra->SetName(L"Extra");
    TKoVarPropTypes Enabled = Space->EnabledProps();
    Enabled.Exclude(vpOther2);
    Space->SetEnabledProps(Enabled);
    Space->Refresh(false);
    const std::vector<std::wstring> Props = ChildrenOf(L"Random.Extra");
    ASSERT_EQ(Props.size(), 18u);
    EXPECT_EQ(Props.front(), L"vpValue");
    EXPECT_EQ(Props.back(), L"vpOther");
}

TEST_F(AddressSpaceFixture, SettingAnEqualValueDoesNotMarkForRefresh) {
    EXPECT_FALSE(Space->NeedsRefresh());
    Space->SetIncludeProps(false);
    Space->SetIncludeUnnamed(true);
    Space->SetAutoUpdate(true);
    EXPECT_FALSE(Space->NeedsRefresh());
    Space->SetIncludeUnnamed(false);
    EXPECT_TRUE(Space->NeedsRefresh());
}

TEST_F(AddressSpaceFixture, TreeFollowsCreatedAndDestroyedComponents) {
    TSimulationData* Random = Module(L"Random");
    TKoComponent::Free(Random->KoFloat1);
    Random->KoFloat1 = nullptr;
    EXPECT_EQ(Space->IndexOfPath(L"Random.KoFloat1"), -1); // at once

    auto* Added = new TKoInteger(Random);
    Added->SetName(L"Added");
    EXPECT_TRUE(Space->NeedsRefresh());
    Space->Refresh(false);
    EXPECT_EQ(ChildrenOf(L"Random").back(), L"Added");
    TKoComponent* Component = nullptr;
    TKoVarPropType Prop = vpValue;
    EXPECT_EQ(Provider->FindItem(L"Random.Added", Component, Prop), 2);
    EXPECT_EQ(Component, Added);

    // A destroyed module takes its whole subtree with it.
    TKoComponent::Free(Module(L"Triangle"));
    EXPECT_EQ(Space->IndexOfPath(L"Triangle"), -1);
    EXPECT_EQ(Space->IndexOfPath(L"Triangle.KoFloat1"), -1);
    EXPECT_EQ(TopLevel().size(), 5u);
}

TEST_F(AddressSpaceFixture, ClientCopyIsRebuiltFromTheMaster) {
    TKoOPCProviderClientAddressSpace Copy(*Space, nullptr);
    EXPECT_EQ(Copy.Count(), Space->Count());
    EXPECT_EQ(Copy.PathSeparator(), L'.');
    EXPECT_EQ(Copy.BrowsePosition(), -1);
    const int Random = Copy.IndexOfPath(L"Random");
    EXPECT_EQ(Copy.ComponentAt(Random), Module(L"Random"));
    Copy.SetBrowsePosition(Random);
    EXPECT_FALSE(Copy.NeedsRefresh());

    auto* Added = new TKoInteger(Module(L"Static"));
    Added->SetName(L"Added");
    EXPECT_EQ(Copy.IndexOfPath(L"Static.Added"), -1); // not before the copy is rebuilt
    EXPECT_TRUE(Copy.NeedsRefresh());                 // also within the same clock tick
    Copy.Refresh(false);
    EXPECT_GE(Copy.IndexOfPath(L"Static.Added"), 0);
    EXPECT_EQ(Copy.BrowsePosition(), -1);

    // Deleting the node browsed to goes back to the root.
    Copy.SetBrowsePosition(Copy.IndexOfPath(L"Static.Added"));
    Copy.Delete(Copy.BrowsePosition());
    EXPECT_EQ(Copy.BrowsePosition(), -1);
}

TEST_F(AddressSpaceFixture, ModulesOutliveTheTree) {
    Provider.reset();
    // The relays stay with their modules, unhooked, and components come and go without them.
    int Relays = 0;
    for (TSimulationData* M : {Module(L"Static"), Module(L"Random")})
        for (int i = 0; i < M->ComponentCount(); ++i)
            if (auto* Relay = dynamic_cast<TKoComponentNexus*>(M->Components(i))) {
                ++Relays;
                EXPECT_FALSE(Relay->OnNotify);
            }
    EXPECT_EQ(Relays, 2);
    TKoComponent::Free(Module(L"Random")->KoBool1);
    TKoComponent::Free(Module(L"Random"));
    auto* Late = new TKoInteger(Module(L"Static"));
    EXPECT_EQ(Late->Owner(), Module(L"Static"));
}

} // namespace
