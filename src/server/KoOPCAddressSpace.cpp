#include "KoOPCAddressSpace.h"

#include <algorithm>
#include <cassert>
#include <mutex>
#include <optional>

#include "KoApplication.h"
#include "KoClasses.h"
#include "KoComObjects.h"
#include "KoGuards.h"
#include "KoOPCCom.h"
#include "KoOPCErrors.h"
#include "KoPersistent.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "KoVarAccess.h"
#include "KoVarLinks.h"
#include "KoVars.h"

namespace {

// The tree stores every attached object as a component.
TKoStringObject ObjectOf(TKoComponent* AComponent) {
    return TKoStringObject::Of(AComponent);
}

bool IsModule(const TKoComponent* AComponent) {
    return dynamic_cast<const TKoDataModule*>(AComponent) != nullptr;
}

TKoVarPropTypes AllProps() {
    TKoVarPropTypes Result;
    for (int P = 0; P < KoVarPropTypeCount; ++P) Result.Include(static_cast<TKoVarPropType>(P));
    return Result;
}

// The property whose value name is Name (letter case ignored), or false.
bool VarPropOfName(const std::wstring& Name, TKoVarPropType& Prop) {
    for (int P = 0; P < KoVarPropTypeCount; ++P)
        if (KoSameText(Name, KoVarPropTypeName(static_cast<TKoVarPropType>(P)))) {
            Prop = static_cast<TKoVarPropType>(P);
            return true;
        }
    return false;
}

// "Owner.Name" paths through the ownership tree below the application object.
TKoComponent* ResolveComponentPath(const std::wstring& Path, wchar_t Separator) {
    const size_t Last = Path.rfind(Separator);
    if (Last == std::wstring::npos) return Application().FindComponent(Path);
    TKoComponent* Owner = ResolveComponentPath(Path.substr(0, Last), Separator);
    return Owner ? Owner->FindComponent(Path.substr(Last + 1)) : nullptr;
}

} // namespace

// ---- TKoOPCProviderAddressSpace ----

TKoOPCProviderAddressSpace::TKoOPCProviderAddressSpace(TKoOPCProvider& AProvider, bool Notified)
    : FEnabledProps(AllProps().Bits()), FProvider(AProvider) {
    SetPathSeparator(L'.');
    if (!Notified) return;
    FNexus = new TKoComponentNexus(&Application());
    FNexus->OnNotify = [this](TKoComponent* AComponent, TKoOperation Operation) {
        Notification(AComponent, Operation);
    };
}

TKoOPCProviderAddressSpace::~TKoOPCProviderAddressSpace() {
    FAutoUpdate = false;
    TKoLockGuard Guard(*this);
    // The relays belong to their modules and may outlive the tree: they must call nothing.
    for (TKoComponentNexus* Relay : FModuleNexusList) Relay->OnNotify = nullptr;
    FModuleNexusList.clear();
    if (TKoComponentNexus* Nexus = std::exchange(FNexus, nullptr)) {
        Nexus->OnNotify = nullptr;
        TKoComponent::Free(Nexus);
    }
}

void TKoOPCProviderAddressSpace::SetAutoUpdate(bool Value) {
    if (FAutoUpdate.exchange(Value) != Value && Value) MarkForRefresh();
}

void TKoOPCProviderAddressSpace::SetIncludeProps(bool Value) {
    if (FIncludeProps.exchange(Value) != Value) MarkForRefresh();
}

void TKoOPCProviderAddressSpace::SetIncludeUnnamed(bool Value) {
    if (FIncludeUnnamed.exchange(Value) != Value) MarkForRefresh();
}

double TKoOPCProviderAddressSpace::ChangeTime() const {
    return FChangeTime.load();
}

std::wstring TKoOPCProviderAddressSpace::NodeName(TKoComponent* AComponent) const {
    if (!AComponent->Name().empty()) return AComponent->Name();
    if (FIncludeUnnamed) return KoFormat(L"<%s.Name not defined>", AComponent->ClassName());
    return {};
}

TKoComponent* TKoOPCProviderAddressSpace::ComponentAt(int Index) const {
    return Objects<TKoComponent>(Index);
}

