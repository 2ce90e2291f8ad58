#pragma once
// The process variable base class.
//
// A variable is a component with nineteen properties (value, caption, limits, statistics,
// texts ...), each with its own value, quality and UTC time stamp. Every change goes through
// one write path: a write that changes nothing stops before any listener is asked; otherwise
// the changing handlers may alter or veto it, the range rules apply, quality and time stamp
// are recorded, and listeners hear of it once per outermost update bracket, after the alarm
// state was recomputed.
//
// TKoVar holds what all variables share: the texts, the alarm state, the bookkeeping and the
// typed access to any property. A typed variable adds the storage of its value and of its own
// properties (GetPropValueGood, SetPropValueGood, GetPropDataType, PropSupported), writes
// them with the Set...Prop helpers below, and adds its own rules (InRange, the alarm rule,
// GetRangeErrorText, conversions it does differently).
//
// Variables are written on the main thread only; nothing here locks.

#include <windows.h>

#include <oleauto.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "KoClasses.h"
#include "KoExceptions.h"
#include "KoOle.h"
#include "KoSignals.h"
#include "KoVarTypes.h"
#include "KoVariants.h"

// ---- bad values ----

constexpr double KoBadFloat = -1234567.09;
constexpr float KoBadSingle = -1234567.125f; // the single nearest to KoBadFloat
constexpr int32_t KoBadInteger = 0x0BADBEEF;
constexpr int64_t KoBadInt64 = KoBadInteger;
constexpr double KoBadDateTime = -0.5;
inline constexpr const wchar_t* KoBadString = L"#BAD";
inline constexpr const wchar_t* KoNullString = L"#NULL";

// ---- display names ----

extern const wchar_t* const VarPropNames[KoVarPropTypeCount];
extern const wchar_t* const VarQualityNames[3];
extern const wchar_t* const VarAccessNames[2];
extern const wchar_t* const AlarmStateNames[4];
extern const wchar_t* const BoolNames[2];

// The name of a property, quality or alarm state, or "" for a value outside its enumeration.
const wchar_t* KoVarPropName(TKoVarPropType Prop);
const wchar_t* KoVarQualityName(TKoVarQuality Quality);
const wchar_t* KoAlarmStateName(TKoVarAlarmState State);

// ---- errors ----

class EKoVarException : public EKoException {
public:
    using EKoException::EKoException;
    const wchar_t* ClassName() const noexcept override { return L"EKoVarException"; }
};

class EKoStatsError : public EKoVarException {
public:
    using EKoVarException::EKoVarException;
    const wchar_t* ClassName() const noexcept override { return L"EKoStatsError"; }
};

class EKoNotImplemented : public EKoException {
public:
    using EKoException::EKoException;
    const wchar_t* ClassName() const noexcept override { return L"EKoNotImplemented"; }
};

class EKoRangeError : public EKoVarException {
public:
    using EKoVarException::EKoVarException;
    const wchar_t* ClassName() const noexcept override { return L"EKoRangeError"; }
};

class EKoInvalidValue : public EKoVarException {
public:
    using EKoVarException::EKoVarException;
    const wchar_t* ClassName() const noexcept override { return L"EKoInvalidValue"; }
};

class EKoReadOnly : public EKoVarException {
public:
    using EKoVarException::EKoVarException;
    const wchar_t* ClassName() const noexcept override { return L"EKoReadOnly"; }
};

class EKoVarListError : public EKoException {
public:
    using EKoException::EKoException;
    const wchar_t* ClassName() const noexcept override { return L"EKoVarListError"; }
};

class EKoVarChangeReject : public EKoVarException {
public:
    using EKoVarException::EKoVarException;
    const wchar_t* ClassName() const noexcept override { return L"EKoVarChangeReject"; }
};

// A text that does not read as the number or Boolean asked for.
class EKoConvertError : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoConvertError"; }
};

// A value that has no valid form in the type asked for (floating point).
class EKoOverflow : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoOverflow"; }
};

