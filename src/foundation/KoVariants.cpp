#include "KoVariants.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "KoUtils.h"

namespace {

constexpr const wchar_t* DataTypeNames[] = {
    L"Default",  L"Null",     L"Smallint", L"Integer",  L"Single",  L"Double",  L"Currency",   L"Date",
    L"OleStr",   L"Dispatch", L"Error",    L"Boolean",  L"Variant", L"Unknown", L"Decimal",    L"Undefined",
    L"Shortint", L"Byte",     L"Word",     L"LongWord", L"Int64",   L"UInt64",  L"Unsupported"};
static_assert(std::size(DataTypeNames) == vdtUnsupported + 1);

constexpr int TypeSizes[] = {0, 0, 2, 4, 4, 8, 8, 8, 1, 4, 4, 2, 16, 4, 0, 0, 1, 1, 2, 4, 8, 8};

VARTYPE BaseType(VARTYPE VarType) {
    return static_cast<VARTYPE>(VarType & VT_TYPEMASK);
}

std::wstring Hex(uint32_t Value) {
    static constexpr wchar_t Digits[] = L"0123456789ABCDEF";
    std::wstring Text;
    do {
        Text.insert(Text.begin(), Digits[Value & 0xF]);
        Value >>= 4;
    } while (Value != 0);
    return Text;
}

struct TDim {
    LONG Low;
    LONG High;
};

std::vector<TDim> Dimensions(SAFEARRAY* Array) {
    std::vector<TDim> Dims(SafeArrayGetDim(Array));
    for (UINT D = 0; D < Dims.size(); ++D) {
        KoOleCheck(SafeArrayGetLBound(Array, D + 1, &Dims[D].Low));
        KoOleCheck(SafeArrayGetUBound(Array, D + 1, &Dims[D].High));
    }
    return Dims;
}

std::wstring ElementText(SAFEARRAY* Array, LONG* Indices) {
    return VariantToText(KoSafeArrayGetVariant(Array, Indices), false);
}

// The elements along the last dimension at the given leading indices, joined and bracketed.
std::wstring RowText(SAFEARRAY* Array, std::vector<LONG>& Indices, const TDim& Last,
                     const std::wstring& Separator) {
    std::wstring Row;
    for (LONG I = Last.Low; I <= Last.High; ++I) {
        Indices.back() = I;
        if (I != Last.Low) Row += Separator;
        Row += ElementText(Array, Indices.data());
    }
    return BracketText(Row);
}

bool TextsEqual(const VARIANT& A, const VARIANT& B) {
    try {
        return VariantToText(A, false) == VariantToText(B, false);
    } catch (...) {
        return false; // not even a text to compare
    }
}

bool ScalarsEqual(const VARIANT& A, const VARIANT& B) {
    TKoOleVariant X, Y;
    if (FAILED(VariantCopyInd(X.Receive(), KoIn(A))) || FAILED(VariantCopyInd(Y.Receive(), KoIn(B))))
        return TextsEqual(A, B);
    // Error values are equal by their codes (the platform's comparison does not look at them).
    if (X.Type() == VT_ERROR && Y.Type() == VT_ERROR) return X.Get().scode == Y.Get().scode;
    // The platform ranks any string above any number; a string compared with a number is read
    // as a number of the other side's type instead.
    if ((X.Type() == VT_BSTR) != (Y.Type() == VT_BSTR)) {
        TKoOleVariant& Text = X.Type() == VT_BSTR ? X : Y;
        const VARTYPE Target = X.Type() == VT_BSTR ? Y.Type() : X.Type();
        TKoOleVariant Converted;
        if (FAILED(VariantChangeTypeEx(Converted.Receive(), &Text.Get(), LOCALE_USER_DEFAULT, 0, Target)))
            return TextsEqual(A, B);
        Text = std::move(Converted);
    }
    const HRESULT Result = VarCmp(&X.Get(), &Y.Get(), LOCALE_USER_DEFAULT, 0);
    if (FAILED(Result)) return TextsEqual(A, B);
    return Result == VARCMP_EQ;
}

} // namespace

