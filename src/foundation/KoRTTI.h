#pragma once
// Property reflection: generic access to the published properties of objects.
//
// C++ has no run-time property information, so each class that takes part registers its
// published properties once, in declaration order, in a process-wide registry. Lookups walk
// the class chain: the properties of the base classes come first. On top of the registry this
// unit lists a class's properties, reads and writes any property of an instance as text or as
// a variant, converts an object to and from one CSV line of property values, and names and
// finds components by their owner path.
//
// ---- Registering a class ----
//
// One self-contained block per class, usually a function that the program's start-up (and a
// test) calls before the first lookup:
//
//     void KoRegisterTKoFooRTTI() {
//         KoRTTIRegister<TKoFoo, TKoBar>(L"TKoFoo")              // class, registered base
//             .Integer(L"Count", &TKoFoo::Count, &TKoFoo::SetCount).Default(0)
//             .Integer(L"Level", &TKoFoo::Level, &TKoFoo::SetLevel).Range(0, 100)
//             .Enum(L"Mode", KoRTTIEnumType<TKoFooMode>(L"TKoFooMode", {L"fmOff", L"fmOn"}),
//                   &TKoFoo::Mode, &TKoFoo::SetMode)
//             .Bool(L"Active", &TKoFoo::Active, &TKoFoo::SetActive).StoredAlways()
//             .Float(L"Gain", &TKoFoo::Gain, &TKoFoo::SetGain)
//             .DateTime(L"Start", &TKoFoo::Start, &TKoFoo::SetStart)
//             .String(L"Text", &TKoFoo::Text, &TKoFoo::SetText)
//                 .Stored([](const TKoFoo& F) { return !F.Text().empty(); })
//             .Char(L"Sign", &TKoFoo::Sign, &TKoFoo::SetSign)
//             .Variant(L"Data", &TKoFoo::Data, &TKoFoo::SetData)
//             .Object(L"Partner", &TKoFoo::Partner, &TKoFoo::SetPartner)  // TKoBaz* (registered)
//             .ReadOnly(L"Size", ...)                     // any kind: pass nullptr as setter
//             .Skipped(L"OnChange", tkMethod);            // kinds that take no part
//     }
//
// - The base class (second template argument, void for a root) must itself be registered
//   before the first lookup; the order of the registration calls does not matter.
// - Getters are member functions of the class or of a base (or callables taking const C&);
//   setters are member functions or callables taking (C&, value); nullptr makes the property
//   read-only. Values travel as int32_t (integer, char, enumeration, Boolean), double (float,
//   date-time), std::wstring, VARIANT and class pointers.
// - Default(N) (ordinal kinds) and Stored(Test) decide IsStored; without either a property is
//   always stored.
// - Range(Min, Max) narrows the value range of the last integer property (a subrange type of
//   its own, owned by the class); writes outside it fail with the range error.
// - Persistent classes (TKoPersistent and its descendants) register the same way; a default-
//   constructible one can then be created from its class (the persistent lists create their
//   items so).
// - Enumeration types are shared objects: KoRTTIEnumType<E>(Name, Names) creates the type of E
//   on its first call and returns the same object afterwards (the names of later calls are
//   ignored). Properties compare their values only when their types are the same object.
// - A class registered twice keeps its first registration.
// - An instance whose own class is not registered is treated as its nearest registered base;
//   this works for components and persistent objects (the two polymorphic roots).
//
// Reflection runs on the main thread, on objects that thread owns; the registry itself is
// safe to use from any thread.

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "KoClasses.h"
#include "KoExceptions.h"
#include "KoOle.h"
#include "KoPersistent.h"
#include "KoStrings.h"

// ---- errors ----

// EKoRTTIException, the base of the reflection errors (a kind of EKoError), is declared in
// KoPersistent.h: the persistent lists raise it too, and this unit includes that one.

class EKoRTTIReadOnlyError : public EKoRTTIException {
public:
    using EKoRTTIException::EKoRTTIException;
    const wchar_t* ClassName() const noexcept override { return L"EKoRTTIReadOnlyError"; }
};

// ---- types ----

// The kind of a property's type. Only integer, char, wide char, enumeration (Boolean
// included), float (date-time included), string, class and variant take part; the others are
// registered only so that a class can list them, and are skipped.
enum TKoTypeKind {
    tkUnknown,
    tkInteger,
    tkChar,
    tkEnumeration,
    tkFloat,
    tkString,
    tkSet,
    tkClass,
    tkMethod,
    tkWChar,
    tkVariant,
    tkArray,
    tkRecord,
    tkInterface,
    tkInt64,
};

class TKoRTTIClass;

