#include "KoVarLinks.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>

#include <windows.h>

#include "KoRTTI.h"
#include "KoStrings.h"
#include "KoUtils.h"
#include "KoVarsRTTI.h"

namespace {

// The owning module's name, a point and the variable's name.
std::wstring VarNamePath(TKoVar* AVariable) {
    return ComponentNamePath(AVariable, false, false, nullptr);
}

int Sign(int Value) {
    return (Value > 0) - (Value < 0);
}

[[noreturn]] void VariableNotAssigned() {
    throw EKoException(L"Variable not assigned.");
}

} // namespace

// ---- TKoVarLink ----

// Holds the echo suppression for one write, also when the variable refuses it.
class TKoVarLink::TLockScope {
public:
    explicit TLockScope(TKoVarLink& ALink) : FLink(ALink) { FLink.Lock(); }
    ~TLockScope() { FLink.UnLock(); }
    TLockScope(const TLockScope&) = delete;
    TLockScope& operator=(const TLockScope&) = delete;

private:
    TKoVarLink& FLink;
};

void KoRegisterTKoVarLinkRTTI() {
    static std::once_flag Once;
    std::call_once(Once, [] {
        KoRegisterVarsRTTI();
        KoRTTIRegister<TKoVarLink, TKoPersistent>(L"TKoVarLink")
            .Object(L"Variable", &TKoVarLink::Variable, &TKoVarLink::SetVariable)
            .Enum(L"VarProp", KoRTTIVarPropTypeType(), &TKoVarLink::VarProp, &TKoVarLink::SetVarProp)
            .Default(vpValue);
    });
}

// ---- the link's slot ----

void TKoVarLink::TSlot::SignalActivated(TKoSignal* ASignal) {
    if (FLink) FLink->SignalActiveChange(ASignal);
}

void TKoVarLink::TSlot::SignalDeactivated(TKoSignal* ASignal) {
    if (FLink) FLink->SignalActiveChange(ASignal);
}

void TKoVarLink::TSlot::VarChange(TKoVar* Sender, TKoVarPropTypes Props) {
    if (FLink && Active()) FLink->VarChange(Sender, Props);
}

void TKoVarLink::TSlot::VarChanging(TKoVar* Sender, TKoVarPropType Prop, VARIANT& Value,
                                    TKoVarQuality& Quality, TKoVarChangingResponse& Response) {
    if (FLink) FLink->VarChanging(Sender, Prop, Value, Quality, Response);
}

void TKoVarLink::TSlot::VarConfigChange(TKoComponent* Sender) {
    if (FLink && Active()) FLink->VarConfigChange(Sender);
}

void TKoVarLink::TSlot::Disconnected(TKoSignal* ASignal) {
    if (FLink) FLink->SlotDisconnect(ASignal);
}

// ---- TKoVarLink ----

TKoVarLink::TKoVarLink() {
    KoRegisterTKoVarLinkRTTI();
    FVarProp = vpValue;
    FBadValues = true;
    Initialize();
    SetActive(true);
}

TKoVarLink::~TKoVarLink() {
    OnVarDestroy = nullptr;
    OnVarChange = nullptr;
    OnChange = nullptr;
    // Forgotten first: its disconnection must not reach a link that is going away.
    FVarChangeSlot.Forget();
    FVarChangeSlot.DisconnectAll();
}

void TKoVarLink::Assign(const TKoPersistentBase* Source) {
    if (const auto* Other = dynamic_cast<const TKoVarLink*>(Source)) {
        SetVarProp(Other->VarProp());
        SetActive(Other->Active());
        SetVariable(Other->Variable());
        return;
    }
    TKoPersistent::Assign(Source);
}

int TKoVarLink::Compare(const TKoPersistent* Other, TKoStrings* SameProps) const {
    if (!Other) throw EKoException(L"TKoVarLink.Compare: no link to compare with");
    const auto* OtherLink = dynamic_cast<const TKoVarLink*>(Other);
    if (!OtherLink) throw EKoInvalidCast(L"Invalid class typecast");
    if (!FVariable) return -1;
    if (!OtherLink->FVariable) return 1;
    const int PropOrder = Sign(static_cast<int>(FVarProp) - static_cast<int>(OtherLink->FVarProp));
    if (FVariable == OtherLink->FVariable) {
        if (PropOrder == 0 && SameProps) {
            SameProps->Add(L"Variable");
            SameProps->Add(L"VarProp");
        }
        return PropOrder;
    }
    const std::wstring A = VarNamePath(FVariable);
    const std::wstring B = VarNamePath(OtherLink->FVariable);
    const int NameOrder = CompareStringOrdinal(A.c_str(), static_cast<int>(A.size()), B.c_str(),
                                               static_cast<int>(B.size()), TRUE) -
                          CSTR_EQUAL;
    if (NameOrder != 0) return Sign(NameOrder);
    // Two variables of the same path (not in one module): still a fixed order.
    return PropOrder != 0 ? PropOrder : 1;
}

