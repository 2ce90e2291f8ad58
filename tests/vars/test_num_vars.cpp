// Numeric variables: range checks of integers, floats and date-times in every range mode, the
// float alarm rule, statistics, AddValue, the difference to the setpoint, typed access to the
// numeric properties and initial values.

#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "KoClasses.h"
#include "KoNumVars.h"
#include "KoUtils.h"

namespace {

template <class TError> void ExpectError(const std::function<void()>& Action, const std::wstring& Text) {
    try {
        Action();
        ADD_FAILURE() << "no error";
    } catch (const TError& E) {
        EXPECT_EQ(E.Message(), Text);
    }
}

// Outcome of one write under a range mode.
enum TOutcome { Stored, Refused, StoredBad };

const char* ModeName(TKoVarRangeMode Mode) {
    return Mode == rmNone ? "rmNone" : Mode == rmException ? "rmException" : "rmUndefine";
}

struct TChangeCounter {
    explicit TChangeCounter(TKoVar& Var) {
        Var.OnChange = [this](TKoVar*, TKoVarPropTypes Props) { Changes.push_back(Props); };
    }
    std::vector<TKoVarPropTypes> Changes;
};

// ---- integer range ----

TEST(IntegerRange, EachModeAtAndBeyondBothEnds) {
    struct Case {
        TKoVarRangeMode Mode;
        int32_t Value;
        TOutcome Outcome;
    };
    const Case Cases[] = {
        {rmException, 0, Stored},    {rmException, 100, Stored},   {rmException, -1, Refused},
        {rmException, 101, Refused}, {rmUndefine, 0, Stored},      {rmUndefine, 100, Stored},
        {rmUndefine, -1, StoredBad}, {rmUndefine, 101, StoredBad}, {rmNone, -1, Stored},
        {rmNone, 101, Stored},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << ModeName(C.Mode) << " " << C.Value);
        TKoInteger Var(nullptr);
        Var.SetName(L"I1");
        Var.SetRangeMin(0);
        Var.SetRangeMax(100);
        Var.SetRangeMode(C.Mode);
        Var.SetValue(50);
        if (C.Outcome == Refused) {
            ExpectError<EKoRangeError>([&] { Var.SetValue(C.Value); },
                                       L"Value " + std::to_wstring(C.Value) +
                                           L" out of range Variable=I1, VarProp=Value");
            EXPECT_EQ(Var.Value(), 50);
            EXPECT_EQ(Var.Quality(), vpqGood);
        } else {
            Var.SetValue(C.Value);
            EXPECT_EQ(Var.Value(), C.Value);
            EXPECT_EQ(Var.Quality(), C.Outcome == Stored ? vpqGood : vpqBad);
            EXPECT_EQ(Var.GetPropAsInteger(vpValue), C.Outcome == Stored ? C.Value : KoBadInteger);
        }
    }
}

TEST(IntegerRange, NoRangeUntilMinIsBelowMax) {
    // A fresh integer has the range 0 .. -1, which is no range at all.
    TKoInteger Var(nullptr);
    Var.SetRangeMode(rmException);
    for (int32_t V : {-2147483647 - 1, -5, 1000000, 2147483647}) {
        Var.SetValue(V);
        EXPECT_EQ(Var.Value(), V);
    }
    // Equal bounds are no range either.
    Var.SetRangeMin(7);
    Var.SetRangeMax(7);
    Var.SetValue(8);
    EXPECT_EQ(Var.Value(), 8);
}

TEST(IntegerRange, RangeChangeIsNotifiedOnlyWhenItChanges) {
    TKoInteger Var(nullptr);
    int Notified = 0;
    Var.OnRangeChange = [&](TKoComponent*) { ++Notified; };
    Var.SetRangeMax(100);
    Var.SetRangeMax(100);
    Var.SetRangeMin(0); // unchanged
    Var.SetRangeMin(-5);
    EXPECT_EQ(Notified, 2);
}

// ---- float range ----

class FloatRange : public ::testing::Test {
protected:
    FloatRange() {
        Var.SetName(L"F1");
        Var.SetRangeMax(100.0);
    }
    TKoFloat Var{nullptr};
};