// A number that does not fit the integer type asked for.
class EKoIntOverflow : public EKoError {
public:
    using EKoError::EKoError;
    const wchar_t* ClassName() const noexcept override { return L"EKoIntOverflow"; }
};

// ---- events ----

using TKoGetAlarmStateEvent = std::function<void(TKoVar* Sender, TKoVarAlarmState& AlarmState)>;
using TKoVarRangeErrorEvent = std::function<void(TKoVar* Sender, TKoVarPropType Prop, VARIANT& AValue,
                                                 std::wstring& ErrorMsg, bool& RaiseError)>;

// ---- bad value of a data type ----

// The value a property of bad quality reads as in DataType (KoBadInteger, KoBadFloat, "#BAD",
// false, 0, null or empty), converted to the data type's variant type where that differs.
TKoOleVariant KoBadValueAsDataType(TKoVarDataType DataType);

class TKoVar : public TKoComponent {
public:
    explicit TKoVar(TKoComponent* AOwner);
    ~TKoVar() override;
    const wchar_t* ClassName() const override { return L"TKoVar"; }

    // ---- identity and configuration ----

    // Renames the variable; a caption that followed the old name follows the new one.
    void SetName(const std::wstring& NewName) override;

    int32_t ID() const { return FID; }
    void SetID(int32_t Value);
    // The highest identifier given so far in this process.
    static int32_t LastID();