void TKoVarLink::SetVariable(TKoVar* Value) {
    if (Value == FVariable || FVarChangeSlot.Forgotten()) return;
    if (FVariable) {
        TKoVar* const Old = FVariable;
        // Cleared first, so that the slot's disconnection report (SlotDisconnect) finds no
        // variable to clear and only raises OnVarDestroy.
        FVariable = nullptr;
        FVarChangeSlot.Disconnect(Old->ChangeSignal());
    }
    if (Value) {
        FVarChangeSlot.Connect(Value->ChangeSignal());
        // A variable that is already going away refuses the connection; binding it anyway would
        // leave the link with a variable it never hears the end of.
        if (!FVarChangeSlot.IsConnected(Value->ChangeSignal())) Value = nullptr;
    }
    FVariable = Value;
    DoConfig();
}

void TKoVarLink::SlotDisconnect(TKoSignal* /*Sender*/) {
    SetVariable(nullptr);
    VarDestroy();
}

void TKoVarLink::SetVarProp(TKoVarPropType Value) {
    if (Value == FVarProp) return;
    FVarProp = Value;
    DoConfig();
}

void TKoVarLink::SetActive(bool Value) {
    FVarChangeSlot.SetActive(Value);
    DoConfig();
}

void TKoVarLink::SetIsDataOwner(bool Value) {
    FVarChangeSlot.IsDataOwner = Value;
}

void TKoVarLink::SetDisplayFormat(const std::wstring& Value) {
    if (Value == FDisplayFormat) return;
    FDisplayFormat = Value;
    DoConfig();
}

// ---- reads ----

TKoOleVariant TKoVarLink::GetValue() {
    return FVariable ? FVariable->GetPropValue(FVarProp) : TKoOleVariant::Null();
}

double TKoVarLink::GetAsFloat() {
    return FVariable ? FVariable->GetPropAsFloat(FVarProp) : KoBadFloat;
}

int32_t TKoVarLink::GetAsInteger() {
    return FVariable ? FVariable->GetPropAsInteger(FVarProp) : KoBadInteger;
}

bool TKoVarLink::GetAsBool() {
    if (!FVariable) VariableNotAssigned();
    return FVariable->GetPropAsBool(FVarProp);
}

std::wstring TKoVarLink::GetAsString() {
    std::wstring Result;
    if (!FVariable)
        Result = KoNullString;
    else if (GetQuality() != vpqBad)
        Result = GetAsStringGood();
    else
        Result = GetAsStringBad();
    if (OnGetAsString) {
        const TKoOleVariant Current = GetValue();
        OnGetAsString(this, Current, GetQuality(), Result);
    }
    return Result;
}

std::wstring TKoVarLink::GetAsStringGood() {
    return FVariable->GetPropAsString(FVarProp);
}

// Components carry no design-time state here, so a bad property always reads as "#BAD".
std::wstring TKoVarLink::GetAsStringBad() {
    return KoBadString;
}

TKoVarQuality TKoVarLink::GetQuality() {
    return FVariable ? FVariable->GetPropQuality(FVarProp) : vpqBad;
}

double TKoVarLink::GetTimestamp() {
    return FVariable ? FVariable->GetPropTimestamp(FVarProp) : 0.0;
}

bool TKoVarLink::GetIsValid() {
    return FVariable && FVariable->GetPropIsValid(FVarProp);
}

TKoVarDataType TKoVarLink::DataType() const {
    return FVariable ? FVariable->GetPropDataType(FVarProp) : vdtDefault;
}

bool TKoVarLink::IsArray() const {
    return FVariable && FVariable->GetPropIsArray(FVarProp);
}

bool TKoVarLink::ReadOnly() const {
    return !FVariable || FVariable->GetPropReadOnly(FVarProp);
}