TEST_F(FloatRange, EachModeAtAndBeyondBothEnds) {
    struct Case {
        TKoVarRangeMode Mode;
        double Value;
        const wchar_t* Text;
        TOutcome Outcome;
    };
    const Case Cases[] = {
        {rmException, 0.0, L"0", Stored},       {rmException, 100.0, L"100", Stored},
        {rmException, -0.1, L"-0.1", Refused},  {rmException, 100.5, L"100.5", Refused},
        {rmUndefine, 0.0, L"0", Stored},        {rmUndefine, 100.0, L"100", Stored},
        {rmUndefine, -0.1, L"-0.1", StoredBad}, {rmUndefine, 100.5, L"100.5", StoredBad},
        {rmNone, -0.1, L"-0.1", Stored},        {rmNone, 100.5, L"100.5", Stored},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << ModeName(C.Mode) << " " << C.Value);
        Var.SetRangeMode(rmNone);
        Var.SetValue(50.0);
        Var.SetRangeMode(C.Mode);
        if (C.Outcome == Refused) {
            ExpectError<EKoRangeError>(
                [&] { Var.SetValue(C.Value); },
                std::wstring(L"Value ") + C.Text +
                    L" out of range Variable=F1, VarProp=Value, Valid range = [0,100]");
            EXPECT_EQ(Var.Value(), 50.0);
        } else {
            Var.SetValue(C.Value);
            EXPECT_EQ(Var.Quality(), C.Outcome == Stored ? vpqGood : vpqBad);
            EXPECT_EQ(Var.Value(), C.Outcome == Stored ? C.Value : KoBadFloat);
        }
    }
}

TEST_F(FloatRange, LimitsAndSetpointAreSubjectToTheRange) {
    Var.SetRangeMode(rmException);
    Var.SetAlarmHigh(100.0);
    ExpectError<EKoRangeError>(
        [&] { Var.SetAlarmHigh(150.0); },
        L"Value 150 out of range Variable=F1, VarProp=High Alarm Limit, Valid range = [0,100]");
    EXPECT_EQ(Var.AlarmHigh(), 100.0);
    ExpectError<EKoRangeError>([&] { Var.SetPropAsFloat(vpSetpoint, -1.0); },
                               L"Value -1 out of range Variable=F1, VarProp=Setpoint, Valid range = [0,100]");
    EXPECT_EQ(Var.GetPropQuality(vpSetpoint), vpqBad);
}

TEST_F(FloatRange, BadValuesAreStoredBadWithoutRangeCheck) {
    Var.SetRangeMode(rmException);
    Var.SetValue(10.0);
    for (double Bad :
         {KoBadFloat, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(Bad);
        Var.SetValue(10.0);
        Var.SetValue(Bad);
        EXPECT_EQ(Var.Quality(), vpqBad);
        EXPECT_EQ(Var.Value(), KoBadFloat);
    }
}

TEST_F(FloatRange, UnsetBoundsAreIgnored) {
    Var.SetRangeMode(rmException);
    Var.SetRangeMin(KoBadFloat); // only the upper bound remains
    Var.SetValue(-1e9);
    EXPECT_EQ(Var.Value(), -1e9);
    EXPECT_THROW(Var.SetValue(100.5), EKoRangeError);
    Var.ClearRange();
    Var.SetValue(1e9);
    EXPECT_EQ(Var.Value(), 1e9);
    EXPECT_TRUE(Var.IsValueInRange(true));
}

TEST(FloatInRange, InclusiveAndExclusiveBounds) {
    struct Case {
        double Value;
        bool Inclusive, Expected;
    };
    const Case Cases[] = {{0, true, true},        {100, true, true},     {-0.001, true, false},
                          {100.001, true, false}, {0, false, false},     {100, false, false},
                          {0.001, false, true},   {99.999, false, true}, {std::nan(""), true, true}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << C.Value << (C.Inclusive ? " inclusive" : " exclusive"));
        EXPECT_EQ(TKoCustomFloat::InRange(C.Value, 0, 100, C.Inclusive), C.Expected);
    }
}

// ---- date-time range ----

class DateTimeRange : public ::testing::Test {
protected:
    DateTimeRange() {
        Var.SetName(L"D1");
        Var.SetDateTimeFormat(L"yyyy-mm-dd hh:nn");
        Var.SetMinDate(25569.0); // 1970-01-01
        Var.SetMaxDate(49674.0); // 2035-12-31
    }
    TKoDateTime Var{nullptr};
};