const wchar_t* KoVarDataTypeName(TKoVarDataType DataType) {
    if (DataType < vdtDefault || DataType > vdtUnsupported) return DataTypeNames[vdtUnsupported];
    return DataTypeNames[DataType];
}

// ---- types ----

bool VarHasValue(const VARIANT& V) {
    return V.vt > VT_NULL;
}

TKoVariantClass VarTypeToVariantClass(VARTYPE VarType) {
    switch (BaseType(VarType)) {
    case VT_EMPTY:
    case VT_NULL:
        return vcNull;
    case VT_BOOL:
        return vcBoolean;
    case VT_I2:
    case VT_I4:
    case VT_UI1:
    case VT_UI2:
        return vcInteger;
    case VT_R4:
    case VT_R8:
    case VT_CY:
        return vcFloat;
    case VT_BSTR:
    case 72: // string argument
    case KoVarString8:
    case KoVarString16:
        return vcString;
    case VT_DATE:
        return vcDate;
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
        return vcBigInt;
    default:
        return vcOther;
    }
}

TKoVariantClass VariantClass(const VARIANT& V) {
    return VarTypeToVariantClass(V.vt);
}

TKoVarDataType VarTypeToKoVarDataType(VARTYPE VarType) {
    const VARTYPE Base = BaseType(VarType);
    if (Base <= VT_UI8) return static_cast<TKoVarDataType>(Base);
    if (Base == KoVarString8 || Base == KoVarString16) return vdtOleStr;
    return vdtUnsupported;
}

VARTYPE KoVarDataTypeToVarType(TKoVarDataType DataType, bool IsArray) {
    if (DataType < vdtDefault || DataType >= vdtUnsupported) return VT_EMPTY;
    return static_cast<VARTYPE>(DataType | (IsArray ? VT_ARRAY : 0));
}

std::wstring VarTypeToText(VARTYPE VarType) {
    const VARTYPE Base = BaseType(VarType);
    std::wstring Text;
    if (Base == KoVarString8)
        Text = L"string(8)";
    else if (Base == KoVarString16)
        Text = L"string(16)";
    else if (const TKoVarDataType DataType = VarTypeToKoVarDataType(Base); DataType == vdtUnsupported)
        Text = std::to_wstring(Base);
    else
        Text = KoVarDataTypeName(DataType);
    if (VarType & VT_ARRAY) Text = L"Array of " + Text;
    if (VarType & VT_BYREF) Text += L" (Reference)";
    return Text;
}

// ---- sizes ----

int VarTypeSize(VARTYPE VarType) {
    if (VarType == KoVarString8) return 1;
    if (VarType == KoVarString16) return 2;
    if (VarType < std::size(TypeSizes)) return TypeSizes[VarType];
    throw std::invalid_argument("VarTypeSize: no size for type code " + std::to_string(VarType));
}

int64_t VariantSize(const VARIANT& V) {
    if (V.vt & VT_ARRAY) {
        SAFEARRAY* Array = KoVariantArray(V);
        return Array ? static_cast<int64_t>(SafeArrayGetElemsize(Array)) * VarArrayElementCount(V) : 0;
    }
    const VARTYPE Base = BaseType(V.vt);
    if (Base == VT_BSTR) {
        const BSTR Text = (V.vt & VT_BYREF) ? (V.pbstrVal ? *V.pbstrVal : nullptr) : V.bstrVal;
        return 2 * static_cast<int64_t>(SysStringLen(Text));
    }
    return VarTypeSize(Base);
}

int64_t VarArrayElementCount(const VARIANT& V) {
    SAFEARRAY* Array = KoVariantArray(V);
    const UINT Dims = Array ? SafeArrayGetDim(Array) : 0;
    if (Dims == 0) return 0;
    int64_t Count = 1;
    for (UINT D = 1; D <= Dims; ++D) Count *= VarArrayDimLength(V, static_cast<int>(D));
    return Count;
}