TKoVarQuality TKoVarLink::QualityOfEmptyString() const {
    return FVariable ? FVariable->PropQualityOfEmptyString(FVarProp) : vpqBad;
}

TKoOleVariant TKoVarLink::GetAsDataType(TKoVarDataType ADataType, bool AsArray) {
    if (!FVariable) VariableNotAssigned();
    return AsArray ? FVariable->GetPropAsArray(FVarProp, ADataType)
                   : FVariable->GetPropAsDataType(FVarProp, ADataType);
}

TKoOleVariant TKoVarLink::GetValueAsDataType(const VARIANT& AValue, TKoVarDataType ADataType, bool AsArray) {
    if (FVariable)
        return AsArray ? FVariable->GetVarPropValueAsArray(FVarProp, AValue, ADataType)
                       : FVariable->GetVarPropValueAsDataType(FVarProp, AValue, ADataType);
    const VARTYPE Target = KoVarDataTypeToVarType(ADataType, false);
    // The default type, a variant or a type without a code keeps the value as it is.
    if (Target == VT_EMPTY || Target == VT_VARIANT) return TKoOleVariant(AValue);
    TKoOleVariant Result;
    if (AsArray && (AValue.vt & VT_ARRAY)) {
        VarArrayAsType(AValue, Target, Result);
        return Result;
    }
    // VariantChangeType only reads its source, whatever its declaration says.
    const HRESULT Hr = VariantChangeType(Result.Receive(), const_cast<VARIANT*>(&AValue), 0, Target);
    if (FAILED(Hr)) throw EKoOleError(Hr);
    return Result;
}

// ---- writes ----

void TKoVarLink::SetValue(const VARIANT& AValue) {
    if (!FVariable || !(FBadValues || VarHasValue(AValue))) return;
    TLockScope Scope(*this);
    FVariable->SetPropValue(FVarProp, AValue);
}

void TKoVarLink::SetAsBool(bool AValue) {
    if (!FVariable) return;
    TLockScope Scope(*this);
    FVariable->SetPropAsBool(FVarProp, AValue);
}

void TKoVarLink::SetAsFloat(double AValue) {
    if (!FVariable) return;
    TLockScope Scope(*this);
    FVariable->SetPropAsFloat(FVarProp, AValue);
}

void TKoVarLink::SetAsInteger(int32_t AValue) {
    if (!FVariable) return;
    TLockScope Scope(*this);
    FVariable->SetPropAsFloat(FVarProp, static_cast<double>(AValue));
}

void TKoVarLink::SetAsString(const std::wstring& AValue) {
    if (!FVariable) return;
    TLockScope Scope(*this);
    FVariable->SetPropAsString(FVarProp, AValue);
}

void TKoVarLink::SetAsDataType(const VARIANT& AValue, TKoVarDataType ADataType, bool AsArray,
                               bool DisableEcho) {
    if (!FVariable) return;
    std::optional<TLockScope> Scope;
    if (DisableEcho) Scope.emplace(*this);
    if (AsArray)
        FVariable->SetPropAsArray(FVarProp, AValue, ADataType);
    else
        FVariable->SetPropAsDataType(FVarProp, AValue, ADataType);
}

void TKoVarLink::Undefine(double ATimeStamp) {
    if (FVariable) FVariable->Undefine(FVarProp, ATimeStamp);
}

void TKoVarLink::BeginUpdate() {
    if (FVariable) FVariable->BeginUpdateProp(FVarProp);
}

void TKoVarLink::EndUpdate(TKoVarQuality AQuality, double ATimestamp, bool CallChanging) {
    if (FVariable) FVariable->EndUpdateProp(FVarProp, AQuality, CallChanging, ATimestamp);
}

void TKoVarLink::EndUpdate(bool CallChanging) {
    if (FVariable) EndUpdate(GetQuality(), GetTimestamp(), CallChanging);
}

void TKoVarLink::Lock() {
    if (FLockCnt++ == 0) SetLocking(true);
}

void TKoVarLink::UnLock() {
    if (--FLockCnt == 0) SetLocking(false);
}

// ---- notifications ----

template <class THandler, class... TArgs>
void TKoVarLink::CallHandler(const wchar_t* HandlerName, THandler& Handler, TArgs&&... Args) {
    if (!Handler) return;
    try {
        // A copy: the handler may replace itself.
        const auto Call = KoHandlerOf(Handler);
        Call(std::forward<TArgs>(Args)...);
    } catch (...) {
        RaiseHandlerError(HandlerName);
    }
}