TEST_F(DateTimeRange, EachModeAtAndBeyondBothEnds) {
    struct Case {
        TKoVarRangeMode Mode;
        double Value;
        const wchar_t* Text;
        TOutcome Outcome;
    };
    const Case Cases[] = {
        {rmException, 25569.0, nullptr, Stored},
        {rmException, 49674.0, nullptr, Stored},
        {rmException, 25568.5, L"1969-12-31 12:00", Refused},
        {rmException, 49674.25, L"2035-12-31 06:00", Refused},
        {rmUndefine, 25568.5, nullptr, StoredBad},
        {rmUndefine, 49674.25, nullptr, StoredBad},
        {rmNone, 25568.5, nullptr, Stored},
        {rmNone, 49674.25, nullptr, Stored},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << ModeName(C.Mode) << " " << C.Value);
        Var.SetRangeMode(rmNone);
        Var.SetValue(30000.0);
        Var.SetRangeMode(C.Mode);
        if (C.Outcome == Refused) {
            ExpectError<EKoRangeError>([&] { Var.SetValue(C.Value); },
                                       std::wstring(L"Date '") + C.Text +
                                           L"' out of range, Variable=D1, VarProp=Value, "
                                           L"Valid range=[1970-01-01 00:00,2035-12-31 00:00]");
            EXPECT_EQ(Var.Value(), 30000.0);
        } else {
            Var.SetValue(C.Value);
            EXPECT_EQ(Var.Quality(), C.Outcome == Stored ? vpqGood : vpqBad);
            EXPECT_EQ(Var.Value(), C.Outcome == Stored ? C.Value : KoBadDateTime);
        }
    }
}

TEST_F(DateTimeRange, DatesOutsideTheCalendarAreBadWithoutRangeCheck) {
    Var.SetRangeMode(rmException);
    for (double Bad : {-0.5, -0.01, -657435.0, 2958466.0, KoBadFloat}) {
        SCOPED_TRACE(Bad);
        Var.SetValue(30000.0);
        Var.SetValue(Bad);
        EXPECT_EQ(Var.Quality(), vpqBad);
        EXPECT_EQ(Var.Value(), KoBadDateTime);
        EXPECT_EQ(Var.GetPropAsString(vpValue), L"#BAD");
    }
}

// ---- alarm states ----

// KoFloat1 of the modules: alarms at 20 and 80, warnings at 30 and 70, range 0 .. 100.
class FloatAlarms : public ::testing::Test {
protected:
    FloatAlarms() {
        Var.SetRangeMax(100.0);
        Var.SetRangeMode(rmException);
        Var.SetAlarmLow(20.0);
        Var.SetWarnLow(30.0);
        Var.SetWarnHigh(70.0);
        Var.SetAlarmHigh(80.0);
    }
    TKoVarAlarmState StateFor(double V) {
        Var.SetValue(V);
        EXPECT_EQ(Var.GetPropQuality(vpAlarmState), Var.AlarmMode() == amOff ? vpqBad : vpqGood);
        return Var.AlarmState();
    }
    TKoFloat Var{nullptr};
};

TEST_F(FloatAlarms, StatesAsLimitsAreCrossedInEachMode) {
    struct Case {
        TKoVarAlarmMode Mode;
        double Value;
        TKoVarAlarmState Expected;
    };
    const Case Cases[] = {
        {amAlarmsAndWarnings, 0.0, asAlarm},
        {amAlarmsAndWarnings, 20.0, asAlarm},
        {amAlarmsAndWarnings, 20.1, asWarning},
        {amAlarmsAndWarnings, 30.0, asWarning},
        {amAlarmsAndWarnings, 50.0, asNormal},
        {amAlarmsAndWarnings, 69.9, asNormal},
        {amAlarmsAndWarnings, 70.0, asWarning},
        {amAlarmsAndWarnings, 79.9, asWarning},
        {amAlarmsAndWarnings, 80.0, asAlarm},
        {amAlarmsAndWarnings, 100.0, asAlarm},
        {amAlarms, 20.0, asAlarm},
        {amAlarms, 25.0, asNormal},
        {amAlarms, 75.0, asNormal},
        {amAlarms, 80.0, asAlarm},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << "mode " << C.Mode << " value " << C.Value);
        Var.SetAlarmMode(C.Mode);
        EXPECT_EQ(StateFor(C.Value), C.Expected);
    }
}

TEST_F(FloatAlarms, OffKeepsTheLastStateWithBadQuality) {
    Var.SetAlarmMode(amAlarmsAndWarnings);
    EXPECT_EQ(StateFor(90.0), asAlarm);
    Var.SetAlarmMode(amOff);
    EXPECT_EQ(StateFor(50.0), asAlarm);
    EXPECT_EQ(Var.GetPropAsFloat(vpAlarmState), KoBadFloat);
}

TEST_F(FloatAlarms, MovingALimitRecomputesTheState) {
    Var.SetAlarmMode(amAlarmsAndWarnings);
    EXPECT_EQ(StateFor(65.0), asNormal);
    Var.SetWarnHigh(60.0);
    EXPECT_EQ(Var.AlarmState(), asWarning);
    Var.SetAlarmHigh(65.0);
    EXPECT_EQ(Var.AlarmState(), asAlarm);
}