    // An inactive variable stores changes but tells no handler or slot.
    bool Active() const { return FChangeSignal && FChangeSignal->Active(); }
    void SetActive(bool Value);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value);
    const std::wstring& DisplayFormat() const { return FDisplayFormat; }
    void SetDisplayFormat(const std::wstring& Value);
    TKoVarRangeMode RangeMode() const { return FRangeMode; }
    void SetRangeMode(TKoVarRangeMode Value);
    TKoVarAlarmMode AlarmMode() const { return FAlarmMode; }
    void SetAlarmMode(TKoVarAlarmMode Value);

    TKoVarAccess Access() const { return FAccess; }
    void SetAccess(TKoVarAccess Value) { FAccess = Value; }
    TKoVarChangeFilter ChangeFilter() const { return FChangeFilter; }
    void SetChangeFilter(TKoVarChangeFilter Value) { FChangeFilter = Value; }
    // vpqBad: there is no initial value.
    TKoVarQuality InitialQuality() const { return FInitialQuality; }
    void SetInitialQuality(TKoVarQuality Value) { FInitialQuality = Value; }
    TKoVarQuality QualityOfEmptyString() const { return FQualityOfEmptyString; }
    void SetQualityOfEmptyString(TKoVarQuality Value) { FQualityOfEmptyString = Value; }

    // The signal through which slots hear of this variable; null only while it is destroyed.
    TKoVarChangeSignal* ChangeSignal() const { return FChangeSignal.get(); }

    // The owner's name, a point and the variable's name (just the name without an owner).
    std::wstring VarPath() const;

    // ---- texts ----

    const std::wstring& Caption() const { return FCaption; }
    virtual void SetCaption(const std::wstring& Value);
    const std::wstring& Description() const { return FDescription; }
    void SetDescription(const std::wstring& Value);
    const std::wstring& AlarmText() const { return FAlarmText; }
    void SetAlarmText(const std::wstring& Value);
    const std::wstring& AlarmHelp() const { return FAlarmHelp; }
    void SetAlarmHelp(const std::wstring& Value);

    TKoVarAlarmState AlarmState() const { return FAlarmState; }

    // ---- events ----

    TKoVarChangeEvent OnChange;     // after a change, with the changed properties
    TKoVarChangingEvent OnChanging; // before a change; may alter or veto it
    TKoGetAlarmStateEvent OnGetAlarmState;
    TKoNotifyEvent OnRangeChange;
    TKoVarRangeErrorEvent OnRangeError;
    TKoNotifyEvent OnValueChange; // after a change that included vpValue

    // ---- reading properties (never fail) ----

    TKoVarQuality GetPropQuality(TKoVarPropType Prop) const { return FPropQuality[Index(Prop)]; }
    double GetPropTimestamp(TKoVarPropType Prop) const { return FPropTimestamp[Index(Prop)]; }
    bool GetPropIsValid(TKoVarPropType Prop) const { return FPropTimestamp[Index(Prop)] != 0; }
    // The stored value, or an empty value when the quality is bad.
    TKoOleVariant GetPropValue(TKoVarPropType Prop) const;
    bool GetPropReadOnly(TKoVarPropType Prop) const;
    TKoVarQuality PropQualityOfEmptyString(TKoVarPropType Prop) const;
    // The property of Props with the latest time stamp, the lowest on a tie; an empty set fails.
    TKoVarPropType NewestProp(TKoVarPropTypes Props) const;

    virtual TKoVarDataType GetPropDataType(TKoVarPropType Prop) const;
    virtual bool GetPropIsArray(TKoVarPropType Prop) const;
    virtual bool PropSupported(TKoVarPropType Prop) const;

    // Value, quality and time stamp of vpValue. Typed variables hide GetValue and SetValue
    // with typed ones; these stay reachable as TKoVar's.
    TKoOleVariant GetValue() const { return GetPropValue(vpValue); }
    void SetValue(const VARIANT& Value) { SetPropValue(vpValue, Value); }
    TKoVarQuality Quality() const { return FPropQuality[vpValue]; }
    double TimeStamp() const { return FPropTimestamp[vpValue]; }
    bool IsBad() const { return Quality() == vpqBad; }
    bool IsGood() const { return Quality() == vpqGood; }
    bool IsUncertain() const { return Quality() == vpqUncertain; }

    // ---- writing properties ----

    // A value of bad quality undefines the property; any other goes to SetPropValueGood.
    void SetPropValue(TKoVarPropType Prop, const VARIANT& AValue);
    // Stores a good value into a property. The base stores the four texts; any other property
    // fails with EKoReadOnly. Typed variables handle their own properties and pass the rest on.
    virtual void SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value);
    // Writes a value with an explicit quality and time stamp; a time stamp not above 0 is
    // ignored. With DoChangingEvents false the changing handlers still run but cannot veto.
    void SetPropValueAt(TKoVarPropType Prop, const VARIANT& AValue, TKoVarQuality AQuality, double ATimeStamp,
                        bool DoChangingEvents, TKoVarDataType DataType, bool IsArray);
    void SetPropQuality(TKoVarPropType Prop, TKoVarQuality AQuality);
    // Bad quality stamped ATimestamp (0: now, UTC).
    void Undefine(TKoVarPropType Prop, double ATimestamp);
    void UndefineProps(TKoVarPropTypes Props, double ATimestamp);
    // Bad quality and no time stamp.
    void Invalidate(TKoVarPropType Prop);
    void InvalidateProps(TKoVarPropTypes Props);
    // Every property bad, time stamps kept.
    virtual void Clear();
    // Copies all properties of another variable.
    virtual void Assign(TKoComponent* Source);
    // Copies Props from Source one by one; a property that fails is left as it was.
    void CopyProps(TKoVarPropTypes Props, TKoVar* Source);

    // ---- update brackets ----

    void BeginUpdate() { ++FUpdateCount; }
    // Runs Body inside one update bracket: what it changes is delivered in one notification at
    // the end; when Body fails the bracket is closed without hiding Body's error.
    template <class TBody> void Updating(TBody&& Body) {
        BeginUpdate();
        try {
            Body();
        } catch (...) {
            EndUpdateAfterError();
            throw;
        }
        EndUpdate();
    }
    // At the outermost end delivers one notification of everything changed inside.
    void EndUpdate();
    void BeginUpdateProp(TKoVarPropType Prop);
    void BeginUpdateProps(TKoVarPropTypes Props);
    void EndUpdateProp(TKoVarPropType Prop, TKoVarQuality Quality, bool CallChanging, double Timestamp);
    void EndUpdateProps(TKoVarPropTypes Props, TKoVarQuality Quality, bool CallChanging, double Timestamp);
    bool IsUpdatingProp(TKoVarPropType Prop) const { return FUpdatingProps[Index(Prop)] > 0; }
    int32_t UpdateCount() const { return FUpdateCount; }
    TKoVarPropTypes ChangedProps() const { return FChangedProps; }

    // ---- alarm state ----

    virtual TKoVarAlarmState GetAlarmStateForValue(const VARIANT& AValue);

    // ---- quality of values ----

    static TKoVarQuality QualityOfFloat(double AValue);
    static TKoVarQuality QualityOfSingle(float AValue);
    static TKoVarQuality QualityOfInteger(int32_t AValue);
    static TKoVarQuality QualityOfInt64(int64_t AValue);
    static TKoVarQuality QualityOfDateTime(double AValue);
    static TKoVarQuality QualityOfString(std::wstring_view AValue, TKoVarQuality QualityOfEmptyString);
    static TKoVarQuality QualityOfVariant(const VARIANT& AValue, TKoVarQuality QualityOfEmptyString);

    // ---- typed access ----

    // A property of bad quality reads as the bad value of the type; GetPropAsBool fails then.
    bool GetPropAsBool(TKoVarPropType Prop);
    double GetPropAsDateTime(TKoVarPropType Prop);
    double GetPropAsFloat(TKoVarPropType Prop);
    int64_t GetPropAsInt64(TKoVarPropType Prop);
    int32_t GetPropAsInteger(TKoVarPropType Prop);
    uint32_t GetPropAsLongWord(TKoVarPropType Prop);
    std::wstring GetPropAsString(TKoVarPropType Prop);
    TKoOleVariant GetPropAsDataType(TKoVarPropType Prop, TKoVarDataType DataType);
    TKoOleVariant GetPropAsArray(TKoVarPropType Prop, TKoVarDataType DataType);
    std::wstring GetValueAsString() { return GetPropAsString(vpValue); }

    // Converts a given value as property Prop would.
    TKoOleVariant GetVarPropValueAsDataType(TKoVarPropType Prop, const VARIANT& V, TKoVarDataType DataType);
    virtual TKoOleVariant GetVarPropValueAsArray(TKoVarPropType Prop, const VARIANT& V,
                                                 TKoVarDataType DataType);
    virtual bool GetVarPropValueAsBool(TKoVarPropType Prop, const VARIANT& V);
    virtual double GetVarPropValueAsDateTime(TKoVarPropType Prop, const VARIANT& V);
    virtual double GetVarPropValueAsFloat(TKoVarPropType Prop, const VARIANT& V);
    virtual uint32_t GetVarPropValueAsLongWord(TKoVarPropType Prop, const VARIANT& V);
    virtual int64_t GetVarPropValueAsInt64(TKoVarPropType Prop, const VARIANT& V);
    virtual int32_t GetVarPropValueAsInteger(TKoVarPropType Prop, const VARIANT& V);
    virtual std::wstring GetVarPropValueAsString(TKoVarPropType Prop, const VARIANT& V);
    // "#BAD" for a bad value, dates and Booleans as this variable shows them, else the value's text.
    std::wstring VarToDisplayString(const VARIANT& V, TKoVarQuality QualityOfEmptyString);

    // A bad value (by the rule of the type) undefines the property.
    void SetPropAsBool(TKoVarPropType Prop, bool V);
    void SetPropAsDateTime(TKoVarPropType Prop, double V);
    void SetPropAsFloat(TKoVarPropType Prop, double V);
    void SetPropAsInt64(TKoVarPropType Prop, int64_t V);
    void SetPropAsInteger(TKoVarPropType Prop, int32_t V);
    void SetPropAsLongWord(TKoVarPropType Prop, uint32_t V);
    void SetPropAsString(TKoVarPropType Prop, const std::wstring& V);
    void SetValueAsString(const std::wstring& V) { SetPropAsString(vpValue, V); }
    virtual void SetPropAsArray(TKoVarPropType Prop, const VARIANT& Value, TKoVarDataType DataType);
    virtual void SetPropAsDataType(TKoVarPropType Prop, const VARIANT& Value, TKoVarDataType DataType);

    // ---- text conversions ----

    virtual std::wstring BoolToStr(bool V);
    virtual std::wstring DateTimeToStr(double V);
    // True or false in any letter case, or a number (0 is false).
    virtual bool StrToBool(const std::wstring& V);
    // Decimal, or hexadecimal with a leading "$" or "0x".
    virtual int32_t StrToInt(const std::wstring& V);
    virtual int64_t StrToInt64(const std::wstring& V);

    virtual void Debug(const std::wstring& /*VarName*/) {}

