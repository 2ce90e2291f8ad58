#include "KoOle.h"

#include <vector>

void KoOleCheck(HRESULT Code) {
    if (FAILED(Code)) throw EKoOleError(Code);
}

// ---- TKoBstr ----

TKoBstr::TKoBstr(std::wstring_view Text) {
    FValue = SysAllocStringLen(Text.data(), static_cast<UINT>(Text.size()));
    if (!FValue) throw EKoOleError(E_OUTOFMEMORY);
}

TKoBstr& TKoBstr::operator=(TKoBstr&& Other) noexcept {
    if (this != &Other) Reset(Other.Release());
    return *this;
}

BSTR* TKoBstr::Receive() noexcept {
    Reset();
    return &FValue;
}

void TKoBstr::Reset(BSTR AValue) noexcept {
    if (FValue && FValue != AValue) SysFreeString(FValue);
    FValue = AValue;
}

// ---- TKoOleVariant ----

TKoOleVariant::TKoOleVariant(int32_t Value) noexcept {
    VariantInit(&FValue);
    FValue.vt = VT_I4;
    FValue.lVal = Value;
}

TKoOleVariant::TKoOleVariant(double Value) noexcept {
    VariantInit(&FValue);
    FValue.vt = VT_R8;
    FValue.dblVal = Value;
}

TKoOleVariant::TKoOleVariant(bool Value) noexcept {
    VariantInit(&FValue);
    FValue.vt = VT_BOOL;
    FValue.boolVal = Value ? VARIANT_TRUE : VARIANT_FALSE;
}

TKoOleVariant::TKoOleVariant(std::wstring_view Value) {
    VariantInit(&FValue);
    TKoBstr Text(Value);
    FValue.vt = VT_BSTR;
    FValue.bstrVal = Text.Release();
}

TKoOleVariant::TKoOleVariant(const VARIANT& Value) {
    VariantInit(&FValue);
    KoOleCheck(VariantCopy(&FValue, KoIn(Value)));
}

TKoOleVariant::TKoOleVariant(TKoOleVariant&& Other) noexcept {
    FValue = Other.FValue;
    VariantInit(&Other.FValue);
}

TKoOleVariant& TKoOleVariant::operator=(const TKoOleVariant& Other) {
    if (this != &Other) {
        TKoOleVariant Copy(Other);
        *this = std::move(Copy);
    }
    return *this;
}

TKoOleVariant& TKoOleVariant::operator=(TKoOleVariant&& Other) noexcept {
    if (this != &Other) {
        VariantClear(&FValue);
        FValue = Other.FValue;
        VariantInit(&Other.FValue);
    }
    return *this;
}

TKoOleVariant TKoOleVariant::Null() noexcept {
    TKoOleVariant Result;
    Result.FValue.vt = VT_NULL;
    return Result;
}

TKoOleVariant TKoOleVariant::Date(double Value) noexcept {
    TKoOleVariant Result;
    Result.FValue.vt = VT_DATE;
    Result.FValue.date = Value;
    return Result;
}

TKoOleVariant TKoOleVariant::Error(SCODE Code) noexcept {
    TKoOleVariant Result;
    Result.FValue.vt = VT_ERROR;
    Result.FValue.scode = Code;
    return Result;
}

TKoOleVariant TKoOleVariant::OfType(VARTYPE Type, double Value) {
    TKoOleVariant Source(Value);
    TKoOleVariant Result;
    KoOleCheck(VariantChangeType(&Result.FValue, &Source.FValue, 0, Type));
    return Result;
}

TKoOleVariant TKoOleVariant::TakeArray(VARTYPE ElementType, SAFEARRAY* Array) noexcept {
    TKoOleVariant Result;
    Result.FValue.vt = static_cast<VARTYPE>(VT_ARRAY | ElementType);
    Result.FValue.parray = Array;
    return Result;
}

VARIANT* TKoOleVariant::Receive() noexcept {
    VariantClear(&FValue);
    return &FValue;
}

VARIANT TKoOleVariant::Release() noexcept {
    VARIANT Result = FValue;
    VariantInit(&FValue);
    return Result;
}

// ---- TKoSafeArray ----

TKoSafeArray::TKoSafeArray(VARTYPE ElementType, std::initializer_list<std::pair<LONG, LONG>> Bounds) {
    std::vector<SAFEARRAYBOUND> Dims;
    for (const auto& [Low, High] : Bounds)
        Dims.push_back({static_cast<ULONG>(High >= Low ? High - Low + 1 : 0), Low});
    FArray = SafeArrayCreate(ElementType, static_cast<UINT>(Dims.size()), Dims.data());
    if (!FArray) throw EKoOleError(E_INVALIDARG); // an element type arrays cannot hold, or no memory
}

