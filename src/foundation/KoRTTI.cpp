#include "KoRTTI.h"

#include <cwchar>
#include <cwctype>
#include <limits>
#include <unordered_map>
#include <mutex>

#include "KoApplication.h"
#include "KoUtils.h"
#include "KoVariants.h"

// ---- registry ----

class TKoRTTIRegistry {
public:
    static TKoRTTIRegistry& Instance() {
        static TKoRTTIRegistry Registry;
        return Registry;
    }

    void Add(std::unique_ptr<TKoRTTIClass> AClass) {
        std::lock_guard<std::recursive_mutex> Lock(FLock);
        const std::type_index Type = AClass->Type();
        if (FClasses.count(Type)) return;
        FClasses.emplace(Type, std::move(AClass));
        FResolved.clear();
    }

    const TKoRTTIClass* Find(std::type_index Type) {
        std::lock_guard<std::recursive_mutex> Lock(FLock);
        const auto It = FClasses.find(Type);
        return It == FClasses.end() ? nullptr : It->second.get();
    }

    const TKoRTTIClass* FindByName(const std::wstring& Name) {
        std::lock_guard<std::recursive_mutex> Lock(FLock);
        for (const auto& [Type, Class] : FClasses)
            if (KoSameText(Class->Name(), Name)) return Class.get();
        return nullptr;
    }

    // The deepest registered class the object is an instance of, found through its component
    // or persistent base; nullptr when there is none.
    const TKoRTTIClass* Nearest(std::type_index Dynamic, TKoComponent* AsComponent,
                                TKoPersistentBase* AsPersistent) {
        std::lock_guard<std::recursive_mutex> Lock(FLock);
        const auto Cached = FResolved.find(Dynamic);
        if (Cached != FResolved.end()) return Cached->second;
        const TKoRTTIClass* Best = nullptr;
        int BestDepth = -1;
        for (const auto& [Type, Class] : FClasses) {
            bool IsInstance = false;
            if (AsComponent && Class->FFromComponent)
                IsInstance = Class->FFromComponent(AsComponent) != nullptr;
            else if (AsPersistent && Class->FFromPersistent)
                IsInstance = Class->FFromPersistent(AsPersistent) != nullptr;
            if (!IsInstance) continue;
            int Depth = 0;
            for (const TKoRTTIClass* C = Class.get(); C && C->FParentType; C = Find(*C->FParentType)) ++Depth;
            if (Depth > BestDepth) {
                Best = Class.get();
                BestDepth = Depth;
            }
        }
        if (Best) FResolved.emplace(Dynamic, Best);
        return Best;
    }

    // The object as a pointer to Base (found by Nearest).
    static void* Cast(const TKoRTTIClass* Base, TKoComponent* AsComponent, TKoPersistentBase* AsPersistent) {
        if (AsComponent && Base->FFromComponent) return Base->FFromComponent(AsComponent);
        return AsPersistent && Base->FFromPersistent ? Base->FFromPersistent(AsPersistent) : nullptr;
    }

private:
    std::recursive_mutex FLock;
    // Hashed, not ordered: the order of type_info is not a strict weak order on every platform
    // (types local to a unit compare by address, the others by name).
    std::unordered_map<std::type_index, std::unique_ptr<TKoRTTIClass>> FClasses;
    std::unordered_map<std::type_index, const TKoRTTIClass*> FResolved;
};

void KoRTTIAddClass(std::unique_ptr<TKoRTTIClass> AClass) {
    if (AClass) TKoRTTIRegistry::Instance().Add(std::move(AClass));
}

const TKoRTTIClass* KoRTTIFindClass(const std::type_info& Type) {
    KoRegisterFoundationRTTI();
    return TKoRTTIRegistry::Instance().Find(std::type_index(Type));
}

const TKoRTTIClass* KoRTTIFindClassByName(const std::wstring& Name) {
    KoRegisterFoundationRTTI();
    return TKoRTTIRegistry::Instance().FindByName(Name);
}

TKoRTTIObject KoRTTIResolve(const std::type_info& Dynamic, void* MostDerived, TKoComponent* AsComponent,
                            TKoPersistentBase* AsPersistent, const std::wstring& ClassName) {
    KoRegisterFoundationRTTI();
    TKoRTTIRegistry& Registry = TKoRTTIRegistry::Instance();
    if (const TKoRTTIClass* Exact = Registry.Find(std::type_index(Dynamic))) return {MostDerived, Exact};
    if (const TKoRTTIClass* Base = Registry.Nearest(std::type_index(Dynamic), AsComponent, AsPersistent))
        return {Registry.Cast(Base, AsComponent, AsPersistent), Base};
    throw EKoRTTIException(KoFormat(L"Class %s has no published type information",
                                    ClassName.empty() ? KoWide(Dynamic.name()) : ClassName));
}

void KoRegisterFoundationRTTI() {
    static std::once_flag Once;
    std::call_once(Once, [] {
        KoRTTIRegister<TKoComponent>(L"TKoComponent")
            .String(L"Name", &TKoComponent::Name, &TKoComponent::SetName)
            .Integer(
                L"Tag", [](const TKoComponent& C) { return static_cast<int32_t>(C.Tag); },
                [](TKoComponent& C, int32_t V) { C.Tag = V; })
            .Default(0);
        // The persistent bases publish nothing; their descendants add their properties.
        KoRTTIRegister<TKoPersistent>(L"TKoPersistent");
        KoRTTIRegister<TKoPersistentList>(L"TKoPersistentList");
    });
}