TEST_F(FloatAlarms, PairsWithUnsetLimits) {
    Var.SetAlarmMode(amAlarmsAndWarnings);
    Var.ClearSpecs();
    EXPECT_EQ(StateFor(0.0), asNormal); // no limits at all
    // Only the low alarm limit set: it alone counts.
    Var.SetAlarmLow(20.0);
    EXPECT_EQ(StateFor(10.0), asAlarm);
    EXPECT_EQ(StateFor(90.0), asNormal);
    // Only the high warning limit set.
    Var.SetWarnHigh(70.0);
    EXPECT_EQ(StateFor(75.0), asWarning);
    EXPECT_EQ(StateFor(50.0), asNormal);
    // Equal limits are no pair.
    Var.SetAlarmHigh(20.0);
    EXPECT_EQ(StateFor(10.0), asNormal);
}

TEST(NumericAlarms, IntegersAndDateTimesHaveNoAlarmRule) {
    TKoInteger Int(nullptr);
    TKoDateTime Date(nullptr);
    Int.SetAlarmMode(amAlarmsAndWarnings);
    Date.SetAlarmMode(amAlarmsAndWarnings);
    Int.SetValue(1000000);
    Date.SetValue(1.0);
    EXPECT_EQ(Int.AlarmState(), asNormal);
    EXPECT_EQ(Date.AlarmState(), asNormal);
    EXPECT_EQ(Date.GetPropQuality(vpAlarmState), vpqGood);
}

// ---- statistics ----

class FloatStats : public ::testing::Test {
protected:
    FloatStats() { Var.SetName(L"F1"); }
    TKoFloat Var{nullptr};
};

TEST_F(FloatStats, SimpleStatisticsOverShortSequences) {
    struct Case {
        std::vector<double> Values;
        double Mean, StdDev, Min, Max;
    };
    const Case Cases[] = {
        {{1, 2, 3}, 2, 1, 1, 3},
        {{5, 5}, 5, KoBadFloat, 5, 5},                            // no spread
        {{4}, 4, KoBadFloat, 4, 4},                               // one value
        {{2, 4, 4, 4, 5, 5, 7, 9}, 5, std::sqrt(32.0 / 7), 2, 9}, // repeats count too
        {{-3, KoBadFloat, 3}, 0, std::sqrt(18.0), -3, 3},         // a bad value is left out
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(testing::Message() << "first " << C.Values[0] << ", " << C.Values.size() << " values");
        TKoFloat Var(nullptr);
        Var.SetStatsMode(smSimple);
        for (double V : C.Values) Var.SetValue(V);
        EXPECT_DOUBLE_EQ(Var.Mean(), C.Mean);
        EXPECT_DOUBLE_EQ(Var.StdDev(), C.StdDev);
        EXPECT_EQ(Var.Min(), C.Min);
        EXPECT_EQ(Var.Max(), C.Max);
        // The same through the typed getters.
        EXPECT_DOUBLE_EQ(Var.GetPropAsFloat(vpMean), C.Mean);
        EXPECT_DOUBLE_EQ(Var.GetPropAsFloat(vpStdDev), C.StdDev);
        EXPECT_EQ(Var.GetPropAsFloat(vpMin), C.Min);
        EXPECT_EQ(Var.GetPropAsFloat(vpMax), C.Max);
    }
}

TEST_F(FloatStats, RepeatedValueIsCountedAndNotified) {
    Var.SetStatsMode(smSimple);
    Var.SetValue(4.0);
    TChangeCounter Counter(Var);
    Var.SetValue(4.0);
    Var.SetValue(1.0);
    EXPECT_DOUBLE_EQ(Var.Mean(), 3.0);
    ASSERT_EQ(Counter.Changes.size(), 2u);
    EXPECT_FALSE(Counter.Changes[0].Contains(vpValue));
    EXPECT_TRUE(Counter.Changes[0].Contains(vpMean));
    EXPECT_TRUE(Counter.Changes[1].Contains(vpValue));
}

TEST_F(FloatStats, NoneFailsWithStatsError) {
    Var.SetValue(1.0);
    const std::pair<std::function<double()>, std::wstring> Cases[] = {
        {[&] { return Var.Mean(); }, L"Mean"},
        {[&] { return Var.StdDev(); }, L"StdDev"},
        {[&] { return Var.Min(); }, L"Min"},
        {[&] { return Var.Max(); }, L"Max"},
    };
    for (const auto& [Read, What] : Cases)
        ExpectError<EKoStatsError>([&] { Read(); },
                                   What + L" not available: StatsMode not set for variable \"F1\"");
    // The properties stay bad and read as the bad value.
    for (TKoVarPropType Prop : {vpMean, vpStdDev, vpMin, vpMax}) {
        EXPECT_EQ(Var.GetPropQuality(Prop), vpqBad);
        EXPECT_EQ(Var.GetPropAsFloat(Prop), KoBadFloat);
    }
}

