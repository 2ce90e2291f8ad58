#include "KoHistory.h"

#include <cmath>
#include <limits>

#include "KoDiscreteVars.h"
#include "KoNumVars.h"
#include "KoUtils.h"

namespace {

constexpr double MsecPerDay = 86400000.0;
constexpr double OneMillisecond = 1.0 / MsecPerDay;
constexpr TKoVarPropTypes SpecProps{vpAlarmLow, vpAlarmHigh, vpWarnLow, vpWarnHigh, vpSetpoint};

bool GoodFloat(double V) {
    return TKoVar::QualityOfFloat(V) == vpqGood;
}

} // namespace

// ---- TKoHistoryVarLink ----

TKoHistoryVarLink::TKoHistoryVarLink() = default;

TKoHistoryVarLink::~TKoHistoryVarLink() {
    OnSpecsChange = nullptr;
    Timer.reset();
}

void TKoHistoryVarLink::SetAggregate(TKoHistoryAggregate Value) {
    if (Value == FAggregate) return;
    FAggregate = Value;
    // The interval under way starts again with the value held.
    FAggregateValue = FAggregate == agMean ? 0 : FLastAggregateValue;
}

void TKoHistoryVarLink::SetSampleWidth(double Value) {
    if (Value == FSampleWidth) return;
    FSampleWidth = Value;
    DoConfig();
}

int32_t TKoHistoryVarLink::SamplingInterval() const {
    return static_cast<int32_t>(std::lround(FSampleWidth * MsecPerDay));
}

void TKoHistoryVarLink::SetSamplingInterval(int32_t Value) {
    SetSampleWidth(Value / MsecPerDay);
}

void TKoHistoryVarLink::SetSamplingMode(TKoHistorySamplingMode Value) {
    if (Value == FSamplingMode) return;
    FSamplingMode = Value;
    DoConfig();
}

void TKoHistoryVarLink::DoConfig() {
    UpdateTimer();
    TKoVarLink::DoConfig();
}

void TKoHistoryVarLink::UpdateTimer() {
    const bool Wanted = FSamplingMode == smTimer && Variable() && Active() && SamplingInterval() > 0;
    if (!Wanted) {
        Timer.reset();
        return;
    }
    if (!Timer) {
        Timer = std::make_unique<TKoTimer>(nullptr);
        Timer->SetOnTimer([this](TKoComponent*) { Sample(); });
    }
    Timer->SetInterval(static_cast<unsigned>(SamplingInterval()));
    Timer->SetEnabled(true);
}

double TKoHistoryVarLink::GetAsFloat() {
    return Sampled() ? FLastValue : TKoVarLink::GetAsFloat();
}

TKoVarQuality TKoHistoryVarLink::GetQuality() {
    return Sampled() ? FLastQuality : TKoVarLink::GetQuality();
}

double TKoHistoryVarLink::GetTimestamp() {
    return Sampled() ? FLastSampleTime : TKoVarLink::GetTimestamp();
}

void TKoHistoryVarLink::Accumulate(double Value, double Time) {
    switch (FAggregate) {
    case agMean:
        // The value held so far counts for the time it was held.
        if (GoodFloat(FLastAggregateValue) && FLastAggregateTime > 0 && Time > FLastAggregateTime)
            FAggregateValue += FLastAggregateValue * (Time - FLastAggregateTime);
        break;
    case agMax:
        if (GoodFloat(Value) && (!GoodFloat(FAggregateValue) || Value > FAggregateValue))
            FAggregateValue = Value;
        break;
    case agMin:
        if (GoodFloat(Value) && (!GoodFloat(FAggregateValue) || Value < FAggregateValue))
            FAggregateValue = Value;
        break;
    default:
        break;
    }
    FLastAggregateValue = Value;
    FLastAggregateTime = Time;
}

double TKoHistoryVarLink::AggregateResult(double Value, double Time) const {
    switch (FAggregate) {
    case agMean: {
        const double Duration = Time - FLastSampleTime;
        if (!Sampled() || !(Duration > 0)) return Value;
        return FAggregateValue / Duration;
    }
    case agMax:
    case agMin:
        return GoodFloat(FAggregateValue) ? FAggregateValue : Value;
    default:
        return Value;
    }
}

void TKoHistoryVarLink::TakeSample(double Value, TKoVarQuality Quality, double Time) {
    FLastValue = Value;
    FLastQuality = Quality;
    FLastSampleTime = Time;
    // The next interval starts with the value held now.
    FAggregateValue = FAggregate == agMean ? 0 : FLastAggregateValue;
}

void TKoHistoryVarLink::VarChange(TKoVar* /*Sender*/, TKoVarPropTypes Props) {
    if (!(Props * SpecProps).Empty() && OnSpecsChange) OnSpecsChange(GetEventSender());
    if (Locked() || !Props.Contains(VarProp()) || !Variable() || FSamplingMode != smChange) return;
    const TKoVarQuality Q = TKoVarLink::GetQuality();
    const double V = Q == vpqBad ? KoBadFloat : TKoVarLink::GetAsFloat();
    const double T = TKoVarLink::GetTimestamp();
    Accumulate(V, T);
    bool Take;
    if (Q != FLastQuality && Q != vpqUncertain) {
        Take = true;
    } else {
        Take = T - FLastSampleTime >= FSampleWidth - OneMillisecond;
        if (Take && DataType() == vdtDouble && FDeadband != 0 && GoodFloat(V) && GoodFloat(FLastValue))
            Take = std::fabs(V - FLastValue) >= FDeadband;
    }
    if (!Take) return;
    TakeSample(AggregateResult(V, T), Q, T);
    Changed();
    if (Q == vpqBad) DoBadValue();
}