// ---- classes ----

const TKoRTTIClass* TKoRTTIClass::Parent() const {
    if (!FParentType) return nullptr;
    const TKoRTTIClass* Result = TKoRTTIRegistry::Instance().Find(*FParentType);
    if (!Result) throw EKoRTTIException(KoFormat(L"Class %s: its base class is not registered", FName));
    return Result;
}

bool TKoRTTIClass::InheritsFrom(const TKoRTTIClass* Other) const {
    if (!Other) return false;
    for (const TKoRTTIClass* C = this; C; C = C->Parent())
        if (C == Other) return true;
    return false;
}

std::vector<const TKoRTTIPropRecord*> TKoRTTIClass::AllProps() const {
    std::vector<const TKoRTTIClass*> Chain;
    for (const TKoRTTIClass* C = this; C; C = C->Parent()) Chain.push_back(C);
    std::vector<const TKoRTTIPropRecord*> Result;
    for (auto It = Chain.rbegin(); It != Chain.rend(); ++It)
        for (const auto& Prop : (*It)->FProps) Result.push_back(Prop.get());
    return Result;
}

void* TKoRTTIClass::Upcast(void* Ptr, const TKoRTTIClass* Target) const {
    const TKoRTTIClass* C = this;
    while (C && Ptr) {
        if (C == Target) return Ptr;
        if (!C->FToParent) return nullptr;
        Ptr = C->FToParent(Ptr);
        C = C->Parent();
    }
    return nullptr;
}

TKoComponent* TKoRTTIClass::CreateComponent(TKoComponent* Owner) const {
    if (!FCreate) throw EKoRTTIException(KoFormat(L"Class %s cannot be created", FName));
    return FCreate(Owner);
}

TKoPersistentBase* TKoRTTIClass::CreatePersistent() const {
    if (!FCreatePersistent) throw EKoRTTIException(KoFormat(L"Class %s cannot be created", FName));
    return FCreatePersistent();
}

TKoComponent* TKoRTTIObject::AsComponent() const {
    return Ptr && Class && Class->FToComponent ? Class->FToComponent(Ptr) : nullptr;
}

TKoPersistentBase* TKoRTTIObject::AsPersistent() const {
    return Ptr && Class && Class->FToPersistent ? Class->FToPersistent(Ptr) : nullptr;
}

void* TKoRTTIObject::As(const TKoRTTIClass* Target) const {
    return Ptr && Class ? Class->Upcast(Ptr, Target) : nullptr;
}

uintptr_t TKoRTTIObject::Address() const {
    return Ptr && Class ? reinterpret_cast<uintptr_t>(Class->FMostDerived(Ptr)) : 0;
}

std::wstring TKoRTTIObject::ClassName() const {
    if (TKoComponent* C = AsComponent()) return C->ClassName();
    return Class ? Class->Name() : std::wstring(L"nil");
}

// ---- types ----

namespace {

TKoRTTIType MakeType(const wchar_t* Name, TKoTypeKind Kind, int32_t Min = 0, int32_t Max = -1) {
    TKoRTTIType T;
    T.Name = Name;
    T.Kind = Kind;
    T.MinValue = Min;
    T.MaxValue = Max;
    return T;
}

} // namespace

const TKoRTTIType* KoRTTIIntegerType() {
    static const TKoRTTIType Type = MakeType(L"Integer", tkInteger, std::numeric_limits<int32_t>::min(),
                                             std::numeric_limits<int32_t>::max());
    return &Type;
}

const TKoRTTIType* KoRTTICharType() {
    static const TKoRTTIType Type = MakeType(L"Char", tkChar, 0, 255);
    return &Type;
}

const TKoRTTIType* KoRTTIWideCharType() {
    static const TKoRTTIType Type = MakeType(L"WideChar", tkWChar, 0, 65535);
    return &Type;
}

const TKoRTTIType* KoRTTIBooleanType() {
    static const TKoRTTIType Type = [] {
        TKoRTTIType T = MakeType(L"Boolean", tkEnumeration, 0, 1);
        T.EnumNames = {L"False", L"True"};
        T.IsBoolean = true;
        return T;
    }();
    return &Type;
}

const TKoRTTIType* KoRTTIFloatType() {
    static const TKoRTTIType Type = MakeType(L"Double", tkFloat);
    return &Type;
}

const TKoRTTIType* KoRTTIDateTimeType() {
    static const TKoRTTIType Type = [] {
        TKoRTTIType T = MakeType(L"DateTime", tkFloat);
        T.IsDateTime = true;
        return T;
    }();
    return &Type;
}

const TKoRTTIType* KoRTTIStringType() {
    static const TKoRTTIType Type = MakeType(L"String", tkString);
    return &Type;
}

const TKoRTTIType* KoRTTIVariantType() {
    static const TKoRTTIType Type = MakeType(L"Variant", tkVariant);
    return &Type;
}