TEST_F(FloatStats, ModeChangeMarksTheStatisticsBad) {
    Var.SetStatsMode(smSimple);
    Var.SetValue(1.0);
    Var.SetValue(2.0);
    ASSERT_EQ(Var.GetPropQuality(vpMean), vpqGood);
    TChangeCounter Counter(Var);
    Var.SetStatsMode(smNone);
    ASSERT_EQ(Counter.Changes.size(), 1u);
    EXPECT_EQ(Counter.Changes[0], (TKoVarPropTypes{vpMean, vpStdDev, vpMin, vpMax}));
    for (TKoVarPropType Prop : {vpMean, vpStdDev, vpMin, vpMax}) EXPECT_EQ(Var.GetPropQuality(Prop), vpqBad);
    EXPECT_THROW(Var.Mean(), EKoStatsError);
}

TEST_F(FloatStats, ClearAndRemove) {
    Var.SetStatsMode(smSimple);
    for (double V : {1.0, 2.0, 3.0}) Var.SetValue(V);
    Var.ClearStats(true); // the current value is the one sample left
    EXPECT_EQ(Var.Mean(), 3.0);
    EXPECT_EQ(Var.Min(), 3.0);
    EXPECT_EQ(Var.GetPropQuality(vpStdDev), vpqBad);
    Var.SetValue(5.0);
    Var.SetValue(7.0);
    // Removing the minimum leaves it unknown; the mean follows at once.
    Var.RemoveFromStats(3.0);
    EXPECT_EQ(Var.Mean(), 6.0);
    EXPECT_EQ(Var.GetPropQuality(vpMin), vpqUncertain);
    EXPECT_EQ(Var.GetPropQuality(vpMax), vpqGood);
    // Down to one sample: it is minimum and maximum.
    Var.RemoveFromStats(5.0);
    EXPECT_EQ(Var.Min(), 7.0);
    EXPECT_EQ(Var.Max(), 7.0);
    EXPECT_EQ(Var.GetPropQuality(vpMin), vpqGood);
    Var.RemoveFromStats(7.0);
    EXPECT_EQ(Var.GetPropQuality(vpMean), vpqBad);
    Var.ClearStats(false);
    EXPECT_EQ(Var.Mean(), KoBadFloat);
}

TEST_F(FloatStats, StatisticsCannotBeWritten) {
    Var.SetStatsMode(smSimple);
    Var.SetValue(1.0);
    for (TKoVarPropType Prop : {vpMean, vpStdDev, vpMin, vpMax})
        ExpectError<EKoReadOnly>([&] { Var.SetPropValue(Prop, TKoOleVariant(5.0)); },
                                 L"Statistics cannot be changed with PropValue");
    EXPECT_EQ(Var.Mean(), 1.0);
}

// ---- AddValue ----

TEST(NumericAddValue, FromBadAndFromGood) {
    TKoInteger Int(nullptr);
    Int.AddValue(5); // bad: the step itself
    EXPECT_EQ(Int.Value(), 5);
    Int.AddValue(3);
    EXPECT_EQ(Int.Value(), 8);
    Int.SubtractValue(10);
    EXPECT_EQ(Int.Value(), -2);

    TKoFloat Float(nullptr);
    Float.AddValue(KoBadFloat); // a bad step does nothing
    EXPECT_TRUE(Float.IsBad());
    Float.AddValue(2.5);
    EXPECT_EQ(Float.Value(), 2.5);
    Float.AddValue(1.0);
    EXPECT_EQ(Float.Value(), 3.5);
    Float.AddValue(std::nan(""));
    EXPECT_EQ(Float.Value(), 3.5);
    Float.SubtractValue(0.5);
    EXPECT_EQ(Float.Value(), 3.0);
    TKoFloat Step(nullptr);
    Step.SetValue(4.0);
    Float.Add(Step);
    EXPECT_EQ(Float.Value(), 7.0);

    TKoDateTime Date(nullptr);
    Date.AddValue(25569.0);
    Date.AddValue(0.5);
    EXPECT_EQ(Date.Value(), 25569.5);
}

TEST(NumericAddValue, PastTheRangeFailsAndKeepsTheValue) {
    TKoInteger Int(nullptr);
    Int.SetRangeMax(100);
    Int.SetRangeMode(rmException);
    Int.SetValue(100);
    EXPECT_THROW(Int.AddValue(1), EKoRangeError);
    EXPECT_EQ(Int.Value(), 100);

    TKoFloat Float(nullptr);
    Float.SetRangeMax(100.0);
    Float.SetRangeMode(rmException);
    Float.SetValue(99.0);
    EXPECT_THROW(Float.AddValue(100.0 / 34), EKoRangeError);
    EXPECT_EQ(Float.Value(), 99.0);
}

