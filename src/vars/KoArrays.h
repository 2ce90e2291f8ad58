#pragma once
// The float array variable: a floating-point process variable whose value is a sequence of
// samples along an axis of positions (a distance, a time), such as a temperature profile or a
// trend.
//
// TKoCustomFloatArray keeps what TKoCustomFloat offers (range, limits, alarm mode, statistics,
// engineering unit) and adds the sample storage, the position axis, an optional ring buffer,
// optional per-element limits, setpoints and alarm states, and optional labels.
//
// Indices: element i is valid for FirstIndex <= i <= LastIndex (= FirstIndex + Length - 1). The
// storage has Capacity slots; element i lives in slot i - FirstIndex, or, for a ring that has
// wrapped, (i - FirstIndex + IndexPointer) mod Capacity. Every access checks its index against
// that window before touching a slot, and FirstIndex + Length - 1 is kept within 32 bits, so
// that no index, length or position arithmetic can wrap around into the storage.
//
// Positions: with a uniform sample width the position of element i is
// FirstPos + (i - FirstIndex) * SampleWidth; in the other modes every slot stores its own.
//
// Invariants kept by every operation: Length <= Capacity; every per-slot store (values,
// positions, element limits and setpoints, statuses, labels) has Capacity entries; IndexPointer
// is 0 unless a ring has wrapped, and a ring has wrapped only while Length = Capacity.

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KoNumVars.h"
#include "KoOle.h"
#include "KoVars.h"

enum TKoFloatArrayElementType : int { etDouble, etSingle };

enum TKoFloatArrayMode : int { amUniformSampleWidth, amVariableSampleWidth, amFreeSamples };

// Misuse of the array properties: an element of a property that is no array here.
class EKoArrayPropError : public EKoVarException {
public:
    using EKoVarException::EKoVarException;
    const wchar_t* ClassName() const noexcept override { return L"EKoArrayPropError"; }
};

class TKoCustomFloatArray : public TKoCustomFloat {
public:
    explicit TKoCustomFloatArray(TKoComponent* AOwner);
    const wchar_t* ClassName() const override { return L"TKoCustomFloatArray"; }

    // ---- configuration ----

    // Per-element limits, setpoints and alarm states.
    bool ArraySpecs() const { return FArraySpecs; }
    void SetArraySpecs(bool Value) { FArraySpecs = Value; }
    int32_t Capacity() const { return static_cast<int32_t>(FSlots.Values.size()); }
    // A capacity below Length shortens the array first; a negative one counts as 0.
    void SetCapacity(int32_t Value);
    bool Circular() const { return FCircular; }
    // Turning a wrapped ring into a plain array puts its elements into index order first.
    void SetCircular(bool Value);
    TKoFloatArrayElementType ElementType() const { return FElementType; }
    // Fails with EKoArrayPropError while the array holds elements.
    void SetElementType(TKoFloatArrayElementType Value);
    int32_t FirstIndex() const { return FFirstIndex; }
    void SetFirstIndex(int32_t Value);
    TKoFloatArrayMode Mode() const { return FMode; }
    // Clears the values; uniform: SampleWidth 1 and FirstPos 0; other modes: SampleWidth 0.
    void SetMode(TKoFloatArrayMode Value);
    bool PosIsDateTime() const { return FPosIsDateTime; }
    void SetPosIsDateTime(bool Value) { FPosIsDateTime = Value; }
    const std::wstring& PosUnit() const { return FPosUnit; }
    void SetPosUnit(const std::wstring& Value);
    double SampleWidth() const { return FSampleWidth; }
    // A width other than 0 selects the uniform mode; 0 leaves it for variable widths.
    void SetSampleWidth(double Value);
    bool UseLabels() const { return FUseLabels; }
    void SetUseLabels(bool Value);

    // ---- size ----

    int32_t Length() const { return FLength; }
    // Grows the capacity when needed; new elements are bad. A negative length counts as 0.
    void SetLength(int32_t Value);
    int32_t LastIndex() const { return static_cast<int32_t>(int64_t{FFirstIndex} + FLength - 1); }
    int32_t IndexPointer() const { return FIndexPointer; }
    double TotalWidth() const;
    void SetTotalWidth(double Value);

    // ---- positions ----

    double FirstPos() const;
    void SetFirstPos(double Value);
    double LastPos() const;
    double MaxPos() const;
    double MinPos() const;
    double PosOfIndex(int32_t Index) const;
    // The index of the sample at or before APos; fails with EKoRangeError when there is none.
    int32_t IndexOfPos(double APos) const;
    double Positions(int32_t Index) const;
    void SetPositions(int32_t Index, double Value);