const TKoRTTIType* KoRTTISkippedType(TKoTypeKind Kind) {
    static const std::vector<TKoRTTIType> Types = [] {
        std::vector<TKoRTTIType> Result;
        for (int K = tkUnknown; K <= tkInt64; ++K)
            Result.push_back(MakeType(L"", static_cast<TKoTypeKind>(K)));
        return Result;
    }();
    if (Kind < tkUnknown || Kind > tkInt64) Kind = tkUnknown;
    return &Types[static_cast<size_t>(Kind)];
}

const TKoRTTIClass* TKoRTTIType::ValueClass() const {
    if (!ClassType) return nullptr;
    KoRegisterFoundationRTTI();
    const TKoRTTIClass* Result = TKoRTTIRegistry::Instance().Find(*ClassType);
    if (!Result)
        throw EKoRTTIException(
            KoFormat(L"Class %s has no published type information", KoWide(ClassType->name())));
    return Result;
}

// ---- text helpers ----

namespace {

// Decimal with an optional sign, or hexadecimal after "$" or "0x"; a hexadecimal number may use
// the full unsigned width (so $FFFFFFFF is -1 as a 32-bit number).
bool ParseInteger(const std::wstring& Source, int Bits, int64_t& Result) {
    return Bits == 64 ? KoParseInteger(Source, INT64_MIN, INT64_MAX, 64, Result)
                      : KoParseInteger(Source, INT32_MIN, INT32_MAX, 32, Result);
}

int32_t IntegerFromText(const std::wstring& Text) {
    int64_t N = 0;
    if (!ParseInteger(Text, 32, N))
        throw EKoRTTIException(KoFormat(L"'%s' is not a valid integer value", Text));
    return static_cast<int32_t>(N);
}

wchar_t DecimalSeparator() {
    const std::wstring Sep = KoLocaleInfo(LOCALE_SDECIMAL);
    return Sep.empty() ? L'.' : Sep[0];
}

std::wstring FloatToText(double V) {
    std::wstring Text = KoFormat(L"%g", V);
    const wchar_t Sep = DecimalSeparator();
    for (wchar_t& C : Text)
        if (C == L'.') C = Sep;
    return Text;
}

bool TextToFloat(const std::wstring& Source, double& Result) {
    std::wstring Text = KoTrim(Source);
    if (Text.empty()) return false;
    const wchar_t Sep = DecimalSeparator();
    for (wchar_t& C : Text) {
        if (C == Sep)
            C = L'.';
        else if (C == L'.' && Sep != L'.')
            return false;
    }
    wchar_t* End = nullptr;
    Result = std::wcstod(Text.c_str(), &End);
    return End && *End == L'\0';
}

std::wstring BstrOf(const VARIANT& V) {
    return V.vt == VT_BSTR && V.bstrVal ? std::wstring(V.bstrVal, SysStringLen(V.bstrVal)) : std::wstring();
}

std::wstring AddressText(uintptr_t Address) {
    return KoFormat(L"$%08X", Address);
}

// The component at that address in the tree below Root (Root included), or nullptr.
TKoComponent* FindByAddress(TKoComponent* Root, uintptr_t Address) {
    if (!Root) return nullptr;
    if (reinterpret_cast<uintptr_t>(dynamic_cast<void*>(Root)) == Address) return Root;
    for (int I = 0; I < Root->ComponentCount(); ++I)
        if (TKoComponent* Found = FindByAddress(Root->Components(I), Address)) return Found;
    return nullptr;
}

// A name relative to Context: a plain name among its components, "<Context>.Name" among them
// too, "<Sibling>.Name" among the components of a sibling of Context (a component with the same
// owner); nullptr when none of these exists.
TKoComponent* FindRelative(TKoComponent* Context, const std::wstring& Text) {
    if (!Context) return nullptr;
    const size_t Dot = Text.rfind(L'.');
    if (Dot == std::wstring::npos) return Context->FindComponent(Text);
    const std::wstring OwnerName = Text.substr(0, Dot), Name = Text.substr(Dot + 1);
    if (KoSameText(Context->Name(), OwnerName)) return Context->FindComponent(Name);
    TKoComponent* Sibling = Context->Owner() ? Context->Owner()->FindComponent(OwnerName) : nullptr;
    return Sibling ? Sibling->FindComponent(Name) : nullptr;
}

TKoRTTIPropRecord& NullRecord() {
    static TKoRTTIPropRecord Record = [] {
        TKoRTTIPropRecord R;
        R.Type = KoRTTISkippedType(tkUnknown);
        return R;
    }();
    return Record;
}

} // namespace

// ---- property of a class ----

TKoRTTIPropInfo::TKoRTTIPropInfo(const TKoRTTIPropRecord* PropInfo)
    : FPTypeData(PropInfo->Type), FPPropInfo(PropInfo) {}

// ---- property of an instance ----

TKoRTTIProp::TKoRTTIProp(const TKoRTTIObject& Instance, const TKoRTTIPropRecord* PropInfo)
    : TKoRTTIPropInfo(PropInfo), FInstance(Instance) {}