TEST(NumericAddValue, IntegerSumWrapsIntoTheRangeCheck) {
    TKoInteger Int(nullptr);
    Int.SetValue(2147483647);
    Int.AddValue(1);
    EXPECT_EQ(Int.Value(), -2147483647 - 1);
    Int.SetRangeMin(0);
    Int.SetRangeMax(2147483647);
    Int.SetRangeMode(rmException);
    Int.SetValue(2147483647);
    EXPECT_THROW(Int.AddValue(1), EKoRangeError);
    EXPECT_EQ(Int.Value(), 2147483647);
}

// ---- limits, setpoint and difference ----

TEST(FloatSpecs, RelativeAlarmLimitsInOneNotification) {
    TKoFloat Var(nullptr);
    ExpectError<EKoException>([&] { Var.SetRelativeAlarmLimits(10, 20); },
                              L"Setpoint must be set before calling SetRelativeAlarmLimits");
    EXPECT_EQ(Var.GetPropQuality(vpWarnHigh), vpqBad);
    Var.SetSetpoint(50.0);
    TChangeCounter Counter(Var);
    Var.SetRelativeAlarmLimits(10, 20);
    EXPECT_EQ(Var.WarnLow(), 40.0);
    EXPECT_EQ(Var.WarnHigh(), 60.0);
    EXPECT_EQ(Var.AlarmLow(), 30.0);
    EXPECT_EQ(Var.AlarmHigh(), 70.0);
    ASSERT_EQ(Counter.Changes.size(), 1u);
    const TKoVarPropTypes Limits{vpAlarmLow, vpAlarmHigh, vpWarnLow, vpWarnHigh};
    EXPECT_EQ(Counter.Changes[0] * Limits, Limits);

    Var.ClearSpecs();
    for (TKoVarPropType Prop : {vpAlarmLow, vpAlarmHigh, vpWarnLow, vpWarnHigh, vpSetpoint}) {
        EXPECT_EQ(Var.GetPropQuality(Prop), vpqBad);
        EXPECT_EQ(Var.GetPropAsFloat(Prop), KoBadFloat);
    }
}

TEST(FloatSpecs, DifferenceFollowsValueAndSetpointOnceWritten) {
    TKoFloat Var(nullptr);
    Var.SetValue(12.0);
    Var.SetSetpoint(10.0);
    EXPECT_EQ(Var.GetPropQuality(vpDiff), vpqBad); // never written itself
    EXPECT_EQ(Var.Diff(), KoBadFloat);

    // Writing the difference writes the value relative to the setpoint.
    Var.SetPropValueAt(vpDiff, TKoOleVariant(5.0), vpqGood, NowUTC(), true, vdtDefault, false);
    EXPECT_EQ(Var.Value(), 15.0);
    EXPECT_EQ(Var.GetPropAsFloat(vpDiff), 5.0);
    Var.SetSetpoint(20.0);
    EXPECT_EQ(Var.GetPropAsFloat(vpDiff), -5.0);
    Var.SetValue(21.0);
    EXPECT_EQ(Var.GetPropAsFloat(vpDiff), 1.0);
    // A bad setpoint lowers the difference's quality.
    Var.SetSetpoint(KoBadFloat);
    EXPECT_EQ(Var.GetPropQuality(vpDiff), vpqBad);
    // Invalidating the value invalidates the difference.
    Var.SetSetpoint(20.0);
    Var.Invalidate(vpValue);
    EXPECT_FALSE(Var.GetPropIsValid(vpDiff));
    // Without a setpoint SetDiff writes the value itself.
    Var.ClearSpecs();
    Var.SetDiff(3.0);
    EXPECT_EQ(Var.Value(), 3.0);
}

// ---- typed access ----

