// The history of a variable: when the history link takes a sample (a new quality, a sample width
// passed, the deadband), the aggregates over a width, the samples the history array appends at
// their time stamps, what the array copies from the variable, and its time axis.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KoClasses.h"
#include "KoHistory.h"
#include "KoNumVars.h"

namespace {

using TNumbers = std::vector<double>;
constexpr double T0 = 45000.25;
constexpr double Second = 1.0 / 86400.0;

TNumbers Elements(const TKoCustomFloatArray& A) {
    TNumbers Result;
    for (int64_t I = A.FirstIndex(); I <= A.LastIndex(); ++I)
        Result.push_back(A.Values(static_cast<int32_t>(I)));
    return Result;
}

class HistoryTest : public ::testing::Test {
protected:
    HistoryTest() {
        Module.SetName(L"M");
        Var = new TKoFloat(&Module);
        Var->SetName(L"KoFloat1");
        H = new TKoHistoryArray(&Module);
        H->SetName(L"History1");
        H->SetCapacity(10);
        H->Link().OnChange = [this, Chained = H->Link().OnChange](TKoPersistentBase* Sender) {
            ++Samples;
            Chained(Sender);
        };
    }
    // The variable's value written with its own time stamp, as an external source does.
    void Write(double Value, double Seconds) {
        Var->SetPropValueAt(vpValue, TKoOleVariant(Value), vpqGood, T0 + Seconds * Second, true, vdtDefault,
                            false);
    }
    TKoComponent Module{nullptr};
    TKoFloat* Var;      // owned by Module
    TKoHistoryArray* H; // owned by Module
    int Samples = 0;
};

} // namespace

TEST_F(HistoryTest, NewHistoryDefaults) {
    EXPECT_TRUE(H->PosIsDateTime());
    EXPECT_TRUE(H->ArraySpecs());
    EXPECT_TRUE(H->VarCaption() && H->VarEngUnit() && H->VarRange() && H->VarSpecs());
    EXPECT_EQ(H->SamplingInterval(), 1000);
    EXPECT_DOUBLE_EQ(H->SampleWidth(), Second);
    EXPECT_EQ(H->Mode(), amUniformSampleWidth);
    EXPECT_EQ(H->SamplingMode(), smChange);
    EXPECT_EQ(H->Aggregate(), agRaw);
}

TEST_F(HistoryTest, RawSamplesOnePerWidthAndOnEveryQualityChange) {
    H->SetVariable(Var);
    Write(10, 0);
    EXPECT_EQ(Elements(*H), (TNumbers{10}));
    EXPECT_DOUBLE_EQ(H->StartTime(), T0);

    // Within the width nothing is sampled, and the link still reports the last sample.
    Write(11, 0.5);
    EXPECT_EQ(Elements(*H), (TNumbers{10}));
    EXPECT_EQ(Samples, 1);
    EXPECT_EQ(H->Link().AsFloat(), 10.0);
    EXPECT_DOUBLE_EQ(H->Link().Timestamp(), T0);

    Write(12, 1);
    EXPECT_EQ(Elements(*H), (TNumbers{10, 12}));
    // A gap of two widths repeats the last sample.
    Write(13, 3);
    EXPECT_EQ(Elements(*H), (TNumbers{10, 12, 12, 13}));
    EXPECT_NEAR(H->EndTime(), T0 + 3 * Second, 1e-9);
    EXPECT_NEAR(H->Timestamps(1), T0 + Second, 1e-9);

    // A new quality is sampled at once; here within the width of the last sample.
    Var->Undefine(vpValue, T0 + 3.2 * Second);
    EXPECT_EQ(Samples, 4);
    EXPECT_EQ(H->Link().Quality(), vpqBad);
    EXPECT_EQ(H->Qualities(H->LastIndex()), vpqBad);
    EXPECT_EQ(H->Length(), 4);
}