    // ---- values ----

    // KoBadFloat while the value's quality is bad.
    double Values(int32_t Index) const;
    void SetValues(int32_t Index, double Value);
    std::wstring ValuesAsString(int32_t Index);
    void SetValuesAsString(int32_t Index, const std::wstring& Value);
    TKoVarQuality Qualities(int32_t Index) const { return QualityOfFloat(Values(Index)); }
    // The element at LastIndex; KoBadFloat when the array is empty.
    double LastValue() const;

    // One element holding AValue.
    void SetValue(double AValue) override;
    // Adds AValue to every good element.
    void AddValue(double AValue) override;
    // Another float array: element by element over the indices both hold; any other variable:
    // its value to every good element.
    void Add(TKoCustomFloat& OtherVar) override;
    void ClearValues();
    // Drops the trailing elements that are bad or equal to Reference unless none would be left.
    void TrimLast(double Reference);
    // Direct access to the Capacity slots of the storage (slot order, nullptr without slots)
    // inside one update bracket; every Lock is ended by one Unlock, which makes the value good
    // and recomputes the statistics.
    double* Lock();
    void Unlock();
    // Makes the array HighIndex + 1 elements long and stores AValues[0 .. HighIndex] in order.
    void AssignArray(const double* AValues, int32_t HighIndex);
    // Fills every slot with a random walk around Mean (spread StdDev) from the process's random
    // source; Length becomes Capacity.
    void FillRandom(double Mean, double StdDev);

    TKoOleVariant AsVariant() const { return GetPropValue(vpValue); }
    void SetAsVariant(const VARIANT& Value) { SetPropValue(vpValue, Value); }

    // ---- appending samples ----

    // Appends AValue at APosition (a bad position: the next one) and returns LastIndex.
    int32_t AppendValueAt(double AValue, double APosition, double ATimestamp);
    int32_t AppendValue(double AValue);
    // Appends another variable's value; another float array fails with EKoNotImplemented.
    void AppendAt(TKoVar& OtherVar, double APosition, double ATimestamp);
    void Append(TKoVar& OtherVar);

    // ---- per-element limits, setpoints, states and labels ----

    // With ArraySpecs the element's own; otherwise the variable's.
    double AlarmHighs(int32_t Index) const { return ElementSpec(vpAlarmHigh, Index); }
    double AlarmLows(int32_t Index) const { return ElementSpec(vpAlarmLow, Index); }
    double WarnHighs(int32_t Index) const { return ElementSpec(vpWarnHigh, Index); }
    double WarnLows(int32_t Index) const { return ElementSpec(vpWarnLow, Index); }
    double Setpoints(int32_t Index) const { return ElementSpec(vpSetpoint, Index); }
    // Without ArraySpecs these fail with EKoArrayPropError.
    void SetAlarmHighs(int32_t Index, double Value) { SetElement(vpAlarmHigh, Index, Value); }
    void SetAlarmLows(int32_t Index, double Value) { SetElement(vpAlarmLow, Index, Value); }
    void SetWarnHighs(int32_t Index, double Value) { SetElement(vpWarnHigh, Index, Value); }
    void SetWarnLows(int32_t Index, double Value) { SetElement(vpWarnLow, Index, Value); }
    void SetSetpoints(int32_t Index, double Value) { SetElement(vpSetpoint, Index, Value); }
    TKoVarAlarmState Statuses(int32_t Index) const;
    std::wstring Labels(int32_t Index) const;
    void SetLabels(int32_t Index, const std::wstring& Value);

    // One element of an array property as a number (vpValue, vpOther, the limits and setpoint,
    // vpAlarmState); any other property fails with EKoArrayPropError.
    double GetPropElement(TKoVarPropType Prop, int32_t Index) const;

    // ---- statistics ----

    // Recomputes the statistics over all elements.
    void UpdateStats();
    // While the statistics wait for a recomputation, single values are not counted.
    void AddToStats(double AValue) override;
    void RemoveFromStats(double AValue) override;

    // ---- properties ----