void TKoVarLink::RaiseHandlerError(const wchar_t* HandlerName) const {
    const auto [Class, Message] = KoCurrentErrorInfo();
    throw EKoVarException(KoFormat(L"Exception '%s' in %s.%s handler of (Variable=%s, VarProp=%s): %s", Class,
                                   ClassName(), HandlerName, VarNamePath(FVariable), KoVarPropName(FVarProp),
                                   Message));
}

void TKoVarLink::VarChange(TKoVar* /*Sender*/, TKoVarPropTypes Props) {
    if (Locked() || !Props.Contains(FVarProp)) return;
    if (FBadValues || GetQuality() != vpqBad) Changed();
    if (GetQuality() == vpqBad) DoBadValue();
}

void TKoVarLink::Changed() {
    // Most links of a change handle neither event: the sender is found only for a handler.
    if (OnChange) CallHandler(L"OnChange", OnChange, GetEventSender());
    if (OnVarChange) CallHandler(L"OnVarChange", OnVarChange, GetEventSender());
}

void TKoVarLink::DoBadValue() {
    if (OnBadValue) OnBadValue(GetEventSender());
}

void TKoVarLink::VarChanging(TKoVar* /*Sender*/, TKoVarPropType Prop, VARIANT& AValue,
                             TKoVarQuality& AQuality, TKoVarChangingResponse& Response) {
    if (!Locked() && Prop == FVarProp) Changing(AValue, AQuality, Response);
}

void TKoVarLink::Changing(VARIANT& AValue, TKoVarQuality& AQuality, TKoVarChangingResponse& Response) {
    CallHandler(L"OnChanging", OnChanging, GetEventSender(), AValue, AQuality, Response);
}

void TKoVarLink::VarConfigChange(TKoComponent* /*Sender*/) {
    DoConfig();
}

void TKoVarLink::VarDestroy() {
    if (OnVarDestroy) OnVarDestroy(GetEventSender());
}

// ---- TKoComponentList ----

// The list's ear for the end of its entries.
class TKoComponentList::TNotifier : public TKoComponent {
public:
    explicit TNotifier(TKoComponentList& AList) : TKoComponent(nullptr), FList(AList) {}
    const wchar_t* ClassName() const override { return L"TKoComponentListNotifier"; }

protected:
    void Notification(TKoComponent* AComponent, TKoOperation Operation) override {
        TKoComponent::Notification(AComponent, Operation);
        if (Operation == opRemove && AComponent) FList.ComponentGone(AComponent);
    }

private:
    TKoComponentList& FList;
};

TKoComponentList::TKoComponentList(bool AOwnsObjects)
    : FOwnsObjects(AOwnsObjects), FNotifier(std::make_unique<TNotifier>(*this)) {}

TKoComponentList::~TKoComponentList() {
    Clear();
    FNotifier.reset();
}

void TKoComponentList::CheckIndex(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EKoComponentListError(KoFormat(L"List index out of bounds (%d)", Index));
}

TKoComponent* TKoComponentList::Components(int Index) const {
    CheckIndex(Index);
    return FItems[static_cast<size_t>(Index)];
}

void TKoComponentList::SetComponents(int Index, TKoComponent* AComponent) {
    CheckIndex(Index);
    TKoComponent* const Old = FItems[static_cast<size_t>(Index)];
    if (Old == AComponent) return;
    FItems[static_cast<size_t>(Index)] = AComponent;
    Watch(AComponent);
    Unwatch(Old);
}

int TKoComponentList::AddComponent(TKoComponent* AComponent) {
    InsertComponent(Count(), AComponent);
    return Count() - 1;
}

void TKoComponentList::InsertComponent(int Index, TKoComponent* AComponent) {
    if (Index < 0 || Index > Count())
        throw EKoComponentListError(KoFormat(L"List index out of bounds (%d)", Index));
    FItems.insert(FItems.begin() + Index, AComponent);
    Watch(AComponent);
}

int TKoComponentList::IndexOfComponent(const TKoComponent* AComponent) const {
    const auto Pos = std::find(FItems.begin(), FItems.end(), AComponent);
    return Pos == FItems.end() ? -1 : static_cast<int>(Pos - FItems.begin());
}