int TKoOPCProviderAddressSpace::AddModule(TKoComponent* AComponent, int ParentIndex,
                                          const std::wstring& AName, bool AddChildren) {
    assert(AComponent && "AddModule needs a component");
    if (!AComponent || !IsModule(AComponent)) return -1;
    const std::wstring Name = AName.empty() ? NodeName(AComponent) : AName;
    if (Name.empty()) return -1;

    TKoLockGuard Guard(*this);
    int Result = FindChild(ParentIndex, Name);
    if (Result < 0) {
        Result = AddChildObject(ParentIndex, Name, ObjectOf(AComponent));
        auto* Relay = new TKoComponentNexus(AComponent);
        Relay->OnNotify = [this](TKoComponent* C, TKoOperation Operation) { Notification(C, Operation); };
        FModuleNexusList.push_back(Relay);
    }
    if (AddChildren) {
        AddModules(AComponent, Result);
        AddVariables(AComponent, Result);
        if (!HasChildren(Result)) {
            // A module without variables (a window, the service module) never stays.
            DeleteSubTree(Result, false);
            return -1;
        }
    }
    return Result;
}

void TKoOPCProviderAddressSpace::AddModules(TKoComponent* Parent, int ParentIndex) {
    TKoLockGuard Guard(*this);
    for (int i = 0; i < Parent->ComponentCount(); ++i)
        AddModule(Parent->Components(i), ParentIndex, L"", true);
}

int TKoOPCProviderAddressSpace::AddVariable(int ParentIndex, TKoComponent* AObject,
                                            const std::wstring& Name) {
    TKoLockGuard Guard(*this);
    const std::wstring NodeText = Name.empty() ? NodeName(AObject) : Name;
    if (FindChild(ParentIndex, NodeText) >= 0) return -1;
    const int Result = AddChildObject(ParentIndex, NodeText, ObjectOf(AObject));
    // The variable's end reaches Notification through the nexus.
    if (FNexus) AObject->FreeNotification(FNexus);
    if (FIncludeProps) {
        const TKoVarPropTypes Enabled = EnabledProps();
        for (int P = 0; P < KoVarPropTypeCount; ++P) {
            const auto Prop = static_cast<TKoVarPropType>(P);
            if (Enabled.Contains(Prop)) AddChildObject(Result, KoVarPropTypeName(Prop), ObjectOf(AObject));
        }
    }
    return Result;
}

void TKoOPCProviderAddressSpace::AddVariables(TKoComponent* Parent, int ParentIndex) {
    TKoLockGuard Guard(*this);
    TKoVarList Variables;
    Variables.AddVariables(Parent);
    for (int i = 0; i < Variables.Count(); ++i) AddVariable(ParentIndex, Variables.Variables(i), L"");
}

void TKoOPCProviderAddressSpace::Refresh(bool Force) {
    TKoLockGuard Guard(*this);
    if (!Force && !NeedsRefresh()) return;
    DoRefresh();
    if (OnInitialized) OnInitialized(nullptr);
    FNeedsRefresh = false;
}

bool TKoOPCProviderAddressSpace::NeedsRefresh() {
    return FNeedsRefresh;
}

void TKoOPCProviderAddressSpace::DoRefresh() {
    if (FAutoAddApplication) AddModules(&Application(), -1);
    TouchChangeTime();
}

void TKoOPCProviderAddressSpace::DoChange() {
    {
        TKoLockGuard Guard(*this);
        TouchChangeTime();
    }
    TKoStringTree::DoChange();
}

void TKoOPCProviderAddressSpace::TouchChangeTime() {
    // A microsecond in days: far below the clock's resolution, far above a double's at today's
    // dates.
    constexpr double Step = 1.0 / 86400e6;
    const double Last = FChangeTime.load();
    FChangeTime.store(std::max(NowUTC(), Last + Step));
}

TKoComponent* TKoOPCProviderAddressSpace::ComponentOfPath(const std::wstring& Path) const {
    TKoLockGuard Guard(*this);
    const int Index = IndexOfPath(Path);
    return Index >= 0 ? ComponentAt(Index) : nullptr;
}