TEST_F(HistoryTest, AggregatesOverTheWidth) {
    struct Case {
        const char* Name;
        TKoHistoryAggregate Aggregate;
        double Expected;
    };
    // 10 from 0 s, 20 from 0.25 s, 30 at 1 s: the second sample is taken at 1 s.
    const Case Cases[] = {
        {"raw", agRaw, 30},
        {"time-weighted mean", agMean, 10 * 0.25 + 20 * 0.75},
        {"maximum", agMax, 30},
        {"minimum", agMin, 10},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Name);
        TKoComponent Owner(nullptr);
        auto* V = new TKoFloat(&Owner);
        auto* A = new TKoHistoryArray(&Owner);
        A->SetAggregate(C.Aggregate);
        A->SetVariable(V);
        for (const auto& [Value, Seconds] : {std::pair{10.0, 0.0}, {20.0, 0.25}, {30.0, 1.0}})
            V->SetPropValueAt(vpValue, TKoOleVariant(Value), vpqGood, T0 + Seconds * Second, true, vdtDefault,
                              false);
        ASSERT_EQ(A->Length(), 2);
        EXPECT_EQ(A->Values(0), 10.0);
        EXPECT_NEAR(A->Values(1), C.Expected, 1e-4); // time stamps carry about a microsecond
    }

    // The maximum of an interval that was sampled in between starts again.
    H->SetAggregate(agMax);
    H->SetVariable(Var);
    Write(10, 0);
    Write(50, 0.25);
    Write(20, 1);
    Write(5, 1.5);
    Write(15, 2);
    EXPECT_EQ(Elements(*H), (TNumbers{10, 50, 20}));
}

TEST_F(HistoryTest, DeadbandHoldsBackSmallMoves) {
    H->SetDeadband(5);
    H->SetVariable(Var);
    Write(10, 0);
    Write(12, 1);
    EXPECT_EQ(Elements(*H), (TNumbers{10}));
    Write(16, 2);
    EXPECT_EQ(Elements(*H), (TNumbers{10, 10, 16}));
}

TEST_F(HistoryTest, ArrayFollowsTheVariablesConfiguration) {
    Var->SetCaption(L"Temperature");
    Var->SetEngUnit(L"degC");
    Var->SetRange(0, 100);
    Var->SetAlarmHigh(80);
    Var->SetWarnHigh(70);
    H->SetVariable(Var);
    EXPECT_EQ(H->Caption(), L"Temperature");
    EXPECT_EQ(H->EngUnit(), L"degC");
    EXPECT_EQ(H->RangeMin(), 0.0);
    EXPECT_EQ(H->RangeMax(), 100.0);
    EXPECT_EQ(H->AlarmHigh(), 80.0);

    Write(50, 0);
    EXPECT_EQ(H->AlarmHighs(0), 80.0);
    EXPECT_EQ(H->WarnHighs(0), 70.0);
    // A new limit goes into the last sample's element.
    Var->SetAlarmHigh(90);
    EXPECT_EQ(H->AlarmHigh(), 90.0);
    EXPECT_EQ(H->AlarmHighs(0), 90.0);

    // Without a variable nothing follows any more.
    H->SetVariable(nullptr);
    Var->SetAlarmHigh(95);
    EXPECT_EQ(H->AlarmHigh(), 90.0);
}

TEST_F(HistoryTest, ResetStartsWithTheCurrentValue) {
    H->SetVariable(Var);
    Write(1, 0);
    Write(2, 1);
    Write(3, 2);
    H->Reset();
    EXPECT_EQ(Elements(*H), (TNumbers{3}));
    EXPECT_DOUBLE_EQ(H->StartTime(), T0 + 2 * Second);
    EXPECT_TRUE(H->IsGood());

    H->SetVariable(nullptr);
    H->Reset();
    EXPECT_EQ(H->Length(), 0);
    EXPECT_TRUE(H->IsBad());
}

TEST_F(HistoryTest, TimeAxis) {
    H->SetTotalInterval(10500);
    EXPECT_EQ(H->Capacity(), 11);
    EXPECT_EQ(H->TotalInterval(), 11000);
    H->SetTotalInterval(0);
    EXPECT_EQ(H->Capacity(), 0);

    H->SetVariable(Var);
    Write(1, 0);
    Write(2, 1);
    H->SetEndTime(T0 + 10 * Second);
    EXPECT_NEAR(H->StartTime(), T0 + 8 * Second, 1e-9);

    // The interval and the width are one quantity.
    H->SetSamplingInterval(500);
    EXPECT_DOUBLE_EQ(H->SampleWidth(), 0.5 * Second);
    H->SetSamplingInterval(0);
    try {
        H->SetTotalInterval(1000);
        FAIL() << "no error";
    } catch (const EKoException& E) {
        EXPECT_EQ(E.Message(), L"Cannot set TotalInterval when SamplingInterval = 0");
    }
}