void TKoComponentList::Delete(int Index) {
    CheckIndex(Index);
    TKoComponent* const Old = FItems[static_cast<size_t>(Index)];
    FItems.erase(FItems.begin() + Index);
    Unwatch(Old);
    // A component that is being destroyed is only dropped: freeing it again would free it twice.
    if (FOwnsObjects && Old && !Old->IsDestroying()) TKoComponent::Free(Old);
}

int TKoComponentList::RemoveComponent(TKoComponent* AComponent) {
    const int Index = IndexOfComponent(AComponent);
    if (Index >= 0) Delete(Index);
    return Index;
}

void TKoComponentList::Clear() {
    while (!FItems.empty()) Delete(Count() - 1);
}

void TKoComponentList::ComponentGone(TKoComponent* AComponent) {
    std::erase(FItems, AComponent);
    if (FNotifier) AComponent->RemoveFreeNotification(FNotifier.get());
}

void TKoComponentList::Watch(TKoComponent* AComponent) {
    if (AComponent) AComponent->FreeNotification(FNotifier.get());
}

void TKoComponentList::Unwatch(TKoComponent* AComponent) {
    if (AComponent && FNotifier && IndexOfComponent(AComponent) < 0)
        AComponent->RemoveFreeNotification(FNotifier.get());
}

// ---- TKoVarList ----

TKoVarList::TKoVarList() : TKoVarList(false) {}

TKoVarList::TKoVarList(bool AOwnsObjects)
    : TKoComponentList(AOwnsObjects), FVarChangeSlot(std::make_unique<TKoVarChangeSlot>()) {
    FDuplicates = dupIgnore;
    FVarChangeSlot->OnDisconnect = [this](TKoSignal* Sender) { SlotDisconnect(Sender); };
}

TKoVarList::TKoVarList(TKoComponent* AComponent) : TKoVarList() {
    try {
        Attach(AComponent);
    } catch (...) {
        Detach();
        throw;
    }
}

TKoVarList::~TKoVarList() {
    Detach();
    if (FNexus) {
        FNexus->OnNotify = nullptr;
        TKoComponent::Free(FNexus);
        FNexus = nullptr;
    }
    KoRemoveVarSignalWatcher(this);
    FVarChangeSlot->OnDisconnect = nullptr;
    FVarChangeSlot.reset();
}

int TKoVarList::AddConnected(TKoVar* AVariable, TKoVarChangeSignal* ASignal) {
    if (FDuplicates != dupAccept) {
        const int Index = IndexOf(AVariable);
        if (Index >= 0) {
            if (FDuplicates == dupIgnore) return Index;
            throw EKoVarListError(
                KoFormat(L"List does not accept Duplicates and Variable '%s' is already in the list",
                         VarNamePath(AVariable)));
        }
    }
    const int Index = AddComponent(AVariable);
    if (AVariable) FVarChangeSlot->Connect(ASignal);
    return Index;
}

int TKoVarList::Add(TKoVar* AVariable) {
    return AddConnected(AVariable, AVariable ? AVariable->ChangeSignal() : nullptr);
}

void TKoVarList::AddVariables(TKoComponent* AComponent) {
    if (!AComponent) return;
    for (int I = 0; I < AComponent->ComponentCount(); ++I)
        if (auto* Var = dynamic_cast<TKoVar*>(AComponent->Components(I))) Add(Var);
}

void TKoVarList::Insert(int Index, TKoVar* AVariable) {
    InsertComponent(Index, AVariable);
    if (AVariable) FVarChangeSlot->Connect(AVariable->ChangeSignal());
}

int TKoVarList::Remove(TKoVar* AVariable) {
    return RemoveComponent(AVariable);
}

int TKoVarList::IndexOfName(const std::wstring& Name) const {
    for (int I = 0; I < Count(); ++I) {
        const TKoComponent* C = Components(I);
        if (C && C->Name() == Name) return I;
    }
    return -1;
}

TKoVar* TKoVarList::Items(int Index) const {
    TKoComponent* const C = Components(Index);
    auto* Var = dynamic_cast<TKoVar*>(C);
    if (!Var) throw EKoInvalidCast(L"Invalid class typecast");
    return Var;
}

void TKoVarList::SetItems(int Index, TKoVar* AVariable) {
    SetComponents(Index, AVariable);
}

