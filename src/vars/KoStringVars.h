#pragma once
// The text and the variant variables.
//
// TKoString holds a text; TKoVariant holds a value of any variant type, arrays (nested ones
// included) among them. Both use the write path, qualities and notifications of TKoVar as they
// are; they differ only in how the value is stored, judged and converted. An empty text is a
// good value for both (QualityOfEmptyString is vpqGood after construction).

#include <string>

#include "KoOle.h"
#include "KoVars.h"

class TKoString : public TKoVar {
public:
    explicit TKoString(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoString"; }

    // The stored text ("#BAD" until the first write).
    const std::wstring& Value() const { return FValue; }
    // "#BAD" is a bad value, an empty text has the quality QualityOfEmptyString.
    void SetValue(const std::wstring& Value);

    // Written as the value by Loaded when InitialQuality is not vpqBad.
    const std::wstring& InitialValue() const { return FInitialValue; }
    void SetInitialValue(const std::wstring& Value) { FInitialValue = Value; }

    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override;
    // A text that does not read as a date-time but as a number is taken as a day count.
    double GetVarPropValueAsDateTime(TKoVarPropType Prop, const VARIANT& V) override;

    // The text a one-dimensional array is written as: byte arrays (and 16-bit unsigned arrays)
    // give one character per element, any other array its bracketed text form; the result
    // is trimmed of leading and trailing blanks and control characters.
    std::wstring ArrayAsText(const VARIANT& V);

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override;
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& V) override;
    TKoOleVariant GetInitialValue() override;

private:
    std::wstring FInitialValue;
    std::wstring FValue = KoBadString;
};

class TKoVariant : public TKoVar {
public:
    explicit TKoVariant(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoVariant"; }

    // A copy of the stored value (empty until the first write).
    TKoOleVariant Value() const { return FValue; }
    // An array with elements is good, an empty array, empty or null bad; scalars by their
    // type's rule. A reference is stored as the value it refers to.
    void SetValue(const VARIANT& Value);

    const TKoOleVariant& InitialValue() const { return FInitialValue; }
    void SetInitialValue(const VARIANT& Value);

    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override;
    // vpValue is an array property exactly while the stored value is an array.
    bool GetPropIsArray(TKoVarPropType Prop) const override;
    // vpValue takes the array as it comes, without converting its elements.
    void SetPropAsArray(TKoVarPropType Prop, const VARIANT& Value, TKoVarDataType DataType) override;

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override;
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& V) override;
    TKoOleVariant GetInitialValue() override;

private:
    TKoOleVariant FInitialValue;
    TKoOleVariant FValue;
};
