#include "KoStringVars.h"

#include "KoUtils.h"
#include "KoVariants.h"

namespace {

// A copy of a value; a reference is resolved, so that nothing stored points into the caller's
// memory.
TKoOleVariant CopyOfValue(const VARIANT& V) {
    TKoOleVariant Result;
    KoOleCheck(VariantCopyInd(Result.Receive(), KoIn(V)));
    return Result;
}

bool IsBlankOrControl(wchar_t C) {
    return C <= L' ';
}

std::wstring TrimBlanksAndControls(const std::wstring& Text) {
    size_t First = 0, Last = Text.size();
    while (First < Last && IsBlankOrControl(Text[First])) ++First;
    while (Last > First && IsBlankOrControl(Text[Last - 1])) --Last;
    return Text.substr(First, Last - First);
}

} // namespace

// ---- TKoString ----

TKoString::TKoString(TKoComponent* AOwner) : TKoVar(AOwner) {
    SetQualityOfEmptyString(vpqGood);
}

void TKoString::SetValue(const std::wstring& Value) {
    SetStringProp(vpValue, FValue, Value, QualityOfEmptyString(), false);
}

TKoVarDataType TKoString::GetPropDataType(TKoVarPropType Prop) const {
    return Prop == vpValue ? vdtOleStr : TKoVar::GetPropDataType(Prop);
}

TKoOleVariant TKoString::GetPropValueGood(TKoVarPropType Prop) const {
    return Prop == vpValue ? TKoOleVariant(FValue) : TKoVar::GetPropValueGood(Prop);
}

std::wstring TKoString::ArrayAsText(const VARIANT& Value) {
    const TKoOleVariant V = CopyOfValue(Value);
    SAFEARRAY* Array = KoVariantArray(V);
    if (!Array || SafeArrayGetDim(Array) != 1) return VariantToText(V, false);
    const int64_t Count = VarArrayElementCount(V);
    if (Count == 0) return std::wstring();
    VARTYPE Type = VT_EMPTY;
    KoOleCheck(SafeArrayGetVartype(Array, &Type));
    std::wstring Text;
    if (Type == VT_UI1 || Type == VT_I1) {
        // One character per byte: the byte is the character's code.
        TKoSafeArrayData Data(Array);
        const auto* Bytes = static_cast<const unsigned char*>(Data.Data());
        Text.reserve(static_cast<size_t>(Count));
        for (int64_t I = 0; I < Count; ++I) Text.push_back(static_cast<wchar_t>(Bytes[I]));
    } else if (Type == VT_UI2) {
        TKoSafeArrayData Data(Array);
        const auto* Chars = static_cast<const wchar_t*>(Data.Data());
        Text.assign(Chars, static_cast<size_t>(Count));
    } else {
        Text = GetVarPropValueAsString(vpValue, V);
    }
    return TrimBlanksAndControls(Text);
}

void TKoString::SetPropValueGood(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop != vpValue) {
        TKoVar::SetPropValueGood(Prop, V);
        return;
    }
    const TKoOleVariant Value = CopyOfValue(V);
    SAFEARRAY* Array = KoVariantArray(Value);
    if (Array && SafeArrayGetDim(Array) == 1)
        SetValue(ArrayAsText(Value));
    else if (Array && VarArrayElementCount(Value) == 0)
        SetValue(std::wstring());
    else if (Value.Type() == VT_BSTR)
        SetValue(Value.Get().bstrVal ? std::wstring(Value.Get().bstrVal, SysStringLen(Value.Get().bstrVal))
                                     : std::wstring());
    else if (Value.Type() == VT_BOOL)
        SetValue(BoolToStr(Value.Get().boolVal != VARIANT_FALSE));
    else
        SetValue(VariantToText(Value, false));
}

double TKoString::GetVarPropValueAsDateTime(TKoVarPropType Prop, const VARIANT& V) {
    try {
        return TKoVar::GetVarPropValueAsDateTime(Prop, V);
    } catch (const EKoOleError&) {
        // Not a date-time text: perhaps a plain day number.
        TKoOleVariant Number;
        KoOleCheck(VariantChangeTypeEx(Number.Receive(), KoIn(V), LOCALE_USER_DEFAULT, 0, VT_R8));
        return TKoVar::GetVarPropValueAsDateTime(Prop, Number);
    }
}

TKoOleVariant TKoString::GetInitialValue() {
    return TKoOleVariant(FInitialValue);
}

// ---- TKoVariant ----

TKoVariant::TKoVariant(TKoComponent* AOwner) : TKoVar(AOwner) {
    SetQualityOfEmptyString(vpqGood);
}

void TKoVariant::SetValue(const VARIANT& Value) {
    TKoOleVariant V = CopyOfValue(Value);
    TKoVarQuality Q = QualityOfVariant(V, QualityOfEmptyString());
    if (!CanChange(vpValue, V.Get(), 0, 0, Q)) return;
    BeginUpdateProp(vpValue);
    try {
        FValue = CopyOfValue(V); // what a changing handler made of it
        UpdateProp(vpValue, Q, NowUTC());
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, Q, false, 0);
}

void TKoVariant::SetInitialValue(const VARIANT& Value) {
    FInitialValue = CopyOfValue(Value);
}

TKoVarDataType TKoVariant::GetPropDataType(TKoVarPropType Prop) const {
    return Prop == vpValue ? vdtVariant : TKoVar::GetPropDataType(Prop);
}

bool TKoVariant::GetPropIsArray(TKoVarPropType Prop) const {
    return Prop == vpValue ? (FValue.Type() & VT_ARRAY) != 0 : TKoVar::GetPropIsArray(Prop);
}

void TKoVariant::SetPropAsArray(TKoVarPropType Prop, const VARIANT& Value, TKoVarDataType DataType) {
    if (Prop == vpValue)
        SetPropValue(vpValue, Value);
    else
        TKoVar::SetPropAsArray(Prop, Value, DataType);
}

TKoOleVariant TKoVariant::GetPropValueGood(TKoVarPropType Prop) const {
    return Prop == vpValue ? FValue : TKoVar::GetPropValueGood(Prop);
}

void TKoVariant::SetPropValueGood(TKoVarPropType Prop, const VARIANT& V) {
    if (Prop == vpValue)
        SetValue(V);
    else
        TKoVar::SetPropValueGood(Prop, V);
}

TKoOleVariant TKoVariant::GetInitialValue() {
    return FInitialValue;
}
