#include "KoOPCAddressSpace.h"

#include <algorithm>
#include <cassert>
#include <mutex>

#include "KoApplication.h"
#include "KoClasses.h"
#include "KoGuards.h"
#include "KoOPCErrors.h"
#include "KoPersistent.h"
#include "KoUtils.h"
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

TKoOPCProviderAddressSpace::TKoOPCProviderAddressSpace(TKoOPCProvider& AProvider)
    : FEnabledProps(AllProps().Bits()), FProvider(AProvider) {
    SetPathSeparator(L'.');
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
    : TKoOPCProviderAddressSpace(AMaster.Provider()), FMaster(AMaster), FClient(AClient) {
    Refresh(false);
    SetPathSeparator(FMaster.PathSeparator());
    SetQuoteChar(FMaster.QuoteChar());
    SetPrefix(FMaster.Prefix());
}

void TKoOPCProviderClientAddressSpace::Delete(int Index) {
    TKoLockGuard Guard(*this);
    TKoOPCProviderAddressSpace::Delete(Index);
    if (Index == FBrowsePosition) ResetBrowsePosition();
}

bool TKoOPCProviderClientAddressSpace::NeedsRefresh() {
    TKoLockGuard Guard(FMaster);
    FMaster.Refresh(false);
    return FMaster.ChangeTime() > ChangeTime();
}

void TKoOPCProviderClientAddressSpace::DoRefresh() {
    TKoLockGuard Guard(FMaster);
    FMaster.AssignTo(this);
    SetChangeTime(FMaster.ChangeTime());
    ResetBrowsePosition();
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