// The details of a property's type: one object per type, shared by the properties of that type.
struct TKoRTTIType {
    std::wstring Name;
    TKoTypeKind Kind = tkUnknown;
    // Ordinal kinds: the value range; enumerations also the names of MinValue .. MaxValue.
    int32_t MinValue = 0;
    int32_t MaxValue = -1;
    std::vector<std::wstring> EnumNames;
    bool IsBoolean = false;
    bool IsDateTime = false;
    // Class kind: the declared class (resolved through the registry when asked).
    std::optional<std::type_index> ClassType;
    bool ClassIsComponent = false;

    // The registered class of a class-kind type; fails when it is not registered.
    const TKoRTTIClass* ValueClass() const;
};

const TKoRTTIType* KoRTTIIntegerType();
const TKoRTTIType* KoRTTICharType();     // 8-bit character, 0 .. 255
const TKoRTTIType* KoRTTIWideCharType(); // 16-bit character, 0 .. 65535
const TKoRTTIType* KoRTTIBooleanType();
const TKoRTTIType* KoRTTIFloatType();
const TKoRTTIType* KoRTTIDateTimeType();
const TKoRTTIType* KoRTTIStringType();
const TKoRTTIType* KoRTTIVariantType();

// The enumeration type of E with the value names of the ordinals 0, 1, ...
template <class E>
const TKoRTTIType* KoRTTIEnumType(const wchar_t* Name, std::initializer_list<const wchar_t*> Names) {
    static const TKoRTTIType Type = [&] {
        TKoRTTIType T;
        T.Name = Name;
        T.Kind = tkEnumeration;
        for (const wchar_t* N : Names) T.EnumNames.emplace_back(N);
        T.MinValue = 0;
        T.MaxValue = static_cast<int32_t>(T.EnumNames.size()) - 1;
        return T;
    }();
    return &Type;
}

// The class-reference type of C.
template <class C> const TKoRTTIType* KoRTTIClassType() {
    static const TKoRTTIType Type = [] {
        TKoRTTIType T;
        T.Kind = tkClass;
        T.ClassType = std::type_index(typeid(C));
        T.ClassIsComponent = std::is_base_of_v<TKoComponent, C>;
        // Any address.
        T.MinValue = 0;
        T.MaxValue = 2147483647;
        return T;
    }();
    return &Type;
}

// A type that takes no part (sets, 64-bit integers, events, arrays, records, interfaces).
const TKoRTTIType* KoRTTISkippedType(TKoTypeKind Kind);

// ---- objects ----

// One object as reflection sees it: its address as a pointer to its (nearest registered)
// class, and that class.
struct TKoRTTIObject {
    void* Ptr = nullptr;
    const TKoRTTIClass* Class = nullptr;

    TKoRTTIObject() = default;
    TKoRTTIObject(std::nullptr_t) {}
    TKoRTTIObject(void* APtr, const TKoRTTIClass* AClass) : Ptr(APtr), Class(AClass) {}
    // Any object of a registered class (or of a class derived from a registered component or
    // persistent class); an object of no registered class fails with EKoRTTIException.
    template <class T>
    requires(!std::is_void_v<T>) TKoRTTIObject(T* Instance);

    explicit operator bool() const { return Ptr != nullptr; }
    // The object as a component, or nullptr when it is none.
    TKoComponent* AsComponent() const;
    // The object as a persistent object, or nullptr when it is none.
    TKoPersistentBase* AsPersistent() const;
    // The object as a pointer to one of its registered classes (nullptr when it is not one).
    void* As(const TKoRTTIClass* Target) const;
    // The address of the complete object (what texts show).
    uintptr_t Address() const;
    // The class name of the object (the component's own when it is one).
    std::wstring ClassName() const;
};

// ---- property records ----

// One published property as registered.
struct TKoRTTIPropRecord {
    std::wstring Name;
    const TKoRTTIType* Type = nullptr;
    const TKoRTTIClass* Declaring = nullptr;

    // Accessors of the kind's value type; the pointer is one to the declaring class.
    std::function<int32_t(void*)> GetOrd;
    std::function<void(void*, int32_t)> SetOrd;
    std::function<double(void*)> GetFloat;
    std::function<void(void*, double)> SetFloat;
    std::function<std::wstring(void*)> GetString;
    std::function<void(void*, const std::wstring&)> SetString;
    std::function<TKoOleVariant(void*)> GetVariant;
    std::function<void(void*, const VARIANT&)> SetVariant;
    std::function<TKoRTTIObject(void*)> GetObject;
    // Receives the object already cast to the declared class (nullptr for none).
    std::function<void(void*, void*)> SetObject;

    std::function<bool(void*)> Stored;
    std::optional<int32_t> Default;

    bool HasSetter() const { return SetOrd || SetFloat || SetString || SetVariant || SetObject; }
};