TEST(NumericAccess, PropertiesThroughTheTypedGetters) {
    TKoFloat Var(nullptr);
    Var.SetEngUnit(L"°C");
    Var.SetAlarmHigh(80.0);
    Var.SetWarnLow(30.5);
    Var.SetStatsMode(smSimple);
    Var.SetValue(2.0);
    Var.SetValue(3.0);

    EXPECT_EQ(Var.GetPropAsFloat(vpAlarmHigh), 80.0);
    EXPECT_EQ(Var.GetPropAsString(vpWarnLow), L"30.5");
    EXPECT_EQ(Var.GetPropAsInteger(vpWarnLow), 31);
    EXPECT_EQ(Var.GetPropAsFloat(vpAlarmLow), KoBadFloat); // never set
    EXPECT_EQ(Var.GetPropAsString(vpAlarmLow), L"#BAD");
    EXPECT_EQ(Var.GetPropAsString(vpMean), L"2.5");
    EXPECT_EQ(Var.GetPropAsString(vpEngUnit), L"°C");
    const TKoOleVariant Max = Var.GetPropAsDataType(vpMax, vdtDefault);
    ASSERT_EQ(Max.Type(), VT_R8);
    EXPECT_EQ(Max.Get().dblVal, 3.0);
    EXPECT_EQ(Var.GetPropAsDataType(vpEngUnit, vdtDefault).Type(), VT_BSTR);

    struct Case {
        TKoVarPropType Prop;
        bool Supported;
        TKoVarDataType DataType;
    };
    const Case Cases[] = {{vpValue, true, vdtDouble},    {vpEngUnit, true, vdtOleStr},
                          {vpAlarmLow, true, vdtDouble}, {vpSetpoint, true, vdtDouble},
                          {vpDiff, false, vdtDouble},    {vpStdDev, true, vdtDouble},
                          {vpOther, false, vdtDefault}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(KoVarPropTypeName(C.Prop));
        EXPECT_EQ(Var.PropSupported(C.Prop), C.Supported);
        EXPECT_EQ(Var.GetPropDataType(C.Prop), C.DataType);
    }
}

TEST(NumericAccess, IntegerValueWrites) {
    TKoInteger Var(nullptr);
    Var.SetName(L"I1");
    Var.SetPropValue(vpValue, TKoOleVariant(true));
    EXPECT_EQ(Var.Value(), 1);
    Var.SetPropValue(vpValue, TKoOleVariant(L"42"));
    EXPECT_EQ(Var.Value(), 42);
    Var.SetPropAsString(vpValue, L"0x10");
    EXPECT_EQ(Var.Value(), 16);
    Var.SetPropAsFloat(vpValue, 2.5); // the platform rounds halves to even
    EXPECT_EQ(Var.Value(), 2);
    ExpectError<EKoVarException>([&] { Var.SetPropValue(vpValue, TKoOleVariant(L"abc")); },
                                 L"'abc' is not a valid prop value for I1[vpValue]");
    EXPECT_THROW(Var.SetPropAsString(vpValue, L"abc"), EKoConvertError);
    EXPECT_EQ(Var.Value(), 2);
    EXPECT_EQ(Var.GetPropAsDataType(vpValue, vdtDefault).Type(), VT_I4);

    Var.SetPropAsString(vpEngUnit, L"rpm");
    EXPECT_EQ(Var.EngUnit(), L"rpm");
    EXPECT_TRUE(Var.PropSupported(vpEngUnit));
    Var.SetEngUnit(L"");
    EXPECT_EQ(Var.GetPropQuality(vpEngUnit), vpqBad);
}

TEST(NumericAccess, FloatValueFromText) {
    TKoFloat Var(nullptr);
    Var.SetPropAsString(vpValue, L"3.5");
    EXPECT_EQ(Var.Value(), 3.5);
    EXPECT_THROW(Var.SetPropAsString(vpValue, L"three"), EKoOleError);
    EXPECT_EQ(Var.Value(), 3.5);
    Var.SetPropAsString(vpAlarmHigh, L"7.25");
    EXPECT_EQ(Var.AlarmHigh(), 7.25);
}

TEST(NumericAccess, DateTimeValue) {
    TKoDateTime Var(nullptr);
    Var.SetValue(25569.5); // 1970-01-01 12:00
    const TKoOleVariant V = Var.GetPropAsDataType(vpValue, vdtDefault);
    ASSERT_EQ(V.Type(), VT_DATE);
    EXPECT_EQ(V.Get().date, 25569.5);
    EXPECT_EQ(Var.GetPropAsString(vpValue), Var.DateTimeToStr(25569.5));
    Var.SetDateTimeFormat(L"yyyy-mm-dd hh:nn");
    EXPECT_EQ(Var.GetPropAsString(vpValue), L"1970-01-01 12:00");

    // Text reads back as the date-time it shows; a number as a day count.
    Var.SetDateTimeFormat(L"");
    Var.SetPropAsString(vpValue, Var.DateTimeToStr(30000.25));
    EXPECT_NEAR(Var.Value(), 30000.25, 1e-6);
    Var.SetPropAsString(vpValue, L"30001.5");
    EXPECT_EQ(Var.Value(), 30001.5);
    EXPECT_EQ(Var.StrToInt(Var.DateTimeToStr(30000.75)), 30000);
    EXPECT_EQ(Var.StrToInt(L"12"), 12);

    // Integers that are no day count undefine the value.
    Var.SetPropAsInt64(vpValue, 25570);
    EXPECT_EQ(Var.Value(), 25570.0);
    Var.SetPropAsInt64(vpValue, 3000000);
    EXPECT_TRUE(Var.IsBad());
    Var.SetPropAsLongWord(vpValue, 25571);
    EXPECT_EQ(Var.Value(), 25571.0);
    Var.SetPropAsLongWord(vpValue, 0xFFFFFFFFu);
    EXPECT_TRUE(Var.IsBad());

    // No unit, limits or statistics are offered.
    for (TKoVarPropType Prop : {vpEngUnit, vpAlarmHigh, vpMean})
        EXPECT_FALSE(Var.PropSupported(Prop)) << KoVarPropTypeName(Prop);
    EXPECT_EQ(Var.GetPropDataType(vpAlarmHigh), vdtDouble);
    EXPECT_THROW(Var.SetAlarmHigh(1.0), EKoReadOnly);
}

