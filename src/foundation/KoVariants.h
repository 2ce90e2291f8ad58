#pragma once
// Classification, sizing, comparison and text conversion of variant values, the value type of
// process variables and OPC items.

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "KoOle.h"

// Type codes of strings held in the system's own string types (never in a VARIANT).
constexpr VARTYPE KoVarString8 = 256;  // 8-bit character string
constexpr VARTYPE KoVarString16 = 258; // 16-bit character string

enum TKoVariantClass { vcNull, vcBoolean, vcInteger, vcFloat, vcString, vcDate, vcBigInt, vcOther };

// Data types by the ordinals of the type codes 0 to 21, plus one for everything else.
enum TKoVarDataType {
    vdtDefault,
    vdtNull,
    vdtSmallint,
    vdtInteger,
    vdtSingle,
    vdtDouble,
    vdtCurrency,
    vdtDate,
    vdtOleStr,
    vdtDispatch,
    vdtError,
    vdtBoolean,
    vdtVariant,
    vdtUnknown,
    vdtDecimal,
    vdtUndefined,
    vdtShortint,
    vdtByte,
    vdtWord,
    vdtLongWord,
    vdtInt64,
    vdtUInt64,
    vdtUnsupported
};

// "Default", "Null", "Smallint" ... "UInt64", "Unsupported".
const wchar_t* KoVarDataTypeName(TKoVarDataType DataType);

// ---- types ----

// True when the type code is above VT_NULL (arrays and references included).
bool VarHasValue(const VARIANT& V);
// The class of the type code without its array and reference flags.
TKoVariantClass VarTypeToVariantClass(VARTYPE VarType);
TKoVariantClass VariantClass(const VARIANT& V);
TKoVarDataType VarTypeToKoVarDataType(VARTYPE VarType);
// VT_EMPTY for vdtUnsupported; otherwise the data type's code, with VT_ARRAY when IsArray.
VARTYPE KoVarDataTypeToVarType(TKoVarDataType DataType, bool IsArray);
// "Double", "Array of Double", "Integer (Reference)", "string(16)", "4095" ...
std::wstring VarTypeToText(VARTYPE VarType);

// ---- sizes ----

// The storage size of one value of the type code; codes other than 0 to 21, 256 and 258 fail
// with std::invalid_argument.
int VarTypeSize(VARTYPE VarType);
// Arrays: element size times element count; strings: their characters' bytes; else VarTypeSize.
int64_t VariantSize(const VARIANT& V);
// The product of all dimension lengths (0 for no array).
int64_t VarArrayElementCount(const VARIANT& V);
// High bound - low bound + 1 of dimension Dim (1-based); 0 when V has no such dimension.
int VarArrayDimLength(const VARIANT& V, int Dim);
int VarArrayLength(const VARIANT& V);
// When V is a one-dimensional array: Result becomes a new array with V's bounds and element type
// VarType, each element converted (a failed conversion raises EKoOleError and leaves Result as it
// was). When V is no array Result is left untouched. Arrays of more dimensions raise EKoOleError.
void VarArrayAsType(const VARIANT& V, VARTYPE VarType, TKoOleVariant& Result);

// ---- comparison ----

// Empty and null are equal to each other and to nothing else; arrays compare by
// VarArraysEqual; other values by the platform's comparison (a string against a number is
// converted to the number's type), falling back to their text forms when the platform cannot
// compare them. With StrictType values of different type codes are unequal.
bool VariantsEqual(const VARIANT& A, const VARIANT& B, bool StrictType);
// Same dimension count and bounds, and equal elements; arrays of three or more dimensions and
// any error give false.
bool VarArraysEqual(const VARIANT& A, const VARIANT& B, bool StrictType);

// ---- text ----

// "#EMPTY", "#NULL", "Error($80020004)", dates in the locale's format with milliseconds, arrays by
// ArrayToText, other values by the platform's conversion; WithType appends "{<VarTypeToText>}".
// A value the platform cannot convert raises EKoOleError.
std::wstring VariantToText(const VARIANT& V, bool WithType = false);
// Arrays of one to three dimensions in brackets; L'\0' as a separator means the locale's list
// separator.
std::wstring ArrayToText(const VARIANT& V, wchar_t ElementSeparator, wchar_t RowSeparator);
// The reverse of VariantToText for the value editor: "" or "#NULL" gives null, "#EMPTY" empty,
// for VT_DATE the text is read as a date in the locale's format, else it is taken as a string;
// then converted to VarType unless that is VT_EMPTY, VT_NULL or VT_VARIANT. A failed
// conversion raises EKoOleError and leaves V unchanged.
void TextToVariant(std::wstring_view Text, VARTYPE VarType, TKoOleVariant& V);