// The registered information of one class.
class TKoRTTIClass {
public:
    const std::wstring& Name() const { return FName; }
    std::type_index Type() const { return FType; }
    // The registered base class; nullptr for a root. Fails when the declared base is not
    // registered.
    const TKoRTTIClass* Parent() const;
    bool InheritsFrom(const TKoRTTIClass* Other) const;
    bool IsComponent() const { return FToComponent != nullptr; }
    // The properties registered for this class itself, in registration order.
    const std::vector<std::unique_ptr<TKoRTTIPropRecord>>& OwnProps() const { return FProps; }
    // Every property: the base classes' first.
    std::vector<const TKoRTTIPropRecord*> AllProps() const;
    // Ptr (a pointer to this class) as a pointer to the base class Target; nullptr when Target is
    // no base of this class.
    void* Upcast(void* Ptr, const TKoRTTIClass* Target) const;
    // Creates a component of this class (component classes constructible from their owner).
    TKoComponent* CreateComponent(TKoComponent* Owner) const;
    bool CanCreate() const { return FCreate != nullptr; }
    bool IsPersistent() const { return FFromPersistent != nullptr; }
    // Creates an object of this persistent class (default-constructible, not abstract); fails
    // with EKoRTTIException for any other class.
    TKoPersistentBase* CreatePersistent() const;
    // Whether the object is of this class or a descendant.
    bool IsInstance(TKoComponent* Object) const {
        return Object && FFromComponent && FFromComponent(Object) != nullptr;
    }
    bool IsInstance(TKoPersistentBase* Object) const {
        return Object && FFromPersistent && FFromPersistent(Object) != nullptr;
    }

private:
    template <class C, class P> friend class TKoRTTIClassBuilder;
    friend struct TKoRTTIObject;
    friend class TKoRTTIRegistry;
    explicit TKoRTTIClass(std::type_index AType) : FType(AType) {}

    std::wstring FName;
    std::type_index FType;
    std::optional<std::type_index> FParentType;
    void* (*FToParent)(void*) = nullptr;
    TKoComponent* (*FToComponent)(void*) = nullptr;
    void* (*FFromComponent)(TKoComponent*) = nullptr;
    TKoPersistentBase* (*FToPersistent)(void*) = nullptr;
    void* (*FFromPersistent)(TKoPersistentBase*) = nullptr;
    const void* (*FMostDerived)(void*) = nullptr;
    TKoComponent* (*FCreate)(TKoComponent*) = nullptr;
    TKoPersistentBase* (*FCreatePersistent)() = nullptr;
    std::vector<std::unique_ptr<TKoRTTIPropRecord>> FProps;
    // The subrange types of the class's own properties (Range).
    std::vector<std::unique_ptr<TKoRTTIType>> FOwnTypes;
};

// The registered class of a type, or nullptr.
const TKoRTTIClass* KoRTTIFindClass(const std::type_info& Type);
template <class C> const TKoRTTIClass* KoRTTIClassOf() {
    return KoRTTIFindClass(typeid(C));
}
// The registered class of that name (letter case ignored), or nullptr.
const TKoRTTIClass* KoRTTIFindClassByName(const std::wstring& Name);

// Resolves an object from its dynamic type (see TKoRTTIObject's constructor).
TKoRTTIObject KoRTTIResolve(const std::type_info& Dynamic, void* MostDerived, TKoComponent* AsComponent,
                            TKoPersistentBase* AsPersistent, const std::wstring& ClassName);
// Takes over a class built by a TKoRTTIClassBuilder; a type registered before keeps its first
// registration.
void KoRTTIAddClass(std::unique_ptr<TKoRTTIClass> AClass);

template <class T>
requires(!std::is_void_v<T>) TKoRTTIObject::TKoRTTIObject(T* Instance) {
    using U = std::remove_cv_t<T>;
    if (!Instance) return;
    U* Object = const_cast<U*>(Instance);
    TKoComponent* Component = nullptr;
    TKoPersistentBase* Persistent = nullptr;
    std::wstring Name;
    if constexpr (std::is_base_of_v<TKoComponent, U>) {
        Component = Object;
        Name = Object->ClassName();
    } else if constexpr (std::is_base_of_v<TKoPersistentBase, U>) {
        Persistent = Object;
        Name = Object->ClassName();
    }
    if constexpr (std::is_polymorphic_v<U>)
        *this = KoRTTIResolve(typeid(*Object), dynamic_cast<void*>(Object), Component, Persistent, Name);
    else
        *this = KoRTTIResolve(typeid(U), Object, Component, Persistent, Name);
}

// ---- registration ----