int VarArrayDimLength(const VARIANT& V, int Dim) {
    SAFEARRAY* Array = KoVariantArray(V);
    if (!Array || Dim < 1 || static_cast<UINT>(Dim) > SafeArrayGetDim(Array)) return 0;
    LONG Low = 0, High = -1;
    if (FAILED(SafeArrayGetLBound(Array, static_cast<UINT>(Dim), &Low)) ||
        FAILED(SafeArrayGetUBound(Array, static_cast<UINT>(Dim), &High)))
        return 0;
    return High - Low + 1;
}

int VarArrayLength(const VARIANT& V) {
    return VarArrayDimLength(V, 1);
}

void VarArrayAsType(const VARIANT& V, VARTYPE VarType, TKoOleVariant& Result) {
    SAFEARRAY* Source = KoVariantArray(V);
    if (!Source) return;
    const std::vector<TDim> Dims = Dimensions(Source);
    if (Dims.size() != 1) throw EKoOleError(DISP_E_BADINDEX);
    TKoSafeArray Converted(VarType, {{Dims[0].Low, Dims[0].High}});
    for (LONG I = Dims[0].Low; I <= Dims[0].High; ++I)
        KoSafeArrayPutVariant(Converted.Get(), &I, KoSafeArrayGetVariant(Source, &I));
    Result = TKoOleVariant::TakeArray(VarType, Converted.Release());
}

// ---- comparison ----

bool VariantsEqual(const VARIANT& A, const VARIANT& B, bool StrictType) {
    if (StrictType && A.vt != B.vt) return false;
    const bool HasA = VarHasValue(A), HasB = VarHasValue(B);
    if (!HasA || !HasB) return HasA == HasB; // empty and null count as equal
    if ((A.vt | B.vt) & VT_ARRAY) return VarArraysEqual(A, B, StrictType);
    return ScalarsEqual(A, B);
}

bool VarArraysEqual(const VARIANT& A, const VARIANT& B, bool StrictType) {
    try {
        if (StrictType && A.vt != B.vt) return false;
        SAFEARRAY* ArrayA = KoVariantArray(A);
        SAFEARRAY* ArrayB = KoVariantArray(B);
        if (!ArrayA || !ArrayB) return false;
        const std::vector<TDim> Dims = Dimensions(ArrayA);
        const std::vector<TDim> DimsB = Dimensions(ArrayB);
        if (Dims.size() != DimsB.size()) return false;
        for (size_t D = 0; D < Dims.size(); ++D)
            if (Dims[D].Low != DimsB[D].Low || Dims[D].High != DimsB[D].High) return false;

        VARTYPE TypeA = VT_EMPTY, TypeB = VT_EMPTY;
        KoOleCheck(SafeArrayGetVartype(ArrayA, &TypeA));
        KoOleCheck(SafeArrayGetVartype(ArrayB, &TypeB));
        // Plain numbers, dates and booleans of one type are equal exactly when their bytes are.
        const bool Raw =
            TypeA == TypeB && ((TypeA >= VT_I2 && TypeA <= VT_DATE) || TypeA == VT_BOOL || TypeA == VT_UI1);
        if (Raw) {
            const size_t Bytes = static_cast<size_t>(SafeArrayGetElemsize(ArrayA)) *
                                 static_cast<size_t>(VarArrayElementCount(A));
            if (Bytes == 0) return true;
            TKoSafeArrayData DataA(ArrayA), DataB(ArrayB);
            return std::memcmp(DataA.Data(), DataB.Data(), Bytes) == 0;
        }
        auto Equal = [&](LONG* Indices) {
            return VariantsEqual(KoSafeArrayGetVariant(ArrayA, Indices),
                                 KoSafeArrayGetVariant(ArrayB, Indices), StrictType);
        };
        switch (Dims.size()) {
        case 0:
            return true;
        case 1:
            for (LONG I = Dims[0].Low; I <= Dims[0].High; ++I)
                if (!Equal(&I)) return false;
            return true;
        case 2:
            for (LONG I = Dims[0].Low; I <= Dims[0].High; ++I)
                for (LONG J = Dims[1].Low; J <= Dims[1].High; ++J) {
                    LONG Indices[2] = {I, J};
                    if (!Equal(Indices)) return false;
                }
            return true;
        default:
            return false;
        }
    } catch (...) {
        return false;
    }
}