void* TKoRTTIProp::Target() const {
    void* Ptr = FInstance.As(FPPropInfo->Declaring);
    if (!Ptr)
        throw EKoRTTIException(KoFormat(L"Property %s: the object is no %s", Name(),
                                        FPPropInfo->Declaring ? FPPropInfo->Declaring->Name() : L"nil"));
    return Ptr;
}

bool TKoRTTIProp::IsReadOnly() const {
    return !FPPropInfo->HasSetter();
}

void TKoRTTIProp::CheckReadOnly() const {
    if (IsReadOnly()) throw EKoRTTIReadOnlyError(KoFormat(L"%s is ReadOnly", Name()));
}

bool TKoRTTIProp::IsStored() {
    if (FPPropInfo->Stored) return FPPropInfo->Stored(Target());
    if (FPPropInfo->Default && FPPropInfo->GetOrd)
        return FPPropInfo->GetOrd(Target()) != *FPPropInfo->Default;
    return true;
}

TKoComponent* TKoRTTIProp::Owner() const {
    if (TKoComponent* C = FInstance.AsComponent()) return C->Owner();
    const auto* Item = dynamic_cast<const TKoPersistent*>(FInstance.AsPersistent());
    return Item ? Item->LookupContext() : nullptr;
}

void TKoRTTIProp::GetValue(TKoOleVariant& V) {
    const TKoRTTIPropRecord& R = *FPPropInfo;
    if (R.GetOrd)
        V = TKoOleVariant(R.GetOrd(Target()));
    else if (R.GetFloat)
        V = TypeData().IsDateTime ? TKoOleVariant::Date(R.GetFloat(Target()))
                                  : TKoOleVariant(R.GetFloat(Target()));
    else if (R.GetString)
        V = TKoOleVariant(R.GetString(Target()));
    else if (R.GetVariant)
        V = R.GetVariant(Target());
    else
        V.Clear();
}

void TKoRTTIProp::SetValue(const VARIANT& V) {
    CheckReadOnly();
    if (!VarHasValue(V)) {
        SetToNil();
        return;
    }
    const TKoRTTIPropRecord& R = *FPPropInfo;
    if (R.SetOrd)
        R.SetOrd(Target(), KoChangeType(V, VT_I4).Get().lVal);
    else if (R.SetFloat)
        R.SetFloat(Target(), KoChangeType(V, VT_R8).Get().dblVal);
    else if (R.SetString)
        R.SetString(Target(), BstrOf(KoChangeType(V, VT_BSTR)));
    else if (R.SetVariant)
        R.SetVariant(Target(), V);
}

void TKoRTTIProp::GetEnumList(TKoStrings& Strings) {
    Strings.Clear();
}

void TKoRTTIProp::SetToNil() {}

bool TKoRTTIProp::ValueEquals(TKoRTTIProp* Other) {
    if (!Other || Other->GetIsNull() || Other->TypeInfo() != TypeInfo()) return false;
    return VariantsEqual(Value(), Other->Value(), false);
}

// ---- ordinal kinds ----

TKoOrdRTTIProp::TKoOrdRTTIProp(const TKoRTTIObject& Instance, const TKoRTTIPropRecord* PropInfo)
    : TKoRTTIProp(Instance, PropInfo), FMinOrd(PropInfo->Type->MinValue), FMaxOrd(PropInfo->Type->MaxValue) {}

int32_t TKoOrdRTTIProp::AsInteger() {
    return FPPropInfo->GetOrd ? FPPropInfo->GetOrd(Target()) : 0;
}

void TKoOrdRTTIProp::SetAsInteger(int32_t Value) {
    CheckReadOnly();
    if (FMaxOrd >= FMinOrd && (Value < FMinOrd || Value > FMaxOrd))
        throw EKoRTTIException(
            KoFormat(L"Property \"%s\": Value %d out of range (%d..%d)", Name(), Value, FMinOrd, FMaxOrd));
    FPPropInfo->SetOrd(Target(), Value);
}

void TKoOrdRTTIProp::GetValue(TKoOleVariant& V) {
    V = TKoOleVariant(AsInteger());
}

std::wstring TKoOrdRTTIProp::GetValueAsString() {
    return KoFormat(L"%d", AsInteger());
}

void TKoOrdRTTIProp::SetValue(const VARIANT& V) {
    CheckReadOnly();
    if (!VarHasValue(V))
        SetToNil();
    else
        SetAsInteger(KoChangeType(V, VT_I4).Get().lVal);
}

void TKoOrdRTTIProp::SetValueAsString(const std::wstring& Value) {
    CheckReadOnly();
    SetAsInteger(IntegerFromText(Value));
}

void TKoOrdRTTIProp::SetToNil() {
    SetAsInteger(0);
}

std::wstring TKoCharRTTIProp::GetValueAsString() {
    return std::wstring(1, static_cast<wchar_t>(AsInteger()));
}

void TKoCharRTTIProp::SetValueAsString(const std::wstring& Value) {
    CheckReadOnly();
    if (Value.size() == 1)
        SetAsInteger(static_cast<int32_t>(Value[0]));
    else
        SetAsInteger(IntegerFromText(Value));
}