    TKoVarDataType GetPropDataType(TKoVarPropType Prop) const override;
    bool GetPropIsArray(TKoVarPropType Prop) const override;
    bool PropSupported(TKoVarPropType Prop) const override;
    void SetPropValueGood(TKoVarPropType Prop, const VARIANT& Value) override;
    // The array's own alarm state stays normal; the elements carry theirs.
    TKoVarAlarmState GetAlarmStateForValue(const VARIANT& AValue) override;

protected:
    TKoOleVariant GetPropValueGood(TKoVarPropType Prop) const override;
    void SetPropAsStringGood(TKoVarPropType Prop, const std::wstring& V) override;
    bool InRange(TKoVarPropType Prop, const VARIANT& AValue) override;
    void RangeError(TKoVarPropType Prop, const VARIANT& Value, TKoVarQuality& Quality) override;
    void UpdateProp(TKoVarPropType Prop, TKoVarQuality Quality, double Timestamp) override;
    void Update() override;
    void UpdateAlarmState() override;

private:
    // Everything stored per slot, resized together.
    struct TSlots {
        std::vector<double> Values, Positions, AlarmHighs, AlarmLows, WarnHighs, WarnLows, Setpoints;
        std::vector<int8_t> Statuses; // a TKoVarAlarmState, or BadStatus
        std::vector<std::wstring> Labels;
        void Resize(size_t Count);
        // Moves the slots First .. Last - 1 so that Middle comes first (std::rotate on each).
        void Rotate(size_t First, size_t Middle, size_t Last);
    };
    static constexpr int8_t BadStatus = -1;

    bool IsRing() const { return FCircular && !FSlots.Values.empty(); }
    // The slot of element Index; EKoRangeError for an index outside FirstIndex .. LastIndex.
    size_t SlotOf(int64_t Index) const;
    [[noreturn]] void IndexError(int64_t Index) const;
    // Fails unless First + Count - 1 fits a 32-bit index.
    void CheckIndexSpan(int64_t First, int64_t Count) const;
    std::vector<double>& SpecField(TKoVarPropType Prop);
    const std::vector<double>& SpecField(TKoVarPropType Prop) const;
    double ElementSpec(TKoVarPropType Prop, int32_t Index) const;
    // The element write of values, limits and setpoints.
    void SetElement(TKoVarPropType Prop, int32_t Index, double Value);
    // The gate of an element write: false when nothing changes or a handler took the write
    // over; Value and Quality as the handlers and the range rule left them.
    bool CanChangeElement(TKoVarPropType Prop, size_t Slot, double& Value, TKoVarQuality& Quality);
    // The part of the gate after the comparison: read-only and the changing handlers outside an
    // update bracket of Prop, then the range rule; a value judged bad becomes KoBadFloat.
    bool GateElement(TKoVarPropType Prop, double& Value, TKoVarQuality& Quality);
    // The variable's own limit or setpoint; KoBadFloat while it is bad.
    double ScalarSpec(TKoVarPropType Prop) const;
    // A number as the storage holds it: bad values as KoBadFloat, singles rounded.
    double Normalized(double V) const;
    double StoredPos(int64_t Index) const;
    TKoVarAlarmState ElementAlarmState(size_t Slot) const;
    void ResetSlot(size_t Slot);
    // Puts a wrapped ring into index order from slot 0.
    void Normalize();
    // Readies the slots for a new length: see SetLength.
    void PrepareSlots(int32_t NewLength);
    void InvalidateStats();
    // Empties the array without a notification (its value went bad from outside).
    void DropValues();
    // Marks Props changed and stamped now with quality Q, delivered at the outermost bracket.
    void Touch(TKoVarPropTypes Props, TKoVarQuality Q);
    // An array value as numbers, with its low bound.
    std::vector<double> ArrayNumbers(const VARIANT& V, LONG& Low) const;
    // The entries of a per-slot store for the elements FirstIndex .. LastIndex, in index order.
    std::vector<double> InIndexOrder(const std::vector<double>& Field) const;
    void StoreValues(const VARIANT& V);
    void StoreElements(std::vector<double>& Field, const VARIANT& V);

    bool FArraySpecs = false;
    bool FCircular = false;
    TKoFloatArrayElementType FElementType = etDouble;
    int32_t FFirstIndex = 0;
    TKoFloatArrayMode FMode = amUniformSampleWidth;
    bool FPosIsDateTime = false;
    bool FUseLabels = false;
    int32_t FLength = 0;
    double FFirstPos = 0; // uniform mode: the position of the first element
    std::wstring FPosUnit;
    double FSampleWidth = 1.0;
    TSlots FSlots;
    int32_t FIndexPointer = 0;
    bool FStatsInvalid = false;
    // The alarm mode the element statuses were computed with.
    TKoVarAlarmMode FStatusAlarmMode = amOff;
};

class TKoFloatArray : public TKoCustomFloatArray {
public:
    explicit TKoFloatArray(TKoComponent* AOwner) : TKoCustomFloatArray(AOwner) {}
    const wchar_t* ClassName() const override { return L"TKoFloatArray"; }
};