protected:
    void Loaded() override;
    void Notification(TKoComponent* AComponent, TKoOperation Operation) override;
    void BeforeDestruction() override;

    static size_t Index(TKoVarPropType Prop);

    // ---- the write path ----

    // The gate of every change: false when nothing would change or a handler took the write
    // over; fails for a read-only property, a veto or a range error.
    virtual bool CanChange(TKoVarPropType Prop, VARIANT& Value, int ArrayElementIndex, int ArrayLength,
                           TKoVarQuality& Quality);
    virtual bool CanChangeFloat(TKoVarPropType Prop, double& Value, TKoVarQuality& Quality);
    virtual bool CanChangeInteger(TKoVarPropType Prop, int32_t& Value, TKoVarQuality& Quality);
    virtual bool CanChangeString(TKoVarPropType Prop, std::wstring& Value, TKoVarQuality& Quality);
    bool PropEquals(TKoVarPropType Prop, const VARIANT& AValue, TKoVarQuality AQuality, int ArrayElementIndex,
                    int ArrayLength);
    virtual TKoVarChangingResponse DoChanging(TKoVarPropType Prop, VARIANT& Value, TKoVarQuality& Quality);
    [[noreturn]] void ChangeRejectError(TKoVarPropType Prop, const VARIANT& Value, const EKoError* Error,
                                        const wchar_t* ErrorClass, TKoVarQuality Quality);
    [[noreturn]] void ReadOnlyError();
    virtual void CheckRange(TKoVarPropType Prop, const VARIANT& Value, TKoVarQuality& Quality);
    virtual void RangeError(TKoVarPropType Prop, const VARIANT& Value, TKoVarQuality& Quality);
    virtual bool InRange(TKoVarPropType Prop, const VARIANT& AValue);
    virtual std::wstring GetRangeErrorText(TKoVarPropType Prop, const VARIANT& Value);

    // The typed-setter pattern for a property stored in Field: quality of the value, the
    // gate, then store, stamp now and end the bracket (with the changing call when asked).
    void SetFloatProp(TKoVarPropType Prop, double& Field, double Value, bool CallChanging);
    void SetIntegerProp(TKoVarPropType Prop, int32_t& Field, int32_t Value, bool CallChanging);
    // EmptyQuality: the quality an empty text gets.
    void SetStringProp(TKoVarPropType Prop, std::wstring& Field, std::wstring Value,
                       TKoVarQuality EmptyQuality, bool CallChanging);
    void SetBoolProp(TKoVarPropType Prop, bool& Field, bool Value, bool CallChanging);

    // ---- bookkeeping ----

    virtual void UpdateProp(TKoVarPropType Prop, TKoVarQuality Quality, double Timestamp);
    void UpdateProps(TKoVarPropTypes Props, TKoVarQuality Quality, double Timestamp);
    virtual void InternalInvalidateProp(TKoVarPropType Prop);
    void ResetValidity();
    // Ends a bracket on the way out of an error: balances the counters and swallows any
    // error of the notification, so that the first error is the one reported.
    void EndUpdatePropAfterError(TKoVarPropType Prop) noexcept;
    void EndUpdateAfterError() noexcept;
    void IncludeChanged(TKoVarPropType Prop) { FChangedProps.Include(Prop); }

    // ---- notification ----

    void Changed();
    virtual void Update() {}
    virtual void UpdateAlarmState();
    virtual void DoChange();
    void ConfigChanged();
    void RangeChanged();
    virtual void DoRangeChange();
    virtual TKoVarAlarmState DoGetAlarmStateForValue(const VARIANT& /*Value*/) { return asNormal; }

    // ---- values ----

    virtual void ApplyInitialValue();
    virtual TKoOleVariant GetInitialValue();
    // The stored value of a property whose quality is not bad.
    virtual TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const;

    virtual bool GetPropAsBoolGood(TKoVarPropType Prop);
    virtual TKoOleVariant GetPropAsDataTypeGood(TKoVarPropType Prop, TKoVarDataType DataType);
    virtual double GetPropAsDateTimeGood(TKoVarPropType Prop);
    virtual double GetPropAsFloatGood(TKoVarPropType Prop);
    virtual int64_t GetPropAsInt64Good(TKoVarPropType Prop);
    virtual uint32_t GetPropAsLongWordGood(TKoVarPropType Prop);
    virtual int32_t GetPropAsIntegerGood(TKoVarPropType Prop);
    virtual std::wstring GetPropAsStringGood(TKoVarPropType Prop);
    virtual TKoOleVariant GetVarPropValueAsDataTypeGood(TKoVarPropType Prop, const VARIANT& V,
                                                        TKoVarDataType DataType);

    virtual void SetPropAsBoolGood(TKoVarPropType Prop, bool V);
    virtual void SetPropAsDateTimeGood(TKoVarPropType Prop, double V);
    virtual void SetPropAsFloatGood(TKoVarPropType Prop, double V);
    virtual void SetPropAsInt64Good(TKoVarPropType Prop, int64_t V);
    virtual void SetPropAsLongWordGood(TKoVarPropType Prop, uint32_t V);
    virtual void SetPropAsIntegerGood(TKoVarPropType Prop, int32_t V);
    virtual void SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V);