TKoEnumRTTIProp::TKoEnumRTTIProp(const TKoRTTIObject& Instance, const TKoRTTIPropRecord* PropInfo)
    : TKoOrdRTTIProp(Instance, PropInfo) {
    for (const std::wstring& N : PropInfo->Type->EnumNames) FEnumNames.Add(N);
}

std::wstring TKoEnumRTTIProp::GetValueAsString() {
    const int32_t Ord = AsInteger();
    const int64_t Index = static_cast<int64_t>(Ord) - FMinOrd;
    if (Index >= 0 && Index < FEnumNames.Count()) return FEnumNames.Strings(static_cast<int>(Index));
    return KoFormat(L"Invalid <%d>", Ord);
}

void TKoEnumRTTIProp::SetValueAsString(const std::wstring& Value) {
    CheckReadOnly();
    for (int I = 0; I < FEnumNames.Count(); ++I) {
        if (KoSameText(FEnumNames.Strings(I), Value)) {
            SetAsInteger(FMinOrd + I);
            return;
        }
    }
    int64_t N = 0;
    if (!ParseInteger(Value, 32, N))
        throw EKoRTTIException(KoFormat(L"TKoEnumRTTIProp.SetValueAsString: Invalid Value '%s'", Value));
    SetAsInteger(static_cast<int32_t>(N));
}

void TKoEnumRTTIProp::GetEnumList(TKoStrings& Strings) {
    Strings.Clear();
    for (int I = 0; I < FEnumNames.Count(); ++I) Strings.Add(FEnumNames.Strings(I));
}

bool TKoBooleanRTTIProp::AsBool() {
    return AsInteger() != FMinOrd;
}

void TKoBooleanRTTIProp::SetAsBool(bool B) {
    SetAsInteger(FMinOrd + (B ? 1 : 0));
}

void TKoBooleanRTTIProp::GetValue(TKoOleVariant& V) {
    V = TKoOleVariant(AsBool());
}

void TKoBooleanRTTIProp::SetValue(const VARIANT& V) {
    CheckReadOnly();
    switch (VariantClass(V)) {
    case vcNull:
        SetAsBool(false);
        break;
    case vcString:
        SetValueAsString(BstrOf(KoChangeType(V, VT_BSTR)));
        break;
    default:
        SetAsBool(KoChangeType(V, VT_BOOL).Get().boolVal != VARIANT_FALSE);
        break;
    }
}

// ---- class references ----

TKoClassRTTIProp::TKoClassRTTIProp(const TKoRTTIObject& Instance, const TKoRTTIPropRecord* PropInfo)
    : TKoOrdRTTIProp(Instance, PropInfo) {
    FMinOrd = 0;
    FMaxOrd = 2147483647;
}

TKoRTTIObject TKoClassRTTIProp::AsObject() {
    return FPPropInfo->GetObject ? FPPropInfo->GetObject(Target()) : TKoRTTIObject();
}

void TKoClassRTTIProp::GetValue(TKoOleVariant& V) {
    const uintptr_t Address = ObjectAddress(AsObject());
    if constexpr (sizeof(uintptr_t) == 4) {
        V = TKoOleVariant(static_cast<int32_t>(Address));
    } else {
        VARIANT* Slot = V.Receive();
        Slot->vt = VT_I8;
        Slot->llVal = static_cast<LONGLONG>(Address);
    }
}

std::wstring TKoClassRTTIProp::GetValueAsString() {
    return AddressText(ObjectAddress(AsObject()));
}

void TKoClassRTTIProp::SetValue(const VARIANT& V) {
    CheckReadOnly();
    if (!VarHasValue(V))
        SetToNil();
    else
        SetAsAddress(static_cast<uintptr_t>(KoChangeType(V, VT_I8).Get().llVal));
}

void TKoClassRTTIProp::SetValueAsString(const std::wstring& Value) {
    CheckReadOnly();
    const std::wstring Text = KoTrim(Value);
    if (Text.empty() || KoSameText(Text, L"(none)")) {
        SetToNil();
        return;
    }
    int64_t N = 0;
    if (!ParseInteger(Text, 64, N))
        throw EKoRTTIException(KoFormat(L"'%s' is not a valid integer value", Value));
    SetAsAddress(static_cast<uintptr_t>(N));
}

void TKoClassRTTIProp::SetToNil() {
    CheckReadOnly();
    FPPropInfo->SetObject(Target(), nullptr);
}

void TKoClassRTTIProp::SetAsInteger(int32_t Value) {
    SetAsAddress(static_cast<uintptr_t>(static_cast<intptr_t>(Value)));
}

void TKoClassRTTIProp::SetAsObject(const TKoRTTIObject& Obj) {
    CheckReadOnly();
    if (!Obj) {
        FPPropInfo->SetObject(Target(), nullptr);
        return;
    }
    const TKoRTTIClass* Expected = ValueClass();
    void* Ptr = Obj.As(Expected);
    if (!Ptr)
        throw EKoRTTIException(KoFormat(L"Object '%s' is not a '%s'", GetValueAsString(),
                                        Expected ? Expected->Name() : std::wstring(L"nil")));
    FPPropInfo->SetObject(Target(), Ptr);
}