void TKoHistoryVarLink::Sample() {
    if (!Variable()) return;
    const TKoVarQuality Q = TKoVarLink::GetQuality();
    const double V = Q == vpqBad ? KoBadFloat : TKoVarLink::GetAsFloat();
    const double T = NowUTC();
    Accumulate(V, T);
    TakeSample(AggregateResult(V, T), Q, T);
    Changed();
}

// ---- TKoHistoryArray ----

TKoHistoryArray::TKoHistoryArray(TKoComponent* AOwner)
    : TKoCustomFloatArray(AOwner), FLink(std::make_unique<TKoHistoryVarLink>()) {
    SetPosIsDateTime(true);
    SetArraySpecs(true);
    FLink->SetSamplingInterval(1000);
    SetSampleWidth(FLink->SampleWidth());
    FLink->OnChange = [this](TKoPersistentBase*) { LinkChange(); };
    FLink->OnConfig = [this](TKoPersistentBase*) { LinkConfig(); };
    FLink->OnSpecsChange = [this](TKoPersistentBase*) { FollowSpecs(true); };
}

TKoHistoryArray::~TKoHistoryArray() {
    // The link reports nothing more to an array that is going away.
    FLink->OnChange = nullptr;
    FLink->OnConfig = nullptr;
    FLink->OnSpecsChange = nullptr;
    FLink.reset();
}

void TKoHistoryArray::SetEndTime(double Value) {
    SetStartTime(Value - Length() * SampleWidth());
}

int64_t TKoHistoryArray::TotalInterval() const {
    return int64_t{Capacity()} * SamplingInterval();
}

void TKoHistoryArray::SetTotalInterval(int64_t Value) {
    const int64_t Interval = SamplingInterval();
    if (Interval == 0) throw EKoException(L"Cannot set TotalInterval when SamplingInterval = 0");
    const int64_t Slots = Value > 0 ? (Value - 1) / Interval + 1 : 0;
    if (Slots > std::numeric_limits<int32_t>::max())
        throw EKoRangeError(KoFormat(L"%s: TotalInterval %d needs more than %d samples", VarPath(), Value,
                                     std::numeric_limits<int32_t>::max()));
    SetCapacity(static_cast<int32_t>(Slots));
}

void TKoHistoryArray::Reset() {
    TKoVar* Var = FLink->Variable();
    BeginUpdateProp(vpValue);
    try {
        ClearValues();
        if (Var && Var->GetPropTimestamp(FLink->VarProp()) > 0) {
            const double T = Var->GetPropTimestamp(FLink->VarProp());
            AppendValueAt(Var->GetPropAsFloat(FLink->VarProp()), T, T);
        }
    } catch (...) {
        EndUpdatePropAfterError(vpValue);
        throw;
    }
    EndUpdateProp(vpValue, Var ? vpqGood : vpqBad, false, 0);
}

void TKoHistoryArray::LinkChange() {
    if (!FLink->Variable() || !(FLink->Timestamp() > 0)) return;
    const double T = FLink->Timestamp();
    Updating([&] {
        AppendValueAt(FLink->AsFloat(), T, T);
        if (ArraySpecs()) FollowSpecs(false);
    });
}

void TKoHistoryArray::LinkConfig() {
    TKoVar* Var = FLink->Variable();
    Updating([&] {
        SetSampleWidth(FLink->SampleWidth());
        if (Var) {
            if (FVarCaption && Var->GetPropQuality(vpCaption) == vpqGood) SetCaption(Var->Caption());
            if (FVarEngUnit && Var->GetPropQuality(vpEngUnit) == vpqGood)
                SetEngUnit(Var->GetPropAsString(vpEngUnit));
            if (FVarRange) {
                if (auto* F = dynamic_cast<TKoCustomFloat*>(Var))
                    SetRange(F->RangeMin(), F->RangeMax());
                else if (auto* I = dynamic_cast<TKoCustomInteger*>(Var))
                    SetRange(I->RangeMin(), I->RangeMax());
                else if (dynamic_cast<TKoBool*>(Var))
                    SetRange(0, 1);
            }
            FollowSpecs(true);
        }
    });
}

void TKoHistoryArray::FollowSpecs(bool AddSamples) {
    auto* F = dynamic_cast<TKoCustomFloat*>(FLink->Variable());
    if (!F || !FVarSpecs) return;
    Updating([&] {
        for (TKoVarPropType Prop : {vpAlarmLow, vpAlarmHigh, vpWarnLow, vpWarnHigh, vpSetpoint}) {
            SetPropValue(Prop, F->GetPropValue(Prop));
            if (!ArraySpecs() || Length() == 0) continue;
            const double Stamp = F->GetPropTimestamp(Prop);
            if (AddSamples && Mode() != amUniformSampleWidth && Stamp > LastPos())
                AppendValueAt(LastValue(), Stamp, Stamp);
            const double Limit = F->GetPropQuality(Prop) == vpqBad ? KoBadFloat : F->GetPropAsFloat(Prop);
            switch (Prop) {
            case vpAlarmLow:
                SetAlarmLows(LastIndex(), Limit);
                break;
            case vpAlarmHigh:
                SetAlarmHighs(LastIndex(), Limit);
                break;
            case vpWarnLow:
                SetWarnLows(LastIndex(), Limit);
                break;
            case vpWarnHigh:
                SetWarnHighs(LastIndex(), Limit);
                break;
            default:
                SetSetpoints(LastIndex(), Limit);
                break;
            }
        }
    });
}