template <class C, class P = void> class TKoRTTIClassBuilder {
public:
    explicit TKoRTTIClassBuilder(const wchar_t* Name) : FClass(new TKoRTTIClass(std::type_index(typeid(C)))) {
        FClass->FName = Name;
        if constexpr (!std::is_void_v<P>) {
            static_assert(std::is_base_of_v<P, C>, "the base must be a base class of C");
            FClass->FParentType = std::type_index(typeid(P));
            FClass->FToParent = [](void* Ptr) -> void* { return static_cast<P*>(static_cast<C*>(Ptr)); };
        }
        if constexpr (std::is_base_of_v<TKoComponent, C>) {
            FClass->FToComponent = [](void* Ptr) -> TKoComponent* { return static_cast<C*>(Ptr); };
            FClass->FFromComponent = [](TKoComponent* Ptr) -> void* { return dynamic_cast<C*>(Ptr); };
            if constexpr (std::is_constructible_v<C, TKoComponent*> && !std::is_abstract_v<C>)
                FClass->FCreate = [](TKoComponent* Owner) -> TKoComponent* { return KoCreate<C>(Owner); };
        }
        if constexpr (std::is_base_of_v<TKoPersistentBase, C>) {
            FClass->FToPersistent = [](void* Ptr) -> TKoPersistentBase* { return static_cast<C*>(Ptr); };
            FClass->FFromPersistent = [](TKoPersistentBase* Ptr) -> void* { return dynamic_cast<C*>(Ptr); };
            if constexpr (std::is_default_constructible_v<C> && !std::is_abstract_v<C>)
                FClass->FCreatePersistent = []() -> TKoPersistentBase* { return new C; };
        }
        if constexpr (std::is_polymorphic_v<C>)
            FClass->FMostDerived = [](void* Ptr) -> const void* {
                return dynamic_cast<const void*>(static_cast<C*>(Ptr));
            };
        else
            FClass->FMostDerived = [](void* Ptr) -> const void* { return Ptr; };
    }
    // Registers the class at the end of the statement that built it.
    ~TKoRTTIClassBuilder() { KoRTTIAddClass(std::move(FClass)); }
    TKoRTTIClassBuilder(const TKoRTTIClassBuilder&) = delete;
    TKoRTTIClassBuilder& operator=(const TKoRTTIClassBuilder&) = delete;

    template <class G, class S> TKoRTTIClassBuilder& Integer(const wchar_t* Name, G Get, S Set) {
        return AddOrd(Name, KoRTTIIntegerType(), Get, Set);
    }
    template <class G, class S> TKoRTTIClassBuilder& Char(const wchar_t* Name, G Get, S Set) {
        return AddOrd(Name, KoRTTICharType(), Get, Set);
    }
    template <class G, class S> TKoRTTIClassBuilder& WideChar(const wchar_t* Name, G Get, S Set) {
        return AddOrd(Name, KoRTTIWideCharType(), Get, Set);
    }
    template <class G, class S>
    TKoRTTIClassBuilder& Enum(const wchar_t* Name, const TKoRTTIType* Type, G Get, S Set) {
        return AddOrd(Name, Type, Get, Set);
    }
    template <class G, class S> TKoRTTIClassBuilder& Bool(const wchar_t* Name, G Get, S Set) {
        return AddOrd(Name, KoRTTIBooleanType(), Get, Set);
    }
    template <class G, class S> TKoRTTIClassBuilder& Float(const wchar_t* Name, G Get, S Set) {
        return AddFloat(Name, KoRTTIFloatType(), Get, Set);
    }
    template <class G, class S> TKoRTTIClassBuilder& DateTime(const wchar_t* Name, G Get, S Set) {
        return AddFloat(Name, KoRTTIDateTimeType(), Get, Set);
    }
    template <class G, class S> TKoRTTIClassBuilder& String(const wchar_t* Name, G Get, S Set) {
        auto& R = Add(Name, KoRTTIStringType());
        R.GetString = [Get](void* Ptr) { return std::wstring(std::invoke(Get, Self(Ptr))); };
        if constexpr (!std::is_null_pointer_v<S>)
            R.SetString = [Set](void* Ptr, const std::wstring& V) { std::invoke(Set, Self(Ptr), V); };
        return *this;
    }
    template <class G, class S> TKoRTTIClassBuilder& Variant(const wchar_t* Name, G Get, S Set) {
        auto& R = Add(Name, KoRTTIVariantType());
        R.GetVariant = [Get](void* Ptr) {
            return TKoOleVariant(static_cast<const VARIANT&>(std::invoke(Get, Self(Ptr))));
        };
        if constexpr (!std::is_null_pointer_v<S>)
            R.SetVariant = [Set](void* Ptr, const VARIANT& V) { std::invoke(Set, Self(Ptr), V); };
        return *this;
    }
    // A class-reference property; the getter returns a pointer to a registered class V.
    template <class G, class S> TKoRTTIClassBuilder& Object(const wchar_t* Name, G Get, S Set) {
        using V = std::remove_cv_t<std::remove_pointer_t<std::decay_t<std::invoke_result_t<G, C&>>>>;
        auto& R = Add(Name, KoRTTIClassType<V>());
        R.GetObject = [Get](void* Ptr) { return TKoRTTIObject(std::invoke(Get, Self(Ptr))); };
        if constexpr (!std::is_null_pointer_v<S>)
            R.SetObject = [Set](void* Ptr, void* Value) {
                std::invoke(Set, Self(Ptr), static_cast<V*>(Value));
            };
        return *this;
    }
    // A property of a kind that takes no part (it is listed in no property set).
    TKoRTTIClassBuilder& Skipped(const wchar_t* Name, TKoTypeKind Kind) {
        Add(Name, KoRTTISkippedType(Kind));
        return *this;
    }
    // The default of the last ordinal property: it is stored only when its value differs.
    TKoRTTIClassBuilder& Default(int32_t Value) {
        Last().Default = Value;
        return *this;
    }
    // The stored test of the last property.
    template <class F> TKoRTTIClassBuilder& Stored(F Test) {
        Last().Stored = [Test](void* Ptr) { return static_cast<bool>(std::invoke(Test, Self(Ptr))); };
        return *this;
    }
    TKoRTTIClassBuilder& StoredAlways() {
        Last().Stored = [](void*) { return true; };
        Last().Default.reset();
        return *this;
    }
    // The value range of the last integer property.
    TKoRTTIClassBuilder& Range(int32_t Min, int32_t Max) {
        TKoRTTIPropRecord& R = Last();
        if (R.Type->Kind != tkInteger)
            throw EKoRTTIException(L"Range: the last property is no integer property");
        auto Type = std::make_unique<TKoRTTIType>(*R.Type);
        Type->MinValue = Min;
        Type->MaxValue = Max;
        R.Type = Type.get();
        FClass->FOwnTypes.push_back(std::move(Type));
        return *this;
    }

private:
    static C& Self(void* Ptr) { return *static_cast<C*>(Ptr); }

    TKoRTTIPropRecord& Add(const wchar_t* Name, const TKoRTTIType* Type) {
        auto R = std::make_unique<TKoRTTIPropRecord>();
        R->Name = Name;
        R->Type = Type;
        R->Declaring = FClass.get();
        FClass->FProps.push_back(std::move(R));
        return *FClass->FProps.back();
    }
    TKoRTTIPropRecord& Last() {
        if (FClass->FProps.empty()) throw EKoRTTIException(L"No property registered yet");
        return *FClass->FProps.back();
    }
    template <class G, class S>
    TKoRTTIClassBuilder& AddOrd(const wchar_t* Name, const TKoRTTIType* Type, G Get, S Set) {
        using V = std::decay_t<std::invoke_result_t<G, C&>>;
        auto& R = Add(Name, Type);
        R.GetOrd = [Get](void* Ptr) { return static_cast<int32_t>(std::invoke(Get, Self(Ptr))); };
        if constexpr (!std::is_null_pointer_v<S>) {
            R.SetOrd = [Set](void* Ptr, int32_t Value) {
                if constexpr (std::is_same_v<V, bool>)
                    std::invoke(Set, Self(Ptr), Value != 0);
                else
                    std::invoke(Set, Self(Ptr), static_cast<V>(Value));
            };
        }
        return *this;
    }
    template <class G, class S>
    TKoRTTIClassBuilder& AddFloat(const wchar_t* Name, const TKoRTTIType* Type, G Get, S Set) {
        auto& R = Add(Name, Type);
        R.GetFloat = [Get](void* Ptr) { return static_cast<double>(std::invoke(Get, Self(Ptr))); };
        if constexpr (!std::is_null_pointer_v<S>)
            R.SetFloat = [Set](void* Ptr, double Value) { std::invoke(Set, Self(Ptr), Value); };
        return *this;
    }

    std::unique_ptr<TKoRTTIClass> FClass;
};