TKoSafeArray& TKoSafeArray::operator=(TKoSafeArray&& Other) noexcept {
    if (this != &Other) Reset(Other.Release());
    return *this;
}

void TKoSafeArray::Reset(SAFEARRAY* AArray) noexcept {
    if (FArray && FArray != AArray) SafeArrayDestroy(FArray);
    FArray = AArray;
}

// ---- TKoSafeArrayData ----

TKoSafeArrayData::TKoSafeArrayData(SAFEARRAY* AArray) : FArray(AArray) {
    KoOleCheck(SafeArrayAccessData(FArray, &FData));
}

// ---- element access ----

SAFEARRAY* KoVariantArray(const VARIANT& V) noexcept {
    if ((V.vt & VT_ARRAY) == 0) return nullptr;
    if (V.vt & VT_BYREF) return V.pparray ? *V.pparray : nullptr;
    return V.parray;
}

namespace {

VARTYPE ElementType(SAFEARRAY* Array) {
    VARTYPE Type = VT_EMPTY;
    KoOleCheck(SafeArrayGetVartype(Array, &Type));
    return Type;
}

} // namespace

TKoOleVariant KoSafeArrayGetVariant(SAFEARRAY* Array, LONG* Indices) {
    const VARTYPE Type = ElementType(Array);
    TKoOleVariant Result;
    if (Type == VT_VARIANT) {
        KoOleCheck(SafeArrayGetElement(Array, Indices, Result.Receive()));
        return Result;
    }
    if (Type == VT_RECORD) throw EKoOleError(DISP_E_BADVARTYPE);
    VARIANT& Slot = Result.Get();
    // A DECIMAL fills the whole VARIANT (its reserved word overlays vt): set the type after it.
    void* Storage = Type == VT_DECIMAL ? static_cast<void*>(&Slot.decVal) : static_cast<void*>(&Slot.llVal);
    KoOleCheck(SafeArrayGetElement(Array, Indices, Storage));
    Slot.vt = Type;
    return Result;
}

void KoSafeArrayPutVariant(SAFEARRAY* Array, LONG* Indices, const VARIANT& Value) {
    const VARTYPE Type = ElementType(Array);
    if (Type == VT_VARIANT) {
        KoOleCheck(SafeArrayPutElement(Array, Indices, KoIn(Value)));
        return;
    }
    if (Type == VT_RECORD) throw EKoOleError(DISP_E_BADVARTYPE);
    TKoOleVariant Converted;
    KoOleCheck(VariantChangeType(Converted.Receive(), KoIn(Value), 0, Type));
    VARIANT& Slot = Converted.Get();
    void* Element;
    switch (Type) {
    case VT_BSTR:
        Element = Slot.bstrVal;
        break;
    case VT_UNKNOWN:
        Element = Slot.punkVal;
        break;
    case VT_DISPATCH:
        Element = Slot.pdispVal;
        break;
    case VT_DECIMAL:
        Element = &Slot.decVal;
        break;
    default:
        Element = &Slot.llVal;
        break;
    }
    KoOleCheck(SafeArrayPutElement(Array, Indices, Element));
}

TKoOleVariant KoChangeType(const VARIANT& V, VARTYPE Type) {
    TKoOleVariant Result;
    KoOleCheck(VariantChangeTypeEx(Result.Receive(), KoIn(V), LOCALE_USER_DEFAULT, 0, Type));
    return Result;
}

namespace {
template <class TSetter> TKoOleVariant Typed(VARTYPE Type, TSetter Setter) noexcept {
    TKoOleVariant Result;
    VARIANT* Slot = Result.Receive();
    Setter(*Slot);
    Slot->vt = Type;
    return Result;
}
} // namespace

TKoOleVariant KoVariantOf(uint8_t Value) noexcept {
    return Typed(VT_UI1, [Value](VARIANT& S) { S.bVal = Value; });
}
TKoOleVariant KoVariantOf(int16_t Value) noexcept {
    return Typed(VT_I2, [Value](VARIANT& S) { S.iVal = Value; });
}
TKoOleVariant KoVariantOf(uint16_t Value) noexcept {
    return Typed(VT_UI2, [Value](VARIANT& S) { S.uiVal = Value; });
}
TKoOleVariant KoVariantOf(uint32_t Value) noexcept {
    return Typed(VT_UI4, [Value](VARIANT& S) { S.ulVal = Value; });
}
TKoOleVariant KoVariantOf(int64_t Value) noexcept {
    return Typed(VT_I8, [Value](VARIANT& S) { S.llVal = Value; });
}
TKoOleVariant KoVariantOf(uint64_t Value) noexcept {
    return Typed(VT_UI8, [Value](VARIANT& S) { S.ullVal = Value; });
}
TKoOleVariant KoVariantOf(float Value) noexcept {
    return Typed(VT_R4, [Value](VARIANT& S) { S.fltVal = Value; });
}