void TKoOPCProviderAddressSpace::Notification(TKoComponent* AComponent, TKoOperation Operation) {
    if (Operation == opRemove && AComponent == FNexus) {
        FNexus = nullptr;
        return;
    }
    if (Operation == opRemove) {
        TKoLockGuard Guard(*this);
        for (auto It = FModuleNexusList.begin(); It != FModuleNexusList.end(); ++It)
            if (*It == AComponent) {
                FModuleNexusList.erase(It);
                return;
            }
    }
    if (!FAutoUpdate) return;
    if (Operation == opRemove) {
        TKoLockGuard Guard(*this);
        const int Index = IndexOfObject(AComponent);
        if (Index >= 0) DeleteSubTree(Index, false);
    } else {
        // A component announces itself while its own construction is still running, so its
        // kind cannot be told yet; a refresh only adds what is missing, so any insertion marks.
        MarkForRefresh();
    }
}

// ---- TKoOPCProviderClientAddressSpace ----

TKoOPCProviderClientAddressSpace::TKoOPCProviderClientAddressSpace(TKoOPCProviderAddressSpace& AMaster,
                                                                   IKoOPCProviderClient* AClient)
    : TKoOPCProviderAddressSpace(AMaster.Provider(), false), FMaster(&AMaster), FClient(AClient) {
    Refresh(false);
    SetPathSeparator(AMaster.PathSeparator());
    SetQuoteChar(AMaster.QuoteChar());
    SetPrefix(AMaster.Prefix());
}

void TKoOPCProviderClientAddressSpace::DetachMaster() {
    TKoLockGuard Guard(*this);
    FMaster = nullptr;
}

void TKoOPCProviderClientAddressSpace::Delete(int Index) {
    TKoLockGuard Guard(*this);
    TKoOPCProviderAddressSpace::Delete(Index);
    if (Index == FBrowsePosition) ResetBrowsePosition();
}

bool TKoOPCProviderClientAddressSpace::NeedsRefresh() {
    TKoLockGuard Guard(*this);
    if (!FMaster) return false;
    TKoLockGuard MasterGuard(*FMaster);
    FMaster->Refresh(false);
    return FMaster->ChangeTime() > ChangeTime();
}

void TKoOPCProviderClientAddressSpace::DoRefresh() {
    TKoLockGuard Guard(*this);
    if (!FMaster) return;
    TKoLockGuard MasterGuard(*FMaster);
    FMaster->AssignTo(this);
    SetChangeTime(FMaster->ChangeTime());
    ResetBrowsePosition();
}

void TKoOPCProviderClientAddressSpace::RefreshAtRoot() {
    if (FBrowsePosition == -1) Refresh(false);
}

TKoOPCProvider& TKoOPCProviderClientAddressSpace::MasterProvider() const {
    if (!FMaster) throw EKoOPCProviderException(L"The server has no address space.");
    return FMaster->Provider();
}

// ---- the browse interface ----

STDMETHODIMP TKoOPCProviderClientAddressSpace::QueryInterface(REFIID riid, void** ppv) {
    if (!FClient) {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    return FClient->ObjQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) TKoOPCProviderClientAddressSpace::AddRef() {
    return FClient ? FClient->ObjAddRef() : 1;
}

STDMETHODIMP_(ULONG) TKoOPCProviderClientAddressSpace::Release() {
    return FClient ? FClient->ObjRelease() : 1;
}

STDMETHODIMP TKoOPCProviderClientAddressSpace::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
    if (!pNameSpaceType) return E_INVALIDARG;
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return S_OK;
}

STDMETHODIMP TKoOPCProviderClientAddressSpace::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                                    LPCWSTR szString) {
    return KoComCall([&]() -> HRESULT {
        const std::wstring Name = KoTextOf(szString);
        TKoLockGuard Guard(*this);
        RefreshAtRoot();
        // A branch the position may move to, or "Not a valid position.".
        const auto Branch = [this](int Index) {
            if (Index < 0 || !HasChildren(Index))
                throw EKoOPCProviderAddressSpaceException(L"Not a valid position.");
            return Index;
        };
        HRESULT Result = S_OK;
        switch (dwBrowseDirection) {
        case OPC_BROWSE_UP:
            if (FBrowsePosition == -1)
                Result = E_FAIL;
            else
                FBrowsePosition = ParentOf(FBrowsePosition);
            break;
        case OPC_BROWSE_DOWN:
            FBrowsePosition = Branch(IndexOfChild(FBrowsePosition, Name));
            break;
        case OPC_BROWSE_TO:
            FBrowsePosition = Name.empty() ? -1 : Branch(IndexOfPath(Name));
            break;
        default:
            return E_INVALIDARG;
        }
        RefreshAtRoot();
        return Result;
    });
}

