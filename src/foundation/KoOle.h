#pragma once
// Owners of COM and OLE Automation resources: each frees what it holds when it goes away, so an
// early return or an exception cannot leak a VARIANT, BSTR or SAFEARRAY. Kernel handles have
// theirs in KoWindows.h.

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "KoExceptions.h"

// Raises EKoOleError for a failure code; success codes pass.
void KoOleCheck(HRESULT Code);

// Owns one BSTR (SysFreeString).
class TKoBstr {
public:
    TKoBstr() noexcept = default;
    explicit TKoBstr(std::wstring_view Text);
    ~TKoBstr() { Reset(); }
    TKoBstr(TKoBstr&& Other) noexcept : FValue(std::exchange(Other.FValue, nullptr)) {}
    TKoBstr& operator=(TKoBstr&& Other) noexcept;
    TKoBstr(const TKoBstr&) = delete;
    TKoBstr& operator=(const TKoBstr&) = delete;

    BSTR Get() const noexcept { return FValue; }
    // Frees the current string and returns the slot for an out-parameter.
    BSTR* Receive() noexcept;
    // Hands the string over to the caller, who frees it from now on.
    BSTR Release() noexcept { return std::exchange(FValue, nullptr); }
    void Reset(BSTR AValue = nullptr) noexcept;
    UINT Length() const noexcept { return SysStringLen(FValue); }
    std::wstring Text() const { return FValue ? std::wstring(FValue, SysStringLen(FValue)) : std::wstring(); }

private:
    BSTR FValue = nullptr;
};

// Owns one VARIANT (VariantClear). Copies are deep (VariantCopy).
class TKoOleVariant {
public:
    TKoOleVariant() noexcept { VariantInit(&FValue); }
    explicit TKoOleVariant(int32_t Value) noexcept;
    explicit TKoOleVariant(double Value) noexcept;
    explicit TKoOleVariant(bool Value) noexcept;
    explicit TKoOleVariant(std::wstring_view Value);
    explicit TKoOleVariant(const wchar_t* Value) : TKoOleVariant(std::wstring_view(Value)) {}
    // A deep copy of any VARIANT (references are copied as references).
    explicit TKoOleVariant(const VARIANT& Value);
    ~TKoOleVariant() { VariantClear(&FValue); }
    TKoOleVariant(const TKoOleVariant& Other) : TKoOleVariant(Other.FValue) {}
    TKoOleVariant(TKoOleVariant&& Other) noexcept;
    TKoOleVariant& operator=(const TKoOleVariant& Other);
    TKoOleVariant& operator=(TKoOleVariant&& Other) noexcept;

    static TKoOleVariant Null() noexcept;
    static TKoOleVariant Date(double Value) noexcept;
    static TKoOleVariant Error(SCODE Code) noexcept;
    // Any scalar of a numeric type code (VT_I1 ... VT_UI8, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BOOL)
    // given as a double and converted by the platform; fails like VariantChangeType.
    static TKoOleVariant OfType(VARTYPE Type, double Value);
    // Takes over a SAFEARRAY: the variant frees it from now on.
    static TKoOleVariant TakeArray(VARTYPE ElementType, SAFEARRAY* Array) noexcept;

    const VARIANT& Get() const noexcept { return FValue; }
    VARIANT& Get() noexcept { return FValue; }
    operator const VARIANT&() const noexcept { return FValue; }
    VARTYPE Type() const noexcept { return FValue.vt; }
    // Clears the value and returns it for an out-parameter.
    VARIANT* Receive() noexcept;
    // Hands the value over to the caller, who clears it from now on.
    VARIANT Release() noexcept;
    void Clear() noexcept { VariantClear(&FValue); }

private:
    VARIANT FValue;
};

// Owns one SAFEARRAY (SafeArrayDestroy).
class TKoSafeArray {
public:
    TKoSafeArray() noexcept = default;
    explicit TKoSafeArray(SAFEARRAY* AArray) noexcept : FArray(AArray) {}
    // A new array of the element type with one (low, high) bound pair per dimension;
    // fails with EKoOleError.
    TKoSafeArray(VARTYPE ElementType, std::initializer_list<std::pair<LONG, LONG>> Bounds);
    ~TKoSafeArray() { Reset(); }
    TKoSafeArray(TKoSafeArray&& Other) noexcept : FArray(std::exchange(Other.FArray, nullptr)) {}
    TKoSafeArray& operator=(TKoSafeArray&& Other) noexcept;
    TKoSafeArray(const TKoSafeArray&) = delete;
    TKoSafeArray& operator=(const TKoSafeArray&) = delete;

    SAFEARRAY* Get() const noexcept { return FArray; }
    SAFEARRAY* Release() noexcept { return std::exchange(FArray, nullptr); }
    void Reset(SAFEARRAY* AArray = nullptr) noexcept;

private:
    SAFEARRAY* FArray = nullptr;
};

// Holds a SAFEARRAY's data locked (SafeArrayAccessData) for as long as it lives.
class TKoSafeArrayData {
public:
    explicit TKoSafeArrayData(SAFEARRAY* AArray); // fails with EKoOleError
    ~TKoSafeArrayData() { SafeArrayUnaccessData(FArray); }
    TKoSafeArrayData(const TKoSafeArrayData&) = delete;
    TKoSafeArrayData& operator=(const TKoSafeArrayData&) = delete;

    void* Data() const noexcept { return FData; }

private:
    SAFEARRAY* FArray;
    void* FData = nullptr;
};

// The SAFEARRAY of an array variant (by value or by reference), or nullptr for any other value.
SAFEARRAY* KoVariantArray(const VARIANT& V) noexcept;

// One element of a SAFEARRAY as a variant of the array's element type (a VT_VARIANT array gives
// a copy of the stored variant). Indices has one entry per dimension; fails with EKoOleError.
TKoOleVariant KoSafeArrayGetVariant(SAFEARRAY* Array, LONG* Indices);
// Stores a variant into one element, converted to the array's element type first (a VT_VARIANT
// array stores it unchanged); fails with EKoOleError.
void KoSafeArrayPutVariant(SAFEARRAY* Array, LONG* Indices, const VARIANT& Value);

// V converted to Type by the platform with the user's locale; fails with EKoOleError.
TKoOleVariant KoChangeType(const VARIANT& V, VARTYPE Type);

// A variant holding exactly Value, its type code following the C++ type (no conversion through
// a double, so 64-bit integers keep every bit).
TKoOleVariant KoVariantOf(uint8_t Value) noexcept;
TKoOleVariant KoVariantOf(int16_t Value) noexcept;
TKoOleVariant KoVariantOf(uint16_t Value) noexcept;
TKoOleVariant KoVariantOf(uint32_t Value) noexcept;
TKoOleVariant KoVariantOf(int64_t Value) noexcept;
TKoOleVariant KoVariantOf(uint64_t Value) noexcept;
TKoOleVariant KoVariantOf(float Value) noexcept;

// A source argument for the OLE Automation calls whose headers declare it non-const although
// they only read it (VariantCopy, VariantCopyInd, VariantChangeType, VarCmp ...).
inline VARIANT* KoIn(const VARIANT& V) noexcept {
    return const_cast<VARIANT*>(&V);
}