// Starts the registration of class C with registered base P (void for a root).
template <class C, class P = void> TKoRTTIClassBuilder<C, P> KoRTTIRegister(const wchar_t* Name) {
    return TKoRTTIClassBuilder<C, P>(Name);
}

// Registers the classes of the foundation (the component base: Name, Tag; the persistent item
// and list bases, without properties). Runs at most once; every lookup calls it first.
void KoRegisterFoundationRTTI();

// ---- property sets ----

// One published property of a class.
class TKoRTTIPropInfo {
public:
    explicit TKoRTTIPropInfo(const TKoRTTIPropRecord* PropInfo);
    virtual ~TKoRTTIPropInfo() = default;
    TKoRTTIPropInfo(const TKoRTTIPropInfo&) = delete;
    TKoRTTIPropInfo& operator=(const TKoRTTIPropInfo&) = delete;

    const std::wstring& Name() const { return FPPropInfo->Name; }
    TKoTypeKind TypeKind() const { return FPTypeData->Kind; }
    const TKoRTTIType* TypeInfo() const { return FPTypeData; }
    const TKoRTTIType& TypeData() const { return *FPTypeData; }
    const TKoRTTIPropRecord* PropInfo() const { return FPPropInfo; }
    bool IsDateTime() const { return FPTypeData->Kind == tkFloat && FPTypeData->IsDateTime; }

protected:
    const TKoRTTIType* FPTypeData;
    const TKoRTTIPropRecord* FPPropInfo;
};