TEST(NumericAccess, DateAndTimeParts) {
    TKoDateTime Var(nullptr);
    EXPECT_EQ(Var.Date(), KoBadDateTime);
    Var.SetTime(0.25); // a bad value has no day: day 0
    EXPECT_EQ(Var.Value(), 0.25);
    Var.SetValue(25569.75);
    EXPECT_EQ(Var.Date(), 25569.0);
    EXPECT_EQ(Var.Time(), 0.75);
    Var.SetDate(30000.0);
    EXPECT_EQ(Var.Value(), 30000.75);
    Var.SetTime(0.5);
    EXPECT_EQ(Var.Value(), 30000.5);
    // Before 1899-12-30 the time of day still counts forward from midnight.
    Var.SetValue(-1.25);
    EXPECT_EQ(Var.Date(), -1.0);
    EXPECT_EQ(Var.Time(), 0.25);
    Var.SetTime(0.5);
    EXPECT_EQ(Var.Value(), -1.5);
}

TEST(NumericAccess, LocalDateTimeConvertsWithTheZone) {
    TIME_ZONE_INFORMATION Zone{};
    Zone.Bias = -60; // one hour east of Greenwich, no daylight time
    KoSetTimeZoneSource([Zone](TIME_ZONE_INFORMATION& Z) {
        Z = Zone;
        return static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN);
    });
    TKoDateTime Var(nullptr);
    Var.SetValue(25569.5);
    EXPECT_NEAR(Var.LocalDateTime(), 25569.5 + 1.0 / 24, 1e-9);
    Var.SetLocalDateTime(25570.0);
    EXPECT_NEAR(Var.Value(), 25570.0 - 1.0 / 24, 1e-9);
    Var.SetLocalDateTime(KoBadDateTime);
    EXPECT_TRUE(Var.IsBad());
    EXPECT_EQ(Var.LocalDateTime(), KoBadDateTime);
    KoSetTimeZoneSource(nullptr);
}

// ---- initial values ----

// A module definition like the Static module's: initial values applied when loading ends.
class TInitialModule : public TKoDataModule {
public:
    explicit TInitialModule(TKoComponent* AOwner) : TKoDataModule(AOwner) {
        Float->SetName(L"KoFloat1");
        Float->SetInitialQuality(vpqGood); // initial value 0.0
        Int->SetName(L"KoInteger1");
        Int->SetInitialValue(7); // without a quality: no initial value
        Int2->SetName(L"TimerInterval");
        Int2->SetInitialValue(1000);
        Int2->SetInitialQuality(vpqUncertain);
        Date->SetName(L"KoDateTime1");
        Date->SetInitialValue(25569.5);
        Date->SetInitialQuality(vpqGood);
    }
    TKoFloat* Float = new TKoFloat(this);
    TKoInteger* Int = new TKoInteger(this);
    TKoInteger* Int2 = new TKoInteger(this);
    TKoDateTime* Date = new TKoDateTime(this);
};

TEST(NumericInitialValue, AppliedWithItsQualityAtTheEndOfLoading) {
    TKoComponent Root(nullptr);
    TInitialModule* Module = KoCreate<TInitialModule>(&Root);
    EXPECT_EQ(Module->Float->Value(), 0.0);
    EXPECT_EQ(Module->Float->Quality(), vpqGood);
    EXPECT_TRUE(Module->Int->IsBad());
    EXPECT_EQ(Module->Int2->Value(), 1000);
    EXPECT_EQ(Module->Int2->Quality(), vpqUncertain);
    EXPECT_EQ(Module->Date->Value(), 25569.5);
    EXPECT_EQ(Module->Date->Quality(), vpqGood);
}

} // namespace