std::vector<std::wstring> TKoOPCProviderClientAddressSpace::Browse(OPCBROWSETYPE FilterType,
                                                                   const std::wstring& Criteria,
                                                                   VARTYPE DataType, DWORD AccessRights) {
    TKoStringTreeNodeTypes Types;
    int Depth = 0;
    switch (FilterType) {
    case OPC_BRANCH:
        Types = {tnBranch};
        break;
    case OPC_LEAF:
        Types = {tnLeaf};
        break;
    case OPC_FLAT:
        Types = {tnLeaf};
        Depth = -1;
        break;
    default:
        throw EKoOPCProviderInvalidArg(
            KoFormat(L"Unknown browse filter type %d", static_cast<int>(FilterType)));
    }
    const bool Flat = FilterType == OPC_FLAT;
    const bool ByRights = AccessRights == OPC_WRITEABLE;
    const bool ByType = DataType != VT_EMPTY;
    // The filters resolve the entries' items, which reads variables: the variable access is
    // taken before the tree locks, as every reader of variables takes it.
    std::optional<TKoVarReadAccess> Access;
    if (ByRights || ByType) Access.emplace();

    TKoLockGuard Guard(*this);
    RefreshAtRoot();
    TKoStringList Candidates;
    GetChildren(&Candidates, FBrowsePosition, Types, Depth, Flat);
    const TKoBrowseNameFilter Names(Criteria);
    // The item ID of an entry: the flat entries are paths from the position already. At the
    // root the position has no path, and the entry alone is the item ID.
    const std::wstring Base =
        FBrowsePosition == -1 ? std::wstring() : FullPath(FBrowsePosition) + PathSeparator();
    std::vector<std::wstring> Entries;
    Entries.reserve(static_cast<size_t>(Candidates.Count()));
    for (int I = 0; I < Candidates.Count(); ++I) {
        std::wstring Entry = Candidates.Strings(I);
        if (!Names.Matches(Entry)) continue;
        if (ByRights || ByType) {
            TKoOPCProvider& Provider = MasterProvider();
            TKoComponent* Component = nullptr;
            TKoVarPropType VarProp = vpValue;
            Provider.FindItem(Flat ? Entry : Base + Entry, Component, VarProp);
            if (ByRights && Provider.GetComponentAccessRights(Component, VarProp) == arReadOnly) continue;
            if (ByType && Provider.GetComponentDataType(Component, VarProp) != DataType) continue;
        }
        Entries.push_back(std::move(Entry));
    }
    return Entries;
}

STDMETHODIMP TKoOPCProviderClientAddressSpace::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                                                LPCWSTR szFilterCriteria,
                                                                VARTYPE vtDataTypeFilter,
                                                                DWORD dwAccessRightsFilter,
                                                                LPENUMSTRING* ppIEnumString) {
    if (ppIEnumString) *ppIEnumString = nullptr;
    return KoComCall(
        [&]() -> HRESULT {
            KoRequireOut(ppIEnumString);
            std::vector<std::wstring> Entries = Browse(dwBrowseFilterType, KoTextOf(szFilterCriteria),
                                                       vtDataTypeFilter, dwAccessRightsFilter);
            const HRESULT Result = Entries.empty() ? S_FALSE : S_OK;
            *ppIEnumString = KoNewEnumString(std::move(Entries));
            return Result;
        },
        ppIEnumString);
}

STDMETHODIMP TKoOPCProviderClientAddressSpace::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
    if (szItemID) *szItemID = nullptr;
    return KoComCall(
        [&] {
            KoRequireOut(szItemID);
            const std::wstring Name = KoTextOf(szItemDataID);
            TKoLockGuard Guard(*this);
            int Index = FBrowsePosition;
            if (!Name.empty()) {
                Index = IndexOfChild(FBrowsePosition, Name);
                if (Index < 0) Index = IndexOfPath(Name);
                if (Index < 0) throw EKoStringListError(KoFormat(L"No such item, \"%s\"", Name));
            }
            *szItemID = KoTaskMemString(Index == -1 ? std::wstring() : FullPath(Index));
        },
        szItemID);
}

STDMETHODIMP TKoOPCProviderClientAddressSpace::BrowseAccessPaths(LPCWSTR /*szItemID*/,
                                                                 LPENUMSTRING* ppIEnumString) {
    // The server has no access paths.
    if (ppIEnumString) *ppIEnumString = nullptr;
    return E_NOTIMPL;
}