// One property of one instance.
class TKoRTTIProp : public TKoRTTIPropInfo {
public:
    TKoRTTIProp(const TKoRTTIObject& Instance, const TKoRTTIPropRecord* PropInfo);

    virtual void Debug() {}
    virtual bool GetIsNull() { return false; }
    virtual void GetValue(TKoOleVariant& V);
    virtual std::wstring GetValueAsString() = 0;
    // A value (VarHasValue) is written converted to the property's type; otherwise SetToNil.
    virtual void SetValue(const VARIANT& V);
    virtual void SetValueAsString(const std::wstring& Value) = 0;
    // Empties Strings; enumerations fill it with their value names.
    virtual void GetEnumList(TKoStrings& Strings);
    virtual void SetToNil();
    // False for the null property or another type; else the values compared.
    virtual bool ValueEquals(TKoRTTIProp* Other);

    TKoOleVariant Value() {
        TKoOleVariant V;
        GetValue(V);
        return V;
    }
    bool IsReadOnly() const;
    // Fails with EKoRTTIReadOnlyError "<name> is ReadOnly" for a read-only property.
    void CheckReadOnly() const;
    bool IsStored();
    // The instance's owner when the instance is a component; for a persistent item the component
    // its names are looked up in (TKoPersistent::LookupContext).
    TKoComponent* Owner() const;
    const TKoRTTIObject& Instance() const { return FInstance; }

protected:
    // A pointer to the declaring class of the property.
    void* Target() const;

    TKoRTTIObject FInstance;
};

class TKoOrdRTTIProp : public TKoRTTIProp {
public:
    TKoOrdRTTIProp(const TKoRTTIObject& Instance, const TKoRTTIPropRecord* PropInfo);
    void GetValue(TKoOleVariant& V) override;
    std::wstring GetValueAsString() override;
    void SetValue(const VARIANT& V) override;
    // Decimal or "$" hexadecimal.
    void SetValueAsString(const std::wstring& Value) override;
    void SetToNil() override;
    int32_t AsInteger();
    // Fails with "Property "<name>": Value <v> out of range (<min>..<max>)" outside the range.
    virtual void SetAsInteger(int32_t Value);
    int32_t MinOrd() const { return FMinOrd; }
    int32_t MaxOrd() const { return FMaxOrd; }

protected:
    int32_t FMinOrd;
    int32_t FMaxOrd;
};

class TKoIntegerRTTIProp : public TKoOrdRTTIProp {
public:
    using TKoOrdRTTIProp::TKoOrdRTTIProp;
};

class TKoCharRTTIProp : public TKoOrdRTTIProp {
public:
    using TKoOrdRTTIProp::TKoOrdRTTIProp;
    std::wstring GetValueAsString() override;
    // One character sets that character; any other text is the character's number.
    void SetValueAsString(const std::wstring& Value) override;
};

class TKoEnumRTTIProp : public TKoOrdRTTIProp {
public:
    TKoEnumRTTIProp(const TKoRTTIObject& Instance, const TKoRTTIPropRecord* PropInfo);
    // The value's name; "Invalid <n>" outside the names.
    std::wstring GetValueAsString() override;
    // A value name (letter case ignored) or a number.
    void SetValueAsString(const std::wstring& Value) override;
    void GetEnumList(TKoStrings& Strings) override;
    const TKoStringList& EnumNames() const { return FEnumNames; }

protected:
    TKoStringList FEnumNames;
};

class TKoBooleanRTTIProp : public TKoEnumRTTIProp {
public:
    using TKoEnumRTTIProp::TKoEnumRTTIProp;
    void GetValue(TKoOleVariant& V) override;
    void SetValue(const VARIANT& V) override;
    bool AsBool();
    void SetAsBool(bool B);
};