// ---- text ----

std::wstring VariantToText(const VARIANT& V, bool WithType) {
    std::wstring Text;
    if (V.vt & VT_ARRAY) {
        Text = ArrayToText(V, L'\0', L'\r');
    } else {
        TKoOleVariant Value;
        KoOleCheck(VariantCopyInd(Value.Receive(), KoIn(V)));
        const VARIANT& X = Value.Get();
        switch (X.vt) {
        case VT_EMPTY:
            Text = L"#EMPTY";
            break;
        case VT_NULL:
            Text = L"#NULL";
            break;
        case VT_DATE:
            Text = KoLocaleDateTimeText(X.date, true, false);
            break;
        case VT_ERROR:
            Text = L"Error($" + Hex(static_cast<uint32_t>(X.scode)) + L")";
            break;
        case VT_BOOL:
            Text = BoolToText(X.boolVal != VARIANT_FALSE);
            break;
        default: {
            TKoOleVariant Converted;
            KoOleCheck(VariantChangeTypeEx(Converted.Receive(), KoIn(X), LOCALE_USER_DEFAULT, 0, VT_BSTR));
            const BSTR Chars = Converted.Get().bstrVal;
            Text.assign(Chars ? Chars : L"", SysStringLen(Chars));
        }
        }
    }
    if (WithType) Text += L"{" + VarTypeToText(V.vt) + L"}";
    return Text;
}

std::wstring ArrayToText(const VARIANT& V, wchar_t ElementSeparator, wchar_t RowSeparator) {
    SAFEARRAY* Array = KoVariantArray(V);
    if (!Array) return VariantToText(V, false);
    const std::wstring List = (ElementSeparator && RowSeparator) ? std::wstring() : KoListSeparator();
    const std::wstring Separator = ElementSeparator ? std::wstring(1, ElementSeparator) : List;
    const std::wstring Row = RowSeparator ? std::wstring(1, RowSeparator) : List;
    const std::vector<TDim> Dims = Dimensions(Array);
    std::vector<LONG> Indices(Dims.size());
    switch (Dims.size()) {
    case 0:
        return BracketText(L"");
    case 1:
        return RowText(Array, Indices, Dims[0], Separator);
    case 2: {
        std::wstring Text;
        for (LONG I = Dims[0].Low; I <= Dims[0].High; ++I) {
            Indices[0] = I;
            Text += Row + RowText(Array, Indices, Dims[1], Separator);
        }
        return BracketText(Text);
    }
    case 3: {
        std::wstring Text;
        for (LONG I = Dims[0].Low; I <= Dims[0].High; ++I) {
            Indices[0] = I;
            std::wstring Plane;
            for (LONG J = Dims[1].Low; J <= Dims[1].High; ++J) {
                Indices[1] = J;
                Plane += Row + RowText(Array, Indices, Dims[2], Separator);
            }
            Text += Row + BracketText(Plane);
        }
        return Text;
    }
    default:
        return L"Array Dim=" + std::to_wstring(Dims.size());
    }
}

void TextToVariant(std::wstring_view Text, VARTYPE VarType, TKoOleVariant& V) {
    TKoOleVariant Value;
    if (Text.empty() || Text == L"#NULL") {
        Value = TKoOleVariant::Null();
    } else if (Text == L"#EMPTY") {
        // stays empty
    } else if (VarType == VT_DATE) {
        std::wstring Chars(Text);
        DATE Date = 0;
        KoOleCheck(VarDateFromStr(Chars.data(), LOCALE_USER_DEFAULT, 0, &Date));
        Value = TKoOleVariant::Date(Date);
    } else {
        Value = TKoOleVariant(Text);
    }
    if (VarType != VT_EMPTY && VarType != VT_NULL && VarType != VT_VARIANT && Value.Type() != VarType) {
        TKoOleVariant Converted;
        KoOleCheck(VariantChangeTypeEx(Converted.Receive(), &Value.Get(), LOCALE_USER_DEFAULT, 0, VarType));
        Value = std::move(Converted);
    }
    V = std::move(Value);
}