void TKoClassRTTIProp::SetAsAddress(uintptr_t Address) {
    CheckReadOnly();
    if (Address == 0) {
        SetToNil();
        return;
    }
    // A number is no object: only an address that can be traced to a live object is used.
    const TKoRTTIObject Current = AsObject();
    if (Current && Current.Address() == Address) {
        SetAsObject(Current);
        return;
    }
    if (FPTypeData->ClassIsComponent) {
        TKoComponent* Found = FindByAddress(&Application(), Address);
        if (!Found) {
            TKoComponent* Root = FInstance.AsComponent();
            while (Root && Root->Owner()) Root = Root->Owner();
            Found = FindByAddress(Root, Address);
        }
        if (Found) {
            SetAsObject(TKoRTTIObject(Found));
            return;
        }
    }
    const TKoRTTIClass* Expected = ValueClass();
    throw EKoRTTIException(KoFormat(L"Object '%s' is not a '%s'", AddressText(Address),
                                    Expected ? Expected->Name() : std::wstring(L"nil")));
}

TKoComponent* TKoComponentRTTIProp::AsComponent() {
    return AsObject().AsComponent();
}

void TKoComponentRTTIProp::SetAsComponent(TKoComponent* Value) {
    SetAsObject(TKoRTTIObject(Value));
}

std::wstring TKoComponentRTTIProp::GetValueAsString() {
    return ComponentNamePath(AsComponent(), true, false, nullptr);
}

void TKoComponentRTTIProp::SetValueAsString(const std::wstring& Value) {
    CheckReadOnly();
    // A leading x starts a name, not a hexadecimal number.
    if (Value.empty() || (Value[0] != L'x' && Value[0] != L'X')) {
        const std::wstring Text = KoTrim(Value);
        if (Text.empty() || KoSameText(Text, L"(none)")) {
            SetToNil();
            return;
        }
        int64_t N = 0;
        if (ParseInteger(Text, 64, N)) {
            SetAsAddress(static_cast<uintptr_t>(N));
            return;
        }
    }
    TKoComponent* Found = KoRunTimeApplication()->FindComponent(Value, L'.', nullptr);
    if (!Found) Found = FindRelative(Owner(), Value);
    if (!Found) throw EKoRTTIException(KoFormat(L"Component \"%s\" not found", Value));
    SetAsComponent(Found);
}

// ---- floating point ----

std::wstring TKoFloatRTTIProp::GetValueAsString() {
    return FloatToText(FPPropInfo->GetFloat(Target()));
}

void TKoFloatRTTIProp::SetValueAsString(const std::wstring& Value) {
    CheckReadOnly();
    double D = 0;
    if (!TextToFloat(Value, D))
        throw EKoRTTIException(KoFormat(L"'%s' is not a valid floating point value", Value));
    FPPropInfo->SetFloat(Target(), D);
}

void TKoFloatRTTIProp::SetToNil() {
    CheckReadOnly();
    FPPropInfo->SetFloat(Target(), 0);
}

std::wstring TKoDateTimeRTTIProp::GetValueAsString() {
    return KoLocaleDateTimeText(FPPropInfo->GetFloat(Target()), false, true);
}

void TKoDateTimeRTTIProp::SetValueAsString(const std::wstring& Value) {
    CheckReadOnly();
    std::wstring Text = KoTrim(Value);
    DATE Date = 0;
    double D = 0;
    if (!Text.empty() && SUCCEEDED(VarDateFromStr(Text.data(), LOCALE_USER_DEFAULT, 0, &Date)))
        FPPropInfo->SetFloat(Target(), Date);
    else if (TextToFloat(Text, D))
        FPPropInfo->SetFloat(Target(), D);
    else
        throw EKoRTTIException(KoFormat(L"'%s' is not a valid date and time", Value));
}

void TKoDateTimeRTTIProp::SetValue(const VARIANT& V) {
    CheckReadOnly();
    if (V.vt == VT_BSTR)
        SetValueAsString(BstrOf(V));
    else
        TKoFloatRTTIProp::SetValue(V);
}

// ---- strings and variants ----

std::wstring TKoStringRTTIProp::GetValueAsString() {
    return FPPropInfo->GetString(Target());
}

void TKoStringRTTIProp::SetValueAsString(const std::wstring& Value) {
    CheckReadOnly();
    FPPropInfo->SetString(Target(), Value);
}

void TKoStringRTTIProp::SetToNil() {
    CheckReadOnly();
    FPPropInfo->SetString(Target(), std::wstring());
}

std::wstring TKoVariantRTTIProp::GetValueAsString() {
    return VariantToText(Value(), false);
}

void TKoVariantRTTIProp::SetValueAsString(const std::wstring& Value) {
    SetValue(TKoOleVariant(Value));
}

TKoNullRTTIProp::TKoNullRTTIProp() : TKoRTTIProp(TKoRTTIObject(), &NullRecord()) {}

TKoNullRTTIProp* KoNullRTTIProp() {
    static TKoNullRTTIProp Instance;
    return &Instance;
}