class TKoClassRTTIProp : public TKoOrdRTTIProp {
public:
    TKoClassRTTIProp(const TKoRTTIObject& Instance, const TKoRTTIPropRecord* PropInfo);
    void GetValue(TKoOleVariant& V) override;
    // "$" and the object's address in (at least) 8 upper-case hexadecimal digits.
    std::wstring GetValueAsString() override;
    void SetValue(const VARIANT& V) override;
    // "" or "(none)" clears; an integer text is an object's address.
    void SetValueAsString(const std::wstring& Value) override;
    void SetToNil() override;
    void SetAsInteger(int32_t Value) override;
    TKoRTTIObject AsObject();
    // Fails with "Object '<current value>' is not a '<class>'" for an object of another class.
    void SetAsObject(const TKoRTTIObject& Obj);
    const TKoRTTIClass* ValueClass() const { return FPTypeData->ValueClass(); }
    // Sets the object at that address; an address that names no object this property can
    // verify fails instead of being used.
    void SetAsAddress(uintptr_t Address);
    static uintptr_t ObjectAddress(const TKoRTTIObject& Obj) { return Obj ? Obj.Address() : 0; }
};

class TKoComponentRTTIProp : public TKoClassRTTIProp {
public:
    using TKoClassRTTIProp::TKoClassRTTIProp;
    // The component's name path; empty for none.
    std::wstring GetValueAsString() override;
    // A name path, "(none)", empty or an address; see the source.
    void SetValueAsString(const std::wstring& Value) override;
    TKoComponent* AsComponent();
    void SetAsComponent(TKoComponent* Value);
};

class TKoFloatRTTIProp : public TKoRTTIProp {
public:
    using TKoRTTIProp::TKoRTTIProp;
    std::wstring GetValueAsString() override;
    void SetValueAsString(const std::wstring& Value) override;
    void SetToNil() override;
};

class TKoDateTimeRTTIProp : public TKoFloatRTTIProp {
public:
    using TKoFloatRTTIProp::TKoFloatRTTIProp;
    // The locale's date and time; the date alone at midnight.
    std::wstring GetValueAsString() override;
    // A locale date-time text, else a number of days.
    void SetValueAsString(const std::wstring& Value) override;
    void SetValue(const VARIANT& V) override;
};

class TKoStringRTTIProp : public TKoRTTIProp {
public:
    using TKoRTTIProp::TKoRTTIProp;
    std::wstring GetValueAsString() override;
    void SetValueAsString(const std::wstring& Value) override;
    void SetToNil() override;
};

class TKoVariantRTTIProp : public TKoRTTIProp {
public:
    using TKoRTTIProp::TKoRTTIProp;
    std::wstring GetValueAsString() override;
    // The text as a string value.
    void SetValueAsString(const std::wstring& Value) override;
};

// The placeholder where no property exists: reads "NullRTTIProp", ignores writes.
class TKoNullRTTIProp : public TKoRTTIProp {
public:
    TKoNullRTTIProp();
    bool GetIsNull() override { return true; }
    void GetValue(TKoOleVariant& V) override { V.Clear(); }
    std::wstring GetValueAsString() override { return L"NullRTTIProp"; }
    void SetValue(const VARIANT&) override {}
    void SetValueAsString(const std::wstring&) override {}
    void SetToNil() override {}
    bool ValueEquals(TKoRTTIProp*) override { return false; }
};

// The process's null property.
TKoNullRTTIProp* KoNullRTTIProp();

// The properties of a class, in the class's order (inherited first); skipped kinds left out.
class TKoClassProperties {
public:
    // None when AClass is null.
    explicit TKoClassProperties(const TKoRTTIClass* AClass);
    virtual ~TKoClassProperties() = default;
    TKoClassProperties(const TKoClassProperties&) = delete;
    TKoClassProperties& operator=(const TKoClassProperties&) = delete;

    int Count() const { return FProps.Count(); }
    // An index outside 0 .. Count - 1 fails with EKoRTTIException.
    TKoRTTIPropInfo* Props(int Index) const;
    // Letter case ignored; a missing name fails with EKoRTTIException.
    TKoRTTIPropInfo* PropByName(const std::wstring& Name) const;
    // -1 when absent.
    int IndexOfName(const std::wstring& Name) const;

    std::wstring PropNamesToCSV() const;
    // One line per property: its name (class level) or Name=Value (instance level).
    void AssignToStrings(TKoStrings& Strings);