TKoVar* TKoVarList::Variables(int Index) const {
    return dynamic_cast<TKoVar*>(Components(Index));
}

void TKoVarList::SetVariables(int Index, TKoVar* AVariable) {
    if (TKoVar* Old = Variables(Index)) FVarChangeSlot->Disconnect(Old->ChangeSignal());
    SetComponents(Index, AVariable);
    if (AVariable) FVarChangeSlot->Connect(AVariable->ChangeSignal());
}

void TKoVarList::Assign(const std::vector<TKoComponent*>* Source) {
    Clear();
    if (!Source) return;
    for (TKoComponent* C : *Source)
        if (auto* Var = dynamic_cast<TKoVar*>(C)) Add(Var);
}

void TKoVarList::Assign(const TKoStrings* Source) {
    Clear();
    if (!Source) return;
    for (int I = 0; I < Source->Count(); ++I) {
        if (!Source->HasObject(I)) continue;
        // A string list keeps the type an object was stored as: variables, components or
        // anything else (skipped).
        TKoComponent* C = nullptr;
        try {
            C = Source->Objects<TKoVar>(I);
        } catch (const EKoStringListError&) {
            try {
                C = Source->Objects<TKoComponent>(I);
            } catch (const EKoStringListError&) {
                continue;
            }
        }
        if (auto* Var = dynamic_cast<TKoVar*>(C)) Add(Var);
    }
}

void TKoVarList::AssignTo(std::vector<TKoComponent*>* Dest) const {
    if (!Dest) return;
    Dest->clear();
    for (int I = 0; I < Count(); ++I) Dest->push_back(Components(I));
}

void TKoVarList::AssignTo(TKoStrings* Dest) const {
    if (!Dest) return;
    Dest->Clear();
    for (int I = 0; I < Count(); ++I) {
        TKoVar* const Var = Variables(I);
        Dest->AddObject(Var ? Var->Caption() : std::wstring(), Var);
    }
}

void TKoVarList::Attach(TKoComponent* AComponent) {
    if (AComponent == FAttachedTo) return;
    if (FAttachedTo) {
        KoRemoveVarSignalWatcher(this);
        if (FNexus) {
            FAttachedTo->RemoveFreeNotification(FNexus);
            FNexus->OnNotify = nullptr;
            TKoComponent::Free(FNexus);
            FNexus = nullptr;
        }
    }
    Clear();
    FAttachedTo = nullptr;
    if (AComponent) {
        FNexus = new TKoComponentNexus(AComponent);
        FNexus->OnNotify = [this](TKoComponent* C, TKoOperation Operation) {
            HandleNotification(C, Operation);
        };
        FAttachedTo = AComponent;
        KoAddVarSignalWatcher(this);
        AddVariables(AComponent);
    }
}

void TKoVarList::HandleNotification(TKoComponent* AComponent, TKoOperation Operation) {
    if (!AComponent) return;
    if (AComponent == FNexus) {
        // The attached component is going away and takes the nexus with it.
        if (Operation == opRemove) {
            KoRemoveVarSignalWatcher(this);
            FNexus = nullptr;
            FAttachedTo = nullptr;
        }
        return;
    }
    if (Operation == opInsert) {
        // A new component is reported before it is constructed as a variable; new variables
        // arrive through VarSignalCreated. This covers a variable that is reported again.
        if (auto* Var = dynamic_cast<TKoVar*>(AComponent)) Add(Var);
        return;
    }
    // A removed component is going away: by identity, since a variable that is deleted without
    // Free is no longer seen as one when its owner lets it go.
    ComponentGone(AComponent);
}

void TKoVarList::VarSignalCreated(TKoVarChangeSignal* ASignal) {
    if (!FAttachedTo || !ASignal || !ASignal->Owner() || ASignal->Owner()->Owner() != FAttachedTo) return;
    AddConnected(ASignal->Var(), ASignal);
}

void TKoVarList::SlotDisconnect(TKoSignal* Sender) {
    // A variable's signal that goes while the variable still holds it was disconnected on
    // purpose; one the variable let go of is the variable's end. Its entries drop out here too,
    // which matters for variables without owner: they send no free notification to a list.
    auto* Signal = dynamic_cast<TKoVarChangeSignal*>(Sender);
    if (Signal && Signal->Var() && Signal->Var()->ChangeSignal() != Signal) ComponentGone(Signal->Var());
}
