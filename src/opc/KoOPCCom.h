#pragma once
// The boundary every COM method of the server runs through, and owners of the memory a COM
// method hands to its caller.
//
// A COM method body never lets an exception out: KoComCall runs it and turns whatever it
// raises into the result code clients see (KoErrorToHResult). Bodies build their results in
// owners (TKoTaskMem, TKoBstr, TKoOleVariant ...) and hand them to the out-parameters only as
// their last step, so a failure leaves nothing allocated; KoComCall also empties the
// out-parameters it is given, so the caller never sees stale pointers after a failure.

#include <windows.h>

#include <objbase.h>

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "KoExceptions.h"

// The result code for the error being handled (call it from a catch block). The first row that
// matches wins:
//   an error carrying an HRESULT (EKoOleError and its kinds)            -> that code, except the
//       variant conversion codes: overflow -> OPC_E_RANGE, type mismatch -> OPC_E_BADTYPE
//   out of memory                                                        -> E_OUTOFMEMORY
//   list index and string-list errors, invalid arguments, browse errors -> E_INVALIDARG
//   interface cast error                                                 -> E_NOINTERFACE
//   write to a read-only variable                                        -> OPC_E_BADRIGHTS
//   duplicate group name                                                 -> OPC_E_DUPLICATENAME
//   range errors, numeric overflow                                       -> OPC_E_RANGE
//   conversion errors and other variable errors                          -> OPC_E_BADTYPE
//   anything else                                                        -> E_FAIL
HRESULT KoErrorToHResult() noexcept;

// An interface a caller asked for is not there.
class EKoIntfCastError : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoIntfCastError"; }
};

// Clears an out-parameter of a failed call.
template <class T> void KoClearOut(T* Out) noexcept {
    if (!Out) return;
    if constexpr (std::is_pointer_v<T> || std::is_arithmetic_v<T> || std::is_enum_v<T>)
        *Out = T{};
    else if constexpr (std::is_same_v<T, VARIANT>)
        VariantInit(Out);
}

// Runs a COM method body. A body returning void succeeds with S_OK; one returning an HRESULT
// gives that code. On an error the mapped code is returned and every out-parameter given
// (pointers to them) is emptied.
template <class TBody, class... TOuts> HRESULT KoComCall(TBody&& Body, TOuts*... Outs) noexcept {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<TBody&>>) {
            Body();
            return S_OK;
        } else {
            return Body();
        }
    } catch (...) {
        const HRESULT Result = KoErrorToHResult();
        (KoClearOut(Outs), ...);
        return Result;
    }
}

// An array of Count elements in task memory (CoTaskMemAlloc), freed unless handed over with
// Release. Elements are zero-filled, so a partly filled array of pointers or variants can be
// cleaned up by the owner of its elements.
template <class T> class TKoTaskMem {
    static_assert(std::is_trivially_copyable_v<T> || std::is_same_v<T, VARIANT>,
                  "task memory holds plain data only");

public:
    TKoTaskMem() noexcept = default;
    explicit TKoTaskMem(size_t Count) : FCount(Count) {
        if (Count == 0) return;
        if (Count > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        FData = static_cast<T*>(CoTaskMemAlloc(Count * sizeof(T)));
        if (!FData) throw std::bad_alloc();
        ZeroMemory(FData, Count * sizeof(T));
    }
    ~TKoTaskMem() { CoTaskMemFree(FData); }
    TKoTaskMem(TKoTaskMem&& Other) noexcept
        : FData(std::exchange(Other.FData, nullptr)), FCount(std::exchange(Other.FCount, 0)) {}
    TKoTaskMem& operator=(TKoTaskMem&& Other) noexcept {
        if (this != &Other) {
            CoTaskMemFree(FData);
            FData = std::exchange(Other.FData, nullptr);
            FCount = std::exchange(Other.FCount, 0);
        }
        return *this;
    }
    TKoTaskMem(const TKoTaskMem&) = delete;
    TKoTaskMem& operator=(const TKoTaskMem&) = delete;

    T* Get() const noexcept { return FData; }
    size_t Count() const noexcept { return FCount; }
    T& operator[](size_t Index) const noexcept { return FData[Index]; }
    // Hands the array to the caller, who frees it from now on.
    T* Release() noexcept {
        FCount = 0;
        return std::exchange(FData, nullptr);
    }

private:
    T* FData = nullptr;
    size_t FCount = 0;
};

// Task memory whose elements own what they point to (task-memory strings, variants): the
// elements are freed with the array unless it is handed to the caller with Release.
inline void KoFreeElement(wchar_t*& Text) noexcept {
    CoTaskMemFree(std::exchange(Text, nullptr));
}
inline void KoFreeElement(VARIANT& Value) noexcept {
    VariantClear(&Value);
}
template <class T> class TKoTaskArray : public TKoTaskMem<T> {
public:
    TKoTaskArray(TKoTaskMem<T>&& Memory) noexcept : TKoTaskMem<T>(std::move(Memory)) {}
    ~TKoTaskArray() {
        for (size_t I = 0; I < this->Count(); ++I) KoFreeElement((*this)[I]);
    }
    TKoTaskArray(TKoTaskArray&&) noexcept = default;
    TKoTaskArray& operator=(TKoTaskArray&&) = delete;
};

// A string in task memory, as OPC methods return names and texts; nullptr on failure to
// allocate is reported as std::bad_alloc.
wchar_t* KoTaskMemString(std::wstring_view Text);
// The text of a string argument a caller may pass as null (then empty).
inline std::wstring KoTextOf(const wchar_t* Text) {
    return Text ? std::wstring(Text) : std::wstring();
}