std::unique_ptr<TKoRTTIProp> KoCreateRTTIProp(const TKoRTTIObject& Instance,
                                              const TKoRTTIPropRecord* PropInfo) {
    const TKoRTTIType& Type = *PropInfo->Type;
    switch (Type.Kind) {
    case tkInteger:
        return std::make_unique<TKoIntegerRTTIProp>(Instance, PropInfo);
    case tkChar:
    case tkWChar:
        return std::make_unique<TKoCharRTTIProp>(Instance, PropInfo);
    case tkEnumeration:
        if (Type.IsBoolean) return std::make_unique<TKoBooleanRTTIProp>(Instance, PropInfo);
        return std::make_unique<TKoEnumRTTIProp>(Instance, PropInfo);
    case tkFloat:
        if (Type.IsDateTime) return std::make_unique<TKoDateTimeRTTIProp>(Instance, PropInfo);
        return std::make_unique<TKoFloatRTTIProp>(Instance, PropInfo);
    case tkString:
        return std::make_unique<TKoStringRTTIProp>(Instance, PropInfo);
    case tkClass:
        if (Type.ClassIsComponent) return std::make_unique<TKoComponentRTTIProp>(Instance, PropInfo);
        return std::make_unique<TKoClassRTTIProp>(Instance, PropInfo);
    case tkVariant:
        return std::make_unique<TKoVariantRTTIProp>(Instance, PropInfo);
    default:
        return nullptr;
    }
}

// ---- property sets ----

namespace {

bool TakesPart(TKoTypeKind Kind) {
    switch (Kind) {
    case tkInteger:
    case tkChar:
    case tkWChar:
    case tkEnumeration:
    case tkFloat:
    case tkString:
    case tkClass:
    case tkVariant:
        return true;
    default:
        return false;
    }
}

void InitPropList(TKoStringList& List) {
    List.SetOwnsObjects(true);
    const std::wstring Separator = KoListSeparator();
    List.SetCSVSeparator(Separator.empty() ? L',' : Separator[0]);
}

} // namespace

TKoClassProperties::TKoClassProperties(const TKoRTTIClass* AClass) {
    InitPropList(FProps);
    Collect(AClass);
}

TKoClassProperties::TKoClassProperties(TDeferCollect) {
    InitPropList(FProps);
}

void TKoClassProperties::Collect(const TKoRTTIClass* AClass) {
    if (!AClass) return;
    for (const TKoRTTIPropRecord* Record : AClass->AllProps()) {
        if (!TakesPart(Record->Type->Kind)) continue;
        TKoRTTIPropInfo* Info = CreatePropInfo(Record);
        if (Info) FProps.AddObject(Record->Name, Info);
    }
}

TKoRTTIPropInfo* TKoClassProperties::CreatePropInfo(const TKoRTTIPropRecord* PropInfo) {
    return TakesPart(PropInfo->Type->Kind) ? new TKoRTTIPropInfo(PropInfo) : nullptr;
}

TKoRTTIPropInfo* TKoClassProperties::Props(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EKoRTTIException(
            KoFormat(L"TKoClassProperties: Invalid property index %d (valid: 0-%d", Index, Count() - 1));
    return FProps.Objects<TKoRTTIPropInfo>(Index);
}

int TKoClassProperties::IndexOfName(const std::wstring& Name) const {
    for (int I = 0; I < Count(); ++I)
        if (KoSameText(FProps.Strings(I), Name)) return I;
    return -1;
}

TKoRTTIPropInfo* TKoClassProperties::PropByName(const std::wstring& Name) const {
    const int Index = IndexOfName(Name);
    if (Index < 0)
        throw EKoRTTIException(KoFormat(L"TKoClassProperties: No property for PropName '%s' exist.", Name));
    return Props(Index);
}

std::wstring TKoClassProperties::PropNamesToCSV() const {
    return FProps.AsCSV();
}

void TKoClassProperties::AssignToStrings(TKoStrings& Strings) {
    for (int I = 0; I < Count(); ++I) Strings.Add(GetPropText(I));
}

std::wstring TKoClassProperties::GetPropText(int Index) {
    return Props(Index)->Name();
}

void TKoClassProperties::SetupList(TKoStringList& List) const {
    List.SetCSVSeparator(FProps.CSVSeparator());
    List.SetCSVQuoteChar(FProps.CSVQuoteChar());
}

TKoInstanceProperties::TKoInstanceProperties(const TKoRTTIObject& Instance)
    : TKoClassProperties(TDeferCollect{}), FInstance(Instance) {
    Collect(Instance.Class);
}

TKoRTTIPropInfo* TKoInstanceProperties::CreatePropInfo(const TKoRTTIPropRecord* PropInfo) {
    return KoCreateRTTIProp(FInstance, PropInfo).release();
}

std::wstring TKoInstanceProperties::GetPropText(int Index) {
    TKoRTTIProp* Prop = Props(Index);
    return Prop->Name() + L"=" + Prop->GetValueAsString();
}

std::wstring TKoInstanceProperties::PropValuesToCSV(bool IncludePropNames) {
    TKoStringList List;
    SetupList(List);
    for (int I = 0; I < Count(); ++I)
        List.Add(IncludePropNames ? GetPropText(I) : Props(I)->GetValueAsString());
    return List.AsCSV();
}

void TKoInstanceProperties::CSVToPropValues(const std::wstring& Str) {
    TKoStringList List;
    SetupList(List);
    List.SetAsCSV(Str);
    for (int I = 0; I < Count(); ++I) Props(I)->SetValueAsString(List.Strings(I));
}