// ---- the name filter ----

TKoBrowseNameFilter::TKoBrowseNameFilter(const std::wstring& Criteria) {
    if (Criteria.empty()) return;
    for (wchar_t C : Criteria)
        if (C != L'[' && C != L']') FText += C;
    FText = KoLowerCase(FText);
    const size_t Stars = std::count(FText.begin(), FText.end(), L'*');
    if (FText == L"*")
        FForm = bfAll;
    else if (Stars == 0)
        FForm = bfEqual;
    else if (Stars == 1 && FText.back() == L'*') {
        FForm = bfPrefix;
        FText.pop_back();
    } else if (Stars == 1 && FText.front() == L'*') {
        FForm = bfSuffix;
        FText.erase(0, 1);
    } else if (FText.front() == L'*') {
        // The first and the last character go, whatever the last one is.
        FForm = bfContains;
        FText = FText.substr(1, FText.size() - 2);
    } else
        FForm = bfNone;
}

bool TKoBrowseNameFilter::Matches(const std::wstring& Entry) const {
    if (FForm == bfAll) return true;
    if (FForm == bfNone) return false;
    const std::wstring Text = KoLowerCase(Entry);
    switch (FForm) {
    case bfEqual:
        return Text == FText;
    case bfPrefix:
        return Text.starts_with(FText);
    case bfSuffix: {
        const size_t At = Text.find(FText);
        return At != std::wstring::npos && At + FText.size() == Text.size();
    }
    case bfContains:
        return Text.find(FText) != std::wstring::npos;
    default:
        return false;
    }
}

// ---- item IDs of the provider ----

int TKoOPCProvider::FindItem(const std::wstring& ItemID, TKoComponent*& Component, TKoVarPropType& VarProp) {
    Component = nullptr;
    VarProp = vpValue;
    if (ItemID.empty()) throw EKoOPCProviderInvalidItemID(L"Invalid ItemID");
    auto* Space = dynamic_cast<TKoOPCProviderAddressSpace*>(AddressSpace());
    const wchar_t Separator = Space ? Space->PathSeparator() : L'.';
    const bool IncludeProps = Space && Space->IncludeProps();

    const size_t Last = ItemID.rfind(Separator);
    const std::wstring LastSegment = Last == std::wstring::npos ? ItemID : ItemID.substr(Last + 1);
    std::wstring ComponentPath = ItemID;
    int Kind = IncludeProps ? 1 : 2;
    TKoVarPropType Prop = vpValue;
    if (VarPropOfName(LastSegment, Prop)) {
        if (Space && !Space->EnabledProps().Contains(Prop))
            throw EKoOPCProviderInvalidItemID(L"Invalid ItemID");
        VarProp = Prop;
        ComponentPath = Last == std::wstring::npos ? std::wstring() : ItemID.substr(0, Last);
        Kind = 2;
    }

    if (Space) {
        TKoLockGuard Guard(*Space);
        Component = Space->ComponentOfPath(ItemID);
        if (!Component && !ComponentPath.empty()) Component = ResolveComponentPath(ComponentPath, Separator);
    } else if (!ComponentPath.empty()) {
        Component = ResolveComponentPath(ComponentPath, Separator);
    }

    if (OnFindItem) OnFindItem(this, ItemID, Component, VarProp);
    if (!Component) throw EKoOPCProviderUnknownItemID(L"Unknown Item ID: " + ItemID);
    return Kind;
}

std::wstring TKoOPCProvider::VarPropToItemID(TKoVarPropType VarProp, TKoComponent* Component) const {
    auto* Space = dynamic_cast<TKoOPCProviderAddressSpace*>(AddressSpace());
    const std::wstring Separator(1, Space ? Space->PathSeparator() : L'.');
    std::wstring Result = KoVarPropTypeName(VarProp);
    if (dynamic_cast<TKoVar*>(Component)) {
        Result = Component->Name() + Separator + Result;
        if (Component->Owner()) Result = Component->Owner()->Name() + Separator + Result;
    }
    return Result;
}

std::unique_ptr<IKoOPCProviderAddressSpace> KoCreateOPCAddressSpace(TKoOPCProvider& Provider) {
    return std::make_unique<TKoOPCProviderAddressSpace>(Provider);
}