    wchar_t CSVSeparator() const { return FProps.CSVSeparator(); }
    void SetCSVSeparator(wchar_t Value) { FProps.SetCSVSeparator(Value); }
    wchar_t CSVQuoteChar() const { return FProps.CSVQuoteChar(); }
    void SetCSVQuoteChar(wchar_t Value) { FProps.SetCSVQuoteChar(Value); }

protected:
    struct TDeferCollect {};
    explicit TKoClassProperties(TDeferCollect);
    // Fills the list from the class's properties.
    void Collect(const TKoRTTIClass* AClass);
    // The record for one property, or nullptr for a skipped kind.
    virtual TKoRTTIPropInfo* CreatePropInfo(const TKoRTTIPropRecord* PropInfo);
    virtual std::wstring GetPropText(int Index);
    // A list with this set's CSV settings.
    void SetupList(TKoStringList& List) const;

    TKoStringList FProps;
};

// The properties of an instance.
class TKoInstanceProperties : public TKoClassProperties {
public:
    explicit TKoInstanceProperties(const TKoRTTIObject& Instance);

    TKoRTTIProp* Props(int Index) const {
        return static_cast<TKoRTTIProp*>(TKoClassProperties::Props(Index));
    }
    TKoRTTIProp* PropByName(const std::wstring& Name) const {
        return static_cast<TKoRTTIProp*>(TKoClassProperties::PropByName(Name));
    }

    // The value texts in order (or Name=Value each), as CSV.
    std::wstring PropValuesToCSV(bool IncludePropNames);
    // Sets property i from element i; a line with too few elements fails at the first missing
    // one (the properties before it stay set).
    void CSVToPropValues(const std::wstring& Str);
    // Sets each named property of the Name=Value lines.
    void AssignFromStrings(const TKoStrings& Strings, bool IgnoreInvalidPropNames);
    const TKoRTTIObject& Instance() const { return FInstance; }

protected:
    TKoRTTIPropInfo* CreatePropInfo(const TKoRTTIPropRecord* PropInfo) override;
    std::wstring GetPropText(int Index) override;

private:
    TKoRTTIObject FInstance;
};

// Creates the instance property object of the kind of a property.
std::unique_ptr<TKoRTTIProp> KoCreateRTTIProp(const TKoRTTIObject& Instance,
                                              const TKoRTTIPropRecord* PropInfo);

// ---- free routines (Separator L'\0': the property set's own) ----

std::wstring ObjectToCSV(const TKoRTTIObject& Instance, wchar_t Separator, bool IncludePropNames);
void CSVToObject(const std::wstring& Text, const TKoRTTIObject& Instance, wchar_t Separator);
std::wstring ClassPropNamesToCSV(const TKoRTTIClass* AClass, wchar_t Separator);
void ObjectToStrings(const TKoRTTIObject& Instance, TKoStrings& Strings);

// The name of a component with its owner: "" for none; the plain name for a component without
// owner, owned by the application object or owned by RelativeTo; otherwise the owner's name
// (with WithOwnerPath the owner's own path), a point and the name. With WithClassFallback an
// empty result becomes the class name and the address, "%s{%x}".
std::wstring ComponentNamePath(TKoComponent* AComponent, bool WithOwnerPath, bool WithClassFallback,
                               TKoComponent* RelativeTo);

// ---- component directory ----

// The component directory of a running program.
class TKoComponentDirectory {
public:
    virtual ~TKoComponentDirectory() = default;
    // Creates a component of that class owned by Owner (a visual one placed at the bounds).
    virtual TKoComponent* CreateComponent(const TKoRTTIClass* ComponentClass, TKoComponent* Owner, int Left,
                                          int Top, int Width, int Height) = 0;
    virtual TKoComponent* FindComponent(const std::wstring& ComponentPath, wchar_t Delimiter,
                                        TKoComponent* DefaultOwner) = 0;
    // Adds every component of AClass (or a descendant) below Owner (the application object when
    // null), depth first, with its name path as text and itself as object.
    virtual void FindComponents(TKoStrings& Components, const TKoRTTIClass* AClass, TKoComponent* Owner) = 0;
    // "(none)" or the name path.
    virtual std::wstring GetComponentName(TKoComponent* AComponent);
};

// The directory over the program's own component tree, rooted at the application object.
class TKoRunTimeApplication : public TKoComponentDirectory {
public:
    TKoComponent* CreateComponent(const TKoRTTIClass* ComponentClass, TKoComponent* Owner, int Left, int Top,
                                  int Width, int Height) override;
    // The path is split at its last delimiter; the owner part resolves to the application object
    // (empty), one of its components (no delimiter), DefaultOwner (starting with the delimiter)
    // or recursively; names compare ignoring letter case. nullptr when nothing is found.
    TKoComponent* FindComponent(const std::wstring& ComponentPath, wchar_t Delimiter,
                                TKoComponent* DefaultOwner) override;
    void FindComponents(TKoStrings& Components, const TKoRTTIClass* AClass, TKoComponent* Owner) override;
};

TKoRunTimeApplication* KoRunTimeApplication();