void TKoInstanceProperties::AssignFromStrings(const TKoStrings& Strings, bool IgnoreInvalidPropNames) {
    for (int I = 0; I < Strings.Count(); ++I) {
        const std::wstring& Line = Strings.Strings(I);
        const size_t Eq = Line.find(L'=');
        const std::wstring Name = Line.substr(0, Eq);
        const std::wstring Value = Eq == std::wstring::npos ? std::wstring() : Line.substr(Eq + 1);
        const int Index = IndexOfName(Name);
        if (Index < 0) {
            if (IgnoreInvalidPropNames) continue;
            PropByName(Name); // fails with the missing name
        }
        Props(Index)->SetValueAsString(Value);
    }
}

// ---- free routines ----

std::wstring ObjectToCSV(const TKoRTTIObject& Instance, wchar_t Separator, bool IncludePropNames) {
    TKoInstanceProperties Props(Instance);
    if (Separator != L'\0') Props.SetCSVSeparator(Separator);
    return Props.PropValuesToCSV(IncludePropNames);
}

void CSVToObject(const std::wstring& Text, const TKoRTTIObject& Instance, wchar_t Separator) {
    TKoInstanceProperties Props(Instance);
    if (Separator != L'\0') Props.SetCSVSeparator(Separator);
    Props.CSVToPropValues(Text);
}

std::wstring ClassPropNamesToCSV(const TKoRTTIClass* AClass, wchar_t Separator) {
    TKoClassProperties Props(AClass);
    if (Separator != L'\0') Props.SetCSVSeparator(Separator);
    return Props.PropNamesToCSV();
}

void ObjectToStrings(const TKoRTTIObject& Instance, TKoStrings& Strings) {
    TKoInstanceProperties Props(Instance);
    Props.AssignToStrings(Strings);
}

std::wstring ComponentNamePath(TKoComponent* AComponent, bool WithOwnerPath, bool WithClassFallback,
                               TKoComponent* RelativeTo) {
    if (!AComponent) return std::wstring();
    std::wstring Result;
    TKoComponent* Owner = AComponent->Owner();
    if (!Owner || Owner == &Application() || Owner == RelativeTo)
        Result = AComponent->Name();
    else
        Result = (WithOwnerPath ? ComponentNamePath(Owner, false, false, RelativeTo) : Owner->Name()) + L"." +
                 AComponent->Name();
    if (WithClassFallback && Result.empty())
        Result = KoFormat(L"%s{%x}", AComponent->ClassName(),
                          reinterpret_cast<uintptr_t>(dynamic_cast<void*>(AComponent)));
    return Result;
}

// ---- component directory ----

std::wstring TKoComponentDirectory::GetComponentName(TKoComponent* AComponent) {
    return AComponent ? ComponentNamePath(AComponent, true, false, nullptr) : std::wstring(L"(none)");
}

TKoComponent* TKoRunTimeApplication::CreateComponent(const TKoRTTIClass* ComponentClass, TKoComponent* Owner,
                                                     int /*Left*/, int /*Top*/, int /*Width*/,
                                                     int /*Height*/) {
    // No visual controls live in this directory, so the bounds have nothing to place.
    if (!ComponentClass) throw EKoRTTIException(L"No class given to create a component of");
    return ComponentClass->CreateComponent(Owner);
}

TKoComponent* TKoRunTimeApplication::FindComponent(const std::wstring& ComponentPath, wchar_t Delimiter,
                                                   TKoComponent* DefaultOwner) {
    const size_t Split = ComponentPath.rfind(Delimiter);
    const std::wstring OwnerPart =
        Split == std::wstring::npos ? std::wstring() : ComponentPath.substr(0, Split);
    const std::wstring Name = Split == std::wstring::npos ? ComponentPath : ComponentPath.substr(Split + 1);
    TKoComponent* Owner;
    if (OwnerPart.empty())
        Owner = &Application();
    else if (OwnerPart.find(Delimiter) == std::wstring::npos)
        Owner = Application().FindComponent(OwnerPart);
    else if (OwnerPart[0] == Delimiter)
        Owner = DefaultOwner;
    else
        Owner = FindComponent(OwnerPart, Delimiter, DefaultOwner);
    return Owner ? Owner->FindComponent(Name) : nullptr;
}

namespace {
void CollectComponents(TKoStrings& Components, const TKoRTTIClass* AClass, TKoComponent* Root) {
    for (int I = 0; I < Root->ComponentCount(); ++I) {
        TKoComponent* C = Root->Components(I);
        if (TKoRTTIObject(C).Class->InheritsFrom(AClass))
            Components.AddObject(ComponentNamePath(C, true, false, nullptr), C);
        CollectComponents(Components, AClass, C);
    }
}
} // namespace

void TKoRunTimeApplication::FindComponents(TKoStrings& Components, const TKoRTTIClass* AClass,
                                           TKoComponent* Owner) {
    CollectComponents(Components, AClass, Owner ? Owner : &Application());
}

TKoRunTimeApplication* KoRunTimeApplication() {
    static TKoRunTimeApplication Instance;
    return &Instance;
}