private:
    void InitID();
    // Runs a handler and reports its error as EKoVarException naming the handler.
    template <class THandler, class... TArgs>
    void CallHandler(const wchar_t* HandlerName, THandler& Handler, TArgs&&... Args);
    TKoVarChangingResponse AskChanging(TKoVarPropType Prop, VARIANT& Value, TKoVarQuality& Quality);

    TKoVarAccess FAccess = daFull;
    std::wstring FAlarmHelp;
    TKoVarAlarmMode FAlarmMode = amOff;
    TKoVarAlarmState FAlarmState = asNormal;
    std::wstring FAlarmText;
    std::wstring FCaption;
    TKoVarChangeFilter FChangeFilter = cfQualityValue;
    std::unique_ptr<TKoVarChangeSignal> FChangeSignal;
    std::wstring FDescription;
    std::wstring FDisplayFormat;
    int32_t FID = 0;
    TKoVarQuality FInitialQuality = vpqBad;
    std::array<TKoVarQuality, KoVarPropTypeCount> FPropQuality{};
    std::array<double, KoVarPropTypeCount> FPropTimestamp{};
    TKoVarQuality FQualityOfEmptyString = vpqBad;
    TKoVarRangeMode FRangeMode = rmNone;
    bool FReadOnly = false;
    TKoVarPropTypes FChangedProps;
    int32_t FUpdateCount = 0;
    std::array<uint8_t, KoVarPropTypeCount> FUpdatingProps{};
    // While the handlers are told: what they change is gathered for a notification of its own.
    bool FNotifying = false;
    TKoVarPropTypes FLateProps;
};
