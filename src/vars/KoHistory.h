#pragma once
// The history of one property of another variable: a float array whose samples are the
// property's values over time, taken through a history link.
//
//   TKoVarLink
//   └─ TKoHistoryVarLink   samples the property on each change (at most one sample per sample
//                          width, with an aggregate over the width and an optional deadband) or
//                          on a timer, and reports only the samples as its changes
//   TKoCustomFloatArray
//   └─ TKoHistoryArray     appends every sample of its link at the sample's time stamp, and
//                          follows the variable's caption, unit, range and limits
//
// Positions are date-times (days); the sampling interval in milliseconds and the sample width
// in days are the same quantity.

#include <cstdint>
#include <memory>

#include "KoArrays.h"
#include "KoTimers.h"
#include "KoVarLinks.h"

enum TKoHistoryAggregate : int { agRaw, agMean, agMax, agMin };

enum TKoHistorySamplingMode : int { smChange, smTimer };

class TKoHistoryVarLink : public TKoVarLink {
public:
    TKoHistoryVarLink();
    ~TKoHistoryVarLink() override;

    TKoHistoryAggregate Aggregate() const { return FAggregate; }
    void SetAggregate(TKoHistoryAggregate Value);
    // A sample of a double property needs a move of at least this much (0: any move).
    double Deadband() const { return FDeadband; }
    void SetDeadband(double Value) { FDeadband = Value; }
    // The distance of the samples in days.
    double SampleWidth() const { return FSampleWidth; }
    void SetSampleWidth(double Value);
    // The sample width in milliseconds, rounded.
    int32_t SamplingInterval() const;
    void SetSamplingInterval(int32_t Value);
    TKoHistorySamplingMode SamplingMode() const { return FSamplingMode; }
    void SetSamplingMode(TKoHistorySamplingMode Value);

    // Once a sample was taken: the sample's value, quality and time.
    double GetAsFloat() override;
    TKoVarQuality GetQuality() override;
    double GetTimestamp() override;

    // Takes a sample of the property's current value now and reports it (the timer's tick).
    void Sample();

    // A limit or the setpoint of the variable changed.
    TKoPersistentNotifyEvent OnSpecsChange;

protected:
    void VarChange(TKoVar* Sender, TKoVarPropTypes Props) override;
    void DoConfig() override;

private:
    void Accumulate(double Value, double Time);
    double AggregateResult(double Value, double Time) const;
    void TakeSample(double Value, TKoVarQuality Quality, double Time);
    void UpdateTimer();
    bool Sampled() const { return FLastSampleTime > 0; }

    double FSampleWidth = 1000.0 / 86400000.0;
    TKoHistoryAggregate FAggregate = agRaw;
    // Mean: the sum of value x time since the last sample; maximum and minimum: the extreme.
    double FAggregateValue = 0;
    double FDeadband = 0;
    // The value held since FLastAggregateTime.
    double FLastAggregateTime = 0;
    TKoVarQuality FLastQuality = vpqBad;
    double FLastSampleTime = 0;
    double FLastValue = KoBadFloat;
    double FLastAggregateValue = KoBadFloat;
    TKoHistorySamplingMode FSamplingMode = smChange;
    std::unique_ptr<TKoTimer> Timer;
};

class TKoHistoryArray : public TKoCustomFloatArray {
public:
    explicit TKoHistoryArray(TKoComponent* AOwner);
    ~TKoHistoryArray() override;
    const wchar_t* ClassName() const override { return L"TKoHistoryArray"; }

    TKoHistoryVarLink& Link() const { return *FLink; }

    // ---- passed to the link ----

    bool Active() const { return FLink->Active(); }
    void SetActive(bool Value) { FLink->SetActive(Value); }
    TKoHistoryAggregate Aggregate() const { return FLink->Aggregate(); }
    void SetAggregate(TKoHistoryAggregate Value) { FLink->SetAggregate(Value); }
    double Deadband() const { return FLink->Deadband(); }
    void SetDeadband(double Value) { FLink->SetDeadband(Value); }
    int32_t SamplingInterval() const { return FLink->SamplingInterval(); }
    void SetSamplingInterval(int32_t Value) { FLink->SetSamplingInterval(Value); }
    TKoHistorySamplingMode SamplingMode() const { return FLink->SamplingMode(); }
    void SetSamplingMode(TKoHistorySamplingMode Value) { FLink->SetSamplingMode(Value); }
    TKoVar* Variable() const { return FLink->Variable(); }
    void SetVariable(TKoVar* Value) { FLink->SetVariable(Value); }
    TKoVarPropType VarProp() const { return FLink->VarProp(); }
    void SetVarProp(TKoVarPropType Value) { FLink->SetVarProp(Value); }

    // ---- what follows the variable ----

    bool VarCaption() const { return FVarCaption; }
    void SetVarCaption(bool Value) { FVarCaption = Value; }
    bool VarEngUnit() const { return FVarEngUnit; }
    void SetVarEngUnit(bool Value) { FVarEngUnit = Value; }
    bool VarRange() const { return FVarRange; }
    void SetVarRange(bool Value) { FVarRange = Value; }
    bool VarSpecs() const { return FVarSpecs; }
    void SetVarSpecs(bool Value) { FVarSpecs = Value; }

    // ---- time axis ----

    double StartTime() const { return FirstPos(); }
    void SetStartTime(double Value) { SetFirstPos(Value); }
    double EndTime() const { return LastPos(); }
    // Moves the start so that the samples end at Value.
    void SetEndTime(double Value);
    // Capacity x SamplingInterval in milliseconds.
    int64_t TotalInterval() const;
    void SetTotalInterval(int64_t Value);
    double Timestamps(int32_t Index) const { return Positions(Index); }

    // Empties the history and, with a variable, starts it with the variable's current value.
    void Reset();

private:
    void LinkChange();
    void LinkConfig();
    // Copies the variable's limits and setpoint; with element limits they go into the last
    // element, outside the uniform mode as a sample of their own when they are newer.
    void FollowSpecs(bool AddSamples);

    std::unique_ptr<TKoHistoryVarLink> FLink;
    bool FVarCaption = true;
    bool FVarEngUnit = true;
    bool FVarRange = true;
    bool FVarSpecs = true;
};
